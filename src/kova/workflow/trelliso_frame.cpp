// SegmentedDiagnoseAPI's frame: the constructor, the validation table and checks of
// segmented_diagnose, and its dispatch to the reports.
#include "trelliso_parts.hpp"

namespace kova::trelliso {
namespace {

// The most bins per feature of "uniform" and "quantile": more would cut a table into slivers
// of a few rows each and only costs time and memory.
constexpr long kMaxSegmentBins = 1000;

py::object init(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object pipeline = a["pipeline"];
  self.attr("pipeline") = pipeline;
  self.attr("estimator") = pipeline.attr("estimator");
  self.attr("data_dict") = pipeline.attr("get_data_dict")();
  self.attr("task_type") = pipeline.attr("dataset").attr("task_type");
  self.attr("feature_names") = pipeline.attr("get_feature_names")();
  self.attr("feature_types") = pipeline.attr("get_feature_types")();
  self.attr("random_state") = pipeline.attr("dataset").attr("random_state");

  self.attr("segment_params") = py::none();
  self.attr("result_table") = py::none();
  self.attr("match_id") = py::none();
  self.attr("metric_list") = py::list();
  self.attr("result_dict") = py::dict();
  self.attr("segment_accuracy_obj") = py::none();

  py::object task_type = self.attr("task_type");
  if (task_type.equal(py::str("regression"))) {
    self.attr("metric_list") = py::list(mod["REG_METRICS"].attr("keys")());
  } else if (task_type.equal(py::str("classification"))) {
    self.attr("metric_list") = py::list(mod["CLS_METRICS"].attr("keys")());
  } else {
    raise(mod["KovaError"], "Non-supported task type.");
  }
  return py::none();
}

// [value, name, allowed, required]
py::list row(const Args& a, const char* name, const py::object& allowed, bool required) {
  return make_list({a[name], py::str(name), allowed, py::bool_(required)});
}

py::list choices(std::initializer_list<const char*> values) { return str_list(values); }

// The validation table: one (empty) entry per report name, then the rows of each view.
py::dict argument_valid_dict(const Module& mod, const Args& a) {
  py::object dataset = a.self().attr("pipeline").attr("dataset");
  py::object features = dataset.attr("feature_names");
  py::object target = dataset.attr("target_name");
  const py::object int_type = builtin_type(&PyLong_Type);
  const py::object float_type = builtin_type(&PyFloat_Type);
  const py::object bool_type = builtin_type(&PyBool_Type);

  py::dict table;
  for (py::handle name : mod["SEGMENTED_DIAGNOSE_LIST"]) table[name] = py::list();
  table["general"] = make_list({
      row(a, "segment_method", choices({"uniform", "quantile", "auto"}), false),
      row(a, "segment_feature", features, false),
      row(a, "segment_bins", int_type, false),
      row(a, "slice_bins", int_type, false),
      row(a, "threshold", float_type, false),
      row(a, "min_samples", int_type, false),
      row(a, "use_test", bool_type, false),
      row(a, "slice_method", choices({"histogram", "tree"}), false),
      row(a, "metric", a.self().attr("metric_list"), false),
      row(a, "distance_metric", choices({"PSI", "WD1", "KS"}), false),
      row(a, "psi_buckets", choices({"uniform", "quantile"}), false),
      row(a, "original_scale", bool_type, false),
      row(a, "figsize", builtin_type(&PyTuple_Type), false),
  });
  table["segment_table"] = make_list({row(a, "segment_id", int_type, false)});
  table["accuracy_table"] = make_list({row(a, "segment_id", int_type, true)});
  table["distribution_shift"] = make_list({row(a, "segment_id", int_type, true)});

  py::list shown = make_list({target + py::str("_predict"), target});
  for (py::handle name : features) shown.append(name);
  table["accuracy_residual"] =
      make_list({row(a, "segment_id", int_type, true), row(a, "show_feature", shown, true)});

  py::list slice_row = row(a, "slice_features", builtin_type(&PyList_Type), true);
  slice_row.append(features);
  table["weakspot"] = make_list({row(a, "segment_id", int_type, true), slice_row});
  return table;
}

// The values the type rows let through but the computation cannot take: a number of bins
// beyond what a table can use, no threshold, an empty or degenerate figure size.
void check_settings(const Module& mod, const Args& a) {
  py::object bins = a["segment_bins"];
  if (!is_integer(bins) || truth(compare(bins, py::int_(1), Py_LT)) ||
      truth(compare(bins, py::int_(kMaxSegmentBins), Py_GT))) {
    const std::string allowed = "an integer from 1 to " + std::to_string(kMaxSegmentBins);
    raise_argument(mod, "segment_bins", allowed.c_str(), bins);
  }
  check_threshold(mod, a["threshold"]);
  check_figsize(mod, a["figsize"]);
}

// "ACC" for classification, "MSE" for regression.
py::object default_metric(const Module& mod, const py::object& self) {
  py::object task_type = self.attr("task_type");
  if (task_type.equal(py::str("classification"))) return py::str("ACC");
  if (task_type.equal(py::str("regression"))) return py::str("MSE");
  raise(mod["KovaError"], "task_type should be either classification or regression.");
}

py::object run_report(const Args& a, const py::object& show, const py::object& metric) {
  py::object self = a.self();
  py::object segment_id = a["segment_id"];
  if (show.equal(py::str("segment_table"))) return self.attr("segment_table")();
  if (show.equal(py::str("weakspot"))) {
    return self.attr("weakspot")(
        py::arg("segment_id") = segment_id, py::arg("slice_features") = a["slice_features"],
        py::arg("method") = a["slice_method"], py::arg("threshold") = a["threshold"],
        py::arg("min_samples") = a["min_samples"], py::arg("bins") = a["slice_bins"],
        py::arg("use_test") = a["use_test"], py::arg("metric") = metric,
        py::arg("original_scale") = a["original_scale"], py::arg("figsize") = a["figsize"]);
  }
  if (show.equal(py::str("accuracy_residual"))) {
    return self.attr("accuracy_residual")(
        py::arg("segment_id") = segment_id, py::arg("show_feature") = a["show_feature"],
        py::arg("use_test") = a["use_test"], py::arg("original_scale") = a["original_scale"],
        py::arg("figsize") = a["figsize"]);
  }
  if (show.equal(py::str("accuracy_table"))) {
    return self.attr("accuracy_table")(py::arg("segment_id") = segment_id);
  }
  if (show.equal(py::str("distribution_shift"))) {
    return self.attr("distribution_shift")(
        py::arg("segment_id") = segment_id, py::arg("show_feature") = a["show_feature"],
        py::arg("distance_metric") = a["distance_metric"], py::arg("figsize") = a["figsize"]);
  }
  return py::none();  // another accepted report name: segments and table only
}

py::object segmented_diagnose(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object show = a["show"];
  py::dict table = argument_valid_dict(mod, a);
  mod["parameter_check"](show, py::str("show"), mod["SEGMENTED_DIAGNOSE_LIST"], py::bool_(true));
  mod["render_validation"](table["general"]);
  mod["render_validation"](table[show]);
  check_settings(mod, a);

  py::object metric = a["metric"];
  if (metric.is_none()) metric = default_metric(mod, self);
  self.attr("_get_all_segments")(py::arg("segment_method") = a["segment_method"],
                                 py::arg("segment_bins") = a["segment_bins"]);
  self.attr("_get_segment_table")(a["segment_feature"], metric);
  return run_report(a, show, metric);
}

const char* const kDiagnoseDoc =
    "Compute the segments and the segment table, then run one report; return its TestResult.\n\n"
    "show: one of SEGMENTED_DIAGNOSE_LIST (\"segment_table\", \"weakspot\",\n"
    "    \"accuracy_residual\", \"accuracy_table\", \"distribution_shift\").\n"
    "segment_id: a Segment ID of the table built in this call (required but for the table).\n"
    "segment_feature: restrict the table to the segments of one feature.\n"
    "segment_method: \"uniform\", \"quantile\" (segment_bins bins per feature, 1 to 1000) or\n"
    "    \"auto\" (intervals of a boosted regressor fitted to the absolute test residuals).\n"
    "metric: a name of metric_list; \"ACC\" (classification) or \"MSE\" (regression) by default.\n"
    "slice_features, slice_method, slice_bins, threshold, min_samples: weak-spot settings.\n"
    "use_test, original_scale: residual and weak-spot settings.\n"
    "distance_metric: \"PSI\", \"WD1\" or \"KS\" for the distribution shift.\n"
    "psi_buckets: \"uniform\" or \"quantile\"; validated only.\n"
    "show_feature: the variable shown by the residual and distribution-shift reports.\n"
    "figsize: tuple (width, height) of positive numbers, in inches.";

}  // namespace

void register_frame(ClassBuilder& c, const Module& mod) {
  c.def("__init__", {"self", arg("pipeline") = py::none()}, init,
        "Hold the pipeline, its model, data dictionary and feature lists; choose the metrics.");
  c.def_decorated("segmented_diagnose", mod["safe_execute"],
                  {"self", arg("show") = py::none(), arg("segment_id") = py::none(),
                   arg("segment_feature") = py::none(), arg("segment_method") = "uniform",
                   arg("segment_bins") = 5, arg("slice_features") = py::none(),
                   arg("slice_method") = "histogram", arg("slice_bins") = 10,
                   arg("metric") = py::none(), arg("threshold") = 1.1, arg("min_samples") = 20,
                   arg("use_test") = true, arg("distance_metric") = "PSI",
                   arg("psi_buckets") = "uniform", arg("show_feature") = py::none(),
                   arg("original_scale") = false, arg("figsize") = py::make_tuple(8, 6)},
                  segmented_diagnose, kDiagnoseDoc);
}

}  // namespace kova::trelliso
