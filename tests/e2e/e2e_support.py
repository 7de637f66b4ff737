"""Support for the end-to-end tests: Lullwatch in a folder of the test's own;
the real agents of AGENTS in a sandbox with the stand-in of their model API
(docs/agents/); mock desktop services on private buses; X servers, a panel."""

import collections
import contextlib
import dataclasses
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
import urllib.request
from pathlib import Path

import dbus
import dbusmock

sys.dont_write_bytecode = True

E2E_DIR = Path(__file__).resolve().parent
TESTS_DIR = E2E_DIR.parent
LULLWATCH = Path(os.environ.get("LULLWATCH_BINARY_DIR", "")) / "lullwatch"
DEADLINE = 30.0
PATH = os.environ.get("PATH", "/usr/bin:/bin")


def wait_until(predicate, what, timeout=DEADLINE, show=None):
    """predicate()'s first truthy result; past the deadline fails naming `what` and what show() tells."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()):
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.0f s waiting for %s%s"
                                 % (timeout, what, "; " + show() if show else ""))
        time.sleep(0.05)
    return result


def spawn(command, environment):
    return subprocess.Popen(command, env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def has_exited(process):
    """Whether it has ended, not reaped: until then its pid and group id cannot be reused."""
    try:
        return process.returncode is not None or os.waitid(
            os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


def end(process, grace=10.0):
    """Ends a process of ours and the rest of the group it leads, reaps it, closes its pipes."""
    if process.returncode is None:
        group = os.getpgid(process.pid) == process.pid
        for number in (signal.SIGTERM, signal.SIGKILL):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, number) if group else process.send_signal(number)
            with contextlib.suppress(AssertionError):
                wait_until(lambda: has_exited(process), "its end", grace)
        process.wait()
    for stream in filter(None, (process.stdin, process.stdout, process.stderr)):
        stream.close()


class Lullwatch(subprocess.Popen):
    """`lullwatch ARGUMENTS` in a group of its own, its output lines read as they come."""

    def __init__(self, arguments, environment, stderr_path):
        self.stderr_path = Path(stderr_path)
        with open(stderr_path, "wb") as stderr:
            super().__init__([str(LULLWATCH), *arguments], env=environment, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=stderr, start_new_session=True)
        os.set_blocking(self.stdout.fileno(), False)
        self.lines, self._pending = [], b""

    def read(self):
        while chunk := self.stdout.read():
            self._pending += chunk
        *complete, self._pending = self._pending.split(b"\n")
        self.lines.extend(line.decode("utf-8") for line in complete)
        return self.lines

    def wait_last_line(self, expected, timeout=DEADLINE):
        wait_until(lambda: self.read()[-1:] == [expected], "the line %r" % expected, timeout,
                   lambda: "lines so far: %r" % self.lines)

    def stderr_text(self):
        return self.stderr_path.read_text(encoding="utf-8", errors="replace")


class Tmux:
    """A tmux server on a socket in `folder`, which keeps the environment it started with."""

    def __init__(self, folder, environment):
        self.socket = str(Path(folder) / "tmux.sock")
        self.environment = dict(environment, TERM="xterm-256color")
        self.processes = []  # (pid, pidfd) of the server and of each pane's first process

    def command(self, *arguments):
        return ["tmux", "-S", self.socket, "-f", "/dev/null", *arguments]

    def run(self, *arguments, check=True):
        return subprocess.run(self.command(*arguments), env=self.environment, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=30, check=check).stdout.strip()

    def new_session(self, name, cwd, command):
        """Runs COMMAND, a list, in a detached 200x50 session; returns its pid."""
        self.run("new-session", "-d", "-s", name, "-x", "200", "-y", "50", "-c", str(cwd), "--", *command)
        for pid_format in ("#{pid}",) * (not self.processes) + ("#{pane_pid}",):
            pid = int(self.run("display-message", "-p", "-t", name, pid_format))
            self.processes.append((pid, os.pidfd_open(pid)))
        return pid

    def close(self):
        """Ends the server, then each process group (the server's, each pane's) whose leader outlives it."""
        def ended(pidfd):
            return select.select([pidfd], [], [], 0)[0]
        with contextlib.suppress(AssertionError, subprocess.TimeoutExpired):
            self.run("kill-server", check=False)
            wait_until(lambda: all(ended(pidfd) for _, pidfd in self.processes), "tmux's end", 10)
        for pid, pidfd in self.processes:
            with contextlib.suppress(ProcessLookupError):
                ended(pidfd) or os.killpg(pid, signal.SIGKILL)
            os.close(pidfd)
        self.processes = []


class LullwatchSide:
    """Lullwatch in the HOME `home` with the TMPDIR `tmp`, its runtime folder in `root`."""

    def set_up_lullwatch(self):
        self.sessions = self.home / ".local" / "share" / "lullwatch" / "sessions"
        (self.root / "run").mkdir(mode=0o700)
        self.lullwatches = []

    def lullwatch_environment(self):
        passed = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "DBUS_SESSION_BUS_ADDRESS",
                  "DBUS_SYSTEM_BUS_ADDRESS")
        return dict({name: os.environ[name] for name in passed if name in os.environ}, HOME=str(self.home),
                    PATH=PATH, TMPDIR=str(self.tmp), XDG_RUNTIME_DIR=str(self.root / "run"))

    def lullwatch(self, *arguments):
        """What `lullwatch ARGUMENTS` writes to its standard output, once it has exited with 0."""
        result = subprocess.run([str(LULLWATCH), *arguments], env=self.lullwatch_environment(),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, (arguments, result.returncode, result.stderr)
        return result.stdout

    def start_lullwatch(self, arguments=("--headless",), environment=None):
        process = Lullwatch(arguments, environment or self.lullwatch_environment(),
                            self.root / ("lullwatch-%d.stderr" % len(self.lullwatches)))
        self.lullwatches.append(process)
        return process

    def listed(self, session_id):
        """This session's element of `lullwatch status --json`, or None."""
        return next((s for s in json.loads(self.lullwatch("status", "--json")) if s["id"] == session_id), None)

    def records(self):
        """The records on disk (one replaced as it is read left out)."""
        found = []
        for path in self.sessions.glob("*.json"):
            with contextlib.suppress(FileNotFoundError, ValueError):
                found.append(json.loads(path.read_text(encoding="utf-8")))
        return found

    def wait_record(self, predicate, what, session_id=None):
        return wait_until(lambda: next((r for r in self.records()
                                        if session_id in (None, r.get("sessionId")) and predicate(r)), None),
                          what, show=lambda: "records: %r" % self.records())


