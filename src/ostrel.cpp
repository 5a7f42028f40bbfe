// ostrel: the plugin SDK. Built-in features and extension plugins share one
// contract: configuration from the layout document and an optional share in
// the page engine's key-driven actions.
#include <vantrel/idioms.hpp>

#include <nanobind/eval.h>

#include <new>

namespace nb = nanobind;
using namespace vantrel;

namespace {

constexpr const char *kRegistry = "vantrel_app_plugin.plugins.registry";

Imported resolve_feature_id_fn{"vantrel_app_plugin._nimbra", "resolve_feature_id"};

nb::handle resolve_feature_id() { return resolve_feature_id_fn.get(); }

// ---------------------------------------------------------------------------
// The `plugins` block and the effective layout
// ---------------------------------------------------------------------------

/// `plugins.config.<resolved id>` of the layout, read in place; null when a
/// level is missing or not a mapping.
nb::object config_block(nb::handle layout, nb::handle feature_id) {
    nb::object fid = call1(resolve_feature_id(), feature_id);
    nb::object cfg = get_if_mapping(get(layout, VT_KEY("plugins")), VT_KEY("config"));
    nb::object raw = get_if_mapping(cfg, fid);
    return is_mapping(raw) ? raw : nb::object();
}

nb::dict plugins_block(nb::handle layout) {
    require_dict(layout, "plugins_block", "layout");
    nb::object raw = get(layout, VT_KEY("plugins"));
    return is_mapping(raw) ? copy_dict(raw) : nb::dict();
}

nb::dict plugin_config(nb::handle layout, nb::handle feature_id) {
    require_dict(layout, "plugin_config", "layout");
    require_str(feature_id, "plugin_config", "feature_id");
    nb::object raw = config_block(layout, feature_id);
    return raw.is_valid() ? copy_dict(raw) : nb::dict();
}

/// The plugin's own copy of a section wins over the top-level one by presence
/// alone (a null included); names found nowhere are left out.
nb::dict merge_sections(nb::handle layout, nb::handle feature_id, nb::handle section_names) {
    nb::object per = get_if_mapping(config_block(layout, feature_id), VT_KEY("sections"));
    bool own_sections = is_mapping(per);
    nb::dict out;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(section_names.ptr()); i < n; ++i) {
        nb::handle name = PyTuple_GET_ITEM(section_names.ptr(), i);
        nb::object value = own_sections ? get(per, name) : nb::object();
        if (!value.is_valid()) value = get(layout, name);
        if (value.is_valid()) set_item(out, name, value);
    }
    return out;
}

nb::dict merged_sections(nb::handle layout, nb::handle feature_id, nb::handle section_names) {
    require_dict(layout, "merged_sections", "layout");
    require_str(feature_id, "merged_sections", "feature_id");
    require_tuple(section_names, "merged_sections", "section_names");
    return merge_sections(layout, feature_id, section_names);
}

nb::dict build_effective_layout(nb::handle layout, nb::handle feature_id, nb::handle section_names) {
    require_dict(layout, "build_effective_layout", "layout");
    require_str(feature_id, "build_effective_layout", "feature_id");
    require_tuple(section_names, "build_effective_layout", "section_names");
    nb::dict merged = merge_sections(layout, feature_id, section_names);
    nb::dict out = copy_dict(layout);
    if (PyDict_Update(out.ptr(), merged.ptr()) < 0) rethrow();
    return out;
}

// ---------------------------------------------------------------------------
// UnifiedPluginBase
// ---------------------------------------------------------------------------

struct PluginBase {
    nb::object path = nb::none(), layout = nb::none(), plugin_cfg = nb::none();
    template <class F> void each_ref(F &&f) {
        f(path);
        f(layout);
        f(plugin_cfg);
    }
};

using Self = nb::pointer_and_handle<PluginBase>;

/// `FEATURE_ID`, else `PLUGIN_ID` when the object has one, as text.
nb::str base_feature_id(nb::handle self) {
    nb::object v = getattr_opt(self, VT_KEY("FEATURE_ID"));
    if (!truthy(v)) {
        v = getattr_opt(self, VT_KEY("PLUGIN_ID"));
        if (!v.is_valid()) return utf8("");
    }
    return text(v);
}

/// Members of the base class that plugins may override (or, for plain
/// plugins, define): C++ runs the base's own while a plugin uses it.
enum Member { FEATURE_ID, RUN_ACTION, SUPPORTS_ACTION, MEMBER_COUNT };
Members<MEMBER_COUNT> members{{"feature_id", "run_action", "supports_action"}};

/// The plugin's feature id as the plugin presents it: a subclass may override
/// the property itself.
nb::object feature_id_of(nb::handle self) {
    return members.get(self, FEATURE_ID, [&] { return nb::object(base_feature_id(self)); });
}

