// dovask: makes sure a TCP port can be bound before a server starts on it.
//
// The listeners of the port are found with the operating system's own tools
// (`netstat` on Windows, `lsof` or else `ss` elsewhere), terminated (never the
// calling process itself), and the port is then proved free by binding a
// probe socket. A port that stays busy ends the program with a message that
// says how to free it by hand.
//
// The steps `_pids_listening_on_tcp_port` and `_kill_pid` are read from the
// module's namespace at each call, as the functions of a Python module read
// their globals. So are the runtime modules it uses, kept there under their
// own names (`os`, `signal`, `socket`, `subprocess`, `sys`, `time`), and their
// functions are looked up at each call: a caller may stand in for
// `subprocess.run`, `os.kill`, `time.sleep`, `sys.platform` or a whole module,
// through this module (`dovask.subprocess`) or the runtime's own.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

constexpr const char *kModule = "vantrel_app_plugin.dovask";

/// Grace period between the polite and the forced termination of one process.
constexpr double kGraceSeconds = 0.15;
/// Settle time after at least one listener was terminated.
constexpr double kSettleSeconds = 0.35;

Imported re_compile{"re", "compile"};

/// `pid=(\d+)`, compiled by the runtime's `re` when the module loads.
nb::handle pid_pattern;

/// The runtime modules this one uses, kept in its namespace when it loads.
constexpr const char *kRuntimeModules[] = {"os", "signal", "socket", "subprocess", "sys", "time"};

/// `module.name` for a runtime module kept in this module's namespace (`time.sleep`).
nb::object runtime(const char *module, nb::handle name) { return attr(module_global(kModule, utf8(module)), name); }

nb::object socket_attr(nb::handle name) { return runtime("socket", name); }

bool on_windows() { return equals(runtime("sys", VT_KEY("platform")), "win32"); }

/// An integer argument (a bool is refused), as an exact int.
nb::object int_arg(nb::handle value, const char *func, const char *param = "port") {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) raise_arg_type(func, param, "int", value);
    return own(PyNumber_Index(value.ptr()));
}

/// `subprocess.run(argv, capture_output=True, text=True, errors="replace",
/// check=False[, encoding=...])`.
nb::object run_tool(nb::handle argv, const char *encoding = nullptr) {
    nb::dict kwargs;
    set_item(kwargs, VT_KEY("capture_output"), Py_True);
    set_item(kwargs, VT_KEY("text"), Py_True);
    set_item(kwargs, VT_KEY("errors"), VT_KEY("replace"));
    set_item(kwargs, VT_KEY("check"), Py_False);
    if (encoding) set_item(kwargs, VT_KEY("encoding"), utf8(encoding));
    nb::object args = nb::make_tuple(argv);
    nb::object run = runtime("subprocess", VT_KEY("run"));
    return own(PyObject_Call(run.ptr(), args.ptr(), kwargs.ptr()));
}

/// A captured stream as text (an absent stream is empty).
nb::str stream(nb::handle result, nb::handle name) {
    nb::object v = attr(result, name);
    if (v.is_none()) return nb::borrow<nb::str>(VT_KEY(""));
    if (!PyUnicode_Check(v.ptr())) raise_arg_type("subprocess.run", "output", "str", v);
    return nb::borrow<nb::str>(v);
}

