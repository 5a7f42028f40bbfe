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
#include <vantrel/sqlite_bridge.hpp>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#define KELDRA_POSIX 1
#endif

namespace nb = nanobind;
using namespace vantrel;
using namespace vantrel::sqlite;

namespace {

// ---------------------------------------------------------------------------
// The layout's vocabulary, as the login backend reads it
// ---------------------------------------------------------------------------

/// The top-level sections the login backend reads (`LOGIN_SECTIONS`); the
/// first three must be objects when present and truthy (`OBJECT_SECTIONS`).
constexpr const char *kLoginSections[] = {"database", "auth", "web", "auth_forms"};

/// Settings naming the account table and its columns, with their defaults
/// (`ACCOUNT_DEFAULTS`).
constexpr const char *kAccountSettings[][2] = {
    {"user_table", "users"}, {"username_column", "username"}, {"password_column", "password"}, {"id_column", "id"}};
enum AccountSetting { USER_TABLE, USERNAME_COLUMN, PASSWORD_COLUMN, ID_COLUMN };

/// The keys of the user record a successful login answers (`USER_RECORD_KEYS`).
constexpr const char *kUserRecordKeys[] = {"id", "username"};
enum RecordKey { RECORD_ID, RECORD_USERNAME };

enum Section { DATABASE, AUTH, WEB, AUTH_FORMS };

/// The storage schemes `auth.hash` may name (`PASSWORD_SCHEMES`); the first
/// one is the default.
constexpr const char *kSha256 = "sha256", *kPlain = "none", *kPbkdf2 = "pbkdf2_sha256";
constexpr const char *kSchemes[] = {kSha256, kPlain, kPbkdf2};

/// Interned forms of the tables, made when the module loads.
struct Vocabulary {
    PyObject *section[4];
    PyObject *account_key[4], *account_default[4];
    PyObject *record[2];
    PyObject *default_scheme;
} vocab;

void load_vocabulary() {
    for (int i = 0; i < 4; ++i) {
        vocab.section[i] = intern_forever(kLoginSections[i]);
        vocab.account_key[i] = intern_forever(kAccountSettings[i][0]);
        vocab.account_default[i] = intern_forever(kAccountSettings[i][1]);
    }
    for (int i = 0; i < 2; ++i) vocab.record[i] = intern_forever(kUserRecordKeys[i]);
    vocab.default_scheme = intern_forever(kSha256);
}

/// A user record: the id and the user name as stored.
nb::dict user_record(nb::handle id, nb::handle username) {
    nb::dict out;
    set_item(out, vocab.record[RECORD_ID], id);
    set_item(out, vocab.record[RECORD_USERNAME], username);
    return out;
}

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
// Stored passwords: the runtime's (OpenSSL-backed) SHA-256
// ---------------------------------------------------------------------------

Imported hashlib_sha256{"hashlib", "sha256"};

/// `hashlib.sha256(password.encode("utf-8")).hexdigest()`; lone surrogates
/// raise the codec's UnicodeEncodeError.
nb::str sha256_hex(nb::handle password) {
    nb::object bytes = own(PyUnicode_AsUTF8String(password.ptr()));
    nb::object digest = call1(hashlib_sha256.get(), bytes);
    return str_result(call_method(digest, VT_KEY("hexdigest")).release().ptr(), "hexdigest()");
}

// Salted storage (`auth.hash` "pbkdf2_sha256"): one self-describing text,
// "pbkdf2_sha256$<iterations>$<salt hex>$<digest hex>", with a random 16-byte
// salt per password; verified in constant time.


/// Iterations of a new salted password unless `auth.pbkdf2_iterations` says
/// otherwise (the common recommendation for PBKDF2-HMAC-SHA256).
constexpr long kPbkdf2DefaultIterations = 600000;

Imported hashlib_pbkdf2_hmac{"hashlib", "pbkdf2_hmac"};
Imported os_urandom{"os", "urandom"};
Imported hmac_compare_digest{"hmac", "compare_digest"};

/// `hashlib.pbkdf2_hmac("sha256", password.encode(), salt, iterations).hex()`.
nb::str pbkdf2_hex(nb::handle password, nb::handle salt, long iterations) {
    nb::object bytes = own(PyUnicode_AsUTF8String(password.ptr()));
    nb::object count = own(PyLong_FromLong(iterations));
    PyObject *argv[] = {VT_KEY("sha256").ptr(), bytes.ptr(), salt.ptr(), count.ptr()};
    nb::object digest = own(PyObject_Vectorcall(hashlib_pbkdf2_hmac.ptr(), argv, 4, nullptr));
    return str_result(call_method(digest, VT_KEY("hex")).release().ptr(), "hex()");
}

/// The configured iteration count: a positive integer, or the default.
long pbkdf2_iterations(nb::handle auth) {
    nb::object v = get_any(auth, VT_KEY("pbkdf2_iterations"));
    if (!v.is_valid() || v.is_none()) return kPbkdf2DefaultIterations;
    int overflow = 0;
    long n = PyLong_CheckExact(v.ptr()) ? PyLong_AsLongAndOverflow(v.ptr(), &overflow) : 0;
    if (PyErr_Occurred()) rethrow();
    if (overflow || n < 1 || n > INT_MAX) raise(PyExc_ValueError, "auth.pbkdf2_iterations 必须是正整数");
    return n;
}

/// The salt of the verification run for a name without an account.
nb::handle decoy_salt; // bytes, made at load

nb::str pbkdf2_store(nb::handle password, long iterations) {
    nb::object salt = call1(os_urandom.get(), nb::int_(16));
    nb::str salt_hex = str_result(call_method(salt, VT_KEY("hex")).release().ptr(), "hex()");
    nb::str digest = pbkdf2_hex(password, salt, iterations);
    return nb::steal<nb::str>(checked(PyUnicode_FromFormat("%s$%ld$%U$%U", kPbkdf2, iterations, salt_hex.ptr(),
                                                           digest.ptr())));
}

bool same_text(nb::handle a, nb::handle b) {
    PyObject *argv[] = {a.ptr(), b.ptr()};
    return truthy(own(PyObject_Vectorcall(hmac_compare_digest.ptr(), argv, 2, nullptr)));
}

bool is_hex(nb::handle s, Py_ssize_t length) {
    if (!PyUnicode_Check(s.ptr()) || PyUnicode_GET_LENGTH(s.ptr()) != length || !PyUnicode_IS_ASCII(s.ptr()))
        return false;
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(s.ptr());
    for (Py_ssize_t i = 0; i < length; ++i)
        if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'f'))) return false;
    return true;
}

