#!/usr/bin/env python3
"""Independent reckoning of what a transcript should yield, for test expectations.

Usage: transcript_totals.py [--qwen] FILE...  (--qwen: Qwen Code transcripts)

Counts each assistant message once with the usage of its latest copy among
consecutive counted entries, and tracks the newest conversation entry's time
stamp and whether it was an interrupt (side conversations and the agent's
meta entries are not the conversation). Written apart from the C++ reader so
that the two can check each other.
"""
import json
import re
import sys
from datetime import datetime

STAMP = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{1,9})?(Z|[+-]\d{2}:\d{2})$")
MARKER = "[Request interrupted by user"
KEYS = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens")


def count(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return 0
    if isinstance(value, float) and not value.is_integer():
        return 0
    return int(value)


def stamp(text):
    if not isinstance(text, str) or not STAMP.match(text):
        return None
    head, _, rest = text.partition(".")
    if rest:
        digits = re.match(r"\d+", rest).group(0)
        zone = rest[len(digits):]
        fraction = int(digits) / 10 ** len(digits)
    else:
        head, zone, fraction = text[:19], text[19:], 0.0
    zone = "+00:00" if zone == "Z" else zone
    return datetime.fromisoformat(head[:19] + zone).timestamp() + fraction


def interrupted(entry):
    if "interruptedMessageId" in entry:
        return True
    message = entry.get("message")
    if not isinstance(message, dict) or "content" not in message:
        return False
    content = message["content"]
    if isinstance(content, str):
        return MARKER in content
    if isinstance(content, list) and all(isinstance(part, dict) for part in content):
        return MARKER in " ".join(p["text"] for p in content if isinstance(p.get("text"), str))
    return False


def qwen_counts(meta):
    """Qwen Code's Gemini-style usage as our four counters: the prompt count
    includes its cached part; output is candidates plus thoughts, but never
    more than the total leaves after the prompt (OpenAI-compatible replies
    count the thoughts inside the candidates)."""
    def get(key):
        return max(count(meta.get(key)), 0)
    prompt, cached = get("promptTokenCount"), get("cachedContentTokenCount")
    output = get("candidatesTokenCount") + get("thoughtsTokenCount")
    total = get("totalTokenCount")
    if total > 0 and total >= prompt:
        output = min(output, total - prompt)
    return [max(prompt - cached, 0), output, 0, cached]


def qwen_totals(path):
    counted = []
    model = None
    last_entry_at = None
    for raw in open(path, "rb").read().split(b"\n"):
        try:
            entry = json.loads(raw) if raw else None
        except ValueError:
            continue
        if not isinstance(entry, dict) or entry.get("type") not in ("user", "assistant"):
            continue
        parsed = stamp(entry.get("timestamp"))
        if parsed is not None:
            last_entry_at = parsed
        if entry["type"] == "assistant" and isinstance(entry.get("usageMetadata"), dict):
            counted.append(qwen_counts(entry["usageMetadata"]))
            if isinstance(entry.get("model"), str):
                model = entry["model"]
    sums = [sum(c[i] for c in counted) for i in range(4)]
    return {
        "input": sums[0], "output": sums[1], "cacheCreation": sums[2], "cacheRead": sums[3],
        "context": sum(counted[-1]) if counted else 0, "turns": len(counted), "model": model,
        "lastEntryAt": last_entry_at, "endedInInterrupt": False,
    }


def totals(path):
    messages = []  # [id, counts]
    last_id = None
    model = None
    context = 0
    last_entry_at = None
    ended_in_interrupt = False
    for raw in open(path, "rb").read().split(b"\n"):
        if not raw:
            continue
        try:
            entry = json.loads(raw)
        except ValueError:
            continue
        if not isinstance(entry, dict) or not isinstance(entry.get("type"), str):
            continue
        kind = entry["type"]
        if (kind in ("user", "assistant") and entry.get("isSidechain") is not True
                and entry.get("isMeta") is not True):
            parsed = stamp(entry.get("timestamp"))
            if parsed is not None:
                last_entry_at = parsed
            ended_in_interrupt = kind == "user" and interrupted(entry)
        if kind != "assistant":
            continue
        message = entry.get("message")
        if not isinstance(message, dict) or not message or not isinstance(message.get("usage"), dict):
            continue
        usage = message["usage"]
        counts = [count(usage.get(key)) for key in KEYS]
        message_id = message.get("id") if isinstance(message.get("id"), str) else None
        if message_id is not None and message_id == last_id:
            for item in reversed(messages):
                if item[0] == message_id:
                    item[1] = counts
                    break
        else:
            messages.append([message_id, counts])
            if message_id is not None:
                last_id = message_id
        context = sum(counts)
        if isinstance(message.get("model"), str):
            model = message["model"]
    sums = [sum(m[1][i] for m in messages) for i in range(4)]
    return {
        "input": sums[0], "output": sums[1], "cacheCreation": sums[2], "cacheRead": sums[3],
        "context": context, "turns": len(messages), "model": model,
        "lastEntryAt": last_entry_at, "endedInInterrupt": ended_in_interrupt,
    }


if __name__ == "__main__":
    qwen = "--qwen" in sys.argv[1:]
    for name in (a for a in sys.argv[1:] if a != "--qwen"):
        print(name, json.dumps(qwen_totals(name) if qwen else totals(name)))
