#!/usr/bin/env python3
"""Times one claude-hook.sh run against one `/bin/sh -c true`.

The hook runs with a real recorded payload under a parent process named
claude (this process renames itself), the way Claude Code starts it. Both
commands are started the same way and interleaved, 200 times each; the
figure is the ratio of their medians, so it does not depend on how fast the
machine is.

usage: hook_bench.py BUILD_BIN_FOLDER PAYLOAD [RUNS]
"""
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def rename_process(name):
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_NAME = 15
    libc.prctl(PR_SET_NAME, name.encode(), 0, 0, 0)


def timed(command, stdin_bytes=None, env=None):
    start = time.perf_counter()
    subprocess.run(command, input=stdin_bytes, env=env, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    binaries, payload_path = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    payload = open(payload_path, "rb").read()
    home = tempfile.mkdtemp(prefix="lullwatch-hook-bench.")
    try:
        env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMPDIR": home}
        subprocess.run([os.path.join(binaries, "lullwatch"), "hooks", "install", "--agent", "claude"],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        script = os.path.join(home, ".local/share/lullwatch/claude-hook.sh")

        rename_process("claude")
        hook_times, shell_times = [], []
        for _ in range(runs):
            hook_times.append(timed(["/bin/sh", script, "working"], payload, env))
            shell_times.append(timed(["/bin/sh", "-c", "true"], None, env))

        records = os.listdir(os.path.join(home, ".local/share/lullwatch/sessions"))
        assert len(records) == 1, records
        hook, shell = statistics.median(hook_times), statistics.median(shell_times)
        print(f"hook run (median of {runs}):     {hook * 1000:.2f} ms")
        print(f"/bin/sh -c true (median):     {shell * 1000:.2f} ms")
        print(f"ratio:                        {hook / shell:.1f}  (target: 25 or less)")
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