/// How a stored password relates to `password`.
enum class Verdict { Wrong, Right, RightLegacy };

/// Checks `password` against a stored value: the salted form (its own
/// iteration count), or a legacy unsalted SHA-256 digest (to be rewritten).
/// Anything else, malformed values included, is no match.
Verdict verify_password(nb::handle password, nb::handle stored) {
    if (is_hex(stored, 64)) return same_text(sha256_hex(password), stored) ? Verdict::RightLegacy : Verdict::Wrong;
    if (!PyUnicode_Check(stored.ptr())) return Verdict::Wrong;
    nb::object parts = own(PyUnicode_Split(stored.ptr(), VT_KEY("$").ptr(), -1));
    if (PyList_GET_SIZE(parts.ptr()) != 4 || !equals(PyList_GET_ITEM(parts.ptr(), 0), kPbkdf2)) return Verdict::Wrong;
    nb::handle count = PyList_GET_ITEM(parts.ptr(), 1), salt_hex = PyList_GET_ITEM(parts.ptr(), 2),
               digest = PyList_GET_ITEM(parts.ptr(), 3);
    std::string_view digits = utf8_view(count);
    long iterations = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9' || iterations > INT_MAX / 10) return Verdict::Wrong;
        iterations = iterations * 10 + (ch - '0');
    }
    if (digits.empty() || iterations < 1 || !is_hex(salt_hex, 32) || !is_hex(digest, 64)) return Verdict::Wrong;
    nb::object salt = call_method(nb::handle((PyObject *) &PyBytes_Type), VT_KEY("fromhex"), salt_hex);
    return same_text(pbkdf2_hex(password, salt, iterations), digest) ? Verdict::Right : Verdict::Wrong;
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

// Both fields may be reassigned by any Python code that runs during a call
// (a path object's method, a key's `__eq__`, an overriding property), so they
// are always read into owned locals (`raw_of`, `path_of`) before use.

using Self = nb::pointer_and_handle<Plugin>;

nb::object raw_of(const Self &self) { return self.p->raw; }
nb::object path_of(const Self &self) { return self.p->path; }

/// Members a Python subclass may override (or an instance attribute may hide):
/// C++ takes its own path while the object uses the class's own (a subclass
/// that overrides nothing, such as the web face, keeps the direct paths).
enum Member {
    DATABASE_CFG, AUTH_CFG, WEB_CFG, APP_TITLE, APP_NAME, DATA_ROOT, DB_PATH, DATABASE_URL, CONNECT, HASH_PASSWORD,
    SEED_DEFAULT_USERS, MEMBER_COUNT
};
Members<MEMBER_COUNT> members{{"database_cfg", "auth_cfg", "web_cfg", "app_title", "app_name", "data_root",
                               "db_path", "database_url", "connect", "hash_password", "seed_default_users"}};

/// Does `self` use the class's own member `m`?
bool native(const Self &self, Member m) { return members.native(self.h, m); }

/// The `key` section of the document, unless absent or not truthy (null). A
/// section that is present and truthy but no object is a misconfiguration:
/// refused, rather than silently read as empty.
nb::object section_value(nb::handle raw, nb::handle key) {
    nb::object v = get_any(raw, key);
    if (!truthy(v)) return nb::object();
    if (!is_mapping(v)) {
        nb::str type = utf8(Py_TYPE(v.ptr())->tp_name);
        raise(PyExc_TypeError, concat(concat(concat(VT_KEY("配置节 "), key), VT_KEY(" 必须是 JSON 对象，不能是 ")), type));
    }
    return v;
}

/// `database_cfg`, `auth_cfg`, `web_cfg`: a shallow copy of the section, or an empty mapping.
nb::dict section_copy_of(const Self &self, nb::handle key) {
    nb::object v = section_value(raw_of(self), key);
    return v.is_valid() ? copy_dict(v) : nb::dict();
}

/// A configuration section to read from: the document's own mapping when
/// the accessor is inherited (null when it would give an empty one; never
/// changed here), else the overriding property's value.
nb::object section_view(const Self &self, Member m, nb::handle key) {
    if (!native(self, m)) return attr(self.h, members.name(m));
    nb::object v = section_value(raw_of(self), key);
    // Callees that accept exactly a dict (the data-root resolver) get one.
    if (v.is_valid() && !PyDict_CheckExact(v.ptr())) return copy_dict(v);
    return v;
}

nb::object database_view(const Self &self) { return section_view(self, DATABASE_CFG, vocab.section[DATABASE]); }
nb::object auth_view(const Self &self) { return section_view(self, AUTH_CFG, vocab.section[AUTH]); }

