#!/usr/bin/env python3
"""transcript_totals.py [--qwen | --gemini | --codex] FILE...: what Qwen Code, Gemini CLI, Codex CLI or
(without an option) Claude Code transcripts should yield; written apart from the C++ reader to check it."""
import json
import re
import sys
from datetime import datetime

STAMP = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{1,9})?(Z|[+-]\d{2}:\d{2})$")
MARKER = "[Request interrupted by user"
KEYS = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens")
WINDOW = 256  # how many of the latest distinct message ids a Gemini copy may still replace


def count(value):  # a whole number, else 0
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return 0
    return 0 if isinstance(value, float) and not value.is_integer() else int(value)


def amount(value):
    return max(count(value), 0)


def stamp(text):
    match = STAMP.match(text) if isinstance(text, str) else None
    if match:
        zone = "+00:00" if match[2] == "Z" else match[2]
        return datetime.fromisoformat(text[:19] + zone).timestamp() + float("0" + (match[1] or ""))


def json_lines(path):  # the lines that are whole JSON objects
    for raw in open(path, "rb").read().split(b"\n"):
        try:
            entry = json.loads(raw) if raw.strip() else None
        except ValueError:
            continue
        if isinstance(entry, dict):
            yield entry


def summary(messages, context, model, last_entry_at, ended_in_interrupt, turns=None):
    sums = [sum(m[i] for m in messages) for i in range(4)]
    return {"input": sums[0], "output": sums[1], "cacheCreation": sums[2], "cacheRead": sums[3],
            "context": context, "turns": len(messages) if turns is None else turns, "model": model,
            "lastEntryAt": last_entry_at, "endedInInterrupt": ended_in_interrupt}


def interrupted(entry):
    content = entry["message"].get("content") if isinstance(entry.get("message"), dict) else None
    if isinstance(content, list) and all(isinstance(part, dict) for part in content):
        content = " ".join(p["text"] for p in content if isinstance(p.get("text"), str))
    return "interruptedMessageId" in entry or isinstance(content, str) and MARKER in content


def totals(path):
    """Claude Code: each assistant message counts once, with its latest copy's usage among consecutive
    counted entries; the newest conversation entry (not side or meta) gives the time and any interrupt."""
    messages, last_id, model, context, at, ended = [], None, None, 0, None, False
    for entry in json_lines(path):
        kind = entry.get("type")
        if kind in ("user", "assistant") and entry.get("isSidechain") is not True and entry.get("isMeta") is not True:
            at = stamp(entry.get("timestamp")) or at
            ended = kind == "user" and interrupted(entry)
        message = entry.get("message")
        if kind != "assistant" or not isinstance(message, dict) or not isinstance(message.get("usage"), dict):
            continue
        counts = [count(message["usage"].get(key)) for key in KEYS]
        message_id = message.get("id") if isinstance(message.get("id"), str) else None
        if message_id is not None and message_id == last_id:
            next(item for item in reversed(messages) if item[0] == message_id)[1] = counts
        else:
            messages.append([message_id, counts])
            last_id = last_id if message_id is None else message_id
        context = sum(counts)
        model = message["model"] if isinstance(message.get("model"), str) else model
    return summary([m[1] for m in messages], context, model, at, ended)


def qwen_totals(path):
    """Qwen Code: the prompt count includes its cached part; output is candidates plus thoughts, but no more
    than the total leaves after the prompt (OpenAI-compatible replies count thoughts in the candidates)."""
    counted, model, at = [], None, None
    for entry in json_lines(path):
        if entry.get("type") not in ("user", "assistant"):
            continue
        at = stamp(entry.get("timestamp")) or at
        meta = entry.get("usageMetadata")
        if entry["type"] == "assistant" and isinstance(meta, dict):
            prompt, cached = amount(meta.get("promptTokenCount")), amount(meta.get("cachedContentTokenCount"))
            output = amount(meta.get("candidatesTokenCount")) + amount(meta.get("thoughtsTokenCount"))
            total = amount(meta.get("totalTokenCount"))
            if total > 0 and total >= prompt:
                output = min(output, total - prompt)
            counted.append([max(prompt - cached, 0), output, 0, cached])
            model = entry["model"] if isinstance(entry.get("model"), str) else model
    return summary(counted, sum(counted[-1]) if counted else 0, model, at, False)


