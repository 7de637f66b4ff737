#!/usr/bin/python3
"""Start to tray icon under Xvfb, and the tray's resident memory.

Starts a private session and system bus, an X server of its own and a mock
org.kde.StatusNotifierWatcher that reports a host, then starts `lullwatch`
several times with 20 idle sessions in a temporary HOME and times each start
until the watcher gets RegisterStatusNotifierItem. Each run then activates
the item, waits for the panel to be shown, lets it settle and reads the
resident memory from /proc.

    bench/tray_start.py build/bench/bin/lullwatch [runs]

Targets: under 150 ms from start to icon; under 40 MiB with the panel opened
once.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import dbus
import dbusmock

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, "..", "tests", "ui", "status_notifier_watcher.py")
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from e2e_support import start_xvfb, window  # noqa: E402
from headless_idle import resident_mib, write_sessions  # noqa: E402
SESSIONS = 20


def main():
    binary = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    root = tempfile.mkdtemp(prefix="lullwatch-tray-")
    agent = subprocess.Popen(["sleep", "3600"])
    dbusmock.DBusTestCase.start_session_bus()
    dbusmock.DBusTestCase.start_system_bus()
    xvfb, display = start_xvfb()
    watcher, watcher_object = dbusmock.DBusTestCase.spawn_server_template(TEMPLATE, {"host": True},
                                                                         stdout=subprocess.DEVNULL)
    try:
        write_sessions(root, agent.pid, SESSIONS)
        runtime = os.path.join(root, "run")
        os.makedirs(runtime, mode=0o700)
        env = {"HOME": os.path.join(root, "home"), "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "XDG_RUNTIME_DIR": runtime, "TMPDIR": root, "DISPLAY": display, "QT_QPA_PLATFORM": "xcb",
               "DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"],
               "DBUS_SYSTEM_BUS_ADDRESS": os.environ["DBUS_SYSTEM_BUS_ADDRESS"]}
        times, memory = [], []
        for _ in range(runs):
            watcher_object.ClearCalls(dbus_interface=dbusmock.MOCK_IFACE)
            start = time.monotonic()
            tray = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                deadline = start + 20
                while not watcher_object.GetMethodCalls("RegisterStatusNotifierItem",
                                                        dbus_interface=dbusmock.MOCK_IFACE):
                    if time.monotonic() > deadline or tray.poll() is not None:
                        raise RuntimeError("the tray never registered its item")
                    time.sleep(0.001)
                times.append(time.monotonic() - start)
                calls = watcher_object.GetMethodCalls("RegisterStatusNotifierItem",
                                                      dbus_interface=dbusmock.MOCK_IFACE)
                item = dbusmock.DBusTestCase.get_dbus(False).get_object(str(calls[0][1][0]), "/StatusNotifierItem")
                item.Activate(dbus.Int32(640), dbus.Int32(0), dbus_interface="org.kde.StatusNotifierItem")
                while "IsViewable" not in window(display, "Lullwatch"):
                    if time.monotonic() > deadline or tray.poll() is not None:
                        raise RuntimeError("the panel never opened")
                    time.sleep(0.01)
                # Let the panel draw and the next refresh of the 20 sessions land.
                time.sleep(1.5)
                memory.append(resident_mib(tray.pid))
            finally:
                tray.terminate()
                tray.wait(10)
        times_ms = [1000 * t for t in times]
        print(f"Start to tray icon over {runs} runs: median {statistics.median(times_ms):.0f} ms, "
              f"fastest {min(times_ms):.0f} ms, slowest {max(times_ms):.0f} ms (target: under 150 ms)")
        print(f"Resident memory with {SESSIONS} sessions and the panel opened once: "
              f"median {statistics.median(memory):.1f} MiB, largest {max(memory):.1f} MiB (target: under 40 MiB)")
    finally:
        watcher.terminate()
        watcher.wait()
        xvfb.terminate()
        xvfb.wait()
        agent.kill()
        agent.wait()
        dbusmock.DBusTestCase.stop_dbus(dbusmock.DBusTestCase.session_bus_pid)
        dbusmock.DBusTestCase.stop_dbus(dbusmock.DBusTestCase.system_bus_pid)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
