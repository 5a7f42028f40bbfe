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

/// Components cleared on a page change unless the layout lists its own:
/// built once, handed out as is (a tuple cannot be changed).
nb::handle default_clear_components() {
    static PyObject *const value = [] {
        nb::tuple t = nb::make_tuple("entry", "label_frame_entry", "ttk_entry", "progress", "spin");
        return t.release().ptr();
    }();
    return value;
}

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

    auto pick = [&](nb::handle key, nb::handle fallback) -> nb::str {
        nb::object v = get_if_mapping(tk, key);
        return text(first_truthy({v, fallback}));
    };
    nb::dict out = presized_dict(5);
    nb::handle login = VT_KEY("login");
    set_item(out, VT_KEY("start_page"), pick(VT_KEY("start_page"), login));
    nb::object configured_home = get_if_mapping(tk, VT_KEY("home_after_login"));
    set_item(out, VT_KEY("home_after_login"),
             text(first_truthy({configured_home, home, VT_KEY("dashboard")})));
    set_item(out, VT_KEY("after_register_page"), pick(VT_KEY("after_register_page"), login));
    set_item(out, VT_KEY("after_logout_page"), pick(VT_KEY("after_logout_page"), login));

    nb::object pages = get_if_mapping(tk, VT_KEY("public_pages"));
    nb::object public_pages;
    if (truthy(pages)) {
        public_pages = as_list(pages);
    } else {
        public_pages = nb::steal(checked(PyList_New(2)));
        PyList_SET_ITEM(public_pages.ptr(), 0, login.inc_ref().ptr());
        PyList_SET_ITEM(public_pages.ptr(), 1, VT_KEY("register").inc_ref().ptr());
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
    nb::dict out;
    set_item(out, VT_KEY("username"), VT_KEY("entry"));
    set_item(out, VT_KEY("password"), VT_KEY("label_frame_entry"));
    set_item(out, VT_KEY("confirm_password"), VT_KEY("ttk_entry"));
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

    m.attr("DEFAULT_CLEAR_COMPONENTS") = default_clear_components();

    for (PyMethodDef *def : {&tk_section_def, &navigation_cfg_def, &auth_field_map_def, &actions_cfg_def,
                             &forms_cfg_def, &clear_components_def, &page_hooks_cfg_def})
        add_fast_function(m, def);
}
