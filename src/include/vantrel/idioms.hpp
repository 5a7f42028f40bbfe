// Shared idioms of the vantrel_app_plugin extension modules.
//
// Every module works on the host runtime's own objects (dict, list, str
// handles) and expresses the system's recurring rules through the helpers
// below, so that "truthy", "text form", "first truthy of" and the argument
// checks mean exactly the same thing everywhere.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <new>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vantrel {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

/// Propagate the Python error that is currently set.
[[noreturn]] inline void rethrow() { throw nb::python_error(); }

/// Check a result of the C API: null means a Python error is set.
inline PyObject *checked(PyObject *o) {
    if (!o) rethrow();
    return o;
}

/// Take ownership of a new reference returned by the C API, raising on null.
inline nb::object own(PyObject *o) { return nb::steal(checked(o)); }

/// Raise `type(message)`; `message` is used as the only argument.
[[noreturn]] inline void raise(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    rethrow();
}

[[noreturn]] inline void raise(PyObject *type, const char *utf8_message) {
    PyErr_SetString(type, utf8_message);
    rethrow();
}

/// Raise `KeyError(key)` the way a failed subscript does (a tuple key is
/// wrapped so that the exception's args hold the key itself).
[[noreturn]] inline void raise_key_error(nb::handle key) {
    nb::object exc = own(PyObject_CallOneArg(PyExc_KeyError, key.ptr()));
    PyErr_SetObject(PyExc_KeyError, exc.ptr());
    rethrow();
}

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

/// A str built from UTF-8 bytes.
inline nb::str utf8(const char *s) { return nb::steal<nb::str>(checked(PyUnicode_FromString(s))); }

/// An interned str constant, created once and kept for the life of the
/// process (a module constant fixed at load, never released).
inline PyObject *intern_forever(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o) rethrow();
    return o;
}

/// Interned key constant for dictionary and attribute look-ups:
/// `VT_KEY("type")` costs one static load after its first use.
#define VT_KEY(lit)                                                            \
    (::nanobind::handle([]() -> PyObject * {                                   \
        static PyObject *vt_key_ = ::vantrel::intern_forever(lit);             \
        return vt_key_;                                                        \
    }()))

/// Concatenation of two strs.
inline nb::str concat(nb::handle a, nb::handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    // Two texts of one storage width (a message and a key, most often): one
    // allocation of that width and two copies. Strings are stored in their
    // narrowest width, so the result is too.
    if (PyUnicode_Check(x) && PyUnicode_Check(y) && PyUnicode_KIND(x) == PyUnicode_KIND(y) &&
        PyUnicode_IS_ASCII(x) == PyUnicode_IS_ASCII(y)) {
        Py_ssize_t nx = PyUnicode_GET_LENGTH(x), ny = PyUnicode_GET_LENGTH(y);
        if (nx && ny && ny <= PY_SSIZE_T_MAX - nx) {
            size_t width = PyUnicode_KIND(x);
            PyObject *r = checked(PyUnicode_New(nx + ny, PyUnicode_MAX_CHAR_VALUE(x)));
            char *out = (char *) PyUnicode_DATA(r);
            memcpy(out, PyUnicode_DATA(x), (size_t) nx * width);
            memcpy(out + (size_t) nx * width, PyUnicode_DATA(y), (size_t) ny * width);
            return nb::steal<nb::str>(r);
        }
    }
    return nb::steal<nb::str>(checked(PyUnicode_Concat(x, y)));
}

/// Concatenation of a UTF-8 prefix and a str (the shape of every message).
inline nb::str concat(const char *prefix, nb::handle b) { return concat(utf8(prefix), b); }

/// A result of a Python call that must be a str (a subclass included): the
/// object itself, or a TypeError naming what produced it. Nothing str-only
/// of the C API sees an unchecked result.
inline nb::str str_result(PyObject *owned, const char *what) {
    nb::object o = nb::steal(owned);
    if (!PyUnicode_Check(o.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s returned non-string (type %s)", what, Py_TYPE(o.ptr())->tp_name);
        rethrow();
    }
    return nb::steal<nb::str>(o.release());
}

/// UTF-8 bytes of a str, borrowed from it; lone surrogates raise the codec's
/// UnicodeEncodeError.
inline std::string_view utf8_view(nb::handle s) {
    Py_ssize_t n;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) rethrow();
    return {p, (size_t) n};
}

/// A str in the file system encoding (`os.fsencode`).
inline nb::bytes fs_encode(nb::handle s) {
    return nb::steal<nb::bytes>(checked(PyUnicode_EncodeFSDefault(s.ptr())));
}

/// Bounds [lo, hi) of a str without its leading and trailing white space,
/// as `str.strip()` with no argument sees white space (Unicode included).
struct Span {
    Py_ssize_t lo, hi;
};

inline Span strip_span(nb::handle s) {
    PyObject *o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o), lo = 0, hi = n;
    int kind = PyUnicode_KIND(o);
    const void *data = PyUnicode_DATA(o);
    while (lo < hi && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, lo))) ++lo;
    while (hi > lo && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, hi - 1))) --hi;
    return {lo, hi};
}