def gemini_totals(path):
    """Gemini CLI: input includes its cached part, the tool prompt is input, thoughts are output. A message's
    latest copy counts while its id is among the latest WINDOW; a copy made no later than the newest
    message out of the window (the conversation listed again) changes nothing."""
    counted, window, order = [], {}, []  # window: id -> index into counted; order: (id, time), oldest first
    state = {"context": 0, "model": None, "at": None, "settled": None}

    def take(message):
        if not isinstance(message, dict):
            return
        made = stamp(message.get("timestamp"))
        if message.get("type") in ("user", "gemini") and made is not None:
            state["at"] = made
        tokens = message.get("tokens")
        if message.get("type") != "gemini" or not isinstance(tokens, dict):
            return
        get = lambda key: amount(tokens.get(key))  # noqa: E731
        counts = [max(get("input") - get("cached"), 0) + get("tool"), get("output") + get("thoughts"), 0,
                  get("cached")]
        message_id = message.get("id") if isinstance(message.get("id"), str) else None
        if message_id is not None and message_id in window:
            counted[window[message_id]] = counts
        elif message_id is not None and made is not None and state["settled"] is not None and made <= state["settled"]:
            return
        else:
            counted.append(counts)
            if message_id is not None:
                window[message_id] = len(counted) - 1
                order.append((message_id, made))
                if len(order) > WINDOW:
                    oldest, oldest_made = order.pop(0)
                    del window[oldest]
                    if oldest_made is not None and (state["settled"] is None or oldest_made > state["settled"]):
                        state["settled"] = oldest_made
        state["context"] = sum(counts)
        state["model"] = message["model"] if isinstance(message.get("model"), str) else state["model"]

    for entry in json_lines(path):
        if "$set" in entry or "$rewindTo" in entry:
            change = entry.get("$set")
            for message in change["messages"] if isinstance(change, dict) and isinstance(
                    change.get("messages"), list) else []:
                take(message)
        else:
            take(entry)
    return summary(counted, state["context"], state["model"], state["at"], False)


def codex_totals(path):
    """Codex: input includes its cached and cache-written parts, output its reasoning. The latest cumulative
    total (token count event or usage record) replaces the totals, each change a turn."""
    def counts(usage):
        get = lambda key: amount(usage.get(key))  # noqa: E731
        cached, written = get("cached_input_tokens"), get("cache_write_input_tokens")
        return [max(get("input_tokens") - cached - written, 0), get("output_tokens"), written, cached]

    now, turns, context, model, at, ended = [0, 0, 0, 0], 0, 0, None, None, False
    for entry in json_lines(path):
        payload = entry.get("payload")
        if not isinstance(payload, dict):
            continue
        if entry.get("type") == "turn_context":
            model = payload["model"] if isinstance(payload.get("model"), str) else model
            continue
        if entry.get("type") == "token_usage_record":
            event, total, last = "token_count", payload.get("thread_token_usage"), payload.get("usage")
        elif entry.get("type") == "event_msg":
            info = payload.get("info") if isinstance(payload.get("info"), dict) else {}
            event, total, last = payload.get("type"), info.get("total_token_usage"), info.get("last_token_usage")
        else:
            continue
        if event in ("task_started", "user_message", "agent_message", "task_complete", "turn_aborted"):
            at = stamp(entry.get("timestamp")) or at
            ended = event in ("task_complete", "turn_aborted")
        if event == "token_count" and isinstance(total, dict):
            turns += counts(total) != now
            now = counts(total)
            context = sum(counts(last)) if isinstance(last, dict) else context
    return summary([now], context, model, at, ended, turns)


if __name__ == "__main__":
    readers = {"--qwen": qwen_totals, "--gemini": gemini_totals, "--codex": codex_totals}
    chosen = [a for a in sys.argv[1:] if a in readers]
    for name in (a for a in sys.argv[1:] if a not in readers):
        print(name, json.dumps((readers[chosen[-1]] if chosen else totals)(name)))
