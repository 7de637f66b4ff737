#!/usr/bin/python3
"""The real Copilot CLI with the hooks that `lullwatch hooks install --agent
copilot` writes to $COPILOT_HOME/hooks/lullwatch.json.

Copilot CLI normally wants a GitHub login before it runs anything, but with
its own-model provider settings it runs offline: COPILOT_OFFLINE=true turns
off every GitHub service, and COPILOT_PROVIDER_TYPE=anthropic with
COPILOT_PROVIDER_BASE_URL sends the conversation to the stand-in of the
model API (tests/agent/standin_api.py) instead. What the pinned CLI (1.0.102)
does there, learned by running it so:

- `copilot -p PROMPT` is the npm package's loader (node) with one child, the
  native binary (node_modules/@github/copilot-linux-x64/copilot), whose
  /proc/PID/status Name is "MainThread". It runs each hook command through
  bash, which execs it, so the hook script's parent is that binary.
- Hooks of a print-mode run, in order: sessionStart, userPromptSubmitted,
  agentStop, sessionEnd, each payload with "sessionId" and "cwd";
  agentStop adds "transcriptPath" ($COPILOT_HOME/session-state/<id>/
  events.jsonl). That file also records every hook run as "hook.start"
  (with the hook type and its input) and "hook.end" (with "success").
- The binary unpacks its runtime into $XDG_CACHE_HOME/copilot on its first
  run; the test keeps that cache beside the installed package.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import e2e_support as e2e  # noqa: E402
from e2e_support import harness, text_reply, wait_until  # noqa: E402

COPILOT_DIR = Path(__file__).resolve().parent / "copilot"
COPILOT = COPILOT_DIR / "node_modules" / ".bin" / "copilot"
COPILOT_CACHE = COPILOT_DIR / "node_modules" / ".cache"


def ensure_copilot_installed():
    if not COPILOT.exists():
        subprocess.run(["sh", str(COPILOT_DIR / "install.sh")], check=True, timeout=900,
                       stdin=subprocess.DEVNULL)
    if not COPILOT.exists():
        raise RuntimeError("install.sh ran but %s is still missing" % COPILOT)


class CopilotAgentTest(unittest.TestCase):

    def setUp(self):
        ensure_copilot_installed()
        self.binary = e2e.lullwatch_binary()
        self.root = Path(os.path.realpath(tempfile.mkdtemp(prefix="lullwatch-e2e-copilot-")))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = self.root / "home"
        self.copilot_home = self.root / "copilot-home"
        self.work = self.root / "work"
        self.tmp = self.root / "tmp"
        for folder in (self.home, self.copilot_home, self.work, self.tmp):
            folder.mkdir()
        self.sessions = self.home / ".local" / "share" / "lullwatch" / "sessions"

    def lullwatch(self, *arguments):
        environment = {"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                       "TMPDIR": str(self.tmp), "COPILOT_HOME": str(self.copilot_home)}
        for name in e2e.PASSED_THROUGH:
            if name in os.environ:
                environment[name] = os.environ[name]
        result = subprocess.run([str(self.binary), *arguments], env=environment, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def copilot_environment(self, standin):
        return {
            "HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMPDIR": str(self.tmp),
            "COPILOT_HOME": str(self.copilot_home), "XDG_CACHE_HOME": str(COPILOT_CACHE),
            "COPILOT_OFFLINE": "true", "COPILOT_AUTO_UPDATE": "false",
            "COPILOT_PROVIDER_TYPE": "anthropic", "COPILOT_PROVIDER_BASE_URL": standin.base_url,
            "COPILOT_PROVIDER_API_KEY": harness.TEST_API_KEY, "COPILOT_MODEL": "claude-standin-copilot",
            "NO_PROXY": "127.0.0.1",
        }

    def records(self):
        found = {}
        for path in self.sessions.glob("*.json") if self.sessions.is_dir() else []:
            try:
                record = json.loads(path.read_text(encoding="utf-8"))
            except (FileNotFoundError, ValueError):
                continue
            found[record["sessionId"]] = record
        return found

    def test_print_mode_run_is_recorded_by_the_installed_hooks_and_cleaned_up(self):
        self.assertEqual(self.lullwatch("hooks", "install", "--agent", "copilot"), "Copilot CLI connected\n")
        self.assertTrue((self.copilot_home / "hooks" / "lullwatch.json").is_file())

        standin = harness.StandIn(self.root, [text_reply("Copilot is done.", "msg_e2e_copilot_001", hold=True)])
        self.addCleanup(standin.stop)
        agent = subprocess.Popen([str(COPILOT), "-p", "say something", "--allow-all-tools"], cwd=self.work,
                                 env=self.copilot_environment(standin), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        self.addCleanup(e2e.stop_popen, agent)
        standin.wait_for_event("held", "msg_e2e_copilot_001", e2e.DEADLINE)

        # userPromptSubmitted has run: the record says working, owned by the
        # native binary that the loader started.
        record = wait_until(lambda: next((r for r in self.records().values() if r.get("state") == "working"), None),
                            e2e.DEADLINE, "the working record")
        self.assertEqual((record["source"], record["event"], record["cwd"]), ("copilot", "copilot", str(self.work)))
        native = harness.child_pids(agent.pid)
        self.assertEqual([record["pid"]], native)
        with open("/proc/%d/cmdline" % record["pid"], "rb") as f:
            self.assertTrue(f.read().split(b"\0")[0].endswith(b"/copilot-linux-x64/copilot"))
        listed = json.loads(self.lullwatch("status", "--json"))
        self.assertEqual([(s["id"], s["state"], s["source"]) for s in listed],
                         [(record["sessionId"], "working", "copilot")])

        standin.release("msg_e2e_copilot_001")
        out, err = agent.communicate(timeout=60)
        self.assertEqual(agent.returncode, 0, err)
        self.assertIn("Copilot is done.", out)

        # sessionEnd deleted the record.
        wait_until(lambda: not self.records(), e2e.DEADLINE, "the record's removal")
        self.assertEqual(self.lullwatch("status"), "No active sessions\n")

        # The CLI's own log of the session: our four hooks ran, and succeeded.
        events = harness.read_json_lines(
            self.copilot_home / "session-state" / record["sessionId"] / "events.jsonl")
        started = [e["data"]["hookType"] for e in events if e.get("type") == "hook.start"]
        self.assertEqual(started, ["sessionStart", "userPromptSubmitted", "agentStop", "sessionEnd"])
        ended = [(e["data"]["hookType"], e["data"]["success"]) for e in events if e.get("type") == "hook.end"]
        self.assertEqual(sorted(ended), sorted((name, True) for name in started))
        self.assertEqual(standin.served_ids(), ["msg_e2e_copilot_001"])


if __name__ == "__main__":
    unittest.main()
