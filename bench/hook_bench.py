#!/usr/bin/env python3
"""Times claude-hook.sh, as `lullwatch hooks install` puts it in place.

1. One run with a real recorded payload against one `/bin/sh -c true`. The
   hook runs under a parent process named claude (this process renames
   itself), the way Claude Code starts it. Both commands are started the same
   way and interleaved, 200 times each; the figure is the ratio of their
   medians, so it does not depend on how fast the machine is.
2. One run with the same payload grown to 20 MB by a long prompt (text with
   line breaks, quotes and non-ASCII letters, as a pasted file has), the
   median of 5 runs in seconds. The recorder reads it through without keeping
   it, and the record leaves the prompt out.

usage: hook_bench.py BUILD_BIN_FOLDER PAYLOAD [RUNS]
"""
import ctypes
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

LARGE_PAYLOAD = 20 * 1000 * 1000
LARGE_RUNS = 5


def rename_process(name):
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_NAME = 15
    libc.prctl(PR_SET_NAME, name.encode(), 0, 0, 0)


def timed(command, stdin_bytes=None, env=None):
    start = time.perf_counter()
    subprocess.run(command, input=stdin_bytes, env=env, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def large_payload(payload):
    """The payload with a prompt that makes it LARGE_PAYLOAD bytes long."""
    document = json.loads(payload)
    line = 'print("Größe: %d", size)  # a line of a pasted file\n'
    document["prompt"] = ""
    base = len(json.dumps(document).encode())
    escaped = len(json.dumps(line).encode()) - 2
    document["prompt"] = line * ((LARGE_PAYLOAD - base) // escaped)
    return json.dumps(document).encode()


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
        sessions = os.path.join(home, ".local/share/lullwatch/sessions")

        rename_process("claude")
        hook_times, shell_times = [], []
        for _ in range(runs):
            hook_times.append(timed(["/bin/sh", script, "working"], payload, env))
            shell_times.append(timed(["/bin/sh", "-c", "true"], None, env))

        records = os.listdir(sessions)
        assert len(records) == 1, records
        with open(os.path.join(sessions, records[0]), encoding="utf-8") as f:
            record = json.load(f)
        assert record["pid"] == os.getpid(), "the hook did not find its agent"
        hook, shell = statistics.median(hook_times), statistics.median(shell_times)
        print(f"hook run (median of {runs}):     {hook * 1000:.2f} ms")
        print(f"/bin/sh -c true (median):     {shell * 1000:.2f} ms")
        print(f"ratio:                        {hook / shell:.1f}  (target: 4 or less)")

        large = large_payload(payload)
        large_times = [timed(["/bin/sh", script, "working"], large, env) for _ in range(LARGE_RUNS)]
        with open(os.path.join(sessions, records[0]), encoding="utf-8") as f:
            record = json.load(f)
        assert "prompt" not in record and record["sessionId"] == json.loads(payload)["session_id"]
        print(f"{len(large) / 1e6:.0f} MB payload (median of {LARGE_RUNS}): "
              f"{statistics.median(large_times):.3f} s  (target: under 0.5 s)")
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
