"""Port reclaim: real listener processes on 127.0.0.1 (started here, the only
processes ever signalled), and stand-in `netstat`, `taskkill`, `lsof` and `ss`
programs with canned output for the Windows and fallback branches."""

import os
import random
import shutil
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from vantrel_app_plugin import dovask
from vantrel_app_plugin.dovask import (_kill_pid, _pids_listening_on_tcp_port, ensure_port_available,
                                       reclaim_listeners)

LISTENER = textwrap.dedent("""
    import socket, sys, time
    socks = []
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1"))[:int(sys.argv[2])]:
        s = socket.socket(family, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((host, int(sys.argv[1])))
        s.listen()
        socks.append(s)
    print("ready", flush=True)
    time.sleep(60)
""")


def bindable(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port(below=None):
    """A free port; below a bound, one whose ten-fold-plus-zero is free too."""
    if below is None:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]
    rng = random.Random()
    for _ in range(200):
        port = rng.randrange(2000, below)
        if bindable(port) and bindable(int(f"{port}0")):
            return port
    pytest.skip("no free pair of ports")


@pytest.fixture
def listen():
    """Start a listener process on a port (IPv4, or IPv4 and IPv6); stopped afterwards."""
    procs = []

    def start(port, families=1):
        proc = subprocess.Popen([sys.executable, "-c", LISTENER, str(port), str(families)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        procs.append(proc)
        line = proc.stdout.readline()
        if line.strip() != "ready":
            pytest.skip(f"listener could not start: {proc.stderr.read()[-300:]}")
        return proc

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        proc.wait()


def have(tool):
    return shutil.which(tool) is not None


needs_tools = pytest.mark.skipif(not (have("lsof") or have("ss")), reason="neither lsof nor ss is installed")


# --- real listeners -----------------------------------------------------------------------


def test_free_port_needs_nothing(monkeypatch):
    monkeypatch.setattr(dovask, "_kill_pid", lambda pid: pytest.fail("nothing to terminate"))
    assert ensure_port_available("127.0.0.1", free_port()) == []


@needs_tools
def test_foreign_listener_is_reclaimed(listen):
    port = free_port()
    proc = listen(port)
    assert _pids_listening_on_tcp_port(port) == [proc.pid]
    assert ensure_port_available("0.0.0.0", port) == [proc.pid]
    assert proc.wait(timeout=5) is not None
    assert ensure_port_available("127.0.0.1", port) == []


@needs_tools
def test_without_reclaim_a_busy_port_ends_the_program(listen):
    port = free_port()
    proc = listen(port)
    with pytest.raises(SystemExit) as info:
        ensure_port_available("127.0.0.1", port, reclaim=False)
    message = str(info.value.code)
    first, hint = message.split("\n")
    assert first.startswith(f"端口 127.0.0.1:{port} 仍被占用（") and first.endswith("）。")
    assert str(info.value.__cause__) in first and isinstance(info.value.__cause__, OSError)
    assert hint == f"请手动执行: ss -ltnp | grep ':{port}'  再 kill <pid>"
    assert proc.poll() is None  # nothing was terminated


@needs_tools
def test_own_listener_is_never_terminated():
    with socket.socket() as mine:
        mine.bind(("127.0.0.1", 0))
        mine.listen()
        port = mine.getsockname()[1]
        assert os.getpid() in _pids_listening_on_tcp_port(port)
        assert reclaim_listeners(port) == [] and _kill_pid(os.getpid()) is False
        with pytest.raises(SystemExit, match=f"端口 127.0.0.1:{port} 仍被占用"):
            ensure_port_available("127.0.0.1", port)


@needs_tools
@pytest.mark.parametrize("tool", ["lsof", "ss"])
def test_dual_stack_listener_once_and_prefix_ports_apart(listen, tool, tmp_path, monkeypatch):
    if not have(tool):
        pytest.skip(f"{tool} is not installed")
    if tool == "ss":  # only ss on the search path: the fallback branch
        bindir = tmp_path / "bin"
        bindir.mkdir()
        (bindir / "ss").symlink_to(shutil.which("ss"))
        monkeypatch.setenv("PATH", str(bindir))
    short = free_port(below=6554)
    long_ = int(f"{short}0")
    other = listen(long_, families=2)  # a listener on 80x0 must survive freeing 80x
    assert _pids_listening_on_tcp_port(long_) == [other.pid]  # listed for IPv4 and IPv6, reported once
    assert other.pid not in _pids_listening_on_tcp_port(short)
    target = listen(short)
    assert reclaim_listeners(short) == [target.pid]
    assert other.poll() is None


# --- stand-in tools -----------------------------------------------------------------------


@pytest.fixture
def tools(tmp_path, monkeypatch):
    """Install stand-in programs on an otherwise empty search path."""
    bindir = tmp_path / "fake-bin"
    bindir.mkdir()
    monkeypatch.setenv("PATH", str(bindir))

    def install(name, stdout="", stderr="", code=0):
        out, err = tmp_path / f"{name}.out", tmp_path / f"{name}.err"
        out.write_text(stdout, encoding="utf-8")
        err.write_text(stderr, encoding="utf-8")
        script = bindir / name
        script.write_text(f'#!/bin/sh\necho "$@" >> {tmp_path}/{name}.calls\n'
                          f'/bin/cat {out}\n/bin/cat {err} >&2\nexit {code}\n')
        script.chmod(0o755)
        return tmp_path / f"{name}.calls"

    return install


NETSTAT = """
  Proto  Local Address          Foreign Address        State           PID
  TCP    0.0.0.0:80             0.0.0.0:0              LISTENING       4
  TCP    [::]:80                [::]:0                 LISTENING       4
  TCP    127.0.0.1:80           127.0.0.1:5000         ESTABLISHED     77
  TCP    127.0.0.1:80           127.0.0.1:5001         TIME_WAIT       0
  TCP    0.0.0.0:8080           0.0.0.0:0              LISTENING       99
  TCP    0.0.0.0:80             0.0.0.0:0              listening       12
  TCP    0.0.0.0:80             0.0.0.0:0              LISTENING       n/a
  TCP    0.0.0.0:80             0.0.0.0:0              LISTENING       0
"""


def test_windows_branch(tools, monkeypatch):
    monkeypatch.setattr(sys, "platform", "win32")
    tools("netstat", NETSTAT)
    assert _pids_listening_on_tcp_port(80) == [4, 12]
    assert _pids_listening_on_tcp_port(8080) == [99]
    calls = tools("taskkill", code=0)
    assert _kill_pid(4) is True and calls.read_text().split() == ["/PID", "4", "/F"]
    tools("taskkill", code=128)
    assert _kill_pid(4) is False
    assert _kill_pid(os.getpid()) is False
    with socket.socket() as mine:
        mine.bind(("127.0.0.1", 0))
        mine.listen()
        port = mine.getsockname()[1]
        with pytest.raises(SystemExit) as info:
            ensure_port_available("127.0.0.1", port, reclaim=False)
    assert str(info.value.code).split("\n")[1] == f'请手动执行: netstat -ano | findstr ":{port}"  再 taskkill /PID <pid> /F'


@pytest.mark.parametrize("lsof, ss, expected, ss_asked", [
    ("123\n456\n123\n", None, [123, 456], False),
    ("", "LISTEN 0 5 *:80 users:((\"x\",pid=9,fd=3))", [], False),  # a present lsof ends the search
    ("lsof: warning 77\nbad 0 -5 ٣\n", None, [3, 77], False),        # decimal tokens only; 0 dropped
    ("12\n" + "9" * 5000 + "\n", None, [12], False),                  # more digits than int() takes
    (None, 'LISTEN 0 128 127.0.0.1:80 0.0.0.0:* users:(("a",pid=31,fd=3))\n'
           'LISTEN 0 128 [::]:80 [::]:* users:(("a",pid=31,fd=4))\n'
           'LISTEN 0 128 0.0.0.0:8080 0.0.0.0:* users:(("b",pid=32,fd=3))\n'
           'ESTAB 0 0 127.0.0.1:80 127.0.0.1:4000 users:(("c",pid=33,fd=5))\n', [31], True),
    (None, None, [], False),
])
def test_posix_branches(tools, lsof, ss, expected, ss_asked):
    if lsof is not None:
        tools("lsof", lsof, code=1)
    ss_calls = tools("ss", ss) if ss is not None else None
    assert _pids_listening_on_tcp_port(80) == expected
    assert (ss_calls is not None and ss_calls.exists()) == ss_asked


@pytest.mark.parametrize("call", [
    lambda: _pids_listening_on_tcp_port("80"), lambda: _pids_listening_on_tcp_port(True),
    lambda: _kill_pid(1.5), lambda: reclaim_listeners(80, 5), lambda: ensure_port_available(5, 80),
    lambda: ensure_port_available("127.0.0.1", None),
])
def test_argument_types(call):
    with pytest.raises(TypeError):
        call()


def test_platform_that_is_not_text(tools, monkeypatch):
    monkeypatch.setattr(sys, "platform", 5)
    tools("lsof", "42\n")
    assert _pids_listening_on_tcp_port(80) == [42]


def test_reclaim_waits_only_after_a_termination(monkeypatch, spies):
    monkeypatch.setattr(dovask, "_pids_listening_on_tcp_port", lambda port: [os.getpid(), 10**9, 5])
    asked = []
    monkeypatch.setattr(dovask, "_kill_pid", lambda pid: asked.append(pid) or pid == 5)
    assert reclaim_listeners(1) == [5] and asked == [10**9, 5]
    assert spies["sleep"] == [0.35]
    monkeypatch.setattr(dovask, "_kill_pid", lambda pid: False)
    assert reclaim_listeners(1) == []
    assert spies["sleep"] == [0.35]


# --- termination and the probe, with the runtime's calls stood in for ---------------------


@pytest.fixture
def spies(monkeypatch):
    """Records ``os.kill`` and ``time.sleep`` instead of signalling and sleeping."""
    rec = {"kill": [], "sleep": []}
    monkeypatch.setattr(os, "kill", lambda pid, sig: rec["kill"].append((pid, sig)))
    monkeypatch.setattr(time, "sleep", rec["sleep"].append)
    return rec


@pytest.mark.parametrize("platform", ["linux", "win32"])
@pytest.mark.parametrize("pid", [0, -1, -os.getpid(), os.getpid()])
def test_kill_pid_refuses_itself_and_process_groups(spies, tools, monkeypatch, platform, pid):
    monkeypatch.setattr(sys, "platform", platform)
    calls = tools("taskkill")
    assert _kill_pid(pid) is False
    assert spies == {"kill": [], "sleep": []} and not calls.exists()


@pytest.mark.parametrize("first, second, done, sent", [
    (None, None, True, ["SIGTERM", "SIGKILL"]),
    (ProcessLookupError(), None, False, []),
    (PermissionError(), None, False, []),
    (None, ProcessLookupError(), True, ["SIGTERM"]),
    (OverflowError(), None, False, []),  # beyond the platform's process ids: no such process
    (ValueError("odd"), None, ValueError, []),
])
def test_kill_pid_politely_then_forced(monkeypatch, first, second, done, sent):
    signals, sleeps, answers = [], [], iter([first, second])

    def kill(pid, sig):
        exc = next(answers)
        if exc:
            raise exc
        signals.append((pid, sig.name))

    monkeypatch.setattr(os, "kill", kill)
    monkeypatch.setattr(time, "sleep", sleeps.append)
    if done is ValueError:
        with pytest.raises(ValueError):
            _kill_pid(4_000_000)
    else:
        assert _kill_pid(4_000_000) is done
    assert signals == [(4_000_000, name) for name in sent]
    assert sleeps == ([0.15] if done is True else [])


RUN = {"capture_output": True, "text": True, "errors": "replace", "check": False}


@pytest.mark.parametrize("whole_modules", [False, True])
@pytest.mark.parametrize("platform, call, runs", [
    ("win32", lambda: _pids_listening_on_tcp_port(80), [(("netstat", "-ano"), dict(RUN, encoding="utf-8"))]),
    ("win32", lambda: _kill_pid(4321), [(("taskkill", "/PID", "4321", "/F"), RUN)]),
    ("linux", lambda: _pids_listening_on_tcp_port(80), [(("lsof", "-nP", "-iTCP:80", "-sTCP:LISTEN", "-t"), RUN)]),
])
def test_tools_run_as_the_runtime_runs_them(monkeypatch, whole_modules, platform, call, runs):
    """Each tool through ``subprocess.run`` with the options of its row; the
    function (or this module's ``subprocess`` and ``sys``) looked up at the call."""
    seen = []

    def run(argv, **options):
        seen.append((tuple(argv), options))
        return subprocess.CompletedProcess(argv, 1, None, None)  # absent streams read as empty

    if whole_modules:
        monkeypatch.setattr(dovask, "subprocess", type(sys)("subprocess"))
        monkeypatch.setattr(dovask, "sys", type(sys)("sys"))
    monkeypatch.setattr(dovask.subprocess, "run", run, raising=False)
    monkeypatch.setattr(dovask.sys, "platform", platform, raising=False)
    assert call() in ([], False)
    assert seen == runs


@pytest.mark.parametrize("call", [lambda: _pids_listening_on_tcp_port(80), lambda: _kill_pid(4321)])
def test_windows_tools_that_cannot_start(tools, monkeypatch, call):
    monkeypatch.setattr(sys, "platform", "win32")
    with pytest.raises(FileNotFoundError):
        call()


class FakeSocket:
    """Records what the probe does; the step named ``fail`` raises ``error``."""

    made, fail, error = [], None, None

    def __init__(self, family, kind):
        self.log = [("socket", family, kind)]
        FakeSocket.made.append(self)

    def _step(self, *entry):
        self.log.append(entry)
        if entry[0] == FakeSocket.fail:
            raise FakeSocket.error

    def setsockopt(self, *args):
        self._step("setsockopt", *args)

    def bind(self, address):
        self._step("bind", address)

    def close(self):
        self.log.append(("close",))


@pytest.fixture
def fake_socket(monkeypatch):
    FakeSocket.made, FakeSocket.fail, FakeSocket.error = [], None, None
    monkeypatch.setattr(socket, "socket", FakeSocket)
    monkeypatch.setattr(dovask, "reclaim_listeners", lambda port, host: ["reclaimed", port, host])
    return FakeSocket


@pytest.mark.parametrize("host, probe", [("0.0.0.0", ""), ("::", ""), ("127.0.0.1", "127.0.0.1"), ("", "")])
def test_probe_binds_the_host_or_every_interface(fake_socket, host, probe):
    assert ensure_port_available(host, 5000) == ["reclaimed", 5000, host]
    assert ensure_port_available(host, 5000, reclaim=False) == []
    assert fake_socket.made[0].log == [
        ("socket", socket.AF_INET, socket.SOCK_STREAM),
        ("setsockopt", socket.SOL_SOCKET, socket.SO_REUSEADDR, 1),
        ("bind", (probe, 5000)),
        ("close",),
    ]


@pytest.mark.parametrize("step, error, raised", [
    ("bind", OSError(98, "Address already in use"), SystemExit),
    ("bind", socket.gaierror(-2, "Name or service not known"), SystemExit),
    ("setsockopt", PermissionError(1, "nope"), SystemExit),
    ("bind", OverflowError("bind(): port must be 0-65535."), OverflowError),
])
def test_probe_failures_close_the_socket(fake_socket, step, error, raised):
    fake_socket.fail, fake_socket.error = step, error
    with pytest.raises(raised) as info:
        ensure_port_available("h", 5000, reclaim=False)
    if raised is SystemExit:
        assert info.value.__cause__ is error and info.value.__suppress_context__
        assert info.value.code.startswith(f"端口 h:5000 仍被占用（{error}）。\n")
    assert fake_socket.made[0].log[-1] == ("close",)
