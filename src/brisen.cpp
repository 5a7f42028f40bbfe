// brisen: the base class of JSON-driven Tk engines.
//
// Navigation, the redirects after login, registration and logout, and the key
// actions are all configured in the `tk` section of gui_layout.json; a
// subclass only implements the business functions of `business_handlers`
// (for example `add_student`). The engine draws nothing: it keeps a flat
// mapping of component values, a status line, the logged-in user and a
// revision counter, and the host redraws from `snapshot()` after each call.
#include <vantrel/idioms.hpp>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace nb = nanobind;
using namespace vantrel;

namespace {

/// State of one engine. Every field is an attribute under the name it has in
/// Python (`_components`, `_status`, ...), so hooks and subclasses may read
/// and replace it; nothing here assumes a field still has its initial type.
///
/// Any call into Python (a hook, a plugin, a key's `__hash__` or `__eq__`, a
/// value's `__str__`) may assign any field and so release the object it held.
/// A field is therefore copied into an owned local (`nb::object x = e.x;`)
/// before it is used, and never passed on as a borrowed handle.
struct Engine {
    nb::object plugins = nb::none(), plugin = nb::none(), layout = nb::none(), nav = nb::none(),
               field_map = nb::none(), auth_component_keys = nb::none(), actions = nb::none(),
               forms = nb::none(), page_hooks = nb::none(), clear_keys = nb::none(),
               component_keys = nb::none(), public_pages = nb::none(), user = nb::none(),
               status = nb::none(), components = nb::none(), revision = nb::int_(0);

    template <class F> void each_ref(F &&f) {
        for (nb::object *o : {&plugins, &plugin, &layout, &nav, &field_map, &auth_component_keys,
                              &actions, &forms, &page_hooks, &clear_keys, &component_keys,
                              &public_pages, &user, &status, &components, &revision})
            f(*o);
    }
};

// ---------------------------------------------------------------------------
// Module constants, fixed when the module loads
// ---------------------------------------------------------------------------

PyTypeObject *engine_type = nullptr;

Imported copy_deepcopy{"copy", "deepcopy"};

/// The integer 1 (the runtime keeps small integers for good).
nb::handle one; // set when the module loads

/// The module's namespace: the plugin SDK, the `tk` readers and the host's
/// COMPONENT_KEYS are looked up there at the moment of use, like globals.
PyObject *module_globals = nullptr;

/// Members a subclass may override (or an instance attribute may hide): C++
/// runs the bound implementation directly while the engine uses it.
enum Member {
    HOME_PAGE, BUSINESS_HANDLERS, SNAPSHOT_COMPONENTS, EMPTY_COMPONENTS, LAYOUT_COMPONENT_KEYS,
    RESET_ALL, GUARD_PAGE, PAGE_INDEX, GOTO, REQUIRE_LOGIN, RUN_ACTION, FIELDS_FROM_MAP,
    AUTH_FIELDS, ACTION_LOGIN, ACTION_REGISTER, ACTION_LOGOUT, ACTION_BUSINESS, MEMBER_COUNT
};
Members<MEMBER_COUNT> members{{"home_page", "business_handlers", "_snapshot_components", "_empty_components",
                               "_layout_component_keys", "reset_all", "_guard_page", "_page_index", "_goto",
                               "_require_login", "_run_action", "_fields_from_map", "_auth_fields",
                               "_action_login", "_action_register", "_action_logout", "_action_business"}};

Engine &engine_of(nb::handle self, const char *method) {
    return self_of<Engine>(self, engine_type, method);
}

/// A name of the module namespace (a KeyError-free NameError when missing).
nb::object global(nb::handle name) {
    nb::object v = get(module_globals, name);
    if (!v.is_valid()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        rethrow();
    }
    return v;
}

/// Is `key` a component the host's window knows?
bool host_knows(nb::handle component_keys, nb::handle key) { return member(component_keys, key); }

/// `_revision += 1` with the runtime's integers (no overflow, whatever is stored).
void count_change(Engine &e) {
    nb::object rev = e.revision;
#if PY_VERSION_HEX >= 0x030C0000
    if (PyLong_CheckExact(rev.ptr()) && PyUnstable_Long_IsCompact((PyLongObject *) rev.ptr())) {
        // A compact integer holds at most 30 bits: its successor fits anywhere.
        e.revision = own(PyLong_FromSsize_t(PyUnstable_Long_CompactValue((PyLongObject *) rev.ptr()) + 1));
        return;
    }
#endif
    e.revision = own(PyNumber_Add(rev.ptr(), one.ptr()));
}

/// `text(_nav.get(key) or fallback)`.
nb::str nav_text(Engine &e, nb::handle key, nb::handle fallback) {
    nb::object nav = e.nav;
    return first_text(nav, {key}, fallback);
}

nb::str start_page(Engine &e) { return nav_text(e, VT_KEY("start_page"), VT_KEY("login")); }

bool logged_in(const Engine &e) { return !e.user.is_none(); }

/// `pages` of a layout as a page list: falsy values count as empty, and a
/// mapping (the older home of the web's authentication forms) is no page list.
nb::object page_list(nb::handle layout) {
    nb::object pages = get_any(layout, VT_KEY("pages"));
    if (!truthy(pages) || is_mapping(pages)) return nb::list();
    return pages;
}

// ---------------------------------------------------------------------------
// Deep copies for snapshots
// ---------------------------------------------------------------------------

/// Deep copy of a component value: the common JSON-like types natively, the
/// rest (and anything nested deeper than `depth` allows, cycles included)
/// through `copy.deepcopy`. Returns null when the native copy gives up.
PyObject *copy_native(PyObject *v, int depth) {
    if (v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
        PyBool_Check(v)) {
        Py_INCREF(v);
        return v;
    }
    if (depth == 0) return nullptr;
    if (PyList_CheckExact(v)) {
        Py_ssize_t n = PyList_GET_SIZE(v);
        nb::object out = own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i >= PyList_GET_SIZE(v)) return nullptr; // shrunk while copying
            // Held while copied: an allocation may run the collector, and a
            // finalizer may change the list.
            nb::object item = nb::borrow(PyList_GET_ITEM(v, i));
            PyObject *c = copy_native(item.ptr(), depth - 1);
            if (!c) return nullptr;
            PyList_SET_ITEM(out.ptr(), i, c);
        }
        return out.release().ptr();
    }
    if (PyTuple_CheckExact(v)) {
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        nb::object out = own(PyTuple_New(n));
        bool same = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyTuple_GET_ITEM(v, i);
            PyObject *c = copy_native(item, depth - 1);
            if (!c) return nullptr;
            same = same && c == item;
            PyTuple_SET_ITEM(out.ptr(), i, c);
        }
        if (same) { // an immutable tuple is its own deep copy
            Py_INCREF(v);
            return v;
        }
        return out.release().ptr();
    }
    if (PyDict_CheckExact(v)) {
        nb::object out = own(PyDict_New());
        Py_ssize_t pos = 0;
        PyObject *k_, *item_;
        while (PyDict_Next(v, &pos, &k_, &item_)) {
            nb::object k = nb::borrow(k_), item = nb::borrow(item_);
            if (!(PyUnicode_CheckExact(k.ptr()) || PyLong_CheckExact(k.ptr()))) return nullptr;
            PyObject *c = copy_native(item.ptr(), depth - 1);
            if (!c) return nullptr;
            int rc = PyDict_SetItem(out.ptr(), k.ptr(), c);
            Py_DECREF(c);
            if (rc < 0) rethrow();
        }
        return out.release().ptr();
    }
    return nullptr;
}

