#!/usr/bin/env python3
"""Writes a large, realistic coding-agent transcript for the benchmarks.

--format chooses the agent whose line shapes the file has:

claude  Claude Code: user prompts, assistant entries with message.id / model /
        usage, one assistant message split over several lines that share its
        id while output_tokens grows (10, 10, 10, 299), hook and agent
        progress lines between them, tool results of a few KB, file-history
        snapshots, attachments and system lines.
qwen    Qwen Code 0.24 (tests/data/transcripts/local-qwen-code-0.24.4/): user
        prompts, "system" bookkeeping lines (attribution and file-history
        snapshots, the ui_telemetry copy of each API response), one
        "assistant" line per model reply with the model and its usageMetadata
        at the top level and text and function calls in message.parts, and
        "tool_result" lines with function responses of a few KB.
gemini  Gemini CLI 0.61 (tests/data/transcripts/local-gemini-cli-0.61.0/): see
        GeminiGenerator.
codex   Codex CLI 0.171 (tests/data/transcripts/local-codex-cli-0.171.0/): see
        CodexGenerator.

The output depends only on the format, the seed and the size.

Beside the transcript it writes <path>.expected.json with the totals the
reader must arrive at, worked out here by each agent's own rules:
Claude Code: every message counted once with the usage of its last copy, and
one turn per run of consecutive lines with the same message id. Qwen Code
(README, "Tokens"): input is the prompt less its cached part, cache read the
cached part, output the candidates plus the thoughts but no more than the
total leaves after the prompt, one turn per reply, the context of the last
reply. Gemini CLI: each reply costs the tokens of its latest copy (input less
its cached part plus the tool-use prompt as input, output plus thoughts as
output, the cached part as cache read), one turn per reply, the context and
model of the last copy read. Codex CLI: the
cumulative usage of the last token_count event (its input less the cached and
cache-written parts as input, those two as cache read and cache creation, the
output with its reasoning), one turn per event whose totals moved, the model
of the last turn_context.
"""

import argparse
import base64
import json
import random
import sys
import uuid
from datetime import datetime, timedelta, timezone

# --- Claude Code ------------------------------------------------------------

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


class PooledText:
    """Text cut from pools of prose and code blocks built once: building each
    line word by word would make the generator the slow part."""

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


class ClaudeGenerator(PooledText):
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

    def chunk(self):
        entries = []
        self.prompt_turn(entries)
        self.lines += len(entries)
        return "".join(json.dumps(e, ensure_ascii=False, separators=(",", ":")) + "\n" for e in entries)

    def expected(self):
        expected = dict(self.totals)
        expected["model"] = self.last_model
        expected["contextTokens"] = self.last_context
        expected["lines"] = self.lines
        return expected


# --- Qwen Code --------------------------------------------------------------

QWEN_WORDS = (
    "the session scanner reads transcript lines and keeps a cursor per file so that only appended bytes "
    "are parsed again tokens usage model cache input output tool result function returns value error "
    "handler config module test build cmake target link library header source path directory socket "
    "buffer thread worker queue signal slot widget tray icon menu notification timer json string number"
).split()
QWEN_UNICODE_BITS = ["→", "●", "·", "—", "✓", "│", "é", "日本", "🙂"]
QWEN_TOOLS = ["read_file", "run_shell_command", "edit", "grep_search", "glob", "write_file"]
QWEN_MODELS = ["qwen3-coder-plus", "qwen3-coder-flash", "qwen3-coder-plus"]


