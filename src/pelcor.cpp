// pelcor: makes the runtime import the package from the source checkout that
// holds the calling script, ahead of any copy installed elsewhere.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

void prefer_repo_package(nb::handle anchor) {
    nb::object p = to_path(anchor, "prefer_repo_package", "anchor");
    nb::str repo = path_text(path_parent(path_parent(path_resolve(p))));

    PyObject *sys_path = PySys_GetObject("path"); // borrowed
    if (!sys_path || !PyList_Check(sys_path)) raise(PyExc_RuntimeError, "sys.path is not a list");
    nb::object keep = nb::borrow(sys_path);

    nb::list reordered;
    reordered.append(repo);
    Py_ssize_t n = PyList_GET_SIZE(sys_path);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(sys_path, i));
        int same = PyObject_RichCompareBool(entry.ptr(), repo.ptr(), Py_EQ);
        if (same < 0) rethrow();
        if (!same) reordered.append(entry);
        n = PyList_GET_SIZE(sys_path); // a comparison may run code that edits the list
    }
    // Same list object, new content: every holder of sys.path sees the change.
    if (PyList_SetSlice(sys_path, 0, PyList_GET_SIZE(sys_path), reordered.ptr()) < 0) rethrow();
}

} // namespace

NB_MODULE(pelcor, m) {
    resolve_imports();
    m.doc() = "Prefer the package of a source checkout over an installed copy.";

    m.def("prefer_repo_package", &prefer_repo_package, nb::arg("anchor").none(),
          nb::sig("def prefer_repo_package(anchor: str | os.PathLike[str]) -> None"),
          "Put the checkout root (two levels above ``anchor``) once at the front of ``sys.path``.");
}
