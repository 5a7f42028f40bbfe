"""Port reclaim: listener search, termination and the probe bind.

Real processes are this test's own listener children on 127.0.0.1 only. Canned
tool outputs come from stand-in programs on PATH; wherever their PIDs could be
signalled, ``os.kill`` is replaced by a recorder, so no process the test did not
start is ever signalled.
"""

import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from vantrel_app_plugin import dovask
from vantrel_app_plugin.dovask import _kill_pid, _pids_listening_on_tcp_port, ensure_port_available, reclaim_listeners

LISTENER = textwrap.dedent("""
    import socket, sys, time
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", int(sys.argv[1])))
    except OSError:
        print("busy", flush=True)
        sys.exit(1)
    s.listen()
    print(s.getsockname()[1], flush=True)
    time.sleep(600)
""")


@pytest.fixture
def listeners():
    """Start listener children: ``start(port)`` gives (process, port) or None when the port is taken."""
    children = []

    def start(port=0):
        child = subprocess.Popen([sys.executable, "-c", LISTENER, str(port)], stdout=subprocess.PIPE, text=True)
        children.append(child)
        line = child.stdout.readline().strip()
        return (child, int(line)) if line.isdigit() else None

    yield start
    for child in children:
        if child.poll() is None:
            child.kill()
        child.wait()
        child.stdout.close()


@pytest.fixture
def prefix_pair(listeners):
    """Two children listening on ports P and 10*P + 5 (say 4123 and 41235)."""
    rnd = random.Random()
    for _ in range(50):
        short = rnd.randint(1024, 6552)
        a = listeners(short)
        b = a and listeners(short * 10 + 5)
        if a and b:
            return a, b
        if a:
            a[0].kill()
    pytest.skip("no free pair of ports")


@pytest.fixture(params=["lsof", "ss"])
def search_tool(request, tmp_path, monkeypatch):
    """The real listener search, through lsof or (lsof hidden) through ss."""
    found = shutil.which(request.param)
    if not found:
        pytest.skip(f"{request.param} is not installed")
    if request.param == "ss":
        only_ss = tmp_path / "only-ss"
        only_ss.mkdir()
        (only_ss / "ss").symlink_to(found)
        monkeypatch.setenv("PATH", str(only_ss))
    return request.param


@pytest.fixture
def own_listener():
    """A socket of this very process listening on a free loopback port."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


def busy_lines(port, excinfo, host="127.0.0.1"):
    """The busy-port message, checked against its cause; its second line."""
    exc = excinfo.value
    cause = exc.__cause__
    assert isinstance(cause, OSError) and exc.__suppress_context__
    first, second = exc.code.split("\n")
    assert first == f"端口 {host}:{port} 仍被占用（{cause}）。"
    return second


# --- real listeners ---------------------------------------------------------------------------

def test_reclaim_terminates_a_foreign_listener(listeners, search_tool):
    child, port = listeners()
    assert _pids_listening_on_tcp_port(port) == [child.pid]
    assert ensure_port_available("127.0.0.1", port) == [child.pid]
    assert child.wait(timeout=10) == -signal.SIGTERM
    assert ensure_port_available("127.0.0.1", port) == []


def test_port_search_is_exact_for_ports_sharing_a_prefix(prefix_pair, search_tool):
    (short, port), (long_, long_port) = prefix_pair
    assert _pids_listening_on_tcp_port(port) == [short.pid]
    assert _pids_listening_on_tcp_port(long_port) == [long_.pid]
    assert reclaim_listeners(port) == [short.pid]
    short.wait(timeout=10)
    assert long_.poll() is None


@pytest.mark.parametrize("host", ["127.0.0.1", "0.0.0.0"])
def test_without_reclaim_a_busy_port_ends_the_program(listeners, host):
    child, port = listeners()
    with pytest.raises(SystemExit) as excinfo:
        ensure_port_available(host, port, reclaim=False)
    assert busy_lines(port, excinfo, host) == f"请手动执行: ss -ltnp | grep ':{port}'  再 kill <pid>"
    assert child.poll() is None


def test_own_listener_is_never_terminated(own_listener, monkeypatch):
    kills = []
    monkeypatch.setattr(os, "kill", lambda *a: kills.append(a))
    if shutil.which("lsof") or shutil.which("ss"):
        assert _pids_listening_on_tcp_port(own_listener) == [os.getpid()]
    assert reclaim_listeners(own_listener) == []
    with pytest.raises(SystemExit) as excinfo:
        ensure_port_available("127.0.0.1", own_listener)
    busy_lines(own_listener, excinfo)
    assert kills == []


def test_a_free_port_needs_no_termination_and_no_wait(monkeypatch):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    sleeps = []
    monkeypatch.setattr(time, "sleep", sleeps.append)
    assert ensure_port_available("127.0.0.1", port) == []
    assert ensure_port_available("0.0.0.0", port, reclaim=False) == []
    assert sleeps == []


# --- stand-in tools ---------------------------------------------------------------------------

TOOL = """#!{python}
import pathlib, sys
me = pathlib.Path(__file__)
with open(me.with_name("calls.log"), "a") as log:
    log.write(" ".join([me.name] + sys.argv[1:]) + "\\n")
