// The SQLite bridge: the SQLite library that the runtime's `sqlite3` module
// is linked with, reached through its C API, with the module's open flags,
// busy timeout, implicit transactions, value conversions, exception classes
// and messages; and the module's own objects for everything else.
//
// The library is found with dlopen(RTLD_NOLOAD) on the `_sqlite3` extension,
// so there is never a second SQLite copy in the process (two copies defeat
// SQLite's POSIX locks) and nothing SQLite-specific is needed at build time.
// `load()` resolves everything when the extension module loads.
#pragma once

#include <vantrel/idioms.hpp>

#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#ifndef _WIN32
#include <dlfcn.h>
#define VANTREL_SQLITE_DLOPEN 1
#endif

namespace vantrel::sqlite {


/// Symbolic names of SQLite result codes, as the module's exceptions carry
/// them in `sqlite_errorname`: its SQLITE_<primary> and
/// SQLITE_<primary>_<detail> constants.
inline nb::dict result_code_names(nb::handle module) {
    static const char *const primary[] = {
        "OK",       "ERROR",     "INTERNAL", "PERM",       "ABORT",    "BUSY",   "LOCKED",   "NOMEM",
        "READONLY", "INTERRUPT", "IOERR",    "CORRUPT",    "NOTFOUND", "FULL",   "CANTOPEN", "PROTOCOL",
        "EMPTY",    "SCHEMA",    "TOOBIG",   "CONSTRAINT", "MISMATCH", "MISUSE", "NOLFS",    "AUTH",
        "FORMAT",   "RANGE",     "NOTADB",   "NOTICE",     "WARNING",  "ROW",    "DONE"};
    nb::dict names;
    nb::object all = own(PyObject_Dir(module.ptr()));
    for (nb::handle name : nb::borrow<nb::list>(all)) {
        std::string_view n = utf8_view(name);
        if (n.substr(0, 7) != "SQLITE_") continue;
        n.remove_prefix(7);
        bool is_code = false;
        for (const char *p : primary) {
            size_t len = strlen(p);
            is_code |= n.substr(0, len) == p && (n.size() == len || n[len] == '_');
        }
        nb::object value = attr(module, name);
        if (is_code && PyLong_CheckExact(value.ptr()) && !contains(names, value)) set_item(names, value, name);
    }
    return names;
}

/// Objects of the runtime's sqlite3 module, fixed at load.
struct SqliteModule {
    PyObject *connect, *Row, *adapters;
    PyObject *str_adapter; // the key of an adapter registered for str
    PyObject *DatabaseError, *OperationalError, *IntegrityError, *InternalError, *DataError, *InterfaceError,
        *ProgrammingError;
    PyObject *code_names;
};

inline SqliteModule load_sqlite_module() {
    nb::object module = import("sqlite3");
    auto take = [&](const char *name) { return attr(module, utf8(name)).release().ptr(); };
    SqliteModule s;
    s.connect = take("connect");
    s.Row = take("Row");
    s.adapters = take("adapters");
    s.str_adapter = checked(PyTuple_Pack(2, (PyObject *) &PyUnicode_Type, take("PrepareProtocol")));
    s.DatabaseError = take("DatabaseError");
    s.OperationalError = take("OperationalError");
    s.IntegrityError = take("IntegrityError");
    s.InternalError = take("InternalError");
    s.DataError = take("DataError");
    s.InterfaceError = take("InterfaceError");
    s.ProgrammingError = take("ProgrammingError");
    s.code_names = result_code_names(module).release().ptr();
    return s;
}

// The handful of SQLite C functions used, declared here so that the build
// needs no SQLite headers; they are looked up in the library that the
// runtime's `_sqlite3` module is linked with.
struct sqlite3;
struct sqlite3_stmt;

enum : int {
    SQLITE_OK = 0,
    SQLITE_NOMEM = 7,
    SQLITE_ROW = 100,
    SQLITE_DONE = 101,
    SQLITE_OPEN_READWRITE = 0x02,
    SQLITE_OPEN_CREATE = 0x04,
    SQLITE_INTEGER = 1,
    SQLITE_FLOAT = 2,
    SQLITE_TEXT = 3,
    SQLITE_BLOB = 4,
    SQLITE_LIMIT_SQL_LENGTH = 1,
};

struct SqliteApi {
    const char *(*libversion)();
    int (*open_v2)(const char *, sqlite3 **, int, const char *);
    int (*close_v2)(sqlite3 *);
    int (*busy_timeout)(sqlite3 *, int);
    int (*limit)(sqlite3 *, int, int);
    int (*prepare_v2)(sqlite3 *, const char *, int, sqlite3_stmt **, const char **);
    int (*bind_parameter_count)(sqlite3_stmt *);
    int (*bind_text)(sqlite3_stmt *, int, const char *, int, void (*)(void *));
    int (*step)(sqlite3_stmt *);
    int (*finalize)(sqlite3_stmt *);
    int (*column_count)(sqlite3_stmt *);
    int (*column_type)(sqlite3_stmt *, int);
    long long (*column_int64)(sqlite3_stmt *, int);
    double (*column_double)(sqlite3_stmt *, int);
    const unsigned char *(*column_text)(sqlite3_stmt *, int);
    const void *(*column_blob)(sqlite3_stmt *, int);
    int (*column_bytes)(sqlite3_stmt *, int);
    const char *(*column_name)(sqlite3_stmt *, int);
    int (*errcode)(sqlite3 *);
    int (*extended_errcode)(sqlite3 *);
    const char *(*errmsg)(sqlite3 *);
    int (*exec)(sqlite3 *, const char *, int (*)(void *, int, char **, char **), void *, char **);
    int (*get_autocommit)(sqlite3 *);
    bool ready = false;
};

/// Looks the functions up in the SQLite library already loaded for the
/// runtime's `sqlite3` module (never a second copy: two copies in one process
/// defeat SQLite's POSIX locks). Not ready when any is missing, when the
/// versions disagree, or when VANTREL_KELDRA_SQLITE=module asks for the module.
inline SqliteApi load_sqlite_api() {
    SqliteApi api{};
#ifdef VANTREL_SQLITE_DLOPEN
    const char *mode = getenv("VANTREL_KELDRA_SQLITE");
    if (mode && strcmp(mode, "module") == 0) return api;
    nb::object ext = import("_sqlite3");
    nb::object file = getattr_opt(ext, VT_KEY("__file__"));
    if (!is_text(file)) return api;
    nb::bytes file_bytes = fs_encode(file);
    void *lib = dlopen(file_bytes.c_str(), RTLD_NOLOAD | RTLD_LAZY);
    if (!lib) return api;
    bool found = true;
    auto sym = [&](auto &fn, const char *name) {
        void *p = dlsym(lib, name);
        found = found && p;
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(p);
    };
    sym(api.libversion, "sqlite3_libversion");
    sym(api.open_v2, "sqlite3_open_v2");
    sym(api.close_v2, "sqlite3_close_v2");
    sym(api.busy_timeout, "sqlite3_busy_timeout");
    sym(api.limit, "sqlite3_limit");
    sym(api.prepare_v2, "sqlite3_prepare_v2");
    sym(api.bind_parameter_count, "sqlite3_bind_parameter_count");
    sym(api.bind_text, "sqlite3_bind_text");
    sym(api.step, "sqlite3_step");
    sym(api.finalize, "sqlite3_finalize");
    sym(api.column_count, "sqlite3_column_count");
    sym(api.column_type, "sqlite3_column_type");
    sym(api.column_int64, "sqlite3_column_int64");
    sym(api.column_double, "sqlite3_column_double");
    sym(api.column_text, "sqlite3_column_text");
    sym(api.column_blob, "sqlite3_column_blob");
    sym(api.column_bytes, "sqlite3_column_bytes");
    sym(api.column_name, "sqlite3_column_name");
    sym(api.errcode, "sqlite3_errcode");
    sym(api.extended_errcode, "sqlite3_extended_errcode");
    sym(api.errmsg, "sqlite3_errmsg");
    sym(api.exec, "sqlite3_exec");
    sym(api.get_autocommit, "sqlite3_get_autocommit");
    if (!found) return api;
    nb::object version = attr(import("sqlite3"), VT_KEY("sqlite_version"));
    api.ready = equals(version, api.libversion());
#endif
    return api;
}

/// The module objects and the function table, set by `load()` when the
/// extension module loads (never lazily: see `Imported`).
inline SqliteModule loaded_module{};
inline SqliteApi loaded_api{};

/// Resolve the bridge; called from the NB_MODULE body of a module that uses it.
inline void load() {
    loaded_module = load_sqlite_module();
    loaded_api = load_sqlite_api();
}

inline const SqliteModule &sqlite_module() { return loaded_module; }
inline const SqliteApi &sqlite_api() { return loaded_api; }

/// The module's exception class for a primary result code; null for NOMEM.
inline PyObject *error_class(int code) {
    switch (code & 0xff) {
    case 2 /* INTERNAL */: case 12 /* NOTFOUND */:
        return sqlite_module().InternalError;
    case 7 /* NOMEM */:
        return nullptr;
    case 1 /* ERROR */: case 3 /* PERM */: case 4 /* ABORT */: case 5 /* BUSY */: case 6 /* LOCKED */:
    case 8 /* READONLY */: case 9 /* INTERRUPT */: case 10 /* IOERR */: case 13 /* FULL */:
    case 14 /* CANTOPEN */: case 15 /* PROTOCOL */: case 16 /* EMPTY */: case 17 /* SCHEMA */:
        return sqlite_module().OperationalError;
    case 18 /* TOOBIG */:
        return sqlite_module().DataError;
    case 19 /* CONSTRAINT */: case 20 /* MISMATCH */:
        return sqlite_module().IntegrityError;
    case 21 /* MISUSE */: case 25 /* RANGE */:
        return sqlite_module().InterfaceError;
    default:
        return sqlite_module().DatabaseError;
    }
}

/// Raise the error of `db` as the module does: class by primary code, the
/// library's message, and `sqlite_errorcode` / `sqlite_errorname`.
[[noreturn]] inline void raise_sqlite_error(sqlite3 *db, int rc) {
    const SqliteApi &api = sqlite_api();
    int code = db ? api.errcode(db) : rc, extended = db ? api.extended_errcode(db) : rc;
    if (code == SQLITE_OK) code = extended = rc;
    PyObject *cls = error_class(code);
    if (!cls || !db) {
        PyErr_NoMemory();
        rethrow();
    }
    nb::object exc = call1(cls, utf8(api.errmsg(db)));
    nb::object number = own(PyLong_FromLong(extended));
    nb::object name = get(sqlite_module().code_names, number);
    if (PyObject_SetAttr(exc.ptr(), VT_KEY("sqlite_errorcode").ptr(), number.ptr()) < 0 ||
        PyObject_SetAttr(exc.ptr(), VT_KEY("sqlite_errorname").ptr(),
                         name.is_valid() ? name.ptr() : utf8("unknown").ptr()) < 0)
        rethrow();
    raise(cls, exc);
}

/// One SQLite connection opened as `sqlite3.connect(path)` opens it (flags
/// READWRITE|CREATE, busy timeout 5 s), closed when the scope ends.
class NativeDb {
public:
    explicit NativeDb(const std::string &path) : api_(sqlite_api()) {
        int rc;
        {
            nb::gil_scoped_release nogil;
            rc = api_.open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
            if (rc == SQLITE_OK) api_.busy_timeout(db_, 5000);
        }
        if (rc != SQLITE_OK) {
            try {
                raise_sqlite_error(db_, rc);
            } catch (...) { // the destructor does not run for a failed constructor
                close();
                throw;
            }
        }
    }
    NativeDb(const NativeDb &) = delete;
    ~NativeDb() { close(); }

