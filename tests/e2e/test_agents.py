#!/usr/bin/python3
"""The real agent named on the command line (e2e_support.AGENTS) offline, with the hooks `lullwatch hooks
install` connects: records, states, tokens as served, the wait for the user and its notification."""

import sys
import unittest
from pathlib import Path

import dbusmock

sys.dont_write_bytecode = True
import e2e_support as e2e  # noqa: E402
from e2e_support import wait_until  # noqa: E402

AGENT = e2e.AGENTS[sys.argv.pop(1) if len(sys.argv) > 1 else "claude"]
AWAKE, ASLEEP = "Keeping computer awake", "Sleep allowed"
ENDED = "ended \u00b7 - \u00b7 Sleep allowed"
MEMBERS = {"inputTokens": "input_tokens", "outputTokens": "output_tokens",
           "cacheCreationTokens": "cache_creation_input_tokens", "cacheReadTokens": "cache_read_input_tokens"}
# The stand-in tells the counters in each API's way: reasoning is part of
# the output, Gemini's tool-use prompt part of the uncached input.
FIRST = {"input_tokens": 1200, "output_tokens": 340, "cache_creation_input_tokens": AGENT.cache_writes,
         "cache_read_input_tokens": 7800, "reasoning_tokens": 120, "tool_use_prompt_tokens": 50}
SECOND = {"input_tokens": 230, "output_tokens": 45, "cache_creation_input_tokens": 0, "cache_read_input_tokens": 8100}


def reply(reply_id, text, call=None, **options):
    calls = [{"type": "tool_use", "name": call[0], "input": call[1]}] if call else []
    return dict(id=reply_id, content=[{"type": "text", "text": text}, *calls], **options)


def context(reply):
    return sum(reply["usage"][key] for key in MEMBERS.values()) if reply else 0


