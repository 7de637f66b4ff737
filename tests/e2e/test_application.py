#!/usr/bin/python3
"""The application end to end, on private D-Bus buses with mock services:
logind takes the idle inhibitor, upower reports the battery, a notification
daemon receives "Claude needs you", and a StatusNotifierWatcher stands in for
the desktop's panel, with an X server of the test's own. Record files are
written the way the hook scripts write them."""

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
WATCHER_TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ui",
                                "status_notifier_watcher.py")
ITEM_INTERFACE = "org.kde.StatusNotifierItem"


def wait_until(predicate, what, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class ApplicationTestCase(e2e_support.BusTestCase, dbusmock.DBusTestCase):

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
        return self.start_lullwatch(["--headless"], self.environment())

    def start_lullwatch(self, arguments, environment, stderr=subprocess.DEVNULL):
        process = subprocess.Popen([LULLWATCH, *arguments], env=environment, stdout=subprocess.PIPE,
                                   stderr=stderr)
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



class HeadlessTest(ApplicationTestCase):

    def test_working_waiting_idle_and_battery(self):
        process = self.start_headless()
        lines = []
        self.expect_line(process, lines, "ended · - · Sleep allowed")

        self.write_record("s1", "working", "/home/dev/work/site")
        self.expect_line(process, lines,
                         "working · 0 · Keeping computer awake · Claude Code is working in site")
        wait_until(self.inhibitors, "our idle inhibitor")
        self.assertEqual(self.inhibitors()[0][0], "idle")
        self.assertEqual(self.inhibitors()[0][2], "Claude Code is working in site")

        self.write_record("s1", "waiting", "/home/dev/work/site", notification_type="permission_prompt")
        self.expect_line(process, lines, "waiting · 0 · Sleep allowed")
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
        notify = wait_until(lambda: [c for c in self.notification_calls() if c[1] == "Notify"], "Notify")
        arguments = notify[0][2]
        self.assertEqual(str(arguments[3]), "Claude needs you")
        self.assertEqual(str(arguments[4]), "site is waiting for your input.")

        self.write_record("s1", "idle", "/home/dev/work/site")
        self.expect_line(process, lines, "idle · 0 · Sleep allowed")
        wait_until(lambda: [c for c in self.notification_calls() if c[1] == "CloseNotification"], "CloseNotification")

        # Working again, but on battery at 12 percent: the inhibitor is not taken.
        self.upower_mock.Set("org.freedesktop.UPower", "OnBattery", True, dbus_interface=dbus.PROPERTIES_IFACE)
        self.upower_mock.SetupDisplayDevice(
            dbus.UInt32(2), dbus.UInt32(2), 12.7, 6.0, 50.0, 5.0, dbus.Int64(600), dbus.Int64(0), True,
            "battery-low", dbus.UInt32(3), dbus_interface=dbusmock.MOCK_IFACE)
        self.write_record("s1", "working", "/home/dev/work/site")
        self.expect_line(process, lines,
                         "working · 0 · Paused \u2014 battery at 12%")
        self.assertEqual(self.inhibitors(), [])

        # A second instance leaves the first alone.
        second = subprocess.run([LULLWATCH, "--headless"], env=self.environment(), capture_output=True,
                                text=True, timeout=30)
        self.assertEqual((second.returncode, second.stdout), (0, "Lullwatch is already running.\n"))

        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)

    def test_signals_and_a_reader_that_goes_away(self):
        # What happens to the running application, and whether that ends it:
        # an end always releases the inhibitor, and anything else leaves wake
        # control running.
        def signal_action(number):
            return lambda process: process.send_signal(number)

        def close_reader(process):
            process.stdout.close()
        rows = [
            ("SIGINT", signal_action(signal.SIGINT), True),
            ("SIGTERM", signal_action(signal.SIGTERM), True),
            ("SIGHUP", signal_action(signal.SIGHUP), True),
            ("SIGUSR1", signal_action(signal.SIGUSR1), False),
            ("SIGUSR2", signal_action(signal.SIGUSR2), False),
            ("reader of its output gone", close_reader, False),
        ]
        for name, action, ends in rows:
            with self.subTest(name):
                self.write_record("s2", "working", "/srv/api/")
                process = self.start_headless()
                self.expect_line(process, [], "working · 0 · Keeping computer awake · Claude Code is working in api")
                wait_until(self.inhibitors, "our idle inhibitor")
                action(process)
                if not ends:
                    # Each change is a line it cannot write, and wake control goes on.
                    self.write_record("s2", "waiting", "/srv/api/")
                    wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
                    self.write_record("s2", "working", "/srv/api/")
                    wait_until(self.inhibitors, "our idle inhibitor again")
                    process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(DEADLINE), 0)
                wait_until(lambda: not self.inhibitors(), "the inhibitor's release at exit")

    def test_session_bus_that_goes_away_ends_it_with_a_message(self):
        # A session bus of this test's own, which activates nothing.
        config = os.path.join(self.root, "session.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"\n'
                    ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                    '<busconfig><type>session</type><listen>unix:dir=%s</listen><auth>EXTERNAL</auth>'
                    '<policy context="default"><allow send_destination="*" eavesdrop="true"/>'
                    '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>' % self.root)
        bus = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_process, bus)
        environment = self.environment()
        environment["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        stderr_path = os.path.join(self.root, "stderr")
        with open(stderr_path, "wb") as stderr:
            process = self.start_lullwatch(["--headless"], environment, stderr=stderr)
        self.write_record("s1", "working", "/home/dev/work/site")
        self.expect_line(process, [], "working · 0 · Keeping computer awake · Claude Code is working in site")
        wait_until(self.inhibitors, "our idle inhibitor")

        bus.terminate()
        self.assertEqual(process.wait(DEADLINE), 1)
        with open(stderr_path, encoding="utf-8") as f:
            self.assertIn("Lost the connection to the session bus; Lullwatch quits.\n", f.read())
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release at exit")

    def test_lock_is_private_and_never_followed(self):
        # No runtime folder: the lock is in a folder of the application's own.
        environment = self.environment()
        del environment["XDG_RUNTIME_DIR"]
        chosen = os.path.join(self.root, "chosen")
        os.symlink(chosen, os.path.join(self.root, "lullwatch-%d.lock" % os.getuid()))
        own = os.path.join(self.home, ".local", "share", "lullwatch", "instance")
        process = self.start_lullwatch(["--headless"], environment)
        self.expect_line(process, [], "ended · - · Sleep allowed")
        self.assertEqual(os.stat(own).st_mode & 0o777, 0o700)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)

        # A link planted even there is an error, told with its reason.
        os.remove(os.path.join(own, "lullwatch.lock"))
        os.symlink(chosen, os.path.join(own, "lullwatch.lock"))
        result = subprocess.run([LULLWATCH, "--headless"], env=environment, capture_output=True, text=True,
                                timeout=30)
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("lullwatch.lock: it is a symbolic link", result.stderr)
        self.assertFalse(os.path.lexists(chosen))


