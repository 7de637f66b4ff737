"""Support for the end-to-end tests: the real Claude Code CLI, with the hooks
that `lullwatch hooks install` connects, seen through Lullwatch itself.

An E2ESandbox is an agent sandbox (tests/agent/harness.py: a temporary HOME
seeded so the CLI starts without questions, a stand-in of the model API)
plus what these tests need around it:

- `lullwatch` commands run against the sandbox's HOME (lullwatch(),
  status_json(), records());
- interactive agents in a tmux server of the sandbox's own
  (start_interactive(): `tmux -L` with TMUX_TMPDIR inside the sandbox, so no
  other tmux server is ever touched), typed into with send-keys and read with
  capture-pane;
- `lullwatch --headless` (start_headless()), whose lines are read as they
  come.

Closing the sandbox ends, in this order, the headless application, the tmux
server with every agent in it, the print-mode agents and the stand-in, and
then removes the folder, also when a test failed. BusTestCase adds private
system and session buses for the tests that watch Lullwatch's D-Bus calls.
"""

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
from datetime import datetime
from pathlib import Path

sys.dont_write_bytecode = True

E2E_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(E2E_DIR.parent / "agent"))

import harness  # noqa: E402
from harness import text_reply, tool_reply, wait_until  # noqa: E402,F401

DEADLINE = 30.0
# Claude Code raises its permission_prompt notification a few seconds after
# the prompt appears.
NOTIFICATION_DEADLINE = 45.0

# Sanitizer settings that ctest's asan preset hands to the tests go on to the
# lullwatch processes too.
PASSED_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")

USAGE_MEMBERS = (
    ("inputTokens", "input_tokens"),
    ("outputTokens", "output_tokens"),
    ("cacheCreationTokens", "cache_creation_input_tokens"),
    ("cacheReadTokens", "cache_read_input_tokens"),
)

INTERRUPT_MARKER = "[Request interrupted by user"


def lullwatch_binary():
    folder = os.environ.get("LULLWATCH_BINARY_DIR")
    if not folder:
        raise RuntimeError("LULLWATCH_BINARY_DIR must name the folder of the lullwatch binary")
    binary = Path(folder) / "lullwatch"
    if not os.access(binary, os.X_OK):
        raise RuntimeError("%s is not an executable" % binary)
    return binary


# --- expectations from what the stand-in served -------------------------------------

def usage(input_tokens, output_tokens, cache_creation, cache_read):
    return {"input_tokens": input_tokens, "output_tokens": output_tokens,
            "cache_creation_input_tokens": cache_creation, "cache_read_input_tokens": cache_read}


def served_usage(replies, served_ids, models=None):
    """The `usage` member `lullwatch status --json` should report for a
    transcript holding the replies with these ids (each id once, however many
    lines the agent split it into): sums over the messages, the context of the
    last one, the number of messages and the last one's model. A reply that
    names no model carries the one its request asked for: `models` maps its
    id to that (served_models())."""
    by_id = {reply["id"]: reply for reply in replies}
    messages = [by_id[reply_id] for reply_id in dict.fromkeys(served_ids)]
    if not messages:
        return {"inputTokens": 0, "outputTokens": 0, "cacheCreationTokens": 0,
                "cacheReadTokens": 0, "contextTokens": 0, "model": None, "turns": 0}
    expected = {member: sum(m["usage"][key] for m in messages) for member, key in USAGE_MEMBERS}
    last = messages[-1]
    expected["contextTokens"] = sum(last["usage"][key] for _, key in USAGE_MEMBERS)
    expected["model"] = last["model"] if "model" in last else models[last["id"]]
    expected["turns"] = len(messages)
    return expected


def served_models(standin):
    """The model each scripted reply was served under, by reply id, as the
    stand-in logged its requests."""
    return {r["reply_id"]: r["model"] for r in standin.requests("main") if r.get("script_index") is not None}


def context_tokens(reply):
    return sum(reply["usage"][key] for _, key in USAGE_MEMBERS)


