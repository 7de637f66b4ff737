#!/usr/bin/env python3
"""Independent reckoning of what a transcript should yield, for test expectations.

Usage: transcript_totals.py [--qwen | --gemini | --codex] FILE...
  --qwen: Qwen Code transcripts, --gemini: Gemini CLI chats,
  --codex: Codex CLI rollouts; Claude Code transcripts without one.

For Claude Code, counts each assistant message once with the usage of its
latest copy among consecutive counted entries, and tracks the newest
conversation entry's time stamp and whether it was an interrupt (side
conversations and the agent's meta entries are not the conversation). The
other agents' rules are with their functions. Written apart from the C++
reader so that the two can check each other.
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


def json_lines(path):
    """The lines of a file that are whole JSON objects, parsed."""
    for raw in open(path, "rb").read().split(b"\n"):
        try:
            entry = json.loads(raw) if raw.strip() else None
        except ValueError:
            continue
        if isinstance(entry, dict):
            yield entry


def summary(messages, context, model, last_entry_at, ended_in_interrupt):
    sums = [sum(m[i] for m in messages) for i in range(4)]
    return {
        "input": sums[0], "output": sums[1], "cacheCreation": sums[2], "cacheRead": sums[3],
        "context": context, "turns": len(messages), "model": model,
        "lastEntryAt": last_entry_at, "endedInInterrupt": ended_in_interrupt,
    }


WINDOW = 256  # how many of the latest distinct message ids a copy may still replace


def gemini_counts(tokens):
    """Gemini CLI's "tokens" as our four counters: input includes its cached
    part, the tool prompt is input beside it, thoughts are output."""
    def get(key):
        return max(count(tokens.get(key)), 0)
    return [max(get("input") - get("cached"), 0) + get("tool"), get("output") + get("thoughts"), 0, get("cached")]


def gemini_totals(path):
    """Each message's latest copy counts, while its id is among the latest
    WINDOW distinct ids. An older message is settled: a copy of it made no
    later than the newest settled message (as when the agent lists the
    conversation again) changes nothing."""
    counted = []  # [counts] per counted message, in the order first seen
    window = {}  # id -> index into counted, for the latest WINDOW ids
    order = []  # those ids with their messages' times, oldest first
    state = {"context": 0, "model": None, "at": None, "settled_through": None}

    def take(message):
        if not isinstance(message, dict):
            return
        kind = message.get("type")
        made = stamp(message.get("timestamp"))
        if kind in ("user", "gemini") and made is not None:
            state["at"] = made
        if kind != "gemini" or not isinstance(message.get("tokens"), dict):
            return
        counts = gemini_counts(message["tokens"])
        message_id = message.get("id") if isinstance(message.get("id"), str) else None
        settled_through = state["settled_through"]
        if message_id is not None and message_id in window:
            counted[window[message_id]] = counts
        elif (message_id is not None and made is not None and settled_through is not None
              and made <= settled_through):
            return
        else:
            counted.append(counts)
            if message_id is not None:
                window[message_id] = len(counted) - 1
                order.append((message_id, made))
                if len(order) > WINDOW:
                    oldest, oldest_made = order.pop(0)
                    del window[oldest]
                    if oldest_made is not None and (settled_through is None or oldest_made > settled_through):
                        state["settled_through"] = oldest_made
        state["context"] = sum(counts)
        if isinstance(message.get("model"), str):
            state["model"] = message["model"]

    for entry in json_lines(path):
        if "$set" in entry or "$rewindTo" in entry:
            change = entry.get("$set")
            if isinstance(change, dict) and isinstance(change.get("messages"), list):
                for message in change["messages"]:
                    take(message)
            continue
        take(entry)
    return summary(counted, state["context"], state["model"], state["at"], False)


def codex_counts(usage):
    """Codex's usage as our four counters: input includes its cached and
    cache-written parts, output already includes reasoning."""
    def get(key):
        return max(count(usage.get(key)), 0)
    cached, written = get("cached_input_tokens"), get("cache_write_input_tokens")
    return [max(get("input_tokens") - cached - written, 0), get("output_tokens"), written, cached]


def codex_totals(path):
    """The latest cumulative total, from a token count event or from a
    reply's usage record, replaces the totals; each change of them is a
    turn. The turns' beginnings and ends give the activity."""
    totals_now = [0, 0, 0, 0]
    turns = 0
    context = 0
    model = None
    last_entry_at = None
    ended = False
    for entry in json_lines(path):
        payload = entry.get("payload")
        if not isinstance(payload, dict):
            continue
        if entry.get("type") == "turn_context":
            if isinstance(payload.get("model"), str):
                model = payload["model"]
            continue
        if entry.get("type") == "token_usage_record":
            total, last = payload.get("thread_token_usage"), payload.get("usage")
        elif entry.get("type") == "event_msg":
            info = payload.get("info")
            total = info.get("total_token_usage") if isinstance(info, dict) else None
            last = info.get("last_token_usage") if isinstance(info, dict) else None
        else:
            continue
        event = payload.get("type") if entry["type"] == "event_msg" else None
        if event in ("task_started", "user_message", "agent_message", "task_complete", "turn_aborted"):
            parsed = stamp(entry.get("timestamp"))
            if parsed is not None:
                last_entry_at = parsed
            ended = event in ("task_complete", "turn_aborted")
        if (event == "token_count" or entry["type"] == "token_usage_record") and isinstance(total, dict):
            latest = codex_counts(total)
            if latest != totals_now:
                turns += 1
            totals_now = latest
            if isinstance(last, dict):
                context = sum(codex_counts(last))
    result = summary([totals_now], context, model, last_entry_at, ended)
    result["turns"] = turns
    return result


if __name__ == "__main__":
    readers = {"--qwen": qwen_totals, "--gemini": gemini_totals, "--codex": codex_totals}
    chosen = [a for a in sys.argv[1:] if a in readers]
    reader = readers[chosen[-1]] if chosen else totals
    for name in (a for a in sys.argv[1:] if a not in readers):
        print(name, json.dumps(reader(name)))