nb::object pages_cfg(const Self &self) {
    nb::object raw = raw_of(self);
    for (nb::handle key : {nb::handle(vocab.section[AUTH_FORMS]), VT_KEY("pages")}) {
        nb::object v = get_any(raw, key);
        if (is_mapping(v)) return copy_dict(v);
    }
    return nb::dict();
}

/// `(raw.get("window") or {}).get(key)`; a window that is no mapping has no entries.
nb::object window_get(nb::handle raw, nb::handle key) {
    nb::object win = get_any(raw, VT_KEY("window"));
    return truthy(win) ? get_if_mapping(win, key) : nb::object();
}

nb::str app_title(const Self &self) {
    nb::object web = section_view(self, WEB_CFG, vocab.section[WEB]);
    nb::object v = get_any(web, VT_KEY("title"));
    if (!truthy(v)) v = get_any(raw_of(self), VT_KEY("title"));
    if (!truthy(v)) v = window_get(raw_of(self), VT_KEY("title"));
    if (!truthy(v)) return nb::borrow<nb::str>(VT_KEY("应用"));
    return text(v);
}

/// `self.app_title`, as text.
nb::str app_title_of(const Self &self) {
    return text(members.get(self.h, APP_TITLE, [&] { return nb::object(app_title(self)); }));
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
    if (!equals(lower(path_name(d)), "config")) return nb::object();
    nb::str owner = path_name(path_parent(d));
    return PyUnicode_GET_LENGTH(owner.ptr()) ? nb::object(owner) : nb::object();
}

nb::str app_name(const Self &self) {
    nb::object db = database_view(self);
    nb::str s;
    for (nb::handle key : {VT_KEY("name"), VT_KEY("app_name")})
        if (set_text(get_any(db, key), s)) return sanitize_basename(s);
    if (set_text(get_any(raw_of(self), VT_KEY("app_name")), s)) return sanitize_basename(s);

    nb::object wid_raw = window_get(raw_of(self), VT_KEY("id"));
    if (truthy(wid_raw)) {
        nb::str wid = stripped_text(wid_raw);
        if (PyUnicode_GET_LENGTH(wid.ptr())) {
            if (lower_startswith(wid, "win_")) wid = substring(wid, {4, PyUnicode_GET_LENGTH(wid.ptr())});
            return sanitize_basename(wid);
        }
    }
    nb::object owner = config_owner_name(path_of(self));
    if (owner.is_valid()) return sanitize_basename(owner);
    return sanitize_basename(app_title_of(self));
}

/// `self.app_name`, as text.
nb::str app_name_of(const Self &self) {
    return text(members.get(self.h, APP_NAME, [&] { return nb::object(app_name(self)); }));
}

Imported resolve_project_data_root{"vantrel_app_plugin.tamsel", "resolve_project_data_root"};

nb::object data_root(const Self &self) {
    nb::object db = database_view(self), path = path_of(self);
    PyObject *args[] = {path.ptr(), value_or_none(db).ptr()};
    return own(PyObject_Vectorcall(resolve_project_data_root.ptr(), args, 2, nullptr));
}