void plugin_init(Self self, nb::handle config_path, nb::handle layout) {
    nb::object path = to_path(config_path, "UnifiedPluginBase", "config_path");
    require_dict_or_none(layout, "UnifiedPluginBase", "layout");
    nb::object doc = nb::borrow(layout);
    if (doc.is_none()) {
        doc = json_loads(read_text_utf8(path));
        if (!is_mapping(doc)) raise(PyExc_ValueError, "布局 JSON 根节点必须是对象");
    }
    PluginBase *p = new (self.p) PluginBase();
    // Ready before the feature id is read: an overriding property may look at
    // the fields. From here on a failure still runs the destructor.
    nb::inst_mark_ready(self.h);
    p->path = std::move(path);
    p->layout = doc;
    p->plugin_cfg = plugin_config(doc, feature_id_of(self.h));
}

nb::dict plugin_sections(Self self) {
    // Reading the id or the names may run Python code that replaces `_layout`:
    // the layout is read afterwards and held for the merge.
    nb::object fid = feature_id_of(self.h), names = attr(self.h, VT_KEY("JSON_SECTIONS"));
    nb::object layout = self.p->layout;
    return merged_sections(layout, fid, names);
}

bool supports_action(Self self, nb::handle action_type) {
    require_str(action_type, "supports_action", "action_type");
    return member(attr(self.h, VT_KEY("ACTION_TYPES")), lower(action_type));
}

bool run_action(Self, nb::handle action_type, nb::handle key, nb::handle spec, nb::handle) {
    require_str(action_type, "run_action", "action_type");
    require_str(key, "run_action", "key");
    require_dict(spec, "run_action", "spec");
    return false;
}

// ---------------------------------------------------------------------------
// Loading and dispatch
// ---------------------------------------------------------------------------

nb::object load_unified_plugins(nb::handle config_path) {
    nb::object plugins = call1(import_from(kRegistry, "load_enabled_plugins"), config_path);
    if (!plugins.is_none() && !is_mapping(plugins)) {
        PyErr_Format(PyExc_TypeError, "load_enabled_plugins() must return a dict or None, not %s",
                     Py_TYPE(plugins.ptr())->tp_name);
        rethrow();
    }
    return plugins;
}

nb::object primary_plugin(nb::handle plugins) {
    require_dict(plugins, "primary_plugin", "plugins");
    return call1(import_from(kRegistry, "primary_auth_plugin"), plugins);
}

/// `supports_action` of the base class: lower-case type in `ACTION_TYPES`.
bool base_supports(nb::handle plugin, nb::handle at) {
    return member(attr(plugin, VT_KEY("ACTION_TYPES")), at);
}

/// Offer the action to one plugin. Its members are looked up by name as
/// attribute access finds them, `run_action` first, then `supports_action`
/// (each look-up's error propagates; a missing member is absent); a plugin
/// lacking either callable member is passed over. The base class's own
/// members are run directly: its `run_action` handles nothing.
bool offer(nb::handle plugin, nb::handle at, nb::handle key, nb::handle spec, nb::handle engine) {
    MethodRef run = members.find(plugin, RUN_ACTION);
    MethodRef supports = members.find(plugin, SUPPORTS_ACTION);
    if (!run.callable() || !supports.callable()) return false;
    // The base's members need an initialised plugin (a plugin using them is
    // an instance of the base); for another one the bound method itself
    // reports what is wrong.
    bool ready = (supports.native() || run.native()) && nb::inst_ready(plugin);
    bool supported;
    if (supports.native() && ready)
        supported = base_supports(plugin, at);
    else if (supports.native())
        supported = truthy(call_method(plugin, members.name(SUPPORTS_ACTION), at));
    else
        supported = truthy(supports.call(plugin, at));
    if (!supported) return false;
    if (run.native()) {
        if (!ready) call_method(plugin, members.name(RUN_ACTION), at, key, spec, engine);
        return false;
    }
    return truthy(run.call(plugin, at, key, spec, engine));
}

bool dispatch_plugin_action(nb::handle plugins, nb::handle action_type, nb::handle key, nb::handle spec,
                            nb::handle engine) {
    require_dict(plugins, "dispatch_plugin_action", "plugins");
    require_str(action_type, "dispatch_plugin_action", "action_type");
    require_str(key, "dispatch_plugin_action", "key");
    require_dict(spec, "dispatch_plugin_action", "spec");
    nb::str at = lower(action_type);
    // A plugin that adds or removes plugins while we walk them gets the
    // runtime's "dictionary changed size during iteration".
    dict_walk walk(plugins);
    nb::object id, plugin;
    while (walk.next(id, plugin))
        if (offer(plugin, at, key, spec, engine)) return true;
    return false;
}

