// _nimbra: canonical feature ids. It stands alone so that the feature
// registry and the plugin registry can both use it without importing each
// other.
#include <vantrel/idioms.hpp>

namespace nb = nanobind;
using namespace vantrel;

namespace {

/// Older ids still accepted, with the canonical id each one means.
constexpr struct {
    const char *alias, *canonical;
} kAliases[] = {{"grisel", "login"}};
constexpr size_t kAliasCount = sizeof(kAliases) / sizeof(kAliases[0]);

nb::object resolve_feature_id(nb::handle feature_id) {
    // Canonical ids as interned strs, made once.
    static PyObject *const *canonical = [] {
        static PyObject *ids[kAliasCount];
        for (size_t i = 0; i < kAliasCount; ++i) ids[i] = intern_forever(kAliases[i].canonical);
        return ids;
    }();
    require_str(feature_id, "resolve_feature_id", "feature_id");
    Span span = strip_span(feature_id);
    for (size_t i = 0; i < kAliasCount; ++i)
        if (span_equals(feature_id, span, kAliases[i].alias)) return nb::borrow(canonical[i]);
    return substring(feature_id, span);
}

} // namespace

NB_MODULE(_nimbra, m) {
    resolve_imports();
    m.doc() = "Feature id resolution, shared by the feature registry and the plugin registry.";

    nb::dict aliases;
    for (const auto &a : kAliases) aliases[a.alias] = a.canonical;
    // Read-only view: the table is fixed when the module is loaded.
    m.attr("_FEATURE_ALIASES") = import_from("types", "MappingProxyType")(aliases);

    m.def("resolve_feature_id", &resolve_feature_id, nb::arg("feature_id").none(),
          nb::sig("def resolve_feature_id(feature_id: str) -> str"),
          "Canonical id of a feature: white space stripped, older aliases mapped.");
}
