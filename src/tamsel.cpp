// tamsel: decides in which directory an application keeps its data.
//
// Precedence: the layout's `database.data_root`, then the environment
// variable CALC_WS_ROOT, then the nearest directory at or above the
// configuration file holding a pyproject.toml, then the working directory.
// Nothing is cached: the environment and the file system are read anew on
// every call, and nothing is created.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {


/// `Path(s).expanduser().resolve()`.
nb::object expanded_absolute(nb::handle s) {
    nb::object p = call1(path_type(), s);
    return path_resolve(call_method(p, VT_KEY("expanduser")));
}

nb::object app_root_of(nb::handle config_path) {
    nb::object p = path_parent(path_resolve(config_path));
    if (equals(lower(path_name(p)), "config")) return path_parent(p);
    return p;
}

nb::object app_root_from_config(nb::handle config_path) {
    return app_root_of(to_path(config_path, "app_root_from_config", "config_path"));
}

nb::object resolve_project_data_root(nb::handle config_path, nb::handle database_cfg) {
    require_dict_or_none(database_cfg, "resolve_project_data_root", "database_cfg");
    nb::object cfg_path = to_path(config_path, "resolve_project_data_root", "config_path");

    // 1. An explicit setting in the layout.
    nb::str s;
    if (is_mapping(database_cfg) && set_text(get(database_cfg, VT_KEY("data_root")), s)) {
        if (equals(s, "@app") || equals(s, "app") || equals(s, ".")) return app_root_of(cfg_path);
        return expanded_absolute(s);
    }

    // 2. The environment.
    nb::object env = environment_value("CALC_WS_ROOT");
    if (set_text(env, s)) return expanded_absolute(s);

    // 3. The nearest project marker at or above the configuration file.
    nb::object dir = path_resolve(cfg_path);
    if (path_is_file(dir)) dir = path_parent(dir);
    nb::str marker = utf8("pyproject.toml");
    for (;;) {
        if (path_is_file(path_join(dir, marker))) return dir;
        nb::object up = path_parent(dir);
        if (up.equal(dir)) break;
        dir = std::move(up);
    }

    // 4. The working directory.
    return path_resolve(call_method(path_type(), VT_KEY("cwd")));
}

} // namespace

NB_MODULE(tamsel, m) {
    resolve_imports();
    m.doc() = "Project data root of an application: layout setting, CALC_WS_ROOT, project marker, working directory.";

    m.def("app_root_from_config", &app_root_from_config, nb::arg("config_path").none(),
          nb::sig("def app_root_from_config(config_path: str | os.PathLike[str]) -> pathlib.Path"),
          "Application directory owning a configuration file (a `config` sub-directory is skipped).");
    m.def("resolve_project_data_root", &resolve_project_data_root, nb::arg("config_path").none(),
          nb::arg("database_cfg").none() = nb::none(),
          nb::sig("def resolve_project_data_root(config_path: str | os.PathLike[str], "
                  "database_cfg: dict[str, typing.Any] | None = None) -> pathlib.Path"),
          "Absolute data root for a configuration file and its `database` section.");
}
