#!/usr/bin/env python3
"""A local stand-in for the model APIs the agents talk to (Anthropic messages,
OpenAI chat completions and Responses, Gemini), serving scripted replies.
Its routes, script and log are described in docs/agents/standin-api.md.
"""

import argparse
import http.server
import json
import os
import select
import signal
import socket
import sys
import threading
import time
import urllib.parse

DEFAULT_USAGE = {
    "input_tokens": 10,
    "output_tokens": 5,
    "cache_creation_input_tokens": 0,
    "cache_read_input_tokens": 0,
}

HELPER_TEXT = "Stand-in reply."
# The verdict by which the auto mode's safety check lets a tool call run.
CLASSIFIER_ALLOW = "<block>no</block>"
EXHAUSTED_TEXT = "(The stand-in has no scripted reply left.)"
RELEASE_POLL_SECONDS = 0.05


class ClientGone(Exception):
    """The client closed the connection while a reply was being sent."""


def is_main_conversation(body):
    """Tells a turn of the agent's conversation from a helper request.

    See the module comment for how the rule was found.
    """
    if not isinstance(body, dict):
        return False
    tools = body.get("tools")
    if not isinstance(tools, list) or not tools:
        return False
    output_config = body.get("output_config")
    if isinstance(output_config, dict) and output_config.get("format"):
        return False
    return True


def value_for_schema(schema):
    """A small value that fits a JSON schema, for structured helper replies."""
    if not isinstance(schema, dict):
        return HELPER_TEXT
    if "const" in schema:
        return schema["const"]
    if isinstance(schema.get("enum"), list) and schema["enum"]:
        return schema["enum"][0]
    kind = schema.get("type")
    if isinstance(kind, list):
        kind = next((k for k in kind if k != "null"), "null")
    if kind == "object" or (kind is None and "properties" in schema):
        properties = schema.get("properties") or {}
        required = schema.get("required") or list(properties)
        return {name: value_for_schema(properties.get(name, {})) for name in required}
    if kind == "array":
        return []
    if kind == "integer" or kind == "number":
        return 0
    if kind == "boolean":
        return False
    if kind == "null":
        return None
    return HELPER_TEXT


def system_text(body):
    system = body.get("system")
    if isinstance(system, str):
        return system
    if isinstance(system, list):
        return "\n".join(b.get("text", "") for b in system if isinstance(b, dict))
    return ""


def helper_text(body):
    output_config = body.get("output_config")
    fmt = output_config.get("format") if isinstance(output_config, dict) else None
    if isinstance(fmt, dict) and fmt.get("type") == "json_schema":
        return json.dumps(value_for_schema(fmt.get("schema")))
    if CLASSIFIER_ALLOW in system_text(body):
        return CLASSIFIER_ALLOW
    return HELPER_TEXT


def cut_at_stop_sequence(text, body):
    """Ends a helper text where the request's stop sequence begins, as the API
    does. Returns (text, stop_reason, stop_sequence)."""
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
        usage = dict(DEFAULT_USAGE)
        usage.update(entry.get("usage") or {})
        self.usage = usage
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
        has_tool = any(b["type"] == "tool_use" for b in self.blocks)
        self.stop_reason = entry.get("stop_reason") or ("tool_use" if has_tool else "end_turn")
        self.stop_sequence = entry.get("stop_sequence")
        self.hold = bool(entry.get("hold"))
        self.release_file = entry.get("release_file")
        self.chunk_delay = float(entry.get("chunk_delay") or 0)
        default_size = 8 if self.chunk_delay > 0 else 0
        self.chunk_size = int(entry.get("chunk_size") or default_size)
        self.released = threading.Event()

    def start_usage(self):
        return {
            "input_tokens": self.usage["input_tokens"],
            "cache_creation_input_tokens": self.usage["cache_creation_input_tokens"],
            "cache_read_input_tokens": self.usage["cache_read_input_tokens"],
            "output_tokens": 1,
        }

    def final_usage(self):
        return {
            "input_tokens": self.usage["input_tokens"],
            "cache_creation_input_tokens": self.usage["cache_creation_input_tokens"],
            "cache_read_input_tokens": self.usage["cache_read_input_tokens"],
            "output_tokens": self.usage["output_tokens"],
        }

    def message(self, content, stop_reason, usage):
        return {
            "id": self.id,
            "type": "message",
            "role": "assistant",
            "model": self.model,
            "content": content,
            "stop_reason": stop_reason,
            "stop_sequence": self.stop_sequence if stop_reason else None,
            "usage": usage,
        }

    def whole_message(self):
        return self.message([dict(b) for b in self.blocks], self.stop_reason, self.final_usage())