    sqlite3 *get() const { return db_; }
    const SqliteApi &api() const { return api_; }

    /// The module's implicit "BEGIN " before a data-changing statement.
    void begin_if_autocommit() {
        if (api_.get_autocommit(db_)) exec("BEGIN ");
    }

    void commit() {
        if (!api_.get_autocommit(db_)) exec("COMMIT");
    }

private:
    void exec(const char *sql) {
        int rc;
        {
            nb::gil_scoped_release nogil;
            rc = api_.exec(db_, sql, nullptr, nullptr, nullptr);
        }
        if (rc != SQLITE_OK) raise_sqlite_error(db_, rc);
    }

    void close() {
        if (!db_) return;
        nb::gil_scoped_release nogil;
        api_.close_v2(db_); // rolls back what was not committed
        db_ = nullptr;
    }

    const SqliteApi &api_;
    sqlite3 *db_ = nullptr;
};

/// Where the SQL after a statement begins, skipping white space and comments
/// as the module does; null when nothing follows.
inline const char *skip_sql_space(const char *p) {
    for (; *p; ++p) {
        switch (*p) {
        case ' ': case '\t': case '\f': case '\n': case '\r':
            break;
        case '-':
            if (p[1] != '-') return p;
            for (p += 2; *p && *p != '\n'; ++p) {}
            if (!*p) return nullptr;
            break;
        case '/':
            if (p[1] != '*') return p;
            for (p += 2; *p && (p[0] != '*' || p[1] != '/'); ++p) {}
            if (!*p) return nullptr;
            ++p;
            break;
        default:
            return p;
        }
    }
    return nullptr;
}

/// One statement prepared, bound and stepped as the module's `execute` does.
class Statement {
public:
    Statement(NativeDb &db, nb::handle sql) : db_(db) {
        const SqliteApi &api = db.api();
        std::string_view text = utf8_view(sql);
        if ((long long) text.size() > api.limit(db.get(), SQLITE_LIMIT_SQL_LENGTH, -1))
            raise(sqlite_module().DataError, "query string is too large");
        if (strlen(text.data()) != text.size())
            raise(sqlite_module().ProgrammingError, "the query contains a null character");
        const char *tail = nullptr;
        int rc;
        {
            nb::gil_scoped_release nogil;
            rc = api.prepare_v2(db.get(), text.data(), (int) text.size() + 1, &st_, &tail);
        }
        if (rc != SQLITE_OK) raise_sqlite_error(db.get(), rc);
        if (tail && skip_sql_space(tail))
            raise(sqlite_module().ProgrammingError, "You can only execute one statement at a time.");
    }
    Statement(const Statement &) = delete;
    ~Statement() {
        if (st_) db_.api().finalize(st_);
    }

