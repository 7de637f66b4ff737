#!/usr/bin/python3
"""The application on private buses with mock services, over records written as the hooks write them:
headless, and in the tray of a StatusNotifierWatcher stand-in or of an XEmbed tray."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import dbus
import dbusmock

sys.dont_write_bytecode = True

import e2e_support  # noqa: E402
from e2e_support import DEADLINE, end, wait_until, window  # noqa: E402

WATCHER_TEMPLATE = str(e2e_support.E2E_DIR.parent / "ui" / "status_notifier_watcher.py")
ENDED = "ended · - · Sleep allowed"


class ApplicationTestCase(e2e_support.LullwatchSide, e2e_support.BusTestCase, dbusmock.DBusTestCase):
    """Lullwatch in a folder of the test's own with the mock services; `agent` owns the sessions."""

    environment = e2e_support.LullwatchSide.lullwatch_environment

    def setUp(self):
        self.root = self.tmp = Path(tempfile.mkdtemp(prefix="lullwatch-e2e-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = self.root / "home"
        self.set_up_lullwatch()
        self.sessions.mkdir(parents=True)
        self.start_mocks()
        self.agent = subprocess.Popen(["sleep", "600"])
        self.addCleanup(end, self.agent)

    def start_lullwatch(self, arguments=("--headless",), environment=None):
        process = super().start_lullwatch(arguments, environment)
        self.addCleanup(end, process)
        return process

    def write_record(self, session_id, state, cwd, **extra):
        record = {"sessionId": session_id, "state": state, "event": "UserPromptSubmit", "cwd": cwd,
                  "transcriptPath": "", "updatedAt": int(time.time()), "pid": self.agent.pid, **extra}
        temporary = self.sessions / ".record.test"
        temporary.write_text(json.dumps(record), encoding="utf-8")
        temporary.rename(self.sessions / (session_id + ".json"))

    def item_property(self, service, name):
        return self.get_dbus(False).get_object(service, "/StatusNotifierItem").Get(
            "org.kde.StatusNotifierItem", name, dbus_interface=dbus.PROPERTIES_IFACE)


class HeadlessTest(ApplicationTestCase):

    def test_a_battery_pauses_wake_control_and_a_second_instance_leaves_the_first_alone(self):
        process = self.start_lullwatch()
        self.write_record("s1", "working", "/home/dev/work/site")
        process.wait_last_line("working · 0 · Keeping computer awake · Claude Code is working in site")
        wait_until(self.inhibitors, "our idle inhibitor")
        self.set_battery(True, 12.7)
        process.wait_last_line("working · 0 · Paused \u2014 battery at 12%")
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
        self.assertEqual(self.lullwatch("--headless"), "Lullwatch is already running.\n")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)

    def test_an_end_releases_the_inhibitor_and_nothing_else_stops_wake_control(self):
        rows = [("SIGINT", signal.SIGINT, True), ("SIGTERM", signal.SIGTERM, True), ("SIGHUP", signal.SIGHUP, True),
                ("SIGUSR1", signal.SIGUSR1, False), ("SIGUSR2", signal.SIGUSR2, False),
                ("reader of its output gone", None, False)]
        for name, number, ends in rows:
            with self.subTest(name):
                self.write_record("s2", "working", "/srv/api/")
                process = self.start_lullwatch()
                process.wait_last_line("working · 0 · Keeping computer awake · Claude Code is working in api")
                wait_until(self.inhibitors, "our idle inhibitor")
                process.send_signal(number) if number else process.stdout.close()
                if not ends:  # each change is a line it cannot write, and wake control goes on
                    self.write_record("s2", "waiting", "/srv/api/")
                    wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
                    self.write_record("s2", "working", "/srv/api/")
                    wait_until(self.inhibitors, "our idle inhibitor again")
                    process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(DEADLINE), 0)
                wait_until(lambda: not self.inhibitors(), "the inhibitor's release at exit")

    def test_session_bus_that_goes_away_ends_it_with_a_message(self):
        bus = subprocess.Popen(["dbus-daemon", "--config-file=%s" % (e2e_support.E2E_DIR / "session-bus.conf"),
                                "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(end, bus)
        process = self.start_lullwatch(environment=dict(
            self.environment(), DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().decode().strip()))
        self.write_record("s1", "working", "/home/dev/work/site")
        wait_until(self.inhibitors, "our idle inhibitor")
        bus.terminate()
        self.assertEqual(process.wait(DEADLINE), 1)
        self.assertIn("Lost the connection to the session bus; Lullwatch quits.\n", process.stderr_text())
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release at exit")

    def test_lock_is_private_and_never_followed(self):
        # No runtime folder: the lock is in a folder of the application's own; a link even there is an error.
        environment = self.environment()
        del environment["XDG_RUNTIME_DIR"]
        chosen = self.root / "chosen"
        (self.root / ("lullwatch-%d.lock" % os.getuid())).symlink_to(chosen)
        own = self.home / ".local" / "share" / "lullwatch" / "instance"
        process = self.start_lullwatch(environment=environment)
        process.wait_last_line(ENDED)
        self.assertEqual(own.stat().st_mode & 0o777, 0o700)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(DEADLINE), 0)
        (own / "lullwatch.lock").unlink()
        (own / "lullwatch.lock").symlink_to(chosen)
        process = self.start_lullwatch(environment=environment)
        self.assertEqual((process.wait(DEADLINE), process.read()), (1, []))
        self.assertIn("lullwatch.lock: it is a symbolic link", process.stderr_text())
        self.assertFalse(os.path.lexists(chosen))


class TrayTest(ApplicationTestCase):

    def setUp(self):
        super().setUp()
        xvfb, self.display = e2e_support.start_xvfb()
        self.addCleanup(end, xvfb)

    def start_tray(self, **changes):
        # Under XWayland it picks X11 to place its panel by the icon. Qt's tray code leaks a few strings at exit.
        return self.start_lullwatch((), dict(
            self.environment(), DISPLAY=self.display, XDG_SESSION_TYPE="wayland",
            WAYLAND_DISPLAY="wayland-lullwatch-test", ASAN_OPTIONS="detect_leaks=0") | changes)

    def start_watcher(self, host):
        watcher, self.watcher_mock = self.spawn_server_template(WATCHER_TEMPLATE, {"host": host},
                                                                stdout=subprocess.DEVNULL)
        self.addCleanup(end, watcher)

    def registered_item(self):
        calls = self.watcher_mock.GetMethodCalls("RegisterStatusNotifierItem", dbus_interface=dbusmock.MOCK_IFACE)
        return str(calls[0][1][0]) if calls else None

    def wait_tooltip(self, service, expected):
        def tooltip():  # (sa(iiay)ss): icon name, images, title, description
            value = self.item_property(service, "ToolTip")
            return str(value[2]), str(value[3])
        wait_until(lambda: tooltip() == ("Lullwatch", expected), "the tooltip %r" % expected,
                   show=lambda: repr(tooltip()))

    def images(self, service):
        return {(int(w), int(h)): bytes(bytearray(data)) for w, h, data in self.item_property(service, "IconPixmap")}

    def test_item_follows_the_sessions_and_quits_from_its_menu(self):
        self.start_watcher(host=True)
        process = self.start_tray()
        service = wait_until(self.registered_item, "RegisterStatusNotifierItem")
        self.assertIn("Running in the tray.\n", process.stderr_text())
        self.wait_tooltip(service, "No sessions")
        asleep = self.images(service)
        self.assertEqual(self.item_property(service, "Status"), "Active")

        self.write_record("s1", "working", "/home/dev/work/site")
        self.wait_tooltip(service, "Working \u00b7 0")
        self.assertEqual(self.item_property(service, "XAyatanaLabel"), "0")  # beside the icon, not in it
        working = self.images(service)
        self.assertNotEqual(working[(22, 22)], asleep[(22, 22)])
        self.write_record("s2", "waiting", "/home/dev/work/api", notification_type="permission_prompt")
        self.write_record("s1", "idle", "/home/dev/work/site")
        self.wait_tooltip(service, "Needs you \u00b7 0")
        self.assertEqual(self.item_property(service, "Status"), "NeedsAttention")
        self.assertNotEqual(self.images(service)[(22, 22)], working[(22, 22)])

        menu = self.get_dbus(False).get_object(service, str(self.item_property(service, "Menu")))
        _, (_, _, entries) = menu.GetLayout(0, -1, [], dbus_interface="com.canonical.dbusmenu")
        quit_ids = [int(entry[0]) for entry in entries if entry[1].get("label") == "Quit"]
        self.assertEqual(len(quit_ids), 1)
        menu.Event(quit_ids[0], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                   dbus_interface="com.canonical.dbusmenu")
        self.assertEqual(process.wait(DEADLINE), 0)
        self.assertNotIn("qt.qpa", process.stderr_text())

    def test_panel_that_starts_later_still_gets_the_icon(self):
        process = self.start_tray()  # at login, before the desktop's panel
        wait_until(lambda: "No tray found; running headless.\n" in process.stderr_text(), "the headless notice")
        # The panel comes: its watcher first, then its host registers.
        self.start_watcher(host=False)
        self.watcher_mock.RegisterStatusNotifierHost("org.kde.StatusNotifierHost-1",
                                                     dbus_interface="org.kde.StatusNotifierWatcher")
        service = wait_until(self.registered_item, "RegisterStatusNotifierItem")
        self.assertIn("Running in the tray.\n", process.stderr_text())
        self.wait_tooltip(service, "No sessions")

    def test_xembed_tray_without_a_host_gets_the_icon(self):
        trayer = e2e_support.spawn(["trayer"], dict(self.environment(), DISPLAY=self.display))
        self.addCleanup(end, trayer)
        wait_until(lambda: "IsViewable" in window(self.display, "panel"), "trayer's panel")
        process = self.start_tray()
        wait_until(lambda: "Running in the XEmbed tray.\n" in process.stderr_text(), "the XEmbed notice")
        wait_until(lambda: '"lullwatch": ("lullwatch" "lullwatch")' in window(self.display, "panel", "-tree"),
                   "the icon in trayer's panel")

    def test_display_out_of_reach_runs_headless(self):
        self.start_watcher(host=True)
        process = self.start_tray(DISPLAY=":987")  # left behind in the environment
        process.wait_last_line(ENDED)
        self.assertIn("No display found; running headless.\n", process.stderr_text())
        self.assertIsNone(self.registered_item())


if __name__ == "__main__":
    unittest.main()