class TrayTest(ApplicationTestCase):
    """`lullwatch` with a display: its own StatusNotifierItem, and Qt's icon
    in a tray that only embeds X windows."""

    def setUp(self):
        super().setUp()
        self.xvfb, self.display = e2e_support.start_xvfb()
        self.addCleanup(e2e_support.stop_popen_plain, self.xvfb)
        self.stderr_path = os.path.join(self.root, "stderr")

    def tray_environment(self):
        environment = self.environment()
        # A Wayland session with XWayland: the panel, a popup placed next to
        # the icon, needs X11, which lullwatch picks by itself.
        environment.update({"DISPLAY": self.display, "XDG_SESSION_TYPE": "wayland",
                            "WAYLAND_DISPLAY": "wayland-lullwatch-test",
                            # Qt's StatusNotifierItem code leaks a few strings at exit.
                            "ASAN_OPTIONS": "detect_leaks=0"})
        return environment

    def start_tray(self, environment=None):
        stderr = open(self.stderr_path, "wb")
        self.addCleanup(stderr.close)
        return self.start_lullwatch([], environment or self.tray_environment(), stderr=stderr)

    def stderr_lines(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def start_watcher(self, host):
        watcher, self.watcher_mock = self.spawn_server_template(WATCHER_TEMPLATE, {"host": host},
                                                                stdout=subprocess.DEVNULL)
        self.addCleanup(e2e_support.stop_popen_plain, watcher)

    def registered_item(self):
        calls = self.watcher_mock.GetMethodCalls("RegisterStatusNotifierItem", dbus_interface=dbusmock.MOCK_IFACE)
        return str(calls[0][1][0]) if calls else None

    def item_property(self, service, name):
        item = self.get_dbus(False).get_object(service, "/StatusNotifierItem")
        return item.Get(ITEM_INTERFACE, name, dbus_interface=dbus.PROPERTIES_IFACE)

    def tooltip_title(self, service):
        # (sa(iiay)ss): icon name, images, title ("Lullwatch"), description.
        tooltip = self.item_property(service, "ToolTip")
        return str(tooltip[3]) if str(tooltip[2]) == "Lullwatch" else None

    def images(self, service):
        return {(int(w), int(h)): bytes(bytearray(data)) for w, h, data in self.item_property(service, "IconPixmap")}

    def wait_tooltip(self, service, expected):
        try:
            wait_until(lambda: self.tooltip_title(service) == expected, "the tooltip %r" % expected)
        except AssertionError:
            raise AssertionError("expected the tooltip %r, got %r" % (expected, self.tooltip_title(service)))

    def test_item_follows_sessions_and_opens_the_panel(self):
        self.start_watcher(host=True)
        process = self.start_tray()
        service = wait_until(self.registered_item, "RegisterStatusNotifierItem")
        self.assertIn("Running in the tray.", self.stderr_lines())
        self.wait_tooltip(service, "No sessions")
        asleep = self.images(service)
        # Square images only, so that no host shrinks them into a square,
        # at the common tray sizes up to the 64 px that hosts take.
        self.assertEqual(sorted(asleep), [(side, side) for side in (16, 22, 24, 32, 48, 64)])
        self.assertTrue(all(len(data) == 4 * w * h for (w, h), data in asleep.items()))

        self.assertEqual(self.item_property(service, "Status"), "Active")

        self.write_record("s1", "working", "/home/dev/work/site")
        self.wait_tooltip(service, "Working \u00b7 0")
        # The metric beside the icon, not drawn into it.
        self.assertEqual(self.item_property(service, "XAyatanaLabel"), "0")
        working = self.images(service)
        self.assertNotEqual(working[(22, 22)], asleep[(22, 22)])
        self.write_record("s2", "waiting", "/home/dev/work/api", notification_type="permission_prompt")
        self.write_record("s1", "idle", "/home/dev/work/site")
        self.wait_tooltip(service, "Needs you \u00b7 0")
        self.assertEqual(self.item_property(service, "Status"), "NeedsAttention")
        self.assertNotEqual(self.images(service)[(22, 22)], working[(22, 22)])

        self.assertFalse(e2e_support.window_is_viewable(self.display, "Lullwatch"))
        item = self.get_dbus(False).get_object(service, "/StatusNotifierItem")
        item.Activate(dbus.Int32(640), dbus.Int32(0), dbus_interface=ITEM_INTERFACE)
        wait_until(lambda: e2e_support.window_is_viewable(self.display, "Lullwatch"), "the panel")

        # "Quit" in the host's menu ends the application.
        menu = self.get_dbus(False).get_object(service, str(self.item_property(service, "Menu")))
        _, (_, _, entries) = menu.GetLayout(0, -1, [], dbus_interface="com.canonical.dbusmenu")
        quit_id = [int(entry[0]) for entry in entries if entry[1].get("label") == "Quit"]
        self.assertEqual(len(quit_id), 1)
        menu.Event(quit_id[0], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                   dbus_interface="com.canonical.dbusmenu")
        self.assertEqual(process.wait(DEADLINE), 0)
        self.assertEqual([line for line in self.stderr_lines() if "qt.qpa" in line], [])

    def test_panel_that_starts_later_still_gets_the_icon(self):
        # Started at login before the desktop's panel: no watcher yet.
        process = self.start_tray()
        lines = []
        self.expect_line(process, lines, "ended · - · Sleep allowed")
        wait_until(lambda: "No tray found; running headless." in self.stderr_lines(), "the headless notice")

        # The panel comes: its watcher first, then its host registers.
        self.start_watcher(host=False)
        self.watcher_mock.RegisterStatusNotifierHost("org.kde.StatusNotifierHost-1",
                                                     dbus_interface="org.kde.StatusNotifierWatcher")
        service = wait_until(self.registered_item, "RegisterStatusNotifierItem")
        self.assertIn("Running in the tray.", self.stderr_lines())
        self.wait_tooltip(service, "No sessions")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)

    def test_xembed_tray_without_a_host_gets_the_icon(self):
        # trayer owns the X tray selection, and no StatusNotifierItem host runs.
        trayer = subprocess.Popen(["trayer"], env=self.tray_environment(), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_process, trayer)
        wait_until(lambda: e2e_support.window_is_viewable(self.display, "panel"), "trayer's panel")
        process = self.start_tray()
        wait_until(lambda: "Running in the XEmbed tray." in self.stderr_lines(), "the XEmbed notice")

        def docked():
            tree = subprocess.run(["xwininfo", "-display", self.display, "-name", "panel", "-tree"],
                                  capture_output=True, text=True).stdout
            return '"lullwatch": ("lullwatch" "lullwatch")' in tree
        wait_until(docked, "the icon in trayer's panel")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)

    def test_display_out_of_reach_runs_headless(self):
        # A display left behind in the environment, with nothing behind it.
        self.start_watcher(host=True)
        environment = self.tray_environment()
        environment["DISPLAY"] = ":987"
        process = self.start_tray(environment)
        lines = []
        self.expect_line(process, lines, "ended · - · Sleep allowed")
        self.assertIn("No display found; running headless.", self.stderr_lines())
        self.assertIsNone(self.registered_item())
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)


if __name__ == "__main__":
    unittest.main()