sys.stdout.buffer.write(me.with_suffix(".out").read_bytes())
sys.stderr.buffer.write(me.with_suffix(".err").read_bytes())
sys.exit(int(me.with_suffix(".rc").read_text()))
"""


class Tools:
    """A PATH holding only the stand-in programs made with ``add``."""

    def __init__(self, root):
        self.root = root

    def add(self, name, out=b"", err=b"", rc=0):
        prog = self.root / name
        prog.write_text(TOOL.format(python=sys.executable))
        prog.chmod(0o755)
        for suffix, data in ((".out", out), (".err", err)):
            prog.with_suffix(suffix).write_bytes(data.encode() if isinstance(data, str) else data)
        prog.with_suffix(".rc").write_text(str(rc))

    @property
    def calls(self):
        log = self.root / "calls.log"
        return log.read_text().splitlines() if log.exists() else []


@pytest.fixture
def tools(tmp_path, monkeypatch):
    root = tmp_path / "bin"
    root.mkdir()
    monkeypatch.setenv("PATH", str(root))
    return Tools(root)


@pytest.fixture
def spies(monkeypatch):
    """Records ``os.kill`` and ``time.sleep`` instead of signalling and sleeping."""
    rec = {"kill": [], "sleep": []}
    monkeypatch.setattr(os, "kill", lambda pid, sig: rec["kill"].append((pid, sig)))
    monkeypatch.setattr(time, "sleep", rec["sleep"].append)
    return rec


@pytest.fixture
def windows(monkeypatch):
    monkeypatch.setattr(sys, "platform", "win32")


NETSTAT = """
Active Connections

  Proto  Local Address          Foreign Address        State           PID
  TCP    0.0.0.0:80             0.0.0.0:0              LISTENING       4321
  TCP    0.0.0.0:8080           0.0.0.0:0              LISTENING       8080
  TCP    [::]:80                [::]:0                 LISTENING       4321
  TCP    127.0.0.1:80           127.0.0.1:50000        ESTABLISHED     999
  TCP    127.0.0.1:80           127.0.0.1:50001        TIME_WAIT       0
  TCP    127.0.0.1:80           0.0.0.0:0              listening       77
  TCP    127.0.0.1:80           0.0.0.0:0              LISTENING       -
  TCP    127.0.0.1:80           0.0.0.0:0              LISTENING       ²
  TCP    10.0.0.1:80            0.0.0.0:0              LISTENING       12
  TCP    10.0.0.2:80            0.0.0.0:0              LISTENING       0
  UDP    0.0.0.0:80             *:*                                    555