/// Is `s` made of decimal digits only (and not empty)?
bool all_decimal(nb::handle s) {
    PyObject *o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    if (n == 0) return false;
    int kind = PyUnicode_KIND(o);
    const void *data = PyUnicode_DATA(o);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISDECIMAL(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

/// Does `line` hold ":" + `port` followed by a non-digit or the end? (The
/// exact match: freeing port 80 never touches a listener on 8080.)
bool mentions_port(nb::handle line, nb::handle port_text) {
    PyObject *l = line.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(l), m = PyUnicode_GET_LENGTH(port_text.ptr());
    nb::str needle = concat(VT_KEY(":"), port_text);
    for (Py_ssize_t from = 0; from < n;) {
        Py_ssize_t at = PyUnicode_Find(l, needle.ptr(), from, n, 1);
        if (at == -2) rethrow();
        if (at < 0) return false;
        Py_ssize_t after = at + 1 + m;
        if (after >= n || !Py_UNICODE_ISDIGIT(PyUnicode_READ_CHAR(l, after))) return true;
        from = at + 1;
    }
    return false;
}

bool upper_contains(nb::handle line, const char *word) {
    nb::object upper = call_method(line, VT_KEY("upper"));
    int r = PyUnicode_Contains(upper.ptr(), utf8(word).ptr());
    if (r < 0) rethrow();
    return r != 0;
}

nb::list lines_of(nb::handle text) { return nb::steal<nb::list>(checked(PyUnicode_Splitlines(text.ptr(), 0))); }
nb::list words_of(nb::handle text) { return nb::steal<nb::list>(checked(PyUnicode_Split(text.ptr(), nullptr, -1))); }

/// Adds the PID a token of decimal digits names; a number `int()` refuses
/// (thousands of digits) names no process and is skipped.
void add_pid(nb::list &found, nb::handle digits) {
    PyObject *pid = PyLong_FromUnicodeObject(digits.ptr(), 10);
    if (!pid) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) rethrow();
        PyErr_Clear();
        return;
    }
    found.append(nb::steal(pid));
}

/// Candidates from `netstat -ano` (Windows).
void netstat_candidates(nb::handle port_text, nb::list &found) {
    nb::object result = run_tool(nb::make_tuple("netstat", "-ano"), "utf-8");
    for (nb::handle line : lines_of(stream(result, VT_KEY("stdout")))) {
        if (!upper_contains(line, "LISTENING") || !mentions_port(line, port_text)) continue;
        nb::list fields = words_of(line);
        Py_ssize_t n = PyList_GET_SIZE(fields.ptr());
        if (n == 0) continue;
        nb::handle last = PyList_GET_ITEM(fields.ptr(), n - 1);
        if (all_decimal(last)) add_pid(found, last);
    }
}

/// Candidates from `lsof`, else `ss` when `lsof` is not installed.
void posix_candidates(nb::handle port_text, nb::list &found) {
    nb::object lsof = nb::make_tuple("lsof", "-nP", concat(VT_KEY("-iTCP:"), port_text), "-sTCP:LISTEN", "-t");
    nb::object ss = nb::make_tuple("ss", "-ltnp");
    for (nb::handle argv : {nb::handle(lsof), nb::handle(ss)}) {
        nb::object result;
        try {
            result = run_tool(argv);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_FileNotFoundError)) continue; // not installed: the next tool
            throw;
        }
        nb::str out = concat(stream(result, VT_KEY("stdout")), stream(result, VT_KEY("stderr")));
        if (argv.ptr() == lsof.ptr()) {
            for (nb::handle token : words_of(out))
                if (all_decimal(token)) add_pid(found, token);
            return; // a present lsof ends the search, whatever it found
        }
        for (nb::handle line : lines_of(out)) {
            if (!mentions_port(line, port_text) || !upper_contains(line, "LISTEN")) continue;
            nb::object match = call_method(pid_pattern, VT_KEY("search"), line);
            if (!match.is_none()) add_pid(found, call_method(match, VT_KEY("group"), nb::int_(1)));
        }
        if (PyList_GET_SIZE(found.ptr())) return;
    }
}