/// `self.data_root`.
nb::object data_root_of(const Self &self) {
    return members.get(self.h, DATA_ROOT, [&] { return data_root(self); });
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


/// The data root's text when the data-root resolver would take it as a plain
/// absolute path (from the layout's `data_root`, else from CALC_WS_ROOT):
/// resolving the database path then resolves it along, with no path object
/// built. Null when the resolver has to decide (the application-directory
/// names, "~", relative paths, the project-marker search).
nb::object plain_data_root(const Self &self) {
    if (!native(self, DATA_ROOT)) return nb::object();
    nb::object db = database_view(self);
    nb::str s;
    if (db.is_valid() && !db.is_none()) {
        if (!PyDict_CheckExact(db.ptr())) return nb::object(); // the resolver rejects it
        if (set_text(get(db, VT_KEY("data_root")), s)) return PyUnicode_READ_CHAR(s.ptr(), 0) == '/' ? s : nb::object();
    }
    if (!set_text(environment_value("CALC_WS_ROOT"), s)) return nb::object();
    return PyUnicode_READ_CHAR(s.ptr(), 0) == '/' ? s : nb::object();
}

/// The end of `db_path` (the relative path joined under the data root, its
/// directory made sure of, the whole resolved) without pathlib, for plain
/// POSIX paths whose directory exists already; false when pathlib has to do
/// it. `root` receives the data root when it was needed.
bool resolve_db_path(const Self &self, nb::handle rel, nb::object &root, std::string &out) {
    std::string_view r;
    nb::object rel_bytes = plain_bytes(rel, r);
    if (!rel_bytes.is_valid()) return false;
    std::string path;
    size_t known = 0;
    std::string_view b;
    nb::object plain, plain_root_bytes;
    if (r[0] != '/' && (plain = plain_data_root(self)).is_valid() &&
        (plain_root_bytes = plain_bytes(plain, b)).is_valid()) {
        append_components(path, b);
    } else if (r[0] != '/') {
        root = data_root_of(self);
        if ((PyObject *) Py_TYPE(root.ptr()) != posix_path_type.get().ptr()) return false;
        std::string_view b;
        nb::object root_bytes = plain_bytes(text(root), b);
        if (!root_bytes.is_valid() || b[0] != '/') return false;
        append_components(path, b);
        if (native(self, DATA_ROOT)) known = path.size();
    }
    append_components(path, r);
    size_t slash = path.rfind('/');
    if (path.empty() || path.compare(slash + 1, std::string::npos, "..") == 0) return false;
    return known ? resolve_below(path, known, out) : resolve_native(path, out);
}
#endif

/// The database file in the steps of `db_path`.
DbFile db_file(const Self &self) {
    if (!native(self, DB_PATH)) return from_path_object(attr(self.h, VT_KEY("db_path")));

    nb::object db = database_view(self);
    nb::str rel;
    if (!set_text(get_any(db, VT_KEY("path")), rel)) {
        nb::object sub = get_any(db, VT_KEY("dir"));
        if (!truthy(sub)) sub = get_any(db, VT_KEY("data_dir"));
        nb::str dir = truthy(sub) ? stripped_text(sub) : nb::borrow<nb::str>(VT_KEY("data"));
        if (!PyUnicode_GET_LENGTH(dir.ptr())) dir = nb::borrow<nb::str>(VT_KEY("data"));
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
// The store: the SQLite file above, or a PostgreSQL database at a URL
// ---------------------------------------------------------------------------

Imported postgres_connection{"vantrel_app_plugin.login.postgres", "connection"};
Imported postgres_check_url{"vantrel_app_plugin.login.postgres", "check_url"};

/// `database_url`: the environment variable VANTREL_DATABASE_URL (so that a
/// password need not sit in the document), else `database.url`; None (the
/// SQLite file) when neither is set; another scheme than PostgreSQL's is refused.
nb::object database_url(const Self &self) {
    nb::str s;
    if (set_text(environment_value("VANTREL_DATABASE_URL"), s))
        return call1(postgres_check_url.get(), s);
    if (set_text(get_any(database_view(self), VT_KEY("url")), s)) return call1(postgres_check_url.get(), s);
    return nb::none();
}

/// `self.database_url`.
nb::object url_of(const Self &self) {
    return members.get(self.h, DATABASE_URL, [&] { return database_url(self); });
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
    nb::object plugin = scope.plugin;
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
    nb::object url = url_of(self);
    if (!url.is_none()) return call1(postgres_connection.get(), url); // a pooled connection, lent for the scope
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

/// Table and column names of the account table, each the text form of its
/// setting when truthy, else the default (`ACCOUNT_DEFAULTS`).
struct AccountNames {
    nb::str table, user, password, id;

    explicit AccountNames(nb::handle auth)
        : table(setting(auth, USER_TABLE)), user(setting(auth, USERNAME_COLUMN)),
          password(setting(auth, PASSWORD_COLUMN)), id(setting(auth, ID_COLUMN)) {}

    nb::str exists_sql() const { return format("SELECT 1 FROM %U WHERE %U = ?", table, user); }
    nb::str insert_sql() const { return format("INSERT INTO %U (%U, %U) VALUES (?, ?)", table, user, password); }
    nb::str insert_new_sql() const {
        return format("INSERT INTO %U (%U, %U) VALUES (?, ?) ON CONFLICT DO NOTHING", table, user, password);
    }
    nb::str login_sql() const {
        return format("SELECT %U, %U FROM %U WHERE %U = ? AND %U = ?", id, user, table, user, password);
    }
    nb::str accounts_sql() const {
        return format("SELECT %U, %U, %U FROM %U WHERE %U = ?", id, user, password, table, user);
    }
    nb::str rehash_sql() const {
        return format("UPDATE %U SET %U = ? WHERE %U = ? AND %U = ?", table, password, user, password);
    }

private:
    static nb::str setting(nb::handle auth, int i) {
        return first_text(auth, {vocab.account_key[i]}, vocab.account_default[i]);
    }

    template <class... A> static nb::str format(const char *fmt, const A &...args) {
        return nb::steal<nb::str>(checked(PyUnicode_FromFormat(fmt, args.ptr()...)));
    }
};

/// One row of the account table, for verifying a salted password.
struct Account {
    nb::object id, user, stored;
};

/// Insert an account on SQLite; false when the insert broke the unique
/// constraint on the name (a registration of the same name that committed
/// after the session's check), any other failure propagating.
template <class Session>
bool add_unless_taken(Session &session, const AccountNames &names, nb::handle u, nb::handle stored) {
    try {
        session.insert(names.insert_sql(), u, stored);
    } catch (nb::python_error &e) {
        if (!e.matches(sqlite_module().IntegrityError) || !session.exists(names.exists_sql(), u)) throw;
        return false;
    }
    return true;
}

/// On a runtime `sqlite3` connection, through a cursor.
class ModuleSession {
public:
    /// `postgres`: the connection is to PostgreSQL (through `connect()`).
    ModuleSession(nb::handle conn, bool postgres)
        : conn_(nb::borrow(conn)), cur_(call_method(conn, VT_KEY("cursor"))), postgres_(postgres) {}

    /// Insert an account unless the table's unique constraint already holds
    /// the name (a registration of the same name that committed after our
    /// check): false then. On PostgreSQL the constraint decides in the
    /// statement itself (a failed statement would end the transaction).
    bool add(const AccountNames &names, nb::handle u, nb::handle stored) {
        if (postgres_) {
            execute(names.insert_new_sql(), {u, stored});
            nb::object count = attr(cur_, VT_KEY("rowcount"));
            int overflow = 0;
            return PyLong_CheckExact(count.ptr()) && PyLong_AsLongLongAndOverflow(count.ptr(), &overflow) == 1;
        }
        return add_unless_taken(*this, names, u, stored);
    }

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
        return user_record(own(PyObject_GetItem(row.ptr(), id_col.ptr())),
                           own(PyObject_GetItem(row.ptr(), user_col.ptr())));
    }

    /// Every row of a by-name query: (id, user name, stored password) each.
    std::vector<Account> accounts(nb::handle sql, nb::handle u, const AccountNames &names) {
        execute(sql, {u});
        std::vector<Account> out;
        for_each_in(call_method(cur_, VT_KEY("fetchall")), [&](nb::handle row) {
            out.push_back({own(PyObject_GetItem(row.ptr(), names.id.ptr())),
                           own(PyObject_GetItem(row.ptr(), names.user.ptr())),
                           own(PyObject_GetItem(row.ptr(), names.password.ptr()))});
        });
        return out;
    }

    void update(nb::handle sql, nb::handle stored, nb::handle u, nb::handle old) { execute(sql, {stored, u, old}); }

    void commit() { call_method(conn_, VT_KEY("commit")); }

private:
    void execute(nb::handle sql, std::initializer_list<nb::handle> params) {
        nb::object args = own(PyTuple_New((Py_ssize_t) params.size()));
        Py_ssize_t i = 0;
        for (nb::handle p : params) PyTuple_SET_ITEM(args.ptr(), i++, nb::borrow(p).release().ptr());
        call_method(cur_, VT_KEY("execute"), sql, args);
    }

    nb::object conn_, cur_;
    bool postgres_;
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

    /// As `ModuleSession::add` on SQLite.
    bool add(const AccountNames &names, nb::handle u, nb::handle stored) {
        return add_unless_taken(*this, names, u, stored);
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
        return user_record(row_item(values, names, id_col), row_item(values, names, user_col));
    }

    std::vector<Account> accounts(nb::handle sql, nb::handle u, const AccountNames &cols) {
        std::optional<SharedRead> read;
        if (fresh()) read.emplace(db_);
        Statement st(db_, sql);
        st.bind({u});
        std::vector<Account> out;
        while (st.step()) {
            nb::list values;
            std::vector<std::string_view> names;
            st.row(values, names);
            out.push_back({row_item(values, names, cols.id), row_item(values, names, cols.user),
                           row_item(values, names, cols.password)});
        }
        return out;
    }

    void update(nb::handle sql, nb::handle stored, nb::handle u, nb::handle old) {
        Statement st(db_, sql);
        db_.begin_if_autocommit();
        st.bind({stored, u, old});
        st.step();
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
    bool postgres = !url_of(self).is_none();
    if (!postgres && sqlite_api().ready && native(self, CONNECT) && native(self, HASH_PASSWORD) &&
        !contains(sqlite_module().adapters, sqlite_module().str_adapter)) {
        NativeSession session(db_file(self).bytes);
        return op(session);
    }
    nb::object scope = members.call(self.h, CONNECT, [&] { return connect(self); });
    return with_scope(scope, [&](nb::handle conn) {
        ModuleSession session(conn, postgres);
        return op(session);
    });
}

// ---------------------------------------------------------------------------
// Accounts
// ---------------------------------------------------------------------------

/// The password storage scheme: `auth.hash` lower-cased, "sha256" by default.
nb::str hash_scheme(nb::handle auth) { return lower(first_text(auth, {VT_KEY("hash")}, vocab.default_scheme)); }

nb::str hash_password(const Self &self, nb::handle password) {
    require_str(password, "hash_password", "password");
    nb::object auth = auth_view(self);
    nb::str algo = hash_scheme(auth);
    if (equals(algo, kSha256)) return sha256_hex(password);
    if (equals(algo, kPlain)) return nb::borrow<nb::str>(password);
    if (equals(algo, kPbkdf2)) return pbkdf2_store(password, pbkdf2_iterations(auth));
    raise(PyExc_ValueError, concat("不支持的密码哈希: ", algo));
}

/// `self.hash_password(password)`.
nb::object hash_of(const Self &self, nb::handle password) {
    return members.call(self.h, HASH_PASSWORD, [&] { return nb::object(hash_password(self, password)); }, password);
}

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
    nb::str exists_sql = names.exists_sql();
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
            // Another process may seed the same account after our check (web
            // workers starting together): it exists, which is all seeding wants.
            session.add(names, user, hash_of(self, password));
        }
        session.commit();
        return nb::none();
    });
}