"""


@pytest.mark.parametrize("port, pids", [(80, [12, 77, 4321]), (8080, [8080]), (8, []), (443, [])])
def test_windows_search_reads_netstat(tools, windows, port, pids):
    tools.add("netstat", NETSTAT.encode() + b"  TCP    1.2.3.4:80  0.0.0.0:0  LISTENING \xff\xfe\n")
    assert _pids_listening_on_tcp_port(port) == pids
    assert tools.calls == ["netstat -ano"]


@pytest.mark.parametrize("rc, done", [(0, True), (128, False)])
def test_windows_termination_runs_taskkill(tools, windows, spies, rc, done):
    tools.add("taskkill", out="SUCCESS", rc=rc)
    assert _kill_pid(4321) is done
    assert tools.calls == ["taskkill /PID 4321 /F"]
    assert spies == {"kill": [], "sleep": []}


def test_windows_reclaim_and_busy_message(tools, windows, spies, own_listener):
    tools.add("netstat", f"  TCP    127.0.0.1:{own_listener}   0.0.0.0:0   LISTENING   {os.getpid()}\n"
                         f"  TCP    127.0.0.1:{own_listener}   0.0.0.0:0   LISTENING   4321\n")
    tools.add("taskkill")
    with pytest.raises(SystemExit) as excinfo:
        ensure_port_available("127.0.0.1", own_listener)
    assert busy_lines(own_listener, excinfo) == (
        f'请手动执行: netstat -ano | findstr ":{own_listener}"  再 taskkill /PID <pid> /F')
    assert tools.calls == ["netstat -ano", "taskkill /PID 4321 /F"]
    assert spies == {"kill": [], "sleep": [0.35]}


@pytest.mark.parametrize("call", [lambda: _pids_listening_on_tcp_port(80), lambda: _kill_pid(4321)])
def test_windows_tools_missing(tools, windows, call):
    with pytest.raises(FileNotFoundError):
        call()


SS = """State  Recv-Q Send-Q Local Address:Port  Peer Address:PortProcess
LISTEN 0      128        0.0.0.0:80         0.0.0.0:*    users:(("nginx",pid=4321,fd=6),("nginx",pid=4322,fd=6))
LISTEN 0      128           [::]:80            [::]:*    users:(("nginx",pid=4321,fd=7))
LISTEN 0      128        0.0.0.0:8080       0.0.0.0:*    users:(("java",pid=8080,fd=9))
ESTAB  0      0        127.0.0.1:80     127.0.0.1:5000   users:(("x",pid=999,fd=1))
LISTEN 0      128      127.0.0.1:80         0.0.0.0:*
Listen 0      128      127.0.0.2:80         0.0.0.0:*    users:(("y",pid=77,fd=1)) \xff
LISTEN 0      128      127.0.0.3:80         0.0.0.0:*    users:(("z",pid=0,fd=1))
"""


@pytest.mark.parametrize("present, port, pids, calls", [
    # lsof answers: standard output and standard error, each PID once, ss never asked
    ({"lsof": ("4321\n77\n4321\n", "lsof: WARNING 12\n", 0), "ss": ("", "", 0)}, 80, [12, 77, 4321],
     ["lsof -nP -iTCP:80 -sTCP:LISTEN -t"]),
    ({"lsof": ("", "", 1), "ss": (SS, "", 0)}, 80, [], ["lsof -nP -iTCP:80 -sTCP:LISTEN -t"]),
    ({"lsof": (b"12\n\xff34\n0\n", "", 0)}, 9, [12], ["lsof -nP -iTCP:9 -sTCP:LISTEN -t"]),
    # no lsof: ss, the first pid of each listening line of the exact port
    ({"ss": (SS, "", 0)}, 80, [77, 4321], ["ss -ltnp"]),
    ({"ss": (SS, "", 3)}, 8080, [8080], ["ss -ltnp"]),
    ({"ss": ("", SS, 0)}, 8080, [8080], ["ss -ltnp"]),
    ({"ss": (SS, "", 0)}, 808, [], ["ss -ltnp"]),
    # neither tool: nothing found, the probe decides
    ({}, 80, [], []),
])
def test_search_with_lsof_or_ss(tools, present, port, pids, calls):
    for name, (out, err, rc) in present.items():
        tools.add(name, out, err, rc)
    assert _pids_listening_on_tcp_port(port) == pids
    assert tools.calls == calls


class Exploding:
    def __eq__(self, other):
        raise RuntimeError("platform")

    __hash__ = None


@pytest.mark.parametrize("platform", [None, 32, "WIN32", "linux"])
def test_platforms_other_than_win32_use_the_posix_tools(tools, monkeypatch, platform):
    monkeypatch.setattr(sys, "platform", platform)
    tools.add("lsof", "5\n")
    assert _pids_listening_on_tcp_port(80) == [5]


def test_a_platform_that_cannot_be_compared_raises(tools, monkeypatch, spies):
    monkeypatch.setattr(sys, "platform", Exploding())
    for call in (lambda: _pids_listening_on_tcp_port(80), lambda: _kill_pid(4321)):
        with pytest.raises(RuntimeError, match="platform"):
            call()
    assert spies["kill"] == []


# --- termination -------------------------------------------------------------------------------

def fails(exc):
    def kill(pid, sig):
        raise exc

    return kill


@pytest.mark.parametrize("first, second, done, signals", [
    (None, None, True, [signal.SIGTERM, signal.SIGKILL]),
    (ProcessLookupError(), None, False, []),
    (PermissionError(), None, False, []),
    (None, ProcessLookupError(), True, [signal.SIGTERM]),
])
def test_kill_pid_politely_then_forced(monkeypatch, first, second, done, signals):
    sent, sleeps = [], []
    answers = iter([first, second])

    def kill(pid, sig):
        exc = next(answers)
        if exc:
            raise exc
        sent.append((pid, sig))

    monkeypatch.setattr(os, "kill", kill)
    monkeypatch.setattr(time, "sleep", sleeps.append)
    assert _kill_pid(4_000_000) is done
    assert sent == [(4_000_000, s) for s in signals]
    assert sleeps == ([0.15] if done else [])


@pytest.mark.parametrize("pid", [os.getpid(), 0, -1, -os.getpid()])
def test_kill_pid_refuses_itself_and_process_groups(spies, pid):
    assert _kill_pid(pid) is False
    assert spies == {"kill": [], "sleep": []}


def test_kill_pid_errors_other_than_os_errors_propagate(monkeypatch, spies):
    monkeypatch.setattr(os, "kill", fails(OverflowError("signed integer is greater than maximum")))
    with pytest.raises(OverflowError):
        _kill_pid(2**70)


@pytest.mark.parametrize("listed, killable, killed", [
    ([], set(), []),
    ([3, 5, 7], {3, 7}, [3, 7]),
    ([os.getpid(), 9], {9, os.getpid()}, [9]),
    ((p for p in [11, 10]), {10, 11}, [11, 10]),  # the order of the search result
])
def test_reclaim_listeners(monkeypatch, spies, listed, killable, killed):
    asked = []
    monkeypatch.setattr(dovask, "_pids_listening_on_tcp_port", lambda port: asked.append(port) or listed)
    monkeypatch.setattr(dovask, "_kill_pid", lambda pid: asked.append(pid) or pid in killable)
    assert reclaim_listeners(8080, "10.0.0.1") == killed
    assert asked[0] == 8080 and os.getpid() not in asked
    assert spies["sleep"] == ([0.35] if killed else [])


# --- the probe ---------------------------------------------------------------------------------

class FakeSocket:
    """Records what the probe does; ``fail`` names a step that raises ``error``."""

    made = []
    fail, error = None, None

    def __init__(self, family, kind):
        self.log = [("socket", family, kind)]
        FakeSocket.made.append(self)

    def _step(self, name, *args):
        self.log.append((name, *args))
        if name == FakeSocket.fail:
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


@pytest.mark.parametrize("host, probe", [("0.0.0.0", ""), ("::", ""), ("127.0.0.1", "127.0.0.1"),
                                         ("localhost", "localhost"), ("", "")])
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
    with pytest.raises(raised) as excinfo:
        ensure_port_available("h", 5000, reclaim=0)
    if raised is SystemExit:
        assert excinfo.value.__cause__ is error
        assert excinfo.value.code.startswith(f"端口 h:5000 仍被占用（{error}）。\n")
    assert fake_socket.made[0].log[-1] == ("close",)


@pytest.mark.parametrize("call, message", [
    (lambda: _pids_listening_on_tcp_port("80"), "argument 'port' must be int, not str"),
    (lambda: _pids_listening_on_tcp_port(True), "argument 'port' must be int, not bool"),
    (lambda: _kill_pid(1.0), "argument 'pid' must be int, not float"),
    (lambda: reclaim_listeners(80, b"h"), "argument 'host' must be str, not bytes"),
    (lambda: reclaim_listeners(None), "argument 'port' must be int, not NoneType"),
    (lambda: ensure_port_available(None, 80), "argument 'host' must be str, not NoneType"),
    (lambda: ensure_port_available("h", "80"), "argument 'port' must be int, not str"),
])
def test_wrong_argument_types(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_reclaim_is_keyword_only():
    with pytest.raises(TypeError):
        ensure_port_available("127.0.0.1", 80, False)