class QwenGenerator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.session_id = self.uuid()
        self.cwd = "/home/dev/projects/lullwatch-example"
        self.time = datetime(2026, 12, 7, 0, 23, 25, 779000, tzinfo=timezone.utc)
        self.parent = None
        self.prompt = 9000
        self.prompt_index = 0
        self.totals = {"input": 0, "output": 0, "cacheCreation": 0, "cacheRead": 0, "turns": 0,
                       "contextTokens": 0, "model": QWEN_MODELS[0]}
        self.lines = 0

    def uuid(self):
        return str(uuid.UUID(int=self.rng.getrandbits(128), version=4))

    def tick(self, low_ms=5, high_ms=3000):
        self.time += timedelta(milliseconds=self.rng.randint(low_ms, high_ms))
        return self.time.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (self.time.microsecond // 1000)

    def text(self, length):
        out = []
        size = 0
        while size < length:
            word = self.rng.choice(QWEN_WORDS) if self.rng.random() > 0.03 else self.rng.choice(QWEN_UNICODE_BITS)
            if self.rng.random() < 0.02:
                word += '\n  "quoted" \\ path/to/file.cpp:%d' % self.rng.randint(1, 999)
            out.append(word)
            size += len(word) + 1
        return " ".join(out)

    def line(self, entry_type, **members):
        entry = {"uuid": self.uuid(), "parentUuid": self.parent, "sessionId": self.session_id,
                 "timestamp": self.tick(), "type": entry_type, "cwd": self.cwd, "version": "0.24.4"}
        entry.update(members)
        self.parent = entry["uuid"]
        return json.dumps(entry, ensure_ascii=False, separators=(",", ":")) + "\n"

    def system(self, subtype, payload):
        return self.line("system", provenance="system", subtype=subtype, systemPayload=payload)

    def reply(self, out, with_call):
        model = self.rng.choice(QWEN_MODELS)
        self.prompt += self.rng.randint(200, 4000)
        cached = self.rng.randint(0, self.prompt)
        thoughts = self.rng.choice([0, 0, self.rng.randint(1, 900)])
        candidates = self.rng.randint(10, 2000) + thoughts  # through an OpenAI-compatible API
        usage = {"promptTokenCount": self.prompt, "candidatesTokenCount": candidates,
                 "thoughtsTokenCount": thoughts, "totalTokenCount": self.prompt + candidates,
                 "cachedContentTokenCount": cached}
        out.append(self.system("ui_telemetry", {"uiEvent": {
            "event.name": "qwen-code.api_response", "response_id": "chatcmpl-%x" % self.rng.getrandbits(64),
            "model": model, "status_code": 200, "duration_ms": self.rng.randint(300, 9000),
            "input_token_count": self.prompt, "output_token_count": candidates,
            "cached_content_token_count": cached, "thoughts_token_count": thoughts,
            "total_token_count": self.prompt + candidates, "response_text": self.text(120)}}))
        parts = [{"text": self.text(self.rng.randint(40, 1500))}]
        call = None
        if with_call:
            call = {"id": "call_%x" % self.rng.getrandbits(64), "name": self.rng.choice(QWEN_TOOLS),
                    "args": {"file_path": self.cwd + "/src/%s.cpp" % self.rng.choice(QWEN_WORDS),
                             "description": self.text(40)}}
            parts.append({"functionCall": call})
        out.append(self.line("assistant", provenance="assistant_output", model=model,
                             message={"role": "model", "parts": parts}, usageMetadata=usage,
                             contextWindowSize=1000000))
        counts = (self.prompt - cached, min(candidates + thoughts, candidates), 0, cached)
        for key, value in zip(("input", "output", "cacheCreation", "cacheRead"), counts):
            self.totals[key] += value
        self.totals["turns"] += 1
        self.totals["contextTokens"] = sum(counts)
        self.totals["model"] = model
        return call

    def tool_result(self, out, call):
        output = self.text(self.rng.randint(1500, 6000))
        out.append(self.line("tool_result", provenance="tool_output", message={"role": "user", "parts": [
            {"functionResponse": {"id": call["id"], "name": call["name"], "response": {"output": output}}}]},
            toolCallResult={"callId": call["id"], "status": "success", "resultDisplay": output[:2000]}))

    def prompt_turn(self, out):
        prompt_id = "%s########%d" % (self.session_id, self.prompt_index)
        self.prompt_index += 1
        out.append(self.line("user", provenance="real_user",
                             message={"role": "user", "parts": [{"text": self.text(self.rng.randint(20, 400))}]}))
        out.append(self.system("attribution_snapshot", {"snapshot": {
            "type": "attribution-snapshot", "version": 1, "surface": "cli", "fileStates": {},
            "promptCount": self.prompt_index, "promptCountAtLastCommit": 0}}))
        out.append(self.system("file_history_snapshot", {"snapshots": [
            {"promptId": prompt_id, "timestamp": self.tick(), "trackedFileBackups": {}}]}))
        for _ in range(self.rng.randint(1, 6)):
            self.tool_result(out, self.reply(out, True))
        self.reply(out, False)


    def chunk(self):
        lines = []
        self.prompt_turn(lines)
        self.lines += len(lines)
        return "".join(lines)

    def expected(self):
        return dict(self.totals, lines=self.lines)


# --- Gemini CLI -------------------------------------------------------------

GEMINI_MODELS = ["gemini-2.5-pro", "gemini-2.5-flash", "gemini-2.5-pro", "gemini-3-pro-preview"]
# (name, display name)
GEMINI_TOOLS = [
    ("run_shell_command", "Shell"),
    ("read_file", "ReadFile"),
    ("replace", "Edit"),
    ("search_file_content", "SearchText"),
    ("glob", "FindFiles"),
    ("write_file", "WriteFile"),
]
# The reader lets a copy replace only one of the latest 256 replies (older ones
# are settled): every copy written here is of one of them.
GEMINI_REPLACEABLE = 256
# Messages the conversation holds before the agent compresses it.
GEMINI_HISTORY_LIMIT = 120


class GeminiGenerator(PooledText):
    """Gemini CLI 0.61 chat files: a metadata line, then every message as a line
    of its own, appended again whole each time it changes (a reply again with
    its tool calls and their results, after the "$set" of lastUpdated that
    follows each new message), the tool results as user messages, and
    "$set" lines of the whole conversation after a compression or a cancelled
    turn (the messages it keeps, tokens and all), now and then "$rewindTo".
    """

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.session_id = self.uuid()
        self.project_hash = "%064x" % self.rng.getrandbits(256)
        self.cwd = "/home/dev/projects/lullwatch-example"
        self.time = datetime(2026, 12, 7, 0, 22, 50, 890000, tzinfo=timezone.utc)
        self.model = GEMINI_MODELS[0]
        self.prompt = 4000
        self.history = []  # the conversation as the agent holds it: message records
        self.started = False
        # Totals by the agent's rules: each reply costs the tokens of its
        # latest copy; the context and model are those of the last copy.
        self.costs = {}  # reply id -> (input, output, cacheCreation, cacheRead)
        self.replies = []  # reply ids in the order of their first copy
        self.context = 0
        self.last_model = None
        self.lines = 0
        self.prose = self.build_pool(prose=True)
        self.code = self.build_pool(prose=False)

    def uuid(self):
        return str(uuid.UUID(int=self.rng.getrandbits(128), version=4))

    def tick(self, low_ms=5, high_ms=3000):
        self.time += timedelta(milliseconds=self.rng.randint(low_ms, high_ms))
        return self.time.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (self.time.microsecond // 1000)

    def emit(self, out, record):
        out.append(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
        self.lines += 1
        if "$set" in record:
            for message in record["$set"].get("messages", []):
                self.count(message)
        else:
            self.count(record)

    def count(self, message):
        if message.get("type") != "gemini" or not isinstance(message.get("tokens"), dict):
            return
        tokens = message["tokens"]
        input_tokens = max(tokens["input"] - tokens["cached"], 0) + tokens["tool"]
        cost = (input_tokens, tokens["output"] + tokens["thoughts"], 0, tokens["cached"])
        if message["id"] in self.costs:
            if message["id"] not in self.replies[-GEMINI_REPLACEABLE:]:
                raise SystemExit("a copy of a reply older than the latest %d" % GEMINI_REPLACEABLE)
        else:
            self.replies.append(message["id"])
        self.costs[message["id"]] = cost
        self.context = sum(cost)
        if message.get("model"):
            self.last_model = message["model"]

    def updated(self, out):
        self.emit(out, {"$set": {"lastUpdated": self.tick(0, 2)}})

    def new_message(self, message_type, content):
        return {"id": self.uuid(), "timestamp": self.tick(), "type": message_type, "content": content}

    def tokens(self):
        rng = self.rng
        self.prompt += rng.randint(300, 5000)
        cached = 0 if rng.random() < 0.25 else max(0, self.prompt - rng.randint(200, 6000)) // 1024 * 1024
        output = rng.randint(10, 1500)
        thoughts = rng.choice([0, rng.randint(20, 1200), rng.randint(20, 1200)])
        tool = rng.randint(1, 400) if rng.random() < 0.05 else 0
        return {"input": self.prompt, "output": output, "cached": cached, "thoughts": thoughts, "tool": tool,
                "total": self.prompt + output + thoughts + tool}

    def thoughts(self):
        return [{"subject": self.sentence(self.rng.randint(2, 5))[:-1],
                 "description": self.text(self.rng.randint(80, 900)),
                 "timestamp": self.tick(50, 900)} for _ in range(self.rng.choice([0, 1, 1, 2, 3]))]

    def tool_call(self):
        rng = self.rng
        name, display_name = rng.choice(GEMINI_TOOLS)
        call_id = "%s-%d-%x" % (name, int(self.time.timestamp() * 1000), rng.getrandbits(48))
        path = self.cwd + "/src/%s.cpp" % rng.choice(WORDS)
        if name == "run_shell_command":
            args = {"command": self.text(rng.randint(20, 160), code=True), "description": self.sentence(6)}
        elif name == "replace":
            args = {"file_path": path, "old_string": self.text(rng.randint(40, 600), code=True),
                    "new_string": self.text(rng.randint(40, 600), code=True), "instruction": self.sentence(10)}
        else:
            args = {"file_path": path}
        roll = rng.random()
        if roll < 0.05:
            length = rng.randint(20000, 60000)  # a whole file read
        elif roll < 0.3:
            length = rng.randint(50, 600)
        else:
            length = rng.randint(1500, 8000)
        output = self.text(length, code=rng.random() < 0.6)
        return {
            "id": call_id,
            "name": name,
            "args": args,
            "result": [{"functionResponse": {"id": call_id, "name": name, "response": {"output": output}}}],
            "status": "success",
            "timestamp": self.tick(100, 9000),
            "resultDisplay": output[: rng.randint(0, 2000)],
            "description": self.sentence(rng.randint(3, 9)),
            "displayName": display_name,
            "renderOutputAsMarkdown": name == "read_file",
        }

    def as_history(self, message):
        """A message as a "$set" of the conversation lists it: its content as
        the parts the agent holds."""
        listed = dict(message)
        if message["type"] == "gemini" and isinstance(message["content"], str):
            parts = [{"text": message["content"]}] if message["content"] else []
            for call in message.get("toolCalls", []):
                parts.append({"functionCall": {"id": call["id"], "name": call["name"], "args": call["args"]}})
            listed["content"] = parts
        return listed

    def set_history(self, out):
        self.emit(out, {"$set": {"messages": [self.as_history(m) for m in self.history],
                                 "lastUpdated": self.tick(0, 5)}})

    def start(self, out):
        stamp = self.tick(0, 1)
        self.emit(out, {"sessionId": self.session_id, "projectHash": self.project_hash, "startTime": stamp,
                        "lastUpdated": stamp, "kind": "main"})
        context = self.new_message("user", [{"text": "<session_context>\nThis is the Gemini CLI. " +
                                             self.text(self.rng.randint(600, 3000)) + "\n</session_context>"}])
        self.history.append(context)
        self.set_history(out)

    def compress(self, out):
        kept = self.history[len(self.history) * 7 // 10 :]
        while kept and kept[0]["type"] != "user":
            kept = kept[1:]
        summary = self.new_message("user", [{"text": "<state_snapshot>\n" + self.text(self.rng.randint(2000, 9000)) +
                                             "\n</state_snapshot>"}])
        self.emit(out, summary)
        self.updated(out)
        acknowledgement = self.new_message("gemini", [{"text": "Got it. Thanks for the additional context!"}])
        acknowledgement.update({"thoughts": [], "tokens": None})
        self.emit(out, acknowledgement)
        self.updated(out)
        self.history = [summary, acknowledgement] + kept
        self.set_history(out)
        self.prompt = self.rng.randint(8000, 30000)

    def prompt_turn(self, out):
        rng = self.rng
        if not self.started:
            self.start(out)
            self.started = True
        if rng.random() < 0.1:
            self.model = rng.choice(GEMINI_MODELS)
        turn_start = len(self.history)
        prompt = self.new_message("user", [{"text": self.text(rng.randint(20, 900))}])
        self.emit(out, prompt)
        self.history.append(prompt)
        self.updated(out)
        rounds = rng.randint(0, 10)
        for index in range(rounds + 1):
            final = index == rounds
            reply = self.new_message("gemini", self.text(rng.randint(40, 1500)) if final or rng.random() < 0.4 else "")
            tokens = self.tokens()
            # Now and then the usage comes after the reply was written: a
            # later copy brings it.
            late = rng.random() < 0.03
            reply.update({"thoughts": self.thoughts(), "tokens": None if late else tokens, "model": self.model})
            self.emit(out, reply)
            self.history.append(reply)
            self.updated(out)
            if final:
                if late:
                    reply["tokens"] = tokens
                    self.emit(out, reply)
                break
            reply["tokens"] = tokens
            reply["toolCalls"] = [self.tool_call() for _ in range(rng.choice([1, 1, 1, 2, 3]))]
            self.emit(out, reply)  # the reply again, with its calls and their results
            results = self.new_message("user", [call["result"][0] for call in reply["toolCalls"]])
            self.emit(out, results)
            self.history.append(results)
            self.updated(out)
            if rng.random() < 0.004:
                # Cancelled: the conversation goes back to before the prompt.
                self.history = self.history[:turn_start]
                self.set_history(out)
                break
        if rng.random() < 0.01:
            users = [m for m in self.history if m["type"] == "user"]
            if len(users) > 1:
                target = rng.choice(users[1:])
                self.history = self.history[: self.history.index(target)]
                self.emit(out, {"$rewindTo": target["id"]})
        if len(self.history) > GEMINI_HISTORY_LIMIT:
            self.compress(out)

    def chunk(self):
        out = []
        self.prompt_turn(out)
        return "".join(out)

    def expected(self):
        totals = [sum(cost[k] for cost in self.costs.values()) for k in range(4)]
        return {"input": totals[0], "output": totals[1], "cacheCreation": totals[2], "cacheRead": totals[3],
                "turns": len(self.costs), "model": self.last_model, "contextTokens": self.context,
                "lines": self.lines}


# --- Codex CLI --------------------------------------------------------------

CODEX_MODELS = ["gpt-5.1-codex", "gpt-5.1-codex-max", "gpt-5.1-codex", "gpt-5.1-codex-mini"]
CODEX_USAGE_KEYS = ("input_tokens", "cached_input_tokens", "cache_write_input_tokens", "output_tokens",
                    "reasoning_output_tokens", "total_tokens")


class CodexGenerator(PooledText):
    """Codex CLI 0.171 rollouts: `{timestamp, ordinal, type, payload}` lines.
    A session_meta line with the model's instructions (about 20 KB) opens the
    file; each turn has task_started, world_state, turn_context, the prompt as
    a response_item and item_completed events; each model request a reasoning
    item with its encrypted content, a function call, a token_usage_record
    and a token_count event with the session's cumulative usage, then the
    command's function_call_output; the turn ends with the answer and
    task_complete.
    """

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.session_id = self.uuid7()
        self.cwd = "/home/dev/projects/lullwatch-example"
        self.time = datetime(2026, 12, 7, 0, 23, 11, 804000, tzinfo=timezone.utc)
        self.ordinal = 0
        self.sequence = 0
        self.model = CODEX_MODELS[0]
        self.context = 9000
        self.started = False
        self.usage = dict.fromkeys(CODEX_USAGE_KEYS, 0)  # cumulative, as token_count reports it
        # Totals by Codex's rules: each token_count event carries the
        # session's totals so far; one whose totals moved is one request.
        self.turns = 0
        self.last_context = 0
        self.last_model = None
        self.lines = 0
        self.prose = self.build_pool(prose=True)
        self.code = self.build_pool(prose=False)

    def uuid7(self):
        value = self.rng.getrandbits(128)
        value = (value & ~(0xF << 76)) | (0x7 << 76)
        value = (value & ~(0x3 << 62)) | (0x2 << 62)
        return str(uuid.UUID(int=value))

    def short_id(self):
        return "%016x" % self.rng.getrandbits(64)

    def tick(self, low_ms=1, high_ms=800):
        self.time += timedelta(milliseconds=self.rng.randint(low_ms, high_ms))
        return self.time.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (self.time.microsecond // 1000)

    def emit(self, out, line_type, payload, low_ms=1, high_ms=800):
        line = {"timestamp": self.tick(low_ms, high_ms), "ordinal": self.ordinal, "type": line_type,
                "payload": payload}
        self.ordinal += 1
        self.lines += 1
        out.append(json.dumps(line, ensure_ascii=False, separators=(",", ":")) + "\n")

    def response_item(self, out, item, turn_id, kinds, **metadata):
        self.sequence += 1
        item["internal_chat_message_metadata_passthrough"] = {
            "turn_id": turn_id, "create_time": self.time.timestamp(), "content_item_kinds": kinds}
        item["metadata"] = dict({"history_sequence": self.sequence, "sampled_through_sequence": self.sequence - 1,
                                 "client_authored": False}, **metadata, model_search_state="unused")
        self.emit(out, "response_item", item)

    def permission_entries(self):
        special = [("root", "read"), ("slash_tmp", "write"), ("tmpdir", "write")]
        entries = [{"path": {"type": "special", "value": {"kind": kind}}, "access": access}
                   for kind, access in special]
        entries.insert(1, {"path": {"type": "path", "path": self.cwd}, "access": "write"})
        for folder in (".git", ".agents", ".codex", ".aws"):
            entries.append({"path": {"type": "path", "path": self.cwd + "/" + folder}, "access": "read",
                            "missing_path_behavior": "skip"})
        return entries

    def start(self, out, turn_id):
        self.emit(out, "session_meta", {
            "account_scoped": True, "session_id": self.session_id, "id": self.session_id,
            "timestamp": self.tick(0, 200), "cwd": self.cwd, "runtime_workspace_roots": [self.cwd],
            "originator": "codex-tui", "cli_version": "0.171.0", "source": "cli", "thread_source": "user",
            "model_provider": "openai",
            "base_instructions": {"text": "You are a coding agent running in the Codex CLI. " +
                                  self.text(12000) + self.text(8000, code=True),
                                  "provenance": {"type": "model", "model": self.model}},
            "history_mode": "paginated", "context_window": {"window_id": self.uuid7()}, "git": {}})
        self.response_item(out, {"type": "message", "id": "msg_" + self.uuid7(), "role": "developer", "content": [
            {"type": "input_text", "text": "<skills_instructions>\n" + self.text(2100) + "\n</skills_instructions>"},
            {"type": "input_text", "text": "<permissions instructions>\n" + self.text(4000) +
             "\n</permissions instructions>"},
            {"type": "input_text", "text": "<collaboration_mode>" + self.text(1300) + "</collaboration_mode>"}]},
            turn_id, ["host_skills.instructions", "permissions.instructions", "collaboration_mode.instructions"],
            mcp_attribution={"status": "none"})
        self.response_item(out, {"type": "message", "id": "msg_" + self.uuid7(), "role": "user", "content": [
            {"type": "input_text", "text": "<environment_context>\n  <cwd>%s</cwd>\n  <shell>bash</shell>\n%s\n"
             "</environment_context>" % (self.cwd, self.text(800))}]},
            turn_id, ["environments.environment_context"])

    def world_state(self, out, full):
        state = {"model": self.model, "realtime": {"active": False}}
        if full:
            state = {
                "agents_md": {}, "apps_instructions": False,
                "collaboration_mode": {"mode": "default", "model": self.model, "instructions": "%040x" %
                                       self.rng.getrandbits(160)},
                "context_window_guidance": "",
                "environments": {"environments": {"local": {"cwd": self.cwd, "status": "available",
                                                            "shell": "bash"}},
                                 "current_date": self.time.strftime("%Y-%m-%d"), "timezone": "Etc/UTC",
                                 "filesystem": "<filesystem><workspace_roots><root>%s<root><workspace_roots>%s"
                                 "</filesystem>" % (self.cwd, self.text(600))},
                "environments_instructions": False, "git_attribution": False,
                "host_skills": {"body": "\n## Skills\n" + self.text(2000), "includeInstructions": True},
                "managed_developer_instructions": {}, "model": self.model,
                "model_catalog": "%040x" % self.rng.getrandbits(160), "multi_agent_mode": {},
                "permissions": {"instructions": "%040x" % self.rng.getrandbits(160),
                                "approved_command_prefixes": []},
                "persistent_mode": {}, "plugins_instructions": False, "realtime": {"active": False},
                "skills": {"includeInstructions": True}}
        self.emit(out, "world_state", {"full": full, "state": state})

    def turn_context(self, out, turn_id):
        entries = self.permission_entries()
        self.emit(out, "turn_context", {
            "turn_id": turn_id, "root_turn_id": turn_id, "disabled_plugin_ids": [], "cwd": self.cwd,
            "approval_policy": "on-request", "approvals_reviewer": "user",
            "permission_profile": {"type": "managed", "file_system": {"type": "restricted", "entries": entries},
                                   "network": "restricted"},
            "active_permission_profile": {"id": ":workspace"}, "model": self.model,
            "collaboration_mode": {"mode": "default", "settings": {
                "model": self.model, "reasoning_effort": self.rng.choice([None, "medium", "high"]),
                "developer_instructions": "# Collaboration Mode: Default\n\n" + self.text(1250)}},
            "multi_agent_version": "v1", "realtime_active": False, "summary": "auto",
            "sandbox_policy": {"type": "workspace-write", "network_access": False, "exclude_tmpdir_env_var": False,
                               "exclude_slash_tmp": False},
            "file_system_sandbox_policy": {"kind": "restricted", "entries": entries}})

    def request(self, out, turn_id):
        """The usage of one model request: a token_usage_record and the
        token_count event with the totals so far."""
        rng = self.rng
        self.context += rng.randint(300, 6000)
        if self.context > 240000:
            self.context = rng.randint(12000, 30000)  # compacted
            self.emit(out, "compacted", {"message": self.text(rng.randint(2000, 8000)), "replacement_history": []})
            self.emit(out, "event_msg", {"type": "context_compacted"})
        cached = 0 if rng.random() < 0.1 else max(0, self.context - rng.randint(100, 4000)) // 64 * 64
        written = rng.randint(1, self.context - cached) if rng.random() < 0.1 and self.context > cached else 0
        output = rng.randint(20, 2500)
        reasoning = rng.randint(0, output)
        last = {"input_tokens": self.context, "cached_input_tokens": cached, "cache_write_input_tokens": written,
                "output_tokens": output, "reasoning_output_tokens": reasoning,
                "total_tokens": self.context + output}
        for key in CODEX_USAGE_KEYS:
            self.usage[key] += last[key]
        total = dict(self.usage)
        self.emit(out, "token_usage_record", {
            "thread_id": self.session_id, "turn_id": turn_id, "session_id": self.session_id,
            "root_turn_id": turn_id, "response_id": "resp_" + self.short_id(), "usage": last,
            "turn_token_usage": last, "thread_token_usage": total})
        count = {"type": "token_count", "info": {"total_token_usage": total, "last_token_usage": last,
                                                 "last_usage_includes_reasoning": False,
                                                 "model_context_window": 258400},
                 "rate_limits": {"limit_id": "codex", "limit_name": None,
                                 "primary": {"used_percent": rng.randint(0, 100), "window_minutes": 300,
                                             "resets_at": int(self.time.timestamp()) + 3600},
                                 "secondary": None, "credits": None, "individual_limit": None,
                                 "spend_control_reached": None, "plan_type": "pro", "rate_limit_reached_type": None}}
        self.emit(out, "event_msg", count)
        if rng.random() < 0.05:
            self.emit(out, "event_msg", count)  # a rate-limit update: the same totals again
        self.turns += 1
        self.last_context = self.context + output
        self.last_model = self.model

    def reasoning(self, out, turn_id):
        rng = self.rng
        summary = [{"type": "summary_text", "text": "**" + self.sentence(rng.randint(3, 7))[:-1] + "**\n\n" +
                    self.text(rng.randint(100, 900))} for _ in range(rng.choice([0, 1, 1, 2]))]
        encrypted = "gAAAAA" + base64.b64encode(rng.randbytes(rng.randint(600, 6000))).decode("ascii")
        self.response_item(out, {"type": "reasoning", "id": "rs_" + self.short_id() * 2, "summary": summary,
                                 "content": None, "encrypted_content": encrypted}, turn_id, ["reasoning"])

    def tool_round(self, out, turn_id):
        rng = self.rng
        self.reasoning(out, turn_id)
        call_id = "call_" + base64.b64encode(rng.randbytes(18)).decode("ascii").replace("/", "_").replace("+", "-")
        command = self.text(rng.randint(20, 200), code=True)
        arguments = json.dumps({"cmd": command, "workdir": self.cwd, "yield_time_ms": 10000,
                                "max_output_tokens": rng.choice([4000, 6000, 10000])}, ensure_ascii=False)
        self.response_item(out, {"type": "function_call", "id": "fc_" + self.short_id() * 2, "name": "exec_command",
                                 "arguments": arguments, "call_id": call_id}, turn_id, ["function_call"])
        self.request(out, turn_id)
        roll = rng.random()
        if roll < 0.05:
            length = rng.randint(20000, 40000)  # a whole file, cut at Codex's limit
        elif roll < 0.3:
            length = rng.randint(50, 600)
        else:
            length = rng.randint(1500, 8000)
        output = self.text(length, code=rng.random() < 0.7)
        seconds = rng.random() * 20
        self.time += timedelta(seconds=seconds)
        self.response_item(out, {"type": "function_call_output", "call_id": call_id, "output":
                                 "Chunk ID: %s\nWall time: %.4f seconds\nProcess exited with code 0\nOriginal token "
                                 "count: %d\nOutput:\n%s" % (self.short_id()[:6], seconds, length // 4, output)},
                           turn_id, ["function_call_output"])

    def prompt_turn(self, out):
        rng = self.rng
        turn_id = self.uuid7()
        if rng.random() < 0.1:
            self.model = rng.choice(CODEX_MODELS)
        first = not self.started
        self.started = True
        if first:
            self.start(out, turn_id)
        started = int(self.time.timestamp())
        self.emit(out, "event_msg", {
            "type": "task_started", "turn_attribution": {"turn_id": turn_id, "turn_trigger": "user",
                                                         "parent_turn_id": None, "initiating_agent_path": None,
                                                         "root_turn_id": turn_id},
            "turn_id": turn_id, "root_turn_id": turn_id, "started_at": started, "model_context_window": 258400,
            "collaboration_mode_kind": "default"}, 1000, 60000)
        if first or rng.random() < 0.3:
            self.world_state(out, first)
        self.turn_context(out, turn_id)
        prompt = self.text(rng.randint(20, 1200))
        message_id = "msg_" + self.uuid7()
        self.response_item(out, {"type": "message", "id": message_id, "role": "user",
                                 "content": [{"type": "input_text", "text": prompt}]}, turn_id, ["user.text"],
                           retained_source={"id": {"message_id": message_id, "turn_id": turn_id, "role": "user"},
                                            "revision": "retained_" + self.uuid7(), "complete": True},
                           user_input_order=0, mcp_attribution={"status": "none"})
        self.emit(out, "event_msg", {"type": "item_completed", "thread_id": self.session_id, "turn_id": turn_id,
                                     "item": {"type": "UserMessage", "id": self.uuid7(), "client_id": self.uuid7(),
                                              "content": [{"type": "text", "text": prompt, "text_elements": []}]},
                                     "started_at_ms": started * 1000, "completed_at_ms": started * 1000})
        for _ in range(rng.randint(0, 14)):
            self.tool_round(out, turn_id)
            if rng.random() < 0.015:
                self.emit(out, "event_msg", {"type": "turn_aborted", "turn_id": turn_id, "reason": "interrupted"})
                return
        self.reasoning(out, turn_id)
        answer = self.text(rng.randint(40, 2000))
        answer_id = "msg_" + self.short_id()
        self.emit(out, "event_msg", {"type": "item_completed", "thread_id": self.session_id, "turn_id": turn_id,
                                     "item": {"type": "AgentMessage", "id": answer_id,
                                              "content": [{"type": "Text", "text": answer}]},
                                     "started_at_ms": started * 1000, "completed_at_ms": started * 1000 + 900})
        self.response_item(out, {"type": "message", "id": answer_id, "role": "assistant",
                                 "content": [{"type": "output_text", "text": answer}]}, turn_id, ["unknown"],
                           user_input_order=1)
        self.request(out, turn_id)
        self.emit(out, "event_msg", {"type": "task_complete", "root_turn_id": turn_id, "turn_id": turn_id,
                                     "last_agent_message": answer, "started_at": started,
                                     "completed_at": int(self.time.timestamp()),
                                     "duration_ms": int(self.time.timestamp() * 1000) - started * 1000,
                                     "time_to_first_token_ms": rng.randint(200, 3000)})

    def chunk(self):
        out = []
        self.prompt_turn(out)
        return "".join(out)

    def expected(self):
        usage = self.usage
        cached, written = usage["cached_input_tokens"], usage["cache_write_input_tokens"]
        return {"input": usage["input_tokens"] - cached - written, "output": usage["output_tokens"],
                "cacheCreation": written, "cacheRead": cached, "turns": self.turns, "model": self.last_model,
                "contextTokens": self.last_context, "lines": self.lines}


def parse_size(text):
    text = text.strip().upper()
    factors = {"K": 10**3, "M": 10**6, "G": 10**9}
    if text.endswith("B"):
        text = text[:-1]
    if text and text[-1] in factors:
        return int(float(text[:-1]) * factors[text[-1]])
    return int(text)



GENERATORS = {"claude": ClaudeGenerator, "qwen": QwenGenerator, "gemini": GeminiGenerator, "codex": CodexGenerator}
DEFAULT_SEEDS = {"claude": 20260212, "qwen": 20261207, "gemini": 20261208, "codex": 20261209}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", help="transcript to write")
    parser.add_argument("--format", choices=sorted(GENERATORS), default="claude", help="the agent (default claude)")
    parser.add_argument("--size", default="200MB", help="approximate size: bytes, or with K/M/G suffix (decimal)")
    parser.add_argument("--seed", type=int, help="default: one per format")
    args = parser.parse_args()

    target = parse_size(args.size)
    seed = DEFAULT_SEEDS[args.format] if args.seed is None else args.seed
    generator = GENERATORS[args.format](seed)
    written = 0
    with open(args.path, "wb") as out:
        while written < target:
            data = generator.chunk().encode("utf-8")
            out.write(data)
            written += len(data)

    expected = generator.expected()
    expected["bytes"] = written
    with open(args.path + ".expected.json", "w", encoding="utf-8") as sidecar:
        json.dump(expected, sidecar, indent=1)
        sidecar.write("\n")
    json.dump(expected, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
