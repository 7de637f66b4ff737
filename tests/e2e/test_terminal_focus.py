#!/usr/bin/python3
"""A click on the waiting notification brings the agent's terminal to the front: the agent in a tmux
pane, or in an xterm on an X server that Openbox manages, or in both."""

import subprocess
import sys
import unittest

import dbus
import dbusmock

sys.dont_write_bytecode = True

import e2e_support  # noqa: E402
from e2e_support import child_pids, end, proc_status, wait_until  # noqa: E402
from test_application import ApplicationTestCase  # noqa: E402


def child(pid, command):
    """A child of `pid` running `command`, by name: xterm also starts utempter's helper."""
    return next((c for c in child_pids(pid) if proc_status(c).get("Name") == command), None)


class TerminalFocusTest(ApplicationTestCase):
    display = None

    def environment(self):
        return dict(super().environment(), **({"DISPLAY": self.display} if self.display else {}))

    def start(self, command):
        process = e2e_support.spawn(command, self.environment())
        self.addCleanup(end, process)
        return process

    def start_display(self):
        xvfb, self.display = e2e_support.start_xvfb()
        self.addCleanup(end, xvfb)
        e2e_support.start_openbox(self.display, self.start)

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *arguments], env=self.environment(), capture_output=True,
                              text=True).stdout.strip()

    def window_of(self, pid):
        return self.xdotool("search", "--onlyvisible", "--pid", str(pid))

    def start_tmux(self):
        """The agent's pid in window 0 beside a second pane; window 1 is the active one."""
        self.tmux = e2e_support.Tmux(self.root, self.environment())
        self.addCleanup(self.tmux.close)
        pane = self.tmux.new_session("work", self.root, ["sh", "-c", "sleep 600; :"])
        self.tmux.run("split-window", "-t", "work:0", "--", "sleep", "600")
        self.tmux.run("new-window", "-t", "work", "--", "sleep", "600")
        self.assertEqual(self.active_pane(), "1.0")
        return wait_until(lambda: child(pane, "sleep"), "the agent in its pane")

    def active_pane(self):
        return self.tmux.run("display-message", "-p", "-t", "work", "#{window_index}.#{pane_index}")

    def start_xterm(self, command):
        xterm = self.start(["xterm", "-e", *command])
        window = wait_until(lambda: self.window_of(xterm.pid), "the window of xterm %d" % xterm.pid)
        wait_until(lambda: self.xdotool("getactivewindow") == window, "xterm %d's window active" % xterm.pid)
        return window

    def click_waiting_notification(self, agent):
        self.write_record("s1", "waiting", "/home/dev/site", event="Notification", pid=agent,
                          notification_type="permission_prompt")
        self.start_lullwatch(environment=self.environment())
        self.wait_notified()
        self.assertEqual([str(a) for a in self.notification_calls("Notify")[0][2][5]], ["default", "Show"])
        self.notifications_mock.EmitSignal("org.freedesktop.Notifications", "ActionInvoked", "us",
                                           [dbus.UInt32(1), "default"], dbus_interface=dbusmock.MOCK_IFACE)

    def test_tmux_pane_without_a_display_is_selected(self):
        self.click_waiting_notification(self.start_tmux())
        wait_until(lambda: self.active_pane() == "0.0", "the agent's pane active")

    def test_tmux_pane_is_selected_and_its_clients_terminal_raised(self):
        self.start_display()
        agent = self.start_tmux()
        attached = self.start_xterm(self.tmux.command("attach-session", "-t", "work"))
        wait_until(lambda: self.tmux.run("list-clients", "-t", "work"), "the client attached")
        self.start_xterm(["sleep", "600"])
        self.click_waiting_notification(agent)
        wait_until(lambda: self.active_pane() == "0.0", "the agent's pane active")
        wait_until(lambda: self.xdotool("getactivewindow") == attached, "the attached client's xterm active")

    def test_terminal_window_of_the_nearest_ancestor_is_activated(self):
        self.start_display()  # the agent under a shell in an xterm in another xterm
        outer = self.start(["xterm", "-e", "xterm", "-e", "sh", "-c", "sleep 600; :"])
        inner = wait_until(lambda: child(outer.pid, "xterm"), "the inner xterm")
        shell = wait_until(lambda: child(inner, "sh"), "the inner xterm's shell")
        agent = wait_until(lambda: child(shell, "sleep"), "the agent under the shell")
        wait_until(lambda: self.window_of(outer.pid), "the outer xterm's window")
        window = wait_until(lambda: self.window_of(inner), "the inner xterm's window")
        self.start_xterm(["sleep", "600"])
        self.click_waiting_notification(agent)
        wait_until(lambda: self.xdotool("getactivewindow") == window, "the inner xterm active")


if __name__ == "__main__":
    unittest.main()