def format_token_count(count):
    """The tray's short text for a count: plain up to 999, whole thousands
    with "k" below a million, millions with one decimal."""
    if count <= 999:
        return str(count)
    if count <= 999_999:
        return "%dk" % (count // 1000)
    return "%.1fM" % (count / 1_000_000)


def conversation_entries(transcript):
    """The transcript's user and assistant entries of the main conversation."""
    return [entry for entry in transcript
            if entry.get("type") in ("user", "assistant") and entry.get("isSidechain") is not True]


def is_interrupt(entry):
    if entry.get("type") != "user":
        return False
    if "interruptedMessageId" in entry:
        return True
    content = (entry.get("message") or {}).get("content")
    if isinstance(content, str):
        return INTERRUPT_MARKER in content
    if isinstance(content, list):
        return any(INTERRUPT_MARKER in part.get("text", "") for part in content if isinstance(part, dict))
    return False


def entry_time(entry):
    """Seconds since the epoch of an entry's ISO 8601 time stamp ("...Z")."""
    return datetime.fromisoformat(entry["timestamp"].replace("Z", "+00:00")).timestamp()


# --- processes ----------------------------------------------------------------------

def process_start_time(pid):
    """Field 22 of /proc/PID/stat, or None when there is no such process; a pid
    plus its start time names one process even if the pid is reused."""
    try:
        with open("/proc/%d/stat" % pid, encoding="utf-8", errors="replace") as f:
            stat = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return stat[stat.rindex(")") + 2:].split()[19]


def process_state(pid):
    """Field 3 of /proc/PID/stat ("Z" for a zombie), or None when there is no such process."""
    try:
        with open("/proc/%d/stat" % pid, encoding="utf-8", errors="replace") as f:
            stat = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return stat[stat.rindex(")") + 2:].split()[0]


def process_is(pid, start_time):
    return start_time is not None and process_start_time(pid) == start_time


def stop_popen(process, grace=10.0):
    """Ends a process of ours started with start_new_session=True, with its group."""
    if process is None or process.returncode is not None:
        return
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


# --- tmux -----------------------------------------------------------------------------

class Tmux:
    """A tmux server of one sandbox: `tmux -L NAME` with TMUX_TMPDIR in the
    sandbox's folder, so its socket is private to the test. The server starts
    with the first session and keeps the environment it was started with."""

    SOCKET = "lullwatch-e2e"

    def __init__(self, folder, environment):
        self.environment = dict(environment, TMUX_TMPDIR=str(folder), TERM="xterm-256color")
        self.environment.pop("TMUX", None)
        self.panes = []  # (pid, start time) of each pane's first process
        self.server = None  # (pid, start time)

    def run(self, *arguments, check=True):
        result = subprocess.run(["tmux", "-L", self.SOCKET, "-f", "/dev/null", *arguments],
                                env=self.environment, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=30)
        if check and result.returncode != 0:
            raise RuntimeError("tmux %s failed: %s" % (" ".join(arguments), result.stderr))
        return result.stdout

    def new_session(self, name, cwd, command):
        """Starts COMMAND (a list, run without a shell) in a detached 200x50
        session; returns the pid of the pane's process, the command itself."""
        self.run("new-session", "-d", "-s", name, "-x", "200", "-y", "50", "-c", str(cwd), "--", *command)
        if self.server is None:
            pid = int(self.run("display-message", "-p", "-t", name, "#{pid}").strip())
            self.server = (pid, process_start_time(pid))
        pid = int(self.run("display-message", "-p", "-t", name, "#{pane_pid}").strip())
        self.panes.append((pid, process_start_time(pid)))
        return pid

    def close(self):
        if self.server is None:
            return
        try:
            self.run("kill-server", check=False)
        except subprocess.TimeoutExpired:
            pass  # the signals below end what is left
        # Panes get SIGHUP from the server; each pane leads its own process
        # group (the agent with its hook shells and tools).
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and any(process_is(*p) for p in self.panes + [self.server]):
            time.sleep(0.05)
        for pid, start in self.panes:
            if process_is(pid, start):
                try:
                    os.killpg(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        if process_is(*self.server):
            os.kill(self.server[0], signal.SIGKILL)
        self.server = None


class InteractiveAgent:
    """One interactive Claude Code session in a tmux session."""

    def __init__(self, tmux, name, pid):
        self.tmux = tmux
        self.name = name
        self.pid = pid

    def screen(self):
        return self.tmux.run("capture-pane", "-p", "-t", self.name, check=False)

    def wait_screen(self, text, timeout=DEADLINE):
        try:
            return wait_until(lambda: text in self.screen(), timeout, "%r on the screen" % text)
        except TimeoutError as error:
            raise AssertionError("%s; the screen:\n%s" % (error, self.screen())) from None

    def press(self, *keys):
        self.tmux.run("send-keys", "-t", self.name, *keys)

    def type(self, text):
        self.tmux.run("send-keys", "-t", self.name, "-l", text)

    def submit(self, text):
        """Types a line and, once the screen shows it, presses Enter."""
        self.type(text)
        self.wait_screen(text)
        self.press("Enter")


# --- the headless application --------------------------------------------------------

class Headless:
    """`lullwatch --headless`, whose output lines are collected as they come."""

    def __init__(self, binary, environment, stderr_path):
        self._stderr = open(stderr_path, "wb")
        self.process = subprocess.Popen([str(binary), "--headless"], env=environment,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self._stderr, start_new_session=True)
        os.set_blocking(self.process.stdout.fileno(), False)
        self._pending = b""
        self.lines = []

    def read(self):
        while True:
            try:
                chunk = os.read(self.process.stdout.fileno(), 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            self._pending += chunk
        *complete, self._pending = self._pending.split(b"\n")
        self.lines.extend(line.decode("utf-8") for line in complete)
        return self.lines

    def last_line(self):
        lines = self.read()
        return lines[-1] if lines else None

    def wait_last_line(self, expected, timeout=DEADLINE):
        """Waits until the newest line is `expected` (a string) or satisfies
        it (a predicate), and returns that line."""
        check = expected if callable(expected) else (lambda line: line == expected)

        def found():
            line = self.last_line()
            return line if line is not None and check(line) else None
        try:
            return wait_until(found, timeout, "the headless line %r" % (expected,))
        except TimeoutError as error:
            raise AssertionError("%s; lines so far: %r" % (error, self.read())) from None

    def stop(self):
        if self.process is None:
            return
        stop_popen(self.process)
        self.process.stdout.close()
        self._stderr.close()
        self.process = None


# --- the sandbox ----------------------------------------------------------------------

class E2ESandbox(harness.AgentSandbox):

    def __init__(self, prefix="lullwatch-e2e-"):
        self.binary = lullwatch_binary()
        self.tmux = None
        self.headless = []
        self._agents = 0
        super().__init__(prefix=prefix)
        self.sessions = self.home / ".local" / "share" / "lullwatch" / "sessions"
        self.runtime = self.root / "run"
        self.runtime.mkdir(mode=0o700)

    # Lullwatch's side

    def lullwatch_environment(self):
        environment = {"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                       "TMPDIR": str(self.tmp), "XDG_RUNTIME_DIR": str(self.runtime)}
        for name in PASSED_THROUGH + ("DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"):
            if name in os.environ:
                environment[name] = os.environ[name]
        return environment

    def lullwatch(self, *arguments, expect_status=0):
        result = subprocess.run([str(self.binary), *arguments], env=self.lullwatch_environment(),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        if result.returncode != expect_status:
            raise AssertionError("lullwatch %s exited with %d: %s%s" % (
                " ".join(arguments), result.returncode, result.stdout, result.stderr))
        return result.stdout

    def install_hooks(self):
        output = self.lullwatch("hooks", "install", "--agent", "claude")
        if output != "Claude Code connected\n":
            raise AssertionError("hooks install said %r" % output)

    def status_json(self):
        return json.loads(self.lullwatch("status", "--json"))

    def listed(self, session_id):
        """This session's element of `lullwatch status --json`, or None."""
        return next((s for s in self.status_json() if s["id"] == session_id), None)

    def wait_listed(self, session_id, predicate, what, timeout=DEADLINE):
        def found():
            session = self.listed(session_id)
            return session if session is not None and predicate(session) else None
        try:
            return wait_until(found, timeout, what)
        except TimeoutError as error:
            raise AssertionError("%s; status: %r" % (error, self.status_json())) from None

    def wait_usage(self, session_id, expected, timeout=DEADLINE):
        """Waits until the session's usage is `expected`: the agent may append
        a reply's last line to the transcript after its Stop hook has run."""
        return self.wait_listed(session_id, lambda s: s["usage"] == expected,
                                "the usage %r" % (expected,), timeout)["usage"]

    def wait_transcript(self, session_id, predicate, what, cwd=None, timeout=DEADLINE):
        """Waits until predicate(transcript entries) is truthy, and returns it."""
        try:
            return wait_until(lambda: predicate(self.transcript(session_id, cwd)), timeout, what)
        except TimeoutError as error:
            raise AssertionError("%s; the transcript: %r" % (error, self.transcript(session_id, cwd))) from None

    def record_path(self, session_id):
        return self.sessions / (session_id + ".json")

    def record(self, session_id):
        try:
            return json.loads(self.record_path(session_id).read_text(encoding="utf-8"))
        except (FileNotFoundError, ValueError):
            return None

    def records(self):
        """The session records by session id."""
        if not self.sessions.is_dir():
            return {}
        found = {}
        for path in self.sessions.glob("*.json"):
            try:
                record = json.loads(path.read_text(encoding="utf-8"))
            except (FileNotFoundError, ValueError):
                continue
            found[record.get("sessionId")] = record
        return found

    def wait_record(self, predicate, what, session_id=None, timeout=DEADLINE):
        """Waits for a record (of this session, or any) that satisfies predicate."""
        def found():
            if session_id is not None:
                record = self.record(session_id)
                return record if record is not None and predicate(record) else None
            return next((r for r in self.records().values() if predicate(r)), None)
        try:
            return wait_until(found, timeout, what)
        except TimeoutError as error:
            raise AssertionError("%s; records: %r" % (error, self.records())) from None

    def start_headless(self):
        headless = Headless(self.binary, self.lullwatch_environment(),
                            self.root / ("headless-stderr-%d.txt" % len(self.headless)))
        self.headless.append(headless)
        return headless

    # The agent's side

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
        """Starts `claude ARGS` in a tmux session of the sandbox; with `ready`,
        waits for its input box and for the record that SessionStart wrote."""
        if self.tmux is None:
            self.tmux = Tmux(self.root, self.environment())
        self._agents += 1
        name = "agent%d" % self._agents
        pid = self.tmux.new_session(name, cwd or self.work, [str(harness.CLAUDE), *args])
        agent = InteractiveAgent(self.tmux, name, pid)
        if ready:
            agent.record = self.wait_record(lambda r: r.get("pid") == pid,
                                            "the SessionStart record of pid %d" % pid)
            agent.session_id = agent.record["sessionId"]
            agent.wait_screen("? for shortcuts")
        return agent

    def close(self):
        if self._closed:
            return
        try:
            for headless in self.headless:
                headless.stop()
        finally:
            try:
                if self.tmux is not None:
                    self.tmux.close()
            finally:
                super().close()


class BusTestCase:
    """Mixin for dbusmock.DBusTestCase subclasses: private system and session
    buses for the class, and logind, upower and notification daemon mocks
    per test."""

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
        import dbus
        import dbusmock
        self.logind, self.logind_mock = self.spawn_server_template("logind", {}, stdout=subprocess.DEVNULL)
        self.addCleanup(stop_popen_plain, self.logind)
        self.upower, self.upower_mock = self.spawn_server_template(
            "upower", {"OnBattery": on_battery}, stdout=subprocess.DEVNULL)
        self.addCleanup(stop_popen_plain, self.upower)
        self.notifications, self.notifications_mock = self.spawn_server_template(
            "notification_daemon", {}, stdout=subprocess.DEVNULL)
        self.addCleanup(stop_popen_plain, self.notifications)
        # Display device: type 2 (battery), state 2 discharging or 1 charging.
        self.upower_mock.SetupDisplayDevice(
            dbus.UInt32(2), dbus.UInt32(2 if on_battery else 1), battery_percent, 5.0, 50.0, 5.0,
            dbus.Int64(600 if on_battery else 0), dbus.Int64(0), True,
            "battery-low" if on_battery else "battery", dbus.UInt32(3 if on_battery else 1),
            dbus_interface=dbusmock.MOCK_IFACE)

    def inhibitors(self):
        """Lullwatch's entries in logind's ListInhibitors: (what, who, why, mode, uid, pid)."""
        return [tuple(entry) for entry in self.logind_mock.ListInhibitors(
            dbus_interface="org.freedesktop.login1.Manager") if entry[1] == "Lullwatch"]

    def notification_calls(self):
        import dbusmock
        return [call for call in self.notifications_mock.GetCalls(dbus_interface=dbusmock.MOCK_IFACE)
                if call[1] in ("Notify", "CloseNotification")]


def start_xvfb():
    """An X server of its own on a free display: (process, display)."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                               "-nolisten", "tcp"], pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            os.close(read_end)
            stop_popen_plain(server)
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return server, ":" + number.decode().strip()


def window_is_viewable(display, name):
    """Whether a window of that name is mapped on the X display."""
    result = subprocess.run(["xwininfo", "-display", display, "-name", name], capture_output=True, text=True)
    return result.returncode == 0 and "Map State: IsViewable" in result.stdout


def window_geometry(display, name):
    """(left, top, width, height) of the window of that name on the X display."""
    result = subprocess.run(["xwininfo", "-display", display, "-name", name], capture_output=True, text=True)
    fields = dict(line.strip().split(":", 1) for line in result.stdout.splitlines() if ":" in line)
    return tuple(int(fields[key]) for key in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))


class Screenshot:
    """The X display's picture, read through xwd: a TrueColor visual's
    pixels of whole bytes, 8 bits a colour, as Xvfb's are."""

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
    """A desktop on an X display: Openbox, and xfce4-panel (4.18) with an
    xfconf daemon of its own that reads the configuration above from a
    folder of its own, on the session bus of DBUS_SESSION_BUS_ADDRESS. The
    panel's status tray runs org.kde.StatusNotifierWatcher and hosts the
    items. `scale`: GTK's window scale (GDK_SCALE)."""

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
            self._start(["openbox", "--sm-disable"])
            wait_until(lambda: "window id" in self.root_property("_NET_SUPPORTING_WM_CHECK"), DEADLINE,
                       "Openbox managing the display")
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

    def root_property(self, name):
        return subprocess.run(["xprop", "-display", self.display, "-root", name], capture_output=True,
                              text=True).stdout

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
        """The panel's strip on the screen: its colour and its pixels of
        another colour, the tray's icons: (background, {(x, y): (r, g, b)})."""
        shot = Screenshot(self.display)
        rows = range(self.scale, (XFCE_PANEL_SIZE - 1) * self.scale)
        background = collections.Counter(shot.rgb(x, y) for y in rows for x in range(0, shot.width, 7)).most_common(1)
        background = background[0][0]
        return background, {(x, y): pixel for y in rows for x in range(shot.width)
                            if (pixel := shot.rgb(x, y)) != background}

    def close(self):
        for process in reversed(self.processes):
            stop_popen(process)
        self.bus.close()


class Portal:
    """A stand-in of the desktop portal's Settings on the session bus: the
    colour scheme (org.freedesktop.appearance color-scheme, 1 for dark, 2 for
    light) read with ReadOne and announced with SettingChanged."""

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
        stop_popen_plain(self.process)


def stop_popen_plain(process):
    """Ends a mock service started by dbusmock (not in a group of its own)."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# --- agents from npm besides Claude Code ---------------------------------------------

class PinnedAgent:
    """An agent's CLI from npm, pinned in tests/e2e/FOLDER/package.json and
    installed there once per machine by tests/e2e/install_pinned.sh. What
    differs between agents is in the arguments: `home_files`, JSON files
    written into the sandbox's HOME before anything runs (the agent's own
    settings; a dict, or a function of the working folder that returns
    one), `environment(standin)`, the variables that point it at the
    stand-in, and `ready_text`, what its interactive screen shows once it
    takes input. Optional: `one_shot(prompt)`, the arguments of a run of one
    prompt (default `-p PROMPT`); `prepare(sandbox)`, called once the
    stand-in runs, for files that name it; `clean_up(sandbox)`, called at
    close after the tmux server has ended, for what the agent leaves
    running beyond its own process groups."""

    def __init__(self, raw, name, folder, binary, home_files, environment, ready_text,
                 one_shot=lambda prompt: ["-p", prompt], prepare=None, clean_up=None):
        self.raw = raw  # the source word: `lullwatch hooks install --agent RAW`
        self.name = name  # as `lullwatch hooks` names it
        self.folder = E2E_DIR / folder
        self.binary_name = binary
        self.binary = self.folder / "node_modules" / ".bin" / binary
        self.home_files = home_files
        self.environment = environment
        self.ready_text = ready_text
        self.one_shot = one_shot
        self.prepare = prepare
        self.clean_up = clean_up

    def ensure_installed(self):
        if not self.binary.exists():
            subprocess.run(["sh", str(E2E_DIR / "install_pinned.sh"), str(self.folder), self.binary_name],
                           check=True, timeout=900, stdin=subprocess.DEVNULL)
        if not self.binary.exists():
            raise RuntimeError("install_pinned.sh ran but %s is still missing" % self.binary)


# The model name Qwen Code asks for and the stand-in's replies carry.
QWEN_MODEL = "qwen-standin"

# Qwen Code (0.24.4) through an OpenAI-compatible provider, the stand-in's
# /v1/chat/completions. Its settings turn off the update check, the usage
# statistics and the memory side request it otherwise sends after each turn.
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

# Gemini CLI (0.61.0) with an API key, against the stand-in's Gemini route
# (GOOGLE_GEMINI_BASE_URL). No model is set: each turn is routed by the
# CLI's classifier request, which the stand-in answers as a helper. It runs
# in the working folder only once trustedFolders.json trusts it (-p exits
# with 55 otherwise); its settings turn off the update check, the usage
# statistics, telemetry and the ripgrep download.
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


class PinnedAgentSandbox(E2ESandbox):
    """An E2ESandbox around a PinnedAgent instead of Claude Code: the same
    Lullwatch side, stand-in, tmux and clean-up, the agent's own HOME files,
    environment and commands."""

    def __init__(self, agent, prefix="lullwatch-e2e-"):
        agent.ensure_installed()
        self.agent = agent
        self.binary = lullwatch_binary()
        self.tmux = None
        self.headless = []
        self._agents = 0
        # What AgentSandbox sets up, less Claude Code's install and files.
        self.root = Path(os.path.realpath(tempfile.mkdtemp(prefix=prefix + agent.raw + "-")))
        self.home = self.root / "home"
        self.work = self.root / "work"
        self.tmp = self.root / "tmp"
        for folder in (self.home, self.work, self.tmp):
            folder.mkdir(parents=True)
        self.api_key = None
        self.standin = None
        self.processes = []
        self._closed = False
        harness._open_sandboxes.append(self)
        self.sessions = self.home / ".local" / "share" / "lullwatch" / "sessions"
        self.runtime = self.root / "run"
        self.runtime.mkdir(mode=0o700)
        files = agent.home_files(self.work) if callable(agent.home_files) else agent.home_files
        for relative, value in files.items():
            (self.home / relative).parent.mkdir(parents=True, exist_ok=True)
            self._write_json(self.home / relative, value)

    def install_hooks(self):
        output = self.lullwatch("hooks", "install", "--agent", self.agent.raw)
        if output != self.agent.name + " connected\n":
            raise AssertionError("hooks install said %r" % output)

    def environment(self, extra=None):
        if self.standin is None:
            raise RuntimeError("start the stand-in first")
        env = {"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/local/bin:/usr/bin:/bin"),
               "TMPDIR": str(self.tmp), "NO_PROXY": "127.0.0.1"}
        env.update(self.agent.environment(self.standin))
        env.update(extra or {})
        return env

    def start_standin(self, replies, log_bodies=False):
        standin = super().start_standin(replies, log_bodies)
        if self.agent.prepare is not None:
            self.agent.prepare(self)
        return standin

    def start_print(self, prompt, args=(), extra_env=None):
        """Starts the agent's one-shot run of PROMPT (`AGENT -p PROMPT ARGS`,
        or as its `one_shot` says); returns the Popen (see AgentSandbox)."""
        process = subprocess.Popen(
            [str(self.agent.binary), *self.agent.one_shot(prompt), *args], cwd=self.work,
            env=self.environment(extra_env),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            start_new_session=True)
        self.processes.append(process)
        return process

    def start_interactive(self, args=(), cwd=None, ready=True):
        """Starts the agent in a tmux session of the sandbox; with `ready`,
        waits for the record SessionStart wrote (owned by a process in the
        pane's tree) and for its input prompt."""
        if self.tmux is None:
            self.tmux = Tmux(self.root, self.environment())
        self._agents += 1
        name = "agent%d" % self._agents
        pid = self.tmux.new_session(name, cwd or self.work, [str(self.agent.binary), *args])
        agent = InteractiveAgent(self.tmux, name, pid)
        if ready:
            agent.record = self.wait_record(lambda r: r.get("source") == self.agent.raw,
                                            "the SessionStart record of the agent in %s" % name)
            agent.session_id = agent.record["sessionId"]
            agent.wait_screen(self.agent.ready_text)
        return agent

    def close(self):
        """Ends the tmux server first, then what the agent left running
        (`clean_up`), then the rest as E2ESandbox does."""
        if self._closed:
            return
        try:
            if self.tmux is not None:
                self.tmux.close()
        finally:
            try:
                if self.agent.clean_up is not None:
                    self.agent.clean_up(self)
            finally:
                super().close()


# --- Codex CLI -----------------------------------------------------------------------

# The model that Codex CLI asks the stand-in for and names in its rollout.
CODEX_MODEL = "codex-standin"


def codex_home(sandbox):
    return sandbox.home / ".codex"


def write_codex_config(sandbox):
    """~/.codex/config.toml: the stand-in as the model provider (the Responses
    API, no retries), no update check, and the working folder trusted, which
    Codex asks of a git repository, so the folder becomes one."""
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
    """`codex app-server` on standard input and output: JSON-RPC, one message
    a line, in the sandbox's environment."""

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

    def close(self):
        self.process.stdin.close()
        stop_popen(self.process)
        self.process.stdout.close()


def trust_codex_hooks(sandbox):
    """Trusts the hooks in ~/.codex/hooks.json as Codex's own /hooks review
    does: each hook's key and current hash as `hooks/list` reports them,
    written by Codex into config.toml as [hooks.state."KEY"] trusted_hash.
    Returns the hooks as `hooks/list` reports them afterwards."""
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
        server.close()


def stop_codex_daemon(sandbox):
    """Ends the app-server daemon that interactive Codex started for the
    sandbox's CODEX_HOME, and its pid-update loop: each runs in a session of
    its own, which the tmux server's end does not reach, and names its pid
    in a file. (`codex app-server daemon stop` leaves the loop running, and
    waits a minute for a session that waits for an approval.) Their sockets,
    outside the sandbox, go too."""
    folder = codex_home(sandbox) / "app-server-daemon"
    for name in ("daemon.pid", "daemon-updater.pid"):
        try:
            pid = int(json.loads((folder / name).read_text(encoding="utf-8"))["pid"])
            start = process_start_time(pid)
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                ours = str(codex_home(sandbox)).encode() in f.read()  # empty for a zombie
        except (OSError, ValueError, KeyError):
            continue  # gone
        if not ours:
            continue
        os.kill(pid, signal.SIGTERM)
        try:
            wait_until(lambda: not process_is(pid, start) or process_state(pid) == "Z", 10,
                       "the end of pid %d" % pid)
        except TimeoutError:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
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


# Codex CLI (0.171.0) against the stand-in's Responses route, through a
# provider in ~/.codex/config.toml; `codex exec PROMPT` runs one prompt.
CODEX = PinnedAgent(
    raw="codex", name="Codex CLI", folder="codex", binary="codex", home_files={},
    environment=lambda standin: {}, ready_text="? for shortcuts",
    one_shot=lambda prompt: ["exec", prompt], prepare=write_codex_config, clean_up=stop_codex_daemon)
