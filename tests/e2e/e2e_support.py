"""Support for the end-to-end tests: Lullwatch run in a folder of the test's
own, the real agents in a sandbox of tests/agent/harness.py with their
interactive sessions in a tmux server of the sandbox's own, mock desktop
services on private buses, and X servers with a real panel."""

import collections
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True

E2E_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(E2E_DIR.parent / "agent"))

import harness  # noqa: E402

wait_until, text_reply, tool_reply = harness.wait_until, harness.text_reply, harness.tool_reply

DEADLINE = 30.0
NOTIFICATION_DEADLINE = 45.0  # Claude Code notifies a few seconds after its permission prompt shows
# The asan preset's settings go on to lullwatch.
PASSED_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
USAGE_MEMBERS = (("inputTokens", "input_tokens"), ("outputTokens", "output_tokens"),
                 ("cacheCreationTokens", "cache_creation_input_tokens"), ("cacheReadTokens", "cache_read_input_tokens"))


def lullwatch_binary():
    binary = Path(os.environ.get("LULLWATCH_BINARY_DIR", "")) / "lullwatch"
    if not os.access(binary, os.X_OK):
        raise RuntimeError("LULLWATCH_BINARY_DIR must name the folder of the lullwatch binary")
    return binary


def wait_or_show(predicate, timeout, what, show):
    """wait_until, failing with what show() returns when the deadline passes."""
    try:
        return wait_until(predicate, timeout, what)
    except TimeoutError as error:
        raise AssertionError("%s; %s" % (error, show())) from None


# --- expectations from what the stand-in served -------------------------------------

def usage(input_tokens, output_tokens, cache_creation, cache_read):
    return {"input_tokens": input_tokens, "output_tokens": output_tokens,
            "cache_creation_input_tokens": cache_creation, "cache_read_input_tokens": cache_read}


def context_tokens(reply):
    return sum(reply["usage"][key] for _, key in USAGE_MEMBERS)


def served_usage(replies, served_ids, models=None):
    """The `usage` of `lullwatch status --json` for a transcript of these
    served replies, each id once; `models` (served_models()) names the model
    of a reply that names none."""
    by_id = {reply["id"]: reply for reply in replies}
    messages = [by_id[reply_id] for reply_id in dict.fromkeys(served_ids)]
    expected = {member: sum(m["usage"][key] for m in messages) for member, key in USAGE_MEMBERS}
    last = messages[-1] if messages else None
    expected.update(contextTokens=context_tokens(last) if last else 0, turns=len(messages),
                    model=last and (last.get("model") or models[last["id"]]))
    return expected


def served_models(standin):
    """The model each scripted reply was asked for, by reply id."""
    return {r["reply_id"]: r["model"] for r in standin.requests("main") if r.get("script_index") is not None}