nb::object deep_copy(nb::handle value) {
    constexpr int kNativeDepth = 64;
    if (PyObject *c = copy_native(value.ptr(), kNativeDepth)) return nb::steal(c);
    if (PyErr_Occurred()) rethrow();
    return call1(copy_deepcopy.get(), value);
}

// ---------------------------------------------------------------------------
// The layout's vocabulary, as the engine acts on it
// ---------------------------------------------------------------------------

enum class Kind { Login, Register, Logout, Navigate, Business, Method, Unknown };

/// The action kinds the engine runs itself, by operation (`ACTION_KINDS`).
constexpr struct {
    Kind kind;
    const char *operation;
    std::string_view names[3]; // empty: no further name
} kOperations[] = {
    {Kind::Login, "login", {"login", "auth_login"}},
    {Kind::Register, "register", {"register", "auth_register"}},
    {Kind::Logout, "logout", {"logout", "auth_logout"}},
    {Kind::Navigate, "navigate", {"goto", "navigate", "page"}},
    {Kind::Business, "business", {"business", "handler", "form"}},
    {Kind::Method, "method", {"hook", "method"}},
};

/// Key names that reset the engine instead of running an action (`RESERVED_KEYS`).
constexpr const char *kResetKeys[] = {"清空", "CLR", "clear", "reset"};

/// The components the engine keeps for the page it shows (`PAGE_KEYS`).
constexpr const char *kPageKeys[] = {"ui_page", "ui_page_index"};

nb::handle reset_keys; // a tuple of the reset keys, made at load

/// The built-in operation a lower-cased action kind names.
Kind kind_of(nb::handle kind) {
    if (!PyUnicode_IS_ASCII(kind.ptr())) return Kind::Unknown;
    std::string_view k((const char *) PyUnicode_1BYTE_DATA(kind.ptr()), (size_t) PyUnicode_GET_LENGTH(kind.ptr()));
    for (const auto &op : kOperations)
        for (std::string_view name : op.names)
            if (!name.empty() && k == name) return op.kind;
    return Kind::Unknown;
}

/// The kind an action names (`action_kind`): the text of its `type`, else of
/// its `action`, lower-cased and not trimmed; "" when it names none (or is None).
nb::str action_kind(nb::handle action) {
    if (action.is_none()) return nb::borrow<nb::str>(VT_KEY(""));
    return lower(first_text(action, {VT_KEY("type"), VT_KEY("action")}, VT_KEY("")));
}