def line(state, reply, wake):
    """The headless line, with the tray's short text for the context tokens of `reply` (in thousands)."""
    count = "%dk" % (context(reply) // 1000) if reply else "0"
    return " \u00b7 ".join([state, count, wake] + [AGENT.name + " is working in work"] * (wake == AWAKE))


class AgentTest(e2e.BusTestCase, dbusmock.DBusTestCase):

    def assert_owner(self, record, pid):
        """The record's owner is the session's own process, not a hook's or a shared server's."""
        owner = record["pid"]
        while owner > 1 and owner != pid:  # up through the parents
            owner = int(Path("/proc/%d/stat" % owner).read_text().rpartition(")")[2].split()[1])
        self.assertEqual(owner, pid, record)
        self.assertNotIn(b"app-server", Path("/proc/%d/cmdline" % record["pid"]).read_bytes())

    def assert_counted(self, box, session_id, replies):
        """`lullwatch status --json` tells the usage of these replies, and the model the last was asked for."""
        replies = replies if AGENT.counts_tokens else []
        last = replies[-1] if replies else None
        expected = dict({member: sum(r["usage"][key] for r in replies) for member, key in MEMBERS.items()},
                        contextTokens=context(last), turns=len(replies),
                        model=last and box.standin.served()[last["id"]])
        wait_until(lambda: (box.listed(session_id) or {}).get("usage") == expected, "the usage %r" % (expected,),
                   show=lambda: repr(box.listed(session_id)))

    def test_print_run_is_working_counted_and_gone_at_its_end(self):
        box = e2e.Sandbox(AGENT)
        self.addCleanup(box.close)
        notes = box.work / "notes.txt"
        notes.write_text("the notes\n", encoding="utf-8")
        replies = [reply("r1", "Reading the notes.", AGENT.read(notes), usage=FIRST)] if AGENT.read else []
        replies.append(reply("r2", "The notes are read.", usage=SECOND, hold=True))
        box.start(replies)
        agent = box.start_print("read the notes")
        box.standin.wait("held", "r2")

        # Mid-turn: working, owned by the agent, what was served so far counted.
        record = box.wait_record(lambda r: r.get("state") == "working", "the working record")
        self.assertEqual((record["source"], record["cwd"]), (AGENT.key, str(box.work)))
        self.assert_owner(record, agent.pid)
        self.assertEqual(box.listed(record["sessionId"])["state"], "working")
        self.assert_counted(box, record["sessionId"], replies[:-1])

        box.standin.release("r2")
        wait_until(lambda: e2e.has_exited(agent), "the agent's end", 120)
        e2e.end(agent)
        self.assertEqual(agent.returncode, 0, (box.root / "err.txt").read_text(errors="replace"))
        self.assertIn("The notes are read.", (box.root / "out.txt").read_text(errors="replace"))
        self.assertEqual(list(box.standin.served()), [r["id"] for r in replies])
        self.assertEqual(box.lullwatch("status"), "No active sessions\n")
        self.assertEqual(box.records(), [])
        self.assertEqual([p for p in [*box.sessions.iterdir(), *box.tmp.iterdir()] if "lullwatch-hook." in p.name
                          or "record." in p.name], [])

    def test_permission_prompt_waits_notifies_and_the_session_goes_at_quit(self):
        if AGENT.interactive is None:
            self.skipTest("no interactive session")
        self.start_mocks()
        target = "made-by-agent.txt"
        replies = [reply("r1", "I will write the file.", AGENT.shell("echo made > " + target), usage=FIRST, hold=True),
                   reply("r2", "The file is written.", usage=SECOND, hold=True)]
        box = e2e.Sandbox(AGENT)
        self.addCleanup(box.close)
        box.start(replies)
        headless = box.start_lullwatch()
        headless.wait_last_line(ENDED)
        agent = box.start_interactive()
        if AGENT.session_at_start:
            headless.wait_last_line(line("idle", None, ASLEEP))

        # Working on the prompt: the computer is kept awake.
        box.submit("please write the file")
        box.standin.wait("held", "r1")
        headless.wait_last_line(line("working", None, AWAKE))
        self.assertEqual([entry[:4] for entry in wait_until(self.inhibitors, "Lullwatch's inhibitor")],
                         [("idle", "Lullwatch", AGENT.name + " is working in work", "block")])

        # The command needs approval: waiting, one notification, and the computer may sleep.
        box.standin.release("r1")
        box.wait_screen(AGENT.ask)
        headless.wait_last_line(line("waiting", replies[0], ASLEEP), 45)  # Claude Code's comes seconds later
        record = box.wait_record(lambda r: r.get("state") == "waiting", "the waiting record")
        self.assertEqual({key: record.get(key) for key in AGENT.waiting}, AGENT.waiting)
        self.assert_owner(record, agent)
        session_id = record["sessionId"]
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
        summary = AGENT.name.split()[0] + " needs you"
        self.assertEqual(self.wait_notified(), [(summary, "work is waiting for your input.")])
        self.assertFalse((box.work / target).exists())

        # Approved: the command runs, the turn ends idle and the notification is withdrawn. The reply after the
        # command is held until asked for: Qwen Code's idle_prompt comes only once it has shown the turn going on.
        box.press("Enter")  # the first answer, to allow it, is highlighted
        wait_until((box.work / target).exists, "the file the approved command writes")
        box.standin.wait("held", "r2")
        box.standin.release("r2")
        box.wait_record(lambda r: {key: r.get(key) for key in AGENT.turn_end} == AGENT.turn_end,
                        "the record at the turn's end", session_id)
        headless.wait_last_line(line("idle", replies[1], ASLEEP))
        wait_until(lambda: self.notification_calls("CloseNotification"), "the notification withdrawn")
        self.assertEqual(len(self.notification_calls("Notify")), 1)
        wait_until(lambda: not self.inhibitors(), "the inhibitor's release")
        self.assertEqual(list(box.standin.served()), ["r1", "r2"])
        self.assert_counted(box, session_id, replies)

        box.submit("/quit")
        wait_until(lambda: box.listed(session_id) is None, "the session's end", AGENT.quit_deadline)
        headless.wait_last_line(ENDED)


if __name__ == "__main__":
    unittest.main()