/// The part of `s` inside `span` (`s` itself when nothing is cut).
inline nb::str substring(nb::handle s, Span span) {
    if (span.lo == 0 && span.hi == PyUnicode_GET_LENGTH(s.ptr()) && PyUnicode_CheckExact(s.ptr()))
        return nb::borrow<nb::str>(s);
    if (PyUnicode_IS_ASCII(s.ptr())) { // any cut of ASCII text is ASCII: copy directly
        Py_ssize_t n = span.hi - span.lo;
        PyObject *r = checked(PyUnicode_New(n, 127));
        memcpy(PyUnicode_1BYTE_DATA(r), PyUnicode_1BYTE_DATA(s.ptr()) + span.lo, (size_t) n);
        return nb::steal<nb::str>(r);
    }
    return nb::steal<nb::str>(checked(PyUnicode_Substring(s.ptr(), span.lo, span.hi)));
}

/// Does the part of `s` inside `span` equal the ASCII literal `lit`?
inline bool span_equals(nb::handle s, Span span, const char *lit) {
    PyObject *o = s.ptr();
    int kind = PyUnicode_KIND(o);
    const void *data = PyUnicode_DATA(o);
    Py_ssize_t i = span.lo;
    for (; *lit; ++lit, ++i)
        if (i >= span.hi || PyUnicode_READ(kind, data, i) != (Py_UCS4) (unsigned char) *lit) return false;
    return i == span.hi;
}

/// `str.strip()` with no argument: Unicode white space as the runtime knows it.
inline nb::str strip(nb::handle s) { return substring(s, strip_span(s)); }

/// `s.lower()`, with a fast path for exact ASCII text. A subclass's own
/// `lower` is called, and its result must be a str.
inline nb::str lower(nb::handle s) {
    PyObject *o = s.ptr();
    if (PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        const Py_UCS1 *src = PyUnicode_1BYTE_DATA(o);
        Py_ssize_t i = 0;
        while (i < n && !(src[i] >= 'A' && src[i] <= 'Z')) ++i;
        if (i == n) return nb::borrow<nb::str>(s);
        PyObject *r = checked(PyUnicode_New(n, 127));
        Py_UCS1 *dst = PyUnicode_1BYTE_DATA(r);
        for (Py_ssize_t j = 0; j < n; ++j) {
            Py_UCS1 c = src[j];
            dst[j] = (c >= 'A' && c <= 'Z') ? (Py_UCS1) (c + 32) : c;
        }
        return nb::steal<nb::str>(r);
    }
    return str_result(checked(PyObject_CallMethodNoArgs(o, VT_KEY("lower").ptr())), "lower()");
}

/// Exact equality of a str with an ASCII literal (for other text compare two
/// strs with `str_eq`, e.g. against a `VT_KEY` constant).
inline bool equals(nb::handle s, const char *ascii_lit) {
    return PyUnicode_Check(s.ptr()) && PyUnicode_CompareWithASCIIString(s.ptr(), ascii_lit) == 0;
}

/// Exact equality of two strs (compared by length, kind and code units; no
/// Python code can run).
inline bool str_eq(nb::handle a, nb::handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == y) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(x);
    if (n != PyUnicode_GET_LENGTH(y) || PyUnicode_KIND(x) != PyUnicode_KIND(y)) return false;
    return memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), (size_t) n * PyUnicode_KIND(x)) == 0;
}

/// Does `s` start with the given ASCII prefix once lower-cased?
inline bool lower_startswith(nb::handle s, const char *ascii_prefix) {
    PyObject *o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    int kind = PyUnicode_KIND(o);
    const void *data = PyUnicode_DATA(o);
    Py_ssize_t i = 0;
    for (; ascii_prefix[i]; ++i) {
        if (i >= n) return false;
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 'A' && c <= 'Z') c += 32;
        if (c != (Py_UCS4) (unsigned char) ascii_prefix[i]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Truth, text form, type tests
// ---------------------------------------------------------------------------

/// `bool(x)`; a null handle (an absent value) is false.
inline bool truthy(nb::handle h) {
    PyObject *o = h.ptr();
    if (!o || o == Py_None || o == Py_False) return false;
    if (o == Py_True) return true;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) != 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    int r = PyObject_IsTrue(o);
    if (r < 0) rethrow();
    return r != 0;
}

/// Text form: the value itself when it is a str, else `str(value)`.
inline nb::str text(nb::handle h) {
    if (PyUnicode_Check(h.ptr())) return nb::borrow<nb::str>(h);
    return nb::steal<nb::str>(checked(PyObject_Str(h.ptr())));
}

/// Text form with surrounding white space removed.
inline nb::str stripped_text(nb::handle h) { return strip(text(h)); }

/// Set: not None and its stripped text form is not empty.
/// On success `out` receives the stripped text.
inline bool set_text(nb::handle h, nb::str &out) {
    if (!h.ptr() || h.is_none()) return false;
    nb::str s = stripped_text(h);
    if (PyUnicode_GET_LENGTH(s.ptr()) == 0) return false;
    out = std::move(s);
    return true;
}

// Type tests inside algorithms: the built-in type or a subclass of it.
inline bool is_mapping(nb::handle h) { return h.ptr() && PyDict_Check(h.ptr()); }
inline bool is_list(nb::handle h) { return h.ptr() && PyList_Check(h.ptr()); }
inline bool is_text(nb::handle h) { return h.ptr() && PyUnicode_Check(h.ptr()); }

/// First truthy value among the candidates; the last one when none is.
/// Candidates are handles that stay alive for the caller (borrowed).
inline nb::handle first_truthy(std::initializer_list<nb::handle> candidates) {
    nb::handle last;
    for (nb::handle c : candidates) {
        if (truthy(c)) return c;
        last = c;
    }
    return last;
}

// ---------------------------------------------------------------------------
// Mapping and attribute access
// ---------------------------------------------------------------------------

/// `d.get(key)` on a dict (or subclass): a new reference, or a null object
/// when absent. Null is what "absent counts as None" means in the algorithms;
/// `truthy` and `value_or_none` accept it.
inline nb::object get(nb::handle d, nb::handle key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *v; // a miss costs no look at the thread's error state
    if (PyDict_GetItemRef(d.ptr(), key.ptr(), &v) < 0) rethrow();
    return nb::steal(v);
#else
    PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) rethrow();
    return nb::borrow(v);
#endif
}