/// Is the trimmed key one of the reset keys (compared exactly)?
bool reserved_key(nb::handle key) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(reset_keys.ptr()); i < n; ++i)
        if (str_eq(PyTuple_GET_ITEM(reset_keys.ptr(), i), key)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Members. Each is one function, called by C++ through `members`, so that a
// subclass's override (or an attribute of the instance) is what runs.
// ---------------------------------------------------------------------------

nb::str home_page_of(Engine &e) { return nav_text(e, VT_KEY("home_after_login"), VT_KEY("dashboard")); }

/// `self.home_page`.
nb::object home_page(nb::handle self, Engine &e) {
    return members.get(self, HOME_PAGE, [&] { return nb::object(home_page_of(e)); });
}

/// `self.business_handlers`: this class registers none.
nb::object business_handlers(nb::handle self) {
    return members.get(self, BUSINESS_HANDLERS, [] { return nb::object(nb::dict()); });
}

nb::object guard_page(nb::handle self, Engine &e, nb::handle page_id);
nb::object page_index(nb::handle self, nb::handle page_id);
void go_to(nb::handle self, Engine &e, nb::handle page_id, bool clear_form);

nb::object layout_component_keys(Engine &e) {
    nb::object clear_keys = e.clear_keys, field_map = e.field_map, layout = e.layout;
    nb::object keys = own(PySet_New(clear_keys.ptr()));
    for_each_in(call_method(field_map, VT_KEY("values")), [&](nb::object v) {
        if (PySet_Add(keys.ptr(), v.ptr()) < 0) rethrow();
    });
    auto add_key_of = [&](nb::handle widget) {
        nb::object ck = get_any(widget, VT_KEY("component_key"));
        if (truthy(ck) && PySet_Add(keys.ptr(), text(ck).ptr()) < 0) rethrow();
    };
    auto entries = [](nb::handle holder, nb::handle key) -> nb::object {
        nb::object v = get_any(holder, key);
        return truthy(v) ? v : nb::object(nb::list());
    };
    for_each_in(page_list(layout), [&](nb::object page) {
        for_each_in(entries(page, VT_KEY("sections")), [&](nb::object section) {
            for_each_in(entries(section, VT_KEY("widgets")), [&](nb::object widget) {
                add_key_of(widget);
                for_each_in(entries(widget, VT_KEY("children")), add_key_of);
            });
        });
    });
    return own(PyFrozenSet_New(keys.ptr()));
}

nb::object empty_components(Engine &e) {
    nb::dict out;
    nb::handle blank = VT_KEY("");
    for_each_in(nb::object(e.component_keys), [&](nb::object k) { set_item(out, k, blank); });
    set_item(out, VT_KEY("ui_page"), start_page(e));
    set_item(out, VT_KEY("ui_page_index"), nb::int_(0));
    return out;
}

nb::object snapshot_components(Engine &e) {
    nb::dict out;
    nb::object components = e.components, component_keys = e.component_keys;
    auto report = [&](nb::handle key) {
        if (PyDict_Check(components.ptr())) {
            if (nb::object v = get(components, key); v.is_valid()) set_item(out, key, deep_copy(v));
        } else if (member(components, key)) {
            set_item(out, key, deep_copy(own(PyObject_GetItem(components.ptr(), key.ptr()))));
        }
    };
    for_each_in(component_keys, report);
    for (nb::handle page_key : {VT_KEY("ui_page"), VT_KEY("ui_page_index")})
        if (!member(component_keys, page_key)) report(page_key);
    return out;
}

nb::object snapshot(nb::handle self) {
    Engine &e = engine_of(self, "snapshot");
    nb::object user = e.user, user_line;
    if (!user.is_none())
        user_line = concat(VT_KEY("当前用户: "), text(subscript(user, VT_KEY("username"))));
    else
        user_line = nb::borrow(VT_KEY("未登录"));
    nb::object status = e.status, revision = e.revision;
    nb::object comps = members.call(self, SNAPSHOT_COMPONENTS, [&] { return snapshot_components(e); });
    nb::object out = own(_PyDict_NewPresized(6));
    set_item(out, VT_KEY("display"), status);
    set_item(out, VT_KEY("expression_line"), user_line);
    set_item(out, VT_KEY("memory"), own(PyFloat_FromDouble(0.0)));
    set_item(out, VT_KEY("has_memory"), nb::handle(Py_False));
    set_item(out, VT_KEY("revision"), revision);
    set_item(out, VT_KEY("components"), comps);
    return out;
}

/// Store one merged value when the host knows the key; tells whether it did.
/// The key's own `__hash__` and `__eq__` run here, so every field is read
/// afresh and held while it is used.
bool merge_one(Engine &e, nb::handle known, nb::handle key, nb::handle value, bool &touched_auth) {
    if (!host_knows(known, key)) return false;
    if (!touched_auth && member(nb::object(e.auth_component_keys), key)) touched_auth = true;
    nb::object components = e.components;
    if (PyDict_CheckExact(components.ptr()) ? PyDict_SetItem(components.ptr(), key.ptr(), value.ptr()) < 0
                                             : PyObject_SetItem(components.ptr(), key.ptr(), value.ptr()) < 0)
        rethrow();
    return true;
}

/// `merge_components(**values)`, called with the runtime's fast keyword
/// convention so the values are read straight from the call. A page request
/// is guarded first: the guarded page and its index replace the values given
/// for "ui_page" and "ui_page_index" (an index not given comes last).
void merge_components(nb::handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Engine &e = engine_of(self, "merge_components");
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "merge_components() takes 0 positional arguments but %zd were given", nargs);
        rethrow();
    }
    Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t page_at = -1, index_at = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (str_eq(name, VT_KEY("ui_page"))) page_at = i;
        else if (str_eq(name, VT_KEY("ui_page_index"))) index_at = i;
    }
    nb::object page, index;
    if (page_at >= 0) {
        page = guard_page(self, e, text(args[page_at]));
        index = page_index(self, page);
    }

    nb::object known = global(VT_KEY("COMPONENT_KEYS"));
    bool dirty = false, touched_auth = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle value = args[i];
        if (i == page_at) value = page;
        else if (i == index_at && page_at >= 0) value = index;
        dirty = merge_one(e, known, PyTuple_GET_ITEM(kwnames, i), value, touched_auth) || dirty;
    }
    if (page_at >= 0 && index_at < 0)
        dirty = merge_one(e, known, VT_KEY("ui_page_index"), index, touched_auth) || dirty;
    if (!dirty) return;
    if (!logged_in(e) && touched_auth) e.status = nb::borrow(VT_KEY("请登录"));
    count_change(e);
}

