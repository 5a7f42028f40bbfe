// keldra: the login backend. `JsonAppPlugin` reads one JSON layout document
// and keeps a SQLite user store from it: declared tables, default accounts,
// registration and login.
//
// Every accessor recomputes its value from `_raw` and `_path`. A Python
// subclass may override any property or method: values derived from other
// properties read them through the object unless it is exactly a
// `JsonAppPlugin`, where the C++ implementation is called directly.
//
// The account operations open one connection per call. When the SQLite
// library of the runtime's `sqlite3` module can be reached directly they talk
// to it through its C API (same library, same open flags, busy timeout and
// implicit transactions, same exception classes and messages); otherwise they
// run on a runtime `sqlite3` connection from `connect()`.
#include <vantrel/idioms.hpp>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <dlfcn.h>
#include <sys/stat.h>
#define KELDRA_POSIX 1
#endif

namespace nb = nanobind;
using namespace vantrel;

namespace {

// ---------------------------------------------------------------------------
// Database base names
// ---------------------------------------------------------------------------

/// Does `s[lo, hi)` end with ".db" in any letter case? Only ASCII letters
/// lower-case to "d" and "b", so the last three characters decide.
bool ends_with_db(PyObject *s, Py_ssize_t lo, Py_ssize_t hi) {
    if (hi - lo < 3) return false;
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_UCS4 a = PyUnicode_READ(kind, data, hi - 3), b = PyUnicode_READ(kind, data, hi - 2),
            c = PyUnicode_READ(kind, data, hi - 1);
    return a == '.' && (b == 'd' || b == 'D') && (c == 'b' || c == 'B');
}

/// Characters that the pattern [^\w\-] leaves alone: the runtime's `re`
/// counts a character as a word character when it is alphanumeric or "_".
inline bool is_name_char(Py_UCS4 ch) { return ch == '_' || ch == '-' || Py_UNICODE_ISALNUM(ch); }

/// `re.sub(r"[^\w\-]+", "_", ...)` over the stripped name without its ".db"
/// suffix, then "_" stripped from both ends and the first 64 characters kept.
nb::str sanitize_basename(nb::handle name) {
    PyObject *s = name.ptr();
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Span span = strip_span(name);
    if (ends_with_db(s, span.lo, span.hi)) {
        span.hi -= 3;
        while (span.hi > span.lo && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, span.hi - 1))) --span.hi;
    }
    std::u32string out;
    out.reserve((size_t) (span.hi - span.lo));
    bool in_run = false;
    for (Py_ssize_t i = span.lo; i < span.hi; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (is_name_char(ch)) {
            out.push_back(ch);
            in_run = false;
        } else if (!in_run) {
            out.push_back('_');
            in_run = true;
        }
    }
    size_t lo = 0, hi = out.size();
    while (lo < hi && out[lo] == '_') ++lo;
    while (hi > lo && out[hi - 1] == '_') --hi;
    if (lo == hi) return utf8("app");
    if (hi - lo > 64) hi = lo + 64;
    return nb::steal<nb::str>(
        checked(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data() + lo, (Py_ssize_t) (hi - lo))));
}

nb::str sanitize_db_basename(nb::handle name) {
    require_str(name, "_sanitize_db_basename", "name");
    return sanitize_basename(name);
}

// ---------------------------------------------------------------------------
// SHA-256 (stored passwords: lower-case hex digest of the UTF-8 bytes)
// ---------------------------------------------------------------------------

class Sha256 {
public:
    explicit Sha256(const unsigned char *p, size_t n) {
        uint64_t bits = (uint64_t) n * 8;
        for (; n >= 64; p += 64, n -= 64) block(p);
        unsigned char tail[128] = {};
        memcpy(tail, p, n);
        tail[n] = 0x80;
        size_t len = n + 1 + 8 <= 64 ? 64 : 128;
        for (int i = 0; i < 8; ++i) tail[len - 1 - i] = (unsigned char) (bits >> (8 * i));
        block(tail);
        if (len == 128) block(tail + 64);
    }

    /// The digest as 64 lower-case hexadecimal characters.
    nb::str hex() const {
        static const char digits[] = "0123456789abcdef";
        PyObject *r = checked(PyUnicode_New(64, 127));
        Py_UCS1 *out = PyUnicode_1BYTE_DATA(r);
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 8; ++j) out[i * 8 + j] = (Py_UCS1) digits[(h_[i] >> (28 - 4 * j)) & 0xf];
        return nb::steal<nb::str>(r);
    }

private:
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void block(const unsigned char *p) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t) p[4 * i] << 24 | (uint32_t) p[4 * i + 1] << 16 | (uint32_t) p[4 * i + 2] << 8 |
                   (uint32_t) p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
    }

    uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
};

/// UTF-8 bytes of a str; lone surrogates raise the codec's UnicodeEncodeError.
std::string_view utf8_view(nb::handle s) {
    Py_ssize_t n;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) rethrow();
    return {p, (size_t) n};
}

nb::str sha256_hex(nb::handle password) {
    std::string_view bytes = utf8_view(password);
    return Sha256((const unsigned char *) bytes.data(), bytes.size()).hex();
}

// ---------------------------------------------------------------------------
// The object and its configuration accessors
// ---------------------------------------------------------------------------

Imported posix_path_type{"pathlib", "PosixPath"};

struct Plugin {
    nb::object path = nb::none(); // `_path`: the configuration path as given
    nb::object raw = nb::none();  // `_raw`: the parsed document

    template <class F> void each_ref(F &&f) {
        f(raw);
        f(path);
    }
};

using Self = nb::pointer_and_handle<Plugin>;

