#!/usr/bin/python3
"""The real Claude Code CLI with Lullwatch's hooks installed, seen through
`lullwatch status`: the records the hooks write, the states Lullwatch
derives from them and from the transcript, token counts equal to what the
stand-in served, a killed agent's record, and hooks removed without a trace."""

import json
import os
import signal
import sys
import time
import unittest
from datetime import datetime

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import DEADLINE, text_reply, tool_reply, usage, wait_until  # noqa: E402


def assistant_lines(transcript, message_id):
    return [entry for entry in transcript if entry.get("type") == "assistant"
            and (entry.get("message") or {}).get("id") == message_id]


def conversation(entries):
    """The user and assistant entries of the main conversation."""
    return [entry for entry in entries
            if entry.get("type") in ("user", "assistant") and entry.get("isSidechain") is not True]


def is_interrupt(entry):
    return entry.get("type") == "user" and (
        "interruptedMessageId" in entry or "[Request interrupted by user" in str(entry.get("message")))


def entry_time(entry):
    return datetime.fromisoformat(entry["timestamp"]).timestamp()


class AgentSessionsTest(unittest.TestCase):

    def setUp(self):
        self.sandbox = e2e.E2ESandbox()
        self.addCleanup(self.sandbox.close)

    def two_replies(self, prefix):
        """A text and a Read of a file in the work folder, then a held closing
        text, with usage and models of their own."""
        notes = self.sandbox.work / "notes.txt"
        notes.write_text("the notes\n", encoding="utf-8")
        return [
            tool_reply("Read", {"file_path": str(notes)}, prefix + "_001", text="Reading the notes.",
                       usage=usage(1200, 340, 5600, 78000), model="claude-standin-first"),
            text_reply("The notes are read.", prefix + "_002", usage=usage(230, 45, 670, 81000),
                       model="claude-standin-second", hold=True),
        ]

    def assert_served(self, standin, replies):
        self.assertEqual(standin.served_ids(), [r["id"] for r in replies])
        self.assertFalse([r for r in standin.requests("main") if r["exhausted"]],
                         "the agent asked for more replies than the script has")

    def test_print_mode_turn_is_working_with_the_agent_pid_and_removed_at_its_end(self):
        box = self.sandbox
        box.install_hooks()
        replies = self.two_replies("msg_e2e_print")
        standin = box.start_standin(replies)
        session_id = box.new_session_id()
        agent = box.start_print("read the notes", session_id=session_id, args=["--allowedTools", "Read"])
        standin.wait_for_event("held", "msg_e2e_print_002")

        record = box.wait_record(lambda r: r.get("state") == "working", "the working record", session_id)
        self.assertEqual((record["pid"], record["event"], record["cwd"]), (agent.pid, "UserPromptSubmit", str(box.work)))
        listed = box.listed(session_id)
        self.assertEqual((listed["state"], listed["source"], listed["cwd"]), ("working", "claude", str(box.work)))
        # Mid-turn the transcript holds the first reply in two lines, counted once.
        wait_until(lambda: len(assistant_lines(box.transcript(session_id), "msg_e2e_print_001")) == 2, DEADLINE,
                   "the first reply's two lines")
        box.wait_usage(session_id, e2e.served_usage(replies, standin.served_ids()[:1]))

        standin.release("msg_e2e_print_002")
        code, out, err = box.finish(agent)
        self.assertEqual((code, out), (0, "The notes are read.\n"), err)
        self.assert_served(standin, replies)
        # SessionEnd deleted the record.
        wait_until(lambda: not box.record_path(session_id).exists(), DEADLINE, "the record's removal")
        self.assertEqual(box.lullwatch("status"), "No active sessions\n")

    def test_interactive_session_is_idle_at_start_working_in_a_turn_and_counts_what_was_served(self):
        box = self.sandbox
        box.install_hooks()
        replies = self.two_replies("msg_e2e_tty")
        standin = box.start_standin(replies)

        agent = box.start_interactive(["--permission-mode", "default", "--allowedTools", "Read"])
        self.assertEqual(e2e.harness.proc_status(agent.pid).get("Name"), "claude")
        self.assertEqual((agent.record["event"], agent.record["state"], agent.record["pid"]),
                         ("SessionStart", "idle", agent.pid))
        listed = box.listed(agent.session_id)
        self.assertEqual((listed["state"], listed["event"], listed["cwd"]), ("idle", "SessionStart", str(box.work)))
        self.assertEqual(listed["usage"], e2e.served_usage(replies, []))
        self.assertEqual(standin.requests("main"), [])

        agent.submit("please read the notes")
        standin.wait_for_event("held", "msg_e2e_tty_002")
        record = box.wait_record(lambda r: r.get("state") == "working", "the working record", agent.session_id)
        self.assertEqual(record["pid"], agent.pid)
        self.assertEqual(box.listed(agent.session_id)["state"], "working")

        standin.release("msg_e2e_tty_002")
        agent.wait_screen("The notes are read.")
        record = box.wait_record(lambda r: r.get("event") == "Stop", "the Stop record", agent.session_id)
        self.assertEqual(record["state"], "idle")
        self.assert_served(standin, replies)
        expected = e2e.served_usage(replies, standin.served_ids())
        box.wait_usage(agent.session_id, expected)
        listed = box.listed(agent.session_id)
        self.assertEqual((listed["state"], listed["event"], listed["isStale"]), ("idle", "Stop", False))
        table = box.lullwatch("status").splitlines()
        self.assertEqual(table[1].split(), ["work", "Claude", "Idle"] + [e2e.format_token_count(expected[member]) for
                                            member in ("contextTokens", "outputTokens", "cacheReadTokens")]
                         + ["2", "claude-standin-second"])

    def test_interrupted_turn_is_idle_though_the_record_stays_working(self):
        box = self.sandbox
        box.install_hooks()
        replies = [text_reply("slowly " * 150, "msg_e2e_slow", usage=usage(40, 900, 0, 0),
                              chunk_delay=0.1, chunk_size=6)]
        standin = box.start_standin(replies)
        agent = box.start_interactive(["--permission-mode", "default"])

        agent.submit("tell me a long story")
        record = box.wait_record(lambda r: r.get("state") == "working", "the working record", agent.session_id)
        wait_until(lambda: standin.served_ids() == ["msg_e2e_slow"], DEADLINE, "the slow reply to start")
        # More than a second past updatedAt, which the hook writes in whole seconds.
        wait_until(lambda: time.time() > record["updatedAt"] + 2.2, 10, "two seconds past updatedAt")
        self.assertEqual(box.listed(agent.session_id)["state"], "working")
        agent.press("Escape")

        agent.wait_screen("Interrupted")
        standin.wait_for_event("aborted", "msg_e2e_slow")

        def newest_is_interrupt():
            entries = conversation(box.transcript(agent.session_id))
            return entries and is_interrupt(entries[-1]) and entries[-1]
        interrupt = wait_until(newest_is_interrupt, DEADLINE, "the interrupt in the transcript")
        self.assertGreater(entry_time(interrupt) - record["updatedAt"], 1.0)

        # No hook ran: the record still says working; Lullwatch says idle.
        listed = box.wait_listed(agent.session_id, lambda s: s["state"] == "idle", "the idle session")
        self.assertEqual(box.record(agent.session_id), record)
        self.assertEqual(listed["event"], "UserPromptSubmit")
        self.assertEqual("Idle", box.lullwatch("status").splitlines()[1].split()[2])

        # The lines of /color and of /rename after the interrupt leave it idle.
        def after_interrupt():
            transcript = box.transcript(agent.session_id)
            uuids = [e.get("uuid") for e in transcript]
            return transcript[uuids.index(interrupt["uuid"]) + 1:]

        def colour_lines():
            lines = after_interrupt()
            return (any(e.get("type") == "agent-color" for e in lines)
                    and any(e.get("type") == "system" and "local-command-stdout" in str(e.get("content"))
                            for e in lines))

        agent.submit("/color red")
        wait_until(colour_lines, DEADLINE, "the colour lines in the transcript")
        self.assertEqual(conversation(after_interrupt()), [])
        self.assertEqual(box.listed(agent.session_id)["state"], "idle")

        agent.submit("/rename story time")
        reminder = wait_until(lambda: [e for e in after_interrupt() if e.get("type") == "user"], DEADLINE,
                              "the rename's reminder in the transcript")
        self.assertEqual([e.get("isMeta") for e in reminder], [True])
        self.assertGreater(entry_time(reminder[0]) - record["updatedAt"], 1.0)
        self.assertEqual(box.listed(agent.session_id)["state"], "idle")
        self.assertEqual(box.record(agent.session_id), record)

    def test_record_of_a_killed_agent_is_deleted_by_the_next_scan(self):
        box = self.sandbox
        box.install_hooks()
        standin = box.start_standin([text_reply("Never finished.", "msg_e2e_killed", hold=True)])
        session_id = box.new_session_id()
        agent = box.start_print("work forever", session_id=session_id)
        standin.wait_for_event("held", "msg_e2e_killed")
        record = box.wait_record(lambda r: r.get("state") == "working", "the working record", session_id)
        self.assertEqual(record["pid"], agent.pid)
        self.assertEqual(box.listed(session_id)["state"], "working")

        # SIGKILL: no SessionEnd hook. Reaped, so the pid is really gone.
        os.killpg(agent.pid, signal.SIGKILL)
        agent.wait(DEADLINE)
        self.assertEqual(box.record(session_id), record)

        self.assertEqual(box.lullwatch("status"), "No active sessions\n")
        self.assertFalse(box.record_path(session_id).exists())

    def test_removing_the_hooks_leaves_the_users_own_settings_and_hooks_as_they_were(self):
        box = self.sandbox
        marker = box.root / "user-hooks.log"
        settings = {
            "model": "claude-standin-first",
            "env": {"E2E_SETTING": "kept"},
            "permissions": {"allow": ["Read", "Bash(ls:*)"], "deny": ["WebFetch"]},
            "includeCoAuthoredBy": False,
            "hooks": {
                "Stop": [{"hooks": [{"type": "command", "command": "echo stop >> '%s'" % marker}]}],
                "UserPromptSubmit": [{"hooks": [{"type": "command",
                                                 "command": "echo prompt >> '%s'" % marker, "timeout": 7}]}],
                "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "true"}]}],
            },
        }
        box.write_settings(settings)
        settings_path = box.home / ".claude" / "settings.json"

        box.install_hooks()
        installed = json.loads(settings_path.read_text(encoding="utf-8"))
        self.assertEqual({k: v for k, v in installed.items() if k != "hooks"},
                         {k: v for k, v in settings.items() if k != "hooks"})
        for event, groups in settings["hooks"].items():
            self.assertEqual(installed["hooks"][event][:len(groups)], groups)
        self.assertEqual(box.lullwatch("hooks", "status", "--agent", "claude"), "Claude Code connected\n")

        # The agent runs the user's hooks and ours side by side.
        standin = box.start_standin([text_reply("First.", "msg_e2e_rm_001", hold=True),
                                     text_reply("Second.", "msg_e2e_rm_002", hold=True)])
        first = box.new_session_id()
        agent = box.start_print("first", session_id=first)
        standin.wait_for_event("held", "msg_e2e_rm_001")
        box.wait_record(lambda r: r.get("state") == "working", "the working record", first)
        standin.release("msg_e2e_rm_001")
        self.assertEqual(box.finish(agent)[0], 0)
        wait_until(lambda: not box.record_path(first).exists(), DEADLINE, "the record's removal")
        self.assertEqual(marker.read_text(encoding="utf-8"), "prompt\nstop\n")

        self.assertEqual(box.lullwatch("hooks", "remove", "--agent", "claude"), "Claude Code not connected\n")
        self.assertEqual(json.loads(settings_path.read_text(encoding="utf-8")), settings)
        self.assertEqual(box.lullwatch("hooks", "status", "--agent", "claude"), "Claude Code not connected\n")

        # Only the user's hooks run now: the next session leaves no record.
        second = box.new_session_id()
        agent = box.start_print("second", session_id=second)
        standin.wait_for_event("held", "msg_e2e_rm_002")
        wait_until(lambda: marker.read_text(encoding="utf-8") == "prompt\nstop\nprompt\n", DEADLINE,
                   "the user's prompt hook")
        self.assertEqual(box.records(), {})
        self.assertEqual(box.status_json(), [])
        standin.release("msg_e2e_rm_002")
        self.assertEqual(box.finish(agent)[0], 0)
        self.assertEqual(marker.read_text(encoding="utf-8"), "prompt\nstop\nprompt\nstop\n")


if __name__ == "__main__":
    unittest.main()
