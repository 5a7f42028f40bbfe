// sarnet: finds and reads the JSON layout document of an application and
// tells where the host's own source tree is to be taken from.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

/// Candidate layout files inside a project directory, in order of preference.
constexpr const char *kCandidates[] = {"gui_layout.json", "config/gui_layout.json",
                                       "config/app_config.json"};

nb::object read_layout_file(nb::handle path) {
    nb::object p = to_path(path, "read_layout_file", "path");
    if (!path_is_file(p)) raise(PyExc_FileNotFoundError, concat("找不到布局配置: ", path_text(p)));
    nb::object data = json_loads(read_text_utf8(p));
    if (!is_mapping(data)) raise(PyExc_ValueError, concat("布局配置根节点必须是 object: ", path_text(p)));
    return data;
}

/// The stripped text of `raw` when it is set (not None, not blank), else null.
nb::object location_text(nb::handle raw) {
    nb::str s;
    if (set_text(raw, s)) return std::move(s);
    return nb::object();
}

nb::object vantrel_soft_source_from_layout(nb::handle data) {
    require_dict(data, "vantrel_soft_source_from_layout", "data");
    if (nb::object top = location_text(get(data, VT_KEY("vantrel_soft_source"))); top.is_valid())
        return top;
    nb::object block = get(data, VT_KEY("vantrel_soft"));
    if (is_text(block)) {
        nb::str s = strip(block);
        return PyUnicode_GET_LENGTH(s.ptr()) ? nb::object(std::move(s)) : nb::none();
    }
    if (!is_mapping(block)) return nb::none();
    if (get(block, VT_KEY("prefer_local")).ptr() == Py_False) return nb::none();
    for (nb::handle key : {VT_KEY("source"), VT_KEY("source_path"), VT_KEY("path"), VT_KEY("root")})
        if (nb::object s = location_text(get(block, key)); s.is_valid()) return s;
    return nb::none();
}

nb::object resolve_config_file(nb::handle path) {
    nb::object p = to_path(path, "resolve_config_file", "path");
    if (path_is_file(p)) return path_resolve(p);
    if (path_is_dir(p)) {
        for (const char *name : kCandidates) {
            nb::object candidate = path_join(p, utf8(name));
            if (path_is_file(candidate)) return path_resolve(candidate);
        }
    }
    raise(PyExc_FileNotFoundError, concat("未找到配置文件: ", text(path)));
}

} // namespace

NB_MODULE(sarnet, m) {
    resolve_imports();
    m.doc() = "Locate and read the JSON layout document; read the host source location from it.";

    m.def("read_layout_file", &read_layout_file, nb::arg("path").none(),
          nb::sig("def read_layout_file(path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          "Read the layout file at ``path`` as UTF-8 JSON; its root must be an object.");
    m.def("vantrel_soft_source_from_layout", &vantrel_soft_source_from_layout, nb::arg("data").none(),
          nb::sig("def vantrel_soft_source_from_layout(data: dict[str, typing.Any]) -> str | None"),
          "Where the host application's source tree is to be taken from, or None.");
    m.def("resolve_config_file", &resolve_config_file, nb::arg("path").none(),
          nb::sig("def resolve_config_file(path: str | os.PathLike[str]) -> pathlib.Path"),
          "Absolute path of the layout document for a file or a project directory.");
}
