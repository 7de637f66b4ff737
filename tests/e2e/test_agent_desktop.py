#!/usr/bin/python3
"""The real Claude Code CLI with Lullwatch's hooks installed, seen through
`lullwatch --headless` on private buses with mock services: a working
session keeps the computer awake, a permission prompt makes it wait and
notifies, and with two sessions the tray text follows the primary one."""

import os
import sys
import time
import unittest

import dbusmock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import DEADLINE, text_reply, tool_reply, usage, wait_until  # noqa: E402

AWAKE = "Keeping computer awake"
ASLEEP = "Sleep allowed"


def line(state, title, wake, folder):
    """The headless line; it names the reason only while the computer is kept awake."""
    reason = ["Claude Code is working in " + folder] if wake == AWAKE else []
    return " \u00b7 ".join([state, title, wake] + reason)


def wait_next_second(updated_at):
    """Until the clock is past the whole second `updated_at`: the next record is newer."""
    wait_until(lambda: time.time() >= updated_at + 1, 5, "the next second")


class AgentDesktopTest(e2e.BusTestCase, dbusmock.DBusTestCase):

    def setUp(self):
        self.sandbox = e2e.E2ESandbox()
        self.addCleanup(self.sandbox.close)
        self.start_mocks()

    def test_working_keeps_awake_and_a_permission_prompt_waits_and_notifies_until_answered(self):
        box = self.sandbox
        box.install_hooks()
        target = box.work / "made-by-agent.txt"
        replies = [
            tool_reply("Bash", {"command": "echo made > made-by-agent.txt", "description": "Write a file"},
                       "msg_e2e_perm_001", text="I will write the file.", usage=usage(3000, 120, 900, 41000),
                       model="claude-standin-perm", hold=True),
            text_reply("The file is written.", "msg_e2e_perm_002", usage=usage(3500, 60, 300, 42000),
                       model="claude-standin-perm"),
        ]
        standin = box.start_standin(replies)
        headless = box.start_headless()
        headless.wait_last_line("ended \u00b7 - \u00b7 Sleep allowed")
        agent = box.start_interactive(["--permission-mode", "default"])
        headless.wait_last_line(line("idle", "0", ASLEEP, "work"))
        self.assertEqual(self.inhibitors(), [])

        agent.submit("please write the file")
        standin.wait_for_event("held", "msg_e2e_perm_001")
        headless.wait_last_line(line("working", "0", AWAKE, "work"))
        wait_until(self.inhibitors, DEADLINE, "Lullwatch's inhibitor")

        standin.release("msg_e2e_perm_001")
        agent.wait_screen("Do you want to proceed?")
        waiting = headless.wait_last_line(lambda text: text.startswith("waiting \u00b7 "), e2e.NOTIFICATION_DEADLINE)
        self.assertEqual(waiting, line("waiting", "45k", ASLEEP, "work"))
        record = box.record(agent.session_id)
        self.assertEqual((record["state"], record["event"], record["notification_type"]),
                         ("waiting", "Notification", "permission_prompt"))
        row = box.lullwatch("status").splitlines()[1]
        self.assertTrue(row.startswith("work ") and " Needs you " in row, row)
        wait_until(lambda: not self.inhibitors(), DEADLINE, "the inhibitor's release")
        self.assertEqual(self.wait_notified(), [("Claude needs you", "work is waiting for your input.")])
        self.assertFalse(self.notification_calls("CloseNotification"))
        self.assertFalse(target.exists())

        agent.wait_screen("\u276f 1. Yes")  # the highlighted answer
        agent.press("Enter")
        wait_until(target.exists, DEADLINE, "the file the approved command writes")
        headless.wait_last_line(line("idle", "45k", ASLEEP, "work"))
        self.assertFalse([text for text in headless.lines[headless.lines.index(waiting) + 1:]
                          if text.startswith("waiting")])
        self.assert_withdrawn()
        wait_until(lambda: not self.inhibitors(), DEADLINE, "the inhibitor's release")
        self.assertEqual(standin.served_ids(), ["msg_e2e_perm_001", "msg_e2e_perm_002"])
        box.wait_usage(agent.session_id, e2e.served_usage(replies, standin.served_ids()))

    def test_two_sessions_are_listed_newest_first_and_the_tray_follows_the_primary_one(self):
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

        def wait_states(expected):
            e2e.wait_or_show(lambda: [(s["cwd"], s["state"]) for s in box.status_json()] == expected, DEADLINE,
                             "the sessions %r" % (expected,), lambda: "status: %r" % box.status_json())

        first = box.start_interactive(["--permission-mode", "default", "--allowedTools", "Read"], cwd=alpha)
        first.submit("read the plan")
        standin.wait_for_event("held", "msg_e2e_alpha_002")
        working = box.wait_record(lambda r: r.get("state") == "working", "alpha's working record",
                                  first.session_id)

        # alpha works, beta (newer) is idle: alpha is the primary session.
        second = box.start_interactive(["--permission-mode", "default"], cwd=beta)
        wait_next_second(working["updatedAt"])
        second.submit("say hello")
        box.wait_record(lambda r: r.get("event") == "Stop", "beta's Stop record", second.session_id)
        wait_states([(str(beta), "idle"), (str(alpha), "working")])
        headless.wait_last_line(line("working", "45k", AWAKE, "alpha"))
        table = box.lullwatch("status").splitlines()
        self.assertTrue(table[1].startswith("beta two  "), table)
        self.assertTrue(table[2].startswith("alpha  "), table)

        # beta asks for permission and waits; alpha still works and stays primary.
        second.submit("write beta.txt")
        waiting = box.wait_record(lambda r: r.get("state") == "waiting", "beta's waiting record",
                                  second.session_id, timeout=e2e.NOTIFICATION_DEADLINE)
        wait_states([(str(beta), "waiting"), (str(alpha), "working")])
        headless.wait_last_line(line("working", "45k", AWAKE, "alpha"))

        # alpha finishes: newest and idle; beta is primary because it waits.
        wait_next_second(waiting["updatedAt"])
        standin.release("msg_e2e_alpha_002")
        stopped = box.wait_record(lambda r: r.get("event") == "Stop", "alpha's Stop record", first.session_id)
        wait_states([(str(alpha), "idle"), (str(beta), "waiting")])
        headless.wait_last_line(line("waiting", "1k", ASLEEP, "beta two"))
        self.assertEqual(self.wait_notified(), [("Claude needs you", "beta two is waiting for your input.")])

        # beta's command approved, its turn ends: both idle, beta (newest) primary.
        wait_next_second(stopped["updatedAt"])
        second.wait_screen("\u276f 1. Yes")
        second.press("Enter")
        box.wait_record(lambda r: r.get("event") == "Stop", "beta's second Stop record", second.session_id)
        wait_states([(str(beta), "idle"), (str(alpha), "idle")])
        headless.wait_last_line(line("idle", "999", ASLEEP, "beta two"))
        self.assertTrue((beta / "beta.txt").exists())

        served = standin.served_ids()
        self.assertEqual(served, [r["id"] for r in a + b])
        box.wait_usage(first.session_id, e2e.served_usage(a, served[:2]))
        box.wait_usage(second.session_id, e2e.served_usage(b, served[2:]))


if __name__ == "__main__":
    unittest.main()
