#!/usr/bin/env python3
"""A local stand-in for the model APIs the agents talk to (Anthropic messages,
OpenAI chat completions and Responses, Gemini), serving scripted replies.
Its routes, script and log are described in docs/agents/standin-api.md."""

import http.server
import json
import sys
import threading
import time

KEYS = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens")
DEFAULT_USAGE = dict(zip(KEYS, (10, 5, 0, 0)))
HELPER_TEXT = "Stand-in reply."
ROUTES = {"/v1/messages": "messages", "/v1/chat/completions": "chat", "/v1/responses": "responses"}
GEMINI_METHODS = ("generateContent", "streamGenerateContent")
LOCK = threading.Lock()


def value_for_schema(schema):
    """A small value that fits a JSON or Gemini schema; a number is its minimum, else 1 (the least score)."""
    if not isinstance(schema, dict):
        return HELPER_TEXT
    if "const" in schema or schema.get("enum"):
        return schema["const"] if "const" in schema else schema["enum"][0]
    kind = schema.get("type")
    kind = next((k for k in kind if k != "null"), "null") if isinstance(kind, list) else str(kind).lower()
    if kind == "object" or "properties" in schema:
        properties = schema.get("properties") or {}
        return {name: value_for_schema(properties.get(name, {})) for name in schema.get("required") or properties}
    return {"array": [], "integer": schema.get("minimum", 1), "number": schema.get("minimum", 1), "boolean": False,
            "null": None}.get(kind, HELPER_TEXT)


def classify(api, body):
    """(main conversation?, JSON schema, JSON wanted?) of a request."""
    tools = body.get("tools")
    if api == "messages":
        fmt = body["output_config"].get("format") if isinstance(body.get("output_config"), dict) else None
        as_json = isinstance(fmt, dict) and fmt.get("type") == "json_schema"
        return isinstance(tools, list) and bool(tools) and not fmt, as_json and fmt.get("schema"), as_json
    if api == "chat":
        return bool(tools) and not body.get("response_format"), None, False
    if api == "responses":
        fmt = body["text"].get("format") if isinstance(body.get("text"), dict) else None
        as_json = isinstance(fmt, dict) and fmt.get("type") == "json_schema"
        return bool(tools) and not as_json, as_json and fmt.get("schema"), as_json
    config = body.get("generationConfig") or {}
    schema = config.get("responseJsonSchema") or config.get("responseSchema")
    as_json = bool(schema) or config.get("responseMimeType") == "application/json"
    declared = any(t.get("functionDeclarations") for t in tools or [] if isinstance(t, dict))
    return declared and not as_json, schema, as_json


