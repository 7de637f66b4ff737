"""Helpers for tests that drive the real Claude Code CLI offline, in a sandbox
with a local stand-in of its model API. What the pinned CLI does is written
up in docs/agents/claude-code.md.
"""

import atexit
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import uuid
from pathlib import Path

AGENT_DIR = Path(__file__).resolve().parent
CLAUDE = AGENT_DIR / "node_modules" / ".bin" / "claude"
INSTALL_SCRIPT = AGENT_DIR.parent / "e2e" / "install_pinned.sh"
STANDIN_SCRIPT = AGENT_DIR / "standin_api.py"

# ~/.claude.json approves API keys by their last 20 characters; this key has
# just 20, so the approval names it whole.
TEST_API_KEY = "sk-ant-lullwatch-t01"

# Names a test may not add through extra_env: the agent gets no ANTHROPIC_*,
# CLAUDE* or proxy variable besides the ones environment() sets.
FORBIDDEN_ENV = re.compile(r"^(ANTHROPIC_|CLAUDE|.*_PROXY$)", re.IGNORECASE)

DEFAULT_TIMEOUT = 120.0


# --- waiting ---------------------------------------------------------------

def wait_until(predicate, timeout, what, interval=0.05):
    """Polls predicate() until it returns something truthy, and returns that.

    Raises TimeoutError naming `what` when the deadline passes first.
    """
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(min(interval, max(0.0, deadline - time.monotonic())))


# --- installing the CLI ------------------------------------------------------

def ensure_claude_installed(timeout=900):
    """Installs the pinned CLI when it is not installed yet."""
    if CLAUDE.exists():
        return CLAUDE
    subprocess.run(["sh", str(INSTALL_SCRIPT), str(AGENT_DIR), "claude"], check=True, timeout=timeout,
                   stdin=subprocess.DEVNULL)
    if not CLAUDE.exists():
        raise RuntimeError("install_pinned.sh ran but %s is still missing" % CLAUDE)
    return CLAUDE


# --- files of the agent --------------------------------------------------------

def munge_path(path):
    """The project folder name the CLI derives from a working folder."""
    return re.sub(r"[^A-Za-z0-9]", "-", str(path))


def read_json_lines(path):
    """Parses a JSON-lines file; a last line still being written is skipped."""
    records = []
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if not line:
                    continue
                try:
                    records.append(json.loads(line))
                except ValueError:
                    pass
    except FileNotFoundError:
        pass
    return records


def proc_status(pid):
    """The fields of /proc/PID/status as a dict of strings, {} when gone."""
    fields = {}
    try:
        with open("/proc/%d/status" % pid, encoding="utf-8", errors="replace") as f:
            for line in f:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
    except (FileNotFoundError, ProcessLookupError):
        pass
    return fields


def command_line(pid):
    """The words of /proc/PID/cmdline."""
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        return [word.decode() for word in f.read().split(b"\0") if word]


def child_pids(pid):
    """Pids of the live children of pid."""
    children = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        status = proc_status(int(entry))
        if status.get("PPid") == str(pid):
            children.append(int(entry))
    return children


