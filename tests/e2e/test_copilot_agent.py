#!/usr/bin/python3
"""The real Copilot CLI with Lullwatch's hooks, offline against the stand-in;
what the pinned CLI does there is in docs/agents/copilot-cli.md."""

import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import harness, text_reply, wait_until  # noqa: E402

# Copilot CLI (1.0.102) through its own-model provider settings, offline, its
# runtime unpacked once beside the package by install_pinned.sh.
COPILOT = e2e.PinnedAgent(
    raw="copilot", name="Copilot CLI", folder="copilot", binary="copilot", home_files={},
    environment=lambda standin: {
        "XDG_CACHE_HOME": str(COPILOT.folder / "node_modules" / ".cache"),
        "COPILOT_OFFLINE": "true", "COPILOT_AUTO_UPDATE": "false",
        "COPILOT_PROVIDER_TYPE": "anthropic", "COPILOT_PROVIDER_BASE_URL": standin.base_url,
        "COPILOT_PROVIDER_API_KEY": harness.TEST_API_KEY, "COPILOT_MODEL": "claude-standin-copilot"},
    ready_text=None)


class CopilotSandbox(e2e.PinnedAgentSandbox):
    """COPILOT_HOME outside HOME, for Lullwatch and the CLI alike."""

    def __init__(self):
        super().__init__(COPILOT)
        self.copilot_home = self.root / "copilot-home"
        self.copilot_home.mkdir()

    def lullwatch_environment(self):
        return dict(super().lullwatch_environment(), COPILOT_HOME=str(self.copilot_home))

    def environment(self, extra=None):
        return super().environment(dict(extra or {}, COPILOT_HOME=str(self.copilot_home)))


class CopilotAgentTest(unittest.TestCase):

    def test_print_mode_run_is_recorded_by_the_installed_hooks_and_cleaned_up(self):
        box = CopilotSandbox()
        self.addCleanup(box.close)
        box.install_hooks()
        self.assertTrue((box.copilot_home / "hooks" / "lullwatch.json").is_file())

        standin = box.start_standin([text_reply("Copilot is done.", "msg_e2e_copilot_001", hold=True)])
        agent = box.start_print("say something", args=["--allow-all-tools"])
        standin.wait_for_event("held", "msg_e2e_copilot_001", e2e.DEADLINE)

        # userPromptSubmitted has run: the record says working, owned by the
        # native binary that the loader started.
        record = box.wait_record(lambda r: r.get("state") == "working", "the working record")
        self.assertEqual((record["source"], record["event"], record["cwd"]), ("copilot", "copilot", str(box.work)))
        self.assertEqual([record["pid"]], harness.child_pids(agent.pid))
        self.assertTrue(harness.command_line(record["pid"])[0].endswith("/copilot-linux-x64/copilot"))
        self.assertEqual([(s["id"], s["state"], s["source"]) for s in box.status_json()],
                         [(record["sessionId"], "working", "copilot")])

        standin.release("msg_e2e_copilot_001")
        code, out, err = box.finish(agent)
        self.assertEqual(code, 0, err)
        self.assertIn("Copilot is done.", out)

        # sessionEnd deleted the record.
        wait_until(lambda: not box.records(), e2e.DEADLINE, "the record's removal")
        self.assertEqual(box.lullwatch("status"), "No active sessions\n")

        # The CLI's own log of the session: our four hooks ran, and succeeded.
        events = harness.read_json_lines(box.copilot_home / "session-state" / record["sessionId"] / "events.jsonl")
        started = [e["data"]["hookType"] for e in events if e.get("type") == "hook.start"]
        self.assertEqual(started, ["sessionStart", "userPromptSubmitted", "agentStop", "sessionEnd"])
        ended = [(e["data"]["hookType"], e["data"]["success"]) for e in events if e.get("type") == "hook.end"]
        self.assertEqual(sorted(ended), sorted((name, True) for name in started))
        self.assertEqual(standin.served_ids(), ["msg_e2e_copilot_001"])


if __name__ == "__main__":
    unittest.main()