/// `d.get(key)` when `d` is a mapping, else absent.
inline nb::object get_if_mapping(nb::handle d, nb::handle key) {
    return is_mapping(d) ? get(d, key) : nb::object();
}

/// `d[key]`, raising KeyError (dict subclasses keep their own `__getitem__`).
inline nb::object subscript(nb::handle d, nb::handle key) {
    if (PyDict_CheckExact(d.ptr())) {
        nb::object v = get(d, key);
        if (!v.is_valid()) raise_key_error(key);
        return v;
    }
    return own(PyObject_GetItem(d.ptr(), key.ptr()));
}

/// `key in d` for a dict.
inline bool contains(nb::handle d, nb::handle key) {
    int r = PyDict_Contains(d.ptr(), key.ptr());
    if (r < 0) rethrow();
    return r != 0;
}

/// `d[key] = value` for a dict.
inline void set_item(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) rethrow();
}

/// `x in collection` through the collection's own membership test (a str in
/// a built-in set or frozenset directly).
inline bool member(nb::handle collection, nb::handle x) {
    PyObject *c = collection.ptr();
    bool direct = PyUnicode_CheckExact(x.ptr()) && (PySet_CheckExact(c) || PyFrozenSet_CheckExact(c));
    int r = direct ? PySet_Contains(c, x.ptr()) : PySequence_Contains(c, x.ptr());
    if (r < 0) rethrow();
    return r != 0;
}

/// Walks the entries of a dict (or subclass) in order with the checks of the
/// runtime's own dict iterators: when Python code run between two steps
/// changes the dict's size (or its keys), the next step raises the runtime's
/// RuntimeError with the runtime's message. The walk owns the dict, and each
/// step hands out strong references to the key and the value, so Python code
/// run between steps may replace the field the dict came from, or the entry.
class dict_walk {
public:
    explicit dict_walk(nb::handle d) : d_(nb::borrow(d)), used_(PyDict_GET_SIZE(d.ptr())), left_(used_) {}

    bool next(nb::object &key, nb::object &value) {
        PyObject *d = d_.ptr(), *k, *v;
        if (PyDict_GET_SIZE(d) != used_) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (!PyDict_Next(d, &pos_, &k, &v)) return false;
        if (left_-- == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        key = nb::borrow(k);
        value = nb::borrow(v);
        return true;
    }

private:
    nb::object d_;
    Py_ssize_t used_, left_, pos_ = 0;
};

/// `for key, value in d.items(): f(key, value)` on a dict (or subclass):
/// `f` receives strong references, so Python code it runs may change `d`.
template <typename F> inline void for_each_item(nb::handle d, F &&f) {
    dict_walk walk(d);
    nb::object key, value;
    while (walk.next(key, value)) f(key, value);
}

/// `for item in iterable: f(item)` through the runtime's iteration protocol
/// (its own errors, such as a set changing size, propagate).
template <typename F> inline void for_each_in(nb::handle iterable, F &&f) {
    nb::object it = own(PyObject_GetIter(iterable.ptr()));
    while (nb::object item = nb::steal(PyIter_Next(it.ptr()))) f(item);
    if (PyErr_Occurred()) rethrow();
}

/// A new empty dict with room for `n` entries (no resize while filling it).
inline nb::dict presized_dict(Py_ssize_t n) {
    return nb::steal<nb::dict>(checked(_PyDict_NewPresized(n)));
}

/// A new dict holding the entries of `d` (a shallow copy).
inline nb::dict copy_dict(nb::handle d) {
    return nb::steal<nb::dict>(checked(PyDict_Copy(d.ptr())));
}

/// A null handle read as None.
inline nb::handle value_or_none(nb::handle h) { return h.ptr() ? h : nb::handle(Py_None); }

/// `obj.get(key)` on any object: a dict (or subclass) is read directly (null
/// when absent); anything else has its own `get` called, so a value that is
/// not a mapping fails with the runtime's AttributeError. A null `obj` gives null.
inline nb::object get_any(nb::handle obj, nb::handle key) {
    if (!obj.ptr()) return nb::object(); // an absent mapping has no entries
    if (PyDict_Check(obj.ptr())) return get(obj, key);
    PyObject *argv[] = {obj.ptr(), key.ptr()};
    return own(PyObject_VectorcallMethod(VT_KEY("get").ptr(), argv,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `m.get(k1) or m.get(k2) or ... or fallback`: read lazily, so keys after
/// the first truthy value are not looked up.
inline nb::object first_truthy_in(nb::handle m, std::initializer_list<nb::handle> keys,
                                  nb::handle fallback) {
    for (nb::handle k : keys)
        if (nb::object v = get_any(m, k); truthy(v)) return v;
    return nb::borrow(fallback);
}

/// The text form of the first truthy `m.get(k)` among `keys`, else of
/// `fallback`: the shape of every defaulted text setting.
inline nb::str first_text(nb::handle m, std::initializer_list<nb::handle> keys, nb::handle fallback) {
    return text(first_truthy_in(m, keys, fallback));
}

/// The text form of the first truthy value among `candidates`, else of the
/// last one (candidates held by the caller; the last one is never null).
inline nb::str first_text(std::initializer_list<nb::handle> candidates) { return text(first_truthy(candidates)); }

/// `a, b = value` with the runtime's unpacking errors.
inline void unpack2(nb::handle value, nb::object &a, nb::object &b) {
    PyObject *o = value.ptr();
    if ((PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == 2) ||
        (PyList_CheckExact(o) && PyList_GET_SIZE(o) == 2)) {
        a = nb::borrow(PySequence_Fast_GET_ITEM(o, 0));
        b = nb::borrow(PySequence_Fast_GET_ITEM(o, 1));
        return;
    }
    PyObject *it = PyObject_GetIter(o);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", Py_TYPE(o)->tp_name);
        }
        rethrow();
    }
    nb::object iter = nb::steal(it);
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = nb::steal(PyIter_Next(it));
        if (!items[i].is_valid()) {
            if (PyErr_Occurred()) rethrow();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            rethrow();
        }
    }
    nb::object extra = nb::steal(PyIter_Next(it));
    if (extra.is_valid()) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) rethrow();
    a = std::move(items[0]);
    b = std::move(items[1]);
}

