// kova.data.kestrin.kestrin: integrity checks of a pandas data frame.
//
// DataIntegrityCheck holds the caller's frame (never copied, never modified) and a column type
// map, and recomputes each finding on every call. Collaborators (pd, np, the package helpers) are
// module globals read at call time.
#include <kova/binding.hpp>

namespace py = pybind11;
using kova::arg;

namespace {

const char* const kClassDoc =
    "Integrity checks of a data frame.\n\n"
    "DataIntegrityCheck(data, meta_info)\n\n"
    "data: the pandas DataFrame to inspect (held by reference, never modified).\n"
    "meta_info: dict mapping each column name to \"numerical\" or \"categorical\" (or None);\n"
    "    only highly_correlated_features reads it.";

py::object init(const kova::Args& a) {
  a.self().attr("data") = a["data"];
  a.self().attr("meta_info") = a["meta_info"];
  return py::none();
}

// One boolean per column: exactly one distinct non-missing value.
py::object is_single_value(const kova::Module& mod, const kova::Args& a) {
  py::object num_unique_per_col = a.self().attr("data").attr("nunique")();
  py::object is_single_unique_value = num_unique_per_col.attr("__eq__")(1);
  py::list columns;
  columns.append("Is Single Value");
  return mod["pd"].attr("DataFrame")(is_single_unique_value, py::arg("columns") = columns);
}

// One float per column: the share of missing entries (NaN for a frame without rows).
py::object null_ratio(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object n_rows = data.attr("shape")[py::int_(0)];
  py::object ratio = data.attr("isna")().attr("sum")().attr("__truediv__")(n_rows);
  py::list columns;
  columns.append("Null Ratio");
  return mod["pd"].attr("DataFrame")(ratio, py::arg("columns") = columns);
}

void define_data_integrity_check(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "DataIntegrityCheck", kClassDoc);
  c.def("__init__", {"self", "data", arg("meta_info").dict()}, init,
        "Hold the data frame and its column type map.");
  c.def(
      "is_single_value", {"self"}, [mod](const kova::Args& a) { return is_single_value(mod, a); },
      "Return a frame with the column \"Is Single Value\": true where a column holds exactly one\n"
      "distinct non-missing value.");
  c.def(
      "null_ratio", {"self"}, [mod](const kova::Args& a) { return null_ratio(mod, a); },
      "Return a frame with the column \"Null Ratio\": the share of missing entries per column.");
  c.create();
}

}  // namespace

PYBIND11_MODULE(kestrin, m) {
  kova::register_function_type(m);
  kova::Module mod(m);
  mod.import_as("pandas", "pd");
  mod.import_as("numpy", "np");
  mod.import_as("seaborn", "sns");
  mod.import_from("collections", {"defaultdict"});
  mod.import_from("pandas.api.types", {"infer_dtype"});
  mod.import_from("utils", {"string_baseform", "is_string_column"}, 1);
  mod.import_from("correlation", {"symmetric_theil_u_correlation", "correlation_ratio"}, 1);
  define_data_integrity_check(mod);
  mod.set("__test__", py::dict());
}
