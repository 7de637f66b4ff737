#!/usr/bin/python3
"""The real Claude Code CLI with Lullwatch's hooks installed, seen through
`lullwatch --headless` on private D-Bus buses: a permission prompt makes the
session wait and posts "Claude needs you" to the notification daemon mock,
logind's mock holds Lullwatch's idle inhibitor while a session works (not on
a low battery), and with two sessions the tray text follows the primary one."""

import os
import sys
import time
import unittest

import dbusmock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import text_reply, tool_reply, usage, wait_until  # noqa: E402

AWAKE = "Keeping computer awake"
ASLEEP = "Sleep allowed"


def line(state, title, wake, folder):
    """The headless line; it names the reason only while the computer is kept awake."""
    reason = ["Claude Code is working in " + folder] if wake == AWAKE else []
    return " \u00b7 ".join([state, title, wake] + reason)


def notify_arguments(call):
    """(summary, body) of a recorded Notify call."""
    arguments = call[2]
    return str(arguments[3]), str(arguments[4])


class AgentDesktopTest(e2e.BusTestCase, dbusmock.DBusTestCase):

    def setUp(self):
        self.sandbox = e2e.E2ESandbox()
        self.addCleanup(self.sandbox.close)

    def wait_next_second(self, updated_at):
        """Waits until the clock has passed the whole second `updated_at`, so
        that the next record written is strictly newer than that one."""
        wait_until(lambda: time.time() >= updated_at + 1, 5, "the next second")

    # 2. waiting for the user

    def test_permission_prompt_waits_notifies_and_withdraws_the_notification_once_answered(self):
        self.start_mocks()
        box = self.sandbox
        box.install_hooks()
        target = box.work / "made-by-agent.txt"
        replies = [
            tool_reply("Bash", {"command": "echo made > made-by-agent.txt", "description": "Write a file"},
                       "msg_e2e_perm_001", text="I will write the file.", usage=usage(3000, 120, 900, 41000),
                       model="claude-standin-perm"),
            text_reply("The file is written.", "msg_e2e_perm_002", usage=usage(3500, 60, 300, 42000),
                       model="claude-standin-perm"),
        ]
        standin = box.start_standin(replies)
        headless = box.start_headless()
        headless.wait_last_line("ended \u00b7 - \u00b7 Sleep allowed")

        agent = box.start_interactive(["--permission-mode", "default"])
        headless.wait_last_line(line("idle", "0", ASLEEP, "work"))

        agent.submit("please write the file")
        agent.wait_screen("Do you want to proceed?")
        waiting = headless.wait_last_line(lambda text: text.startswith("waiting \u00b7 "), e2e.NOTIFICATION_DEADLINE)
        self.assertEqual(waiting, line("waiting", e2e.format_token_count(e2e.context_tokens(replies[0])),
                                       ASLEEP, "work"))
        record = box.record(agent.session_id)
        self.assertEqual((record["state"], record["event"], record["notification_type"]),
                         ("waiting", "Notification", "permission_prompt"))
        self.assertEqual(box.listed(agent.session_id)["state"], "waiting")
        row = box.lullwatch("status").splitlines()[1]
        self.assertTrue(row.startswith("work "), row)
        self.assertIn(" Needs you ", row)
        self.assertEqual(self.inhibitors(), [])

        notify = wait_until(lambda: [c for c in self.notification_calls() if c[1] == "Notify"], e2e.DEADLINE,
                            "Notify")
        self.assertEqual([notify_arguments(c) for c in notify],
                         [("Claude needs you", "work is waiting for your input.")])
        self.assertFalse([c for c in self.notification_calls() if c[1] == "CloseNotification"])
        self.assertFalse(target.exists())

        # "1. Yes" is the highlighted answer: Enter approves.
        agent.wait_screen("\u276f 1. Yes")
        agent.press("Enter")
        wait_until(target.exists, e2e.DEADLINE, "the file the approved command writes")
        headless.wait_last_line(line("idle", e2e.format_token_count(e2e.context_tokens(replies[1])), ASLEEP, "work"))
        self.assertFalse([text for text in headless.lines[headless.lines.index(waiting) + 1:]
                          if text.startswith("waiting")])
        wait_until(lambda: [c for c in self.notification_calls() if c[1] == "CloseNotification"], e2e.DEADLINE,
                   "CloseNotification")
        self.assertEqual(len([c for c in self.notification_calls() if c[1] == "Notify"]), 1)
        self.assertEqual(standin.served_ids(), ["msg_e2e_perm_001", "msg_e2e_perm_002"])
        box.wait_usage(agent.session_id, e2e.served_usage(replies, standin.served_ids()))

    # 5. keeping the computer awake

    def test_idle_inhibitor_is_held_while_the_session_works_and_released_after_stop(self):
        self.start_mocks()
        box = self.sandbox
        box.install_hooks()
        replies = [text_reply("Worked.", "msg_e2e_wake_001", usage=usage(800, 50, 0, 9000), hold=True)]
        standin = box.start_standin(replies)
        headless = box.start_headless()

        agent = box.start_interactive(["--permission-mode", "default"])
        headless.wait_last_line(line("idle", "0", ASLEEP, "work"))
        self.assertEqual(self.inhibitors(), [])

        agent.submit("work for a while")
        standin.wait_for_event("held", "msg_e2e_wake_001")
        headless.wait_last_line(line("working", "0", AWAKE, "work"))
        inhibitors = wait_until(self.inhibitors, e2e.DEADLINE, "Lullwatch's inhibitor")
        self.assertEqual([entry[:4] for entry in inhibitors],
                         [("idle", "Lullwatch", "Claude Code is working in work", "block")])

        standin.release("msg_e2e_wake_001")
        box.wait_record(lambda r: r.get("event") == "Stop", "the Stop record", agent.session_id)
        headless.wait_last_line(line("idle", e2e.format_token_count(e2e.context_tokens(replies[0])), ASLEEP, "work"))
        wait_until(lambda: not self.inhibitors(), e2e.DEADLINE, "the inhibitor's release")

    def test_inhibitor_is_not_taken_on_a_low_battery(self):
        self.start_mocks(on_battery=True, battery_percent=10.0)
        box = self.sandbox
        box.install_hooks()
        standin = box.start_standin([text_reply("Worked.", "msg_e2e_battery_001", hold=True)])
        headless = box.start_headless()

        session_id = box.new_session_id()
        agent = box.start_print("work on battery", session_id=session_id)
        standin.wait_for_event("held", "msg_e2e_battery_001")
        box.wait_record(lambda r: r.get("state") == "working", "the working record", session_id)
        headless.wait_last_line(line("working", "0", "Paused \u2014 battery at 10%", "work"))
        self.assertEqual(self.inhibitors(), [])

        standin.release("msg_e2e_battery_001")
        self.assertEqual(box.finish(agent)[0], 0)
        self.assertEqual(self.inhibitors(), [])

    # 6. two sessions at once

    def test_two_sessions_are_listed_newest_first_and_the_tray_follows_the_primary_one(self):
        self.start_mocks()
        box = self.sandbox
        box.install_hooks()
        alpha = box.add_folder("alpha")
        beta = box.add_folder("beta two")
        (alpha / "plan.txt").write_text("the plan\n", encoding="utf-8")
        a = [
            tool_reply("Read", {"file_path": str(alpha / "plan.txt")}, "msg_e2e_alpha_001", text="Reading the plan.",
                       usage=usage(2000, 178, 3500, 40000), model="claude-standin-alpha"),
            text_reply("The plan is read.", "msg_e2e_alpha_002", usage=usage(100, 20, 0, 46000),
                       model="claude-standin-alpha", hold=True),
        ]
        b = [
            text_reply("Hello from beta.", "msg_e2e_beta_001", usage=usage(300, 12, 100, 100),
                       model="claude-standin-beta"),
            tool_reply("Bash", {"command": "echo beta > beta.txt", "description": "Write beta.txt"},
                       "msg_e2e_beta_002", text="Writing beta.txt.", usage=usage(700, 34, 200, 300),
                       model="claude-standin-beta"),
            text_reply("beta.txt is written.", "msg_e2e_beta_003", usage=usage(500, 99, 150, 250),
                       model="claude-standin-beta"),
        ]
        # Served in this order: each step below waits for the one before.
        standin = box.start_standin([a[0], a[1], b[0], b[1], b[2]])
        headless = box.start_headless()

        def states():
            return [(s["cwd"], s["state"]) for s in box.status_json()]

        def wait_states(expected):
            try:
                wait_until(lambda: states() == expected, e2e.DEADLINE, "the sessions %r" % (expected,))
            except TimeoutError as error:
                raise AssertionError("%s; status: %r" % (error, box.status_json())) from None

        first = box.start_interactive(["--permission-mode", "default", "--allowedTools", "Read"], cwd=alpha)
        first.submit("read the plan")
        standin.wait_for_event("held", "msg_e2e_alpha_002")
        working = box.wait_record(lambda r: r.get("state") == "working", "alpha's working record",
                                  first.session_id)

        # alpha works, beta (newer) is idle: alpha is the primary session.
        second = box.start_interactive(["--permission-mode", "default"], cwd=beta)
        self.wait_next_second(working["updatedAt"])
        second.submit("say hello")
        box.wait_record(lambda r: r.get("event") == "Stop", "beta's Stop record", second.session_id)
        wait_states([(str(beta), "idle"), (str(alpha), "working")])
        alpha_title = e2e.format_token_count(e2e.context_tokens(a[0]))
        self.assertEqual(alpha_title, "45k")
        headless.wait_last_line(line("working", alpha_title, AWAKE, "alpha"))
        table = box.lullwatch("status").splitlines()
        self.assertTrue(table[1].startswith("beta two  "), table)
        self.assertTrue(table[2].startswith("alpha  "), table)

        # beta asks for permission and waits; alpha still works and stays primary.
        second.submit("write beta.txt")
        waiting = box.wait_record(lambda r: r.get("state") == "waiting", "beta's waiting record",
                                  second.session_id, timeout=e2e.NOTIFICATION_DEADLINE)
        wait_states([(str(beta), "waiting"), (str(alpha), "working")])
        headless.wait_last_line(line("working", alpha_title, AWAKE, "alpha"))

        # alpha finishes after that: it is newest and idle, beta (second) is
        # the primary session because it waits.
        self.wait_next_second(waiting["updatedAt"])
        standin.release("msg_e2e_alpha_002")
        stopped = box.wait_record(lambda r: r.get("event") == "Stop", "alpha's Stop record", first.session_id)
        wait_states([(str(alpha), "idle"), (str(beta), "waiting")])
        beta_waiting_title = e2e.format_token_count(e2e.context_tokens(b[1]))
        self.assertEqual(beta_waiting_title, "1k")
        headless.wait_last_line(line("waiting", beta_waiting_title, ASLEEP, "beta two"))
        notify = wait_until(lambda: [c for c in self.notification_calls() if c[1] == "Notify"], e2e.DEADLINE,
                            "Notify")
        self.assertEqual([notify_arguments(c) for c in notify],
                         [("Claude needs you", "beta two is waiting for your input.")])

        # beta's command is approved and its turn ends: both idle, the first
        # listed (beta, newest) is primary.
        self.wait_next_second(stopped["updatedAt"])
        second.wait_screen("\u276f 1. Yes")
        second.press("Enter")
        box.wait_record(lambda r: r.get("event") == "Stop", "beta's second Stop record", second.session_id)
        wait_states([(str(beta), "idle"), (str(alpha), "idle")])
        beta_title = e2e.format_token_count(e2e.context_tokens(b[2]))
        self.assertEqual(beta_title, "999")
        headless.wait_last_line(line("idle", beta_title, ASLEEP, "beta two"))
        self.assertTrue((beta / "beta.txt").exists())

        served = standin.served_ids()
        self.assertEqual(served, [r["id"] for r in a + b])
        box.wait_usage(first.session_id, e2e.served_usage(a, served[:2]))
        box.wait_usage(second.session_id, e2e.served_usage(b, served[2:]))


if __name__ == "__main__":
    unittest.main()