/// `getattr(obj, name, None)` keeping the absence distinguishable: a null
/// object when the attribute does not exist. Other errors propagate.
inline nb::object getattr_opt(nb::handle obj, nb::handle name) {
    PyObject *out = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &out) < 0) rethrow();
#else
    if (_PyObject_LookupAttr(obj.ptr(), name.ptr(), &out) < 0) rethrow();
#endif
    return nb::steal(out);
}

/// `getattr(obj, name)`, raising AttributeError as the runtime does.
inline nb::object attr(nb::handle obj, nb::handle name) {
    return own(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

/// `callable(x)`.
inline bool is_callable(nb::handle h) { return h.ptr() && PyCallable_Check(h.ptr()); }

/// One level of re-entry through a call made by name (a hook, a method named
/// by configuration), held while that call runs. A cycle of such calls that
/// runs native code only (a page hook naming a method that navigates back to
/// the same page) has no Python frame for the runtime to count, so it would
/// overflow the C stack; it ends in the runtime's RecursionError instead. A
/// level stands for the few Python frames a Python version would spend on
/// it: the limit is a quarter of the runtime's recursion limit. Per thread.
class Reentry {
  public:
    explicit Reentry(const char *where) {
        if (++depth() > Py_GetRecursionLimit() / 4) {
            --depth();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            rethrow();
        }
    }
    ~Reentry() { --depth(); }
    Reentry(const Reentry &) = delete;
    Reentry &operator=(const Reentry &) = delete;

  private:
    static int &depth() {
        static thread_local int level = 0;
        return level;
    }
};

/// Call with no arguments.
inline nb::object call0(nb::handle f) { return own(PyObject_CallNoArgs(f.ptr())); }

/// Call with one positional argument.
inline nb::object call1(nb::handle f, nb::handle a) { return own(PyObject_CallOneArg(f.ptr(), a.ptr())); }

/// Call a method by interned name with positional arguments.
template <typename... Args>
inline nb::object call_method(nb::handle obj, nb::handle name, Args... args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    return own(PyObject_VectorcallMethod(name.ptr(), argv,
                                         (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// ---------------------------------------------------------------------------
// Members that Python code may override
// ---------------------------------------------------------------------------
//
// Where C++ code calls a member of an object (a method, a property, a hook
// named by the layout) it finds it as attribute access would, so a subclass's
// override, an attribute of the instance, a property's getter and
// `__getattr__` are all honoured. `Members` does this for the members of a
// bound class, with the part that depends on the type alone worked out once
// per type; `lookup_method` does it for any name.

/// The version tag of `tp` while it is valid, else 0. The runtime gives a tag
/// out once and drops it whenever the type or one of its bases changes, so an
/// answer about a type's members may be kept with the tag it was found under.
inline unsigned int valid_version_tag(PyTypeObject *tp) {
#if PY_VERSION_HEX >= 0x030D0000
    return tp->tp_version_tag; // reset to 0 when the type changes
#else
    return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#endif
}

/// Does the instance's own namespace hold `name`? (Objects without one, or
/// with an empty one: no.) The namespace is read in place, without a new
/// reference; only looking a key up in it can run Python code (a key of its
/// own with an `__eq__`).
inline bool instance_has(nb::handle obj, nb::handle name) {
    if (Py_TYPE(obj.ptr())->tp_dictoffset == 0) return false;
    PyObject **slot = _PyObject_GetDictPtr(obj.ptr());
    if (!slot || !*slot || PyDict_GET_SIZE(*slot) == 0) return false;
    nb::object dict = nb::borrow(*slot); // held: a key's `__eq__` may replace it
    return contains(dict, name);
}

/// A member of an object, found in order to be called or read.
struct MethodRef {
    enum Kind : unsigned char {
        Absent,   // attribute access would raise AttributeError
        Native,   // the bound class's own implementation: C++ may run it directly
        Function, // a plain function of the type: called with the object first
        Value,    // `fn` is what attribute access gave
    };
    Kind kind = Absent;
    nb::object fn; // the function (Function) or the attribute's value (Value)

    bool exists() const { return kind != Absent; }
    bool native() const { return kind == Native; }
    bool callable() const { return kind == Native || kind == Function || (kind == Value && is_callable(fn)); }

    /// `getattr(obj, name)(*args)` for a Function or a Value.
    template <typename... Args> nb::object call(nb::handle obj, Args... args) const {
        PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
        size_t n = sizeof...(Args);
        if (kind == Function) return own(PyObject_Vectorcall(fn.ptr(), argv, n + 1, nullptr));
        return own(PyObject_Vectorcall(fn.ptr(), argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
};

namespace detail {

/// What a class attribute found on a type (`_PyType_Lookup`, null when none)
/// is to an instance, leaving aside the instance's own namespace: `original`
/// is the bound class's own descriptor for the name (null: none).
inline MethodRef::Kind class_kind(PyObject *found, PyObject *original, bool subtype) {
    if (!found) return MethodRef::Absent;
    if (found == original && subtype) return MethodRef::Native;
    if (PyFunction_Check(found)) return MethodRef::Function;
    return MethodRef::Value;
}

/// Can an attribute of the instance hide this class attribute? Not when it
/// is a data descriptor (a property, a bound field).
inline bool shadowable(PyObject *found) { return !found || !Py_TYPE(found)->tp_descr_set; }

} // namespace detail

/// `obj.<name>` as attribute access finds it, fetched in order to call it. A
/// plain function of the type (not hidden by the instance) is kept unbound,
/// so no bound method is built for the call.
inline MethodRef lookup_method(nb::handle obj, nb::handle name) {
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        nb::object found = nb::borrow(_PyType_Lookup(tp, name.ptr())); // held at once
        if (detail::class_kind(found.ptr(), nullptr, false) == MethodRef::Function && !instance_has(obj, name))
            return {MethodRef::Function, std::move(found)};
    }
    nb::object v = getattr_opt(obj, name);
    return v.is_valid() ? MethodRef{MethodRef::Value, std::move(v)} : MethodRef{};
}

/// The members of a bound class that Python code may override, and the one
/// way C++ code reaches them: `find` tells how an object provides a member,
/// `call` and `get` run the bound implementation directly while the object
/// uses it and go through attribute access otherwise.
///
/// What a type provides (its own class attributes for the names, looked up
/// through its bases) is worked out once and kept with the type's version
/// tag, so a later check costs a comparison of the tag. An attribute of the
/// instance itself can still hide a method: where the type allows instance
/// attributes, the instance's namespace is looked at on each check, as
/// attribute access would. A type with its own attribute access
/// (`__getattribute__`, `__getattr__`) is always served by attribute access.
template <size_t N> class Members {
public:
    explicit Members(const char *const (&names)[N]) {
        for (size_t i = 0; i < N; ++i) spelled_[i] = names[i];
    }
    Members(const Members &) = delete;

    /// Set up when the module loads: the bound class and its own descriptors.
    void bind(nb::handle cls) {
        cls_ = (PyTypeObject *) cls.ptr();
        nb::object ns = attr(cls, VT_KEY("__dict__"));
        for (size_t i = 0; i < N; ++i) {
            name_[i] = intern_forever(spelled_[i]);
            original_[i] = checked(PyObject_GetItem(ns.ptr(), name_[i])); // kept for good
        }
    }

    nb::handle name(size_t m) const { return name_[m]; }

    /// How `obj` provides member `m`; for a Value, `fn` holds what attribute
    /// access gave (its errors, other than AttributeError, propagate).
    MethodRef find(nb::handle obj, size_t m) const {
        MethodRef r = from_type(obj, m);
        if (r.kind != MethodRef::Value) return r;
        nb::object v = getattr_opt(obj, name_[m]);
        return v.is_valid() ? MethodRef{MethodRef::Value, std::move(v)} : MethodRef{};
    }

    /// Does `obj` use the bound class's own member `m`?
    [[gnu::always_inline]] bool native(nb::handle obj, size_t m) const {
        const Entry &e = entry_of(obj);
        if (e.kind[m] != MethodRef::Native) return false;
        return !(e.shadowable >> m & 1u) || !instance_has(obj, name_[m]);
    }

    /// `obj.<m>(*args)`, or `direct()` while `obj` uses the bound implementation.
    template <class Direct, typename... Args>
    [[gnu::always_inline]] auto call(nb::handle obj, size_t m, Direct &&direct, Args... args) const
        -> decltype(direct()) {
        using R = decltype(direct());
        if (native(obj, m)) return direct();
        nb::object out = call_other(obj, m, args...);
        if constexpr (std::is_void_v<R>) return;
        else return R(std::move(out));
    }

    /// `obj.<m>` (a property), or `direct()` while `obj` uses the bound one.
    template <class Direct> nb::object get(nb::handle obj, size_t m, Direct &&direct) const {
        if (native(obj, m)) return direct();
        return attr(obj, name_[m]);
    }

private:
    struct Entry;

    /// `obj.<m>(*args)` for an object that does not use the bound implementation.
    template <typename... Args> [[gnu::noinline]] nb::object call_other(nb::handle obj, size_t m, Args... args) const {
        MethodRef r = from_type(obj, m);
        if (r.kind == MethodRef::Function) return r.call(obj, args...);
        return call_method(obj, name_[m], args...); // raises AttributeError when absent
    }

    /// What the type of `obj` provides: the type asked last is answered at once.
    [[gnu::always_inline]] const Entry &entry_of(nb::handle obj) const {
        PyTypeObject *tp = Py_TYPE(obj.ptr());
        const Entry &last = seen_[last_];
        return last.type == tp && last.tag == valid_version_tag(tp) ? last : entry(tp);
    }

    /// How `obj` provides member `m` as far as its type tells: the bound
    /// implementation, a plain function (held), nothing, or (a Value) what
    /// only attribute access can tell, an attribute of the instance hiding the
    /// type's member included. Everything taken from the entry is taken
    /// before the instance is looked at, which may run Python code.
    [[gnu::always_inline]] MethodRef from_type(nb::handle obj, size_t m) const {
        const Entry &e = entry_of(obj);
        MethodRef::Kind kind = e.kind[m];
        nb::object fn = kind == MethodRef::Function ? nb::borrow(e.found[m]) : nb::object();
        bool may_hide = (e.shadowable >> m & 1u) && kind != MethodRef::Value;
        if (may_hide && instance_has(obj, name_[m])) return {MethodRef::Value, nb::object()};
        return {kind, std::move(fn)};
    }

    struct Entry {
        PyTypeObject *type = nullptr; // only compared: a freed type's successor has a new tag
        unsigned int tag = 0;
        unsigned long long shadowable = 0; // bit m: an instance attribute may hide member m
        MethodRef::Kind kind[N] = {};
        PyObject *found[N] = {}; // borrowed from the type's namespaces while the tag is valid
    };

    /// The entry of `tp`, from the table while its tag is valid, else made
    /// now (no Python code runs while it is made). Kept out of line: the
    /// type asked last is answered before this is called.
    [[gnu::noinline]] const Entry &entry(PyTypeObject *tp) const {
        unsigned int tag = valid_version_tag(tp);
        if (tag)
            for (unsigned i = 0; i < kSlots; ++i)
                if (seen_[i].type == tp && seen_[i].tag == tag) {
                    last_ = i;
                    return seen_[i];
                }
        Entry e;
        e.type = tp;
        bool generic = tp->tp_getattro == PyObject_GenericGetAttr;
        bool subtype = cls_ && PyType_IsSubtype(tp, cls_);
        for (size_t i = 0; i < N; ++i) {
            PyObject *found = e.found[i] = _PyType_Lookup(tp, name_[i]); // assigns a tag when it can
            e.kind[i] = generic ? detail::class_kind(found, original_[i], subtype) : MethodRef::Value;
            if (generic && tp->tp_dictoffset != 0 && detail::shadowable(found)) e.shadowable |= 1ull << i;
        }
        e.tag = valid_version_tag(tp);
        if (!e.tag) return scratch_ = e; // never matches: asked anew next time
        last_ = next_++ % kSlots;
        return seen_[last_] = e;
    }

    static_assert(N <= 64, "one bit per member");
    static constexpr unsigned kSlots = 4;
    const char *spelled_[N];
    PyObject *name_[N] = {};
    PyObject *original_[N] = {};
    PyTypeObject *cls_ = nullptr;
    mutable Entry seen_[kSlots];
    mutable Entry scratch_; // a type without a tag: looked up anew every time
    mutable unsigned next_ = 0, last_ = 0;
};

/// Import a module (through the runtime's import system, so it is cached by
/// `sys.modules` and can be replaced there).
inline nb::object import(const char *name) { return own(PyImport_ImportModule(name)); }

/// `from module import name`, at the moment of the call.
inline nb::object import_from(const char *module, const char *name) {
    nb::object m = import(module);
    PyObject *attr = PyObject_GetAttrString(m.ptr(), name);
    if (!attr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            std::string msg = std::string("cannot import name '") + name + "' from '" + module + "'";
            PyErr_SetString(PyExc_ImportError, msg.c_str());
        }
        rethrow();
    }
    return nb::steal(attr);
}

/// `from module import name` at the moment of the call, for names that are
/// interned constants (`VT_KEY`): a module already in `sys.modules` is read
/// from there and its namespace directly, without the import machinery.
inline nb::object import_from(nb::handle module, nb::handle name) {
    PyObject *modules = PyImport_GetModuleDict(); // borrowed: sys.modules
    nb::object mod = get(modules, module);
    if (!mod.is_valid() || mod.is_none()) mod = own(PyImport_Import(module.ptr()));
    if (PyModule_CheckExact(mod.ptr()))
        if (nb::object v = get(PyModule_GetDict(mod.ptr()), name); v.is_valid()) return v;
    PyObject *attr = PyObject_GetAttr(mod.ptr(), name.ptr());
    if (!attr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name.ptr(), module.ptr());
        }
        rethrow();
    }
    return nb::steal(attr);
}

/// A module-level name as the module's own code sees it at this moment
/// (`sys.modules[module].name`), so that names rebound on the module (a test's
/// monkeypatch, a host's override) are honoured, as Python globals would be.
inline nb::object module_global(const char *module, nb::handle name) {
    nb::object m = nb::steal(PyImport_GetModule(utf8(module).ptr()));
    if (!m.is_valid()) {
        if (PyErr_Occurred()) rethrow();
        m = import(module);
    }
    return attr(m, name);
}

/// `from module import name`, resolved when the extension module loads and
/// kept for the life of the process (a module constant fixed at load).
///
/// Nothing is imported lazily from a function-local static: the C++ guard of
/// such a static is held across the import, the import may release the GIL,
/// and a second thread would then wait on the guard while holding the GIL,
/// hanging the process. Every `Imported` an extension defines (those of this
/// header included) is resolved by `resolve_imports()`, the first statement
/// of its NB_MODULE body.
class Imported {
public:
    Imported(const char *module, const char *name) : module_(module), name_(name) { registry().push_back(this); }
    Imported(const Imported &) = delete;

    nb::handle get() const {
        if (!obj_) {
            PyErr_Format(PyExc_SystemError, "%s.%s used before the extension module was loaded", module_, name_);
            rethrow();
        }
        return obj_;
    }
    PyObject *ptr() const { return get().ptr(); }

    /// Resolves every `Imported` of the calling extension module.
    static void resolve_all() {
        for (Imported *i : registry())
            if (!i->obj_) i->obj_ = import_from(i->module_, i->name_).release().ptr();
    }

private:
    // The registry holds no Python object, so its guard never waits on the GIL.
    static std::vector<Imported *> &registry() {
        static std::vector<Imported *> r;
        return r;
    }

    const char *module_, *name_;
    PyObject *obj_ = nullptr;
};

/// Resolve the imports of the extension module being loaded (see `Imported`).
inline void resolve_imports() { Imported::resolve_all(); }

// What every module may use: the runtime's path class and JSON decoder.
inline Imported runtime_path_type{"pathlib", "Path"};
inline Imported runtime_json_loads{"json", "loads"};

// ---------------------------------------------------------------------------
// The process environment
// ---------------------------------------------------------------------------

#ifdef _WIN32
inline Imported runtime_os_environ{"os", "environ"};
#endif

/// The environment variable `name` as `os.environ.get(name)` gives it, or a
/// null object when it is not set. On POSIX `os.environ` writes through to
/// the process environment (putenv, unsetenv) and decodes its values with the
/// file system encoding, so reading the process environment the same way
/// gives the same answer without running the mapping's Python code (which
/// costs several hundred nanoseconds per read).
inline nb::object environment_value(const char *name) {
#ifdef _WIN32
    nb::object found = nb::steal(checked(PyObject_CallMethod(runtime_os_environ.get().ptr(), "get", "s", name)));
    return found.is_none() ? nb::object() : found;
#else
    const char *value = getenv(name);
    if (!value) return nb::object();
    return nb::steal(checked(PyUnicode_DecodeFSDefault(value)));
#endif
}

// ---------------------------------------------------------------------------
// Entry points bound straight to the runtime's fast calling convention
// ---------------------------------------------------------------------------
//
// For the hottest calls the general argument dispatch of the binding layer
// costs more than the work itself. Such an entry is a `PyMethodDef` with
// METH_FASTCALL | METH_KEYWORDS whose function reads its arguments with
// `fast_args` and runs its body inside `guarded`.

/// Runs `body` (returning a new reference or null) and turns a C++ exception
/// into the Python error state.
template <class F> inline PyObject *guarded(F &&body) noexcept {
    try {
        return body();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

/// The arguments of a fast call for the parameters `names`, each required
/// and given by position or by keyword, with the runtime's messages.
template <size_t N>
inline void fast_args(const char *func, const char *const (&names)[N], PyObject *const *args, size_t nargsf,
                      PyObject *kwnames, PyObject *(&out)[N]) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > (Py_ssize_t) N) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", func,
                     (Py_ssize_t) N, N == 1 ? "" : "s", nargs);
        rethrow();
    }
    for (size_t i = 0; i < N; ++i) out[i] = (Py_ssize_t) i < nargs ? args[i] : nullptr;
    for (Py_ssize_t j = 0, nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0; j < nk; ++j) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, j);
        size_t i = 0;
        while (i < N && !equals(name, names[i])) ++i;
        if (i == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, name);
            rethrow();
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, names[i]);
            rethrow();
        }
        out[i] = args[nargs + j];
    }
    for (size_t i = 0; i < N; ++i)
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", func, names[i]);
            rethrow();
        }
}

