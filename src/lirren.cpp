// lirren: typed, defaulted access to the `tk` block of the layout document:
// navigation targets, key actions, forms, the authentication field map, the
// components cleared on a page change and the per-page hooks.
//
// Every accessor builds a fresh container (a shallow copy) and never changes
// the layout. The older `input` block is consulted only where the `tk` block
// lacks `navigation`, `auth_field_map` or `actions`.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

// ---------------------------------------------------------------------------
// The defaults of the `tk` block, exported for every face that reads a layout
// ---------------------------------------------------------------------------

/// Navigation targets and the page each defaults to, in the order of the
/// mapping `navigation_cfg` builds (`NAVIGATION_DEFAULTS`).
constexpr const char *kNavTargets[][2] = {{"start_page", "login"},
                                          {"home_after_login", "dashboard"},
                                          {"after_register_page", "login"},
                                          {"after_logout_page", "login"}};
enum NavTarget { START_PAGE, HOME_AFTER_LOGIN, AFTER_REGISTER_PAGE, AFTER_LOGOUT_PAGE };

/// Pages reachable without login unless the layout lists its own.
constexpr const char *kDefaultPublicPages[] = {"login", "register"};

/// Authentication field to component key unless the layout maps its own
/// (`DEFAULT_AUTH_FIELD_MAP`).
constexpr const char *kDefaultFieldMap[][2] = {
    {"username", "entry"}, {"password", "label_frame_entry"}, {"confirm_password", "ttk_entry"}};

/// Components cleared on a page change unless the layout lists its own.
constexpr const char *kDefaultClear[] = {"entry", "label_frame_entry", "ttk_entry", "progress", "spin"};

/// Settings of the `tk` block that the older `input` block may give instead.
constexpr const char *kInputFallbacks[] = {"navigation", "auth_field_map", "actions"};

/// Interned forms of the tables, made when the module loads.
struct Vocabulary {
    PyObject *nav_key[4], *nav_default[4];
    PyObject *public_pages[2];
    PyObject *field[3], *field_component[3];
    PyObject *clear_components; // the default tuple, handed out as is (it cannot be changed)
} vocab;

void load_vocabulary() {
    for (int i = 0; i < 4; ++i) {
        vocab.nav_key[i] = intern_forever(kNavTargets[i][0]);
        vocab.nav_default[i] = intern_forever(kNavTargets[i][1]);
    }
    for (int i = 0; i < 2; ++i) vocab.public_pages[i] = intern_forever(kDefaultPublicPages[i]);
    for (int i = 0; i < 3; ++i) {
        vocab.field[i] = intern_forever(kDefaultFieldMap[i][0]);
        vocab.field_component[i] = intern_forever(kDefaultFieldMap[i][1]);
    }
    nb::list clear;
    for (const char *key : kDefaultClear) clear.append(nb::steal(intern_forever(key)));
    vocab.clear_components = nb::tuple(clear).release().ptr();
}

nb::handle default_clear_components() { return vocab.clear_components; }

/// The layout's `tk` block, or null when it is absent or not a mapping.
/// Read in place: the accessors copy only what they return.
nb::object tk_block(nb::handle layout) {
    nb::object tk = get(layout, VT_KEY("tk"));
    return is_mapping(tk) ? tk : nb::object();
}

/// `layout["input"][key]` when both levels are mappings, else null.
nb::object input_value(nb::handle layout, nb::handle key) {
    return get_if_mapping(get(layout, VT_KEY("input")), key);
}

nb::dict tk_section(nb::handle layout) {
    require_dict(layout, "tk_section", "layout");
    nb::object tk = tk_block(layout);
    return tk.is_valid() ? copy_dict(tk) : nb::dict();
}

/// `list(value)`: a string yields its characters, a non-iterable raises TypeError.
nb::object as_list(nb::handle value) {
    PyObject *v = value.ptr();
    if (PyList_CheckExact(v)) return own(PyList_GetSlice(v, 0, PyList_GET_SIZE(v)));
    return own(PySequence_List(v));
}

