// kova.data.kestrin.kestrin: integrity checks of a pandas data frame.
//
// DataIntegrityCheck holds the caller's frame (never copied, never modified) and a column type
// map, and recomputes each finding on every call. Collaborators (pd, np, the package helpers) are
// module globals read at call time. The per-entry work of the checks (the missing test, text
// lengths, the number test, the special-only test) runs in the whole-column kernels of
// kova._kernels, one call per column; while single_column_check runs, each column's entries are
// read once, by one scan shared by its sub-checks. The association matrix is computed from the
// category codes by the matrix kernels while the measures are still the kernel functions.
//
// The sources are split by concern; kestrin_checks.hpp lists them.
#include "kestrin_checks.hpp"

namespace {

using kova::arg;

const char* const kClassDoc =
    "Integrity checks of a data frame.\n\n"
    "DataIntegrityCheck(data, meta_info)\n\n"
    "data: the pandas DataFrame to inspect (held by reference, never modified).\n"
    "meta_info: dict mapping each column name to \"numerical\" or \"categorical\" (or None);\n"
    "    only highly_correlated_features reads it.";

void define_data_integrity_check(const kova::Module& mod) {
  namespace k = kova::kestrin;
  kova::ClassBuilder c(mod, "DataIntegrityCheck", kClassDoc);
  c.def("__init__", {"self", "data", arg("meta_info").dict()}, k::init,
        "Hold the data frame and its column type map.");
  c.def(
      "is_single_value", {"self"}, k::is_single_value,
      "Return a frame with the column \"Is Single Value\": true where a column holds exactly one\n"
      "distinct non-missing value.");
  c.def("null_ratio", {"self"}, k::null_ratio,
        "Return a frame with the column \"Null Ratio\": the share of missing entries per column.");
  c.def("long_string",
        {"self", arg("quantile_threshold").to_float() = 0.8, arg("length_difference") = 5},
        k::long_string,
        "Return a frame with \"Long String Num\" and \"Long String Index\": per text column the\n"
        "entries (missing ones dropped) whose text is longer than the nearest-rank\n"
        "quantile_threshold quantile of the lengths plus length_difference, with their row "
        "labels.");
  c.def("special_characters", {"self", arg("n_most_common") = 2}, k::special_characters,
        "Return a frame indexed by \"Column Name\" with \"% Special-Only Samples\" (the share of\n"
        "entries made of special characters only, as percent text) and \"Most Common "
        "Special-Only\n"
        "Samples\" (up to n_most_common of them, most frequent first).");
  c.def(
      "mixed_data_type", {"self"}, k::mixed_data_type,
      "Return a frame with \"With mixed\" and \"Categorical : Numerical\": whether a text column\n"
      "mixes entries that convert to a number with entries that do not, and the two shares.");
  c.def("duplicated_samples", {"self"}, k::duplicated_samples,
        "Return the groups of identical rows, one row per group labelled by the array of the\n"
        "group's row labels, ordered by value; a message string when the frame has no rows.");
  c.def("highly_correlated_features", {"self"}, k::highly_correlated_features,
        "Return a Styler over the association matrix of all columns: Spearman between numerical\n"
        "columns, symmetric Theil's U between categorical ones, the correlation ratio between\n"
        "the two kinds; NaN for columns of any other kind.");
  c.def("single_column_check", {"self"}, k::single_column_check,
        "Return a Styler joining the five per-column checks under a two-level header.");
  c.def("_get_data_mix", {"self", "column_data"}, k::get_data_mix,
        "Return the mix record of a column without missing entries, or None when it is not a "
        "text\n"
        "column.");
  c.def_static("_check_mixed_percentage", {"column_data"}, k::check_mixed_percentage,
               "Return {\"strings\", \"numbers\", \"strings_examples\", \"numbers_examples\"}: the "
               "shares\n"
               "of entries that do not and do convert with float(), with up to three distinct "
               "examples\n"
               "of each; None when all or none convert.");
  c.def_static("_get_special_samples", {"column_data"}, k::get_special_samples,
               "Return a defaultdict counting the special-only texts of a column in first-seen "
               "order, or\n"
               "None for numeric columns and columns without such texts.");
  c.create();
}

}  // namespace

PYBIND11_MODULE(kestrin, m) {
  kova::Module mod(m);
  mod.import_as("pandas", "pd");
  mod.import_as("numpy", "np");
  mod.import_lazy("seaborn", "sns");
  mod.import_from("collections", {"defaultdict"});
  mod.import_from("pandas.api.types", {"infer_dtype"});
  mod.import_from("utils", {"string_baseform", "is_string_column"}, 1);
  mod.import_from("correlation", {"symmetric_theil_u_correlation", "correlation_ratio"}, 1);
  define_data_integrity_check(mod);
  mod.set("__test__", py::dict());
}