/// `dispatch_plugin_action(...)`, bound with the fast calling convention: it
/// runs on every key press.
PyObject *dispatch_entry(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        static const char *const names[] = {"plugins", "action_type", "key", "spec", "engine"};
        PyObject *a[5];
        fast_args("dispatch_plugin_action", names, args, nargsf, kwnames, a);
        return Py_NewRef(dispatch_plugin_action(a[0], a[1], a[2], a[3], a[4]) ? Py_True : Py_False);
    });
}

PyMethodDef dispatch_def = {
    "dispatch_plugin_action", (PyCFunction) (void (*)(void)) dispatch_entry, METH_FASTCALL | METH_KEYWORDS,
    "dispatch_plugin_action(plugins, action_type, key, spec, engine)\n--\n\n"
    "Offer an action to the plugins in order; True when one of them handled it."};

nb::object action_types_for_plugin(nb::handle plugin) {
    nb::object raw = getattr_opt(plugin, VT_KEY("ACTION_TYPES"));
    PyObject *r = raw.ptr();
    nb::object names = nb::steal(checked(PyList_New(0)));
    if (r && (PyAnySet_Check(r) || PyList_Check(r) || PyTuple_Check(r)))
        for_each_in(raw, [&](nb::handle item) {
            if (PyList_Append(names.ptr(), lower(text(item)).ptr()) < 0) rethrow();
        });
    return own(PyFrozenSet_New(names.ptr()));
}

// ---------------------------------------------------------------------------
// UnifiedPlugin: a structural interface the runtime's instance test accepts
// for any object with the five members. It is a typing construct, so it is
// written in the runtime's own terms.
// ---------------------------------------------------------------------------

constexpr const char *kUnifiedPluginSource = R"(
import typing

@typing.runtime_checkable
class UnifiedPlugin(typing.Protocol):
    """统一插件接口（JSON 驱动 + 可选接管 Tk 动作）。"""

    @property
    def feature_id(self) -> str: ...

    @property
    def data(self) -> dict[str, typing.Any]: ...

    def on_load(self) -> None: ...

    def supports_action(self, action_type: str) -> bool: ...

    def run_action(self, action_type: str, key: str, spec: dict[str, typing.Any], engine: typing.Any) -> bool: ...

del typing
)";

} // namespace