class Reply:
    """One reply to serve, scripted or made up for a helper request."""

    def __init__(self, entry, model, default_id):
        self.id, self.model = str(entry.get("id") or default_id), str(entry.get("model") or model or "claude-standin")
        self.usage = dict(DEFAULT_USAGE, **(entry.get("usage") or {}))
        self.blocks = [dict(b, id=b.get("id", "toolu%s_%d" % (default_id[3:], i)), input=b.get("input", {}))
                       if b.get("type") == "tool_use" else dict(b, text=str(b.get("text", "")))
                       for i, b in enumerate(entry.get("content") or [])]
        self.calls = [{"id": b["id"], "type": "function", "function": {"name": b["name"], "arguments": json.dumps(
            b["input"])}} for b in self.blocks if b["type"] == "tool_use"]
        self.text = "".join(b["text"] for b in self.blocks if b["type"] == "text")
        self.stop_reason = "tool_use" if self.calls else "end_turn"
        self.gate = GATES.setdefault(self.id, threading.Event()) if entry.get("hold") else None

    def tokens(self, api):
        """The usage in the API's terms: reasoning is part of the output, the tool-use prompt of the input."""
        u = self.usage
        out, cached, reasoning = u["output_tokens"], u["cache_read_input_tokens"], u.get("reasoning_tokens", 0)
        prompt, tool = sum(u[k] for k in KEYS) - out, u.get("tool_use_prompt_tokens", 0)
        if api == "messages":
            return {k: u[k] for k in KEYS}
        if api == "chat":
            return {"prompt_tokens": prompt, "completion_tokens": out, "total_tokens": prompt + out,
                    "prompt_tokens_details": {"cached_tokens": cached},
                    "completion_tokens_details": {"reasoning_tokens": reasoning}}
        if api == "responses":
            return {"input_tokens": prompt, "output_tokens": out, "total_tokens": prompt + out,
                    "input_tokens_details": {"cached_tokens": cached,
                                             "cache_write_tokens": u["cache_creation_input_tokens"]},
                    "output_tokens_details": {"reasoning_tokens": reasoning}}
        return {"promptTokenCount": prompt - tool, "cachedContentTokenCount": cached, "toolUsePromptTokenCount": tool,
                "candidatesTokenCount": out - reasoning, "thoughtsTokenCount": reasoning,
                "totalTokenCount": prompt + out}

    def gemini(self, whole=False):
        """GenerateContentResponses: one per text piece or function call, or one in all."""
        parts = [{"text": b["text"]} if b["type"] == "text" else {"functionCall": {"name": b["name"], "args": b[
            "input"]}} for b in self.blocks] or [{"text": ""}]
        responses = [{"candidates": [{"content": {"role": "model", "parts": group}, "index": 0}],
                      "modelVersion": self.model, "responseId": self.id}
                     for group in ([parts] if whole else [[part] for part in parts])]
        responses[-1]["candidates"][0]["finishReason"] = "STOP"
        responses[-1]["usageMetadata"] = self.tokens("gemini")
        return responses

    def events(self, api):
        """The server-sent events of a streamed reply: (event name or None, data)."""
        if api == "streamGenerateContent":
            return [(None, response) for response in self.gemini()]
        if api == "chat":
            base = {"id": "chatcmpl-" + self.id, "created": int(time.time()), "model": self.model,
                    "object": "chat.completion.chunk"}
            chunks = [({"role": "assistant", "content": ""}, None, {}), ({"content": self.text}, None, {}),
                      *(({"tool_calls": [dict(call, index=i)]}, None, {}) for i, call in enumerate(self.calls)),
                      ({}, "tool_calls" if self.calls else "stop", {"usage": self.tokens(api)})]
            return [(None, dict(base, choices=[{"index": 0, "delta": delta, "finish_reason": finish}], **extra))
                    for delta, finish, extra in chunks] + [(None, "[DONE]")]
        events = []
        if api == "messages":
            events += [("message_start", {"message": {
                "id": self.id, "type": "message", "role": "assistant", "model": self.model, "content": [],
                "stop_reason": None, "stop_sequence": None, "usage": dict(self.tokens(api), output_tokens=1)}}),
                ("ping", {})]
            for i, b in enumerate(self.blocks):
                if b["type"] == "text":
                    start, delta = {"type": "text", "text": ""}, {"type": "text_delta", "text": b["text"]}
                else:
                    start = {"type": "tool_use", "id": b["id"], "name": b["name"], "input": {}}
                    delta = {"type": "input_json_delta", "partial_json": json.dumps(b["input"])}
                events += [("content_block_start", {"index": i, "content_block": start}),
                           ("content_block_delta", {"index": i, "delta": delta}), ("content_block_stop", {"index": i})]
            events += [("message_delta", {"delta": {"stop_reason": self.stop_reason, "stop_sequence": None},
                                          "usage": self.tokens(api)}), ("message_stop", {})]
            return [(name, dict(data, type=name)) for name, data in events]
        items = [{"type": "message", "id": "%s_m%d" % (self.id, i), "role": "assistant", "status": "completed",
                  "content": [{"type": "output_text", "text": b["text"], "annotations": []}]}
                 if b["type"] == "text" else
                 {"type": "function_call", "id": "%s_f%d" % (self.id, i), "status": "completed", "call_id": b["id"],
                  "name": b["name"], "arguments": json.dumps(b["input"])} for i, b in enumerate(self.blocks)]
        response = {"id": "resp_" + self.id, "object": "response", "created_at": int(time.time()),
                    "model": self.model, "status": "in_progress", "output": []}
        events.append(("response.created", {"response": response}))
        for i, item in enumerate(items):
            empty = {"content": []} if item["type"] == "message" else {"arguments": ""}
            events.append(("response.output_item.added", {"output_index": i, "item": dict(
                item, status="in_progress", **empty)}))
            if item["type"] == "message":
                events.append(("response.output_text.delta", {"item_id": item["id"], "output_index": i,
                                                               "content_index": 0, "delta": item["content"][0]["text"]}))
            events.append(("response.output_item.done", {"output_index": i, "item": item}))
        events.append(("response.completed", {"response": dict(response, status="completed", output=items,
                                                                usage=self.tokens(api))}))
        return [(name, dict(data, type=name, sequence_number=n)) for n, (name, data) in enumerate(events)]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # quiet: the JSON log tells what matters
        pass

    def log(self, record):
        with LOCK:
            LOG.write(json.dumps(dict(record, time=time.time()), sort_keys=True) + "\n")
            LOG.flush()

    def note(self, kind, body, reply=None, index=None, model=None):
        self.log({"event": "request", "method": self.command, "path": self.path, "kind": kind,
                  "reply_id": reply and reply.id, "script_index": index,
                  "model": model or (body.get("model") if isinstance(body, dict) else None)})

    def send(self, status, payload=None):
        """The status and headers, then the JSON payload if any (else a stream follows)."""
        data = json.dumps(payload).encode("utf-8")
        self.send_response(status)
        headers = [("Content-Type", "application/json"), ("Content-Length", str(len(data)))] if payload else [
            ("Content-Type", "text/event-stream"), ("Cache-Control", "no-cache"), ("Connection", "close")]
        for name, value in headers + [("request-id", "req_standin")]:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data if payload else b"")
        self.wfile.flush()

    def do_GET(self):
        self.note("not_found", None)
        self.send(404, {"type": "error", "error": {"type": "not_found_error", "message": "not served"}})

    def do_POST(self):
        path = self.path.partition("?")[0]
        try:
            body = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)))
        except ValueError:
            body = None
        parts = path.split("/")
        model, _, method = parts[-1].rpartition(":")
        gemini = len(parts) == 4 and parts[2] == "models" and model and method in GEMINI_METHODS
        api = ROUTES.get(path) or (method if gemini else None)
        if path == "/test/release":
            GATES.setdefault(body["id"], threading.Event()).set()
            self.note("control", body)
            self.send(200, {"released": body["id"]})
        elif api is None or not isinstance(body, dict):
            self.do_GET()
        else:
            self.answer(api, body, model if gemini else body.get("model"))

    def answer(self, api, body, model):
        main, schema, as_json = classify(api, body)
        with LOCK:
            COUNTS[main] += 1
            n = COUNTS[main] - 1
        index = n if main and n < len(SCRIPT) else None
        text = json.dumps(value_for_schema(schema)) if as_json else HELPER_TEXT
        entry = SCRIPT[index] if index is not None else {"usage": {"input_tokens": 1, "output_tokens": 1},
                                                         "content": [{"type": "text", "text": text}]}
        reply = Reply(entry, model, "msg_%s_%03d" % ("standin" if main else "helper", n))
        self.note("main" if main else "helper", body, reply, index, model)
        try:
            if api == "generateContent":
                self.send(200, reply.gemini(whole=True)[0])
            else:
                self.close_connection = True  # the end of the stream ends the connection: no chunked encoding
                self.send(200)
                events, held = reply.events(api), int(api != "streamGenerateContent")
                self.write(events[:held])
                if reply.gate:  # held until a test releases it
                    self.log({"event": "held", "reply_id": reply.id})
                    reply.gate.wait()
                    self.log({"event": "released", "reply_id": reply.id})
                self.write(events[held:])
        except (BrokenPipeError, ConnectionResetError):
            self.log({"event": "aborted", "reply_id": reply.id})
            self.close_connection = True
            return
        self.log({"event": "finished", "reply_id": reply.id})

    def write(self, events):
        for name, data in events:
            text = data if isinstance(data, str) else json.dumps(data)
            self.wfile.write((("event: %s\n" % name if name else "") + "data: %s\n\n" % text).encode("utf-8"))
        self.wfile.flush()


if __name__ == "__main__":
    # Serves on a free port of 127.0.0.1, which it prints first.
    with open(sys.argv[1], encoding="utf-8") as f:
        SCRIPT = json.load(f)
    LOG, GATES, COUNTS = open(sys.argv[2], "a", encoding="utf-8"), {}, {True: 0, False: 0}
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.1)