bool exact(const Self &self) { return is_exact_instance<Plugin>(self.h); }

/// A configuration section to read from: for a `JsonAppPlugin` the
/// document's own dict (null when the accessor would give an empty one), for
/// a subclass the (possibly overridden) property.
nb::object section_view(const Self &self, nb::handle key, nb::handle property) {
    if (!exact(self)) return attr(self.h, property);
    nb::object v = get_any(self.p->raw, key);
    if (v.ptr() && PyDict_CheckExact(v.ptr())) return v;
    if (is_mapping(v) && truthy(v)) return copy_dict(v);
    return nb::object();
}

nb::object database_view(const Self &self) { return section_view(self, VT_KEY("database"), VT_KEY("database_cfg")); }
nb::object auth_view(const Self &self) { return section_view(self, VT_KEY("auth"), VT_KEY("auth_cfg")); }

nb::object pages_cfg(const Plugin &p) {
    for (nb::handle key : {VT_KEY("auth_forms"), VT_KEY("pages")}) {
        nb::object v = get_any(p.raw, key);
        if (is_mapping(v)) return copy_dict(v);
    }
    return nb::dict();
}

/// `(raw.get("window") or {}).get(key)`; a window that is no mapping has no entries.
nb::object window_get(const Plugin &p, nb::handle key) {
    nb::object win = get_any(p.raw, VT_KEY("window"));
    return truthy(win) ? get_if_mapping(win, key) : nb::object();
}

nb::str app_title(const Self &self) {
    nb::object web = section_view(self, VT_KEY("web"), VT_KEY("web_cfg"));
    nb::object v = get_any(web, VT_KEY("title"));
    if (!truthy(v)) v = get_any(self.p->raw, VT_KEY("title"));
    if (!truthy(v)) v = window_get(*self.p, VT_KEY("title"));
    if (!truthy(v)) return utf8("应用");
    return text(v);
}

nb::str app_title_of(const Self &self) {
    if (exact(self)) return app_title(self);
    return text(attr(self.h, VT_KEY("app_title")));
}

/// Name of the directory two levels above the configuration file when the
/// file lies in a directory named config (any letter case), else null.
/// A plain POSIX path is read from its text; other path objects through pathlib.
nb::object config_owner_name(nb::handle path) {
    if ((PyObject *) Py_TYPE(path.ptr()) == posix_path_type.get().ptr()) {
        nb::str s = text(path);
        PyObject *o = s.ptr();
        int kind = PyUnicode_KIND(o);
        const void *data = PyUnicode_DATA(o);
        // Components of a normalised path: [start of owner, end of owner) "/" config "/" file
        Py_ssize_t end = PyUnicode_GET_LENGTH(o), cut[3];
        for (int k = 0; k < 3; ++k) {
            while (end > 0 && PyUnicode_READ(kind, data, end - 1) != '/') --end;
            cut[k] = end; // index after the k-th slash from the right (0: none left)
            if (end > 0) --end;
        }
        // The parent `d` is the text before the last slash (no slash: ".", no name).
        if (cut[0] == 0) return nb::object();
        Py_ssize_t d_lo = cut[1], d_hi = cut[0] - 1;
        if (d_hi - d_lo != 6 || !equals(lower(substring(s, {d_lo, d_hi})), "config")) return nb::object();
        if (cut[1] == 0) return nb::object(); // "config/x": the parent of d is "."
        Py_ssize_t o_lo = cut[2], o_hi = cut[1] - 1;
        if (o_hi <= o_lo) return nb::object(); // the root has no name
        return substring(s, {o_lo, o_hi});
    }
    nb::object d = path_parent(path);
    if (!equals(lower(text(attr(d, VT_KEY("name")))), "config")) return nb::object();
    nb::object owner = text(attr(path_parent(d), VT_KEY("name")));
    return PyUnicode_GET_LENGTH(owner.ptr()) ? owner : nb::object();
}

nb::str app_name(const Self &self) {
    const Plugin &p = *self.p;
    nb::object db = database_view(self);
    nb::str s;
    for (nb::handle key : {VT_KEY("name"), VT_KEY("app_name")})
        if (set_text(get_any(db, key), s)) return sanitize_basename(s);
    if (set_text(get_any(p.raw, VT_KEY("app_name")), s)) return sanitize_basename(s);

    nb::object wid_raw = window_get(p, VT_KEY("id"));
    if (truthy(wid_raw)) {
        nb::str wid = stripped_text(wid_raw);
        if (PyUnicode_GET_LENGTH(wid.ptr())) {
            if (lower_startswith(wid, "win_")) wid = substring(wid, {4, PyUnicode_GET_LENGTH(wid.ptr())});
            return sanitize_basename(wid);
        }
    }
    nb::object owner = config_owner_name(p.path);
    if (owner.is_valid()) return sanitize_basename(owner);
    return sanitize_basename(app_title_of(self));
}

nb::str app_name_of(const Self &self) {
    if (exact(self)) return app_name(self);
    return text(attr(self.h, VT_KEY("app_name")));
}

Imported resolve_project_data_root{"vantrel_app_plugin.tamsel", "resolve_project_data_root"};

nb::handle data_root_function() { return resolve_project_data_root.get(); }

nb::object data_root(const Self &self) {
    nb::object db = database_view(self);
    PyObject *args[] = {self.p->path.ptr(), value_or_none(db).ptr()};
    return own(PyObject_Vectorcall(data_root_function().ptr(), args, 2, nullptr));
}

nb::object data_root_of(const Self &self) {
    if (exact(self)) return data_root(self);
    return attr(self.h, VT_KEY("data_root"));
}

