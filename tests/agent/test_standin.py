#!/usr/bin/env python3
"""Checks of the stand-in model API on its own, with plain HTTP requests: the
routes, the streamed and whole replies, helper requests leaving the script
alone, and held replies."""

import json
import os
import shutil
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request

# Leave no __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

TOOLS = [{"name": "Bash", "description": "runs a command",
          "input_schema": {"type": "object", "properties": {}}}]


def parse_events(raw):
    """The (event, data) pairs of a server-sent event stream."""
    events = []
    for block in raw.decode("utf-8").split("\n\n"):
        if not block.strip():
            continue
        fields = dict(line.split(": ", 1) for line in block.splitlines())
        events.append((fields["event"], json.loads(fields["data"])))
    return events


class StandInTest(unittest.TestCase):

    def start(self, replies):
        folder = tempfile.mkdtemp(prefix="lullwatch-standin-")
        self.addCleanup(shutil.rmtree, folder, True)
        standin = harness.StandIn(folder, replies)
        self.addCleanup(standin.stop)
        return standin

    def post(self, standin, path, body):
        request = urllib.request.Request(
            standin.base_url + path, data=json.dumps(body).encode(),
            headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                return response.status, response.headers.get("Content-Type"), response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers.get("Content-Type"), error.read()

    def test_streams_scripted_replies_and_answers_helpers_aside(self):
        usage = {"input_tokens": 7, "output_tokens": 3,
                 "cache_creation_input_tokens": 2, "cache_read_input_tokens": 1}
        standin = self.start([
            harness.tool_reply("Bash", {"command": "true"}, "msg_a", text="Running.",
                               usage=usage, chunk_delay=0.001, chunk_size=2),
            harness.text_reply("Done.", "msg_b"),
        ])
        title = {"model": "m", "stream": True, "tools": [], "messages": [],
                 "output_config": {"format": {"type": "json_schema", "schema": {
                     "type": "object", "properties": {"title": {"type": "string"}},
                     "required": ["title"]}}}}
        status, kind, raw = self.post(standin, "/v1/messages?beta=true", title)
        self.assertEqual((status, kind), (200, "text/event-stream"))
        deltas = [d["delta"]["text"] for e, d in parse_events(raw) if e == "content_block_delta"]
        self.assertEqual(json.loads("".join(deltas)), {"title": "Stand-in reply."})

        main = {"model": "m", "stream": True, "tools": TOOLS, "messages": []}
        status, kind, raw = self.post(standin, "/v1/messages?beta=true", main)
        events = parse_events(raw)
        self.assertEqual([e for e, _ in events][:2], ["message_start", "ping"])
        self.assertEqual(events[-1][0], "message_stop")
        start = events[0][1]["message"]
        self.assertEqual(start["id"], "msg_a")
        self.assertEqual(start["model"], "m")
        self.assertEqual(start["usage"]["input_tokens"], 7)
        self.assertEqual(start["usage"]["cache_creation_input_tokens"], 2)
        self.assertEqual(start["usage"]["cache_read_input_tokens"], 1)
        text = "".join(d["delta"]["text"] for e, d in events
                       if e == "content_block_delta" and d["delta"]["type"] == "text_delta")
        self.assertEqual(text, "Running.")
        tool_json = "".join(d["delta"]["partial_json"] for e, d in events
                            if e == "content_block_delta"
                            and d["delta"]["type"] == "input_json_delta")
        self.assertEqual(json.loads(tool_json), {"command": "true"})
        final = [d for e, d in events if e == "message_delta"][0]
        self.assertEqual(final["delta"]["stop_reason"], "tool_use")
        self.assertEqual(final["usage"]["output_tokens"], 3)

        whole = dict(main, stream=False)
        status, kind, raw = self.post(standin, "/v1/messages", whole)
        message = json.loads(raw)
        self.assertEqual((status, message["id"]), (200, "msg_b"))
        self.assertEqual(message["content"], [{"type": "text", "text": "Done."}])
        self.assertEqual(message["stop_reason"], "end_turn")

        status, _, raw = self.post(standin, "/v1/messages", main)
        self.assertEqual(status, 200)
        self.assertEqual(standin.served_ids(), ["msg_a", "msg_b"])
        kinds = [(r["kind"], r["reply_id"] if r["kind"] == "main" else None,
                  r["exhausted"]) for r in standin.requests()]
        self.assertEqual(kinds, [("helper", None, False), ("main", "msg_a", False),
                                 ("main", "msg_b", False),
                                 ("main", "msg_standin_extra_001", True)])

    def test_count_tokens_safety_check_and_unknown_paths(self):
        standin = self.start([])
        status, _, raw = self.post(standin, "/v1/messages/count_tokens?beta=true",
                                   {"model": "m", "messages": [{"role": "user",
                                                                "content": "x" * 400}]})
        self.assertEqual(status, 200)
        self.assertGreater(json.loads(raw)["input_tokens"], 0)

        check = {"model": "m", "stream": False, "max_tokens": 64,
                 "stop_sequences": ["</block>"], "messages": [],
                 "system": [{"type": "text", "text": "If allowed: <block>no</block>"}]}
        status, _, raw = self.post(standin, "/v1/messages", check)
        message = json.loads(raw)
        self.assertEqual(message["content"][0]["text"], "<block>no")
        self.assertEqual((message["stop_reason"], message["stop_sequence"]),
                         ("stop_sequence", "</block>"))

        status, kind, raw = self.post(standin, "/v1/other", {})
        self.assertEqual((status, kind), (404, "application/json"))
        error = json.loads(raw)
        self.assertEqual(error["type"], "error")
        self.assertEqual(error["error"]["type"], "not_found_error")
        self.assertEqual(standin.served_ids(), [])

    def test_held_reply_waits_for_release_file_or_release_request(self):
        folder = tempfile.mkdtemp(prefix="lullwatch-standin-release-")
        self.addCleanup(shutil.rmtree, folder, True)
        release_file = os.path.join(folder, "go")
        standin = self.start([
            harness.text_reply("first", "msg_file", hold=True, release_file=release_file),
            harness.text_reply("second", "msg_post", hold=True),
            harness.text_reply("third", "msg_early", hold=True),
        ])
        main = {"model": "m", "stream": True, "tools": TOOLS, "messages": []}
        results = {}

        def ask(name):
            results[name] = self.post(standin, "/v1/messages", main)

        first = threading.Thread(target=ask, args=("first",))
        first.start()
        standin.wait_for_event("held", "msg_file", timeout=30)
        self.assertNotIn("first", results)
        open(release_file, "w").close()
        first.join(30)
        self.assertIn("first", results)

        second = threading.Thread(target=ask, args=("second",))
        second.start()
        standin.wait_for_event("held", "msg_post", timeout=30)
        self.assertEqual(standin.release("msg_post"), ["msg_post"])
        second.join(30)
        events = parse_events(results["second"][2])
        self.assertEqual(events[-1][0], "message_stop")
        standin.wait_for_event("finished", "msg_post", timeout=30)

        self.assertEqual(standin.release("msg_early"), [])
        status, _, raw = self.post(standin, "/v1/messages", main)
        self.assertEqual(parse_events(raw)[-1][0], "message_stop")


if __name__ == "__main__":
    unittest.main(verbosity=2)