def has_exited(process):
    """True once the process has ended, without reaping it: while it is not
    reaped its pid, and so its process group id, cannot be taken by another
    process, so signalling the group stays safe."""
    if process.returncode is not None:
        return True
    try:
        return os.waitid(os.P_PID, process.pid,
                         os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


def end_process_group(process, grace=5.0):
    """Ends a process started with start_new_session=True together with what
    is left of its group (hook commands, tool shells), then reaps it."""
    if process.returncode is not None:
        return
    if not has_exited(process):
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.monotonic() + grace
        while not has_exited(process) and time.monotonic() < deadline:
            time.sleep(0.02)
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


# --- the stand-in of the model API ------------------------------------------------

class StandIn:
    """Runs standin_api.py with a script of replies; see that file."""

    def __init__(self, folder, replies, log_bodies=False, start_timeout=30.0):
        self.folder = Path(folder)
        self.script_path = self.folder / "standin-script.json"
        self.log_path = self.folder / "standin-log.jsonl"
        self.stderr_path = self.folder / "standin-stderr.txt"
        self.script_path.write_text(json.dumps(replies, indent=1), encoding="utf-8")
        self.log_path.write_text("", encoding="utf-8")
        command = [sys.executable, str(STANDIN_SCRIPT), str(self.script_path),
                   str(self.log_path)]
        if log_bodies:
            command.append("--log-bodies")
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=self._stderr, start_new_session=True)
        try:
            self.port = self._read_port(start_timeout)
        except BaseException:
            self.stop()
            raise

    def _read_port(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the stand-in printed no port within %.0f s" % timeout)
            readable, _, _ = select.select([self.process.stdout], [], [], left)
            if readable:
                byte = os.read(self.process.stdout.fileno(), 1)
                if not byte:
                    raise RuntimeError("the stand-in exited before printing its port:\n"
                                       + self.stderr_path.read_text(errors="replace"))
                line += byte
        return int(line.decode().strip())

    @property
    def base_url(self):
        return "http://127.0.0.1:%d" % self.port

    def log(self):
        """Every record of the stand-in's log so far."""
        return read_json_lines(self.log_path)

    def requests(self, kind=None):
        """The request records, optionally only those of one kind
        ("main", "helper", "count_tokens", "control", "not_found")."""
        return [r for r in self.log() if r.get("event") == "request"
                and (kind is None or r.get("kind") == kind)]

    def served_ids(self):
        """Message ids of the scripted replies served so far, in order."""
        return [r["reply_id"] for r in self.requests("main")
                if r.get("script_index") is not None]

    def wait_for_event(self, event, reply_id, timeout=DEFAULT_TIMEOUT):
        """Waits for a log record such as ("held", "msg_x") or ("finished", ...)."""
        def found():
            return next((r for r in self.log()
                         if r.get("event") == event and r.get("reply_id") == reply_id), None)
        return wait_until(found, timeout, "stand-in event %s of %s" % (event, reply_id))

    def release(self, reply_id=None):
        """Lets a held reply (or every reply held now) go on streaming, and
        returns the ids let go now. A reply named before it is held does not
        stop when it gets there."""
        data = json.dumps({"id": reply_id} if reply_id else {}).encode()
        request = urllib.request.Request(self.base_url + "/test/release", data=data,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as response:
            return json.loads(response.read())["released"]

    def stop(self):
        if self.process is not None:
            end_process_group(self.process)
            self.process.stdout.close()
            self.process = None
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None


class _Reader:
    """Reads a pipe to its end on a thread of its own."""

    def __init__(self, stream):
        self._chunks = []
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        try:
            for chunk in iter(lambda: stream.read(65536), ""):
                self._chunks.append(chunk)
        except (OSError, ValueError):
            pass

    def text(self, timeout=10.0):
        self._thread.join(timeout)
        return "".join(self._chunks)


# --- the sandbox -----------------------------------------------------------------

_open_sandboxes = []


@atexit.register
def _close_leftovers():
    for sandbox in list(_open_sandboxes):
        sandbox.close()


class AgentSandbox:
    """A temporary HOME, working folder and TMPDIR, a stand-in, and the agent
    processes started in them. Use as a context manager, or call close() (for
    unittest: self.addCleanup(sandbox.close))."""

    def __init__(self, prefix="lullwatch-agent-"):
        ensure_claude_installed()
        # realpath: the CLI names the project folder after the resolved cwd.
        self.root = Path(os.path.realpath(tempfile.mkdtemp(prefix=prefix)))
        self.home = self.root / "home"
        self.work = self.root / "work"
        self.tmp = self.root / "tmp"
        for folder in (self.home / ".claude", self.work, self.tmp):
            folder.mkdir(parents=True)
        self.api_key = TEST_API_KEY
        self.standin = None
        self.processes = []
        self._closed = False
        self._write_json(self.home / ".claude.json", {
            "hasCompletedOnboarding": True,
            "customApiKeyResponses": {"approved": [self.api_key[-20:]], "rejected": []},
            "projects": {str(self.work): {"hasTrustDialogAccepted": True}},
        })
        _open_sandboxes.append(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @staticmethod
    def _write_json(path, value):
        Path(path).write_text(json.dumps(value, indent=2) + "\n", encoding="utf-8")

    def write_settings(self, settings):
        """Writes ~/.claude/settings.json (for example a "hooks" section)."""
        self._write_json(self.home / ".claude" / "settings.json", settings)

    def start_standin(self, replies, log_bodies=False):
        if self.standin is not None:
            raise RuntimeError("the sandbox already runs a stand-in")
        self.standin = StandIn(self.root, replies, log_bodies=log_bodies)
        return self.standin

    def environment(self, extra=None):
        """The agent's whole environment: nothing else leaks in from the test's."""
        if self.standin is None:
            raise RuntimeError("start the stand-in first")
        env = {
            "HOME": str(self.home),
            "PATH": os.environ.get("PATH", "/usr/local/bin:/usr/bin:/bin"),
            "TMPDIR": str(self.tmp),
            "ANTHROPIC_BASE_URL": self.standin.base_url,
            "ANTHROPIC_API_KEY": self.api_key,
            "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC": "1",
            "NO_PROXY": "127.0.0.1",
        }
        for name, value in (extra or {}).items():
            if FORBIDDEN_ENV.match(name):
                raise ValueError("%s must not be passed to the agent" % name)
            env[name] = value
        return env

    def claude_command(self, prompt, session_id=None, args=()):
        command = [str(CLAUDE), "-p", prompt]
        if session_id:
            command += ["--session-id", session_id]
        return command + list(args)

    def start_print(self, prompt, session_id=None, args=(), extra_env=None):
        """Starts `claude -p PROMPT` and returns the Popen (stdout and stderr
        piped, text mode), for tests that look at the agent mid-turn."""
        process = subprocess.Popen(
            self.claude_command(prompt, session_id, args), cwd=self.work,
            env=self.environment(extra_env), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            start_new_session=True)
        self.processes.append(process)
        return process

    def finish(self, process, timeout=DEFAULT_TIMEOUT):
        """Waits for a process from start_print() and ends what is left of its
        process group; returns (returncode, stdout, stderr). Past the deadline
        it ends the process and raises TimeoutError."""
        readers = [_Reader(process.stdout), _Reader(process.stderr)]
        deadline = time.monotonic() + timeout
        while not has_exited(process) and time.monotonic() < deadline:
            time.sleep(0.02)
        timed_out = not has_exited(process)
        end_process_group(process)
        out, err = (reader.text() for reader in readers)
        if timed_out:
            raise TimeoutError("claude did not finish within %.0f s\nstdout: %s\nstderr: %s"
                               % (timeout, out, err))
        return process.returncode, out, err

    def run_print(self, prompt, session_id=None, args=(), extra_env=None,
                  timeout=DEFAULT_TIMEOUT):
        """Runs `claude -p PROMPT` to its end; returns (returncode, stdout, stderr)."""
        return self.finish(self.start_print(prompt, session_id, args, extra_env), timeout)

    @staticmethod
    def new_session_id():
        return str(uuid.uuid4())

    def project_dir(self, cwd=None):
        return self.home / ".claude" / "projects" / munge_path(cwd or self.work)

    def transcript_path(self, session_id, cwd=None):
        return self.project_dir(cwd) / (session_id + ".jsonl")

    def transcript(self, session_id, cwd=None):
        return read_json_lines(self.transcript_path(session_id, cwd))

    def close(self):
        if self._closed:
            return
        self._closed = True
        for process in self.processes:
            end_process_group(process)
            for stream in (process.stdout, process.stderr):
                if stream:
                    stream.close()
        if self.standin is not None:
            self.standin.stop()
        if os.environ.get("LULLWATCH_KEEP_AGENT_TMP") == "1":
            sys.stderr.write("keeping %s\n" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        if self in _open_sandboxes:
            _open_sandboxes.remove(self)


def text_reply(text, reply_id, usage=None, model=None, **options):
    """A scripted reply with one text block; options: hold, chunk_delay,
    chunk_size, stop_reason."""
    reply = {"id": reply_id, "content": [{"type": "text", "text": text}]}
    if usage is not None:
        reply["usage"] = usage
    if model is not None:
        reply["model"] = model
    reply.update(options)
    return reply


def tool_reply(name, tool_input, reply_id, text=None, usage=None, **options):
    """A scripted reply that asks for one tool call, after an optional text."""
    content = [{"type": "text", "text": text}] if text else []
    content.append({"type": "tool_use", "name": name, "input": tool_input})
    reply = {"id": reply_id, "content": content}
    if usage is not None:
        reply["usage"] = usage
    reply.update(options)
    return reply
