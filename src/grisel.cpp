// grisel: plugin entry of the SQLite user authentication under the
// compatibility id "grisel". It declares the plugin's identity and hands
// plugin creation on to the login package, unchanged.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

nb::object create_plugin(nb::handle config_path) {
    // `_create` is read from the module's namespace at each call, as Python would.
    return call1(module_global("vantrel_app_plugin.plugins.grisel", VT_KEY("_create")), config_path);
}

} // namespace

NB_MODULE(grisel, m) {
    resolve_imports();
    m.doc() = "SQLite user authentication plugin entry under the compatibility id \"grisel\" (equivalent to login).";

    m.attr("PLUGIN_ID") = utf8("grisel");
    m.attr("PLUGIN_NAME") = utf8("SQLite 用户认证");
    m.attr("PLUGIN_VERSION") = utf8("1.0.0");
    m.attr("PLUGIN_DESCRIPTION") = utf8("兼容别名，等价于 login");

    m.attr("Path") = path_type();
    m.attr("JsonAppPlugin") = import_from("vantrel_app_plugin.login", "JsonAppPlugin");
    m.attr("_create") = import_from("vantrel_app_plugin.login", "create_plugin");
    m.attr("__all__") = nb::make_tuple("JsonAppPlugin", "create_plugin", "PLUGIN_ID");

    m.def("create_plugin", &create_plugin, nb::arg("config_path").none(),
          nb::sig("def create_plugin(config_path: str | os.PathLike[str]) -> JsonAppPlugin"),
          "A JsonAppPlugin built on the layout document at ``config_path`` (the login package's factory).");
}
