// quelby: the line parser of the host's websocket REPL, in its own version so
// that the grammar (merge_components among the commands) does not depend on
// whichever older host happens to be installed.
//
// A line becomes None (nothing to do) or a pair (command kind, body). White
// space is the runtime's (`str.isspace`, `str.strip`, `str.split`), command
// words are compared after `str.lower`, JSON lines are read by the runtime's
// `json`, and the set rule matches exactly what the runtime's `re` matches
// for "(?i)^set\s+(\S+)\s+(.*)$".
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

constexpr const char *kModule = "vantrel_app_plugin.quelby";

Imported json_decoder_type{"json", "JSONDecoder"};

/// The runtime's JSON scanner (`json.JSONDecoder().scan_once`), made when the
/// module loads: `json.loads` of a stripped line is exactly this scan from
/// the first character, with the whole line consumed.
nb::handle scan_once;

/// Longest command word ("display_stream") and longest merge word ("merge_components").
constexpr Py_ssize_t kLongestCommand = 14, kLongestMergeWord = 16;

bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

/// `(kind, body)`.
nb::object pair(nb::handle kind, nb::handle body) { return own(PyTuple_Pack(2, kind.ptr(), body.ptr())); }

nb::object bare(nb::handle kind) { return pair(kind, nb::dict()); }

/// The only character beyond ASCII whose lower-case form is ASCII: the
/// Kelvin sign (to "k"); a test checks this over the whole code-point range.
constexpr Py_UCS4 kKelvin = 0x212A;

/// `s.lower()` written to `out` (NUL-terminated) when it could still equal an
/// ASCII word of at most `longest` characters; false otherwise. Lower-casing
/// never shortens a text, and a character beyond ASCII other than the Kelvin
/// sign never lower-cases to ASCII; so no str is made for the comparison.
bool lower_if_short(nb::handle s, Py_ssize_t longest, char *out) {
    PyObject *o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    if (n > longest) return false;
    int kind = PyUnicode_KIND(o);
    const void *data = PyUnicode_DATA(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == kKelvin) c = 'k';
        else if (c > 127) return false;
        else if (c >= 'A' && c <= 'Z') c += 32;
        out[i] = (char) c;
    }
    out[n] = '\0';
    return true;
}

nb::object set_by_id_pair(nb::handle patch) {
    nb::object patches = own(PyList_New(1));
    PyList_SET_ITEM(patches.ptr(), 0, Py_NewRef(patch.ptr()));
    nb::dict body;
    set_item(body, VT_KEY("patches"), patches);
    return pair(VT_KEY("set_by_id"), body);
}

nb::object sequence(nb::handle keys) {
    nb::dict body;
    set_item(body, VT_KEY("keys"), keys);
    return pair(VT_KEY("sequence"), body);
}