class StandIn:
    """Shared state: the script, the log and the held replies."""

    def __init__(self, script, log_path, log_bodies):
        self.script = script
        self.next_index = 0
        self.log_file = open(log_path, "a", encoding="utf-8")
        self.log_bodies = log_bodies
        self.lock = threading.Lock()
        self.seq = 0
        self.helper_count = 0
        self.extra_count = 0
        self.held = []
        self.released_early = set()
        self.stopping = threading.Event()

    def log(self, record):
        record = dict(record, time=time.time())
        line = json.dumps(record, sort_keys=True)
        with self.lock:
            self.log_file.write(line + "\n")
            self.log_file.flush()

    def next_seq(self):
        with self.lock:
            self.seq += 1
            return self.seq

    def take_scripted(self, request_model):
        """Returns (reply, script index or None when the script is used up)."""
        with self.lock:
            index = self.next_index
            if index < len(self.script):
                self.next_index += 1
                entry = self.script[index]
            else:
                entry = None
        if entry is None:
            with self.lock:
                self.extra_count += 1
                n = self.extra_count
            entry = {"id": "msg_standin_extra_%03d" % n,
                    "content": [{"type": "text", "text": EXHAUSTED_TEXT}]}
            return Reply(entry, request_model, entry["id"], "toolu_standin_extra_%03d" % n), None
        reply = Reply(entry, request_model, "msg_standin_%03d" % index,
                      "toolu_standin_%03d" % index)
        return reply, index

    def make_helper(self, body):
        """A made-up reply to a helper request; see helper_text()."""
        with self.lock:
            self.helper_count += 1
            n = self.helper_count
        text, stop_reason, stop_sequence = cut_at_stop_sequence(helper_text(body), body)
        entry = {"id": "msg_helper_%03d" % n,
                "usage": {"input_tokens": 1, "output_tokens": 1},
                "stop_reason": stop_reason,
                "stop_sequence": stop_sequence,
                "content": [{"type": "text", "text": text}]}
        return Reply(entry, body.get("model") if isinstance(body, dict) else None,
                     entry["id"], "toolu_helper_%03d" % n)

    def add_held(self, reply):
        with self.lock:
            self.held.append(reply)
            if reply.id in self.released_early:
                self.released_early.discard(reply.id)
                reply.released.set()

    def remove_held(self, reply):
        with self.lock:
            if reply in self.held:
                self.held.remove(reply)

    def release(self, reply_id=None):
        with self.lock:
            targets = [r for r in self.held if reply_id is None or r.id == reply_id]
            if reply_id is not None and not targets:
                # Not held yet: it will not stop when it gets there.
                self.released_early.add(reply_id)
        for reply in targets:
            reply.released.set()
        return [r.id for r in targets]

    def wait_released(self, reply, handler):
        while not reply.released.is_set():
            if self.stopping.is_set():
                raise ClientGone()
            if reply.release_file and os.path.exists(reply.release_file):
                reply.released.set()
                break
            if handler.client_closed():
                raise ClientGone()
            reply.released.wait(RELEASE_POLL_SECONDS)

    def state(self):
        with self.lock:
            return {"served": self.next_index, "scripted": len(self.script),
                    "held": [r.id for r in self.held]}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LullwatchStandIn/1"

    @property
    def standin(self):
        return self.server.standin

    def log_message(self, fmt, *args):  # quiet: the JSON log tells what matters
        pass

    def client_closed(self):
        """True once the client has hung up (a readable socket at EOF)."""
        try:
            readable, _, _ = select.select([self.connection], [], [], 0)
            if not readable:
                return False
            return self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length > 0 else b""
        if not raw:
            return None, raw
        try:
            return json.loads(raw), raw
        except ValueError:
            return None, raw

    def send_json(self, status, payload):
        data = json.dumps(payload).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("request-id", "req_standin_%d" % self.standin.seq)
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()

    def log_request_record(self, kind, status, body, reply=None, index=None,
                           exhausted=False):
        record = {
            "event": "request",
            "seq": self.standin.next_seq(),
            "method": self.command,
            "path": self.path,
            "kind": kind,
            "status": status,
            "reply_id": reply.id if reply else None,
            "exhausted": exhausted,
            "script_index": index,
        }
        if isinstance(body, dict):
            record["stream"] = bool(body.get("stream"))
            record["model"] = body.get("model")
            record["max_tokens"] = body.get("max_tokens")
            tools = body.get("tools")
            record["tools"] = len(tools) if isinstance(tools, list) else 0
        if self.standin.log_bodies and body is not None:
            record["body"] = body
        self.standin.log(record)

    def not_found(self, body):
        self.log_request_record("not_found", 404, body)
        self.send_json(404, {"type": "error", "error": {
            "type": "not_found_error",
            "message": "%s %s is not served by the stand-in" % (self.command, self.path)}})

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == "/test/state":
            self.log_request_record("control", 200, None)
            self.send_json(200, self.standin.state())
            return
        self.not_found(None)

    def do_HEAD(self):
        self.send_response(404)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_PUT(self):
        self.read_body()
        self.not_found(None)

    do_DELETE = do_PUT
    do_PATCH = do_PUT

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        body, raw = self.read_body()
        if path == "/v1/messages":
            self.messages(body)
        elif path in ("/v1/chat/completions", "/chat/completions"):
            self.messages(body, openai=True)
        elif path in ("/v1/responses", "/responses"):
            self.responses_api(body)
        elif path == "/v1/messages/count_tokens":
            count = max(1, len(raw) // 4)
            self.log_request_record("count_tokens", 200, body)
            self.send_json(200, {"input_tokens": count})
        elif gemini_route(path):
            gemini_request(self, body, *gemini_route(path))
        elif path == "/test/release":
            reply_id = body.get("id") if isinstance(body, dict) else None
            released = self.standin.release(reply_id)
            self.log_request_record("control", 200, body)
            self.send_json(200, {"released": released})
        else:
            self.not_found(body)

    def messages(self, body, openai=False):
        if not isinstance(body, dict):
            self.log_request_record("helper", 400, body)
            self.send_json(400, {"type": "error", "error": {
                "type": "invalid_request_error", "message": "the body is not a JSON object"}})
            return
        index = None
        exhausted = False
        if openai and body.get("tools") and not body.get("response_format"):
            kind = "main"
            reply, index = self.standin.take_scripted(body.get("model"))
            exhausted = index is None
        elif not openai and is_main_conversation(body):
            kind = "main"
            reply, index = self.standin.take_scripted(body.get("model"))
            exhausted = index is None
        else:
            kind = "helper"
            reply = self.standin.make_helper(body)
        self.log_request_record(kind, 200, body, reply, index, exhausted)
        try:
            if openai:
                self.openai_reply(reply, bool(body.get("stream")))
            elif body.get("stream"):
                self.stream(reply)
            else:
                self.whole(reply)
        except (ClientGone, BrokenPipeError, ConnectionResetError):
            self.standin.log({"event": "aborted", "reply_id": reply.id})
            self.close_connection = True
            return
        self.standin.log({"event": "finished", "reply_id": reply.id})

    def whole(self, reply):
        if reply.hold:
            self.hold(reply)
        self.send_json(200, reply.whole_message())

    def hold(self, reply):
        self.standin.add_held(reply)
        self.standin.log({"event": "held", "reply_id": reply.id})
        try:
            self.standin.wait_released(reply, self)
        finally:
            self.standin.remove_held(reply)
        self.standin.log({"event": "released", "reply_id": reply.id})

    def event(self, name, payload, delay=0.0):
        data = "event: %s\ndata: %s\n\n" % (name, json.dumps(payload))
        self.wfile.write(data.encode("utf-8"))
        self.wfile.flush()
        if delay > 0:
            if self.standin.stopping.wait(delay):
                raise ClientGone()

    def stream(self, reply):
        # One reply per connection: the end of the stream is the end of the
        # connection, which spares chunked encoding.
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.send_header("request-id", "req_standin_%d" % self.standin.seq)
        self.end_headers()
        delay = reply.chunk_delay
        start = reply.message([], None, reply.start_usage())
        self.event("message_start", {"type": "message_start", "message": start})
        if reply.hold:
            self.hold(reply)
        self.event("ping", {"type": "ping"}, delay)
        for index, block in enumerate(reply.blocks):
            if block["type"] == "text":
                self.event("content_block_start", {
                    "type": "content_block_start", "index": index,
                    "content_block": {"type": "text", "text": ""}})
                for piece in chunks(block["text"], reply.chunk_size):
                    self.event("content_block_delta", {
                        "type": "content_block_delta", "index": index,
                        "delta": {"type": "text_delta", "text": piece}}, delay)
            else:
                self.event("content_block_start", {
                    "type": "content_block_start", "index": index,
                    "content_block": {"type": "tool_use", "id": block["id"],
                                      "name": block["name"], "input": {}}})
                for piece in chunks(json.dumps(block["input"]), reply.chunk_size):
                    self.event("content_block_delta", {
                        "type": "content_block_delta", "index": index,
                        "delta": {"type": "input_json_delta", "partial_json": piece}}, delay)
            self.event("content_block_stop", {"type": "content_block_stop", "index": index})
        self.event("message_delta", {
            "type": "message_delta",
            "delta": {"stop_reason": reply.stop_reason, "stop_sequence": reply.stop_sequence},
            "usage": reply.final_usage()})
        self.event("message_stop", {"type": "message_stop"})


    def openai_reply(self, reply, streamed):
        usage = reply.usage
        prompt = (usage["input_tokens"] + usage["cache_read_input_tokens"]
                  + usage["cache_creation_input_tokens"])
        final_usage = {
            "prompt_tokens": prompt,
            "completion_tokens": usage["output_tokens"],
            "total_tokens": prompt + usage["output_tokens"],
            "prompt_tokens_details": {"cached_tokens": usage["cache_read_input_tokens"]},
            "completion_tokens_details": {"reasoning_tokens": usage.get("reasoning_tokens", 0)},
        }
        text = "".join(b["text"] for b in reply.blocks if b["type"] == "text")
        calls = [{"id": b["id"], "type": "function",
                  "function": {"name": b["name"], "arguments": json.dumps(b["input"])}}
                 for b in reply.blocks if b["type"] == "tool_use"]
        finish = "tool_calls" if calls else "stop"
        base = {"id": "chatcmpl-" + reply.id, "created": int(time.time()), "model": reply.model}
        if not streamed:
            if reply.hold:
                self.hold(reply)
            message = {"role": "assistant", "content": text or None}
            if calls:
                message["tool_calls"] = calls
            self.send_json(200, dict(base, object="chat.completion", usage=final_usage, choices=[
                {"index": 0, "message": message, "finish_reason": finish}]))
            return
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        delay = reply.chunk_delay

        def chunk(delta, finish_reason=None, with_usage=False):
            payload = dict(base, object="chat.completion.chunk", choices=[
                {"index": 0, "delta": delta, "finish_reason": finish_reason}])
            if with_usage:
                payload["usage"] = final_usage
            self.wfile.write(("data: %s\n\n" % json.dumps(payload)).encode("utf-8"))
            self.wfile.flush()
            if delay > 0 and self.standin.stopping.wait(delay):
                raise ClientGone()

        chunk({"role": "assistant", "content": ""})
        if reply.hold:
            self.hold(reply)
        for piece in chunks(text, reply.chunk_size):
            chunk({"content": piece})
        for index, call in enumerate(calls):
            chunk({"tool_calls": [dict(call, index=index)]})
        chunk({}, finish, with_usage=True)
        self.wfile.write(b"data: [DONE]\n\n")
        self.wfile.flush()

    def responses_api(self, body):
        """POST /v1/responses: see "Responses route" in the module comment."""
        if not isinstance(body, dict):
            self.log_request_record("helper", 400, body)
            self.send_json(400, {"error": {"type": "invalid_request_error",
                                           "message": "the body is not a JSON object"}})
            return
        index = None
        exhausted = False
        text_format = (body.get("text") or {}).get("format") if isinstance(body.get("text"), dict) else None
        if body.get("tools") and not (isinstance(text_format, dict) and text_format.get("type") == "json_schema"):
            kind = "main"
            reply, index = self.standin.take_scripted(body.get("model"))
            exhausted = index is None
        else:
            kind = "helper"
            reply = self.standin.make_helper(body)
            if isinstance(text_format, dict) and text_format.get("type") == "json_schema":
                reply.blocks = [{"type": "text", "text": json.dumps(value_for_schema(text_format.get("schema")))}]
        self.log_request_record(kind, 200, body, reply, index, exhausted)
        try:
            self.responses_reply(reply)
        except (ClientGone, BrokenPipeError, ConnectionResetError):
            self.standin.log({"event": "aborted", "reply_id": reply.id})
            self.close_connection = True
            return
        self.standin.log({"event": "finished", "reply_id": reply.id})

    def responses_reply(self, reply):
        usage = reply.usage
        cached = usage["cache_read_input_tokens"]
        written = usage["cache_creation_input_tokens"]
        prompt = usage["input_tokens"] + cached + written
        final_usage = {
            "input_tokens": prompt,
            "input_tokens_details": {"cached_tokens": cached, "cache_write_tokens": written},
            "output_tokens": usage["output_tokens"],
            "output_tokens_details": {"reasoning_tokens": usage.get("reasoning_tokens", 0)},
            "total_tokens": prompt + usage["output_tokens"],
        }
        response_id = "resp_" + reply.id
        items = []
        for index, block in enumerate(reply.blocks):
            if block["type"] == "text":
                items.append({"type": "message", "id": "%s_m%d" % (reply.id, index), "role": "assistant",
                              "status": "completed",
                              "content": [{"type": "output_text", "text": block["text"], "annotations": []}]})
            else:
                items.append({"type": "function_call", "id": "%s_f%d" % (reply.id, index), "status": "completed",
                              "call_id": block["id"], "name": block["name"],
                              "arguments": json.dumps(block["input"])})
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        delay = reply.chunk_delay
        sequence = iter(range(1 << 30))

        def send(name, payload):
            payload = dict(payload, type=name, sequence_number=next(sequence))
            self.event(name, payload, delay)

        response = {"id": response_id, "object": "response", "created_at": int(time.time()),
                    "model": reply.model, "status": "in_progress", "output": []}
        send("response.created", {"response": response})
        if reply.hold:
            self.hold(reply)
        for position, item in enumerate(items):
            if item["type"] == "message":
                send("response.output_item.added", {"output_index": position,
                                                    "item": dict(item, status="in_progress", content=[])})
                for piece in chunks(item["content"][0]["text"], reply.chunk_size):
                    send("response.output_text.delta", {"item_id": item["id"], "output_index": position,
                                                        "content_index": 0, "delta": piece})
            else:
                send("response.output_item.added", {"output_index": position,
                                                    "item": dict(item, status="in_progress", arguments="")})
            send("response.output_item.done", {"output_index": position, "item": item})
        send("response.completed", {"response": dict(response, status="completed", output=items,
                                                     usage=final_usage)})


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


# --- Gemini route (Gemini CLI); see "Gemini route" in the module comment ---

def gemini_route(path):
    """(model, method) of a Gemini API path /VERSION/models/MODEL:METHOD, or None."""
    parts = path.split("/")
    if len(parts) != 4 or parts[0] or parts[2] != "models" or ":" not in parts[3]:
        return None
    model, _, method = parts[3].rpartition(":")
    return model, method


def gemini_wants_json(body):
    config = body.get("generationConfig") or {}
    schema = config.get("responseJsonSchema") or config.get("responseSchema")
    return schema, bool(schema) or config.get("responseMimeType") == "application/json"


def gemini_is_main(body):
    """A turn of the conversation: function declarations, and no JSON asked for."""
    declarations = [declaration for tool in body.get("tools") or [] if isinstance(tool, dict)
                    for declaration in tool.get("functionDeclarations") or []]
    return bool(declarations) and not gemini_wants_json(body)[1]


def gemini_schema(schema):
    """A Gemini response schema in the lower-case types value_for_schema()
    reads. A number becomes 1: the routing classifier's score runs from 1 to
    100, and the CLI drops a verdict of 0."""
    if isinstance(schema, list):
        return [gemini_schema(item) for item in schema]
    if not isinstance(schema, dict):
        return schema
    converted = {key: gemini_schema(value) for key, value in schema.items()}
    kind = converted.get("type")
    if isinstance(kind, str):
        converted["type"] = kind = kind.lower()
    if kind in ("integer", "number"):
        return {"const": converted.get("minimum", 1)}
    return converted


def gemini_usage(usage):
    """A reply's usage as Gemini's usageMetadata; see the module comment."""
    tool = usage.get("tool_use_prompt_tokens", 0)
    thoughts = usage.get("reasoning_tokens", 0)
    cached = usage["cache_read_input_tokens"]
    prompt = usage["input_tokens"] - tool + cached + usage["cache_creation_input_tokens"]
    output = usage["output_tokens"]
    return {"promptTokenCount": prompt, "cachedContentTokenCount": cached, "toolUsePromptTokenCount": tool,
            "candidatesTokenCount": output - thoughts, "thoughtsTokenCount": thoughts,
            "totalTokenCount": prompt + tool + output}


def gemini_chunks(reply, whole=False):
    """The reply as GenerateContentResponse objects, one per text piece or
    function call (or, whole, one with every part); the last carries the
    finish reason and the usage."""
    pieces = []
    for block in reply.blocks:
        if block["type"] == "text":
            pieces += [{"text": piece} for piece in chunks(block["text"], 0 if whole else reply.chunk_size)]
        else:
            pieces.append({"functionCall": {"name": block["name"], "args": block["input"]}})
    pieces = pieces or [{"text": ""}]
    groups = [pieces] if whole else [[piece] for piece in pieces]
    responses = [{"candidates": [{"content": {"role": "model", "parts": parts}, "index": 0}],
                  "modelVersion": reply.model, "responseId": reply.id} for parts in groups]
    responses[-1]["candidates"][0]["finishReason"] = "STOP"
    responses[-1]["usageMetadata"] = gemini_usage(reply.usage)
    return responses


def gemini_request(handler, body, model, method):
    standin = handler.standin
    if method not in ("generateContent", "streamGenerateContent"):
        handler.not_found(body)
        return
    if not isinstance(body, dict):
        handler.log_request_record("helper", 400, body)
        handler.send_json(400, {"error": {"code": 400, "message": "the body is not a JSON object",
                                          "status": "INVALID_ARGUMENT"}})
        return
    index = None
    if gemini_is_main(body):
        kind = "main"
        reply, index = standin.take_scripted(model)
    else:
        kind = "helper"
        with standin.lock:
            standin.helper_count += 1
            n = standin.helper_count
        schema, wants_json = gemini_wants_json(body)
        text = json.dumps(value_for_schema(gemini_schema(schema))) if wants_json else HELPER_TEXT
        entry = {"id": "msg_helper_%03d" % n, "usage": {"input_tokens": 1, "output_tokens": 1},
                 "content": [{"type": "text", "text": text}]}
        reply = Reply(entry, model, entry["id"], "toolu_helper_%03d" % n)
    record = {"event": "request", "seq": standin.next_seq(), "method": handler.command, "path": handler.path,
              "kind": kind, "status": 200, "reply_id": reply.id, "exhausted": kind == "main" and index is None,
              "script_index": index, "stream": method == "streamGenerateContent", "model": model,
              "max_tokens": (body.get("generationConfig") or {}).get("maxOutputTokens"),
              "tools": sum(len(tool.get("functionDeclarations") or []) for tool in body.get("tools") or []
                           if isinstance(tool, dict))}
    if standin.log_bodies:
        record["body"] = body
    standin.log(record)
    try:
        if method == "generateContent":
            if reply.hold:
                handler.hold(reply)
            handler.send_json(200, gemini_chunks(reply, whole=True)[0])
        else:
            # Server-sent events (alt=sse); the end of the stream ends the connection.
            handler.close_connection = True
            handler.send_response(200)
            handler.send_header("Content-Type", "text/event-stream")
            handler.send_header("Cache-Control", "no-cache")
            handler.send_header("Connection", "close")
            handler.end_headers()
            handler.wfile.flush()
            if reply.hold:
                handler.hold(reply)
            for response in gemini_chunks(reply):
                handler.wfile.write(("data: %s\n\n" % json.dumps(response)).encode("utf-8"))
                handler.wfile.flush()
                if reply.chunk_delay > 0 and standin.stopping.wait(reply.chunk_delay):
                    raise ClientGone()
    except (ClientGone, BrokenPipeError, ConnectionResetError):
        standin.log({"event": "aborted", "reply_id": reply.id})
        handler.close_connection = True
        return
    standin.log({"event": "finished", "reply_id": reply.id})


def load_script(path):
    with open(path, encoding="utf-8") as f:
        script = json.load(f)
    if isinstance(script, dict):
        script = script.get("replies", [])
    if not isinstance(script, list) or not all(isinstance(r, dict) for r in script):
        raise ValueError("%s: the script must be a list of reply objects" % path)
    # Catch mistakes in the script at start, not in the middle of a test.
    for index, entry in enumerate(script):
        Reply(entry, None, "msg_check_%d" % index, "toolu_check_%d" % index)
    return script


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("script", help="JSON file with the scripted replies")
    parser.add_argument("log", help="file that gets one JSON line per request")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log-bodies", action="store_true",
                        help="also log each parsed request body")
    args = parser.parse_args(argv)

    standin = StandIn(load_script(args.script), args.log, args.log_bodies)
    server = Server((args.host, args.port), Handler)
    server.standin = standin

    def stop(signum, frame):
        standin.stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

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