nb::list pids_listening_on_tcp_port(nb::handle port_arg) {
    nb::object port = int_arg(port_arg, "_pids_listening_on_tcp_port");
    nb::str port_text = nb::steal<nb::str>(checked(PyObject_Str(port.ptr())));
    nb::list found;
    if (on_windows())
        netstat_candidates(port_text, found);
    else
        posix_candidates(port_text, found);
    // Positive, distinct, ascending.
    nb::object positive = own(PySet_New(nullptr));
    nb::object zero = nb::int_(0);
    for (nb::handle pid : found) {
        int gt = PyObject_RichCompareBool(pid.ptr(), zero.ptr(), Py_GT);
        if (gt < 0) rethrow();
        if (gt && PySet_Add(positive.ptr(), pid.ptr()) < 0) rethrow();
    }
    nb::list out = nb::steal<nb::list>(checked(PySequence_List(positive.ptr())));
    if (PyList_Sort(out.ptr()) < 0) rethrow();
    return out;
}

bool is_own_pid(nb::handle pid) {
    nb::object own_pid = call0(runtime("os", VT_KEY("getpid")));
    int same = PyObject_RichCompareBool(pid.ptr(), own_pid.ptr(), Py_EQ);
    if (same < 0) rethrow();
    return same != 0;
}

void sleep_for(double seconds) { call1(runtime("time", VT_KEY("sleep")), nb::float_(seconds)); }

/// `os.kill(pid, sig)`; false on an operating-system error, and for a number
/// beyond the platform's process ids (no process has it).
bool send_signal(nb::handle pid, nb::handle sig) {
    PyObject *argv[] = {pid.ptr(), sig.ptr()};
    nb::object kill = runtime("os", VT_KEY("kill"));
    PyObject *r = PyObject_Vectorcall(kill.ptr(), argv, 2, nullptr);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) rethrow();
    PyErr_Clear();
    return false;
}

bool kill_pid(nb::handle pid_arg) {
    nb::object pid = int_arg(pid_arg, "_kill_pid", "pid");
    if (is_own_pid(pid)) return false;
    // 0 and negative numbers name process groups (-1: every process), not a process.
    int positive = PyObject_RichCompareBool(pid.ptr(), nb::int_(0).ptr(), Py_GT);
    if (positive < 0) rethrow();
    if (!positive) return false;
    if (on_windows()) {
        nb::str decimal = nb::steal<nb::str>(checked(PyObject_Str(pid.ptr())));
        nb::object result = run_tool(nb::make_tuple("taskkill", "/PID", decimal, "/F"));
        return attr(result, VT_KEY("returncode")).equal(nb::int_(0));
    }
    if (!send_signal(pid, runtime("signal", VT_KEY("SIGTERM")))) return false;
    sleep_for(kGraceSeconds);
    // Already gone is fine; a platform without SIGKILL has had SIGTERM only.
    if (nb::object sigkill = getattr_opt(module_global(kModule, VT_KEY("signal")), VT_KEY("SIGKILL")); sigkill.is_valid())
        send_signal(pid, sigkill);
    return true;
}

nb::list reclaim_listeners(nb::handle port_arg, nb::handle host) {
    nb::object port = int_arg(port_arg, "reclaim_listeners");
    require_str(host, "reclaim_listeners", "host");
    nb::object pids = call1(module_global(kModule, VT_KEY("_pids_listening_on_tcp_port")), port);
    nb::object killer = module_global(kModule, VT_KEY("_kill_pid"));
    nb::list killed;
    for_each_in(pids, [&](nb::handle pid) {
        if (is_own_pid(pid)) return;
        if (truthy(call1(killer, pid))) killed.append(pid);
    });
    if (PyList_GET_SIZE(killed.ptr())) sleep_for(kSettleSeconds);
    return killed;
}

