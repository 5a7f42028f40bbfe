// dovask: makes sure a TCP port can be bound before a server starts on it.
//
// The listeners of the port are found with the operating system's own tools
// (`netstat` on Windows, `lsof` or else `ss` elsewhere), terminated (never the
// calling process), and a probe socket then proves the port free. A port that
// stays taken ends the program with a message telling how to free it by hand.
//
// Everything the module takes from the runtime (`subprocess.run`, `os.kill`,
// `time.sleep`, `socket.socket`, `sys.platform`, ...) is looked up at the
// moment of use, as module-level code would, so the platform is the one of the
// call and a caller may stand in for any of them. The four functions also
// reach each other through this module's namespace.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

constexpr const char *kModule = "vantrel_app_plugin.dovask";

/// Grace period between the polite and the forced termination of one process.
constexpr double kGraceSeconds = 0.15;
/// Time the operating system gets to release the port after a termination.
constexpr double kSettleSeconds = 0.35;

nb::object os_attr(nb::handle name) { return module_global("os", name); }
nb::object own_global(nb::handle name) { return module_global(kModule, name); }

/// `a == b` through the runtime's comparison.
bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) rethrow();
    return r != 0;
}

/// `sys.platform == "win32"`, read at the call.
bool on_windows() { return equal(module_global("sys", VT_KEY("platform")), VT_KEY("win32")); }

nb::object getpid() { return call0(os_attr(VT_KEY("getpid"))); }

void sleep_for(double seconds) {
    call1(module_global("time", VT_KEY("sleep")), nb::steal(checked(PyFloat_FromDouble(seconds))));
}

/// `subprocess.run(argv, capture_output=True, text=True, errors="replace",
/// check=False)`, with `encoding` when given.
nb::object run_tool(nb::handle argv, const char *encoding = nullptr) {
    nb::object run = module_global("subprocess", VT_KEY("run"));
    nb::dict kw;
    set_item(kw, VT_KEY("capture_output"), Py_True);
    set_item(kw, VT_KEY("text"), Py_True);
    if (encoding) set_item(kw, VT_KEY("encoding"), utf8(encoding));
    set_item(kw, VT_KEY("errors"), VT_KEY("replace"));
    set_item(kw, VT_KEY("check"), Py_False);
    nb::object args = own(PyTuple_Pack(1, argv.ptr()));
    return own(PyObject_Call(run.ptr(), args.ptr(), kw.ptr()));
}

/// `run_tool(argv)`, or null when the executable does not exist.
nb::object run_tool_if_present(nb::handle argv) {
    try {
        return run_tool(argv);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
        return nb::object();
    }
}

nb::list argv_of(std::initializer_list<nb::handle> words) {
    nb::list argv;
    for (nb::handle w : words) argv.append(w);
    return argv;
}

/// One captured stream of a finished tool; an absent stream counts as empty.
nb::str stream_text(nb::handle proc, nb::handle name) {
    nb::object v = attr(proc, name);
    if (v.is_none()) return nb::str("");
    return str_result(v.release().ptr(), "CompletedProcess output");
}

nb::str stdout_and_stderr(nb::handle proc) {
    nb::str out = stream_text(proc, VT_KEY("stdout"));
    return concat(out, stream_text(proc, VT_KEY("stderr")));
}

nb::list lines_of(nb::handle text) { return nb::steal<nb::list>(checked(PyUnicode_Splitlines(text.ptr(), 0))); }
nb::list words_of(nb::handle text) { return nb::steal<nb::list>(checked(PyUnicode_Split(text.ptr(), nullptr, -1))); }

/// Does the line, upper-cased as the runtime does it, contain `word`?
bool upper_contains(nb::handle line, nb::handle word) {
    nb::str upper = str_result(checked(PyObject_CallMethodNoArgs(line.ptr(), VT_KEY("upper").ptr())), "upper()");
    int r = PyUnicode_Contains(upper.ptr(), word.ptr());
    if (r < 0) rethrow();
    return r != 0;
}

/// Does the line name the port: ":" and the port's digits, followed by a
/// character that is not a digit or by the end of the line? (Port 80 is
/// not named by ":8080".)
bool names_port(nb::handle line, nb::handle needle) {
    PyObject *s = line.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), m = PyUnicode_GET_LENGTH(needle.ptr());
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    for (Py_ssize_t from = 0;;) {
        Py_ssize_t at = PyUnicode_Find(s, needle.ptr(), from, n, 1);
        if (at == -2) rethrow();
        if (at < 0) return false;
        Py_ssize_t after = at + m;
        if (after == n || !Py_UNICODE_ISDECIMAL(PyUnicode_READ(kind, data, after))) return true;
        from = at + 1;
    }
}