PyObject *merge_components_entry(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        merge_components(self, args, PyVectorcall_NARGS(nargsf), kwnames);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef merge_components_def = {
    "merge_components", (PyCFunction) (void (*)(void)) merge_components_entry, METH_FASTCALL | METH_KEYWORDS,
    "merge_components(self, **values)\n--\n\nStore widget values under the component keys the host knows."};

void reset_all(nb::handle self, Engine &e) {
    e.user = nb::none();
    e.status = nb::borrow(VT_KEY("已复位"));
    go_to(self, e, nav_text(e, VT_KEY("after_logout_page"), VT_KEY("login")), true);
}

// --- page guard and navigation ---------------------------------------------

nb::object guarded_page(nb::handle self, Engine &e, nb::handle page_id) {
    bool is_public = member(nb::object(e.public_pages), page_id);
    if (!logged_in(e)) return is_public ? nb::borrow(page_id) : nb::object(start_page(e));
    return is_public ? home_page(self, e) : nb::borrow(page_id);
}

/// `self._guard_page(page_id)`.
nb::object guard_page(nb::handle self, Engine &e, nb::handle page_id) {
    return members.call(self, GUARD_PAGE, [&] { return guarded_page(self, e, page_id); }, page_id);
}

/// Position of `page_id` in the host's page list, 0 when absent. The host's
/// `get_gui_layout` is imported and called afresh every time.
nb::object host_page_index(nb::handle page_id) {
    nb::object layout = call0(import_from(VT_KEY("vantrel_soft.gui_config"), VT_KEY("get_gui_layout")));
    if (!PyUnicode_Check(page_id.ptr())) return nb::int_(0); // no page id: nothing matches
    auto is_page = [&](nb::handle page) {
        return str_eq(text(value_or_none(get_any(page, VT_KEY("id")))), page_id);
    };
    nb::object pages = page_list(layout);
    if (PyList_CheckExact(pages.ptr())) {
        // Walked by position like the list's own iterator: a page's `__eq__`
        // may shrink the list, so the length is read at every step.
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(pages.ptr()); ++index) {
            nb::object page = nb::borrow(PyList_GET_ITEM(pages.ptr(), index));
            if (is_page(page)) return own(PyLong_FromSsize_t(index));
        }
        return nb::int_(0);
    }
    nb::object it = own(PyObject_GetIter(pages.ptr()));
    for (long index = 0;; ++index) {
        nb::object page = nb::steal(PyIter_Next(it.ptr()));
        if (!page.is_valid()) break;
        if (is_page(page)) return nb::int_(index);
    }
    if (PyErr_Occurred()) rethrow();
    return nb::int_(0);
}

/// `self._page_index(page_id)`.
nb::object page_index(nb::handle self, nb::handle page_id) {
    return members.call(self, PAGE_INDEX, [&] { return host_page_index(page_id); }, page_id);
}

void navigate(nb::handle self, Engine &e, nb::handle requested, bool clear_form) {
    nb::object pid = guard_page(self, e, requested);
    if (!pid.is_none() && !PyUnicode_Check(pid.ptr())) {
        PyErr_Format(PyExc_TypeError, "_guard_page() must return str, not %s", Py_TYPE(pid.ptr())->tp_name);
        rethrow();
    }
    // `_components` is read afresh at every store: a key's `__eq__` or the
    // host's page list may have replaced it since.
    auto store = [&](nb::handle key, nb::handle value) {
        nb::object components = e.components;
        if (PyObject_SetItem(components.ptr(), key.ptr(), value.ptr()) < 0) rethrow();
    };
    if (clear_form)
        for_each_in(nb::object(e.clear_keys), [&](nb::object key) {
            if (member(nb::object(e.components), key)) store(key, VT_KEY(""));
        });
    store(VT_KEY("ui_page"), pid);
    store(VT_KEY("ui_page_index"), page_index(self, pid));

    nb::object hooks = get_any(nb::object(e.page_hooks), pid);
    if (!truthy(hooks)) return;
    nb::object on_enter = get_any(hooks, VT_KEY("on_enter"));
    if (!truthy(on_enter)) return;
    MethodRef method = lookup_method(self, text(on_enter));
    if (!method.exists()) return;
    Reentry level(" while entering a page");
    method.call(self);
}

/// `self._goto(page_id, clear_form)`.
void go_to(nb::handle self, Engine &e, nb::handle page_id, bool clear_form) {
    members.call(self, GOTO, [&] { navigate(self, e, page_id, clear_form); }, page_id, nb::bool_(clear_form));
}

void require_login(Engine &e) {
    if (!logged_in(e)) raise(PyExc_ValueError, "请先登录");
}

// --- form values -------------------------------------------------------------

/// The field values of a field map (which must be a dict: the engine's own
/// `_field_map` may have been replaced by anything).
nb::object fields_from(Engine &e, nb::handle mapping) {
    require_dict(mapping, "_fields_from_map", "mapping");
    nb::dict out;
    nb::object components = e.components;
    for_each_item(mapping, [&](nb::handle name, nb::handle key) {
        nb::object v = get_any(components, key);
        set_item(out, name, v.is_valid() ? nb::handle(text(v)) : VT_KEY(""));
    });
    return out;
}

/// `self._fields_from_map(mapping)`.
nb::object fields_from_map(nb::handle self, Engine &e, nb::handle mapping) {
    return members.call(self, FIELDS_FROM_MAP, [&] { return fields_from(e, mapping); }, mapping);
}

/// `self._auth_fields()`.
nb::object auth_fields(nb::handle self, Engine &e) {
    return members.call(self, AUTH_FIELDS, [&] {
        nb::object field_map = e.field_map;
        return fields_from_map(self, e, field_map);
    });
}

// --- actions -------------------------------------------------------------------

/// Clearing rule of register and logout: missing means clear, present its truth.
bool clear_unless_false(nb::handle spec) {
    return !member(spec, VT_KEY("clear_form")) || truthy(get_any(spec, VT_KEY("clear_form")));
}