NB_MODULE(ostrel, m) {
    resolve_imports();
    m.doc() = R"(Plugin SDK: built-in features and extension plugins share one contract.

Built-in features (one sub-package per feature inside the package directory)
and extension plugins (modules in the host's plugins directory) take their
configuration from the same JSON layout document (gui_layout.json) and may
take over key-driven actions of the page engine.

The block ``plugins`` lists the enabled plugins and carries per-plugin
configuration. The top-level sections ``database``, ``auth`` and ``tk`` stay
valid; ``plugins.config.<id>.sections`` may override them for one plugin.
Recommended shape::

    {
      "plugins": {
        "enabled": ["login"],
        "config": {
          "login": {"sections": {"database": {...}, "auth": {...}}}
        }
      },
      "pages": [...],
      "tk": {"actions": {"登录": {"type": "login"}}}
    }
)";

    resolve_feature_id(); // the feature id table is part of the module's contract: load it now

    nb::dict ns;
    ns["__name__"] = m.attr("__name__");
    nb::exec(nb::str(kUnifiedPluginSource), ns);
    m.attr("UnifiedPlugin") = ns["UnifiedPlugin"];

    nb::class_<PluginBase> base(m, "UnifiedPluginBase", nb::type_slots(gc_slots<PluginBase>),
                                R"(Base class of plugins; subclasses declare FEATURE_ID and JSON_SECTIONS.

The host's business engine keeps handling its own business (arithmetic
expressions and the like) through its ``business_handlers``; a plugin takes
over those entries of ``tk.actions`` whose ``type`` is one of its
``ACTION_TYPES`` (lower case) by overriding ``supports_action`` and
``run_action``.)");
    base.attr("FEATURE_ID") = utf8("");
    base.attr("JSON_SECTIONS") = nb::tuple();
    base.attr("ACTION_TYPES") = own(PyFrozenSet_New(nullptr));

    base.def("__init__", &plugin_init, nb::arg("config_path").none(), nb::arg("layout").none() = nb::none(),
             nb::sig("def __init__(self, config_path: str | os.PathLike[str], "
                     "layout: dict[str, typing.Any] | None = None) -> None"),
             "Read the layout (from ``config_path`` unless given) and this plugin's configuration block.");
    base.def_rw("_path", &PluginBase::path, nb::for_setter(nb::arg("value").none()));
    base.def_rw("_layout", &PluginBase::layout, nb::for_setter(nb::arg("value").none()));
    base.def_rw("_plugin_cfg", &PluginBase::plugin_cfg, nb::for_setter(nb::arg("value").none()));

    base.def_prop_ro("feature_id", [](Self self) { return base_feature_id(self.h); },
                     nb::sig("def feature_id(self) -> str"),
                     "``FEATURE_ID``, or the older ``PLUGIN_ID`` when it is empty, as text.");
    base.def_prop_ro("data", [](PluginBase &p) { return p.layout; },
                     nb::sig("def data(self) -> dict[str, typing.Any]"), "The layout document the plugin works on.");
    base.def_prop_ro("config", [](PluginBase &p) { return p.plugin_cfg; },
                     nb::sig("def config(self) -> dict[str, typing.Any]"),
                     "This plugin's block ``plugins.config.<id>``, copied at construction.");
    base.def_prop_ro("sections", &plugin_sections, nb::sig("def sections(self) -> dict[str, typing.Any]"),
                     "The sections named by ``JSON_SECTIONS``, the plugin's own copies first (a new mapping).");

    base.attr("from_config") = nb::steal(checked(PyClassMethod_New(
        nb::cpp_function([](nb::handle cls, nb::handle config_path) { return call1(cls, config_path); },
                         nb::scope(base), nb::name("from_config"), nb::arg("cls"), nb::arg("config_path").none(),
                         nb::sig("def from_config(cls, config_path: str | os.PathLike[str]) -> typing.Self"),
                         "An instance of the class it is called on, built from the layout file.")
            .ptr())));

    // A plain method descriptor, so that its documentation is exactly the text
    // below (a bound function's would start with its signature).
    static PyMethodDef on_load_def = {"on_load", [](PyObject *, PyObject *) -> PyObject * { Py_RETURN_NONE; },
                                      METH_NOARGS, "引擎构造后调用（建库等）。"};
    base.attr("on_load") = own(PyDescr_NewMethod((PyTypeObject *) base.ptr(), &on_load_def));
    base.def("supports_action", &supports_action, nb::arg("action_type").none(),
             nb::sig("def supports_action(self, action_type: str) -> bool"),
             "Whether ``action_type`` in lower case is one of ``ACTION_TYPES``.");
    base.def("run_action", &run_action, nb::arg("action_type").none(), nb::arg("key").none(),
             nb::arg("spec").none(), nb::arg("engine").none(),
             nb::sig("def run_action(self, action_type: str, key: str, spec: dict[str, typing.Any], "
                     "engine: typing.Any) -> bool"),
             "Handle an action; True when handled. The base class handles none.");

    members.bind(base);

    m.def("plugins_block", &plugins_block, nb::arg("layout").none(),
          nb::sig("def plugins_block(layout: dict[str, typing.Any]) -> dict[str, typing.Any]"),
          "Shallow copy of the layout's ``plugins`` block (empty when it is not a mapping).");
    m.def("plugin_config", &plugin_config, nb::arg("layout").none(), nb::arg("feature_id").none(),
          nb::sig("def plugin_config(layout: dict[str, typing.Any], feature_id: str) -> dict[str, typing.Any]"),
          "Shallow copy of ``plugins.config.<id>`` for the resolved feature id, or empty.");
    m.def("merged_sections", &merged_sections, nb::arg("layout").none(), nb::arg("feature_id").none(),
          nb::arg("section_names").none(),
          nb::sig("def merged_sections(layout: dict[str, typing.Any], feature_id: str, "
                  "section_names: tuple[str, ...]) -> dict[str, typing.Any]"),
          "The named sections, the plugin's own ``sections`` winning over the top level.");
    m.def("build_effective_layout", &build_effective_layout, nb::arg("layout").none(),
          nb::arg("feature_id").none(), nb::arg("section_names").none(),
          nb::sig("def build_effective_layout(layout: dict[str, typing.Any], feature_id: str, "
                  "section_names: tuple[str, ...]) -> dict[str, typing.Any]"),
          "Copy of the layout with the plugin's merged sections applied, for readers of top-level sections "
          "only (such as the login backend's JsonAppPlugin).");
    m.def("load_unified_plugins", &load_unified_plugins, nb::arg("config_path").none(),
          nb::sig("def load_unified_plugins(config_path: str | os.PathLike[str]) -> dict[str, typing.Any] | None"),
          "An instance of every plugin listed in ``plugins.enabled``, in priority order (from the registry).");
    m.def("primary_plugin", &primary_plugin, nb::arg("plugins").none(),
          nb::sig("def primary_plugin(plugins: dict[str, typing.Any]) -> typing.Any"),
          "The plugin that supplies the engine's user database and layout (the registry's choice).");
    add_fast_function(m, &dispatch_def);
    m.def("action_types_for_plugin", &action_types_for_plugin, nb::arg("plugin").none(),
          nb::sig("def action_types_for_plugin(plugin: typing.Any) -> frozenset[str]"),
          "The action types a plugin declares in ``ACTION_TYPES``, as lower-case text.");
}