/// `self.seed_default_users()`.
void seed_of(const Self &self) { members.call(self.h, SEED_DEFAULT_USERS, [&] { seed_default_users(self); }); }

/// `auth.min_password_length`: the fewest characters a new password may have,
/// 0 when the layout sets none; anything but a positive integer is refused.
long min_password_length(nb::handle auth) {
    nb::object v = get_any(auth, VT_KEY("min_password_length"));
    if (!v.is_valid() || v.is_none()) return 0;
    int overflow = 0;
    long n = PyLong_CheckExact(v.ptr()) ? PyLong_AsLongAndOverflow(v.ptr(), &overflow) : 0;
    if (PyErr_Occurred()) rethrow();
    if (overflow || n < 1) raise(PyExc_ValueError, "auth.min_password_length 必须是正整数");
    return n;
}

nb::object register_user(const Self &self, nb::handle fields) {
    require_dict(fields, "register_user", "fields");
    Credentials c(fields, "register_user");
    if (c.empty()) return result(false, VT_KEY("用户名和密码不能为空"));
    nb::object auth = auth_view(self);
    long shortest = min_password_length(auth);
    if (shortest && is_text(c.password) && PyUnicode_GET_LENGTH(c.password.ptr()) < shortest)
        return result(false, nb::steal(checked(PyUnicode_FromFormat("%U%ld%U", VT_KEY("密码长度至少为 ").ptr(),
                                                                    shortest, VT_KEY(" 位").ptr()))));
    nb::object confirm = get_any(auth, VT_KEY("confirm_password_field"));
    if (truthy(confirm)) {
        int differ = PyObject_RichCompareBool(value_or_none(get(fields, confirm)).ptr(), c.password.ptr(), Py_NE);
        if (differ < 0) rethrow();
        if (differ) return result(false, VT_KEY("两次输入的密码不一致"));
    }
    AccountNames names(auth);
    nb::str exists_sql = names.exists_sql();
    nb::object out = in_session(self, [&](auto &session) {
        if (session.exists(exists_sql, c.user)) return result(false, VT_KEY("用户名已存在"));
        if (!session.add(names, c.user, hash_of(self, c.password))) return result(false, VT_KEY("用户名已存在"));
        session.commit();
        return result(true, VT_KEY("注册成功"));
    });
    return out.is_valid() ? out : nb::none();
}