def format_token_count(count):
    """The tray's short text for a count."""
    if count <= 999:
        return str(count)
    if count <= 999_999:
        return "%dk" % (count // 1000)
    return "%.1fM" % (count / 1_000_000)


# --- processes ----------------------------------------------------------------------

def stop(process, grace=10.0):
    """Ends a process of ours, with its process group when it leads one, and closes its pipes."""
    if process.returncode is None:
        if os.getpgid(process.pid) == process.pid:
            harness.end_process_group(process, grace)
        else:
            process.terminate()
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream:
            stream.close()


stop_popen_plain = stop  # the name docs/screenshots.py uses


def has_ended(pidfd):
    return bool(select.select([pidfd], [], [], 0)[0])


class Lullwatch(subprocess.Popen):
    """`lullwatch ARGUMENTS` in a process group of its own, its output lines
    read as they come, its standard error in a file."""

    def __init__(self, arguments, environment, stderr_path):
        self.stderr_path = Path(stderr_path)
        with open(stderr_path, "wb") as stderr:
            super().__init__([str(lullwatch_binary()), *arguments], env=environment, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=stderr, start_new_session=True)
        os.set_blocking(self.stdout.fileno(), False)
        self.lines, self._pending = [], b""

    def read(self):
        while chunk := self._read_chunk():
            self._pending += chunk
        *complete, self._pending = self._pending.split(b"\n")
        self.lines.extend(line.decode("utf-8") for line in complete)
        return self.lines

    def _read_chunk(self):
        try:
            return os.read(self.stdout.fileno(), 65536)
        except BlockingIOError:
            return b""

    def wait_last_line(self, expected, timeout=DEADLINE):
        """The newest line once it is `expected` or satisfies it (a predicate)."""
        check = expected if callable(expected) else (lambda line: line == expected)
        return wait_or_show(lambda: (lines := self.read()) and check(lines[-1]) and lines[-1], timeout,
                            "the line %r" % (expected,), lambda: "lines so far: %r" % self.lines)

    def stderr_text(self):
        return self.stderr_path.read_text(encoding="utf-8", errors="replace")


# --- tmux -----------------------------------------------------------------------------

class Tmux:
    """A tmux server on a socket in `folder`, which keeps the environment it
    started with."""

    def __init__(self, folder, environment):
        self.socket = str(Path(folder) / "tmux.sock")
        self.environment = dict(environment, TERM="xterm-256color")
        self.environment.pop("TMUX", None)
        self.processes = []  # (pid, pidfd) of the server and of each pane's first process

    def command(self, *arguments):
        return ["tmux", "-S", self.socket, "-f", "/dev/null", *arguments]

    def run(self, *arguments, check=True):
        result = subprocess.run(self.command(*arguments), env=self.environment, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=30)
        if check and result.returncode != 0:
            raise RuntimeError("tmux %s failed: %s" % (" ".join(arguments), result.stderr))
        return result.stdout.strip()

    def new_session(self, name, cwd, command):
        """Runs COMMAND, a list, in a detached 200x50 session; returns its pid."""
        self.run("new-session", "-d", "-s", name, "-x", "200", "-y", "50", "-c", str(cwd), "--", *command)
        if not self.processes:
            self._watch(name, "#{pid}")
        return self._watch(name, "#{pane_pid}")

    def _watch(self, target, pid_format):
        pid = int(self.run("display-message", "-p", "-t", target, pid_format))
        self.processes.append((pid, os.pidfd_open(pid)))
        return pid

    def close(self):
        """Ends the server, and each process group (the server's, each pane's)
        whose leader outlives it."""
        try:
            self.run("kill-server", check=False)
            wait_until(lambda: all(has_ended(pidfd) for _, pidfd in self.processes), 10, "tmux's end")
        except (subprocess.TimeoutExpired, TimeoutError):
            pass
        for pid, pidfd in self.processes:
            if not has_ended(pidfd):
                try:
                    os.killpg(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            os.close(pidfd)
        self.processes = []


class InteractiveAgent:
    """An agent in a tmux session, typed into with send-keys and read with capture-pane."""

    def __init__(self, tmux, name, pid):
        self.tmux, self.name, self.pid = tmux, name, pid

    def screen(self):
        return self.tmux.run("capture-pane", "-p", "-t", self.name, check=False)

    def wait_screen(self, text, timeout=DEADLINE):
        return wait_or_show(lambda: text in self.screen(), timeout, "%r on the screen" % text,
                            lambda: "the screen:\n" + self.screen())

    def press(self, *keys):
        self.tmux.run("send-keys", "-t", self.name, *keys)

    def submit(self, text):
        """Types a line and, once the screen shows it, presses Enter."""
        self.press("-l", text)
        self.wait_screen(text)
        self.press("Enter")


# --- Lullwatch's side ---------------------------------------------------------------

class LullwatchSide:
    """Lullwatch in the HOME `home` with the TMPDIR `tmp`, its runtime folder
    in `root`, of the class this is mixed into."""

    def set_up_lullwatch(self):
        self.sessions = self.home / ".local" / "share" / "lullwatch" / "sessions"
        self.runtime = self.root / "run"
        self.runtime.mkdir(mode=0o700)
        self.lullwatches = []

    def lullwatch_environment(self):
        environment = {"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                       "TMPDIR": str(self.tmp), "XDG_RUNTIME_DIR": str(self.runtime)}
        for name in PASSED_THROUGH + ("DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"):
            if name in os.environ:
                environment[name] = os.environ[name]
        return environment

    def lullwatch(self, *arguments, expect_status=0):
        result = subprocess.run([str(lullwatch_binary()), *arguments], env=self.lullwatch_environment(),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        if result.returncode != expect_status:
            raise AssertionError("lullwatch %s exited with %d: %s%s" % (
                " ".join(arguments), result.returncode, result.stdout, result.stderr))
        return result.stdout

    def start_lullwatch(self, arguments=("--headless",), environment=None):
        process = Lullwatch(arguments, environment or self.lullwatch_environment(),
                            self.root / ("lullwatch-%d.stderr" % len(self.lullwatches)))
        self.lullwatches.append(process)
        return process

    def status_json(self):
        return json.loads(self.lullwatch("status", "--json"))

    def listed(self, session_id):
        """This session's element of `lullwatch status --json`, or None."""
        return next((s for s in self.status_json() if s["id"] == session_id), None)

    def wait_listed(self, session_id, predicate, what, timeout=DEADLINE):
        return wait_or_show(lambda: (s := self.listed(session_id)) is not None and predicate(s) and s, timeout,
                            what, lambda: "status: %r" % self.status_json())

    def wait_usage(self, session_id, expected, timeout=DEADLINE):
        """The agent may write a reply's last line after its Stop hook has run."""
        return self.wait_listed(session_id, lambda s: s["usage"] == expected, "the usage %r" % (expected,),
                                timeout)["usage"]

    def record_path(self, session_id):
        return self.sessions / (session_id + ".json")

    def records(self):
        """The session records by session id."""
        found = {}
        for path in self.sessions.glob("*.json"):
            try:
                record = json.loads(path.read_text(encoding="utf-8"))
            except (FileNotFoundError, ValueError):
                continue
            found[record.get("sessionId")] = record
        return found

    def record(self, session_id):
        return self.records().get(session_id)

    def wait_record(self, predicate, what, session_id=None, timeout=DEADLINE):
        """A record (of this session, or any) that satisfies predicate."""
        return wait_or_show(
            lambda: next((r for r in self.records().values()
                          if session_id in (None, r.get("sessionId")) and predicate(r)), None),
            timeout, what, lambda: "records: %r" % self.records())


# --- the agents -------------------------------------------------------------------------

class PinnedAgent:
    """An agent's CLI that tests/e2e/install_pinned.sh installs from npm into
    `folder` (under tests/e2e unless absolute): `home_files`, JSON files for
    its HOME (or a function of the working folder that returns them);
    `environment(standin)`, what points it at the stand-in; `ready_text`,
    what its screen shows once it takes input; `one_shot(prompt)`, the
    arguments of a run of one prompt; `prepare(sandbox)`, called once the
    stand-in runs; `clean_up(sandbox)`, called at close once tmux has ended."""

    def __init__(self, raw, name, folder, binary, home_files, environment, ready_text,
                 one_shot=lambda prompt: ["-p", prompt], prepare=None, clean_up=None):
        self.raw = raw  # `lullwatch hooks install --agent RAW`
        self.name = name  # as `lullwatch hooks` names it
        self.folder = E2E_DIR / folder
        self.binary = self.folder / "node_modules" / ".bin" / binary
        self.home_files, self.environment, self.ready_text = home_files, environment, ready_text
        self.one_shot, self.prepare, self.clean_up = one_shot, prepare, clean_up

    def ensure_installed(self):
        if not self.binary.exists():
            subprocess.run(["sh", str(E2E_DIR / "install_pinned.sh"), str(self.folder), self.binary.name],
                           check=True, timeout=900, stdin=subprocess.DEVNULL)
        if not self.binary.exists():
            raise RuntimeError("install_pinned.sh ran but %s is still missing" % self.binary)


# harness.AgentSandbox sets up Claude Code's HOME and environment.
CLAUDE = PinnedAgent(raw="claude", name="Claude Code", folder=harness.AGENT_DIR, binary="claude", home_files={},
                     environment=None, ready_text="? for shortcuts")


class E2ESandbox(LullwatchSide, harness.AgentSandbox):
    """An agent sandbox with Lullwatch's side and a tmux server. Closing it
    ends Lullwatch, tmux with every agent in it, what the agent leaves
    running, the print-mode agents and the stand-in, and removes the folder."""

    agent = CLAUDE

    def __init__(self, prefix="lullwatch-e2e-"):
        super().__init__(prefix=prefix)
        self.tmux, self._agents = None, 0
        self.set_up_lullwatch()

    start_headless = LullwatchSide.start_lullwatch

    def install_hooks(self):
        output = self.lullwatch("hooks", "install", "--agent", self.agent.raw)
        if output != self.agent.name + " connected\n":
            raise AssertionError("hooks install said %r" % output)

    def start_standin(self, replies, log_bodies=False):
        standin = super().start_standin(replies, log_bodies)
        if self.agent.prepare is not None:
            self.agent.prepare(self)
        return standin

    def add_folder(self, name):
        """A further working folder, trusted like the sandbox's own."""
        folder = self.root / name
        folder.mkdir()
        settings_path = self.home / ".claude.json"
        settings = json.loads(settings_path.read_text(encoding="utf-8"))
        settings["projects"][str(folder)] = {"hasTrustDialogAccepted": True}
        self._write_json(settings_path, settings)
        return folder

    def start_interactive(self, args=(), cwd=None, ready=True):
        """The agent in a tmux session; with `ready`, once its SessionStart
        record is written and its screen takes input."""
        if self.tmux is None:
            self.tmux = Tmux(self.root, self.environment())
        self._agents += 1
        name = "agent%d" % self._agents
        known = set(self.records())
        agent = InteractiveAgent(self.tmux, name,
                                 self.tmux.new_session(name, cwd or self.work, [str(self.agent.binary), *args]))
        if ready:
            agent.record = self.wait_record(lambda r: r.get("sessionId") not in known, "the record of " + name)
            agent.session_id = agent.record["sessionId"]
            agent.wait_screen(self.agent.ready_text)
        return agent

    def close(self):
        if self._closed:
            return
        try:
            for process in self.lullwatches:
                stop(process)
            if self.tmux is not None:
                self.tmux.close()
            if self.agent.clean_up is not None:
                self.agent.clean_up(self)
        finally:
            super().close()


class PinnedAgentSandbox(E2ESandbox):
    """An E2ESandbox around another agent than Claude Code."""

    def __init__(self, agent, prefix="lullwatch-e2e-"):
        agent.ensure_installed()
        self.agent = agent
        # What harness.AgentSandbox sets up, less Claude Code's install and files.
        self.root = Path(os.path.realpath(tempfile.mkdtemp(prefix=prefix + agent.raw + "-")))
        self.home, self.work, self.tmp = (self.root / name for name in ("home", "work", "tmp"))
        for folder in (self.home, self.work, self.tmp):
            folder.mkdir()
        self.standin, self.processes, self._closed = None, [], False
        harness._open_sandboxes.append(self)
        self.tmux, self._agents = None, 0
        self.set_up_lullwatch()
        files = agent.home_files(self.work) if callable(agent.home_files) else agent.home_files
        for relative, value in files.items():
            (self.home / relative).parent.mkdir(parents=True, exist_ok=True)
            self._write_json(self.home / relative, value)

    def environment(self, extra=None):
        if self.standin is None:
            raise RuntimeError("start the stand-in first")
        return {"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/local/bin:/usr/bin:/bin"),
                "TMPDIR": str(self.tmp), "NO_PROXY": "127.0.0.1", **self.agent.environment(self.standin),
                **(extra or {})}

    def claude_command(self, prompt, session_id=None, args=()):
        """The agent's run of one prompt, as harness.AgentSandbox.start_print starts it."""
        return [str(self.agent.binary), *self.agent.one_shot(prompt), *args]


# What the pinned agents need in their settings is in docs/agents/.
QWEN_MODEL = "qwen-standin"
QWEN = PinnedAgent(
    raw="qwen", name="Qwen Code", folder="qwen", binary="qwen",
    home_files={".qwen/settings.json": {
        "security": {"auth": {"selectedType": "openai"}},
        "general": {"enableAutoUpdate": False, "disableAutoUpdate": True},
        "privacy": {"usageStatisticsEnabled": False},
        "memory": {"enableManagedAutoMemory": False},
        "model": {"name": QWEN_MODEL},
    }},
    environment=lambda standin: {"OPENAI_API_KEY": "sk-lullwatch-t01", "OPENAI_BASE_URL": standin.base_url + "/v1",
                                 "OPENAI_MODEL": QWEN_MODEL},
    ready_text="Type your message")

GEMINI = PinnedAgent(
    raw="gemini", name="Gemini CLI", folder="gemini", binary="gemini",
    home_files=lambda work: {
        ".gemini/settings.json": {
            "security": {"auth": {"selectedType": "gemini-api-key"}},
            "general": {"enableAutoUpdate": False, "enableAutoUpdateNotification": False},
            "privacy": {"usageStatisticsEnabled": False},
            "telemetry": {"enabled": False},
            "tools": {"useRipgrep": False},
        },
        ".gemini/trustedFolders.json": {str(work): "TRUST_FOLDER"},
    },
    environment=lambda standin: {"GEMINI_API_KEY": "lullwatch-t01", "GOOGLE_GEMINI_BASE_URL": standin.base_url},
    ready_text="Type your message")

CODEX_MODEL = "codex-standin"


def codex_home(sandbox):
    return sandbox.home / ".codex"


def write_codex_config(sandbox):
    """~/.codex/config.toml: the stand-in as the model provider, with no
    retries, and the working folder, made a git repository, trusted."""
    subprocess.run(["git", "init", "-q", str(sandbox.work)], check=True, stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=30)
    path = codex_home(sandbox) / "config.toml"
    path.parent.mkdir(parents=True, exist_ok=True)
    earlier = path.read_text(encoding="utf-8") if path.exists() else ""
    toml_string = json.dumps  # a TOML basic string reads as JSON writes one
    path.write_text(
        "model = %s\nmodel_provider = \"standin\"\ncheck_for_update_on_startup = false\n\n%s\n"
        "[model_providers.standin]\nname = \"Stand-in\"\nbase_url = %s\nwire_api = \"responses\"\n"
        "request_max_retries = 0\nstream_max_retries = 0\n\n[projects.%s]\ntrust_level = \"trusted\"\n"
        % (toml_string(CODEX_MODEL), earlier, toml_string(sandbox.standin.base_url + "/v1"),
           toml_string(str(sandbox.work))),
        encoding="utf-8")


class CodexAppServer:
    """`codex app-server`: JSON-RPC on standard input and output, one message a line."""

    def __init__(self, sandbox):
        self.process = subprocess.Popen([str(sandbox.agent.binary), "app-server"], cwd=sandbox.work,
                                        env=sandbox.environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        self._pending = b""
        self._next_id = 0
        self.call("initialize", {"clientInfo": {"name": "lullwatch-e2e", "version": "1"}})
        self._send({"method": "initialized"})

    def _send(self, message):
        self.process.stdin.write((json.dumps(message) + "\n").encode("utf-8"))
        self.process.stdin.flush()

    def call(self, method, params, timeout=DEADLINE):
        """The result of one request; notifications in between are skipped."""
        self._next_id += 1
        self._send({"id": self._next_id, "method": method, "params": params})
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" not in self._pending:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                    raise TimeoutError("codex app-server gave no answer to %s" % method)
                chunk = os.read(self.process.stdout.fileno(), 65536)
                if not chunk:
                    raise RuntimeError("codex app-server ended before answering %s" % method)
                self._pending += chunk
            line, self._pending = self._pending.split(b"\n", 1)
            message = json.loads(line)
            if message.get("id") == self._next_id and "method" not in message:
                if "error" in message:
                    raise RuntimeError("codex app-server: %s failed: %r" % (method, message["error"]))
                return message["result"]


def trust_codex_hooks(sandbox):
    """Trusts the hooks of ~/.codex/hooks.json as Codex's /hooks review does,
    through `codex app-server`; returns them as its hooks/list tells them."""
    hooks_file = str(codex_home(sandbox) / "hooks.json")
    server = CodexAppServer(sandbox)
    try:
        def listed():
            entries = server.call("hooks/list", {"cwds": [str(sandbox.work)]})["data"][0]["hooks"]
            return [hook for hook in entries if hook["sourcePath"] == hooks_file]
        state = {hook["key"]: {"trusted_hash": hook["currentHash"]} for hook in listed()}
        server.call("config/batchWrite", {"edits": [
            {"keyPath": "hooks.state", "mergeStrategy": "upsert", "value": state}]})
        return listed()
    finally:
        stop(server.process)


def stop_codex_daemon(sandbox):
    """Ends the app-server daemon that interactive Codex started for the
    sandbox and its pid-update loop, and removes their sockets."""
    folder = codex_home(sandbox) / "app-server-daemon"
    for name in ("daemon.pid", "daemon-updater.pid"):
        try:
            pid = int(json.loads((folder / name).read_text(encoding="utf-8"))["pid"])
            pidfd = os.pidfd_open(pid)
        except (OSError, ValueError, KeyError):
            continue  # gone
        try:
            if str(codex_home(sandbox)).encode() in Path("/proc/%d/cmdline" % pid).read_bytes():
                signal.pidfd_send_signal(pidfd, signal.SIGTERM)
                if not select.select([pidfd], [], [], 10)[0]:
                    signal.pidfd_send_signal(pidfd, signal.SIGKILL)
        except OSError:
            pass  # gone
        finally:
            os.close(pidfd)
    for link in (codex_home(sandbox) / "app-server-control" / "app-server-control.sock",
                 folder / "daemon-updater.sock"):
        try:
            target = os.readlink(link)
        except OSError:
            continue
        for path in (target, target + ".lock"):
            try:
                os.unlink(path)
            except OSError:
                pass


CODEX = PinnedAgent(
    raw="codex", name="Codex CLI", folder="codex", binary="codex", home_files={},
    environment=lambda standin: {}, ready_text="? for shortcuts",
    one_shot=lambda prompt: ["exec", prompt], prepare=write_codex_config, clean_up=stop_codex_daemon)


# --- desktop services on private buses -----------------------------------------------

class BusTestCase:
    """Mixin for dbusmock.DBusTestCase: private system and session buses for
    the class; start_mocks() adds logind, upower and a notification daemon."""

    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.start_session_bus()

    @classmethod
    def tearDownClass(cls):
        import dbusmock
        datadir = dbusmock.DBusTestCase._DBusTestCase__datadir
        super().tearDownClass()
        # The buses' configuration folder is the class's to remove.
        if datadir:
            shutil.rmtree(datadir, ignore_errors=True)
            dbusmock.DBusTestCase._DBusTestCase__datadir = None

    def start_mocks(self, on_battery=False, battery_percent=80.0):
        mocks = []
        for template in ("logind", "upower", "notification_daemon"):
            process, mock = self.spawn_server_template(template, {}, stdout=subprocess.DEVNULL)
            self.addCleanup(stop, process)
            mocks.append(mock)
        self.logind_mock, self.upower_mock, self.notifications_mock = mocks
        self.set_battery(on_battery, battery_percent)

    def set_battery(self, on_battery, percent):
        """upower's display device: a discharging battery at `percent`, or a charging one."""
        import dbus
        import dbusmock
        self.upower_mock.Set("org.freedesktop.UPower", "OnBattery", on_battery, dbus_interface=dbus.PROPERTIES_IFACE)
        self.upower_mock.SetupDisplayDevice(
            dbus.UInt32(2), dbus.UInt32(2 if on_battery else 1), percent, 5.0, 50.0, 5.0,
            dbus.Int64(600 if on_battery else 0), dbus.Int64(0), True,
            "battery-low" if on_battery else "battery", dbus.UInt32(3 if on_battery else 1),
            dbus_interface=dbusmock.MOCK_IFACE)

    def inhibitors(self):
        """Lullwatch's entries in logind's ListInhibitors: (what, who, why, mode, uid, pid)."""
        return [tuple(entry) for entry in self.logind_mock.ListInhibitors(
            dbus_interface="org.freedesktop.login1.Manager") if entry[1] == "Lullwatch"]

    def notification_calls(self, method):
        import dbusmock
        return [call for call in self.notifications_mock.GetCalls(dbus_interface=dbusmock.MOCK_IFACE)
                if call[1] == method]

    def wait_notified(self):
        """(summary, body) of each Notify, once there is one."""
        calls = wait_until(lambda: self.notification_calls("Notify"), DEADLINE, "Notify")
        return [(str(call[2][3]), str(call[2][4])) for call in calls]

    def assert_withdrawn(self):
        """The notification is withdrawn, and was shown just once."""
        wait_until(lambda: self.notification_calls("CloseNotification"), DEADLINE, "CloseNotification")
        self.assertEqual(len(self.notification_calls("Notify")), 1)


class Portal:
    """A stand-in of the desktop portal's Settings: the colour scheme, read
    with ReadOne and announced with SettingChanged."""

    NAME, PATH, INTERFACE = "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", \
        "org.freedesktop.portal.Settings"

    def __init__(self, dark):
        import dbusmock
        self.process = dbusmock.DBusTestCase.spawn_server(self.NAME, self.PATH, self.INTERFACE,
                                                          stdout=subprocess.DEVNULL)
        self.mock = dbusmock.DBusTestCase.get_dbus(False).get_object(self.NAME, self.PATH)
        self.set_dark(dark)

    def set_dark(self, dark):
        import dbus
        import dbusmock
        scheme = 1 if dark else 2
        self.mock.AddMethod(self.INTERFACE, "ReadOne", "ss", "v", "ret = dbus.UInt32(%d)" % scheme,
                            dbus_interface=dbusmock.MOCK_IFACE)
        self.mock.EmitSignal(self.INTERFACE, "SettingChanged", "ssv",
                             ["org.freedesktop.appearance", "color-scheme", dbus.UInt32(scheme, variant_level=1)],
                             dbus_interface=dbusmock.MOCK_IFACE)

    def close(self):
        stop(self.process)


# --- X displays -----------------------------------------------------------------------

def start_xvfb():
    """An X server of its own on a free display: (process, display)."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                               "-nolisten", "tcp"], pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as numbers:
        number = numbers.readline().strip()
    if not number:
        stop(server)
        raise RuntimeError("Xvfb did not start")
    return server, ":" + number.decode()


def root_property(display, name):
    return subprocess.run(["xprop", "-display", display, "-root", name], capture_output=True, text=True).stdout


def start_openbox(display, start):
    """Openbox, started by start(COMMAND), managing the display's windows."""
    start(["openbox", "--sm-disable"])
    wait_until(lambda: "window id" in root_property(display, "_NET_SUPPORTING_WM_CHECK"), DEADLINE,
               "Openbox managing the display")


def window(display, name, *options):
    """xwininfo's report on the window of that name, "" when there is none."""
    return subprocess.run(["xwininfo", "-display", display, "-name", name, *options], capture_output=True,
                          text=True).stdout


class Screenshot:
    """The X display's picture, through xwd: TrueColor pixels of whole
    bytes, 8 bits a colour, as Xvfb's are."""

    def __init__(self, display):
        data = subprocess.run(["xwd", "-display", display, "-root", "-silent"], capture_output=True,
                              check=True, timeout=30).stdout
        header = struct.unpack(">25I", data[:100])
        if header[11] % 8 or header[14:17] != (0xff0000, 0xff00, 0xff):
            raise RuntimeError("xwd gave %d-bit pixels with masks %r" % (header[11], header[14:17]))
        self.width, self.height, self._stride, self._size = header[4], header[5], header[12], header[11] // 8
        self._order = "little" if header[7] == 0 else "big"
        self.pixels = data[header[0] + 12 * header[19]:]

    def rgb(self, x, y):
        offset = y * self._stride + self._size * x
        value = int.from_bytes(self.pixels[offset:offset + self._size], self._order)
        return (value >> 16) & 0xff, (value >> 8) & 0xff, value & 0xff


def luminance(pixels):
    """The mean relative luminance (0 black to 1 white) of (r, g, b) pixels."""
    return sum(0.2126 * r + 0.7152 * g + 0.0722 * b for r, g, b in pixels) / 255 / max(1, len(pixels))


# One panel along the top of the screen: an expanding gap, then the status
# tray with square items at its right end.
XFCE_PANEL_SIZE = 32
XFCE_PANEL_CHANNEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value="false"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="%d"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/><value type="int" value="2"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
""" % XFCE_PANEL_SIZE
XFCONFD = "/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd"
WATCHER = ("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher")


class XfcePanel:
    """Openbox and xfce4-panel on an X display, the panel configured as
    above through an xfconf daemon of its own on the session bus; its status
    tray is the StatusNotifierWatcher and hosts the items. `scale`: GDK_SCALE."""

    def __init__(self, folder, display, scale=1):
        import dbus
        self.display, self.scale, self.processes = display, scale, []
        self.bus = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
        home = Path(folder) / "xfce"
        channel = home / "config" / "xfce4" / "xfconf" / "xfce-perchannel-xml"
        channel.mkdir(parents=True)
        (channel / "xfce4-panel.xml").write_text(XFCE_PANEL_CHANNEL, encoding="utf-8")
        self.environment = {"HOME": str(home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": display,
                            "XDG_CONFIG_HOME": str(home / "config"), "XDG_CONFIG_DIRS": str(home / "config"),
                            "XDG_CACHE_HOME": str(home / "cache"), "GDK_SCALE": str(scale), "NO_AT_BRIDGE": "1",
                            "DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"]}
        try:
            start_openbox(display, self._start)
            self._start([XFCONFD])
            wait_until(lambda: self.bus.name_has_owner("org.xfce.Xfconf"), DEADLINE, "xfconfd on the bus")
            self._start(["xfce4-panel"])
            wait_until(lambda: self.watcher("IsStatusNotifierHostRegistered"), DEADLINE, "the panel's status tray")
        except BaseException:
            self.close()
            raise

    def _start(self, command):
        self.processes.append(subprocess.Popen(command, env=self.environment, stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                               start_new_session=True))

    def watcher(self, name):
        """A property of the panel's StatusNotifierWatcher, None while it is not there."""
        import dbus
        if not self.bus.name_has_owner(WATCHER[0]):
            return None
        return self.bus.get_object(*WATCHER).Get(WATCHER[0], name, dbus_interface=dbus.PROPERTIES_IFACE)

    def set_dark(self, dark):
        """The panel's own dark mode (xfconf's /panels/dark-mode)."""
        import dbus
        self.bus.get_object("org.xfce.Xfconf", "/org/xfce/Xfconf").SetProperty(
            "xfce4-panel", "/panels/dark-mode", dbus.Boolean(dark), dbus_interface="org.xfce.Xfconf")

    def strip(self):
        """The panel's strip on the screen: (its colour, {(x, y): (r, g, b)}
        of its pixels of another colour, the tray's icons)."""
        shot = Screenshot(self.display)
        rows = range(self.scale, (XFCE_PANEL_SIZE - 1) * self.scale)
        background = collections.Counter(shot.rgb(x, y) for y in rows for x in range(0, shot.width, 7)).most_common(1)
        background = background[0][0]
        return background, {(x, y): pixel for y in rows for x in range(shot.width)
                            if (pixel := shot.rgb(x, y)) != background}

    def close(self):
        for process in reversed(self.processes):
            stop(process)
        self.bus.close()
