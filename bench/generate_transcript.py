#!/usr/bin/env python3
"""Writes a large, realistic Claude Code transcript for the benchmarks.

The lines have the shapes the agent writes: user prompts, assistant entries
with message.id / model / usage, one assistant message split over several
lines that share its id while output_tokens grows (10, 10, 10, 299), hook and
agent progress lines between them, tool results of a few KB, file-history
snapshots, attachments and system lines. The output depends only on the seed
and the size.

Beside the transcript it writes <path>.expected.json with the token totals the
reader must arrive at: every message counted once with the usage of its last
copy, and one turn per run of consecutive lines with the same message id.
"""

import argparse
import json
import random
import sys
import uuid
from datetime import datetime, timedelta, timezone

WORDS = (
    "the session scanner reads transcript lines and keeps a cursor per file so that only appended bytes "
    "are parsed again tokens usage model cache creation read input output assistant user tool result "
    "function returns value error handler config module test build cmake target link library header "
    "source path directory socket buffer thread worker queue future signal slot widget tray icon menu "
    "notification timer interval second minute hour retry timeout parse decode encode json string number "
    "array object null true false offset length capacity reserve resize vector map set pointer reference "
    "const static inline virtual override namespace class struct enum template typename auto return"
).split()

UNICODE_BITS = ["→", "○", "●", "·", "—", "✓", "✗", "│", "└─", "é", "ü", "日本", "🙂"]

CODE_SNIPPETS = [
    'def {w}(self, {v}):\n    """{s}"""\n    return self._{v}.get("{w}", None)\n',
    "    if ({v} == nullptr) {{\n        return std::nullopt; // {s}\n    }}\n",
    'const {w} = await fetch("/api/{v}", {{ method: "POST" }});\n',
    "{w}:\n  enabled: true\n  path: /home/dev/work/{v}\n  # {s}\n",
    "     warning: variable \"{v}\" is unused\n     │\n 42 │     {w} = {v}\n     │     ~\n",
    "<{w} class=\"{v}\">\n  {s}\n</{w}>\n",
    "\t{w}\t{v}\t0x{h}\n",
]