    /// Binds str parameters; they must outlive the statement.
    void bind(std::initializer_list<nb::handle> params) {
        const SqliteApi &api = db_.api();
        int needed = api.bind_parameter_count(st_);
        if (needed != (int) params.size()) {
            PyErr_Format(sqlite_module().ProgrammingError,
                         "Incorrect number of bindings supplied. The current statement uses %d, and "
                         "there are %zd supplied.",
                         needed, (Py_ssize_t) params.size());
            rethrow();
        }
        int pos = 0;
        for (nb::handle param : params) {
            std::string_view s = utf8_view(param);
            if (s.size() > (size_t) INT_MAX) raise(PyExc_OverflowError, "string longer than INT_MAX bytes");
            int rc = api.bind_text(st_, ++pos, s.data(), (int) s.size(), nullptr /* static */);
            if (rc != SQLITE_OK) raise_sqlite_error(db_.get(), rc);
        }
    }

    /// True when a row is ready, false when the statement is done.
    bool step() {
        int rc;
        {
            nb::gil_scoped_release nogil;
            rc = db_.api().step(st_);
        }
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        raise_sqlite_error(db_.get(), rc);
    }

    /// The current row as the module converts it, with its column names.
    void row(nb::list &values, std::vector<std::string_view> &names) {
        const SqliteApi &api = db_.api();
        int n = api.column_count(st_);
        for (int i = 0; i < n; ++i) {
            nb::object v;
            switch (api.column_type(st_, i)) {
            case SQLITE_INTEGER: v = own(PyLong_FromLongLong(api.column_int64(st_, i))); break;
            case SQLITE_FLOAT: v = own(PyFloat_FromDouble(api.column_double(st_, i))); break;
            case SQLITE_TEXT: {
                const char *s = (const char *) api.column_text(st_, i);
                if (!s && api.errcode(db_.get()) == SQLITE_NOMEM) {
                    PyErr_NoMemory();
                    rethrow();
                }
                PyObject *u = PyUnicode_FromStringAndSize(s, api.column_bytes(st_, i));
                if (!u && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                    PyErr_Clear();
                    PyErr_Format(sqlite_module().OperationalError,
                                 "Could not decode to UTF-8 column '%s' with text '%s'",
                                 api.column_name(st_, i), s);
                }
                v = own(u);
                break;
            }
            case SQLITE_BLOB: {
                const void *b = api.column_blob(st_, i);
                v = own(PyBytes_FromStringAndSize((const char *) b, b ? api.column_bytes(st_, i) : 0));
                break;
            }
            default: v = nb::none(); break;
            }
            values.append(v);
            const char *name = api.column_name(st_, i);
            names.emplace_back(name ? name : "");
        }
    }

private:
    NativeDb &db_;
    sqlite3_stmt *st_ = nullptr;
};

/// `row[key]` of `sqlite3.Row`: the first column whose name equals the key,
/// ASCII letters compared without case.
inline nb::object row_item(const nb::list &values, const std::vector<std::string_view> &names, nb::handle key) {
    std::string_view k = utf8_view(key);
    auto ascii = [](std::string_view s) {
        for (char c : s)
            if ((unsigned char) c >= 0x80) return false;
        return true;
    };
    for (size_t i = 0; i < names.size(); ++i) {
        std::string_view n = names[i];
        bool same = n == k;
        if (!same && n.size() == k.size() && ascii(n) && ascii(k)) {
            same = true;
            for (size_t j = 0; j < n.size() && same; ++j)
                same = Py_TOLOWER((unsigned char) n[j]) == Py_TOLOWER((unsigned char) k[j]);
        }
        if (same) return values[i];
    }
    raise(PyExc_IndexError, "No item with that key");
}


} // namespace vantrel::sqlite
