// fennic: the built-in features, one sub-package per feature directly inside
// the package directory (for example `login`). Finds them, describes them and
// builds a feature's plugin object on request.
//
// Module-level names (the directory, the skipped names, the import hook and
// the functions themselves) are read from the module's namespace at each
// call, as the functions of a Python module would read their globals.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

constexpr const char *kModule = "vantrel_app_plugin.fennic";

nb::object global(nb::handle name) { return module_global(kModule, name); }

Imported resolve_feature_id_fn{"vantrel_app_plugin._nimbra", "resolve_feature_id"};
Imported import_module{"importlib", "import_module"};
Imported itemgetter{"operator", "itemgetter"};

nb::handle resolve_feature_id() { return resolve_feature_id_fn.get(); }

/// `APP_PLUGIN_DIR` as a path object (a text value set by a host is accepted).
nb::object app_plugin_dir() { return call1(path_type(), global(VT_KEY("APP_PLUGIN_DIR"))); }

nb::object iter_builtin_feature_dirs() {
    nb::object entries = own(PySequence_List(call_method(app_plugin_dir(), VT_KEY("iterdir")).ptr()));
    if (PyList_Sort(entries.ptr()) < 0) rethrow();
    nb::object skip = global(VT_KEY("_SKIP_DIRS"));
    nb::str init = utf8("__init__.py");
    nb::list names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(entries.ptr(), i));
        if (!path_is_dir(entry)) continue;
        nb::str name = path_name(entry);
        if (PyUnicode_GET_LENGTH(name.ptr()) > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) == '_') continue;
        if (member(skip, name)) continue;
        if (path_is_file(path_join(entry, init))) names.append(name);
    }
    return std::move(names);
}

nb::object import_builtin(nb::handle feature_id) {
    require_str(feature_id, "_import_builtin", "feature_id");
    nb::object fid = call1(resolve_feature_id(), feature_id);
    return call1(import_module.get(), concat("vantrel_app_plugin.", fid));
}

/// `module.<current>` when truthy, else `module.<older>` (whatever its value)
/// when the module has it, else `fallback`; as text.
nb::str feature_attr(nb::handle module, nb::handle current, nb::handle older, nb::handle fallback) {
    nb::object v = getattr_opt(module, current);
    if (truthy(v)) return text(v);
    v = getattr_opt(module, older);
    return text(v.is_valid() ? nb::handle(v) : fallback);
}

nb::dict describe(nb::handle module, nb::handle dir_name) {
    nb::dict d;
    nb::str id = feature_attr(module, VT_KEY("FEATURE_ID"), VT_KEY("PLUGIN_ID"), dir_name);
    set_item(d, VT_KEY("id"), id);
    set_item(d, VT_KEY("name"), feature_attr(module, VT_KEY("FEATURE_NAME"), VT_KEY("PLUGIN_NAME"), id));
    set_item(d, VT_KEY("version"),
             feature_attr(module, VT_KEY("FEATURE_VERSION"), VT_KEY("PLUGIN_VERSION"), VT_KEY("0.0.0")));
    set_item(d, VT_KEY("description"),
             feature_attr(module, VT_KEY("FEATURE_DESCRIPTION"), VT_KEY("PLUGIN_DESCRIPTION"), VT_KEY("")));
    set_item(d, VT_KEY("module"), text(attr(module, VT_KEY("__name__"))));
    set_item(d, VT_KEY("kind"), VT_KEY("builtin"));
    return d;
}

nb::object discover_builtin_features() {
    nb::object names = call0(global(VT_KEY("iter_builtin_feature_dirs")));
    nb::object import_hook = global(VT_KEY("_import_builtin"));
    nb::list found;
    for_each_in(names, [&](nb::handle name) { found.append(describe(call1(import_hook, name), name)); });
    // list.sort is stable: equal ids keep the directory order.
    found.attr("sort")(nb::arg("key") = call1(itemgetter.get(), VT_KEY("id")));
    return std::move(found);
}

bool is_builtin_feature(nb::handle feature_id) {
    require_str(feature_id, "is_builtin_feature", "feature_id");
    nb::object fid = call1(resolve_feature_id(), feature_id);
    return path_is_file(path_join(path_join(app_plugin_dir(), fid), utf8("__init__.py")));
}

nb::object load_builtin_feature(nb::handle feature_id, nb::handle config_path) {
    require_str(feature_id, "load_builtin_feature", "feature_id");
    nb::object fid = call1(resolve_feature_id(), feature_id);
    if (!truthy(call1(global(VT_KEY("is_builtin_feature")), fid))) {
        nb::str quoted = nb::steal<nb::str>(checked(PyObject_Repr(feature_id.ptr())));
        raise(PyExc_ValueError,
              concat(concat(concat(concat("未知内置功能 ", quoted), utf8("（app_plugin/")), fid), utf8("/ 不存在）")));
    }
    nb::object module = call1(global(VT_KEY("_import_builtin")), fid);
    nb::object create = getattr_opt(module, VT_KEY("create_plugin"));
    if (!is_callable(create))
        raise(PyExc_ValueError, concat(concat("app_plugin.", fid), utf8(" 缺少 create_plugin(config_path)")));
    return call1(create, config_path);
}

} // namespace

NB_MODULE(fennic, m) {
    resolve_imports();
    m.doc() = "Built-in features: sub-packages of vantrel_app_plugin, discovered, described and loaded.";

    m.attr("importlib") = import("importlib");
    m.attr("Path") = path_type();
    m.attr("resolve_feature_id") = resolve_feature_id();
    m.attr("AppPlugin") = import_from("vantrel_app_plugin.plugins.base", "AppPlugin");

    // The directory holding this module's file, absolute, links resolved.
    m.attr("APP_PLUGIN_DIR") = path_parent(path_resolve(call1(path_type(), m.attr("__file__"))));
    nb::object skip = own(PyFrozenSet_New(nb::make_tuple("__pycache__", "plugins").ptr()));
    m.attr("_SKIP_DIRS") = skip;

    m.def("iter_builtin_feature_dirs", &iter_builtin_feature_dirs,
          nb::sig("def iter_builtin_feature_dirs() -> list[str]"),
          "Directory names of the built-in features, sorted by path.");
    m.def("_import_builtin", &import_builtin, nb::arg("feature_id").none(),
          nb::sig("def _import_builtin(feature_id: str) -> types.ModuleType"),
          "Import the package of a built-in feature by its (resolved) id.");
    m.def("discover_builtin_features", &discover_builtin_features,
          nb::sig("def discover_builtin_features() -> list[dict[str, str]]"),
          "Descriptors (id, name, version, description, module, kind) of the built-in features, by id.");
    m.def("is_builtin_feature", &is_builtin_feature, nb::arg("feature_id").none(),
          nb::sig("def is_builtin_feature(feature_id: str) -> bool"),
          "Whether the package directory holds a feature package of this (resolved) id.");
    m.def("load_builtin_feature", &load_builtin_feature, nb::arg("feature_id").none(), nb::arg("config_path").none(),
          nb::sig("def load_builtin_feature(feature_id: str, config_path: str | os.PathLike[str]) -> AppPlugin"),
          "The plugin object of a built-in feature, made by its ``create_plugin(config_path)``.");
}
