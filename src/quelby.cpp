// quelby: the line parser of the host's websocket REPL.
//
// The host's own parser (`vantrel_soft.ws_repl._parse_line`) depends on
// whichever host version is installed; this module brings its own grammar
// (with set lines and merge_components among others) and
// `apply_ws_repl_parse_patch()` installs it in the host module.
//
// The grammar follows the runtime's text rules exactly: white space is what
// `str.isspace()` calls white space, words split like `str.split()`, command
// words compare after `str.lower()`, and the set rule matches as
// `re.match(r"(?i)^set\s+(\S+)\s+(.*)$", s)` does (hand-written below; the
// runtime's case-insensitive matching also takes "ſ" for an "s").
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

// ---------------------------------------------------------------------------
// Text on spans of a str
// ---------------------------------------------------------------------------

/// Code points of one str, read in place.
struct Text {
    PyObject *s;
    int kind;
    const void *data;
    Py_ssize_t n;

    explicit Text(nb::handle str)
        : s(str.ptr()), kind(PyUnicode_KIND(s)), data(PyUnicode_DATA(s)), n(PyUnicode_GET_LENGTH(s)) {}

    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
    bool space(Py_ssize_t i) const { return Py_UNICODE_ISSPACE(at(i)); }

    Py_ssize_t skip_space(Py_ssize_t i, Py_ssize_t end) const {
        while (i < end && space(i)) ++i;
        return i;
    }
    Py_ssize_t skip_word(Py_ssize_t i, Py_ssize_t end) const {
        while (i < end && !space(i)) ++i;
        return i;
    }
    Py_ssize_t find(Py_UCS4 c, Py_ssize_t i, Py_ssize_t end) const {
        while (i < end && at(i) != c) ++i;
        return i;
    }
    nb::str cut(Span sp) const { return substring(s, sp); }
};

// ---------------------------------------------------------------------------
// Command words
// ---------------------------------------------------------------------------

enum Word { NO_WORD, QUIT, RESET, DISPLAY, GUI, STREAM, PING, MERGE };

struct Spelling {
    const char *text;
    Py_ssize_t len;
    Word word;
};

/// The fixed command lines, in the order they are tried.
constexpr Spelling kCommands[] = {
    {"quit", 4, QUIT},      {"exit", 4, QUIT},  {"q", 1, QUIT},     {"reset", 5, RESET},
    {"display", 7, DISPLAY}, {"d", 1, DISPLAY}, {"gui", 3, GUI},    {"stream", 6, STREAM},
    {"display_stream", 14, STREAM}, {"ping", 4, PING}};
/// First words of a merge line.
constexpr Spelling kMergeWords[] = {{"merge_components", 16, MERGE}, {"mc", 2, MERGE}, {"components", 10, MERGE}};
/// `str.lower()` never makes text shorter: longer text matches no word.
constexpr Py_ssize_t kLongestWord = 16;

/// Which of `table` the part `sp` of `t` is once lower-cased (`str.lower()`).
template <size_t N> Word word_of(const Text &t, Span sp, const Spelling (&table)[N]) {
    Py_ssize_t len = sp.hi - sp.lo;
    if (len > kLongestWord) return NO_WORD;
    Py_UCS4 low[kLongestWord];
    bool ascii = true;
    for (Py_ssize_t i = 0; i < len; ++i) {
        Py_UCS4 c = t.at(sp.lo + i);
        ascii = ascii && c < 128;
        low[i] = c >= 'A' && c <= 'Z' ? c + 32 : c;
    }
    if (ascii) {
        for (const Spelling &w : table) {
            if (w.len != len) continue;
            Py_ssize_t i = 0;
            while (i < len && low[i] == (Py_UCS4) w.text[i]) ++i;
            if (i == len) return w.word;
        }
        return NO_WORD;
    }
    // Other text lower-cases through the runtime (the Kelvin sign becomes "k").
    nb::str lowered = lower(t.cut(sp));
    if (!PyUnicode_IS_ASCII(lowered.ptr())) return NO_WORD;
    for (const Spelling &w : table)
        if (PyUnicode_CompareWithASCIIString(lowered.ptr(), w.text) == 0) return w.word;
    return NO_WORD;
}

// ---------------------------------------------------------------------------
// The set rule: re.match(r"(?i)^set\s+(\S+)\s+(.*)$", s)
// ---------------------------------------------------------------------------

/// Does `c` match the letter `lower` of a case-insensitive pattern? The
/// runtime's case folding adds one letter outside ASCII: "ſ" (U+017F) for s.
bool letter_matches(Py_UCS4 c, char lower) {
    if (c == (Py_UCS4) lower || c == (Py_UCS4) (lower - 32)) return true;
    return lower == 's' && c == 0x17F;
}

