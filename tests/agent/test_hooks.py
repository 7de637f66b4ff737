#!/usr/bin/env python3
"""The real Claude Code CLI with the hooks that `lullwatch hooks install`
connects: its events must create, update and delete the session's record,
with the agent's own pid as the owner."""

import json
import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

LULLWATCH = os.path.join(os.environ.get("LULLWATCH_BINARY_DIR", ""), "lullwatch")


class HookedAgentTest(unittest.TestCase):

    def setUp(self):
        self.sandbox = harness.AgentSandbox()
        self.addCleanup(self.sandbox.close)
        self.sessions = self.sandbox.home / ".local" / "share" / "lullwatch" / "sessions"

    def lullwatch(self, *arguments):
        env = {"HOME": str(self.sandbox.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "TMPDIR": str(self.sandbox.tmp)}
        result = subprocess.run([LULLWATCH, *arguments], env=env, capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def read_record(self, session_id):
        try:
            return json.loads((self.sessions / (session_id + ".json")).read_text(encoding="utf-8"))
        except (FileNotFoundError, ValueError):
            return None

    def test_print_mode_run_is_recorded_and_cleaned_up(self):
        self.assertEqual(self.lullwatch("hooks", "install", "--agent", "claude"),
                         "Claude Code connected\n")
        usage = {"input_tokens": 321, "output_tokens": 45,
                 "cache_creation_input_tokens": 600, "cache_read_input_tokens": 7000}
        standin = self.sandbox.start_standin(
            [harness.text_reply("Done.", "msg_lw_hooks_001", usage=usage, hold=True)])
        session_id = self.sandbox.new_session_id()

        agent = self.sandbox.start_print("make it so", session_id=session_id)
        standin.wait_for_event("held", "msg_lw_hooks_001")

        # SessionStart and UserPromptSubmit have run: the turn is under way.
        harness.wait_until(lambda: (self.read_record(session_id) or {}).get("state") == "working",
                           30, "the working record")
        record = self.read_record(session_id)
        self.assertEqual(record["sessionId"], session_id)
        self.assertEqual(record["source"], "claude")
        self.assertEqual(record["event"], "UserPromptSubmit")
        self.assertEqual(record["cwd"], str(self.sandbox.work))
        self.assertEqual(record["transcriptPath"], str(self.sandbox.transcript_path(session_id)))
        self.assertEqual(record["pid"], agent.pid)
        self.assertFalse([name for name in os.listdir(self.sessions) if name.startswith(".record.")])

        listed = json.loads(self.lullwatch("status", "--json"))
        self.assertEqual([(s["id"], s["state"], s["source"]) for s in listed],
                         [(session_id, "working", "claude")])

        standin.release("msg_lw_hooks_001")
        code, out, err = self.sandbox.finish(agent)
        self.assertEqual(code, 0, err)
        self.assertEqual(out, "Done.\n")

        # Stop wrote idle, SessionEnd deleted the record.
        harness.wait_until(lambda: not (self.sessions / (session_id + ".json")).exists(), 30,
                           "the record's removal")
        self.assertEqual(self.lullwatch("status"), "No active sessions\n")
        self.assertFalse([name for name in os.listdir(self.sandbox.tmp) if name.startswith("lullwatch-hook.")])


if __name__ == "__main__":
    unittest.main()