class StandIn:
    """standin_api.py serving `replies` (see docs/agents/standin-api.md)."""

    def __init__(self, folder, replies):
        script, self.log_path = folder / "standin-script.json", folder / "standin-log.jsonl"
        script.write_text(json.dumps(replies), encoding="utf-8")
        self.process = subprocess.Popen([sys.executable, str(TESTS_DIR / "agent" / "standin_api.py"), str(script),
                                         str(self.log_path)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        start_new_session=True)
        self.base_url = "http://127.0.0.1:%d" % int(self.process.stdout.readline())

    def log(self):
        return [json.loads(line) for line in self.log_path.read_bytes().splitlines(True) if line.endswith(b"\n")]

    def served(self):
        """{reply id: the model it was asked for} of the scripted replies served so far, in order."""
        return {r["reply_id"]: r["model"] for r in self.log() if r.get("script_index") is not None}

    def wait(self, event, reply_id):
        wait_until(lambda: any(r["event"] == event and r["reply_id"] == reply_id for r in self.log()),
                   "the stand-in's %s of %s" % (event, reply_id))

    def release(self, reply_id):
        request = urllib.request.Request(self.base_url + "/test/release", data=json.dumps({"id": reply_id}).encode())
        urllib.request.urlopen(request, timeout=10).close()


@dataclasses.dataclass
class Agent:
    """An agent's CLI, which install_pinned.sh puts into `folder`/node_modules."""
    key: str
    name: str  # as `lullwatch hooks` and the status line name it; the notification, by its first word
    folder: Path
    home: object  # home(box): the JSON files it needs in HOME
    environment: object  # environment(box): what points it at the stand-in
    one_shot: object  # one_shot(prompt): the arguments of a run of one prompt
    read: object = None  # read(path): the tool call that reads a file, if one_shot may make it
    interactive: list = None  # the arguments of a session in a terminal
    ready: str = "Type your message"  # what its screen shows once it takes input
    ask: str = "Allow execution of"  # and when shell(command) waits for approval
    shell: object = lambda command: ("run_shell_command", {"command": command, "description": "Write a file"})
    waiting: dict = dataclasses.field(default_factory=lambda: {"event": "Notification",
                                                               "notification_type": "permission_prompt"})
    turn_end: dict = dataclasses.field(default_factory=lambda: {"event": "Stop"})  # the record at the end of a turn
    session_at_start: bool = True  # the SessionStart hook runs before the first prompt
    cache_writes: int = 0  # the cache-write tokens its API reports
    counts_tokens: bool = True
    quit_deadline: float = DEADLINE
    prepare: object = None  # called with the sandbox before its hooks are installed
    approve: object = None  # connects hooks that wait for the user's approval
    clean_up: object = None  # called at close, once the agent's processes have ended


def write_codex_config(box):
    """The stand-in as the model provider, with no retries; the working folder, a git repository, trusted."""
    subprocess.run(["git", "init", "-q", str(box.work)], check=True, capture_output=True, timeout=30)
    (box.home / ".codex").mkdir()
    toml_string = json.dumps  # a TOML basic string reads as JSON writes one
    (box.home / ".codex" / "config.toml").write_text(
        "model = \"codex-standin\"\nmodel_provider = \"standin\"\ncheck_for_update_on_startup = false\n\n"
        "[model_providers.standin]\nname = \"Stand-in\"\nbase_url = %s\nwire_api = \"responses\"\n"
        "request_max_retries = 0\nstream_max_retries = 0\n\n[projects.%s]\ntrust_level = \"trusted\"\n"
        % (toml_string(box.standin.base_url + "/v1"), toml_string(str(box.work))), encoding="utf-8")


def trust_codex_hooks(box):
    """Trusts the hooks as Codex's /hooks review does."""
    records = subprocess.run([sys.executable, str(TESTS_DIR / "tools" / "codex_trust.py"),
                              str(box.home / ".codex" / "hooks.json"), "-"], check=True, capture_output=True).stdout
    with open(box.home / ".codex" / "config.toml", "ab") as config:
        config.write(records)


def remove_codex_sockets(box):
    """Removes the sockets of the app-server daemon that interactive Codex starts."""
    for link in (box.home / ".codex/app-server-control/app-server-control.sock",
                 box.home / ".codex/app-server-daemon/daemon-updater.sock"):
        if link.is_symlink():
            for leftover in (os.readlink(link), os.readlink(link) + ".lock"):
                Path(leftover).unlink(missing_ok=True)


API_KEY = "sk-ant-lullwatch-t01"  # ~/.claude.json approves a key by its last 20 characters: all of this one
AGENTS = {agent.key: agent for agent in (
    Agent("claude", "Claude Code", TESTS_DIR / "agent",
          home=lambda box: {".claude.json": {
              "hasCompletedOnboarding": True, "customApiKeyResponses": {"approved": [API_KEY[-20:]], "rejected": []},
              "projects": {str(box.work): {"hasTrustDialogAccepted": True}}}},
          environment=lambda box: {"ANTHROPIC_BASE_URL": box.standin.base_url, "ANTHROPIC_API_KEY": API_KEY,
                                   "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC": "1"},
          one_shot=lambda prompt: ["-p", prompt, "--allowedTools", "Read"],
          read=lambda path: ("Read", {"file_path": str(path)}), interactive=["--permission-mode", "default"],
          ready="? for shortcuts", ask="Do you want to proceed?",
          shell=lambda command: ("Bash", {"command": command, "description": "Write a file"}), cache_writes=64),
    # Copilot CLI through its own-model provider settings, offline, its
    # runtime unpacked once beside the package by install_pinned.sh.
    Agent("copilot", "Copilot CLI", E2E_DIR / "copilot", home=lambda box: {},
          environment=lambda box: {
              "XDG_CACHE_HOME": str(E2E_DIR / "copilot" / "node_modules" / ".cache"), "COPILOT_OFFLINE": "true",
              "COPILOT_AUTO_UPDATE": "false", "COPILOT_PROVIDER_TYPE": "anthropic",
              "COPILOT_PROVIDER_BASE_URL": box.standin.base_url, "COPILOT_PROVIDER_API_KEY": API_KEY,
              "COPILOT_MODEL": "claude-standin-copilot"},
          one_shot=lambda prompt: ["-p", prompt, "--allow-all-tools"], counts_tokens=False),
    Agent("qwen", "Qwen Code", E2E_DIR / "qwen",
          home=lambda box: {".qwen/settings.json": {
              "security": {"auth": {"selectedType": "openai"}},
              "general": {"enableAutoUpdate": False, "disableAutoUpdate": True},
              "privacy": {"usageStatisticsEnabled": False}, "memory": {"enableManagedAutoMemory": False},
              "model": {"name": "qwen-standin"}}},
          environment=lambda box: {"OPENAI_API_KEY": "sk-lullwatch-t01", "OPENAI_MODEL": "qwen-standin",
                                   "OPENAI_BASE_URL": box.standin.base_url + "/v1"},
          one_shot=lambda prompt: ["-p", prompt, "--approval-mode", "yolo"],
          read=lambda path: ("read_file", {"file_path": str(path)}), interactive=["--approval-mode", "default"],
          turn_end={"notification_type": "idle_prompt"}),  # after Stop, and asking nothing of the user
    Agent("gemini", "Gemini CLI", E2E_DIR / "gemini",
          home=lambda box: {".gemini/settings.json": {
              "security": {"auth": {"selectedType": "gemini-api-key"}},
              "general": {"enableAutoUpdate": False, "enableAutoUpdateNotification": False},
              "privacy": {"usageStatisticsEnabled": False}, "telemetry": {"enabled": False},
              "tools": {"useRipgrep": False}},
              ".gemini/trustedFolders.json": {str(box.work): "TRUST_FOLDER"}},
          environment=lambda box: {"GEMINI_API_KEY": "lullwatch-t01", "GOOGLE_GEMINI_BASE_URL": box.standin.base_url},
          one_shot=lambda prompt: ["-p", prompt, "--approval-mode", "yolo"],
          read=lambda path: ("read_file", {"file_path": str(path)}), interactive=["--approval-mode", "default"],
          waiting={"event": "Notification", "notification_type": "ToolPermission"}, turn_end={"event": "AfterAgent"}),
    # Lullwatch sees the session's process go at /quit; SessionEnd, the
    # fallback, comes about a minute later, when the daemon lets it go.
    Agent("codex", "Codex CLI", E2E_DIR / "codex", home=lambda box: {}, environment=lambda box: {},
          one_shot=lambda prompt: ["exec", prompt], read=lambda path: ("exec_command", {"cmd": "cat " + str(path)}),
          interactive=[], ready="? for shortcuts", ask="Would you like to run the following command?",
          shell=lambda command: ("exec_command", {"cmd": command, "sandbox_permissions": "require_escalated",
                                                  "justification": "Write the file?"}),
          waiting={"event": "PermissionRequest"}, session_at_start=False, cache_writes=64, quit_deadline=100.0,
          prepare=write_codex_config, approve=trust_codex_hooks, clean_up=remove_codex_sockets),
)}


class Sandbox(LullwatchSide):
    """A temporary HOME, working folder and TMPDIR for `agent`, with the stand-in and Lullwatch's hooks;
    closing it ends every process started there, and what the agent leaves running."""

    def __init__(self, agent):
        self.agent, self.processes, self.tmux, self.standin = agent, [], None, None
        self.binary = str(agent.folder / "node_modules" / ".bin" / agent.key)
        # realpath: agents name their project folders after the resolved cwd.
        self.root = Path(os.path.realpath(tempfile.mkdtemp(prefix="lullwatch-e2e-%s-" % agent.key)))
        self.home, self.work, self.tmp = (self.root / name for name in ("home", "work", "tmp"))
        for folder in (self.home, self.work, self.tmp, self.root / "copilot-home"):
            folder.mkdir()
        self.set_up_lullwatch()

    def start(self, replies):
        """Starts the stand-in with `replies`, writes the agent's files and connects Lullwatch's hooks."""
        self.standin = StandIn(self.root, replies)
        for relative, value in self.agent.home(self).items():
            (self.home / relative).parent.mkdir(parents=True, exist_ok=True)
            (self.home / relative).write_text(json.dumps(value), encoding="utf-8")
        if self.agent.prepare:
            self.agent.prepare(self)
        said = self.lullwatch("hooks", "install", "--agent", self.agent.key).splitlines()
        if self.agent.approve:
            assert said[:1] == [self.agent.name + " waiting for approval"], said
            self.agent.approve(self)
            said = self.lullwatch("hooks", "status", "--agent", self.agent.key).splitlines()
        assert said[:1] == [self.agent.name + " connected"], said

    def lullwatch_environment(self):
        return dict(super().lullwatch_environment(), COPILOT_HOME=str(self.root / "copilot-home"))

    def environment(self):
        """The agent's whole environment: nothing leaks in from the test's."""
        return dict(HOME=str(self.home), PATH=PATH, TMPDIR=str(self.tmp), NO_PROXY="127.0.0.1",
                    COPILOT_HOME=str(self.root / "copilot-home"), **self.agent.environment(self))

    def start_print(self, prompt):
        with open(self.root / "out.txt", "wb") as out, open(self.root / "err.txt", "wb") as err:
            self.processes.append(subprocess.Popen(
                [self.binary, *self.agent.one_shot(prompt)], cwd=self.work, env=self.environment(),
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, start_new_session=True))
        return self.processes[-1]

    def start_interactive(self):
        """The agent's pid in a tmux session, once it takes input (and has a record, if it writes one then)."""
        self.tmux = Tmux(self.root, self.environment())
        pid = self.tmux.new_session("agent", self.work, [self.binary, *self.agent.interactive])
        if self.agent.session_at_start:
            self.wait_record(lambda r: True, "the session's record")
        self.wait_screen(self.agent.ready)
        return pid

    def wait_screen(self, text):
        def screen():
            return self.tmux.run("capture-pane", "-p", "-t", "agent", check=False)
        wait_until(lambda: text in screen(), "%r on the screen" % text, show=lambda: "the screen:\n" + screen())

    def press(self, *keys):
        self.tmux.run("send-keys", "-t", "agent", *keys)

    def submit(self, text):
        self.press("-l", text)
        self.wait_screen(text)
        self.press("Enter")

    def close(self):
        for process in self.lullwatches:
            end(process)
        if self.tmux is not None:
            self.tmux.close()
        for process in self.processes + ([self.standin.process] if self.standin else []):
            end(process)
        # What the agent left running, such as Codex's daemon.
        for pid in (int(name) for name in os.listdir("/proc") if name.isdigit()):
            with contextlib.suppress(OSError), os.fdopen(os.pidfd_open(pid)) as pidfd:
                if str(self.root).encode() in Path("/proc/%d/cmdline" % pid).read_bytes():
                    signal.pidfd_send_signal(pidfd.fileno(), signal.SIGKILL)
        if self.agent.clean_up:
            self.agent.clean_up(self)
        shutil.rmtree(self.root, ignore_errors=True)


class BusTestCase:
    """Mixin for dbusmock.DBusTestCase: private buses; start_mocks() adds logind, upower, notifications."""

    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.start_session_bus()

    @classmethod
    def tearDownClass(cls):  # dbusmock's own leaves its data folder behind
        datadir = dbusmock.DBusTestCase._DBusTestCase__datadir
        super().tearDownClass()
        if datadir:
            shutil.rmtree(datadir, ignore_errors=True)
            dbusmock.DBusTestCase._DBusTestCase__datadir = None

    def start_mocks(self):
        for template in ("logind", "upower", "notification_daemon"):
            process, mock = self.spawn_server_template(template, {}, stdout=subprocess.DEVNULL)
            self.addCleanup(end, process)
            setattr(self, template.partition("_")[0] + "_mock", mock)
        self.set_battery(False, 80.0)

    def set_battery(self, on_battery, percent):
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
        return [call for call in self.notification_mock.GetCalls(dbus_interface=dbusmock.MOCK_IFACE)
                if call[1] == method]

    def wait_notified(self):
        """(summary, body) of each Notify, once there is one."""
        return [(str(c[2][3]), str(c[2][4])) for c in wait_until(lambda: self.notification_calls("Notify"), "Notify")]


class Portal:
    """The desktop portal's Settings: the colour scheme, read with ReadOne, announced with SettingChanged."""

    NAME, PATH, INTERFACE = "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", \
        "org.freedesktop.portal.Settings"

    def __init__(self, dark):
        self.process = dbusmock.DBusTestCase.spawn_server(self.NAME, self.PATH, self.INTERFACE,
                                                          stdout=subprocess.DEVNULL)
        self.mock = dbusmock.DBusTestCase.get_dbus(False).get_object(self.NAME, self.PATH)
        self.set_dark(dark)

    def set_dark(self, dark):
        scheme = 1 if dark else 2
        self.mock.AddMethod(self.INTERFACE, "ReadOne", "ss", "v", "ret = dbus.UInt32(%d)" % scheme,
                            dbus_interface=dbusmock.MOCK_IFACE)
        self.mock.EmitSignal(self.INTERFACE, "SettingChanged", "ssv",
                             ["org.freedesktop.appearance", "color-scheme", dbus.UInt32(scheme, variant_level=1)],
                             dbus_interface=dbusmock.MOCK_IFACE)

    def close(self):
        end(self.process)


def start_xvfb():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                               "-nolisten", "tcp"], pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as numbers:
        return server, ":" + numbers.readline().strip().decode()


