#!/usr/bin/env python3
"""codex_trust.py HOOKS_JSON -: the config.toml records with which Codex's /hooks review trusts every
command hook, as Codex CLI 0.171.0's app-server hooks/list tells them: key "<path>:<event in snake
case>:<group>:<handler>", hash sha256 of the compact sorted JSON of the event's name and the handler
as Codex reads it (timeout 600 if none, at least 1, a session end's at most 3)."""
import hashlib
import json
import re
import sys


def trust_hash(label, handler):
    timeout = max(1, handler.get("timeout", 600))
    hook = {"type": "command", "command": handler["command"], "async": False,
            "timeout": min(timeout, 3) if label == "session_end" else timeout}
    if isinstance(handler.get("statusMessage"), str):
        hook["statusMessage"] = handler["statusMessage"]
    data = json.dumps({"event_name": label, "hooks": [hook]}, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False)
    return "sha256:" + hashlib.sha256(data.encode("utf-8")).hexdigest()


if __name__ == "__main__":
    path = sys.argv[1]
    hooks = json.loads(open(path, encoding="utf-8").read())["hooks"]
    for event, groups in hooks.items():
        label = re.sub(r"(?<!^)([A-Z])", r"_\1", event).lower()
        for g, group in enumerate(groups):
            for h, handler in enumerate(group.get("hooks", [])):
                if handler.get("type") == "command":
                    print("\n[hooks.state.%s]\ntrusted_hash = %s" % (json.dumps("%s:%s:%d:%d" % (path, label, g, h)),
                                                                    json.dumps(trust_hash(label, handler))))