nb::object navigation_cfg(nb::handle layout) {
    require_dict(layout, "navigation_cfg", "layout");
    nb::object tk = tk_block(layout);
    nb::object nav = get_if_mapping(tk, VT_KEY("navigation"));
    if (is_mapping(nav)) return copy_dict(nav);
    nav = input_value(layout, VT_KEY("navigation"));
    if (is_mapping(nav)) return copy_dict(nav);

    nb::handle home = VT_KEY("");
    nb::object home_text;
    nb::object auth = get(layout, VT_KEY("auth"));
    if (is_mapping(auth)) {
        nb::object a = get(auth, VT_KEY("home_after_login")), b = get(auth, VT_KEY("after_login_page"));
        nb::handle first = first_truthy({a, b});
        if (truthy(first)) home = home_text = text(first);
    }

    nb::dict out = presized_dict(5);
    for (int i = START_PAGE; i <= AFTER_LOGOUT_PAGE; ++i) {
        nb::handle key = vocab.nav_key[i], fallback = vocab.nav_default[i];
        nb::object configured = get_if_mapping(tk, key);
        set_item(out, key, i == HOME_AFTER_LOGIN ? first_text({configured, home, fallback})
                                                 : first_text({configured, fallback}));
    }

    nb::object pages = get_if_mapping(tk, VT_KEY("public_pages"));
    nb::object public_pages;
    if (truthy(pages)) {
        public_pages = as_list(pages);
    } else {
        public_pages = nb::steal(checked(PyList_New(2)));
        for (Py_ssize_t i = 0; i < 2; ++i) PyList_SET_ITEM(public_pages.ptr(), i, Py_NewRef(vocab.public_pages[i]));
    }
    set_item(out, VT_KEY("public_pages"), public_pages);
    return std::move(out);
}

/// `{text(k): text(v) for k, v in m.items()}`.
nb::dict text_map(nb::handle m) {
    nb::dict out = presized_dict(PyDict_GET_SIZE(m.ptr()));
    for_each_item(m, [&](nb::handle k, nb::handle v) { set_item(out, text(k), text(v)); });
    return out;
}

nb::dict auth_field_map(nb::handle layout) {
    require_dict(layout, "auth_field_map", "layout");
    nb::object m = get_if_mapping(tk_block(layout), VT_KEY("auth_field_map"));
    if (is_mapping(m)) return text_map(m);
    m = input_value(layout, VT_KEY("auth_field_map"));
    if (is_mapping(m)) return text_map(m);
    nb::dict out = presized_dict(3);
    for (int i = 0; i < 3; ++i) set_item(out, vocab.field[i], vocab.field_component[i]);
    return out;
}

nb::dict actions_cfg(nb::handle layout) {
    require_dict(layout, "actions_cfg", "layout");
    nb::object raw = get_if_mapping(tk_block(layout), VT_KEY("actions"));
    if (!is_mapping(raw)) raw = input_value(layout, VT_KEY("actions"));
    if (!is_mapping(raw)) return nb::dict();
    nb::dict out = presized_dict(PyDict_GET_SIZE(raw.ptr()));
    for_each_item(raw, [&](nb::handle key, nb::handle spec) {
        if (is_mapping(spec)) {
            set_item(out, text(key), copy_dict(spec));
        } else if (is_text(spec)) {
            nb::dict one = presized_dict(1); // one allocation, as a literal {"type": spec} has
            set_item(one, VT_KEY("type"), spec);
            set_item(out, text(key), one);
        }
    });
    return out;
}

/// Entries of `tk[key]` whose value is a mapping, each copied, keyed by text.
nb::dict mapping_entries(nb::handle layout, nb::handle key) {
    nb::object raw = get_if_mapping(tk_block(layout), key);
    if (!is_mapping(raw)) return nb::dict();
    nb::dict out = presized_dict(PyDict_GET_SIZE(raw.ptr()));
    for_each_item(raw, [&](nb::handle k, nb::handle v) {
        if (is_mapping(v)) set_item(out, text(k), copy_dict(v));
    });
    return out;
}

nb::dict forms_cfg(nb::handle layout) {
    require_dict(layout, "forms_cfg", "layout");
    return mapping_entries(layout, VT_KEY("forms"));
}