def root_property(display, name):
    return subprocess.run(["xprop", "-display", display, "-root", name], capture_output=True, text=True).stdout


def start_openbox(display, start):
    """Openbox, started by start(COMMAND), managing the display's windows."""
    start(["openbox", "--sm-disable"])
    wait_until(lambda: "window id" in root_property(display, "_NET_SUPPORTING_WM_CHECK"),
               "Openbox managing the display", 2 * DEADLINE)


def window(display, name, *options):
    return subprocess.run(["xwininfo", "-display", display, "-name", name, *options], capture_output=True,
                          text=True).stdout


class Screenshot:
    """The X display's picture, through xwd: TrueColor pixels of whole bytes, as Xvfb's are."""

    def __init__(self, display):
        data = subprocess.run(["xwd", "-display", display, "-root", "-silent"], capture_output=True,
                              check=True, timeout=30).stdout
        header = struct.unpack(">25I", data[:100])
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


XFCE_PANEL_SIZE = 32  # as xfce4-panel.xml sets it


class XfcePanel:
    """Openbox and xfce4-panel (as xfce4-panel.xml sets it: along the top, the
    status tray at its right end, the StatusNotifierWatcher) with an xfconf daemon of its own."""

    def __init__(self, folder, display, scale=1):
        self.display, self.scale, self.processes = display, scale, []
        self.bus = dbus.bus.BusConnection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
        home = Path(folder) / "xfce"
        (home / "config/xfce4/xfconf/xfce-perchannel-xml").mkdir(parents=True)
        shutil.copy(E2E_DIR / "xfce4-panel.xml", home / "config/xfce4/xfconf/xfce-perchannel-xml")
        environment = {"HOME": str(home), "PATH": PATH, "DISPLAY": display, "XDG_CONFIG_HOME": str(home / "config"),
                       "XDG_CONFIG_DIRS": str(home / "config"), "XDG_CACHE_HOME": str(home / "cache"),
                       "GDK_SCALE": str(scale), "NO_AT_BRIDGE": "1",
                       "DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"]}
        def start(command):
            self.processes.append(spawn(command, environment))
        try:
            start_openbox(display, start)
            start(["/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd"])
            wait_until(lambda: self.bus.name_has_owner("org.xfce.Xfconf"), "xfconfd on the bus")
            start(["xfce4-panel"])
            wait_until(lambda: self.watcher("IsStatusNotifierHostRegistered"), "the panel's status tray")
        except BaseException:
            self.close()
            raise

    def watcher(self, name):
        if self.bus.name_has_owner("org.kde.StatusNotifierWatcher"):
            return self.bus.get_object("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher").Get(
                "org.kde.StatusNotifierWatcher", name, dbus_interface=dbus.PROPERTIES_IFACE)

    def set_dark(self, dark):
        self.bus.get_object("org.xfce.Xfconf", "/org/xfce/Xfconf").SetProperty(
            "xfce4-panel", "/panels/dark-mode", dbus.Boolean(dark), dbus_interface="org.xfce.Xfconf")

    def strip(self):
        """(the panel's colour, {(x, y): (r, g, b)} of its pixels of another colour: the tray's icons)."""
        shot = Screenshot(self.display)
        rows = range(self.scale, (XFCE_PANEL_SIZE - 1) * self.scale)
        background = collections.Counter(shot.rgb(x, y) for y in rows for x in range(0, shot.width, 7))
        background = background.most_common(1)[0][0]
        return background, {(x, y): pixel for y in rows for x in range(shot.width)
                            if (pixel := shot.rgb(x, y)) != background}

    def close(self):
        for process in reversed(self.processes):
            end(process)
        self.bus.close()