/// Gathers the PIDs a tool reports: positive ones only, each once.
class Candidates {
public:
    /// A token made only of decimal digits adds the PID it names; anything
    /// else (or a number `int()` refuses, such as one of thousands of digits)
    /// is not a PID and is skipped.
    void add_token(nb::handle tok) {
        PyObject *o = tok.ptr();
        Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        int kind = PyUnicode_KIND(o);
        const void *data = PyUnicode_DATA(o);
        if (n == 0) return;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!Py_UNICODE_ISDECIMAL(PyUnicode_READ(kind, data, i))) return;
        nb::object pid = nb::steal(PyLong_FromUnicodeObject(o, 10));
        if (!pid.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) rethrow();
            PyErr_Clear();
            return;
        }
        if (!truthy(pid)) return; // digits only: zero is the one value that is not positive
        if (PySet_Add(found_.ptr(), pid.ptr()) < 0) rethrow();
    }

    bool empty() const { return PySet_GET_SIZE(found_.ptr()) == 0; }

    /// The PIDs in ascending order.
    nb::list sorted() const {
        nb::list out = nb::steal<nb::list>(checked(PySequence_List(found_.ptr())));
        if (PyList_Sort(out.ptr()) < 0) rethrow();
        return out;
    }

private:
    nb::object found_ = own(PySet_New(nullptr));
};

void search_netstat(nb::handle needle, Candidates &pids) {
    nb::object proc = run_tool(argv_of({VT_KEY("netstat"), VT_KEY("-ano")}), "utf-8");
    for_each_in(lines_of(stream_text(proc, VT_KEY("stdout"))), [&](nb::handle line) {
        if (!upper_contains(line, VT_KEY("LISTENING")) || !names_port(line, needle)) return;
        nb::list fields = words_of(line);
        Py_ssize_t n = PyList_GET_SIZE(fields.ptr());
        if (n) pids.add_token(PyList_GET_ITEM(fields.ptr(), n - 1));
    });
}

/// `lsof` first: when it exists, its answer is final, empty or not.
bool search_lsof(nb::handle port_text, Candidates &pids) {
    nb::object proc = run_tool_if_present(argv_of({VT_KEY("lsof"), VT_KEY("-nP"), concat("-iTCP:", port_text),
                                                   VT_KEY("-sTCP:LISTEN"), VT_KEY("-t")}));
    if (!proc.is_valid()) return false;
    for_each_in(words_of(stdout_and_stderr(proc)), [&](nb::handle tok) { pids.add_token(tok); });
    return true;
}

void search_ss(nb::handle needle, Candidates &pids) {
    nb::object proc = run_tool_if_present(argv_of({VT_KEY("ss"), VT_KEY("-ltnp")}));
    if (!proc.is_valid()) return;
    nb::object search = module_global("re", VT_KEY("search"));
    for_each_in(lines_of(stdout_and_stderr(proc)), [&](nb::handle line) {
        if (!names_port(line, needle) || !upper_contains(line, VT_KEY("LISTEN"))) return;
        nb::object found = own(PyObject_CallFunctionObjArgs(search.ptr(), VT_KEY("pid=(\\d+)").ptr(), line.ptr(),
                                                            nullptr));
        if (found.is_none()) return;
        nb::object group = call_method(found, VT_KEY("group"), nb::int_(1));
        pids.add_token(str_result(group.release().ptr(), "Match.group()"));
    });
}

nb::list pids_listening_on_tcp_port(nb::handle port) {
    require_int(port, "_pids_listening_on_tcp_port", "port");
    nb::str port_text = text(port);
    nb::str needle = concat(":", port_text);
    Candidates pids;
    if (on_windows()) search_netstat(needle, pids);
    else if (!search_lsof(port_text, pids)) search_ss(needle, pids);
    return pids.sorted();
}

bool kill_pid(nb::handle pid) {
    require_int(pid, "_kill_pid", "pid");
    if (equal(pid, getpid())) return false;
    // 0 and negative numbers name process groups, not a process: never signal them.
    if (PyObject_RichCompareBool(pid.ptr(), nb::int_(0).ptr(), Py_GT) != 1) return false;
    if (on_windows()) {
        nb::object proc = run_tool(argv_of({VT_KEY("taskkill"), VT_KEY("/PID"), text(pid), VT_KEY("/F")}));
        return equal(attr(proc, VT_KEY("returncode")), nb::int_(0));
    }
    nb::object kill = os_attr(VT_KEY("kill"));
    try {
        kill(pid, module_global("signal", VT_KEY("SIGTERM")));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;
        return false;
    }
    sleep_for(kGraceSeconds);
    try {
        kill(pid, module_global("signal", VT_KEY("SIGKILL")));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw; // already gone: that is the point
    }
    return true;
}

