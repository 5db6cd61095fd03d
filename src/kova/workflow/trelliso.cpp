// kova.workflow.trelliso: segmented diagnostics of a fitted model.
//
// SegmentedDiagnoseAPI cuts the test rows of a pipeline's data into segments, feature by feature
// (equal-width or equal-frequency bins, or the intervals of a boosted regressor fitted to the
// model's absolute residuals), scores the model on every segment into a ranked segment table and,
// for one segment of that table, reports accuracy, residuals, weak spots and the distribution
// shift between the segment and the rest. Collaborators (np, pd, the diagnosers, Bucketing,
// XGB1Regressor, TestResult, display, ...) are module globals read at call time, so tests and
// users can replace them. The methods of each concern live in their own file (trelliso_*.cpp).
#include "trelliso_parts.hpp"

namespace {

const char* const kModuleDoc =
    "Segmented diagnostics: segment discovery, a ranked segment table and per-segment reports.";

const char* const kClassDoc =
    "Entry point for segmented diagnostics of a fitted model.\n\n"
    "SegmentedDiagnoseAPI(pipeline)\n\n"
    "pipeline: a fitted-model pipeline with `estimator`, `get_data_dict()`,\n"
    "    `get_feature_names()`, `get_feature_types()`, `transform_original` and a `dataset`\n"
    "    holding `task_type` (\"regression\" or \"classification\"), `random_state`,\n"
    "    `feature_names` and `target_name`. The data dictionary is kept by reference and never\n"
    "    written to. When the pipeline has `category_levels`, categorical segments and weak-spot\n"
    "    slices are named by their levels.\n\n"
    "Segments are computed on the test rows, stored in `result_dict` and reused while\n"
    "(segment_method, segment_bins, random_state) stays the same. Every segmented_diagnose\n"
    "call rebuilds the segment table (`result_table`) and its Segment ID -> segment key map\n"
    "(`match_id`); the reports and `segment_rows` take a Segment ID of the last table built.";

void define_segmented_diagnose_api(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "SegmentedDiagnoseAPI", kClassDoc);
  kova::trelliso::register_frame(c, mod);
  kova::trelliso::register_segments(c, mod);
  kova::trelliso::register_table(c, mod);
  kova::trelliso::register_reports(c, mod);
  c.create();
}

}  // namespace

PYBIND11_MODULE(trelliso, m) {
  m.doc() = kModuleDoc;
  kova::Module mod(m);
  mod.import_as("numpy", "np");
  mod.import_as("pandas", "pd");
  mod.import_from("copy", {"deepcopy"});
  mod.import_from("IPython.display", {"display"});
  mod.import_from("models", {"XGB1Regressor"}, 2);
  mod.import_from("config", {"SEGMENTED_DIAGNOSE_LIST", "REG_METRICS", "CLS_METRICS"}, 2);
  mod.import_from("diagnoser.utils", {"twosample_test", "Bucketing"}, 2);
  mod.import_from("utils", {"TestResult", "parameter_check", "render_validation", "safe_execute"},
                  2);
  mod.import_from("diagnoser", {"Accuracy", "WeakSpot"}, 2);
  mod.import_from("diagnoser.utils", {"get_scoring_metric"}, 2);
  mod.import_from("exceptions", {"KovaError"}, 2);
  mod.import_from("diagnoser.metrics", {"segment_scorer"}, 2);
  define_segmented_diagnose_api(mod);
  mod.set("__test__", py::dict());
}