/// Has a Python subclass replaced the member `name` of `JsonAppPlugin`?
bool overridden(const Self &self, nb::handle name) {
    if (exact(self)) return false;
    PyObject *base = nb::type<Plugin>().ptr();
    nb::object mro = nb::borrow(Py_TYPE(self.h.ptr())->tp_mro);
    if (!mro.is_valid() || !PyTuple_Check(mro.ptr())) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.ptr()); ++i) {
        PyObject *cls = PyTuple_GET_ITEM(mro.ptr(), i);
        if (cls == base) return false;
        nb::object dict = own(PyObject_GetAttr(cls, VT_KEY("__dict__").ptr()));
        if (member(dict, name)) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The database file
// ---------------------------------------------------------------------------

/// The database file: its absolute path in the file system encoding, and the
/// path object when one was built on the way (pathlib or an override).
struct DbFile {
    std::string bytes;
    nb::object path;
};

nb::bytes fs_encode(nb::handle s) { return nb::steal<nb::bytes>(checked(PyUnicode_EncodeFSDefault(s.ptr()))); }

nb::str fs_decode(const std::string &b) {
    return nb::steal<nb::str>(checked(PyUnicode_DecodeFSDefaultAndSize(b.data(), (Py_ssize_t) b.size())));
}

DbFile from_path_object(nb::object path) {
    nb::bytes b = fs_encode(text(path));
    std::string bytes(b.c_str(), b.size());
    if (bytes.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
    return {std::move(bytes), std::move(path)};
}

/// `p = Path(rel)`, under the data root when relative; parent created; resolved.
nb::object pathlib_db_path(nb::handle rel, nb::object &root, const Self &self) {
    nb::object p = call1(path_type(), rel);
    if (!truthy(call_method(p, VT_KEY("is_absolute")))) {
        if (!root.is_valid()) root = data_root_of(self);
        p = own(PyNumber_TrueDivide(root.ptr(), p.ptr()));
    }
    nb::object mkdir = attr(path_parent(p), VT_KEY("mkdir"));
    nb::object kwargs = nb::dict();
    set_item(kwargs, VT_KEY("parents"), Py_True);
    set_item(kwargs, VT_KEY("exist_ok"), Py_True);
    own(PyObject_Call(mkdir.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    return path_resolve(p);
}

#ifdef KELDRA_POSIX
/// Appends the components of `s` to `out` as pathlib joins them: empty and
/// "." components dropped, ".." kept.
void append_components(std::string &out, std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == '/') ++i;
        size_t j = i;
        while (j < s.size() && s[j] != '/') ++j;
        if (j > i && !(j - i == 1 && s[i] == '.')) {
            out += '/';
            out.append(s.data() + i, j - i);
        }
        i = j;
    }
}

/// A path starting with exactly two slashes keeps them in pathlib; left to it.
bool plain_root(std::string_view s) { return !(s.size() >= 2 && s[0] == '/' && s[1] == '/' && (s.size() == 2 || s[2] != '/')); }

/// What `Path(path).resolve()` gives for an absolute, normalised path whose
/// parent is an existing directory, or false when pathlib has to decide (a
/// missing parent, a dangling link, any error but a missing file).
bool resolve_native(const std::string &path, std::string &out) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf)) {
        out = buf;
        return true;
    }
    if (errno != ENOENT) return false;
    size_t slash = path.rfind('/');
    std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (lstat(path.c_str(), &st) == 0 || errno != ENOENT) return false;
    if (!realpath(parent.c_str(), buf)) return false;
    out = buf;
    if (out != "/") out += '/';
    out.append(path, slash + 1, std::string::npos);
    return true;
}

/// `resolve_native` for a path whose first `known` bytes are already resolved
/// (the data root as the data-root resolver returns it): only the components
/// after it are looked at, and when none is a link, "..", missing or not a
/// directory (the file itself may be missing) the path is its own result.
bool resolve_below(const std::string &path, size_t known, std::string &out) {
    struct stat st;
    for (size_t pos = known; pos < path.size();) {
        size_t next = path.find('/', pos + 1);
        if (next == std::string::npos) next = path.size();
        bool last = next == path.size();
        if (path.compare(pos + 1, next - pos - 1, "..") == 0) return resolve_native(path, out);
        if (lstat(path.substr(0, next).c_str(), &st) != 0) {
            if (last && errno == ENOENT) break;
            return resolve_native(path, out);
        }
        if (S_ISLNK(st.st_mode) || (!last && !S_ISDIR(st.st_mode))) return resolve_native(path, out);
        pos = next;
    }
    out = path;
    return true;
}