/// The fast-call entry of a function of one parameter, `Fn(handle)`:
/// `Names` holds the function's name and the parameter's.
template <auto Fn, const char *const *Names>
PyObject *fast_unary(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        static const char *const param[1] = {Names[1]};
        PyObject *a[1];
        fast_args(Names[0], param, args, nargsf, kwnames, a);
        return Fn(a[0]).release().ptr();
    });
}

/// Installs a fast-call `def` (static storage) as a method of the bound class `cls`.
inline void add_fast_method(nb::handle cls, PyMethodDef *def) {
    nb::object method = own(PyDescr_NewMethod((PyTypeObject *) cls.ptr(), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, method.ptr()) < 0) rethrow();
}

/// Installs a fast-call `def` (static storage) as a function of the module `m`.
inline void add_fast_function(nb::handle m, PyMethodDef *def) {
    nb::object name = attr(m, VT_KEY("__name__"));
    nb::object fn = own(PyCFunction_NewEx(def, nullptr, name.ptr()));
    if (PyObject_SetAttrString(m.ptr(), def->ml_name, fn.ptr()) < 0) rethrow();
}

// ---------------------------------------------------------------------------
// Argument checks on entry
// ---------------------------------------------------------------------------
//
// Bound functions take their arguments as `nb::handle` declared with
// `nb::arg("name").none()` (nanobind refuses None otherwise, with a message
// that does not name the parameter) and check them with these helpers.

