#!/usr/bin/python3
"""The real Codex CLI with Lullwatch's hooks, offline against the stand-in;
what the pinned CLI does there is in docs/agents/codex-cli.md."""

import json
import os
import sys
import unittest

import dbusmock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import CODEX, harness, text_reply, tool_reply, usage, wait_until  # noqa: E402

CODEX_EVENTS = ["PermissionRequest", "PostToolUse", "SessionEnd", "SessionStart", "Stop", "UserPromptSubmit"]
# Lullwatch sees the session's process go at /quit; SessionEnd, the fallback,
# comes about a minute later, when the daemon lets the session go.
QUIT_DEADLINE = 100.0


def open_files(pid):
    folder = "/proc/%d/fd" % pid
    found = set()
    for name in os.listdir(folder):
        try:
            found.add(os.readlink(os.path.join(folder, name)))
        except OSError:
            pass
    return found


def connect(box):
    """Installs the hooks, which wait for the user's approval, and trusts
    them as Codex's review would; Lullwatch then reads them as connected."""
    said = box.lullwatch("hooks", "install", "--agent", "codex").splitlines()
    if said[:1] != ["Codex CLI waiting for approval"]:
        raise AssertionError("hooks install said %r" % said)
    hooks = json.loads((e2e.codex_home(box) / "hooks.json").read_text(encoding="utf-8"))["hooks"]
    if sorted(hooks) != CODEX_EVENTS:
        raise AssertionError("hooks.json has %r" % sorted(hooks))
    trusted = e2e.trust_codex_hooks(box)
    if sorted((hook["eventName"], hook["trustStatus"]) for hook in trusted) != sorted(
            (event[0].lower() + event[1:], "trusted") for event in CODEX_EVENTS):
        raise AssertionError("hooks/list after trusting: %r" % trusted)
    status = box.lullwatch("hooks").splitlines()
    if "Codex CLI connected" not in status:
        raise AssertionError("lullwatch hooks says %r once Codex trusts the hooks" % status)


class CodexAgentTest(e2e.BusTestCase, dbusmock.DBusTestCase):

    def setUp(self):
        self.box = e2e.PinnedAgentSandbox(CODEX)
        self.addCleanup(self.box.close)

    def test_exec_run_is_working_counts_what_was_served_and_goes_at_its_session_end(self):
        box = self.box
        notes = box.work / "notes.txt"
        notes.write_text("the notes\n", encoding="utf-8")
        replies = [
            tool_reply("exec_command", {"cmd": "cat notes.txt"}, "codex_e2e_001", text="Reading the notes.",
                       usage=dict(usage(1200, 340, 64, 7800), reasoning_tokens=120)),
            text_reply("The notes are read.", "codex_e2e_002", usage=usage(230, 45, 0, 8100),
                       hold=True),
        ]
        standin = box.start_standin(replies)
        connect(box)
        agent = box.start_print("read the notes")
        standin.wait_for_event("held", "codex_e2e_002")

        # Mid-turn, after the shell command's PostToolUse: working, owned by
        # the process that holds the rollout, the first reply counted.
        record = box.wait_record(lambda r: r.get("event") == "PostToolUse", "the PostToolUse record")
        self.assertEqual((record["source"], record["state"], record["cwd"]), ("codex", "working", str(box.work)))
        words = harness.command_line(record["pid"])
        self.assertTrue(words[0].endswith("/bin/codex") and words[1] == "exec", words)
        self.assertIn(record["transcriptPath"], open_files(record["pid"]))
        session_id = record["sessionId"]
        box.wait_listed(session_id, lambda s: s["state"] == "working" and s["source"] == "codex", "working")
        box.wait_usage(session_id, e2e.served_usage(replies, ["codex_e2e_001"], e2e.served_models(standin)))

        standin.release("codex_e2e_002")
        code, out, err = box.finish(agent)
        self.assertEqual(code, 0, err)
        self.assertIn("The notes are read.", out)
        self.assertEqual(standin.served_ids(), ["codex_e2e_001", "codex_e2e_002"])
        # SessionEnd ran before the exit: the record is gone before anything
        # looked for its owner.
        self.assertFalse(box.record_path(session_id).exists())
        self.assertEqual(box.status_json(), [])

    def test_permission_request_waits_notifies_and_the_session_goes_at_quit(self):
        self.start_mocks()
        box = self.box
        target = box.work / "made-by-agent.txt"
        replies = [
            tool_reply("exec_command", {"cmd": "echo made > made-by-agent.txt",
                                        "sandbox_permissions": "require_escalated",
                                        "justification": "Write the file?"},
                       "codex_e2e_perm_001", text="I will write the file.",
                       usage=dict(usage(3000, 120, 256, 41000), reasoning_tokens=30)),
            text_reply("The file is written.", "codex_e2e_perm_002", usage=usage(3500, 60, 0, 42000)),
        ]
        standin = box.start_standin(replies)
        connect(box)
        headless = box.start_headless()
        headless.wait_last_line("ended \u00b7 - \u00b7 Sleep allowed")

        agent = box.start_interactive(ready=False)
        agent.wait_screen(CODEX.ready_text)
        agent.submit("please write the file")
        agent.wait_screen("Would you like to run the following command?")
        waiting = headless.wait_last_line(lambda text: text.startswith("waiting \u00b7 "))
        self.assertEqual(waiting, "waiting \u00b7 %s \u00b7 Sleep allowed"
                         % e2e.format_token_count(e2e.context_tokens(replies[0])))
        record = box.wait_record(lambda r: r.get("state") == "waiting", "the waiting record")
        self.assertEqual((record["source"], record["event"]), ("codex", "PermissionRequest"))
        session_id = record["sessionId"]
        # The owner is the session's own process, in the pane, not the
        # daemon that runs the hooks of every session.
        self.assertNotIn("app-server", harness.command_line(record["pid"]))
        self.assertEqual(harness.proc_status(record["pid"])["PPid"], str(agent.pid))
        self.assertEqual([body for _, body in self.wait_notified()], ["work is waiting for your input."])
        self.assertFalse(target.exists())

        agent.press("Enter")  # "1. Yes, proceed" is highlighted
        wait_until(target.exists, e2e.DEADLINE, "the file the approved command writes")
        headless.wait_last_line("idle \u00b7 %s \u00b7 Sleep allowed"
                                % e2e.format_token_count(e2e.context_tokens(replies[1])))
        self.assertEqual(box.record(session_id)["event"], "Stop")
        self.assert_withdrawn()
        self.assertEqual(standin.served_ids(), ["codex_e2e_perm_001", "codex_e2e_perm_002"])
        box.wait_usage(session_id, e2e.served_usage(replies, standin.served_ids(), e2e.served_models(standin)))

        agent.submit("/quit")
        wait_until(lambda: box.listed(session_id) is None, QUIT_DEADLINE, "the session's end")
        headless.wait_last_line("ended \u00b7 - \u00b7 Sleep allowed")
        self.assertEqual(box.status_json(), [])


if __name__ == "__main__":
    unittest.main()
