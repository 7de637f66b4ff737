#!/usr/bin/env python3
"""Trusts every command hook of a Codex CLI hooks.json the way Codex's own
/hooks review does, by appending its trust records to config.toml.

Usage: codex_trust.py HOOKS_JSON [CONFIG_TOML]
       (CONFIG_TOML: default config.toml beside HOOKS_JSON; "-" prints them)

Worked out on the real Codex CLI 0.171.0 with `codex app-server`'s
hooks/list, whose "key" and "currentHash" these reproduce: the key is
"<hooks.json path>:<event in snake case>:<group index>:<handler index>"; the
hash is sha256 over the compact JSON, keys sorted, of the event's name and
the handler as Codex reads it (no timeout: 600; at least 1; a session end's
at most 3). Written apart from Lullwatch's own reading of these records so
that the two check each other.
"""
import hashlib
import json
import os
import re
import sys


def snake(name):
    return re.sub(r"(?<!^)([A-Z])", r"_\1", name).lower()


def trust_hash(event, handler):
    label = snake(event)
    timeout = max(1, handler.get("timeout", 600))
    if label == "session_end":
        timeout = min(timeout, 3)
    hook = {"type": "command", "command": handler["command"], "timeout": timeout, "async": False}
    if isinstance(handler.get("statusMessage"), str):
        hook["statusMessage"] = handler["statusMessage"]
    identity = {"event_name": label, "hooks": [hook]}
    data = json.dumps(identity, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return "sha256:" + hashlib.sha256(data.encode("utf-8")).hexdigest()


def trust_records(hooks_path):
    with open(hooks_path, encoding="utf-8") as f:
        hooks = json.load(f)["hooks"]
    lines = []
    for event, groups in hooks.items():
        for g, group in enumerate(groups):
            for h, handler in enumerate(group.get("hooks", [])):
                if handler.get("type") != "command":
                    continue
                key = "%s:%s:%d:%d" % (hooks_path, snake(event), g, h)
                lines.append("\n[hooks.state.%s]\ntrusted_hash = %s\n"
                             % (json.dumps(key), json.dumps(trust_hash(event, handler))))
    return "".join(lines)


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    hooks_path = argv[1]
    config = argv[2] if len(argv) == 3 else os.path.join(os.path.dirname(hooks_path), "config.toml")
    records = trust_records(hooks_path)
    if config == "-":
        sys.stdout.write(records)
    else:
        with open(config, "a", encoding="utf-8") as f:
            f.write(records)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
