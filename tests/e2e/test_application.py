#!/usr/bin/python3
"""The application on private buses with mock services, over records written as the hooks write them:
headless; in the tray of a StatusNotifierWatcher stand-in, of an XEmbed tray, of xfce4-panel (read from
the screen's pixels); and a click on its notification bringing the agent's terminal to the front.
Arguments: the test classes to run."""

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

    def start_display(self):
        xvfb, self.display = e2e_support.start_xvfb()
        self.addCleanup(end, xvfb)

    def start_lullwatch(self, arguments=("--headless",), environment=None):
        process = super().start_lullwatch(arguments, environment)
        self.addCleanup(end, process)
        return process

    def start_tray(self, **changes):
        # Under XWayland it picks X11 to place its panel by the icon. Qt's tray code leaks a few strings at exit.
        return self.start_lullwatch((), dict(
            self.environment(), DISPLAY=self.display, XDG_SESSION_TYPE="wayland",
            WAYLAND_DISPLAY="wayland-lullwatch-test", ASAN_OPTIONS="detect_leaks=0") | changes)

    def write_record(self, session_id, state, cwd, **extra):
        record = {"sessionId": session_id, "state": state, "event": "UserPromptSubmit", "cwd": cwd,
                  "transcriptPath": "", "updatedAt": int(time.time()), "pid": self.agent.pid, **extra}
        temporary = self.sessions / ".record.test"
        temporary.write_text(json.dumps(record), encoding="utf-8")
        temporary.rename(self.sessions / (session_id + ".json"))

    def item_property(self, service, name):
        return self.get_dbus(False).get_object(service, "/StatusNotifierItem").Get(
            "org.kde.StatusNotifierItem", name, dbus_interface=dbus.PROPERTIES_IFACE)

    def wait_tooltip(self, service, expected):
        def tooltip():  # (sa(iiay)ss): icon name, images, title, description
            value = self.item_property(service, "ToolTip")
            return str(value[2]), str(value[3])
        wait_until(lambda: tooltip() == ("Lullwatch", expected), "the tooltip %r" % expected,
                   show=lambda: repr(tooltip()))


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
                if not ends:  # a change is a line it cannot write, and wake control goes on
                    self.write_record("s2", "waiting", "/srv/api/")
                    wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
                    process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(DEADLINE), 0)
                wait_until(lambda: not self.inhibitors(), "the inhibitor's release at exit")

    def test_session_bus_that_goes_away_ends_it_with_a_message(self):
        bus = subprocess.Popen(["dbus-daemon", "--config-file=%s" % (e2e_support.E2E_DIR / "session-bus.conf"),
                                "--nofork", "--print-address=1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(end, bus)
        process = self.start_lullwatch(environment=dict(
            self.environment(), DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().decode().strip()))
        self.write_record("s1", "working", "/home/dev/work/site")
        wait_until(self.inhibitors, "our idle inhibitor")
        bus.terminate()
        self.assertEqual(process.wait(DEADLINE), 1)
        self.assertIn("Lost the connection to the session bus; Lullwatch quits.\n", process.stderr_text())
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release at exit")

    def test_lock_without_a_runtime_folder_is_in_a_private_folder_of_its_own(self):
        environment = self.environment()
        del environment["XDG_RUNTIME_DIR"]
        (self.root / ("lullwatch-%d.lock" % os.getuid())).symlink_to(self.root / "chosen")
        self.start_lullwatch(environment=environment).wait_last_line(ENDED)
        own = self.home / ".local" / "share" / "lullwatch" / "instance"
        self.assertEqual(own.stat().st_mode & 0o777, 0o700)
        self.assertTrue((own / "lullwatch.lock").is_file())
        self.assertFalse(os.path.lexists(self.root / "chosen"))


class TrayTest(ApplicationTestCase):

    def setUp(self):
        super().setUp()
        self.start_display()

    def start_watcher(self, host):
        watcher, self.watcher_mock = self.spawn_server_template(
            str(e2e_support.TESTS_DIR / "ui" / "status_notifier_watcher.py"), {"host": host}, stdout=subprocess.DEVNULL)
        self.addCleanup(end, watcher)

    def registered_item(self):
        calls = self.watcher_mock.GetMethodCalls("RegisterStatusNotifierItem", dbus_interface=dbusmock.MOCK_IFACE)
        return str(calls[0][1][0]) if calls else None

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


class XfcePanelTest(ApplicationTestCase):

    def test_item_in_the_panel_follows_the_sessions_and_quits_from_its_menu(self):
        self.start_display()
        portal = e2e_support.Portal(dark=False)
        self.addCleanup(portal.close)
        panel = e2e_support.XfcePanel(self.root, self.display)
        self.addCleanup(panel.close)
        self.assertEqual(panel.strip()[1], {}, "the tray is empty before the item comes")
        process = self.start_tray()
        prefix = "org.kde.StatusNotifierItem-%d-" % process.pid
        item = wait_until(lambda: [i for i in panel.watcher("RegisteredStatusNotifierItems") if i.startswith(prefix)],
                          "our item among the panel's items")
        service = item[0].partition("/")[0]
        self.assertIn("Running in the tray.\n", process.stderr_text())
        self.wait_tooltip(service, "No sessions")
        self.write_record("s1", "working", "/home/dev/work/site")
        self.wait_tooltip(service, "Working \u00b7 0")

        # Our glyphs at the right end stand out as the colour scheme and the panel's mode change together.
        for dark in (False, True, False):
            portal.set_dark(dark)
            panel.set_dark(dark)
            seen = {}

            def drawn():
                background, icon = panel.strip()
                seen.update(glyphs=e2e_support.luminance(icon.values()), panel=e2e_support.luminance([background]))
                stands_out = seen["glyphs"] > seen["panel"] + 0.3 if dark else seen["glyphs"] < seen["panel"] - 0.3
                return icon if icon and stands_out else None
            icon = wait_until(drawn, "glyphs that stand out on a %s panel" % ("dark" if dark else "light"),
                              show=lambda: "glyphs of luminance %(glyphs).2f on %(panel).2f" % seen)
            xs, ys = sorted(x for x, _ in icon), sorted(y for _, y in icon)
            self.assertGreaterEqual(xs[0], 1280 - 2 * e2e_support.XFCE_PANEL_SIZE)

        # A click on the icon opens our panel below it, on the screen and clear of the desktop's panel.
        x, y = xs[len(xs) // 2], ys[len(ys) // 2]
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"],
                       env=dict(os.environ, DISPLAY=self.display), check=True)
        wait_until(lambda: "IsViewable" in window(self.display, "Lullwatch"), "the panel")
        report = window(self.display, "Lullwatch").splitlines()
        fields = dict(line.strip().split(":", 1) for line in report if ":" in line)
        left, top, width, height = (int(fields[key]) for key in (
            "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        work_area_top = int(e2e_support.root_property(self.display, "_NET_WORKAREA").partition("=")[2].split(",")[1])
        self.assertTrue(left <= x < left + width <= 1280, (left, width, x))
        self.assertTrue(work_area_top <= top <= work_area_top + e2e_support.XFCE_PANEL_SIZE, (top, work_area_top))
        self.assertLessEqual(top + height, 800)

        # A waiting session: the item asks for attention and the tray shows it; its menu's Quit ends it.
        self.write_record("s2", "waiting", "/home/dev/work/api", notification_type="permission_prompt")
        self.write_record("s1", "idle", "/home/dev/work/site")
        self.wait_tooltip(service, "Needs you \u00b7 0")
        self.assertEqual(self.item_property(service, "Status"), "NeedsAttention")
        wait_until(lambda: panel.strip()[1] not in ({}, icon), "the waiting symbol in the tray")
        menu = self.get_dbus(False).get_object(service, str(self.item_property(service, "Menu")))
        _, (_, _, entries) = menu.GetLayout(0, -1, [], dbus_interface="com.canonical.dbusmenu")
        quit_ids = [int(entry[0]) for entry in entries if entry[1].get("label") == "Quit"]
        self.assertEqual(len(quit_ids), 1)
        menu.Event(quit_ids[0], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                   dbus_interface="com.canonical.dbusmenu")
        self.assertEqual(process.wait(DEADLINE), 0)
        self.assertNotIn("qt.qpa", process.stderr_text())


def child(pid, name):
    """A child of `pid` running `name`, by name: xterm also starts utempter's helper."""
    found = subprocess.run(["pgrep", "-P", str(pid), "-x", name], capture_output=True, text=True).stdout.split()
    return int(found[0]) if found else None


class TerminalFocusTest(ApplicationTestCase):
    """With Openbox: the xterm the agent runs in, or the one attached to its tmux session, its pane selected."""

    def setUp(self):
        super().setUp()
        self.start_display()
        e2e_support.start_openbox(self.display, self.start)

    def environment(self):
        return dict(super().environment(), DISPLAY=self.display)

    def start(self, command):
        process = e2e_support.spawn(command, self.environment())
        self.addCleanup(end, process)
        return process

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *arguments], env=self.environment(), capture_output=True,
                              text=True).stdout.strip()

    def window_of(self, pid):
        return self.xdotool("search", "--onlyvisible", "--pid", str(pid))

    def start_xterm(self, command):
        xterm = self.start(["xterm", "-e", *command])
        window = wait_until(lambda: self.window_of(xterm.pid), "the window of xterm %d" % xterm.pid)
        wait_until(lambda: self.xdotool("getactivewindow") == window, "xterm %d's window active" % xterm.pid)
        return window

    def click_waiting_notification(self, agent, active_window):
        self.write_record("s1", "waiting", "/home/dev/site", event="Notification", pid=agent,
                          notification_type="permission_prompt")
        self.start_xterm(["sleep", "600"])  # in front until the click
        self.start_lullwatch(environment=self.environment())
        self.wait_notified()
        self.assertEqual([str(a) for a in self.notification_calls("Notify")[0][2][5]], ["default", "Show"])
        self.notification_mock.EmitSignal("org.freedesktop.Notifications", "ActionInvoked", "us",
                                           [dbus.UInt32(1), "default"], dbus_interface=dbusmock.MOCK_IFACE)
        wait_until(lambda: self.xdotool("getactivewindow") == active_window, "the agent's terminal active")

    def test_tmux_pane_is_selected_and_its_clients_terminal_raised(self):
        # The agent in window 0 beside a second pane; window 1 is the active one.
        tmux = e2e_support.Tmux(self.root, self.environment())
        self.addCleanup(tmux.close)
        pane = tmux.new_session("work", self.root, ["sh", "-c", "sleep 600; :"])
        tmux.run("split-window", "-t", "work:0", "--", "sleep", "600")
        tmux.run("new-window", "-t", "work", "--", "sleep", "600")
        attached = self.start_xterm(tmux.command("attach-session", "-t", "work"))
        wait_until(lambda: tmux.run("list-clients", "-t", "work"), "the client attached")
        self.click_waiting_notification(wait_until(lambda: child(pane, "sleep"), "the agent in its pane"), attached)
        self.assertEqual(tmux.run("display-message", "-p", "-t", "work", "#{window_index}.#{pane_index}"), "0.0")

    def test_terminal_window_of_the_nearest_ancestor_is_activated(self):
        outer = self.start(["xterm", "-e", "xterm", "-e", "sh", "-c", "sleep 600; :"])  # the agent under a shell
        inner = wait_until(lambda: child(outer.pid, "xterm"), "the inner xterm")
        shell = wait_until(lambda: child(inner, "sh"), "the inner xterm's shell")
        agent = wait_until(lambda: child(shell, "sleep"), "the agent under the shell")
        wait_until(lambda: self.window_of(outer.pid), "the outer xterm's window")
        self.click_waiting_notification(agent, wait_until(lambda: self.window_of(inner), "the inner xterm's window"))


if __name__ == "__main__":
    unittest.main()