/// The id and the value of a set line, as the two groups of the pattern.
bool match_set(const Text &t, Span sp, Span &id, Span &value) {
    Py_ssize_t i = sp.lo, end = sp.hi;
    if (end - i < 3 || !letter_matches(t.at(i), 's') || !letter_matches(t.at(i + 1), 'e') ||
        !letter_matches(t.at(i + 2), 't'))
        return false;
    i += 3;
    Py_ssize_t j = t.skip_space(i, end);
    if (j == i) return false; // \s+
    Py_ssize_t k = t.skip_word(j, end);
    if (k == j || k == end) return false; // (\S+) and a white space after it
    Py_ssize_t r = t.skip_space(k, end);
    // (.*) runs to the first line break; $ matches at the end or before a
    // line break that ends the text. Giving back white space never helps.
    Py_ssize_t e = t.find('\n', r, end);
    if (e != end && e != end - 1) return false;
    id = {j, k};
    value = {r, e};
    return true;
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

nb::object pair(nb::handle kind, nb::handle body) { return own(PyTuple_Pack(2, kind.ptr(), body.ptr())); }

nb::object command(Word w) {
    nb::handle kind;
    switch (w) {
        case QUIT: kind = VT_KEY("quit"); break;
        case RESET: kind = VT_KEY("reset"); break;
        case DISPLAY: kind = VT_KEY("display"); break;
        case GUI: kind = VT_KEY("gui"); break;
        case STREAM: kind = VT_KEY("display_stream"); break;
        default: kind = VT_KEY("ping"); break;
    }
    return pair(kind, nb::dict());
}

nb::object one_entry(nb::handle key, nb::handle value) {
    nb::dict d;
    set_item(d, key, value);
    return std::move(d);
}

nb::object set_by_id(nb::handle id, nb::handle value) {
    nb::dict patch;
    set_item(patch, VT_KEY("id"), id);
    set_item(patch, VT_KEY("value"), value);
    nb::object patches = own(PyList_New(1));
    PyList_SET_ITEM(patches.ptr(), 0, patch.release().ptr());
    return pair(VT_KEY("set_by_id"), one_entry(VT_KEY("patches"), patches));
}

nb::object sequence(nb::handle keys) { return pair(VT_KEY("sequence"), one_entry(VT_KEY("keys"), keys)); }

// ---------------------------------------------------------------------------
// Steps of the grammar
// ---------------------------------------------------------------------------

/// Could `s` (stripped, beginning with "{") be a JSON object at all? An
/// object's first token is a string or its closing brace; any other text the
/// decoder refuses at once with a decoding error, so the decoder (and the
/// exception it would build) is spared.
bool may_be_json_object(const Text &t, Span sp) {
    Py_ssize_t i = sp.lo + 1;
    while (i < sp.hi && (t.at(i) == ' ' || t.at(i) == '\t' || t.at(i) == '\n' || t.at(i) == '\r')) ++i;
    return i < sp.hi && (t.at(i) == '"' || t.at(i) == '}');
}

/// Is the Python error just set one that sends a JSON line on to the text
/// grammar (a decoding error is a value error)? Such an error is dropped.
bool drop_json_error() {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return true;
}

/// The decoder behind `json.loads` and its scanner (set when the module loads).
Imported json_default_decoder{"json", "_default_decoder"};
PyObject *json_scan_once = nullptr;
PyObject *int_zero = nullptr;

/// `json.loads(s)` for a stripped line beginning with "{" (null with the
/// decoder's error set). The line has no byte-order mark and no white space
/// around it, so what `json.loads` adds to its decoder's scanner is the test
/// that the object ends the text ("Extra data") and the decoding error for a
/// missing value, which the scanner signals with StopIteration.
nb::object decode_json_line(nb::handle s) {
    PyObject *argv[] = {s.ptr(), int_zero};
    nb::object scanned = nb::steal(PyObject_Vectorcall(json_scan_once, argv, 2, nullptr));
    if (!scanned.is_valid()) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "Expecting value");
        }
        return scanned;
    }
    if (!PyTuple_CheckExact(scanned.ptr()) || PyTuple_GET_SIZE(scanned.ptr()) != 2)
        raise(PyExc_SystemError, "json scanner returned an unexpected result");
    PyObject *end = PyTuple_GET_ITEM(scanned.ptr(), 1);
    Py_ssize_t at = PyLong_Check(end) ? PyLong_AsSsize_t(end) : -1;
    if (at == -1 && PyErr_Occurred()) rethrow();
    if (at != PyUnicode_GET_LENGTH(s.ptr())) {
        PyErr_SetString(PyExc_ValueError, "Extra data");
        return nb::object();
    }
    return nb::borrow(PyTuple_GET_ITEM(scanned.ptr(), 0));
}

