#!/usr/bin/env python3
"""A local stand-in for the model APIs the agents talk to (Anthropic messages,
OpenAI chat completions and Responses, Gemini), serving scripted replies.
Its routes, script and log are described in docs/agents/standin-api.md.
"""

import argparse
import http.server
import json
import select
import signal
import socket
import sys
import threading
import time
import urllib.parse

DEFAULT_USAGE = {"input_tokens": 10, "output_tokens": 5, "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}
HELPER_TEXT = "Stand-in reply."
CLASSIFIER_ALLOW = "<block>no</block>"
EXHAUSTED_TEXT = "(The stand-in has no scripted reply left.)"
RELEASE_POLL_SECONDS = 0.05
ROUTES = {"/v1/messages": "messages", "/v1/chat/completions": "chat", "/chat/completions": "chat",
          "/v1/responses": "responses", "/responses": "responses"}
GEMINI_METHODS = ("generateContent", "streamGenerateContent")


class ClientGone(Exception):
    """The client closed the connection while a reply was being sent."""


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
    """(text, stop_reason, stop_sequence) of a Claude Code helper's made-up reply."""
    fmt = (body.get("output_config") or {}).get("format") if isinstance(body.get("output_config"), dict) else None
    system = body.get("system")
    if isinstance(system, list):
        system = "\n".join(b.get("text", "") for b in system if isinstance(b, dict))
    if isinstance(fmt, dict) and fmt.get("type") == "json_schema":
        text = json.dumps(value_for_schema(fmt.get("schema")))
    else:
        text = CLASSIFIER_ALLOW if isinstance(system, str) and CLASSIFIER_ALLOW in system else HELPER_TEXT
    for sequence in body.get("stop_sequences") or []:
        if isinstance(sequence, str) and sequence and sequence in text:
            return text[:text.index(sequence)], "stop_sequence", sequence
    return text, "end_turn", None


def chunks(text, size):
    if size <= 0 or len(text) <= size:
        return [text]
    return [text[i:i + size] for i in range(0, len(text), size)]


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
            elif block.get("type") == "text":
                block["text"] = str(block.get("text", ""))
            else:
                raise ValueError("unsupported content block: %r" % (block,))
            self.blocks.append(block)
        self.stop_reason = entry.get("stop_reason") or ("tool_use" if self.calls() else "end_turn")
        self.stop_sequence = entry.get("stop_sequence")
        self.hold = bool(entry.get("hold"))
        self.chunk_delay = float(entry.get("chunk_delay") or 0)
        self.chunk_size = int(entry.get("chunk_size") or (8 if self.chunk_delay > 0 else 0))
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
                "stop_sequence": self.stop_sequence if stop_reason else None, "usage": usage}

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
                parts += [{"text": piece} for piece in chunks(block["text"], 0 if whole else self.chunk_size)]
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

    def __init__(self, script, log_path, log_bodies):
        self.script = script
        self.log_file = open(log_path, "a", encoding="utf-8")
        self.log_bodies = log_bodies
        self.lock = threading.Lock()
        self.counts = {"script": 0, "helper": 0, "extra": 0, "seq": 0}
        self.held = []
        self.released_early = set()
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
        with self.lock:
            index = self.counts["script"]
            if index < len(self.script):
                self.counts["script"] += 1
        if index < len(self.script):
            return Reply(self.script[index], request_model, "msg_standin_%03d" % index,
                         "toolu_standin_%03d" % index), index
        n = self.count("extra")
        return Reply({"content": [{"type": "text", "text": EXHAUSTED_TEXT}]}, request_model,
                     "msg_standin_extra_%03d" % n, "toolu_standin_extra_%03d" % n), None

    def make_helper(self, body, model, schema, as_json):
        n = self.count("helper")
        text, stop_reason, stop_sequence = (json.dumps(value_for_schema(schema)), None, None) if as_json \
            else helper_text(body)
        entry = {"usage": {"input_tokens": 1, "output_tokens": 1}, "stop_reason": stop_reason,
                 "stop_sequence": stop_sequence, "content": [{"type": "text", "text": text}]}
        return Reply(entry, model, "msg_helper_%03d" % n, "toolu_helper_%03d" % n)

    def release(self, reply_id=None):
        with self.lock:
            targets = [r for r in self.held if reply_id is None or r.id == reply_id]
            if reply_id is not None and not targets:
                self.released_early.add(reply_id)  # it will not stop when it gets there
        for reply in targets:
            reply.released.set()
        return [r.id for r in targets]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LullwatchStandIn/1"

    def log_message(self, fmt, *args):  # quiet: the JSON log tells what matters
        pass

    def client_closed(self):
        """True once the client has hung up (a readable socket at EOF)."""
        try:
            return bool(select.select([self.connection], [], [], 0)[0]) and not self.connection.recv(1, socket.MSG_PEEK)
        except OSError:
            return True

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
        self.send_header("request-id", "req_standin_%d" % self.server.standin.counts["seq"])
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()

    def log_record(self, kind, status, body, reply=None, index=None, model=None, stream=None):
        standin = self.server.standin
        record = {"event": "request", "seq": standin.count("seq"), "method": self.command, "path": self.path,
                  "kind": kind, "status": status, "reply_id": reply and reply.id,
                  "exhausted": kind == "main" and index is None, "script_index": index}
        if isinstance(body, dict):
            record.update(stream=bool(body.get("stream")) if stream is None else stream,
                          model=model or body.get("model"))
        if standin.log_bodies and body is not None:
            record["body"] = body
        standin.log(record)

    def not_found(self, body):
        self.log_record("not_found", 404, body)
        self.send_json(404, {"type": "error", "error": {
            "type": "not_found_error",
            "message": "%s %s is not served by the stand-in" % (self.command, self.path)}})

    def do_HEAD(self):
        self.send_response(404)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def do_GET(self):
        self.read_body()
        self.not_found(None)

    do_DELETE = do_PATCH = do_PUT = do_GET

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        body, raw = self.read_body()
        api, model = ROUTES.get(path), None
        parts = path.split("/")
        if len(parts) == 4 and not parts[0] and parts[2] == "models" and ":" in parts[3]:
            model, _, method = parts[3].rpartition(":")
            api = method if method in GEMINI_METHODS else None
        if path == "/v1/messages/count_tokens":
            self.log_record("count_tokens", 200, body)
            self.send_json(200, {"input_tokens": max(1, len(raw) // 4)})
        elif path == "/test/release":
            released = self.server.standin.release(body.get("id") if isinstance(body, dict) else None)
            self.log_record("control", 200, body)
            self.send_json(200, {"released": released})
        elif api is None:
            self.not_found(body)
        elif not isinstance(body, dict):
            self.log_record("helper", 400, body)
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
        self.log_record("main" if main else "helper", 200, body, reply, index, model,
                         api == "streamGenerateContent" if gemini else None)
        try:
            streamed = api in ("responses", "streamGenerateContent") or (not gemini and bool(body.get("stream")))
            if streamed:
                # The end of the stream ends the connection: no chunked encoding.
                self.close_connection = True
                self.send_response(200)
                for name, value in (("Content-Type", "text/event-stream"), ("Cache-Control", "no-cache"),
                                    ("Connection", "close"), ("request-id", "req_standin_%d" % standin.counts["seq"])):
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
            if reply.id in standin.released_early:
                standin.released_early.discard(reply.id)
                reply.released.set()
        standin.log({"event": "held", "reply_id": reply.id})
        try:
            while not reply.released.wait(RELEASE_POLL_SECONDS):
                if standin.stopping.is_set() or self.client_closed():
                    raise ClientGone()
        finally:
            with standin.lock:
                standin.held.remove(reply)
        standin.log({"event": "released", "reply_id": reply.id})

    def send_event(self, reply, payload, name=None):
        """Writes one server-sent event, then waits the reply's chunk_delay."""
        head = "event: %s\n" % name if name else ""
        self.wfile.write(("%sdata: %s\n\n" % (head, json.dumps(payload))).encode("utf-8"))
        self.wfile.flush()
        if reply.chunk_delay > 0 and self.server.standin.stopping.wait(reply.chunk_delay):
            raise ClientGone()

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
            for piece in chunks(text, reply.chunk_size):
                event("content_block_delta", index=index, delta={"type": kind, key: piece})
            event("content_block_stop", index=index)
        event("message_delta", delta={"stop_reason": reply.stop_reason, "stop_sequence": reply.stop_sequence},
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
        for piece in chunks(reply.text(), reply.chunk_size):
            chunk({"content": piece})
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
                for piece in chunks(item["content"][0]["text"], reply.chunk_size):
                    event("response.output_text.delta", item_id=item["id"], output_index=position,
                          content_index=0, delta=piece)
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


def load_script(path):
    with open(path, encoding="utf-8") as f:
        script = json.load(f)
    if not isinstance(script, list) or not all(isinstance(r, dict) for r in script):
        raise ValueError("%s: the script must be a list of reply objects" % path)
    for index, entry in enumerate(script):  # mistakes show at start, not mid-test
        Reply(entry, None, "msg_check_%d" % index, "toolu_check_%d" % index)
    return script


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("script", help="JSON file with the scripted replies")
    parser.add_argument("log", help="file that gets one JSON line per request")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log-bodies", action="store_true", help="also log each parsed request body")
    args = parser.parse_args(argv)

    standin = StandIn(load_script(args.script), args.log, args.log_bodies)
    server = Server((args.host, args.port), Handler)
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
    sys.exit(main())