void action_login(nb::handle self, Engine &e, nb::handle spec) {
    nb::object fields = auth_fields(self, e);
    nb::object username = get_any(fields, VT_KEY("username"));
    nb::object password = get_any(fields, VT_KEY("password"));
    nb::dict credentials;
    set_item(credentials, VT_KEY("username"), username.is_valid() ? nb::handle(stripped_text(username)) : VT_KEY(""));
    set_item(credentials, VT_KEY("password"), password.is_valid() ? nb::handle(text(password)) : VT_KEY(""));

    nb::object plugin = e.plugin, flag, payload;
    unpack2(call_method(plugin, VT_KEY("login_user"), credentials), flag, payload);
    if (truthy(flag) && is_mapping(payload)) {
        e.user = payload;
        nb::str message = first_text(spec, {VT_KEY("success_message")}, VT_KEY("欢迎，{username}"));
        e.status = call_method(message, VT_KEY("format_map"), payload);
        nb::object target = get_any(spec, VT_KEY("success_page"));
        if (!truthy(target)) target = get_any(spec, VT_KEY("goto"));
        if (!truthy(target)) target = home_page(self, e);
        nb::object clear = get_any(spec, VT_KEY("clear_form"));
        bool clearing = (clear.is_valid() && !clear.is_none()) ? truthy(clear)
                                                               : truthy(get_any(spec, VT_KEY("clear_on_success")));
        go_to(self, e, text(target), clearing);
        return;
    }
    e.status = text(payload);
    nb::object fail_page = get_any(spec, VT_KEY("fail_page"));
    if (truthy(fail_page)) go_to(self, e, text(fail_page), false);
}

void action_register(nb::handle self, Engine &e, nb::handle spec) {
    nb::object fields = auth_fields(self, e);
    nb::object plugin = e.plugin, flag, message;
    unpack2(call_method(plugin, VT_KEY("register_user"), fields), flag, message);
    e.status = text(message);
    if (!truthy(flag)) return;
    nb::object nav = e.nav;
    nb::str target = first_text({get_any(spec, VT_KEY("success_page")), get_any(spec, VT_KEY("goto")),
                                 get_any(nav, VT_KEY("after_register_page")), VT_KEY("login")});
    go_to(self, e, target, clear_unless_false(spec));
}

void action_logout(nb::handle self, Engine &e, nb::handle spec) {
    e.user = nb::none();
    e.status = first_text(spec, {VT_KEY("message")}, VT_KEY("已注销"));
    nb::object nav = e.nav;
    nb::str target = first_text({get_any(spec, VT_KEY("goto")), get_any(spec, VT_KEY("page")),
                                 get_any(nav, VT_KEY("after_logout_page")), VT_KEY("login")});
    go_to(self, e, target, clear_unless_false(spec));
}

void action_business(nb::handle self, Engine &e, nb::handle action_spec) {
    nb::object spec = nb::borrow(action_spec);
    nb::str form_id = first_text(spec, {VT_KEY("form")}, VT_KEY(""));
    if (PyUnicode_GET_LENGTH(form_id.ptr())) {
        nb::object form = get_any(nb::object(e.forms), form_id);
        if (is_mapping(form) && truthy(form)) { // the form gives defaults, the action's own keys win
            nb::dict merged = copy_dict(form);
            if (PyDict_Update(merged.ptr(), spec.ptr()) < 0) rethrow();
            spec = std::move(merged);
        }
    }
    nb::str name = first_text(spec, {VT_KEY("handler"), VT_KEY("business")}, VT_KEY(""));
    nb::object handler = get_any(business_handlers(self), name);
    if (!handler.is_valid() || handler.is_none()) {
        e.status = concat(VT_KEY("未注册业务: "), name);
        return;
    }
    nb::object field_map = get_any(spec, VT_KEY("fields"));
    nb::dict wanted;
    if (is_mapping(field_map) && truthy(field_map))
        for_each_item(field_map, [&](nb::handle k, nb::handle v) { set_item(wanted, text(k), text(v)); });
    nb::object kwargs = fields_from_map(self, e, wanted);
    if (logged_in(e)) {
        bool pass_id = !member(spec, VT_KEY("pass_user_id")) || truthy(get_any(spec, VT_KEY("pass_user_id")));
        if (pass_id && !member(kwargs, VT_KEY("user_id"))) {
            nb::object user = e.user;
            nb::object id = own(PyNumber_Long(subscript(user, VT_KEY("id")).ptr()));
            if (PyObject_SetItem(kwargs.ptr(), VT_KEY("user_id").ptr(), id.ptr()) < 0) rethrow();
        }
    }
    if (!PyDict_CheckExact(kwargs.ptr())) { // `**kwargs` of whatever mapping an override returned
        nb::dict copy;
        if (PyDict_Merge(copy.ptr(), kwargs.ptr(), 1) < 0) rethrow();
        kwargs = std::move(copy);
    }
    nb::object empty_args = own(PyTuple_New(0));
    nb::object flag, message;
    {
        Reentry level(" while running a business function");
        unpack2(own(PyObject_Call(handler.ptr(), empty_args.ptr(), kwargs.ptr())), flag, message);
    }
    e.status = message;
    if (!truthy(flag)) return;
    nb::object target = get_any(spec, VT_KEY("success_page"));
    if (!truthy(target)) target = get_any(spec, VT_KEY("goto"));
    if (truthy(target)) go_to(self, e, text(target), truthy(get_any(spec, VT_KEY("clear_form"))));
}

/// Navigate kind: optional component values, then the guarded page change.
void action_navigate(nb::handle self, Engine &e, nb::handle key, nb::handle spec) {
    nb::str target = first_text(spec, {VT_KEY("page"), VT_KEY("goto")}, VT_KEY(""));
    if (!PyUnicode_GET_LENGTH(target.ptr())) {
        e.status = concat(concat(VT_KEY("动作 "), key), VT_KEY(" 缺少 page"));
        return;
    }
    nb::object preset = get_any(spec, VT_KEY("set"));
    if (truthy(preset) && is_mapping(preset)) {
        nb::object known = global(VT_KEY("COMPONENT_KEYS"));
        for_each_item(preset, [&](nb::handle k, nb::handle v) {
            if (!host_knows(known, k)) return;
            nb::object components = e.components;
            if (PyObject_SetItem(components.ptr(), k.ptr(), v.ptr()) < 0) rethrow();
        });
    }
    bool clear = truthy(get_any(spec, VT_KEY("clear"))) || truthy(get_any(spec, VT_KEY("clear_form")));
    go_to(self, e, target, clear);
}

