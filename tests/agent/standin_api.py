#!/usr/bin/env python3
"""A local stand-in for the model APIs the agents talk to (Anthropic messages,
OpenAI chat completions and Responses, Gemini), serving scripted replies.
Its routes, script and log are described in docs/agents/standin-api.md.
"""

import http.server
import json
import signal
import sys
import threading
import time
import urllib.parse

DEFAULT_USAGE = {"input_tokens": 10, "output_tokens": 5, "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}
HELPER_TEXT = "Stand-in reply."
EXHAUSTED_TEXT = "(The stand-in has no scripted reply left.)"
ROUTES = {"/v1/messages": "messages", "/v1/chat/completions": "chat", "/chat/completions": "chat",
          "/v1/responses": "responses", "/responses": "responses"}
GEMINI_METHODS = ("generateContent", "streamGenerateContent")


class ClientGone(Exception):
    """The stand-in stops while a reply is held."""


def value_for_schema(schema):
    """A small value that fits a JSON schema, for structured helper replies."""
    if not isinstance(schema, dict):
        return HELPER_TEXT
    if "const" in schema:
        return schema["const"]
    if isinstance(schema.get("enum"), list) and schema["enum"]:
        return schema["enum"][0]
    kind = schema.get("type")
    kind = next((k for k in kind if k != "null"), "null") if isinstance(kind, list) else kind
    if kind == "object" or (kind is None and "properties" in schema):
        properties = schema.get("properties") or {}
        required = schema.get("required") or list(properties)
        return {name: value_for_schema(properties.get(name, {})) for name in required}
    return {"array": [], "integer": 0, "number": 0, "boolean": False, "null": None}.get(kind, HELPER_TEXT)


def gemini_schema(schema):
    """A Gemini schema in lower-case types; a number is 1 (the classifier's least score)."""
    if isinstance(schema, list):
        return [gemini_schema(item) for item in schema]
    if not isinstance(schema, dict):
        return schema
    kind = schema.get("type")
    if isinstance(kind, str) and kind.lower() in ("integer", "number"):
        return {"const": schema.get("minimum", 1)}
    return dict({key: gemini_schema(value) for key, value in schema.items()},
                **({"type": kind.lower()} if isinstance(kind, str) else {}))


def classify(api, body):
    """(main conversation?, JSON schema, JSON wanted?) of a request; see docs/agents/standin-api.md."""
    tools = body.get("tools")
    if api == "messages":
        fmt = body.get("output_config")
        structured = isinstance(fmt, dict) and fmt.get("format")
        return isinstance(tools, list) and bool(tools) and not structured, None, False
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
    return declared and not as_json, gemini_schema(schema), as_json


def helper_text(body):
    """The text of a Claude Code helper's made-up reply."""
    fmt = (body.get("output_config") or {}).get("format") if isinstance(body.get("output_config"), dict) else None
    if isinstance(fmt, dict) and fmt.get("type") == "json_schema":
        return json.dumps(value_for_schema(fmt.get("schema")))
    return HELPER_TEXT


class Reply:
    """One reply to serve, scripted or made up for a helper request."""

    def __init__(self, entry, request_model, default_id, tool_id_prefix):
        self.id = str(entry.get("id") or default_id)
        self.model = str(entry.get("model") or request_model or "claude-standin")
        self.usage = dict(DEFAULT_USAGE, **(entry.get("usage") or {}))
        self.blocks = []
        for index, block in enumerate(entry.get("content") or []):
            block = dict(block)
            if block.get("type") == "tool_use":
                block.setdefault("id", "%s_%d" % (tool_id_prefix, index))
                block.setdefault("input", {})
            else:
                block["text"] = str(block.get("text", ""))
            self.blocks.append(block)
        self.stop_reason = "tool_use" if self.calls() else "end_turn"
        self.hold = bool(entry.get("hold"))
        self.released = threading.Event()

    def text(self):
        return "".join(b["text"] for b in self.blocks if b["type"] == "text")

    def calls(self):
        return [{"id": b["id"], "type": "function", "function": {"name": b["name"],
                 "arguments": json.dumps(b["input"])}} for b in self.blocks if b["type"] == "tool_use"]

    def anthropic_usage(self, output=None):
        usage = {key: self.usage[key] for key in DEFAULT_USAGE}
        return dict(usage, output_tokens=output) if output is not None else usage

    def message(self, content, stop_reason, usage):
        return {"id": self.id, "type": "message", "role": "assistant", "model": self.model,
                "content": content, "stop_reason": stop_reason,
                "stop_sequence": None, "usage": usage}

    def prompt_tokens(self):
        return sum(self.usage[key] for key in DEFAULT_USAGE if key != "output_tokens")

    def chat_usage(self):
        prompt, output = self.prompt_tokens(), self.usage["output_tokens"]
        return {"prompt_tokens": prompt, "completion_tokens": output, "total_tokens": prompt + output,
                "prompt_tokens_details": {"cached_tokens": self.usage["cache_read_input_tokens"]},
                "completion_tokens_details": {"reasoning_tokens": self.usage.get("reasoning_tokens", 0)}}

    def responses_usage(self):
        prompt, output = self.prompt_tokens(), self.usage["output_tokens"]
        return {"input_tokens": prompt,
                "input_tokens_details": {"cached_tokens": self.usage["cache_read_input_tokens"],
                                         "cache_write_tokens": self.usage["cache_creation_input_tokens"]},
                "output_tokens": output,
                "output_tokens_details": {"reasoning_tokens": self.usage.get("reasoning_tokens", 0)},
                "total_tokens": prompt + output}

    def gemini_usage(self):
        tool, thoughts = self.usage.get("tool_use_prompt_tokens", 0), self.usage.get("reasoning_tokens", 0)
        prompt, output = self.prompt_tokens() - tool, self.usage["output_tokens"]
        return {"promptTokenCount": prompt, "cachedContentTokenCount": self.usage["cache_read_input_tokens"],
                "toolUsePromptTokenCount": tool, "candidatesTokenCount": output - thoughts,
                "thoughtsTokenCount": thoughts, "totalTokenCount": prompt + tool + output}

    def gemini_responses(self, whole=False):
        """GenerateContentResponses: one per text piece or function call, or one in all."""
        parts = []
        for block in self.blocks:
            if block["type"] == "text":
                parts.append({"text": block["text"]})
            else:
                parts.append({"functionCall": {"name": block["name"], "args": block["input"]}})
        parts = parts or [{"text": ""}]
        responses = [{"candidates": [{"content": {"role": "model", "parts": group}, "index": 0}],
                      "modelVersion": self.model, "responseId": self.id}
                     for group in ([parts] if whole else [[part] for part in parts])]
        responses[-1]["candidates"][0]["finishReason"] = "STOP"
        responses[-1]["usageMetadata"] = self.gemini_usage()
        return responses


class StandIn:
    """Shared state: the script, the log and the held replies."""

    def __init__(self, script, log_path):
        self.script = script
        self.log_file = open(log_path, "a", encoding="utf-8")
        self.lock = threading.Lock()
        self.counts = {"script": 0, "helper": 0}
        self.held = []
        self.stopping = threading.Event()

    def log(self, record):
        with self.lock:
            self.log_file.write(json.dumps(dict(record, time=time.time()), sort_keys=True) + "\n")
            self.log_file.flush()

    def count(self, name):
        with self.lock:
            self.counts[name] += 1
            return self.counts[name]

    def take_scripted(self, request_model):
        """Returns (reply, script index or None when the script is used up)."""
        index = self.count("script") - 1
        scripted = index < len(self.script)
        entry = self.script[index] if scripted else {"content": [{"type": "text", "text": EXHAUSTED_TEXT}]}
        return Reply(entry, request_model, "msg_standin_%03d" % index, "toolu_standin_%03d" % index), \
            index if scripted else None

    def make_helper(self, body, model, schema, as_json):
        n = self.count("helper")
        text = json.dumps(value_for_schema(schema)) if as_json else helper_text(body)
        entry = {"usage": {"input_tokens": 1, "output_tokens": 1}, "content": [{"type": "text", "text": text}]}
        return Reply(entry, model, "msg_helper_%03d" % n, "toolu_helper_%03d" % n)

    def release(self, reply_id=None):
        with self.lock:
            targets = [r for r in self.held if reply_id is None or r.id == reply_id]
        for reply in targets:
            reply.released.set()
        return [r.id for r in targets]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LullwatchStandIn/1"

    def log_message(self, fmt, *args):  # quiet: the JSON log tells what matters
        pass

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length > 0 else b""
        try:
            return (json.loads(raw) if raw else None), raw
        except ValueError:
            return None, raw

    def send_json(self, status, payload):
        data = json.dumps(payload).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("request-id", "req_standin")
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()

    def log_record(self, kind, body, reply=None, index=None, model=None):
        self.server.standin.log({"event": "request", "method": self.command, "path": self.path, "kind": kind,
                                 "reply_id": reply and reply.id, "script_index": index,
                                 "model": model or (body.get("model") if isinstance(body, dict) else None)})

    def not_found(self, body):
        self.log_record("not_found", body)
        self.send_json(404, {"type": "error", "error": {
            "type": "not_found_error",
            "message": "%s %s is not served by the stand-in" % (self.command, self.path)}})

    def do_GET(self):
        self.not_found(None)

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        body, raw = self.read_body()
        api, model = ROUTES.get(path), None
        parts = path.split("/")
        if len(parts) == 4 and not parts[0] and parts[2] == "models" and ":" in parts[3]:
            model, _, method = parts[3].rpartition(":")
            api = method if method in GEMINI_METHODS else None
        if path == "/v1/messages/count_tokens":
            self.log_record("count_tokens", body)
            self.send_json(200, {"input_tokens": max(1, len(raw) // 4)})
        elif path == "/test/release":
            released = self.server.standin.release(body.get("id") if isinstance(body, dict) else None)
            self.log_record("control", body)
            self.send_json(200, {"released": released})
        elif api is None:
            self.not_found(body)
        elif not isinstance(body, dict):
            self.log_record("helper", body)
            self.send_json(400, {"type": "error", "error": {
                "type": "invalid_request_error", "message": "the body is not a JSON object"}})
        else:
            self.answer(api, body, model)

    def answer(self, api, body, model):
        standin = self.server.standin
        main, schema, as_json = classify(api, body)
        model = model or body.get("model")
        index = None
        if main:
            reply, index = standin.take_scripted(model)
        else:
            reply = standin.make_helper(body, model, schema, as_json)
        gemini = api in GEMINI_METHODS
        self.log_record("main" if main else "helper", body, reply, index, model)
        try:
            streamed = api in ("responses", "streamGenerateContent") or (not gemini and bool(body.get("stream")))
            if streamed:
                # The end of the stream ends the connection: no chunked encoding.
                self.close_connection = True
                self.send_response(200)
                for name, value in (("Content-Type", "text/event-stream"), ("Cache-Control", "no-cache"),
                                    ("Connection", "close"), ("request-id", "req_standin")):
                    self.send_header(name, value)
                self.end_headers()
                getattr(self, "stream_" + api)(reply)
            else:
                self.hold(reply)
                self.send_json(200, self.whole(api, reply))
        except (ClientGone, BrokenPipeError, ConnectionResetError):
            standin.log({"event": "aborted", "reply_id": reply.id})
            self.close_connection = True
            return
        standin.log({"event": "finished", "reply_id": reply.id})

    def hold(self, reply):
        """Waits, if the reply is to be held, until a test releases it."""
        standin = self.server.standin
        if not reply.hold:
            return
        with standin.lock:
            standin.held.append(reply)
        standin.log({"event": "held", "reply_id": reply.id})
        try:
            while not reply.released.wait(0.05):
                if standin.stopping.is_set():
                    raise ClientGone()
        finally:
            with standin.lock:
                standin.held.remove(reply)
        standin.log({"event": "released", "reply_id": reply.id})

    def send_event(self, reply, payload, name=None):
        head = "event: %s\n" % name if name else ""
        self.wfile.write(("%sdata: %s\n\n" % (head, json.dumps(payload))).encode("utf-8"))
        self.wfile.flush()

    def whole(self, api, reply):
        """The reply as the one JSON object of a request that streams nothing."""
        if api == "messages":
            return reply.message([dict(b) for b in reply.blocks], reply.stop_reason,
                                 reply.anthropic_usage())
        if api == "generateContent":
            return reply.gemini_responses(whole=True)[0]
        message = dict({"role": "assistant", "content": reply.text() or None},
                       **({"tool_calls": reply.calls()} if reply.calls() else {}))
        return {"id": "chatcmpl-" + reply.id, "created": int(time.time()), "model": reply.model,
                "object": "chat.completion", "usage": reply.chat_usage(), "choices": [
                    {"index": 0, "message": message, "finish_reason": "tool_calls" if reply.calls() else "stop"}]}

    def stream_messages(self, reply):
        def event(name, **payload):
            self.send_event(reply, dict(payload, type=name), name)

        event("message_start", message=reply.message([], None, reply.anthropic_usage(1)))
        self.hold(reply)
        event("ping")
        for index, block in enumerate(reply.blocks):
            if block["type"] == "text":
                start, text, key, kind = {"type": "text", "text": ""}, block["text"], "text", "text_delta"
            else:
                start = {"type": "tool_use", "id": block["id"], "name": block["name"], "input": {}}
                text, key, kind = json.dumps(block["input"]), "partial_json", "input_json_delta"
            event("content_block_start", index=index, content_block=start)
            event("content_block_delta", index=index, delta={"type": kind, key: text})
            event("content_block_stop", index=index)
        event("message_delta", delta={"stop_reason": reply.stop_reason, "stop_sequence": None},
              usage=reply.anthropic_usage())
        event("message_stop")

    def stream_chat(self, reply):
        base = {"id": "chatcmpl-" + reply.id, "created": int(time.time()), "model": reply.model,
                "object": "chat.completion.chunk"}

        def chunk(delta, finish_reason=None, **extra):
            self.send_event(reply, dict(base, choices=[{"index": 0, "delta": delta, "finish_reason": finish_reason}],
                                        **extra))

        chunk({"role": "assistant", "content": ""})
        self.hold(reply)
        chunk({"content": reply.text()})
        calls = reply.calls()
        for index, call in enumerate(calls):
            chunk({"tool_calls": [dict(call, index=index)]})
        chunk({}, "tool_calls" if calls else "stop", usage=reply.chat_usage())
        self.wfile.write(b"data: [DONE]\n\n")
        self.wfile.flush()

    def stream_responses(self, reply):
        sequence = iter(range(1 << 30))

        def event(name, **payload):
            self.send_event(reply, dict(payload, type=name, sequence_number=next(sequence)), name)

        items = [{"type": "message", "id": "%s_m%d" % (reply.id, index), "role": "assistant", "status": "completed",
                  "content": [{"type": "output_text", "text": block["text"], "annotations": []}]}
                 if block["type"] == "text" else
                 {"type": "function_call", "id": "%s_f%d" % (reply.id, index), "status": "completed",
                  "call_id": block["id"], "name": block["name"], "arguments": json.dumps(block["input"])}
                 for index, block in enumerate(reply.blocks)]
        response = {"id": "resp_" + reply.id, "object": "response", "created_at": int(time.time()),
                    "model": reply.model, "status": "in_progress", "output": []}
        event("response.created", response=response)
        self.hold(reply)
        for position, item in enumerate(items):
            if item["type"] == "message":
                event("response.output_item.added", output_index=position,
                      item=dict(item, status="in_progress", content=[]))
                event("response.output_text.delta", item_id=item["id"], output_index=position, content_index=0,
                      delta=item["content"][0]["text"])
            else:
                event("response.output_item.added", output_index=position,
                      item=dict(item, status="in_progress", arguments=""))
            event("response.output_item.done", output_index=position, item=item)
        event("response.completed",
              response=dict(response, status="completed", output=items, usage=reply.responses_usage()))

    def stream_streamGenerateContent(self, reply):
        self.hold(reply)
        for response in reply.gemini_responses():
            self.send_event(reply, response)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main(script_path, log_path):
    """Serves on a free port of 127.0.0.1, which it prints first."""
    with open(script_path, encoding="utf-8") as f:
        standin = StandIn(json.load(f), log_path)
    server = Server(("127.0.0.1", 0), Handler)
    server.standin = standin

    def stop(signum, frame):
        standin.stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, stop)
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        standin.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