/// Step 3: a line holding a JSON object goes to the host's converter. Null
/// when parsing goes on with the text grammar.
nb::object json_action(nb::handle s) {
    // An object's first token is a string or its closing brace: other text
    // the decoder refuses at once with a decoding error, so the decoder (and
    // the exception it would build) is spared. (Nothing is concluded from the
    // end of the line: the decoder may fail before it gets there, say on
    // nesting too deep for the runtime, and that error propagates.)
    Py_ssize_t i = 1, n = PyUnicode_GET_LENGTH(s.ptr());
    Py_UCS4 c = 0;
    while (i < n && ((c = PyUnicode_READ_CHAR(s.ptr(), i)) == ' ' || c == '\t' || c == '\n' || c == '\r')) ++i;
    if (i == n || (c != '"' && c != '}')) return nb::object();
    auto dropped = [] {
        return PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError);
    };
    nb::object zero = nb::int_(0);
    PyObject *argv[] = {s.ptr(), zero.ptr()};
    PyObject *scanned = PyObject_Vectorcall(scan_once.ptr(), argv, 2, nullptr);
    if (!scanned) {
        // No value at the start (StopIteration) or a decoding error (a ValueError).
        if (!dropped() && !PyErr_ExceptionMatches(PyExc_StopIteration)) rethrow();
        PyErr_Clear();
        return nb::object();
    }
    nb::object value_end = nb::steal(scanned), act, end;
    unpack2(value_end, act, end);
    // Data after the value is the decoder's "Extra data" error.
    if (!end.equal(nb::int_(PyUnicode_GET_LENGTH(s.ptr())))) return nb::object();
    if (!is_mapping(act)) return nb::object();
    nb::object convert;
    try { // the import belongs to this step: its value and type errors send the line on too
        convert = import_from(VT_KEY("vantrel_soft.ws_repl"), VT_KEY("_json_action_to_kind_body"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return nb::object();
    }
    PyObject *r = PyObject_CallOneArg(convert.ptr(), act.ptr());
    if (!r) {
        if (!dropped()) rethrow();
        PyErr_Clear();
        return nb::object();
    }
    nb::object result = nb::steal(r);
    // A result that is neither a pair nor None counts as the converter's type error.
    if (result.is_none() || (PyTuple_Check(r) && PyTuple_GET_SIZE(r) == 2)) return result;
    return nb::object();
}

/// Step 4: the fixed command words.
nb::object command_word(nb::handle s) {
    char w[kLongestCommand + 1];
    if (!lower_if_short(s, kLongestCommand, w)) return nb::object();
    auto is = [&](const char *word) { return strcmp(w, word) == 0; };
    switch (PyUnicode_GET_LENGTH(s.ptr())) {
    case 1: return is("q") ? bare(VT_KEY("quit")) : is("d") ? bare(VT_KEY("display")) : nb::object();
    case 3: return is("gui") ? bare(VT_KEY("gui")) : nb::object();
    case 4:
        return is("quit") || is("exit") ? bare(VT_KEY("quit")) : is("ping") ? bare(VT_KEY("ping")) : nb::object();
    case 5: return is("reset") ? bare(VT_KEY("reset")) : nb::object();
    case 6: return is("stream") ? bare(VT_KEY("display_stream")) : nb::object();
    case 7: return is("display") ? bare(VT_KEY("display")) : nb::object();
    case 14: return is("display_stream") ? bare(VT_KEY("display_stream")) : nb::object();
    default: return nb::object();
    }
}

/// Step 5: "(?i)^set\s+(\S+)\s+(.*)$" on a stripped line. The line has no
/// white space at either end, so the match is decided without backtracking:
/// "set" in any case ("ſ" folds to "s" too), a run of white space, the id (a
/// run of anything else), a run of white space, and a rest without "\n".
nb::object set_line(nb::handle s) {
    PyObject *o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    if (n < 4) return nb::object();
    int kind = PyUnicode_KIND(o);
    const void *data = PyUnicode_DATA(o);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    Py_UCS4 c0 = at(0), c1 = at(1), c2 = at(2);
    if (!(c0 == 's' || c0 == 'S' || c0 == 0x17F) || !(c1 == 'e' || c1 == 'E') || !(c2 == 't' || c2 == 'T'))
        return nb::object();
    Py_ssize_t i = 3;
    if (!is_space(at(i))) return nb::object();
    while (i < n && is_space(at(i))) ++i;
    Py_ssize_t id_lo = i;
    while (i < n && !is_space(at(i))) ++i;
    Py_ssize_t id_hi = i;
    if (id_hi == id_lo || i == n) return nb::object();
    while (i < n && is_space(at(i))) ++i;
    for (Py_ssize_t j = i; j < n; ++j)
        if (at(j) == '\n') return nb::object();
    nb::dict patch;
    set_item(patch, VT_KEY("id"), substring(s, {id_lo, id_hi}));
    set_item(patch, VT_KEY("value"), substring(s, {i, n}));
    return set_by_id_pair(patch);
}

/// Step 6: comma-separated keys, each stripped, empty ones dropped.
nb::object comma_keys(nb::handle s) {
    PyObject *o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    int kind = PyUnicode_KIND(o);
    const void *data = PyUnicode_DATA(o);
    nb::list keys;
    for (Py_ssize_t start = 0; start <= n;) { // each piece is cut once, already stripped
        Py_ssize_t end = start;
        while (end < n && PyUnicode_READ(kind, data, end) != ',') ++end;
        Py_ssize_t lo = start, hi = end;
        while (lo < hi && is_space(PyUnicode_READ(kind, data, lo))) ++lo;
        while (hi > lo && is_space(PyUnicode_READ(kind, data, hi - 1))) --hi;
        if (hi > lo) keys.append(substring(s, {lo, hi}));
        start = end + 1;
    }
    return sequence(keys);
}

/// Step 8: merge_components with key/value pairs (three words, or an odd count of five or more).
nb::object merge_words(nb::handle parts) {
    Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    if (n != 3 && (n < 5 || n % 2 == 0)) return nb::object();
    nb::handle word = PyList_GET_ITEM(parts.ptr(), 0);
    char first[kLongestMergeWord + 1];
    if (!lower_if_short(word, kLongestMergeWord, first)) return nb::object();
    // Compared with its length: a NUL inside the word must not end it early.
    std::string_view w(first, (size_t) PyUnicode_GET_LENGTH(word.ptr()));
    if (w != "merge_components" && w != "mc" && w != "components") return nb::object();
    nb::dict body;
    for (Py_ssize_t i = 1; i + 1 < n; i += 2)
        set_item(body, PyList_GET_ITEM(parts.ptr(), i), PyList_GET_ITEM(parts.ptr(), i + 1));
    return pair(VT_KEY("merge_components"), body);
}

/// Step 9: two words whose first is a known element id. Ordinary errors of
/// the host (its import, its call, its membership test) mean "not known".
bool known_element(nb::handle id) {
    try {
        nb::object ids = call0(import_from(VT_KEY("vantrel_soft.gui_config"), VT_KEY("known_element_ids")));
        return member(ids, id);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

nb::object parse_repl_line(nb::handle line) {
    require_str(line, "parse_repl_line", "line");
    nb::str s = strip(line);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n == 0 || PyUnicode_READ_CHAR(s.ptr(), 0) == '#') return nb::none();

    if (PyUnicode_READ_CHAR(s.ptr(), 0) == '{')
        if (nb::object r = json_action(s); r.is_valid()) return r;
    if (nb::object r = command_word(s); r.is_valid()) return r;
    if (nb::object r = set_line(s); r.is_valid()) return r;

    Py_ssize_t comma = PyUnicode_FindChar(s.ptr(), ',', 0, n, 1);
    if (comma == -2) rethrow();
    if (comma >= 0) return comma_keys(s);

    // One word (no white space inside): a key press, with no list built.
    bool spaced = false;
    {
        int kind = PyUnicode_KIND(s.ptr());
        const void *data = PyUnicode_DATA(s.ptr());
        for (Py_ssize_t i = 0; i < n && !spaced; ++i) spaced = is_space(PyUnicode_READ(kind, data, i));
    }
    if (!spaced) {
        nb::dict body;
        set_item(body, VT_KEY("key"), s);
        return pair(VT_KEY("press"), body);
    }
    nb::list parts = nb::steal<nb::list>(checked(PyUnicode_Split(s.ptr(), nullptr, -1)));
    Py_ssize_t words = PyList_GET_SIZE(parts.ptr());
    if (nb::object r = merge_words(parts); r.is_valid()) return r;
    if (words == 2 && known_element(PyList_GET_ITEM(parts.ptr(), 0))) {
        nb::dict patch;
        set_item(patch, VT_KEY("id"), PyList_GET_ITEM(parts.ptr(), 0));
        set_item(patch, VT_KEY("value"), PyList_GET_ITEM(parts.ptr(), 1));
        return set_by_id_pair(patch);
    }
    if (words >= 2) return sequence(parts);
    nb::dict body;
    set_item(body, VT_KEY("key"), s);
    return pair(VT_KEY("press"), body);
}

/// `parse_repl_line(line)`, bound with the fast calling convention: it runs
/// on every line a REPL receives.
PyObject *parse_entry(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        static const char *const names[] = {"line"};
        PyObject *a[1];
        fast_args("parse_repl_line", names, args, nargsf, kwnames, a);
        return parse_repl_line(a[0]).release().ptr();
    });
}

PyMethodDef parse_def = {"parse_repl_line", (PyCFunction) (void (*)(void)) parse_entry,
                         METH_FASTCALL | METH_KEYWORDS,
                         "parse_repl_line(line)\n--\n\nNone, or the pair (command kind, body) of one REPL line."};

void apply_ws_repl_parse_patch() {
    nb::object host = import("vantrel_soft.ws_repl");
    nb::object parser = module_global(kModule, VT_KEY("parse_repl_line"));
    if (PyObject_SetAttr(host.ptr(), VT_KEY("_parse_line").ptr(), parser.ptr()) < 0) rethrow();
}

} // namespace

NB_MODULE(quelby, m) {
    resolve_imports();
    m.doc() = "The REPL line parser, in this package's own version (it understands merge_components and more), "
              "so that the grammar does not depend on the installed host.";

    scan_once = attr(call0(json_decoder_type.get()), VT_KEY("scan_once")).release();
    add_fast_function(m, &parse_def);
    m.def("apply_ws_repl_parse_patch", &apply_ws_repl_parse_patch,
          nb::sig("def apply_ws_repl_parse_patch() -> None"),
          "Install ``parse_repl_line`` as the host REPL's line parser (``vantrel_soft.ws_repl._parse_line``).");
}