/// The file system bytes of a path text that needs nothing from pathlib: not
/// empty, no NUL, no leading "//"; null otherwise (pathlib then reports what
/// is wrong, quoting the whole path).
nb::object plain_bytes(nb::handle s, std::string_view &out) {
    nb::object b = nb::steal(PyUnicode_EncodeFSDefault(s.ptr()));
    if (!b.is_valid()) {
        PyErr_Clear();
        return b;
    }
    out = std::string_view(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
    if (out.empty() || out.find('\0') != std::string_view::npos || !plain_root(out)) return nb::object();
    return b;
}

/// Steps 3 to 5 of `db_path` (join under the data root, create the parent,
/// resolve) without pathlib, for plain POSIX paths whose directory exists;
/// false when pathlib has to do them. `root` receives the data root when it
/// was needed.
bool resolve_db_path(const Self &self, nb::handle rel, nb::object &root, std::string &out) {
    std::string_view r;
    nb::object rel_bytes = plain_bytes(rel, r);
    if (!rel_bytes.is_valid()) return false;
    std::string path;
    size_t known = 0;
    if (r[0] != '/') {
        root = data_root_of(self);
        if ((PyObject *) Py_TYPE(root.ptr()) != posix_path_type.get().ptr()) return false;
        std::string_view b;
        nb::object root_bytes = plain_bytes(text(root), b);
        if (!root_bytes.is_valid() || b[0] != '/') return false;
        append_components(path, b);
        if (!overridden(self, VT_KEY("data_root"))) known = path.size();
    }
    append_components(path, r);
    size_t slash = path.rfind('/');
    if (path.empty() || path.compare(slash + 1, std::string::npos, "..") == 0) return false;
    return known ? resolve_below(path, known, out) : resolve_native(path, out);
}
#endif

/// The database file in the steps of `db_path`.
DbFile db_file(const Self &self) {
    if (overridden(self, VT_KEY("db_path"))) return from_path_object(attr(self.h, VT_KEY("db_path")));

    nb::object db = database_view(self);
    nb::str rel;
    if (!set_text(get_any(db, VT_KEY("path")), rel)) {
        nb::object sub = get_any(db, VT_KEY("dir"));
        if (!truthy(sub)) sub = get_any(db, VT_KEY("data_dir"));
        nb::str dir = truthy(sub) ? stripped_text(sub) : utf8("data");
        if (!PyUnicode_GET_LENGTH(dir.ptr())) dir = utf8("data");
        rel = nb::steal<nb::str>(checked(PyUnicode_FromFormat("%U/%U.db", dir.ptr(), app_name_of(self).ptr())));
    }
    nb::object root;
#ifdef KELDRA_POSIX
    std::string resolved;
    if (resolve_db_path(self, rel, root, resolved)) return {std::move(resolved), nb::object()};
#endif
    return from_path_object(pathlib_db_path(rel, root, self));
}

nb::object db_path(const Self &self) {
    DbFile f = db_file(self);
    if (f.path.is_valid()) return f.path;
    return call1(path_type(), fs_decode(f.bytes));
}

// ---------------------------------------------------------------------------
// The runtime's sqlite3 module and direct access to its SQLite library
// ---------------------------------------------------------------------------

/// Symbolic names of SQLite result codes, as the module's exceptions carry
/// them in `sqlite_errorname`: its SQLITE_<primary> and
/// SQLITE_<primary>_<detail> constants.
nb::dict result_code_names(nb::handle module) {
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

const SqliteModule &sqlite_module() {
    static const SqliteModule m = [] {
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
    }();
    return m;
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
SqliteApi load_sqlite_api() {
    SqliteApi api{};
#ifdef KELDRA_POSIX
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

const SqliteApi &sqlite_api() {
    static const SqliteApi api = load_sqlite_api();
    return api;
}

/// The module's exception class for a primary result code; null for NOMEM.
PyObject *error_class(int code) {
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
[[noreturn]] void raise_sqlite_error(sqlite3 *db, int rc) {
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
const char *skip_sql_space(const char *p) {
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
nb::object row_item(const nb::list &values, const std::vector<std::string_view> &names, nb::handle key) {
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

// ---------------------------------------------------------------------------
// Connection scopes
// ---------------------------------------------------------------------------

/// What `connect()` returns: entering opens a runtime `sqlite3` connection on
/// `db_path` with `sqlite3.Row` rows, leaving closes it (errors propagate).
struct ConnectScope {
    nb::object plugin = nb::none();
    nb::object conn = nb::none();

    template <class F> void each_ref(F &&f) {
        f(plugin);
        f(conn);
    }
};

nb::object open_module_connection(const Self &self) {
    DbFile f = db_file(self);
    nb::object path = f.path.is_valid() ? nb::object(text(f.path)) : nb::object(fs_decode(f.bytes));
    nb::object conn = call1(sqlite_module().connect, path);
    if (PyObject_SetAttr(conn.ptr(), VT_KEY("row_factory").ptr(), sqlite_module().Row) < 0) {
        nb::python_error error;
        call_method(conn, VT_KEY("close"));
        throw error;
    }
    return conn;
}

nb::object scope_enter(ConnectScope &scope) {
    if (!scope.conn.is_none()) raise(PyExc_RuntimeError, "connection scope entered twice");
    nb::handle plugin = scope.plugin;
    if (!PyObject_TypeCheck(plugin.ptr(), (PyTypeObject *) nb::type<Plugin>().ptr()))
        raise(PyExc_TypeError, "connection scope without a JsonAppPlugin");
    scope.conn = open_module_connection(Self{nb::inst_ptr<Plugin>(plugin), plugin});
    return scope.conn;
}

bool scope_exit(ConnectScope &scope) {
    nb::object conn = scope.conn;
    scope.conn = nb::none();
    if (!conn.is_none()) call_method(conn, VT_KEY("close"));
    return false;
}

nb::object connect(const Self &self) {
    nb::object scope = nb::inst_alloc(nb::type<ConnectScope>());
    new (nb::inst_ptr<ConnectScope>(scope)) ConnectScope{nb::borrow(self.h), nb::none()};
    nb::inst_mark_ready(scope);
    return scope;
}

/// `with cm as conn: return body(conn)`; a null result when `__exit__`
/// swallows the error.
template <class F> nb::object with_scope(nb::handle cm, F &&body) {
    nb::object exit = attr(cm, VT_KEY("__exit__"));
    nb::object conn = call_method(cm, VT_KEY("__enter__"));
    nb::object result;
    try {
        result = body(conn);
    } catch (nb::python_error &e) {
        PyObject *args[] = {e.type().ptr(), e.value().ptr(), e.traceback().ptr()};
        if (!args[2]) args[2] = Py_None;
        nb::object swallow = own(PyObject_Vectorcall(exit.ptr(), args, 3, nullptr));
        if (truthy(swallow)) return nb::object();
        throw;
    }
    PyObject *args[] = {Py_None, Py_None, Py_None};
    own(PyObject_Vectorcall(exit.ptr(), args, 3, nullptr));
    return result;
}

// ---------------------------------------------------------------------------
// Sessions: the statements of the account operations on either connection
// ---------------------------------------------------------------------------

/// On a runtime `sqlite3` connection, through a cursor.
class ModuleSession {
public:
    explicit ModuleSession(nb::handle conn) : conn_(nb::borrow(conn)), cur_(call_method(conn, VT_KEY("cursor"))) {}

    bool exists(nb::handle sql, nb::handle u) {
        execute(sql, {u});
        return !call_method(cur_, VT_KEY("fetchone")).is_none();
    }

    void insert(nb::handle sql, nb::handle u, nb::handle stored) { execute(sql, {u, stored}); }

    /// The first matching row as {"id": ..., "username": ...}, or null.
    nb::object user(nb::handle sql, nb::handle u, nb::handle stored, nb::handle id_col, nb::handle user_col) {
        execute(sql, {u, stored});
        nb::object row = call_method(cur_, VT_KEY("fetchone"));
        if (row.is_none()) return nb::object();
        nb::dict out;
        set_item(out, VT_KEY("id"), own(PyObject_GetItem(row.ptr(), id_col.ptr())));
        set_item(out, VT_KEY("username"), own(PyObject_GetItem(row.ptr(), user_col.ptr())));
        return out;
    }

    void commit() { call_method(conn_, VT_KEY("commit")); }

private:
    void execute(nb::handle sql, std::initializer_list<nb::handle> params) {
        nb::object args = own(PyTuple_New((Py_ssize_t) params.size()));
        Py_ssize_t i = 0;
        for (nb::handle p : params) PyTuple_SET_ITEM(args.ptr(), i++, nb::borrow(p).release().ptr());
        call_method(cur_, VT_KEY("execute"), sql, args);
    }

    nb::object conn_, cur_;
};

/// On a new connection the first statement reads the schema in a read
/// transaction of its own, then takes another to run. A statement that needs
/// no schema, stepped and kept active around it, lets both share one read
/// transaction: same rows and errors, half the locking system calls.
class SharedRead {
public:
    explicit SharedRead(NativeDb &db) : st_(db, VT_KEY("PRAGMA schema_version")) { st_.step(); }

private:
    Statement st_;
};

/// On a direct SQLite connection, statement by statement as the module runs them.
class NativeSession {
public:
    explicit NativeSession(const std::string &path) : db_(path) {}

    bool exists(nb::handle sql, nb::handle u) {
        std::optional<SharedRead> read;
        if (fresh()) read.emplace(db_);
        Statement st(db_, sql);
        st.bind({u});
        return st.step();
    }

    void insert(nb::handle sql, nb::handle u, nb::handle stored) {
        Statement st(db_, sql);
        db_.begin_if_autocommit();
        st.bind({u, stored});
        st.step();
    }

    nb::object user(nb::handle sql, nb::handle u, nb::handle stored, nb::handle id_col, nb::handle user_col) {
        std::optional<SharedRead> read;
        if (fresh()) read.emplace(db_);
        Statement st(db_, sql);
        st.bind({u, stored});
        if (!st.step()) return nb::object();
        nb::list values;
        std::vector<std::string_view> names;
        st.row(values, names);
        nb::dict out;
        set_item(out, VT_KEY("id"), row_item(values, names, id_col));
        set_item(out, VT_KEY("username"), row_item(values, names, user_col));
        return out;
    }

    void commit() { db_.commit(); }

private:
    /// True for the first statement only.
    bool fresh() { return std::exchange(fresh_, false); }

    NativeDb db_;
    bool fresh_ = true;
};

/// Runs `op(session)` on a connection of its own: directly on SQLite when
/// the library is reachable and neither `connect` nor `hash_password` is
/// overridden (and no adapter is registered for str), else inside `connect()`.
template <class Op> nb::object in_session(const Self &self, Op &&op) {
    if (sqlite_api().ready && !overridden(self, VT_KEY("connect")) && !overridden(self, VT_KEY("hash_password")) &&
        !contains(sqlite_module().adapters, sqlite_module().str_adapter)) {
        NativeSession session(db_file(self).bytes);
        return op(session);
    }
    nb::object scope = exact(self) ? connect(self) : call_method(self.h, VT_KEY("connect"));
    return with_scope(scope, [&](nb::handle conn) {
        ModuleSession session(conn);
        return op(session);
    });
}

// ---------------------------------------------------------------------------
// Accounts
// ---------------------------------------------------------------------------

nb::str hash_password(const Self &self, nb::handle password) {
    require_str(password, "hash_password", "password");
    nb::object setting = get_any(auth_view(self), VT_KEY("hash"));
    nb::str algo = lower(truthy(setting) ? text(setting) : nb::borrow<nb::str>(VT_KEY("sha256")));
    if (equals(algo, "sha256")) return sha256_hex(password);
    if (equals(algo, "none")) return nb::borrow<nb::str>(password);
    raise(PyExc_ValueError, concat("不支持的密码哈希: ", algo));
}

nb::object hash_of(const Self &self, nb::handle password) {
    if (!overridden(self, VT_KEY("hash_password"))) return hash_password(self, password);
    return call_method(self.h, VT_KEY("hash_password"), password);
}

/// Table and column names of the account table, each the text form of its
/// setting when truthy, else the default.
struct AccountNames {
    nb::str table, user, password, id;

    explicit AccountNames(nb::handle auth)
        : table(setting(auth, VT_KEY("user_table"), VT_KEY("users"))),
          user(setting(auth, VT_KEY("username_column"), VT_KEY("username"))),
          password(setting(auth, VT_KEY("password_column"), VT_KEY("password"))),
          id(setting(auth, VT_KEY("id_column"), VT_KEY("id"))) {}

    nb::str exists_sql() const { return format("SELECT 1 FROM %U WHERE %U = ?", table, user); }
    nb::str insert_sql() const { return format("INSERT INTO %U (%U, %U) VALUES (?, ?)", table, user, password); }
    nb::str login_sql() const {
        return format("SELECT %U, %U FROM %U WHERE %U = ? AND %U = ?", id, user, table, user, password);
    }

private:
    static nb::str setting(nb::handle auth, nb::handle key, nb::handle fallback) {
        nb::object v = get_any(auth, key);
        return truthy(v) ? text(v) : nb::borrow<nb::str>(fallback);
    }

    template <class... A> static nb::str format(const char *fmt, const A &...args) {
        return nb::steal<nb::str>(checked(PyUnicode_FromFormat(fmt, args.ptr()...)));
    }
};

/// The user name (stripped; a truthy value must be a str) and the password
/// (as given) of a field mapping; absent or false values read as "".
struct Credentials {
    nb::str user;
    nb::object password;

    Credentials(nb::handle fields, const char *func) {
        nb::object u = get(fields, VT_KEY("username"));
        if (truthy(u)) {
            if (!is_text(u)) {
                PyErr_Format(PyExc_TypeError, "%s() field 'username' must be str, not %s", func,
                             Py_TYPE(u.ptr())->tp_name);
                rethrow();
            }
            user = strip(u);
        } else {
            user = nb::borrow<nb::str>(VT_KEY(""));
        }
        password = get(fields, VT_KEY("password"));
        if (!truthy(password)) password = nb::borrow(VT_KEY(""));
    }

    bool empty() const { return PyUnicode_GET_LENGTH(user.ptr()) == 0 || !truthy(password); }
};

nb::object result(bool ok, nb::handle payload) {
    return own(PyTuple_Pack(2, ok ? Py_True : Py_False, payload.ptr()));
}

void seed_default_users(const Self &self) {
    nb::object auth = auth_view(self);
    nb::object seeds = get_any(auth, VT_KEY("seed_users"));
    if (!seeds.is_valid() || seeds.is_none()) {
        nb::object single = get_any(auth, VT_KEY("default_user"));
        if (!is_mapping(single)) return;
        nb::list one;
        one.append(single);
        seeds = std::move(one);
    }
    if (!is_list(seeds)) return;
    AccountNames names(auth);
    nb::str exists_sql = names.exists_sql(), insert_sql = names.insert_sql();
    in_session(self, [&](auto &session) {
        // Text forms may run Python code that edits the list: re-read its size every time.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seeds.ptr()); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(seeds.ptr(), i));
            if (!is_mapping(item)) continue;
            nb::object u = get(item, VT_KEY("username")), p = get(item, VT_KEY("password"));
            nb::str user = truthy(u) ? stripped_text(u) : nb::borrow<nb::str>(VT_KEY(""));
            nb::str password = truthy(p) ? text(p) : nb::borrow<nb::str>(VT_KEY(""));
            if (!PyUnicode_GET_LENGTH(user.ptr()) || !PyUnicode_GET_LENGTH(password.ptr())) continue;
            if (session.exists(exists_sql, user)) continue;
            session.insert(insert_sql, user, hash_of(self, password));
        }
        session.commit();
        return nb::none();
    });
}

void seed_of(const Self &self) {
    if (exact(self)) seed_default_users(self);
    else call_method(self.h, VT_KEY("seed_default_users"));
}

nb::object register_user(const Self &self, nb::handle fields) {
    require_dict(fields, "register_user", "fields");
    Credentials c(fields, "register_user");
    if (c.empty()) return result(false, VT_KEY("用户名和密码不能为空"));
    nb::object auth = auth_view(self);
    nb::object confirm = get_any(auth, VT_KEY("confirm_password_field"));
    if (truthy(confirm)) {
        int differ = PyObject_RichCompareBool(value_or_none(get(fields, confirm)).ptr(), c.password.ptr(), Py_NE);
        if (differ < 0) rethrow();
        if (differ) return result(false, VT_KEY("两次输入的密码不一致"));
    }
    AccountNames names(auth);
    nb::str exists_sql = names.exists_sql(), insert_sql = names.insert_sql();
    nb::object out = in_session(self, [&](auto &session) {
        if (session.exists(exists_sql, c.user)) return result(false, VT_KEY("用户名已存在"));
        nb::object stored = hash_of(self, c.password);
        try {
            session.insert(insert_sql, c.user, stored);
        } catch (nb::python_error &e) {
            // A registration of the same name that committed after our check.
            if (!e.matches(sqlite_module().IntegrityError) || !session.exists(exists_sql, c.user)) throw;
            return result(false, VT_KEY("用户名已存在"));
        }
        session.commit();
        return result(true, VT_KEY("注册成功"));
    });
    return out.is_valid() ? out : nb::none();
}

nb::object login_user(const Self &self, nb::handle fields) {
    require_dict(fields, "login_user", "fields");
    Credentials c(fields, "login_user");
    if (c.empty()) return result(false, VT_KEY("用户名和密码不能为空"));
    AccountNames names(auth_view(self));
    nb::str sql = names.login_sql();
    nb::object user = in_session(self, [&](auto &session) {
        nb::object stored = hash_of(self, c.password);
        nb::object found = session.user(sql, c.user, stored, names.id, names.user);
        return found.is_valid() ? found : nb::none();
    });
    if (!user.is_valid() || user.is_none()) return result(false, VT_KEY("用户名或密码错误"));
    return result(true, user);
}

// ---------------------------------------------------------------------------
// Schema
// ---------------------------------------------------------------------------

nb::str join(const char *sep, nb::handle parts) {
    return nb::steal<nb::str>(checked(PyUnicode_Join(utf8(sep).ptr(), parts.ptr())));
}

/// One column definition; `name` and `type` are joined as they are, so a
/// value that is not a str fails in the join.
nb::str column_ddl(nb::handle col) {
    nb::list parts;
    parts.append(subscript(col, VT_KEY("name")));
    nb::object type = get(col, VT_KEY("type"));
    parts.append(type.is_valid() ? nb::handle(type) : VT_KEY("TEXT"));
    static const char *const flags[][2] = {{"primary_key", "PRIMARY KEY"},
                                           {"autoincrement", "AUTOINCREMENT"},
                                           {"not_null", "NOT NULL"},
                                           {"unique", "UNIQUE"}};
    for (auto &flag : flags)
        if (truthy(get(col, utf8(flag[0])))) parts.append(utf8(flag[1]));
    if (contains(col, VT_KEY("default"))) parts.append(concat("DEFAULT ", text(subscript(col, VT_KEY("default")))));
    return join(" ", parts);
}

nb::str column_ddl_checked(nb::handle col) {
    require_dict(col, "_column_ddl", "col");
    return column_ddl(col);
}

/// The CREATE TABLE statement of one table object, or null when it has no usable column.
nb::object create_table_sql(nb::handle tbl) {
    nb::list defs;
    nb::object cols = get(tbl, VT_KEY("columns"));
    if (truthy(cols))
        for_each_in(cols, [&](nb::handle col) {
            if (is_mapping(col) && contains(col, VT_KEY("name"))) defs.append(column_ddl(col));
        });
    nb::str body = join(", ", defs);
    if (!PyUnicode_GET_LENGTH(body.ptr())) return nb::object();
    nb::object fks = get(tbl, VT_KEY("foreign_keys"));
    if (truthy(fks))
        for_each_in(fks, [&](nb::handle fk) {
            if (!is_mapping(fk)) return;
            nb::object column = text(subscript(fk, VT_KEY("column")));
            nb::object table = text(subscript(fk, VT_KEY("table")));
            nb::object references = text(subscript(fk, VT_KEY("references")));
            body = nb::steal<nb::str>(checked(PyUnicode_FromFormat(
                "%U, FOREIGN KEY (%U) REFERENCES %U (%U)", body.ptr(), column.ptr(), table.ptr(), references.ptr())));
        });
    nb::str name = text(subscript(tbl, VT_KEY("name")));
    return nb::steal(checked(PyUnicode_FromFormat("CREATE TABLE IF NOT EXISTS %U (%U)", name.ptr(), body.ptr())));
}

void init_database(const Self &self) {
    nb::object tables = get_any(database_view(self), VT_KEY("tables"));
    if (!truthy(tables)) return;
    nb::object scope = exact(self) ? connect(self) : call_method(self.h, VT_KEY("connect"));
    with_scope(scope, [&](nb::handle conn) {
        nb::object cur = call_method(conn, VT_KEY("cursor"));
        for_each_in(tables, [&](nb::handle tbl) {
            if (!is_mapping(tbl) || !contains(tbl, VT_KEY("name"))) return;
            nb::object sql = create_table_sql(tbl);
            if (sql.is_valid()) call_method(cur, VT_KEY("execute"), sql);
        });
        call_method(conn, VT_KEY("commit"));
        return nb::none();
    });
    seed_of(self);
}

// ---------------------------------------------------------------------------
// The document
// ---------------------------------------------------------------------------

nb::object read_document(nb::handle path) {
    if (!path_is_file(path)) raise(PyExc_FileNotFoundError, concat("配置文件不存在: ", text(path)));
    nb::object data = json_loads(read_text_utf8(path));
    if (!is_mapping(data)) raise(PyExc_ValueError, "配置根节点必须是 JSON 对象");
    return data;
}

nb::dict load_plugin_sections(nb::handle config_path) {
    nb::object p = to_path(config_path, "load_plugin_sections", "config_path");
    nb::dict out;
    if (!path_is_file(p)) return out;
    nb::object data = json_loads(read_text_utf8(p));
    if (!is_mapping(data)) return out;
    for (const char *key : {"database", "auth", "web", "auth_forms", "title", "input"}) {
        nb::object v = get(data, utf8(key));
        if (v.is_valid()) set_item(out, utf8(key), v);
    }
    nb::object pages = get(data, VT_KEY("pages"));
    if (is_mapping(pages)) set_item(out, VT_KEY("auth_forms"), pages);
    return out;
}

} // namespace

NB_MODULE(keldra, m) {
    resolve_imports();
    m.doc() = "Login backend: JSON-configured application object with its SQLite user store.";

    // Module constants fixed at load: the data-root resolver, the sqlite3
    // module's classes and the SQLite library it uses.
    data_root_function();
    sqlite_module();
    m.attr("_native_sqlite") = nb::bool_(sqlite_api().ready);

    nb::class_<ConnectScope>(m, "_ConnectScope", nb::type_slots(gc_slots<ConnectScope>),
                             "Connection scope of `JsonAppPlugin.connect()`.")
        .def("__enter__", &scope_enter, nb::sig("def __enter__(self) -> sqlite3.Connection"),
             "Open the connection (rows are `sqlite3.Row`).")
        .def("__exit__", [](ConnectScope &s, nb::args) { return scope_exit(s); },
             nb::sig("def __exit__(self, *exc_info: object) -> bool"), "Close the connection; errors propagate.");

    nb::class_<Plugin>(m, "JsonAppPlugin", nb::type_slots(gc_slots<Plugin>),
                       "Application object configured by one JSON layout document, with its SQLite user store.")
        // The document is read before the object is built, so a failed read
        // leaves no half-made instance behind.
        .def("__init__",
             [](Plugin *self, nb::handle config_path) {
                 nb::object path = to_path(config_path, "JsonAppPlugin", "config_path");
                 nb::object raw = read_document(path);
                 new (self) Plugin{std::move(path), std::move(raw)};
             },
             nb::arg("config_path").none(),
             nb::sig("def __init__(self, config_path: str | os.PathLike[str]) -> None"),
             "Read the document at ``config_path``.")
        .def_rw("_path", &Plugin::path, nb::for_setter(nb::arg("value").none()),
                nb::for_getter(nb::sig("def _path(self, /) -> pathlib.Path")),
                nb::for_setter(nb::sig("def _path(self, value: pathlib.Path, /) -> None")))
        .def_rw("_raw", &Plugin::raw, nb::for_setter(nb::arg("value").none()),
                nb::for_getter(nb::sig("def _raw(self, /) -> dict[str, typing.Any]")),
                nb::for_setter(nb::sig("def _raw(self, value: dict[str, typing.Any], /) -> None")))
        .def_prop_ro("config_path", [](Self self) { return self.p->path; },
                     nb::sig("def config_path(self, /) -> pathlib.Path"), "The configuration path as given.")
        .def_prop_ro("data", [](Self self) { return self.p->raw; },
                     nb::sig("def data(self, /) -> dict[str, typing.Any]"), "The document itself (not a copy).")
        .def("reload", [](Self self) { self.p->raw = read_document(self.p->path); },
             "Read the document again; on failure the previous one stays.")
        .def_prop_ro("database_cfg", [](Self self) { return section_copy(self.p->raw, VT_KEY("database")); },
                     nb::sig("def database_cfg(self, /) -> dict[str, typing.Any]"),
                     "Copy of the ``database`` section.")
        .def_prop_ro("auth_cfg", [](Self self) { return section_copy(self.p->raw, VT_KEY("auth")); },
                     nb::sig("def auth_cfg(self, /) -> dict[str, typing.Any]"), "Copy of the ``auth`` section.")
        .def_prop_ro("web_cfg", [](Self self) { return section_copy(self.p->raw, VT_KEY("web")); },
                     nb::sig("def web_cfg(self, /) -> dict[str, typing.Any]"), "Copy of the ``web`` section.")
        .def_prop_ro("pages_cfg", [](Self self) { return pages_cfg(*self.p); },
                     nb::sig("def pages_cfg(self, /) -> dict[str, typing.Any]"),
                     "Copy of the web authentication pages (``auth_forms``, else an object under ``pages``).")
        .def_prop_ro("app_title", &app_title, nb::sig("def app_title(self, /) -> str"),
                     "Display title of the application.")
        .def_prop_ro("app_name", &app_name, nb::sig("def app_name(self, /) -> str"),
                     "Safe base name of the database file.")
        .def_prop_ro("data_root", &data_root, nb::sig("def data_root(self, /) -> pathlib.Path"),
                     "Project data root.")
        .def_prop_ro("db_path", &db_path, nb::sig("def db_path(self, /) -> pathlib.Path"),
                     "Absolute database file; its directory is created on every access.")
        .def("init_database", &init_database, "Create the declared tables, then seed the default accounts.")
        .def("connect", &connect,
             nb::sig("def connect(self) -> contextlib.AbstractContextManager[sqlite3.Connection]"),
             "Context manager yielding a new connection to ``db_path``, closed on exit.")
        .def("seed_default_users", &seed_default_users, "Create the configured default accounts that do not exist.")
        .def("hash_password", &hash_password, nb::arg("password").none(),
             nb::sig("def hash_password(self, password: str) -> str"), "The stored form of a password.")
        .def("register_user", &register_user, nb::arg("fields").none(),
             nb::sig("def register_user(self, fields: dict[str, typing.Any]) -> tuple[bool, str]"),
             "Register the account of a field mapping: (flag, message).")
        .def("login_user", &login_user, nb::arg("fields").none(),
             nb::sig("def login_user(self, fields: dict[str, typing.Any]) -> "
                     "tuple[bool, dict[str, typing.Any] | str]"),
             "Log in with a field mapping: (True, user) or (False, message).");

    m.def("load_plugin_sections", &load_plugin_sections, nb::arg("config_path").none(),
          nb::sig("def load_plugin_sections(config_path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          "Selected top-level sections of a layout document; empty when it is missing or no object.");
    m.def("_sanitize_db_basename", &sanitize_db_basename, nb::arg("name").none(),
          nb::sig("def _sanitize_db_basename(name: str) -> str"), "Safe database base name (1 to 64 characters).");
    m.def("_column_ddl", &column_ddl_checked, nb::arg("col").none(),
          nb::sig("def _column_ddl(col: dict[str, typing.Any]) -> str"), "One column definition of CREATE TABLE.");
}
