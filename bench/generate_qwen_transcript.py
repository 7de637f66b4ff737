#!/usr/bin/env python3
"""Writes a large, realistic Qwen Code transcript for the benchmarks.

The lines have the shapes Qwen Code 0.24 writes (tests/data/transcripts/
local-qwen-code-0.24.4/): user prompts, "system" bookkeeping lines
(attribution and file-history snapshots, the ui_telemetry copy of each API
response), one "assistant" line per model reply with the model and its
usageMetadata at the top level and text and function calls in
message.parts, and "tool_result" lines with function responses of a few KB.
The output depends only on the seed and the size.

Beside the transcript it writes <path>.expected.json with the totals the
reader must arrive at, by Qwen Code's mapping (README, "Tokens"): input is
the prompt less its cached part, cache read the cached part, output the
candidates plus the thoughts but no more than the total leaves after the
prompt, one turn per reply, the context of the last reply.
"""

import argparse
import json
import random
import uuid
from datetime import datetime, timedelta, timezone

WORDS = (
    "the session scanner reads transcript lines and keeps a cursor per file so that only appended bytes "
    "are parsed again tokens usage model cache input output tool result function returns value error "
    "handler config module test build cmake target link library header source path directory socket "
    "buffer thread worker queue signal slot widget tray icon menu notification timer json string number"
).split()
UNICODE_BITS = ["→", "●", "·", "—", "✓", "│", "é", "日本", "🙂"]
TOOLS = ["read_file", "run_shell_command", "edit", "grep_search", "glob", "write_file"]
MODELS = ["qwen3-coder-plus", "qwen3-coder-flash", "qwen3-coder-plus"]


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.session_id = self.uuid()
        self.cwd = "/home/dev/projects/lullwatch-example"
        self.time = datetime(2026, 12, 7, 0, 23, 25, 779000, tzinfo=timezone.utc)
        self.parent = None
        self.prompt = 9000
        self.prompt_index = 0
        self.totals = {"input": 0, "output": 0, "cacheCreation": 0, "cacheRead": 0, "turns": 0,
                       "contextTokens": 0, "model": MODELS[0]}

    def uuid(self):
        return str(uuid.UUID(int=self.rng.getrandbits(128), version=4))

    def tick(self, low_ms=5, high_ms=3000):
        self.time += timedelta(milliseconds=self.rng.randint(low_ms, high_ms))
        return self.time.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (self.time.microsecond // 1000)

    def text(self, length):
        out = []
        size = 0
        while size < length:
            word = self.rng.choice(WORDS) if self.rng.random() > 0.03 else self.rng.choice(UNICODE_BITS)
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
        model = self.rng.choice(MODELS)
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
            call = {"id": "call_%x" % self.rng.getrandbits(64), "name": self.rng.choice(TOOLS),
                    "args": {"file_path": self.cwd + "/src/%s.cpp" % self.rng.choice(WORDS),
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


def parse_size(text):
    factors = {"K": 10**3, "M": 10**6, "G": 10**9}
    return int(float(text[:-2] if text[-2:] in ("KB", "MB", "GB") else text.rstrip("KMG")) *
               factors.get(text.rstrip("B")[-1:], 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", help="transcript to write")
    parser.add_argument("--size", default="200MB", help="approximate size: bytes, or with K/M/G suffix (decimal)")
    parser.add_argument("--seed", type=int, default=20261207)
    args = parser.parse_args()
    size = parse_size(args.size)
    generator = Generator(args.seed)
    written = 0
    with open(args.path, "wb") as f:
        while written < size:
            lines = []
            generator.prompt_turn(lines)
            data = "".join(lines).encode("utf-8")
            f.write(data)
            written += len(data)
    expected = dict(generator.totals, bytes=written)
    with open(args.path + ".expected.json", "w", encoding="utf-8") as f:
        json.dump(expected, f, indent=1)
    print(json.dumps(expected))


if __name__ == "__main__":
    main()