[[noreturn]] inline void raise_arg_type(const char *func, const char *param, const char *expected,
                                        nb::handle got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", func, param, expected,
                 Py_TYPE(got.ptr())->tp_name);
    rethrow();
}

/// The argument must be exactly a str (a subclass is rejected).
inline void require_str(nb::handle h, const char *func, const char *param) {
    if (!PyUnicode_CheckExact(h.ptr())) raise_arg_type(func, param, "str", h);
}

/// The argument must be exactly a dict (a subclass is rejected).
inline void require_dict(nb::handle h, const char *func, const char *param) {
    if (!PyDict_CheckExact(h.ptr())) raise_arg_type(func, param, "dict", h);
}

/// The argument must be exactly a dict or None.
inline void require_dict_or_none(nb::handle h, const char *func, const char *param) {
    if (!h.is_none() && !PyDict_CheckExact(h.ptr())) raise_arg_type(func, param, "dict or None", h);
}

/// The argument must be exactly a tuple.
inline void require_tuple(nb::handle h, const char *func, const char *param) {
    if (!PyTuple_CheckExact(h.ptr())) raise_arg_type(func, param, "tuple", h);
}

// ---------------------------------------------------------------------------
// Bound classes holding Python references
// ---------------------------------------------------------------------------
//
// A bound class keeps its private fields as `nb::object` members exposed with
// `def_rw("_name", ..., nb::for_setter(nb::arg("value").none()))`, so Python
// code and subclasses read and write them as attributes. Python may store any
// object there: C++ code never assumes a field's type without testing it.
//
// The struct lists its references for the cycle collector:
//     template <class F> void each_ref(F &&f) { f(raw); f(path); }
// and the binding passes `nb::type_slots(vantrel::gc_slots<T>)`.

