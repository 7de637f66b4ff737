#!/usr/bin/python3
"""The real Gemini CLI with Lullwatch's hooks, offline against the stand-in;
what the pinned CLI does there is in docs/agents/gemini-cli.md."""

import json
import os
import shlex
import sys
import unittest

import dbusmock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import GEMINI, harness, text_reply, tool_reply, usage, wait_until  # noqa: E402

AWAKE = "Keeping computer awake"
ASLEEP = "Sleep allowed"


def gemini_counts(counts, reasoning=0, tool_prompt=0):
    """Usage the stand-in serves as Gemini's usageMetadata: the reasoning is
    part of the output, the tool-use prompt part of the uncached input."""
    return dict(counts, reasoning_tokens=reasoning, tool_use_prompt_tokens=tool_prompt)


def line(state, title, wake):
    reason = ["Gemini CLI is working in work"] if wake == AWAKE else []
    return " \u00b7 ".join([state, title, wake] + reason)


class GeminiAgentTest(e2e.BusTestCase, dbusmock.DBusTestCase):

    def setUp(self):
        self.box = e2e.PinnedAgentSandbox(GEMINI)
        self.addCleanup(self.box.close)

    def test_print_mode_run_is_working_counts_what_was_served_and_goes_at_session_end(self):
        box = self.box
        # A hook of the user's own keeps the CLI between AfterAgent and
        # SessionEnd until the test has seen the idle record.
        gate = box.root / "turn-seen"
        hold_turn = "while [ ! -e %s ]; do sleep 0.05; done" % shlex.quote(str(gate))
        settings_path = box.home / ".gemini" / "settings.json"
        settings = json.loads(settings_path.read_text(encoding="utf-8"))
        settings["hooks"] = {"AfterAgent": [{"hooks": [{"type": "command", "command": hold_turn,
                                                        "timeout": 300000}]}]}
        settings_path.write_text(json.dumps(settings), encoding="utf-8")
        box.install_hooks()
        settings = json.loads(settings_path.read_text(encoding="utf-8"))
        self.assertEqual(settings["security"], {"auth": {"selectedType": "gemini-api-key"}})  # the user's settings stay
        self.assertEqual(sorted(settings["hooks"]), ["AfterAgent", "AfterTool", "BeforeAgent", "Notification",
                                                     "SessionEnd", "SessionStart"])
        self.assertIn(hold_turn, [hook["command"] for group in settings["hooks"]["AfterAgent"]
                                  for hook in group["hooks"]])

        notes = box.work / "notes.txt"
        notes.write_text("the notes\n", encoding="utf-8")
        replies = [
            tool_reply("read_file", {"file_path": str(notes)}, "gemini_e2e_001", text="Reading the notes.",
                       usage=gemini_counts(usage(1200, 340, 0, 7800), reasoning=120, tool_prompt=50), hold=True),
            text_reply("The notes are read.", "gemini_e2e_002", usage=gemini_counts(usage(230, 45, 0, 8100)),
                       hold=True),
        ]
        standin = box.start_standin(replies)
        agent = box.start_print("read the notes", args=["--approval-mode", "yolo"])

        # The prompt is in: working, owned by the node that runs the hooks.
        standin.wait_for_event("held", "gemini_e2e_001")
        record = box.wait_record(lambda r: r.get("state") == "working", "the working record")
        self.assertEqual((record["source"], record["event"], record["cwd"]), ("gemini", "BeforeAgent", str(box.work)))
        words = harness.command_line(record["pid"])
        self.assertTrue(os.path.basename(words[0]) == "node" and str(GEMINI.binary) in words, words)
        session_id = record["sessionId"]
        box.wait_listed(session_id, lambda s: s["state"] == "working" and s["source"] == "gemini", "working")

        # After the tool, mid-turn: the first reply counted as it was served.
        standin.release("gemini_e2e_001")
        standin.wait_for_event("held", "gemini_e2e_002")
        record = box.wait_record(lambda r: r.get("event") == "AfterTool", "the AfterTool record", session_id)
        self.assertEqual(record["state"], "working")
        box.wait_usage(session_id, e2e.served_usage(replies, ["gemini_e2e_001"], e2e.served_models(standin)))

        # The turn has ended: idle, with both replies.
        standin.release("gemini_e2e_002")
        box.wait_record(lambda r: r.get("event") == "AfterAgent", "the AfterAgent record", session_id)
        box.wait_listed(session_id, lambda s: s["state"] == "idle", "idle")
        self.assertEqual(standin.served_ids(), ["gemini_e2e_001", "gemini_e2e_002"])
        box.wait_usage(session_id, e2e.served_usage(replies, standin.served_ids(), e2e.served_models(standin)))
        self.assertTrue(standin.requests("helper"), "the routing classifier's request")

        # SessionEnd as the CLI exits removes the record.
        gate.touch()
        wait_until(lambda: not box.record_path(session_id).exists(), e2e.DEADLINE, "SessionEnd's removal of the record")
        code, out, err = box.finish(agent)
        self.assertEqual(code, 0, err)
        self.assertIn("The notes are read.", out)
        self.assertEqual(box.status_json(), [])

    def test_tool_permission_waits_notifies_keeps_awake_while_working_and_the_session_goes_at_quit(self):
        self.start_mocks()
        box = self.box
        box.install_hooks()
        target = box.work / "made-by-agent.txt"
        replies = [
            tool_reply("run_shell_command", {"command": "echo made > made-by-agent.txt", "description": "Write a file"},
                       "gemini_e2e_perm_001", text="I will write the file.",
                       usage=gemini_counts(usage(3000, 120, 0, 41000), reasoning=30, tool_prompt=20), hold=True),
            text_reply("The file is written.", "gemini_e2e_perm_002", usage=gemini_counts(usage(3500, 60, 0, 42000)),
                       hold=True),
        ]
        standin = box.start_standin(replies)
        headless = box.start_headless()
        headless.wait_last_line("ended \u00b7 - \u00b7 Sleep allowed")

        agent = box.start_interactive(["--approval-mode", "default"])
        headless.wait_last_line(line("idle", "0", ASLEEP))
        self.assertEqual(self.inhibitors(), [])

        # Working on the prompt: the computer is kept awake.
        agent.submit("please write the file")
        standin.wait_for_event("held", "gemini_e2e_perm_001")
        headless.wait_last_line(line("working", "0", AWAKE))
        inhibitors = wait_until(self.inhibitors, e2e.DEADLINE, "Lullwatch's inhibitor")
        self.assertEqual([entry[:4] for entry in inhibitors],
                         [("idle", "Lullwatch", "Gemini CLI is working in work", "block")])

        # The shell command needs approval: waiting, one notification, and
        # the computer may sleep.
        standin.release("gemini_e2e_perm_001")
        agent.wait_screen("Allow execution of")
        first = e2e.format_token_count(e2e.context_tokens(replies[0]))
        waiting = headless.wait_last_line(lambda text: text.startswith("waiting \u00b7 "), e2e.NOTIFICATION_DEADLINE)
        self.assertEqual(waiting, line("waiting", first, ASLEEP))
        record = box.record(agent.session_id)
        self.assertEqual((record["state"], record["event"], record["notification_type"]),
                         ("waiting", "Notification", "ToolPermission"))
        wait_until(lambda: not self.inhibitors(), e2e.DEADLINE, "the inhibitor's release")
        self.assertEqual(self.wait_notified(), [("Gemini needs you", "work is waiting for your input.")])
        self.assertFalse(target.exists())

        # Approved: working again on the next reply, then idle, and the
        # notification withdrawn.
        agent.press("Enter")  # "1. Allow once" is highlighted
        wait_until(target.exists, e2e.DEADLINE, "the file the approved command writes")
        standin.wait_for_event("held", "gemini_e2e_perm_002")
        headless.wait_last_line(line("working", first, AWAKE))
        wait_until(self.inhibitors, e2e.DEADLINE, "Lullwatch's inhibitor")
        standin.release("gemini_e2e_perm_002")
        box.wait_record(lambda r: r.get("event") == "AfterAgent", "the AfterAgent record", agent.session_id)
        headless.wait_last_line(line("idle", e2e.format_token_count(e2e.context_tokens(replies[1])), ASLEEP))
        wait_until(lambda: not self.inhibitors(), e2e.DEADLINE, "the inhibitor's release")
        self.assert_withdrawn()
        self.assertEqual(standin.served_ids(), ["gemini_e2e_perm_001", "gemini_e2e_perm_002"])
        box.wait_usage(agent.session_id,
                       e2e.served_usage(replies, standin.served_ids(), e2e.served_models(standin)))

        agent.submit("/quit")
        wait_until(lambda: box.record(agent.session_id) is None, e2e.DEADLINE, "SessionEnd's removal of the record")
        self.assertEqual(box.status_json(), [])


if __name__ == "__main__":
    unittest.main()