/// Method kind: call an engine method by name; the status is the method's.
void action_method(nb::handle self, Engine &e, nb::handle spec) {
    nb::str name = first_text(spec, {VT_KEY("handler"), VT_KEY("method")}, VT_KEY(""));
    nb::object method = getattr_opt(self, name);
    if (!is_callable(method)) {
        e.status = concat(VT_KEY("未找到方法: "), name);
        return;
    }
    Reentry level(" while running a method action");
    call0(method);
}

using Action = void (*)(nb::handle, Engine &, nb::handle);

/// `self.<the action's member>(spec)`.
void act(nb::handle self, Engine &e, Member m, Action action, nb::handle spec) {
    members.call(self, m, [&] { action(self, e, spec); }, spec);
}

void run_action(nb::handle self, Engine &e, nb::handle key, nb::handle spec) {
    if (truthy(get_any(spec, VT_KEY("require_login"))))
        members.call(self, REQUIRE_LOGIN, [&] { require_login(e); });
    nb::str kind = action_kind(spec);

    nb::object plugins = e.plugins, dispatch = global(VT_KEY("dispatch_plugin_action"));
    PyObject *argv[] = {plugins.ptr(), kind.ptr(), key.ptr(), spec.ptr(), self.ptr()};
    nb::object handled = own(PyObject_Vectorcall(dispatch.ptr(), argv, 5, nullptr));
    if (truthy(handled)) return;

    switch (kind_of(kind)) {
    case Kind::Login: act(self, e, ACTION_LOGIN, action_login, spec); break;
    case Kind::Register: act(self, e, ACTION_REGISTER, action_register, spec); break;
    case Kind::Logout: act(self, e, ACTION_LOGOUT, action_logout, spec); break;
    case Kind::Navigate: action_navigate(self, e, key, spec); break;
    case Kind::Business: act(self, e, ACTION_BUSINESS, action_business, spec); break;
    case Kind::Method: action_method(self, e, spec); break;
    case Kind::Unknown: e.status = concat(VT_KEY("未知动作类型: "), kind); break;
    }
}

void press(nb::handle self, nb::handle raw_key) {
    Engine &e = engine_of(self, "press");
    require_str(raw_key, "press", "key");
    nb::str key = strip(raw_key);
    if (!PyUnicode_GET_LENGTH(key.ptr())) raise(PyExc_ValueError, "空键名");
    if (reserved_key(key)) {
        members.call(self, RESET_ALL, [&] { reset_all(self, e); });
        return;
    }
    nb::object spec = get_any(nb::object(e.actions), key);
    if (!spec.is_valid() || spec.is_none()) {
        e.status = concat(VT_KEY("未配置的按键: "), key);
        count_change(e);
        return;
    }
    members.call(self, RUN_ACTION, [&] { run_action(self, e, key, spec); }, key, spec);
    count_change(e);
}

/// `press(key)`, bound with the fast calling convention (it runs on every key).
PyObject *press_entry(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        static const char *const names[] = {"key"};
        PyObject *key[1];
        fast_args("press", names, args, nargsf, kwnames, key);
        press(self, key[0]);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef press_def = {"press", (PyCFunction) (void (*)(void)) press_entry, METH_FASTCALL | METH_KEYWORDS,
                         "press(self, key)\n--\n\nHandle one key press."};

// --- construction ------------------------------------------------------------------

/// `name(self.<field>)` for a module-level reader of the layout: the field is
/// read afresh (a hook run earlier may have replaced it) and held for the call.
nb::object read_with(nb::handle name, const nb::object &field) {
    nb::object arg = field;
    return call1(global(name), arg);
}

/// Construction in the documented order. The argument is checked before any
/// field changes, so a failed re-initialisation leaves a working engine as it
/// was; later steps assign one field after another, as a Python `__init__` would.
void init_engine(nb::handle self, nb::handle config_path) {
    if (!PyObject_TypeCheck(self.ptr(), engine_type)) raise(PyExc_TypeError, "__init__() requires a TkJsonEngine");
    require_str(config_path, "TkJsonEngine", "config_path");
    Engine *slot = nb::inst_ptr<Engine>(self);
    if (!nb::inst_ready(self)) {
        new (slot) Engine();
        nb::inst_mark_ready(self); // hooks run below already see a usable engine
    }
    Engine &e = *slot;

    e.plugins = call1(global(VT_KEY("load_unified_plugins")), config_path);
    e.plugin = read_with(VT_KEY("primary_plugin"), e.plugins);
    nb::object plugin = e.plugin;
    nb::object on_load = getattr_opt(plugin, VT_KEY("on_load"));
    if (is_callable(on_load))
        call0(on_load);
    else if (getattr_opt(plugin, VT_KEY("init_database")).is_valid())
        call_method(plugin, VT_KEY("init_database"));
    e.layout = attr(nb::object(e.plugin), VT_KEY("data"));

    e.nav = read_with(VT_KEY("navigation_cfg"), e.layout);
    e.field_map = read_with(VT_KEY("auth_field_map"), e.layout);
    nb::object field_map = e.field_map;
    e.auth_component_keys = own(PyFrozenSet_New(call_method(field_map, VT_KEY("values")).ptr()));
    e.actions = read_with(VT_KEY("actions_cfg"), e.layout);
    e.forms = read_with(VT_KEY("forms_cfg"), e.layout);
    e.page_hooks = read_with(VT_KEY("page_hooks_cfg"), e.layout);
    e.clear_keys = read_with(VT_KEY("clear_components"), e.layout);
    e.component_keys = members.call(self, LAYOUT_COMPONENT_KEYS, [&] { return layout_component_keys(e); });

    nb::object publics = own(PySet_New(nullptr));
    nb::object listed = get_any(nb::object(e.nav), VT_KEY("public_pages"));
    if (truthy(listed))
        for_each_in(listed, [&](nb::object p) {
            if (PySet_Add(publics.ptr(), text(p).ptr()) < 0) rethrow();
        });
    e.public_pages = own(PyFrozenSet_New(publics.ptr()));

    e.revision = nb::int_(0);
    e.user = nb::none();
    e.status = nb::borrow(VT_KEY("请登录"));
    e.components = members.call(self, EMPTY_COMPONENTS, [&] { return empty_components(e); });
    go_to(self, e, start_page(e), true);
}

/// A copy of the engine for another session of the same layout: the plugins,
/// the layout and the configuration read from it are shared, the state (the
/// components, the user, the status, the revision) is the copy's own, and the
/// instance's own attributes are copied one level deep, as `copy.copy` would.
nb::object copy_engine(nb::handle self) {
    Engine &e = engine_of(self, "__copy__");
    nb::handle type((PyObject *) Py_TYPE(self.ptr()));
    nb::object out = nb::inst_alloc(type);
    Engine *copy = nb::inst_ptr<Engine>(out);
    new (copy) Engine(e);
    nb::inst_mark_ready(out);
    nb::object components = copy->components;
    if (PyDict_Check(components.ptr())) copy->components = copy_dict(components);
    if (Py_TYPE(self.ptr())->tp_dictoffset != 0) {
        nb::object own_attrs = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
        if (!own_attrs.is_valid()) rethrow();
        if (PyDict_GET_SIZE(own_attrs.ptr()) != 0) {
            nb::object target = nb::steal(PyObject_GenericGetDict(out.ptr(), nullptr));
            if (!target.is_valid() || PyDict_Update(target.ptr(), own_attrs.ptr()) < 0) rethrow();
        }
    }
    return out;
}

/// A bound entry point: the engine `self`, checked, and the member run on it.
template <class F> auto on_engine(const char *method, F &&f) {
    return [method, f](nb::handle self) { return f(self, engine_of(self, method)); };
}

} // namespace