/// `self` of a method bound with a plain handle: an initialised instance of the
/// bound type `cls` (or of a subclass), else a TypeError.
template <typename T> inline T &self_of(nb::handle self, PyTypeObject *cls, const char *method) {
    if (!PyObject_TypeCheck(self.ptr(), cls)) {
        PyErr_Format(PyExc_TypeError, "%s() requires a %s instance, not %s", method, cls->tp_name,
                     Py_TYPE(self.ptr())->tp_name);
        rethrow();
    }
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "%s() called on an uninitialised %s (missing __init__ call?)",
                     method, cls->tp_name);
        rethrow();
    }
    return *nb::inst_ptr<T>(self);
}

template <typename T> int gc_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self)); // instances of heap types reference their type
    if (!nb::inst_ready(self)) return 0;
    int rc = 0;
    nb::inst_ptr<T>(self)->each_ref([&](nb::object &o) {
        if (!rc && o.ptr()) rc = visit(o.ptr(), arg);
    });
    return rc;
}

template <typename T> int gc_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    nb::inst_ptr<T>(self)->each_ref([](nb::object &o) { o = nb::none(); });
    return 0;
}

template <typename T>
inline PyType_Slot gc_slots[] = {{Py_tp_traverse, (void *) gc_traverse<T>},
                                 {Py_tp_clear, (void *) gc_clear<T>},
                                 {0, nullptr}};

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------

