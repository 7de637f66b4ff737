#!/usr/bin/env python3
"""Self-checks of the agent harness: the real Claude Code CLI in print mode
(`claude -p`) against the local stand-in of its model API."""

import os
import sys
import unittest

# Leave no __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

USAGE_FIELDS = ("input_tokens", "output_tokens",
                "cache_creation_input_tokens", "cache_read_input_tokens")


def assistant_lines(transcript, message_id):
    return [line for line in transcript
            if line.get("type") == "assistant"
            and (line.get("message") or {}).get("id") == message_id]


class PrintModeTest(unittest.TestCase):

    def setUp(self):
        self.sandbox = harness.AgentSandbox()
        self.addCleanup(self.sandbox.close)

    def test_printed_text_and_transcript_match_the_served_reply(self):
        usage = {"input_tokens": 1234, "output_tokens": 56,
                 "cache_creation_input_tokens": 789, "cache_read_input_tokens": 4321}
        text = "Hi from the stand-in."
        standin = self.sandbox.start_standin(
            [harness.text_reply(text, "msg_lw_print_001", usage=usage)])
        session_id = self.sandbox.new_session_id()

        code, out, err = self.sandbox.run_print("say hi", session_id=session_id)

        self.assertEqual(code, 0, "stderr: %s" % err)
        self.assertEqual(out, text + "\n")
        self.assertEqual(standin.served_ids(), ["msg_lw_print_001"])
        self.assertFalse([r for r in standin.requests("main") if r["exhausted"]],
                         "the agent asked for more replies than the script has")

        transcript_path = self.sandbox.transcript_path(session_id)
        self.assertTrue(transcript_path.is_file(), "no transcript at %s" % transcript_path)
        lines = assistant_lines(self.sandbox.transcript(session_id), "msg_lw_print_001")
        self.assertTrue(lines, "no assistant line with the served message id")
        for line in lines:
            served = {name: line["message"]["usage"].get(name) for name in USAGE_FIELDS}
            self.assertEqual(served, usage)
            self.assertEqual(line["message"]["content"], [{"type": "text", "text": text}])
            self.assertEqual(line["sessionId"], session_id)

    def test_held_reply_keeps_the_agent_mid_turn_until_released(self):
        text = "Released at last."
        standin = self.sandbox.start_standin(
            [harness.text_reply(text, "msg_lw_held_001", hold=True,
                                chunk_delay=0.01, chunk_size=4)])
        session_id = self.sandbox.new_session_id()

        process = self.sandbox.start_print("wait for it", session_id=session_id)
        standin.wait_for_event("held", "msg_lw_held_001")

        # Mid-turn: one live agent process, named after the symlink it was
        # started by, and a transcript that has the prompt but no reply yet.
        self.assertIsNone(process.poll())
        self.assertEqual(harness.proc_status(process.pid).get("Name"), "claude")
        transcript = harness.wait_until(
            lambda: [line for line in self.sandbox.transcript(session_id)
                     if line.get("type") == "user"],
            30, "the prompt in the transcript")
        self.assertEqual(transcript[0]["message"]["content"], "wait for it")
        self.assertFalse(assistant_lines(self.sandbox.transcript(session_id),
                                         "msg_lw_held_001"))

        self.assertEqual(standin.release("msg_lw_held_001"), ["msg_lw_held_001"])
        code, out, err = self.sandbox.finish(process)

        self.assertEqual(code, 0, "stderr: %s" % err)
        self.assertEqual(out, text + "\n")
        self.assertTrue(assistant_lines(self.sandbox.transcript(session_id),
                                        "msg_lw_held_001"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