/// The busy-port message: the first line as the system writes it, then how to
/// free the port by hand with this platform's own commands.
nb::str busy_message(nb::handle host, nb::handle port, nb::handle error) {
    nb::str first = nb::steal<nb::str>(checked(
        PyUnicode_FromFormat("%U%U:%S%U%S%U", VT_KEY("端口 ").ptr(), host.ptr(), port.ptr(),
                             VT_KEY(" 仍被占用（").ptr(), error.ptr(), VT_KEY("）。\n").ptr())));
    nb::str hint = on_windows()
                       ? nb::steal<nb::str>(checked(PyUnicode_FromFormat(
                             "%U\":%S\"%U", VT_KEY("请手动执行: netstat -ano | findstr ").ptr(), port.ptr(),
                             VT_KEY("  再 taskkill /PID <pid> /F").ptr())))
                       : nb::steal<nb::str>(checked(PyUnicode_FromFormat(
                             "%U':%S'%U", VT_KEY("请手动执行: ss -ltnp | grep ").ptr(), port.ptr(),
                             VT_KEY("  再 kill <pid>").ptr())));
    return concat(first, hint);
}

nb::object ensure_port_available(nb::handle host, nb::handle port_arg, nb::handle reclaim) {
    require_str(host, "ensure_port_available", "host");
    nb::object port = int_arg(port_arg, "ensure_port_available");
    nb::object killed = nb::list();
    if (truthy(reclaim)) {
        PyObject *argv[] = {port.ptr(), host.ptr()};
        killed = own(PyObject_Vectorcall(module_global(kModule, VT_KEY("reclaim_listeners")).ptr(), argv, 2, nullptr));
    }
    bool everywhere = equals(host, "0.0.0.0") || equals(host, "::");
    nb::object address = nb::make_tuple(everywhere ? nb::handle(VT_KEY("")) : host, port);

    nb::object sock = socket_attr(VT_KEY("socket"))(socket_attr(VT_KEY("AF_INET")), socket_attr(VT_KEY("SOCK_STREAM")));
    nb::object bind_error;
    try {
        call_method(sock, VT_KEY("setsockopt"), socket_attr(VT_KEY("SOL_SOCKET")), socket_attr(VT_KEY("SO_REUSEADDR")),
                    nb::int_(1));
        call_method(sock, VT_KEY("bind"), address);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) {
            call_method(sock, VT_KEY("close"));
            throw;
        }
        bind_error = nb::borrow(e.value());
    }
    call_method(sock, VT_KEY("close"));
    if (!bind_error.is_valid()) return killed;

    // SystemExit(message) chained to the bind error: `raise ... from error`.
    nb::object exit = call1(PyExc_SystemExit, busy_message(host, port, bind_error));
    PyException_SetCause(exit.ptr(), bind_error.inc_ref().ptr());
    PyException_SetContext(exit.ptr(), bind_error.inc_ref().ptr());
    raise(PyExc_SystemExit, exit);
}

} // namespace

NB_MODULE(dovask, m) {
    resolve_imports();
    m.doc() = "Free a TCP port before a server starts: find its listeners, terminate them, probe the port.";
    for (const char *name : kRuntimeModules) m.attr(name) = import(name);

    pid_pattern = call1(re_compile.get(), utf8("pid=(\\d+)")).release();

    m.def("_pids_listening_on_tcp_port", &pids_listening_on_tcp_port, nb::arg("port").none(),
          nb::sig("def _pids_listening_on_tcp_port(port: int) -> list[int]"),
          "Distinct process ids listening on the TCP port, ascending.");
    m.def("_kill_pid", &kill_pid, nb::arg("pid").none(), nb::sig("def _kill_pid(pid: int) -> bool"),
          "Terminate a process (never the calling one); True when it was carried out.");
    m.def("reclaim_listeners", &reclaim_listeners, nb::arg("port").none(), nb::arg("host").none() = "127.0.0.1",
          nb::sig("def reclaim_listeners(port: int, host: str = '127.0.0.1') -> list[int]"),
          "Terminate the listeners of the port; the process ids terminated.");
    m.def("ensure_port_available", &ensure_port_available, nb::arg("host").none(), nb::arg("port").none(),
          nb::kw_only(), nb::arg("reclaim").none() = true,
          nb::sig("def ensure_port_available(host: str, port: int, *, reclaim: bool = True) -> list[int]"),
          "Free the port (unless ``reclaim`` is false) and prove it can be bound; a busy port ends the program.");
}