NB_MODULE(brisen, m) {
    resolve_imports();
    m.doc() = "Base class of JSON-driven Tk engines: navigation, login/registration redirects and key "
              "actions come from the `tk` section of gui_layout.json; subclasses only implement the "
              "business functions of `business_handlers` (e.g. `add_student`).";

    // What the engine takes from elsewhere, bound as module globals.
    nb::module_ lirren = nb::module_::import_("vantrel_app_plugin.lirren");
    for (const char *name : {"navigation_cfg", "auth_field_map", "actions_cfg", "forms_cfg",
                             "clear_components", "page_hooks_cfg"})
        m.attr(name) = lirren.attr(name);
    nb::module_ ostrel = nb::module_::import_("vantrel_app_plugin.ostrel");
    for (const char *name : {"load_unified_plugins", "primary_plugin", "dispatch_plugin_action"})
        m.attr(name) = ostrel.attr(name);
    m.attr("COMPONENT_KEYS") = nb::module_::import_("vantrel_soft.harness").attr("COMPONENT_KEYS");
    nb::object typing = nb::module_::import_("typing");
    m.attr("Handler") = typing.attr("Callable")[nb::make_tuple(nb::list(), nb::none())];
    module_globals = nb::object(m.attr("__dict__")).release().ptr();
    one = nb::int_(1).release();

    // The vocabulary of the layout that the engine acts on, for every face
    // that reads a layout (the window, the web pages, the checker).
    nb::dict kinds;
    for (const auto &op : kOperations) {
        nb::list names;
        for (std::string_view name : op.names)
            if (!name.empty()) names.append(nb::str(name.data(), name.size()));
        kinds[op.operation] = nb::tuple(names);
    }
    m.attr("ACTION_KINDS") = nb::module_::import_("types").attr("MappingProxyType")(kinds);
    nb::list resets;
    for (const char *key : kResetKeys) resets.append(nb::steal(intern_forever(key)));
    reset_keys = nb::tuple(resets).release();
    m.attr("RESERVED_KEYS") = reset_keys;
    m.attr("PAGE_KEYS") = nb::make_tuple(kPageKeys[0], kPageKeys[1]);
    m.def("action_kind", &action_kind, nb::arg("action").none(),
          nb::sig("def action_kind(action: object) -> str"),
          "The kind an action of ``tk.actions`` names, as the engine reads it: its ``type``, else its ``action``, "
          "lower-cased (not trimmed); \"\" for none, or for None.");

    auto rw = nb::for_setter(nb::arg("value").none()); // fields accept None
    nb::class_<Engine> cls(m, "TkJsonEngine", nb::type_slots(gc_slots<Engine>),
                           "Configurable Tk engine that keeps to the conventions of the host's test bench "
                           "(TestbenchHost): the host forwards key presses to `press`, pushes widget values "
                           "with `merge_components` and redraws from `snapshot()`.");
    cls.def("__init__", &init_engine, nb::arg("config_path").none(),
            nb::sig("def __init__(self, config_path: str) -> None"))
        .def_prop_ro("home_page", on_engine("home_page", [](nb::handle, Engine &e) { return home_page_of(e); }),
                     nb::sig("def home_page(self) -> str"),
                     "Page shown after login: `tk.navigation.home_after_login`, else \"dashboard\".")
        .def_prop_ro("business_handlers", [](nb::handle) { return nb::dict(); },
                     nb::sig("def business_handlers(self) -> dict[str, typing.Callable[..., tuple[bool, typing.Any]]]"),
                     "Business functions by name; subclasses override this property.")
        .def("snapshot", &snapshot, nb::sig("def snapshot(self) -> dict[str, typing.Any]"),
             "What the host draws: status, user line, revision and deep copies of the components.")
        .def("reset_all", on_engine("reset_all", [](nb::handle self, Engine &e) { reset_all(self, e); }),
             nb::sig("def reset_all(self) -> None"),
             "Log out, show \"已复位\" and go to the after-logout page with the form cleared.")
        .def("_layout_component_keys",
             on_engine("_layout_component_keys", [](nb::handle, Engine &e) { return layout_component_keys(e); }),
             nb::sig("def _layout_component_keys(self) -> frozenset[str]"))
        .def("_empty_components",
             on_engine("_empty_components", [](nb::handle, Engine &e) { return empty_components(e); }),
             nb::sig("def _empty_components(self) -> dict[str, typing.Any]"))
        .def("_snapshot_components",
             on_engine("_snapshot_components", [](nb::handle, Engine &e) { return snapshot_components(e); }),
             nb::sig("def _snapshot_components(self) -> dict[str, typing.Any]"))
        .def("_guard_page",
             [](nb::handle self, nb::handle page_id) {
                 Engine &e = engine_of(self, "_guard_page");
                 require_str(page_id, "_guard_page", "page_id");
                 return guarded_page(self, e, page_id);
             },
             nb::arg("page_id").none(), nb::sig("def _guard_page(self, page_id: str) -> str"))
        .def("_page_index",
             [](nb::handle self, nb::handle page_id) {
                 engine_of(self, "_page_index");
                 require_str(page_id, "_page_index", "page_id");
                 return host_page_index(page_id);
             },
             nb::arg("page_id").none(), nb::sig("def _page_index(self, page_id: str) -> int"))
        .def("_goto",
             [](nb::handle self, nb::handle page_id, nb::handle clear_form) {
                 Engine &e = engine_of(self, "_goto");
                 require_str(page_id, "_goto", "page_id");
                 navigate(self, e, page_id, truthy(clear_form));
             },
             nb::arg("page_id").none(), nb::arg("clear_form").none() = false,
             nb::sig("def _goto(self, page_id: str, clear_form: object = False) -> None"))
        .def("_require_login", on_engine("_require_login", [](nb::handle, Engine &e) { require_login(e); }),
             nb::sig("def _require_login(self) -> None"))
        .def("_run_action",
             [](nb::handle self, nb::handle key, nb::handle spec) {
                 Engine &e = engine_of(self, "_run_action");
                 require_str(key, "_run_action", "key");
                 require_dict(spec, "_run_action", "spec");
                 run_action(self, e, key, spec);
             },
             nb::arg("key").none(), nb::arg("spec").none(),
             nb::sig("def _run_action(self, key: str, spec: dict[str, typing.Any]) -> None"))
        .def("_fields_from_map",
             [](nb::handle self, nb::handle mapping) {
                 return fields_from(engine_of(self, "_fields_from_map"), mapping);
             },
             nb::arg("mapping").none(), nb::sig("def _fields_from_map(self, mapping: dict[str, str]) -> dict[str, str]"))
        .def("_auth_fields",
             on_engine("_auth_fields",
                       [](nb::handle self, Engine &e) {
                           nb::object field_map = e.field_map;
                           return fields_from_map(self, e, field_map);
                       }),
             nb::sig("def _auth_fields(self) -> dict[str, str]"))
        .def("__copy__", &copy_engine, nb::sig("def __copy__(self) -> typing.Self"),
             "A copy sharing the plugins, layout and configuration, with state of its own.");
    // The four actions that a subclass may override, bound alike.
    auto action_member = [](const char *name, Action action) {
        return [name, action](nb::handle self, nb::handle spec) { action(self, engine_of(self, name), spec); };
    };
    cls.def("_action_login", action_member("_action_login", action_login), nb::arg("spec").none(),
            nb::sig("def _action_login(self, spec: dict[str, typing.Any]) -> None"))
        .def("_action_register", action_member("_action_register", action_register), nb::arg("spec").none(),
             nb::sig("def _action_register(self, spec: dict[str, typing.Any]) -> None"))
        .def("_action_logout", action_member("_action_logout", action_logout), nb::arg("spec").none(),
             nb::sig("def _action_logout(self, spec: dict[str, typing.Any]) -> None"))
        .def("_action_business", action_member("_action_business", action_business), nb::arg("spec").none(),
             nb::sig("def _action_business(self, spec: dict[str, typing.Any]) -> None"));
    cls.def_rw("_plugins", &Engine::plugins, rw)
        .def_rw("plugin", &Engine::plugin, rw)
        .def_rw("_layout", &Engine::layout, rw)
        .def_rw("_nav", &Engine::nav, rw)
        .def_rw("_field_map", &Engine::field_map, rw)
        .def_rw("_auth_component_keys", &Engine::auth_component_keys, rw)
        .def_rw("_actions", &Engine::actions, rw)
        .def_rw("_forms", &Engine::forms, rw)
        .def_rw("_page_hooks", &Engine::page_hooks, rw)
        .def_rw("_clear_keys", &Engine::clear_keys, rw)
        .def_rw("_component_keys", &Engine::component_keys, rw)
        .def_rw("_public_pages", &Engine::public_pages, rw)
        .def_rw("_revision", &Engine::revision, rw)
        .def_rw("_user", &Engine::user, rw)
        .def_rw("_status", &Engine::status, rw)
        .def_rw("_components", &Engine::components, rw);

    engine_type = (PyTypeObject *) cls.ptr();
    // Keyword values arrive without an intermediate mapping.
    add_fast_method(cls, &merge_components_def);
    add_fast_method(cls, &press_def);
    members.bind(cls);
}