nb::list reclaim_listeners(nb::handle port, nb::handle host) {
    require_int(port, "reclaim_listeners", "port");
    require_str(host, "reclaim_listeners", "host");
    nb::object pids = call1(own_global(VT_KEY("_pids_listening_on_tcp_port")), port);
    nb::object kill = own_global(VT_KEY("_kill_pid"));
    nb::object me = getpid();
    nb::list killed;
    for_each_in(pids, [&](nb::handle pid) {
        if (!equal(pid, me) && truthy(call1(kill, pid))) killed.append(pid);
    });
    if (PyList_GET_SIZE(killed.ptr())) sleep_for(kSettleSeconds);
    return killed;
}

/// The busy-port message: what is wrong, then how to free the port by hand
/// with this platform's own commands.
nb::str busy_message(nb::handle host, nb::handle port, nb::handle error) {
    nb::str port_text = text(port);
    nb::str first = concat(concat(concat(concat(concat("端口 ", host), utf8(":")), port_text), utf8(" 仍被占用（")),
                           text(error));
    nb::str hint = on_windows()
        ? concat(concat("请手动执行: netstat -ano | findstr \":", port_text), utf8("\"  再 taskkill /PID <pid> /F"))
        : concat(concat("请手动执行: ss -ltnp | grep ':", port_text), utf8("'  再 kill <pid>"));
    return concat(concat(first, utf8("）。\n")), hint);
}

/// `raise SystemExit(message) from cause`.
[[noreturn]] void exit_from(nb::handle message, nb::handle cause) {
    nb::object exc = call1(PyExc_SystemExit, message);
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(exc.ptr(), Py_NewRef(cause.ptr()));
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release().ptr());
#else
    PyErr_Restore(Py_NewRef(PyExc_SystemExit), exc.release().ptr(), nullptr);
#endif
    rethrow();
}

nb::object ensure_port_available(nb::handle host, nb::handle port, nb::handle reclaim) {
    require_str(host, "ensure_port_available", "host");
    require_int(port, "ensure_port_available", "port");
    nb::object killed = truthy(reclaim) ? own_global(VT_KEY("reclaim_listeners"))(port, host)
                                        : nb::object(nb::list());
    // The hosts that stand for every interface: the probe binds them all.
    nb::str probe_host = equals(host, "0.0.0.0") || equals(host, "::") ? nb::str("") : nb::borrow<nb::str>(host);
    nb::object sock = module_global("socket", VT_KEY("socket"))(module_global("socket", VT_KEY("AF_INET")),
                                                                 module_global("socket", VT_KEY("SOCK_STREAM")));
    try {
        call_method(sock, VT_KEY("setsockopt"), module_global("socket", VT_KEY("SOL_SOCKET")),
                    module_global("socket", VT_KEY("SO_REUSEADDR")), nb::int_(1));
        call_method(sock, VT_KEY("bind"), nb::make_tuple(probe_host, port));
    } catch (nb::python_error &e) {
        call_method(sock, VT_KEY("close"));
        if (!e.matches(PyExc_OSError)) throw;
        exit_from(busy_message(host, port, e.value()), e.value());
    }
    call_method(sock, VT_KEY("close"));
    return killed;
}

} // namespace

NB_MODULE(dovask, m) {
    resolve_imports();
    m.doc() = "Free a TCP port before a server starts on it: find and terminate its listeners "
              "(never the calling process), then prove the port free with a probe bind.";

    m.def("_pids_listening_on_tcp_port", &pids_listening_on_tcp_port, nb::arg("port").none(),
          nb::sig("def _pids_listening_on_tcp_port(port: int) -> list[int]"),
          "Sorted distinct PIDs listening on the TCP port (netstat on Windows, lsof or else ss elsewhere).");
    m.def("_kill_pid", &kill_pid, nb::arg("pid").none(), nb::sig("def _kill_pid(pid: int) -> bool"),
          "Terminate a process (never the calling one); True when it was done.");
    m.def("reclaim_listeners", &reclaim_listeners, nb::arg("port").none(), nb::arg("host").none() = "127.0.0.1",
          nb::sig("def reclaim_listeners(port: int, host: str = '127.0.0.1') -> list[int]"),
          "Terminate the listeners of the port (never the calling process); the PIDs terminated, in search order.");
    m.def("ensure_port_available", &ensure_port_available, nb::arg("host").none(), nb::arg("port").none(),
          nb::kw_only(), nb::arg("reclaim").none() = true,
          nb::sig("def ensure_port_available(host: str, port: int, *, reclaim: bool = True) -> list[int]"),
          "Make sure (host, port) can be bound, terminating its listeners first when ``reclaim`` is true; "
          "the PIDs terminated. A port that stays taken ends the program (SystemExit) with a message.");
}