TOOLS = ["Bash", "Read", "Edit", "Grep", "Glob", "Write", "TodoWrite", "Task"]
HOOK_EVENTS = ["PreToolUse", "PostToolUse", "UserPromptSubmit", "Stop"]
MODELS = ["claude-opus-4-6", "claude-sonnet-4-5-20250929", "claude-opus-4-6", "claude-haiku-4-5-20251001"]


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.session_id = self.uuid()
        self.cwd = "/home/dev/projects/lullwatch-example"
        self.version = "2.1.39"
        self.branch = "main"
        self.time = datetime(2026, 2, 12, 16, 2, 23, 545000, tzinfo=timezone.utc)
        self.parent = None
        self.model = MODELS[0]
        self.context = 11442
        # Totals as the reader must count them.
        self.totals = {"input": 0, "output": 0, "cacheCreation": 0, "cacheRead": 0, "turns": 0}
        self.last_model = None
        self.last_context = 0
        self.counts = {}
        self.lines = 0
        # A pool of prose and code blocks to cut text from: building each
        # line word by word would make the generator the slow part.
        self.prose = self.build_pool(prose=True)
        self.code = self.build_pool(prose=False)

    # --- small helpers --------------------------------------------------

    def uuid(self):
        return str(uuid.UUID(int=self.rng.getrandbits(128), version=4))

    def message_id(self):
        alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        return "msg_01" + "".join(self.rng.choice(alphabet) for _ in range(22))

    def tool_id(self):
        alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        return "toolu_01" + "".join(self.rng.choice(alphabet) for _ in range(22))

    def request_id(self):
        alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        return "req_011CY" + "".join(self.rng.choice(alphabet) for _ in range(19))

    def tick(self, low_ms=5, high_ms=4000):
        self.time += timedelta(milliseconds=self.rng.randint(low_ms, high_ms))
        return self.time.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (self.time.microsecond // 1000)

    def sentence(self, words):
        rng = self.rng
        text = " ".join(rng.choice(WORDS) for _ in range(words))
        if rng.random() < 0.2:
            text += " " + rng.choice(UNICODE_BITS)
        if rng.random() < 0.1:
            text += ' "quoted"'
        return text[0].upper() + text[1:] + "."

    def build_pool(self, prose):
        rng = self.rng
        parts = []
        size = 0
        while size < 256 * 1024:
            if prose:
                piece = self.sentence(rng.randint(6, 24)) + (" " if rng.random() < 0.8 else "\n\n")
            else:
                template = rng.choice(CODE_SNIPPETS)
                piece = template.format(
                    w=rng.choice(WORDS), v=rng.choice(WORDS), s=self.sentence(5), h="%08x" % rng.getrandbits(32)
                )
            parts.append(piece)
            size += len(piece)
        return "".join(parts)

    def text(self, length, code=False):
        pool = self.code if code else self.prose
        start = self.rng.randrange(0, len(pool) - length - 1)
        return pool[start : start + length]

    def common(self, entry_type):
        entry = {
            "parentUuid": self.parent,
            "isSidechain": False,
            "userType": "external",
            "cwd": self.cwd,
            "sessionId": self.session_id,
            "version": self.version,
            "gitBranch": self.branch,
            "type": entry_type,
        }
        return entry

    def finish(self, entry):
        entry["uuid"] = self.uuid()
        entry["timestamp"] = self.tick(5, 1500)
        self.parent = entry["uuid"]
        return entry

    # --- line kinds -----------------------------------------------------

    def snapshot(self, message_uuid):
        stamp = self.tick(1, 30)
        return {
            "type": "file-history-snapshot",
            "messageId": message_uuid,
            "snapshot": {
                "messageId": message_uuid,
                "trackedFileBackups": {
                    "src/%s.cpp" % self.rng.choice(WORDS): {
                        "backupFileName": "%s@v%d" % (self.uuid()[:16], self.rng.randint(1, 9)),
                        "version": self.rng.randint(1, 9),
                        "backupTime": stamp,
                    }
                }
                if self.rng.random() < 0.5
                else {},
                "timestamp": stamp,
            },
            "isSnapshotUpdate": self.rng.random() < 0.3,
        }

    def hook_progress(self, event, tool_use_id):
        entry = self.common("progress")
        entry["data"] = {
            "type": "hook_progress",
            "hookEvent": event,
            "hookName": "%s:%s" % (event, self.rng.choice(TOOLS)),
            "command": "/home/dev/.claude/hooks/lullwatch-hook.sh %s" % event,
        }
        entry["parentToolUseID"] = tool_use_id
        entry["toolUseID"] = tool_use_id
        return self.finish(entry)

    def bash_progress(self, tool_use_id):
        entry = self.common("progress")
        output = self.text(self.rng.randint(200, 900), code=True)
        entry["data"] = {
            "type": "bash_progress",
            "output": output,
            "fullOutput": self.text(self.rng.randint(600, 2500), code=True),
            "elapsedTimeSeconds": self.rng.randint(1, 90),
            "totalLines": output.count("\n") + 1,
        }
        entry["toolUseID"] = "bash-progress-%d" % self.rng.randint(0, 99)
        entry["parentToolUseID"] = tool_use_id
        return self.finish(entry)

    def agent_progress(self, tool_use_id):
        # A subagent's message nested in a progress line: it carries its own
        # usage, which the reader must not count (the line's type is progress).
        entry = self.common("progress")
        nested_usage = {
            "input_tokens": self.rng.randint(1, 9),
            "cache_creation_input_tokens": self.rng.randint(0, 5000),
            "cache_read_input_tokens": self.rng.randint(0, 40000),
            "output_tokens": self.rng.randint(1, 400),
        }
        entry["data"] = {
            "message": {
                "type": "assistant",
                "message": {
                    "model": self.model,
                    "id": self.message_id(),
                    "type": "message",
                    "role": "assistant",
                    "content": [{"type": "text", "text": self.text(self.rng.randint(300, 1500))}],
                    "stop_reason": None,
                    "usage": nested_usage,
                },
                "uuid": self.uuid(),
                "timestamp": self.tick(1, 50),
            },
            "normalizedMessages": [],
            "type": "agent_progress",
            "prompt": self.text(self.rng.randint(100, 400)),
            "agentId": self.uuid()[:7],
        }
        entry["toolUseID"] = "agent_msg_" + self.message_id()[4:]
        entry["parentToolUseID"] = tool_use_id
        return self.finish(entry)

    def user_prompt(self):
        entry = self.common("user")
        entry["message"] = {"role": "user", "content": self.text(self.rng.randint(60, 900))}
        entry = self.finish(entry)
        entry["thinkingMetadata"] = {"maxThinkingTokens": 31999}
        entry["todos"] = []
        entry["permissionMode"] = "default"
        return entry

    def attachment(self):
        entry = self.common("attachment")
        kind = self.rng.choice(["date", "environment", "skill_listing", "todo_reminder"])
        if kind == "date":
            entry["attachment"] = {"type": "date", "date": self.time.strftime("%Y-%m-%d")}
        elif kind == "environment":
            entry["attachment"] = {
                "type": "environment",
                "snapshot": {
                    "workingDirectory": self.cwd,
                    "isWorktree": False,
                    "isGitRepo": True,
                    "additionalWorkingDirectories": [],
                    "platform": "linux",
                    "shell": "bash",
                },
            }
        else:
            entry["attachment"] = {"type": kind, "content": self.text(self.rng.randint(400, 3000))}
        entry = self.finish(entry)
        entry["rendered"] = [{"content": "<system-reminder>\n" + self.text(self.rng.randint(100, 600)) + "\n</system-reminder>"}]
        entry["renderedRole"] = "system"
        return entry

    def assistant_copy(self, message_id, request_id, block, usage, stop_reason):
        entry = self.common("assistant")
        del entry["type"]
        entry["message"] = {
            "model": self.model,
            "id": message_id,
            "type": "message",
            "role": "assistant",
            "content": [block],
            "stop_reason": stop_reason,
            "stop_sequence": None,
            "usage": {
                "input_tokens": usage["input"],
                "cache_creation_input_tokens": usage["cacheCreation"],
                "cache_read_input_tokens": usage["cacheRead"],
                "cache_creation": {"ephemeral_5m_input_tokens": usage["cacheCreation"], "ephemeral_1h_input_tokens": 0},
                "output_tokens": usage["output"],
                "service_tier": "standard",
                "inference_geo": "global",
            },
        }
        entry["requestId"] = request_id
        entry["type"] = "assistant"
        return self.finish(entry)

    def tool_result(self, tool_use_id):
        entry = self.common("user")
        roll = self.rng.random()
        if roll < 0.05:
            length = self.rng.randint(20000, 60000)  # a whole file read
        elif roll < 0.25:
            length = self.rng.randint(100, 600)
        else:
            length = self.rng.randint(1500, 8000)
        content = self.text(length, code=self.rng.random() < 0.6)
        entry["message"] = {
            "role": "user",
            "content": [{"tool_use_id": tool_use_id, "type": "tool_result", "content": content, "is_error": False}],
        }
        entry = self.finish(entry)
        entry["toolUseResult"] = {
            "stdout": content[: self.rng.randint(50, 400)],
            "stderr": "",
            "interrupted": False,
            "isImage": False,
        }
        entry["sourceToolAssistantUUID"] = self.parent
        return entry

    def interrupt(self, message_id):
        entry = self.common("user")
        entry["message"] = {"role": "user", "content": [{"type": "text", "text": "[Request interrupted by user]"}]}
        entry = self.finish(entry)
        entry["interruptedMessageId"] = message_id
        return entry

    def system(self, subtype):
        entry = self.common("system")
        entry["subtype"] = subtype
        if subtype == "stop_hook_summary":
            entry["hookCount"] = 1
            entry["hookInfos"] = [{"command": "/home/dev/.claude/hooks/lullwatch-hook.sh Stop"}]
            entry["hookErrors"] = []
            entry["preventedContinuation"] = False
            entry["stopReason"] = ""
            entry["hasOutput"] = False
            entry["level"] = "suggestion"
        else:
            entry["durationMs"] = self.rng.randint(2000, 400000)
            entry["isMeta"] = False
        return self.finish(entry)

    # --- structure ------------------------------------------------------

    def message(self, out):
        """One assistant message, possibly split over several lines."""
        rng = self.rng
        message_id = self.message_id()
        request_id = self.request_id()
        self.context += rng.randint(200, 6000)
        if self.context > 180000:
            self.context = rng.randint(15000, 30000)  # compacted
        cache_creation = rng.randint(0, 8000)
        usage = {
            "input": rng.randint(1, 12),
            "cacheCreation": cache_creation,
            "cacheRead": max(0, self.context - cache_creation),
            "output": rng.randint(1, 40),
        }
        copies = rng.choice([1, 1, 2, 2, 3, 4, 5])
        tool_use_id = self.tool_id()
        for index in range(copies):
            last = index == copies - 1
            if last and copies > 1:
                usage = dict(usage, output=usage["output"] + rng.randint(50, 1500))
            kind = rng.random()
            if last:
                block = {
                    "type": "tool_use",
                    "id": tool_use_id,
                    "name": rng.choice(TOOLS),
                    "input": {"command": self.text(rng.randint(20, 200), code=True), "description": self.sentence(6)},
                }
            elif kind < 0.5:
                block = {"type": "thinking", "thinking": self.text(rng.randint(100, 1200)), "signature": "Eq" + self.uuid().replace("-", "") * 4}
            else:
                block = {"type": "text", "text": self.text(rng.randint(10, 600))}
            out.append(self.assistant_copy(message_id, request_id, block, usage, "tool_use" if last else None))
            self.count(message_id, usage, first=index == 0)
            # Progress lines between the copies of one message.
            if not last and rng.random() < 0.5:
                out.append(self.hook_progress("PreToolUse", tool_use_id))
        return message_id, tool_use_id

    def count(self, message_id, usage, first):
        if first:
            self.totals["turns"] += 1
            for key in ("input", "output", "cacheCreation", "cacheRead"):
                self.totals[key] += usage[key]
            self.pending = dict(usage)
        else:
            for key in ("input", "output", "cacheCreation", "cacheRead"):
                self.totals[key] += usage[key] - self.pending[key]
            self.pending = dict(usage)
        self.last_model = self.model
        self.last_context = usage["input"] + usage["cacheCreation"] + usage["cacheRead"] + usage["output"]

    def prompt_turn(self, out):
        rng = self.rng
        if rng.random() < 0.15:
            self.model = rng.choice(MODELS)
        prompt = self.user_prompt()
        out.append(self.snapshot(prompt["uuid"]))
        out.append(self.hook_progress("UserPromptSubmit", self.uuid()))
        out.append(prompt)
        for _ in range(rng.randint(0, 3)):
            out.append(self.attachment())
        for _ in range(rng.randint(2, 14)):
            message_id, tool_use_id = self.message(out)
            out.append(self.hook_progress("PreToolUse", tool_use_id))
            roll = rng.random()
            if roll < 0.15:
                for _ in range(rng.randint(1, 6)):
                    out.append(self.bash_progress(tool_use_id))
            elif roll < 0.22:
                for _ in range(rng.randint(2, 12)):
                    out.append(self.agent_progress(tool_use_id))
            out.append(self.hook_progress("PostToolUse", tool_use_id))
            out.append(self.tool_result(tool_use_id))
            if rng.random() < 0.02:
                out.append(self.interrupt(message_id))
                break
        out.append(self.hook_progress("Stop", self.uuid()))
        out.append(self.system("stop_hook_summary"))
        out.append(self.system("turn_duration"))


def parse_size(text):
    text = text.strip().upper()
    factors = {"K": 10**3, "M": 10**6, "G": 10**9}
    if text.endswith("B"):
        text = text[:-1]
    if text and text[-1] in factors:
        return int(float(text[:-1]) * factors[text[-1]])
    return int(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", help="transcript to write")
    parser.add_argument("--size", default="200MB", help="approximate size: bytes, or with K/M/G suffix (decimal)")
    parser.add_argument("--seed", type=int, default=20260212)
    args = parser.parse_args()

    target = parse_size(args.size)
    generator = Generator(args.seed)
    written = 0
    lines = 0
    with open(args.path, "wb") as out:
        while written < target:
            entries = []
            generator.prompt_turn(entries)
            chunk = "".join(json.dumps(e, ensure_ascii=False, separators=(",", ":")) + "\n" for e in entries)
            data = chunk.encode("utf-8")
            out.write(data)
            written += len(data)
            lines += len(entries)

    expected = dict(generator.totals)
    expected["model"] = generator.last_model
    expected["contextTokens"] = generator.last_context
    expected["bytes"] = written
    expected["lines"] = lines
    with open(args.path + ".expected.json", "w", encoding="utf-8") as sidecar:
        json.dump(expected, sidecar, indent=1)
        sidecar.write("\n")
    json.dump(expected, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