/// Login against salted passwords: the rows of the user name are read and
/// each stored value verified; a legacy SHA-256 digest that matches is
/// rewritten in the salted form.
nb::object login_salted(const Self &self, const Credentials &c, nb::handle auth) {
    require_str(c.password, "hash_password", "password");
    long iterations = pbkdf2_iterations(auth);
    AccountNames names(auth);
    nb::str select = names.accounts_sql(), rehash = names.rehash_sql();
    return in_session(self, [&](auto &session) -> nb::object {
        bool found_any = false;
        for (const Account &a : session.accounts(select, c.user, names)) {
            found_any = true;
            Verdict v = verify_password(c.password, a.stored);
            if (v == Verdict::Wrong) continue;
            if (v == Verdict::RightLegacy) {
                session.update(rehash, pbkdf2_store(c.password, iterations), c.user, a.stored);
                session.commit();
            }
            return nb::object(user_record(a.id, a.user));
        }
        // No account of that name: the same work as for a wrong password, so
        // that the time taken does not tell which names exist.
        if (!found_any) pbkdf2_hex(c.password, decoy_salt, iterations);
        return nb::none();
    });
}

nb::object login_user(const Self &self, nb::handle fields) {
    require_dict(fields, "login_user", "fields");
    Credentials c(fields, "login_user");
    if (c.empty()) return result(false, VT_KEY("用户名和密码不能为空"));
    nb::object auth = auth_view(self);
    if (native(self, HASH_PASSWORD) && equals(hash_scheme(auth), kPbkdf2)) {
        nb::object user = login_salted(self, c, auth);
        if (!user.is_valid() || user.is_none()) return result(false, VT_KEY("用户名或密码错误"));
        return result(true, user);
    }
    AccountNames names(auth);
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
/// The words every column definition ends with, on either database: NOT
/// NULL, UNIQUE, DEFAULT and its value, as the declaration asks.
nb::str with_constraints(nb::list parts, nb::handle col) {
    if (truthy(get(col, VT_KEY("not_null")))) parts.append(utf8("NOT NULL"));
    if (truthy(get(col, VT_KEY("unique")))) parts.append(utf8("UNIQUE"));
    if (contains(col, VT_KEY("default"))) parts.append(concat("DEFAULT ", text(subscript(col, VT_KEY("default")))));
    return join(" ", parts);
}

nb::str column_ddl(nb::handle col) {
    nb::list parts;
    parts.append(subscript(col, VT_KEY("name")));
    nb::object type = get(col, VT_KEY("type"));
    parts.append(type.is_valid() ? nb::handle(type) : VT_KEY("TEXT"));
    if (truthy(get(col, VT_KEY("primary_key")))) parts.append(utf8("PRIMARY KEY"));
    if (truthy(get(col, VT_KEY("autoincrement")))) parts.append(utf8("AUTOINCREMENT"));
    return with_constraints(parts, col);
}

nb::str column_ddl_checked(nb::handle col) {
    require_dict(col, "_column_ddl", "col");
    return column_ddl(col);
}

// --- the same declarations on PostgreSQL ------------------------------------------

/// Declared types and what PostgreSQL calls them: SQLite's own names where
/// they differ (an 8-byte REAL, a BLOB, a DATETIME), PostgreSQL's as they
/// are. A type may carry arguments, such as VARCHAR(40) or NUMERIC(10, 2).
constexpr const char *kPostgresTypes[][2] = {
    {"INTEGER", "INTEGER"}, {"INT", "INTEGER"}, {"INT4", "INTEGER"}, {"BIGINT", "BIGINT"}, {"INT8", "BIGINT"},
    {"SMALLINT", "SMALLINT"}, {"INT2", "SMALLINT"}, {"TEXT", "TEXT"}, {"VARCHAR", "VARCHAR"},
    {"CHARACTER VARYING", "VARCHAR"}, {"CHAR", "CHAR"}, {"CHARACTER", "CHAR"}, {"REAL", "DOUBLE PRECISION"},
    {"DOUBLE", "DOUBLE PRECISION"}, {"DOUBLE PRECISION", "DOUBLE PRECISION"}, {"FLOAT", "DOUBLE PRECISION"},
    {"FLOAT8", "DOUBLE PRECISION"}, {"NUMERIC", "NUMERIC"}, {"DECIMAL", "NUMERIC"}, {"BOOLEAN", "BOOLEAN"},
    {"BOOL", "BOOLEAN"}, {"BLOB", "BYTEA"}, {"BYTEA", "BYTEA"}, {"DATE", "DATE"}, {"TIME", "TIME"},
    {"TIMESTAMP", "TIMESTAMP"}, {"DATETIME", "TIMESTAMP"}, {"TIMESTAMPTZ", "TIMESTAMPTZ"},
    {"TIMESTAMP WITH TIME ZONE", "TIMESTAMPTZ"}, {"JSON", "JSON"}, {"JSONB", "JSONB"}, {"UUID", "UUID"}};

/// Refuse a declaration PostgreSQL cannot hold as written, naming the table and the column.
[[noreturn]] void refuse_column(nb::handle table, nb::handle column, nb::handle what) {
    nb::object message = nb::steal(checked(PyUnicode_FromFormat("%U%U%U%U: %U", VT_KEY("表 ").ptr(), table.ptr(),
                                                                VT_KEY(" 的列 ").ptr(), column.ptr(), what.ptr())));
    raise(PyExc_ValueError, message);
}

/// The PostgreSQL type of a declared type: upper-cased, white space folded,
/// its arguments (digits, commas and spaces in parentheses) kept.
nb::str postgres_type(nb::handle table, nb::handle column, nb::handle declared) {
    std::string t;
    for (char ch : utf8_view(declared)) {
        char up = (ch >= 'a' && ch <= 'z') ? (char) (ch - 32) : ch;
        if (up == ' ' || up == '\t' || up == '\n') {
            if (!t.empty() && t.back() != ' ') t += ' ';
        } else {
            t += up;
        }
    }
    while (!t.empty() && t.back() == ' ') t.pop_back();
    std::string base = t, args;
    if (size_t open = t.find('('); open != std::string::npos) {
        base = t.substr(0, open);
        while (!base.empty() && base.back() == ' ') base.pop_back();
        args = t.substr(open);
        bool ok = args.size() >= 3 && args.back() == ')';
        for (size_t i = 1; ok && i + 1 < args.size(); ++i)
            ok = (args[i] >= '0' && args[i] <= '9') || args[i] == ',' || args[i] == ' ';
        if (!ok) refuse_column(table, column, concat("PostgreSQL 无法表示的类型 ", declared));
    }
    for (const auto &row : kPostgresTypes)
        if (base == row[0]) return nb::str((std::string(row[1]) + args).c_str());
    refuse_column(table, column, concat("PostgreSQL 无法表示的类型 ", declared));
}

/// One column definition on PostgreSQL: the declared words in the same order.
/// An INTEGER PRIMARY KEY, which SQLite numbers by itself (AUTOINCREMENT or
/// not), is an identity column; AUTOINCREMENT on anything else is refused, as
/// SQLite refuses it.
nb::str column_ddl_postgres(nb::handle table, nb::handle col) {
    nb::object name = subscript(col, VT_KEY("name"));
    nb::object declared = get(col, VT_KEY("type"));
    if (!declared.is_valid()) declared = nb::borrow(VT_KEY("TEXT"));
    if (!is_text(name) || !is_text(declared)) return column_ddl(col); // fails in the join, as on SQLite
    bool key = truthy(get(col, VT_KEY("primary_key")));
    nb::str type = postgres_type(table, name, declared);
    bool rowid = key && equals(type, "INTEGER") && equals(stripped_text(lower(declared)), "integer");
    if (truthy(get(col, VT_KEY("autoincrement"))) && !rowid)
        refuse_column(table, name, VT_KEY("AUTOINCREMENT 只能用于 INTEGER PRIMARY KEY"));
    nb::list parts;
    parts.append(name);
    parts.append(type);
    if (rowid) parts.append(utf8("GENERATED BY DEFAULT AS IDENTITY"));
    if (key) parts.append(utf8("PRIMARY KEY"));
    return with_constraints(parts, col);
}

nb::str column_ddl_postgres_checked(nb::handle table, nb::handle col) {
    require_str(table, "postgres_column_ddl", "table");
    require_dict(col, "postgres_column_ddl", "col");
    return column_ddl_postgres(table, col);
}

/// The CREATE TABLE statement of one table object (for PostgreSQL when
/// `postgres`), or null when it has no usable column.
nb::object create_table_sql(nb::handle tbl, bool postgres) {
    nb::str name = text(subscript(tbl, VT_KEY("name")));
    nb::list defs;
    nb::object cols = get(tbl, VT_KEY("columns"));
    if (truthy(cols))
        for_each_in(cols, [&](nb::handle col) {
            if (is_mapping(col) && contains(col, VT_KEY("name")))
                defs.append(postgres ? column_ddl_postgres(name, col) : column_ddl(col));
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
    return nb::steal(checked(PyUnicode_FromFormat("CREATE TABLE IF NOT EXISTS %U (%U)", name.ptr(), body.ptr())));
}

/// A lock of the PostgreSQL database held while the tables are created, so
/// that servers starting together do not race each other's CREATE TABLE.
constexpr long long kSchemaLock = 0x76616e7472656cLL;

/// Create the declared tables (none of them replaced), then commit.
void create_tables(const Self &self) {
    nb::object tables = get_any(database_view(self), VT_KEY("tables"));
    if (!truthy(tables)) return;
    bool postgres = !url_of(self).is_none();
    nb::object scope = members.call(self.h, CONNECT, [&] { return connect(self); });
    with_scope(scope, [&](nb::handle conn) {
        nb::object cur = call_method(conn, VT_KEY("cursor"));
        if (postgres)
            call_method(cur, VT_KEY("execute"),
                        nb::steal(checked(PyUnicode_FromFormat("SELECT pg_advisory_xact_lock(%lld)", kSchemaLock))));
        for_each_in(tables, [&](nb::handle tbl) {
            if (!is_mapping(tbl) || !contains(tbl, VT_KEY("name"))) return;
            nb::object sql = create_table_sql(tbl, postgres);
            if (sql.is_valid()) call_method(cur, VT_KEY("execute"), sql);
        });
        call_method(conn, VT_KEY("commit"));
        return nb::none();
    });
}

void init_database(const Self &self) {
    nb::object tables = get_any(database_view(self), VT_KEY("tables"));
    if (!truthy(tables)) return;
    create_tables(self);
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

    // Module constants fixed at load: the sqlite3 module's classes and the
    // SQLite library it uses.
    sqlite::load();
    m.attr("_native_sqlite") = nb::bool_(sqlite_api().ready);

    // The vocabulary the login backend reads, for the registry, the checker
    // and the command line.
    load_vocabulary();
    decoy_salt = nb::bytes("vantrel-no-such-account", 16).release();
    nb::object proxy = nb::module_::import_("types").attr("MappingProxyType");
    nb::list sections, schemes;
    for (PyObject *name : vocab.section) sections.append(nb::handle(name));
    for (const char *scheme : kSchemes) schemes.append(utf8(scheme));
    m.attr("LOGIN_SECTIONS") = nb::tuple(sections);
    m.attr("OBJECT_SECTIONS") = nb::make_tuple(nb::handle(vocab.section[DATABASE]), nb::handle(vocab.section[AUTH]),
                                               nb::handle(vocab.section[WEB]));
    m.attr("PASSWORD_SCHEMES") = nb::tuple(schemes);
    m.attr("USER_RECORD_KEYS") = nb::make_tuple(nb::handle(vocab.record[0]), nb::handle(vocab.record[1]));
    m.attr("DEFAULT_PASSWORD_SCHEME") = nb::handle(vocab.default_scheme);
    m.attr("PBKDF2_ITERATIONS") = nb::int_(kPbkdf2DefaultIterations);
    nb::dict accounts;
    for (int i = 0; i < 4; ++i) accounts[vocab.account_key[i]] = nb::handle(vocab.account_default[i]);
    m.attr("ACCOUNT_DEFAULTS") = proxy(accounts);

    nb::class_<ConnectScope>(m, "_ConnectScope", nb::type_slots(gc_slots<ConnectScope>),
                             "Connection scope of `JsonAppPlugin.connect()`.")
        .def("__enter__", &scope_enter, nb::sig("def __enter__(self) -> sqlite3.Connection"),
             "Open the connection (rows are `sqlite3.Row`).")
        .def("__exit__", [](ConnectScope &s, nb::args) { return scope_exit(s); },
             nb::sig("def __exit__(self, *exc_info: object) -> bool"), "Close the connection; errors propagate.");

    nb::class_<Plugin> cls(m, "JsonAppPlugin", nb::type_slots(gc_slots<Plugin>),
                           "Application object configured by one JSON layout document, with its SQLite user store.");
    // The document is read before the object is built, so a failed read
    // leaves no half-made instance behind.
    cls.def("__init__",
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
        .def_prop_ro("config_path", [](Self self) { return path_of(self); },
                     nb::sig("def config_path(self, /) -> pathlib.Path"), "The configuration path as given.")
        .def_prop_ro("data", [](Self self) { return raw_of(self); },
                     nb::sig("def data(self, /) -> dict[str, typing.Any]"), "The document itself (not a copy).")
        .def("reload", [](Self self) { self.p->raw = read_document(path_of(self)); },
             "Read the document again; on failure the previous one stays.")
        .def_prop_ro("database_cfg", [](Self self) { return section_copy_of(self, vocab.section[DATABASE]); },
                     nb::sig("def database_cfg(self, /) -> dict[str, typing.Any]"),
                     "Copy of the ``database`` section.")
        .def_prop_ro("auth_cfg", [](Self self) { return section_copy_of(self, vocab.section[AUTH]); },
                     nb::sig("def auth_cfg(self, /) -> dict[str, typing.Any]"), "Copy of the ``auth`` section.")
        .def_prop_ro("web_cfg", [](Self self) { return section_copy_of(self, vocab.section[WEB]); },
                     nb::sig("def web_cfg(self, /) -> dict[str, typing.Any]"), "Copy of the ``web`` section.")
        .def_prop_ro("pages_cfg", &pages_cfg,
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
        .def_prop_ro("database_url", &database_url, nb::sig("def database_url(self, /) -> str | None"),
                     "The PostgreSQL database of the store ($VANTREL_DATABASE_URL, else ``database.url``), or None "
                     "for the SQLite file at ``db_path``.")
        .def("create_tables", &create_tables, "Create the declared tables that do not exist (no account is seeded).")
        .def("init_database", &init_database, "Create the declared tables, then seed the default accounts.")
        .def("connect", &connect,
             nb::sig("def connect(self) -> contextlib.AbstractContextManager[sqlite3.Connection]"),
             "Context manager yielding a new connection to ``db_path``, closed on exit (on PostgreSQL, a pooled "
             "connection lent for the block, what it did not commit rolled back).")
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
    members.bind(cls);

    m.def("read_document", [](nb::handle config_path) {
              return read_document(to_path(config_path, "read_document", "config_path"));
          }, nb::arg("config_path").none(),
          nb::sig("def read_document(config_path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          "The layout document at ``config_path`` as the login backend reads it (a JSON object).");
    m.def("load_plugin_sections", &load_plugin_sections, nb::arg("config_path").none(),
          nb::sig("def load_plugin_sections(config_path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          "Selected top-level sections of a layout document; empty when it is missing or no object.");
    m.def("_sanitize_db_basename", &sanitize_db_basename, nb::arg("name").none(),
          nb::sig("def _sanitize_db_basename(name: str) -> str"), "Safe database base name (1 to 64 characters).");
    m.def("_column_ddl", &column_ddl_checked, nb::arg("col").none(),
          nb::sig("def _column_ddl(col: dict[str, typing.Any]) -> str"), "One column definition of CREATE TABLE.");
    m.def("postgres_column_ddl", &column_ddl_postgres_checked, nb::arg("table").none(), nb::arg("col").none(),
          nb::sig("def postgres_column_ddl(table: str, col: dict[str, typing.Any]) -> str"),
          "One column definition of CREATE TABLE on PostgreSQL; ValueError naming the table and the column when "
          "PostgreSQL cannot hold the declaration.");
}
