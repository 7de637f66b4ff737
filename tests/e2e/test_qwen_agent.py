#!/usr/bin/python3
"""The real Qwen Code CLI with Lullwatch's hooks, offline against the stand-in;
what the pinned CLI does there is in docs/agents/qwen-code.md."""

import json
import os
import sys
import unittest

import dbusmock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import QWEN, QWEN_MODEL, harness, text_reply, tool_reply, usage, wait_until  # noqa: E402


class QwenAgentTest(e2e.BusTestCase, dbusmock.DBusTestCase):

    def setUp(self):
        self.box = e2e.PinnedAgentSandbox(QWEN)
        self.addCleanup(self.box.close)

    def test_print_mode_run_is_working_counts_what_was_served_and_goes_with_the_agent(self):
        box = self.box
        box.install_hooks()
        settings = json.loads((box.home / ".qwen" / "settings.json").read_text(encoding="utf-8"))
        self.assertEqual(settings["model"], {"name": QWEN_MODEL})  # the user's settings stay
        self.assertEqual(sorted(settings["hooks"]), ["Notification", "SessionEnd", "SessionStart", "Stop",
                                                     "UserPromptSubmit"])

        notes = box.work / "notes.txt"
        notes.write_text("the notes\n", encoding="utf-8")
        replies = [
            tool_reply("read_file", {"file_path": str(notes)}, "qwen_e2e_001", text="Reading the notes.",
                       usage=dict(usage(1200, 340, 0, 7800), reasoning_tokens=120), model=QWEN_MODEL),
            text_reply("The notes are read.", "qwen_e2e_002", usage=usage(230, 45, 0, 8100),
                       model=QWEN_MODEL, hold=True),
        ]
        standin = box.start_standin(replies)
        agent = box.start_print("read the notes", args=["--approval-mode", "yolo"])
        standin.wait_for_event("held", "qwen_e2e_002")

        # Mid-turn: working, owned by the node that runs the bundle, and the
        # first reply counted as the stand-in served it.
        record = box.wait_record(lambda r: r.get("state") == "working", "the working record")
        self.assertEqual((record["source"], record["event"], record["cwd"]), ("qwen", "UserPromptSubmit", str(box.work)))
        words = harness.command_line(record["pid"])
        self.assertTrue(any(word.endswith("/qwen-code/cli.js") for word in words), words)
        session_id = record["sessionId"]
        box.wait_listed(session_id, lambda s: s["state"] == "working" and s["source"] == "qwen", "working")
        box.wait_usage(session_id, e2e.served_usage(replies, ["qwen_e2e_001"]))

        standin.release("qwen_e2e_002")
        code, out, err = box.finish(agent)
        self.assertEqual(code, 0, err)
        self.assertIn("The notes are read.", out)
        self.assertEqual(standin.served_ids(), ["qwen_e2e_001", "qwen_e2e_002"])

        # Stop ran before the exit, and no SessionEnd came: the record is
        # idle, and goes once Lullwatch sees the agent gone.
        self.assertEqual(box.record(session_id)["state"], "idle")
        self.assertEqual(box.status_json(), [])
        self.assertFalse(box.record_path(session_id).exists())

    def test_permission_prompt_waits_notifies_and_the_session_goes_at_quit(self):
        self.start_mocks()
        box = self.box
        box.install_hooks()
        target = box.work / "made-by-agent.txt"
        replies = [
            tool_reply("run_shell_command", {"command": "echo made > made-by-agent.txt", "description": "Write a file"},
                       "qwen_e2e_perm_001", text="I will write the file.",
                       usage=dict(usage(3000, 120, 0, 41000), reasoning_tokens=30), model=QWEN_MODEL),
            text_reply("The file is written.", "qwen_e2e_perm_002", usage=usage(3500, 60, 0, 42000),
                       model=QWEN_MODEL),
        ]
        standin = box.start_standin(replies)
        headless = box.start_headless()
        headless.wait_last_line("ended \u00b7 - \u00b7 Sleep allowed")

        agent = box.start_interactive(["--approval-mode", "default"])
        # Notification "auth_success" at start asks nothing of the user.
        headless.wait_last_line("idle \u00b7 0 \u00b7 Sleep allowed")

        agent.submit("please write the file")
        agent.wait_screen("Allow execution of")
        waiting = headless.wait_last_line(lambda text: text.startswith("waiting \u00b7 "), e2e.NOTIFICATION_DEADLINE)
        self.assertEqual(waiting, "waiting \u00b7 %s \u00b7 Sleep allowed"
                         % e2e.format_token_count(e2e.context_tokens(replies[0])))
        record = box.record(agent.session_id)
        self.assertEqual((record["state"], record["notification_type"]), ("waiting", "permission_prompt"))
        self.assertEqual([body for _, body in self.wait_notified()], ["work is waiting for your input."])
        self.assertFalse(target.exists())

        agent.press("Enter")  # "1. Yes, allow once" is highlighted
        wait_until(target.exists, e2e.DEADLINE, "the file the approved command writes")
        # Stop, then Notification "idle_prompt": idle, and the notification withdrawn.
        box.wait_record(lambda r: r.get("notification_type") == "idle_prompt", "the idle_prompt record",
                        agent.session_id)
        headless.wait_last_line("idle \u00b7 %s \u00b7 Sleep allowed"
                                % e2e.format_token_count(e2e.context_tokens(replies[1])))
        self.assert_withdrawn()
        self.assertEqual(standin.served_ids(), ["qwen_e2e_perm_001", "qwen_e2e_perm_002"])
        box.wait_usage(agent.session_id, e2e.served_usage(replies, standin.served_ids()))

        agent.submit("/quit")
        wait_until(lambda: box.record(agent.session_id) is None, e2e.DEADLINE, "SessionEnd's removal of the record")
        self.assertEqual(box.status_json(), [])


if __name__ == "__main__":
    unittest.main()