/// A JSON object line handed to the host's converter: its pair or None, or
/// null when the line is to be read as text after all. A decoding error, a
/// value or type error of the import or the converter, and a result that is
/// neither a pair nor None send the line on; other errors propagate.
nb::object json_action(nb::handle s) {
    nb::object obj = decode_json_line(s);
    if (!obj.is_valid()) {
        if (drop_json_error()) return nb::object();
        rethrow();
    }
    if (!is_mapping(obj)) return nb::object();
    nb::object convert;
    try {
        convert = import_from(VT_KEY("vantrel_soft.ws_repl"), VT_KEY("_json_action_to_kind_body"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return nb::object();
    }
    nb::object result = nb::steal(PyObject_CallOneArg(convert.ptr(), obj.ptr()));
    if (!result.is_valid()) {
        if (drop_json_error()) return nb::object();
        rethrow();
    }
    if (result.is_none() || (PyTuple_Check(result.ptr()) && PyTuple_GET_SIZE(result.ptr()) == 2)) return result;
    return nb::object();
}

/// `a, b,,x`: the stripped pieces between commas that are not empty.
nb::object comma_keys(const Text &t, Span sp) {
    nb::object keys = own(PyList_New(0));
    for (Py_ssize_t a = sp.lo; a <= sp.hi;) {
        Py_ssize_t b = t.find(',', a, sp.hi);
        Py_ssize_t lo = t.skip_space(a, b), hi = b;
        while (hi > lo && t.space(hi - 1)) --hi;
        if (hi > lo && PyList_Append(keys.ptr(), t.cut({lo, hi}).ptr()) < 0) rethrow();
        a = b + 1;
    }
    return keys;
}

/// A merge line's component values: the words after the first, in pairs
/// (a later pair with the same key wins).
nb::object merge_values(nb::handle parts) {
    nb::dict values;
    for (Py_ssize_t i = 1, n = PyList_GET_SIZE(parts.ptr()); i + 1 < n; i += 2)
        set_item(values, PyList_GET_ITEM(parts.ptr(), i), PyList_GET_ITEM(parts.ptr(), i + 1));
    return pair(VT_KEY("merge_components"), values);
}

/// Is `word` among the host's element ids? Any ordinary error of the
/// import, the call or the membership test counts as no.
bool known_element(nb::handle word) {
    try {
        nb::object ids = call0(import_from(VT_KEY("vantrel_soft.gui_config"), VT_KEY("known_element_ids")));
        return member(ids, word);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

nb::object parse_repl_line(nb::handle line) {
    require_str(line, "parse_repl_line", "line");
    Text t(line);
    Span sp = strip_span(line);
    if (sp.lo == sp.hi || t.at(sp.lo) == '#') return nb::none();
    nb::str s = t.cut(sp);
    if (t.at(sp.lo) == '{' && may_be_json_object(t, sp))
        if (nb::object result = json_action(s); result.is_valid()) return result;

    if (Word w = word_of(t, sp, kCommands); w != NO_WORD) return command(w);

    if (Span id, value; match_set(t, sp, id, value)) return set_by_id(t.cut(id), t.cut(value));

    if (t.find(',', sp.lo, sp.hi) != sp.hi) return sequence(comma_keys(t, sp));

    Py_ssize_t first_end = t.skip_word(sp.lo, sp.hi);
    if (first_end == sp.hi) return pair(VT_KEY("press"), one_entry(VT_KEY("key"), s)); // one word

    nb::object parts = own(PyUnicode_Split(s.ptr(), nullptr, -1));
    Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    if ((n == 3 || (n >= 5 && n % 2 == 1)) && word_of(t, {sp.lo, first_end}, kMergeWords) == MERGE)
        return merge_values(parts);
    if (n == 2 && known_element(PyList_GET_ITEM(parts.ptr(), 0)))
        return set_by_id(PyList_GET_ITEM(parts.ptr(), 0), PyList_GET_ITEM(parts.ptr(), 1));
    return sequence(parts);
}

/// `parse_repl_line(line)`, bound with the fast calling convention: the host
/// parses every REPL line through it.
PyObject *parse_entry(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        static const char *const names[] = {"line"};
        PyObject *a[1];
        fast_args("parse_repl_line", names, args, nargsf, kwnames, a);
        return parse_repl_line(a[0]).release().ptr();
    });
}

PyMethodDef parse_def = {
    "parse_repl_line", (PyCFunction) (void (*)(void)) parse_entry, METH_FASTCALL | METH_KEYWORDS,
    "parse_repl_line(line)\n--\n\n"
    "Parse one REPL line: None (blank line or comment), or a (command kind, body) pair."};

void apply_ws_repl_parse_patch() {
    nb::object host = import("vantrel_soft.ws_repl");
    nb::object parser = module_global("vantrel_app_plugin.quelby", VT_KEY("parse_repl_line"));
    if (PyObject_SetAttr(host.ptr(), VT_KEY("_parse_line").ptr(), parser.ptr()) < 0) rethrow();
}

} // namespace

NB_MODULE(quelby, m) {
    resolve_imports();
    json_scan_once = attr(json_default_decoder.get(), VT_KEY("scan_once")).release().ptr();
    int_zero = nb::int_(0).release().ptr();
    m.doc() = "REPL line parser for the host's websocket REPL. The module brings its own version of the line "
              "grammar, which understands more commands (among them merge_components and set lines), so that "
              "the grammar does not depend on whichever older host version happens to be installed; "
              "apply_ws_repl_parse_patch() installs it as vantrel_soft.ws_repl._parse_line.";

    add_fast_function(m, &parse_def);
    m.def("apply_ws_repl_parse_patch", &apply_ws_repl_parse_patch, nb::sig("def apply_ws_repl_parse_patch() -> None"),
          "Make the host's websocket REPL parse its lines with parse_repl_line.");
}