/// The runtime's `pathlib.Path` class.
inline nb::handle path_type() { return runtime_path_type.get(); }

/// `Path(x)` for a "text or path object" argument; anything else is a
/// TypeError naming the parameter.
inline nb::object to_path(nb::handle h, const char *func, const char *param) {
    PyObject *o = h.ptr();
    if (!PyUnicode_Check(o)) {
        if (PyObject_IsInstance(o, path_type().ptr()) == 1) return nb::borrow(h);
        PyErr_Clear();
        nb::object fspath = getattr_opt(nb::handle((PyObject *) Py_TYPE(o)), VT_KEY("__fspath__"));
        if (!fspath.is_valid()) raise_arg_type(func, param, "str or os.PathLike", h);
    }
    return call1(path_type(), h);
}

/// `str(path)`.
inline nb::str path_text(nb::handle p) { return text(p); }

/// `p.is_file()` / `p.is_dir()` / `p.resolve()` / `p.parent` through pathlib,
/// so that results agree with the runtime on every platform.
inline bool path_is_file(nb::handle p) { return truthy(call_method(p, VT_KEY("is_file"))); }
inline bool path_is_dir(nb::handle p) { return truthy(call_method(p, VT_KEY("is_dir"))); }
inline nb::object path_resolve(nb::handle p) { return call_method(p, VT_KEY("resolve")); }
inline nb::object path_parent(nb::handle p) { return attr(p, VT_KEY("parent")); }
inline nb::str path_name(nb::handle p) { return str_result(attr(p, VT_KEY("name")).release().ptr(), "Path.name"); }

/// `p / part`.
inline nb::object path_join(nb::handle p, nb::handle part) {
    return own(PyNumber_TrueDivide(p.ptr(), part.ptr()));
}

/// `p.read_text(encoding="utf-8")`: the whole file decoded as plain UTF-8
/// (a byte-order mark stays in the text); decoding errors propagate.
inline nb::object read_text_utf8(nb::handle p) {
    return p.attr("read_text")(nb::arg("encoding") = "utf-8");
}

/// `json.loads(text)`; the decoder's errors propagate unchanged.
inline nb::object json_loads(nb::handle s) { return call1(runtime_json_loads.get(), s); }

} // namespace vantrel
