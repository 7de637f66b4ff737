#!/usr/bin/python3
"""A click on the waiting notification brings the agent's terminal to the
front, with the real parts: `lullwatch --headless` on private D-Bus buses
with a notification daemon mock, whose ActionInvoked signal stands for the
click, and a fake agent process that owns the session's record. The agent
runs in a pane of a tmux server of the test's own, or in an xterm on an X
server of the test's own that Openbox manages, or in both."""

import json
import os
import shutil
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
from e2e_support import wait_until  # noqa: E402

DEADLINE = 20.0


def child(pid, command):
    """The pid of a child of `pid` that runs `command`, from /proc; None
    while there is none. By name, since xterm also starts utempter's helper
    for the login records, and a child yet to exec runs its parent's command."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, encoding="utf-8", errors="replace") as f:
                stat = f.read()
        except OSError:
            continue
        if (int(stat[stat.rindex(")") + 2:].split()[1]) == pid
                and stat[stat.index("(") + 1:stat.rindex(")")] == command):
            return int(name)
    return None


class TerminalFocusTest(e2e_support.BusTestCase, dbusmock.DBusTestCase):

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="lullwatch-focus-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = os.path.join(self.root, "home")
        self.sessions = os.path.join(self.home, ".local", "share", "lullwatch", "sessions")
        os.makedirs(self.sessions)
        self.runtime = os.path.join(self.root, "run")
        os.makedirs(self.runtime, mode=0o700)
        self.socket = os.path.join(self.root, "tmux.sock")
        self.display = None
        self.start_mocks()

    def environment(self):
        environment = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                       "XDG_RUNTIME_DIR": self.runtime, "TMPDIR": self.root, "TERM": "xterm-256color"}
        for name in e2e_support.PASSED_THROUGH + ("DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"):
            if name in os.environ:
                environment[name] = os.environ[name]
        if self.display:
            environment["DISPLAY"] = self.display
        return environment

    def start(self, command):
        """A process of the test's own, in a process group of its own, ended with the test."""
        process = subprocess.Popen(command, env=self.environment(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(e2e_support.stop_popen, process)
        return process

    # The parts

    def start_display(self):
        """Xvfb with Openbox managing its windows."""
        xvfb, self.display = e2e_support.start_xvfb()
        self.addCleanup(e2e_support.stop_popen_plain, xvfb)
        self.start(["openbox", "--sm-disable"])
        wait_until(lambda: "window id" in self.root_property("_NET_SUPPORTING_WM_CHECK"), DEADLINE,
                   "Openbox managing the display")

    def root_property(self, name):
        return subprocess.run(["xprop", "-display", self.display, "-root", name], capture_output=True,
                              text=True).stdout

    def window_of(self, pid):
        """The managed window whose _NET_WM_PID is `pid`, as xprop shows the ids."""
        listed = self.root_property("_NET_CLIENT_LIST")
        for window in listed.partition("#")[2].replace(",", " ").split():
            owner = subprocess.run(["xprop", "-display", self.display, "-id", window, "_NET_WM_PID"],
                                   capture_output=True, text=True).stdout
            if owner.strip().endswith("= %d" % pid):
                return window
        return None

    def active_window(self):
        return self.root_property("_NET_ACTIVE_WINDOW").partition("#")[2].strip()

    def tmux(self, *arguments):
        return subprocess.run(["tmux", "-S", self.socket, "-f", "/dev/null", *arguments], env=self.environment(),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, check=True,
                              timeout=30).stdout.strip()

    def start_tmux(self):
        """Window 0 with the agent's pane and a second pane, and window 1,
        which is the active one; returns the agent's pid."""
        self.tmux("new-session", "-d", "-s", "work", "-x", "80", "-y", "24", "--", "sh", "-c", "sleep 600; :")
        self.addCleanup(subprocess.run, ["tmux", "-S", self.socket, "kill-server"], stderr=subprocess.DEVNULL)
        pane = int(self.tmux("display-message", "-p", "-t", "work:0.0", "#{pane_pid}"))
        self.tmux("split-window", "-t", "work:0", "--", "sleep", "600")
        self.tmux("new-window", "-t", "work", "--", "sleep", "600")
        self.assertEqual(self.active_pane(), "1.0")
        return wait_until(lambda: child(pane, "sleep"), DEADLINE, "the agent in its pane")

    def active_pane(self):
        return self.tmux("display-message", "-p", "-t", "work", "#{window_index}.#{pane_index}")

    def start_xterm(self, command):
        """An xterm running `command`, once the window manager made it the active window."""
        xterm = self.start(["xterm", "-e", *command])
        window = wait_until(lambda: self.window_of(xterm.pid), DEADLINE, "the window of xterm %d" % xterm.pid)
        wait_until(lambda: self.active_window() == window, DEADLINE, "xterm %d's window active" % xterm.pid)
        return xterm, window

    # The click

    def click_waiting_notification(self, agent):
        record = {"sessionId": "s1", "state": "waiting", "event": "Notification", "cwd": "/home/dev/site",
                  "transcriptPath": "", "updatedAt": int(time.time()), "pid": agent,
                  "notification_type": "permission_prompt"}
        with open(os.path.join(self.sessions, "s1.json"), "w", encoding="utf-8") as f:
            json.dump(record, f)
        headless = e2e_support.Headless(e2e_support.lullwatch_binary(), self.environment(),
                                        os.path.join(self.root, "headless-stderr"))
        self.addCleanup(headless.stop)
        notify = wait_until(lambda: [c for c in self.notification_calls() if c[1] == "Notify"], DEADLINE, "Notify")
        self.assertEqual([str(a) for a in notify[0][2][5]], ["default", "Show"])
        # The template numbers its notifications from 1.
        self.notifications_mock.EmitSignal("org.freedesktop.Notifications", "ActionInvoked", "us",
                                           [dbus.UInt32(1), "default"], dbus_interface=dbusmock.MOCK_IFACE)

    # The cases

    def test_tmux_pane_without_a_display_is_selected(self):
        agent = self.start_tmux()
        self.click_waiting_notification(agent)
        wait_until(lambda: self.active_pane() == "0.0", DEADLINE, "the agent's pane active")

    def test_tmux_pane_is_selected_and_its_clients_terminal_raised(self):
        self.start_display()
        agent = self.start_tmux()
        _, attached = self.start_xterm(["tmux", "-S", self.socket, "attach-session", "-t", "work"])
        wait_until(lambda: self.tmux("list-clients", "-t", "work"), DEADLINE, "the client attached")
        self.start_xterm(["sleep", "600"])
        self.click_waiting_notification(agent)
        wait_until(lambda: self.active_pane() == "0.0", DEADLINE, "the agent's pane active")
        wait_until(lambda: self.active_window() == attached, DEADLINE, "the attached client's xterm active")

    def test_terminal_window_of_the_nearest_ancestor_is_activated(self):
        self.start_display()
        # The agent runs under a shell in an xterm, which runs in another xterm.
        outer = self.start(["xterm", "-e", "xterm", "-e", "sh", "-c", "sleep 600; :"])
        inner = wait_until(lambda: child(outer.pid, "xterm"), DEADLINE, "the inner xterm")
        shell = wait_until(lambda: child(inner, "sh"), DEADLINE, "the inner xterm's shell")
        agent = wait_until(lambda: child(shell, "sleep"), DEADLINE, "the agent under the shell")
        wait_until(lambda: self.window_of(outer.pid), DEADLINE, "the outer xterm's window")
        window = wait_until(lambda: self.window_of(inner), DEADLINE, "the inner xterm's window")
        self.start_xterm(["sleep", "600"])
        self.click_waiting_notification(agent)
        wait_until(lambda: self.active_window() == window, DEADLINE, "the inner xterm active")


if __name__ == "__main__":
    unittest.main()