nb::dict page_hooks_cfg(nb::handle layout) {
    require_dict(layout, "page_hooks_cfg", "layout");
    return mapping_entries(layout, VT_KEY("page_hooks"));
}

nb::object clear_components(nb::handle layout) {
    require_dict(layout, "clear_components", "layout");
    nb::object raw = get_if_mapping(tk_block(layout), VT_KEY("clear_components_on_goto"));
    if (!is_list(raw)) return nb::borrow(default_clear_components());
    // Walk by index against the current length, as list iteration does: a
    // `__str__` that changes the list cannot make us read past its end.
    nb::object names = nb::steal(checked(PyList_New(0)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(raw.ptr(), i));
        if (PyList_Append(names.ptr(), text(item).ptr()) < 0) rethrow();
    }
    return own(PyList_AsTuple(names.ptr()));
}

// The accessors run on every engine construction and on the web face's
// requests: each is bound with the fast calling convention.
#define VT_ACCESSOR(fn, doc)                                                                              \
    constexpr const char *fn##_names[] = {#fn, "layout"};                                                 \
    PyMethodDef fn##_def = {#fn, (PyCFunction) (void (*)(void)) fast_unary<fn, fn##_names>,               \
                            METH_FASTCALL | METH_KEYWORDS, #fn "(layout)\n--\n\n" doc};

VT_ACCESSOR(tk_section, "Shallow copy of the layout's `tk` block (empty when it is not a mapping).")
VT_ACCESSOR(navigation_cfg, "Navigation targets: `tk.navigation`, `input.navigation`, or the five defaulted keys.")
VT_ACCESSOR(auth_field_map, "Authentication field name to component key.")
VT_ACCESSOR(actions_cfg, "Key name to action specification; a bare string stands for `{\"type\": string}`.")
VT_ACCESSOR(forms_cfg, "Form id to form specification (entries that are not mappings are skipped).")
VT_ACCESSOR(clear_components, "Component keys cleared on a page change.")
VT_ACCESSOR(page_hooks_cfg, "Page name to hook specification (entries that are not mappings are skipped).")
#undef VT_ACCESSOR

} // namespace

NB_MODULE(lirren, m) {
    resolve_imports();
    m.doc() = "Parse the navigation, the key actions and the form field mapping from the `tk` section "
              "of gui_layout.json.";

    load_vocabulary();
    // The defaults above, read-only, for the checker, the command line and the faces.
    nb::object proxy = nb::module_::import_("types").attr("MappingProxyType");
    nb::dict nav;
    for (int i = 0; i < 4; ++i) nav[vocab.nav_key[i]] = nb::handle(vocab.nav_default[i]);
    nav["public_pages"] = nb::make_tuple(nb::handle(vocab.public_pages[0]), nb::handle(vocab.public_pages[1]));
    m.attr("NAVIGATION_DEFAULTS") = proxy(nav);
    nb::dict fields;
    for (int i = 0; i < 3; ++i) fields[vocab.field[i]] = nb::handle(vocab.field_component[i]);
    m.attr("DEFAULT_AUTH_FIELD_MAP") = proxy(fields);
    m.attr("DEFAULT_CLEAR_COMPONENTS") = default_clear_components();
    // The JSON type each setting of the `tk` block must have to be read.
    nb::handle dict_type((PyObject *) &PyDict_Type), list_type((PyObject *) &PyList_Type);
    nb::dict settings;
    for (const char *name : {"navigation", "auth_field_map", "actions", "forms", "page_hooks"})
        settings[name] = dict_type;
    settings["clear_components_on_goto"] = list_type;
    m.attr("TK_SETTINGS") = proxy(settings);
    nb::list fallbacks;
    for (const char *name : kInputFallbacks) fallbacks.append(utf8(name));
    m.attr("INPUT_FALLBACKS") = nb::tuple(fallbacks);

    for (PyMethodDef *def : {&tk_section_def, &navigation_cfg_def, &auth_field_map_def, &actions_cfg_def,
                             &forms_cfg_def, &clear_components_def, &page_hooks_cfg_def})
        add_fast_function(m, def);
}
