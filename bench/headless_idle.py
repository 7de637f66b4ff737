#!/usr/bin/env python3
"""Idle cost of `lullwatch --headless`: 20 idle sessions, 60 seconds.

Measures the CPU time the process used (from /proc/PID/stat) over the
window after a warm-up, as a share of one core, and its resident memory at
the end. Runs on a private session bus (dbus-run-session) and no system bus,
with a temporary HOME.

usage: headless_idle.py BUILD_BIN_FOLDER [SECONDS]
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat", encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime, stime


def resident_mib(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def write_sessions(root, agent_pid, count=20):
    """Idle sessions of a live agent process in root/home, each with a
    one-line transcript."""
    sessions = os.path.join(root, "home/.local/share/lullwatch/sessions")
    os.makedirs(sessions)
    for index in range(count):
        transcript = os.path.join(root, f"t{index}.jsonl")
        with open(transcript, "w", encoding="utf-8") as f:
            f.write(json.dumps({"type": "assistant", "message": {
                "id": f"m{index}", "usage": {"input_tokens": 10, "output_tokens": 20}}}) + "\n")
        with open(os.path.join(sessions, f"s{index}.json"), "w", encoding="utf-8") as f:
            json.dump({"sessionId": f"s{index}", "state": "idle", "event": "Stop",
                       "cwd": f"/home/dev/project{index}", "transcriptPath": transcript,
                       "updatedAt": int(time.time()), "pid": agent_pid}, f)


def find_lullwatch(parent_pid):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/status", encoding="utf-8") as f:
                status = f.read()
        except OSError:
            continue
        if "\nName:\tlullwatch\n" in "\n" + status and f"\nPPid:\t{parent_pid}\n" in status:
            return int(entry)
    return None


def main():
    binaries = sys.argv[1]
    window = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    root = tempfile.mkdtemp(prefix="lullwatch-idle-")
    agent = subprocess.Popen(["sleep", str(int(window) + 120)])
    try:
        write_sessions(root, agent.pid)
        runtime = os.path.join(root, "run")
        os.makedirs(runtime, mode=0o700)
        env = {"HOME": os.path.join(root, "home"), "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "XDG_RUNTIME_DIR": runtime, "TMPDIR": root}
        runner = subprocess.Popen(["dbus-run-session", "--", os.path.join(binaries, "lullwatch"), "--headless"],
                                  env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            pid = None
            while pid is None and time.monotonic() < deadline:
                pid = find_lullwatch(runner.pid)
                time.sleep(0.1)
            if pid is None:
                raise SystemExit("lullwatch did not start")
            time.sleep(5)  # warm-up: first scan, first reads of the transcripts
            start_cpu, start = cpu_seconds(pid), time.monotonic()
            time.sleep(window)
            used, elapsed = cpu_seconds(pid) - start_cpu, time.monotonic() - start
            rss = resident_mib(pid)
            print(f"CPU over {elapsed:.0f} s with 20 idle sessions: {used:.2f} s = {100 * used / elapsed:.3f} % of one core"
                  " (target: under 0.5 %)")
            print(f"resident memory: {rss:.1f} MiB (target: under 40 MiB)")
        finally:
            runner.send_signal(signal.SIGTERM)
            runner.wait(10)
    finally:
        agent.kill()
        agent.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
