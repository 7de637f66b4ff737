#!/usr/bin/python3
"""`lullwatch --headless` end to end, on private D-Bus buses with mock
services: logind takes the idle inhibitor, upower reports the battery, a
notification daemon receives "Claude needs you". Record files are written
the way the hook scripts write them."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import dbusmock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support  # noqa: E402

LULLWATCH = os.path.join(os.environ.get("LULLWATCH_BINARY_DIR", ""), "lullwatch")
DEADLINE = 20.0


def wait_until(predicate, what, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class HeadlessTest(e2e_support.BusTestCase, dbusmock.DBusTestCase):

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="lullwatch-headless-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = os.path.join(self.root, "home")
        self.sessions = os.path.join(self.home, ".local", "share", "lullwatch", "sessions")
        os.makedirs(self.sessions)
        self.runtime = os.path.join(self.root, "run")
        os.makedirs(self.runtime, mode=0o700)
        self.start_mocks()

        # A live process of the agent's to own the sessions.
        self.agent = subprocess.Popen(["sleep", "600"])
        self.addCleanup(self.stop_process, self.agent)

    @staticmethod
    def stop_process(process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def environment(self):
        return {
            "HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "XDG_RUNTIME_DIR": self.runtime, "TMPDIR": self.root,
            "DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"],
            "DBUS_SYSTEM_BUS_ADDRESS": os.environ["DBUS_SYSTEM_BUS_ADDRESS"],
        }

    def start_headless(self):
        process = subprocess.Popen([LULLWATCH, "--headless"], env=self.environment(), stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_process, process)
        os.set_blocking(process.stdout.fileno(), False)
        process.pending = b""
        return process

    def read_lines(self, process, lines):
        try:
            chunk = os.read(process.stdout.fileno(), 65536)
        except BlockingIOError:
            chunk = b""
        process.pending += chunk
        *complete, process.pending = process.pending.split(b"\n")
        lines.extend(line.decode("utf-8") for line in complete)
        return lines

    def expect_line(self, process, lines, expected):
        def seen():
            self.read_lines(process, lines)
            return expected in lines
        try:
            wait_until(seen, "the line %r" % expected)
        except AssertionError:
            raise AssertionError("expected %r, got %r" % (expected, lines))

    def write_record(self, session_id, state, cwd, **extra):
        record = {"sessionId": session_id, "state": state, "event": "UserPromptSubmit", "cwd": cwd,
                  "transcriptPath": "", "updatedAt": int(time.time()), "pid": self.agent.pid}
        record.update(extra)
        temporary = os.path.join(self.sessions, ".record.test")
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump(record, f)
        os.rename(temporary, os.path.join(self.sessions, session_id + ".json"))

    def test_working_waiting_idle_and_battery(self):
        process = self.start_headless()
        lines = []
        self.expect_line(process, lines, "ended · - · Sleep allowed · Lullwatch")

        self.write_record("s1", "working", "/home/dev/work/site")
        self.expect_line(process, lines,
                         "working · 0 · Keeping computer awake · Claude Code is working in site")
        wait_until(self.inhibitors, "our idle inhibitor")
        self.assertEqual(self.inhibitors()[0][0], "idle")
        self.assertEqual(self.inhibitors()[0][2], "Claude Code is working in site")

        self.write_record("s1", "waiting", "/home/dev/work/site", notification_type="permission_prompt")
        self.expect_line(process, lines, "waiting · 0 · Sleep allowed · Claude Code is working in site")
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
        notify = wait_until(lambda: [c for c in self.notification_calls() if c[1] == "Notify"], "Notify")
        arguments = notify[0][2]
        self.assertEqual(str(arguments[3]), "Claude needs you")
        self.assertEqual(str(arguments[4]), "site is waiting for your input.")

        self.write_record("s1", "idle", "/home/dev/work/site")
        self.expect_line(process, lines, "idle · 0 · Sleep allowed · Claude Code is working in site")
        wait_until(lambda: [c for c in self.notification_calls() if c[1] == "CloseNotification"], "CloseNotification")

        # Working again, but on battery at 12 percent: the inhibitor is not taken.
        self.upower_mock.Set("org.freedesktop.UPower", "OnBattery", True, dbus_interface=dbus.PROPERTIES_IFACE)
        self.upower_mock.SetupDisplayDevice(
            dbus.UInt32(2), dbus.UInt32(2), 12.7, 6.0, 50.0, 5.0, dbus.Int64(600), dbus.Int64(0), True,
            "battery-low", dbus.UInt32(3), dbus_interface=dbusmock.MOCK_IFACE)
        self.write_record("s1", "working", "/home/dev/work/site")
        self.expect_line(process, lines,
                         "working · 0 · Paused \u2014 battery at 12% · Claude Code is working in site")
        self.assertEqual(self.inhibitors(), [])

        # A second instance leaves the first alone.
        second = subprocess.run([LULLWATCH, "--headless"], env=self.environment(), capture_output=True,
                                text=True, timeout=30)
        self.assertEqual((second.returncode, second.stdout), (0, "Lullwatch is already running.\n"))

        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)

    def test_interrupt_ends_cleanly_and_releases(self):
        process = self.start_headless()
        lines = []
        self.write_record("s2", "working", "/srv/api/")
        self.expect_line(process, lines, "working · 0 · Keeping computer awake · Claude Code is working in api")
        wait_until(self.inhibitors, "our idle inhibitor")
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(DEADLINE), 0)
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release at exit")


if __name__ == "__main__":
    unittest.main()
