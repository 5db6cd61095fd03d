// kova.workflow.trelliso: segmented diagnostics of a fitted model.
//
// SegmentedDiagnoseAPI cuts the test rows of a pipeline's data into segments, feature by feature
// (equal-width or equal-frequency bins, or the intervals of a boosted regressor fitted to the
// model's absolute residuals), scores the model on every segment into a ranked segment table and,
// for one segment of that table, reports accuracy, residuals, weak spots and the distribution
// shift between the segment and the rest. Collaborators (np, pd, the diagnosers, Bucketing,
// XGB1Regressor, TestResult, display, ...) are module globals read at call time, so tests and
// users can replace them.
#include <kova/binding.hpp>
#include <string>
#include <vector>

using kova::arg;
using kova::builtin_type;
using kova::make_list;

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
    "    written to.\n\n"
    "Segments are computed on the test rows, stored in `result_dict` and reused while\n"
    "(segment_method, segment_bins, random_state) stays the same. Every segmented_diagnose\n"
    "call rebuilds the segment table (`result_table`) and its Segment ID -> segment key map\n"
    "(`match_id`); the reports take a Segment ID of the last table built.";

const char* const kNoSegments =
    "Please run get_all_segment and get_segment_table first to decide segment id";
const char* const kNotDiagnosable = "This segment is not supported to diagnose.";
const char* const kNoBinning = "No binning for this feature";
const char* const kShiftTitle = "Data distance(In segment vs. out of segment)";

// ------------------------------------------------------------------------------- helpers

// Python's `left <op> right` (element-wise for arrays).
py::object compare(const py::handle& left, const py::handle& right, int op) {
  return kova::steal(PyObject_RichCompare(left.ptr(), right.ptr(), op));
}

// Python's `left & right` (element-wise for boolean arrays).
py::object both(const py::handle& left, const py::handle& right) {
  return kova::steal(PyNumber_And(left.ptr(), right.ptr()));
}

// `lower <= column <= upper` when the upper bound is closed, else `lower <= column < upper`.
py::object in_interval(const py::handle& column, const py::handle& lower, const py::handle& upper,
                       bool upper_closed) {
  return both(compare(lower, column, Py_LE), compare(column, upper, upper_closed ? Py_LE : Py_LT));
}

// np.where(mask)[0]: the positions of the true entries, ascending.
py::object positions(const kova::Module& mod, const py::handle& mask) {
  return mod["np"].attr("where")(mask)[py::int_(0)];
}

// `a, b, ... = value` for exactly n items, with the interpreter's messages.
std::vector<py::object> unpack(const py::handle& value, size_t n) {
  PyObject* it = PyObject_GetIter(value.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                 Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  py::object iterator = kova::steal(it);
  std::vector<py::object> items;
  while (PyObject* item = PyIter_Next(iterator.ptr())) {
    if (items.size() == n) {
      Py_DECREF(item);
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                   static_cast<Py_ssize_t>(n));
      throw py::error_already_set();
    }
    items.push_back(kova::steal(item));
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  if (items.size() < n) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                 static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(items.size()));
    throw py::error_already_set();
  }
  return items;
}

// The entry `key` of the data dictionary when it is present and not None, else None.
py::object optional_entry(const py::object& data_dict, const char* key) {
  const py::str name(key);
  if (!data_dict.contains(name)) return py::none();
  return data_dict[name];
}

// A new frame whose columns are the given values, each flattened, labelled by `names` (which
// may repeat). Columns keep their own types (text categories beside numbers stay text and
// numbers); values of unequal lengths raise pandas' error.
py::object frame_of_columns(const kova::Module& mod, const py::list& names,
                            const std::vector<py::object>& columns) {
  py::dict by_position;
  for (size_t i = 0; i < columns.size(); ++i) {
    by_position[py::int_(i)] = mod["np"].attr("ravel")(columns[i]);
  }
  py::object frame = mod["pd"].attr("DataFrame")(by_position);
  frame.attr("columns") = names;
  return frame;
}

// The pipeline's transform_original when `original_scale` is true, else None.
py::object scaler_for(const py::object& self, const py::handle& original_scale) {
  if (!kova::truth(original_scale)) return py::none();
  return self.attr("pipeline").attr("transform_original");
}

// ---------------------------------------------------------------------------- constructor

py::object init(const kova::Module& mod, const kova::Args& a) {
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
    kova::raise(mod["KovaError"], "Non-supported task type.");
  }
  return py::none();
}

// --------------------------------------------------------------------- segmented_diagnose

// [value, name, allowed, required]
py::list row(const kova::Args& a, const char* name, const py::object& allowed, bool required) {
  return make_list({a[name], py::str(name), allowed, py::bool_(required)});
}

py::list choices(std::initializer_list<const char*> values) { return kova::str_list(values); }

// The validation table: one (empty) entry per report name, then the rows of each view.
py::dict argument_valid_dict(const kova::Module& mod, const kova::Args& a) {
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

// "ACC" for classification, "MSE" for regression.
py::object default_metric(const kova::Module& mod, const py::object& self) {
  py::object task_type = self.attr("task_type");
  if (task_type.equal(py::str("classification"))) return py::str("ACC");
  if (task_type.equal(py::str("regression"))) return py::str("MSE");
  kova::raise(mod["KovaError"], "task_type should be either classification or regression.");
}

py::object run_report(const kova::Args& a, const py::object& show, const py::object& metric) {
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

py::object segmented_diagnose(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object show = a["show"];
  py::dict table = argument_valid_dict(mod, a);
  mod["parameter_check"](show, py::str("show"), mod["SEGMENTED_DIAGNOSE_LIST"], py::bool_(true));
  mod["render_validation"](table["general"]);
  mod["render_validation"](table[show]);

  py::object metric = a["metric"];
  if (metric.is_none()) metric = default_metric(mod, self);
  self.attr("_get_all_segments")(py::arg("segment_method") = a["segment_method"],
                                 py::arg("segment_bins") = a["segment_bins"]);
  self.attr("_get_segment_table")(a["segment_feature"], metric);
  return run_report(a, show, metric);
}

// ------------------------------------------------------------------- segment computation

// {"feature", "group_id", "group_range", "upper_bound"[, "effect"], "idx", "size"}
py::dict segment_record(const py::object& feature, const py::object& group_id,
                        const py::object& group_range, bool upper_closed, const py::object* effect,
                        const py::object& idx) {
  py::dict record;
  record["feature"] = feature;
  record["group_id"] = group_id;
  record["group_range"] = group_range;
  record["upper_bound"] = upper_closed ? "]" : ")";
  if (effect != nullptr) record["effect"] = *effect;
  record["idx"] = idx;
  record["size"] = py::len(idx);
  return record;
}

// feature + "-" + str(group_id)
py::str segment_key(const py::handle& feature, const py::handle& group_id) {
  return py::str(py::str(feature) + py::str("-") + py::str(group_id));
}

// Segments of every feature from the binning class: one per distinct group label.
void add_binned_segments(const kova::Module& mod, const py::object& self, const kova::Args& a,
                         const py::object& x_test, py::dict& result) {
  py::object data_dict = self.attr("data_dict");
  for (py::handle feature : self.attr("feature_names")) {
    py::object bucketing =
        mod["Bucketing"](py::arg("feature") = feature, py::arg("method") = a["segment_method"],
                         py::arg("n_bins") = a["segment_bins"],
                         py::arg("feature_names") = data_dict["feature_names"],
                         py::arg("feature_types") = data_dict["feature_types"]);
    std::vector<py::object> grouped = unpack(bucketing.attr("get_group_idx")(x_test), 2);
    const py::object& group = grouped[0];
    const py::object& group_range = grouped[1];
    py::object labels = mod["np"].attr("unique")(group);
    const py::int_ last_label(py::len(labels) - 1);
    for (py::handle label : labels) {
      py::object idx = positions(mod, compare(group, label, Py_EQ));
      py::object range_single = group_range[idx[py::int_(0)]];
      const bool closed = kova::truth(compare(label, last_label, Py_EQ));
      result[segment_key(feature, label)] = segment_record(
          py::reinterpret_borrow<py::object>(feature), py::reinterpret_borrow<py::object>(label),
          range_single, closed, nullptr, idx);
    }
  }
}

// |y - p| of the test rows as a column, with p the predicted probabilities when the data
// dictionary has them, else the predictions.
py::object absolute_test_residual(const kova::Module& mod, const py::object& data_dict) {
  py::object test_idx = data_dict["test_idx"];
  py::object predicted = optional_entry(data_dict, "prediction_proba");
  if (predicted.is_none()) predicted = data_dict["prediction"];
  py::object np = mod["np"];
  py::object y = np.attr("reshape")(data_dict["y"][test_idx], py::make_tuple(-1, 1));
  py::object p = np.attr("reshape")(predicted[test_idx], py::make_tuple(-1, 1));
  return np.attr("abs")(y - p);
}

// Segments of every feature from the one-dimensional effects of a boosted regressor fitted to
// the absolute residuals: one per interval, or one covering all test rows for a feature the
// regressor never split on.
void add_effect_segments(const kova::Module& mod, const py::object& self, const py::object& x_test,
                         py::dict& result) {
  py::object data_dict = self.attr("data_dict");
  py::object test_idx = data_dict["test_idx"];
  py::object np = mod["np"];
  py::object xgb1 = mod["XGB1Regressor"](py::arg("feature_names") = self.attr("feature_names"),
                                         py::arg("feature_types") = self.attr("feature_types"),
                                         py::arg("random_state") = self.attr("random_state"));
  py::object residual = absolute_test_residual(mod, data_dict);
  xgb1.attr("fit")(x_test, np.attr("ravel")(residual));
  py::object interpreter = xgb1.attr("parse_model")();
  interpreter.attr("global_interpret")(
      py::arg("X") = x_test, py::arg("y") = np.attr("reshape")(residual, py::make_tuple(-1, 1)));
  py::object effects = interpreter.attr("effects_")["1D"];

  Py_ssize_t j = 0;
  for (py::handle feature_handle : self.attr("feature_names")) {
    py::object feature = py::reinterpret_borrow<py::object>(feature_handle);
    const py::int_ column_position(j++);
    if (!effects.contains(feature)) {
      py::object effect = interpreter.attr("intercept_");
      py::list everything = make_list({-np.attr("inf"), np.attr("inf")});
      py::object all_rows = np.attr("arange")(test_idx.attr("shape")[py::int_(0)]);
      result[segment_key(feature, py::int_(0))] =
          segment_record(feature, py::int_(0), everything, true, &effect, all_rows);
      continue;
    }
    py::object values = effects[feature]["values"];
    py::object splits = effects[feature]["splits"];
    py::object column = data_dict["x"][py::make_tuple(test_idx, column_position)];
    const Py_ssize_t n_values = kova::length_of(values);
    const Py_ssize_t n_splits = kova::length_of(splits);
    for (Py_ssize_t i = 0; i < n_values; ++i) {
      py::object effect = values[py::int_(i)];
      py::object lower = splits[py::int_(i)];
      py::object upper = splits[py::int_(i + 1)];
      const bool closed = i + 1 == n_splits - 1;  // the last interval keeps its upper bound
      py::object idx = positions(mod, in_interval(column, lower, upper, closed));
      result[segment_key(feature, py::int_(i))] =
          segment_record(feature, py::int_(i), make_list({lower, upper}), closed, &effect, idx);
    }
  }
}

py::object calculate_all_segments(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object data_dict = self.attr("data_dict");
  py::object x_test = data_dict["x"][data_dict["test_idx"]];
  py::object method = a["segment_method"];
  py::dict result;
  if (method.equal(py::str("uniform")) || method.equal(py::str("quantile"))) {
    add_binned_segments(mod, self, a, x_test, result);
  } else if (method.equal(py::str("auto"))) {
    add_effect_segments(mod, self, x_test, result);
  }
  return std::move(result);
}

// Recomputes the segments when the parameter record changed. The record is stored only once
// the computation succeeded, so a failed computation never passes old segments off as new
// ones; the segment table and its ID map are dropped with the segments they described.
py::object get_all_segments(const kova::Module&, const kova::Args& a) {
  py::object self = a.self();
  py::dict record;
  record["segment_method"] = a["segment_method"];
  record["segment_bins"] = a["segment_bins"];
  record["random_state"] = self.attr("random_state");
  const bool changed = !py::hasattr(self, "result_dict") ||
                       (py::hasattr(self, "segment_params") &&
                        kova::truth(compare(self.attr("segment_params"), record, Py_NE)));
  if (!changed) return py::none();
  py::object segments = self.attr("_calculate_all_segments")(
      py::arg("segment_method") = a["segment_method"], py::arg("segment_bins") = a["segment_bins"]);
  self.attr("result_dict") = segments;
  self.attr("segment_params") = record;
  self.attr("result_table") = py::none();
  self.attr("match_id") = py::none();
  return py::none();
}

// ----------------------------------------------------------------------------- segment table

// The mean score of the metric on every segment's test rows. Metrics that need probabilities
// are scored on "prediction_proba" when the data dictionary has it.
py::object get_all_segments_metric(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  std::vector<py::object> scoring =
      unpack(mod["get_scoring_metric"](a["metric"], py::arg("average") = false), 5);
  self.attr("score_sign") = scoring[1];
  const py::object& scoring_func = scoring[2];
  py::dict metric_dict;
  self.attr("metric_dict") = metric_dict;

  py::object segments = self.attr("result_dict");
  if (!kova::truth(segments)) return py::none();
  py::object data_dict = self.attr("data_dict");
  py::object test_idx = data_dict["test_idx"];
  py::object predicted = py::none();
  if (kova::truth(scoring[3])) predicted = optional_entry(data_dict, "prediction_proba");
  if (predicted.is_none()) predicted = data_dict["prediction"];
  py::object y_test = data_dict["y"][test_idx];
  py::object predicted_test = predicted[test_idx];
  py::object mean = mod["np"].attr("mean");
  for (py::handle item : segments.attr("items")()) {
    py::object idx = item[py::int_(1)]["idx"];
    metric_dict[item[py::int_(0)]] = mean(scoring_func(y_test[idx], predicted_test[idx]));
  }
  return py::none();
}

// "[lower, upper" + upper_bound for a two-element range (bounds rounded to 4 decimals), the
// first element itself for any other range.
py::object segment_text(const kova::Module& mod, const py::handle& range,
                        const py::handle& upper_bound) {
  if (kova::length_of(range) != 2) return range[py::int_(0)];
  py::object round = mod["np"].attr("round");
  const std::string lower = py::str(round(range[py::int_(0)], 4));
  const std::string upper = py::str(round(range[py::int_(1)], 4));
  return py::str("[" + lower + ", " + upper + std::string(py::str(upper_bound)));
}

py::object get_segment_table(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object metric = a["metric"];
  py::object segment_feature = a["segment_feature"];
  self.attr("_get_all_segments_metric")(py::arg("metric") = metric);

  py::list rows;
  std::vector<py::object> keys;  // row label -> segment key
  py::object metric_dict = self.attr("metric_dict");
  for (py::handle item : self.attr("result_dict").attr("items")()) {
    py::object name = item[py::int_(0)];
    py::object segment = item[py::int_(1)];
    rows.append(make_list({segment["feature"], segment["group_range"], segment["size"],
                           metric_dict[name], segment["upper_bound"]}));
    keys.push_back(name);
  }
  py::list columns = make_list(
      {py::str("Feature"), py::str("Segment"), py::str("Size"), metric, py::str("upper_bound")});
  py::object table = mod["pd"].attr("DataFrame")(rows, py::arg("columns") = columns);

  const bool descending = kova::truth(compare(self.attr("score_sign"), py::int_(-1), Py_EQ));
  table = table.attr("sort_values")(metric, py::arg("ascending") = !descending);
  if (!segment_feature.is_none()) {
    py::object filter_idx =
        compare(table.attr("loc")[py::make_tuple(kova::full_slice(), py::str("Feature"))],
                segment_feature, Py_EQ);
    if (kova::truth(compare(kova::builtin("sum")(filter_idx), py::int_(0), Py_EQ))) {
      kova::raise(mod["KovaError"], kNoBinning);
    }
    table = table.attr("loc")[filter_idx];
  }

  py::list texts;
  py::object ranges = table["Segment"].attr("tolist")();
  py::object bounds = table["upper_bound"].attr("tolist")();
  for (Py_ssize_t i = 0, n = py::len(ranges); i < n; ++i) {
    texts.append(segment_text(mod, ranges[py::int_(i)], bounds[py::int_(i)]));
  }
  table = table.attr("assign")(py::arg("Segment") = texts);

  py::list ordered_keys;
  for (py::handle label : table.attr("index")) ordered_keys.append(keys.at(label.cast<size_t>()));
  py::object match_id =
      mod["np"].attr("array")(ordered_keys, py::arg("dtype") = builtin_type(&PyBaseObject_Type));

  table = table.attr("drop")(make_list({py::str("upper_bound")}), py::arg("axis") = 1)
              .attr("reset_index")(py::arg("drop") = true)
              .attr("reset_index")(py::arg("drop") = false);
  table.attr("columns") = make_list(
      {py::str("Segment ID"), py::str("Feature"), py::str("Segment"), py::str("Size"), metric});
  self.attr("match_id") = match_id;
  self.attr("result_table") = table;
  return py::none();
}

py::object segment_table(const kova::Module& mod, const kova::Args& a) {
  py::object table = a.self().attr("result_table");
  py::object first_rows = table.attr("iloc")[py::slice(py::none(), py::int_(10), py::none())];
  py::object styled = first_rows.attr("reset_index")(py::arg("drop") = true)
                          .attr("style")
                          .attr("set_properties")(py::arg("width") = "9em");
  mod["display"](styled);
  return mod["TestResult"](py::arg("data") = table);
}

// -------------------------------------------------------------------- membership and accuracy

// Positions of all rows (training and test) whose value of the segment's feature lies in the
// segment's range.
py::object get_segment_data_idx(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object segments = self.attr("result_dict");
  py::object match_id = self.attr("match_id");
  // No table for the stored segments (none built yet, or dropped with the segments it
  // described): a Segment ID names nothing.
  if (!kova::truth(segments) || match_id.is_none()) kova::raise(mod["KovaError"], kNoSegments);
  py::object segment = segments[match_id[a["segment_id"]]];
  py::object range = segment["group_range"];
  py::object feature = segment["feature"];
  py::object j = py::list(self.attr("feature_names")).attr("index")(feature);
  py::object values = self.attr("data_dict")["x"][py::make_tuple(kova::full_slice(), j)];

  py::object mask;
  if (kova::length_of(range) == 1) {
    mask = compare(values, range[py::int_(0)], Py_EQ);
  } else {
    const bool closed = py::object(segment["upper_bound"]).equal(py::str("]"));
    mask = in_interval(values, range[py::int_(0)], range[py::int_(1)], closed);
  }
  return positions(mod, mask);
}

// A deep copy of the data dictionary whose "train_idx" and "test_idx" hold only the segment's
// rows (ascending); KovaError when the segment has no training row or no test row.
py::object segment_data_dict(const kova::Module& mod, const py::object& self,
                             const py::object& segment_id) {
  py::object members = self.attr("_get_segment_data_idx")(segment_id);
  py::object copy = mod["deepcopy"](self.attr("data_dict"));
  py::object intersect = mod["np"].attr("intersect1d");
  for (const char* key : {"train_idx", "test_idx"}) copy[key] = intersect(copy[key], members);
  if (py::len(copy["train_idx"]) == 0 || py::len(copy["test_idx"]) == 0) {
    kova::raise(mod["KovaError"], kNotDiagnosable);
  }
  return copy;
}

py::object accuracy(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::dict segment_data = segment_data_dict(mod, self, a["segment_id"]);
  py::object model_accuracy =
      mod["Accuracy"](self.attr("estimator"), py::arg("random_state") = self.attr("random_state"));
  model_accuracy.attr("fit")(**segment_data);
  model_accuracy.attr("get_scoring")();
  model_accuracy.attr("get_metric")();
  self.attr("segment_accuracy_obj") = model_accuracy;
  return py::none();
}

py::object accuracy_table(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  self.attr("_accuracy")(py::arg("segment_id") = a["segment_id"]);
  py::object diagnoser = self.attr("segment_accuracy_obj");
  py::object out = diagnoser.attr("display_table")(diagnoser.attr("get_result")());
  return mod["TestResult"](py::arg("data") = out);
}

// ----------------------------------------------------------------- residual and weak spot

py::object accuracy_residual(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  self.attr("_accuracy")(py::arg("segment_id") = a["segment_id"]);
  py::object scaler = scaler_for(self, a["original_scale"]);
  py::object diagnoser = self.attr("segment_accuracy_obj");
  py::object residual = diagnoser.attr("get_residual")(py::arg("feature_name") = a["show_feature"],
                                                       py::arg("use_test") = a["use_test"]);
  py::object fig = diagnoser.attr("plot_residual")(residual, py::arg("scaler") = scaler,
                                                   py::arg("figsize") = a["figsize"]);
  py::object points = residual.attr("value")["data"];
  py::object table =
      frame_of_columns(mod, kova::str_list({"x", "Residual"}), {points["x"], points["residual"]});
  return mod["TestResult"](py::arg("figure") = fig, py::arg("data") = table);
}

py::object weakspot(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::dict segment_data = segment_data_dict(mod, self, a["segment_id"]);
  py::dict params;
  params["estimator"] = self.attr("estimator");
  params["bins"] = a["bins"];
  params["threshold"] = a["threshold"];
  params["method"] = a["method"];
  params["min_samples"] = a["min_samples"];
  params["metric"] = a["metric"];
  params["slice_features"] = a["slice_features"];
  params["task_type"] = self.attr("task_type");
  params["use_test"] = a["use_test"];
  params["random_state"] = self.attr("random_state");
  py::object weakspot_obj = mod["WeakSpot"](**params);
  weakspot_obj.attr("fit")(**segment_data);
  py::object scaler = scaler_for(self, a["original_scale"]);
  py::object marginal = weakspot_obj.attr("get_marginal")();
  py::object fig = weakspot_obj.attr("plot_marginal")(marginal, py::arg("scaler") = scaler,
                                                      py::arg("figsize") = a["figsize"]);
  py::object out = weakspot_obj.attr("get_result")().attr("value")["data"];
  return mod["TestResult"](py::arg("figure") = fig, py::arg("data") = out);
}

// ------------------------------------------------------------------------ distribution shift

// The per-feature distances: "Features" and the distance column, rounded to 4 decimals.
py::object distance_table(const kova::Module& mod, const py::object& value,
                          const py::object& distance_metric) {
  py::object np = mod["np"];
  py::object distances =
      np.attr("ravel")(value[distance_metric]).attr("astype")(builtin_type(&PyFloat_Type));
  return frame_of_columns(mod, make_list({py::str("Features"), distance_metric}),
                          {value["features"], np.attr("round")(distances, 4)});
}

// The curves of the test: one block per element of "x", numbered in "Group" when there are
// several.
py::object curve_table(const kova::Module& mod, const py::object& value,
                       const py::object& show_feature) {
  py::object xs = value["x"];
  py::object ys = value["y"];
  py::object y_label = value["y_label"];
  if (py::len(xs) == 1) {
    return frame_of_columns(mod, make_list({show_feature, y_label}), {xs, ys});
  }
  py::list blocks;
  Py_ssize_t group = 0;
  for (py::handle single_x : xs) {
    py::object flat_x = mod["np"].attr("ravel")(single_x);
    py::list labels;
    for (Py_ssize_t k = 0, n = py::len(flat_x); k < n; ++k) labels.append(py::int_(group));
    blocks.append(frame_of_columns(mod, make_list({show_feature, y_label, py::str("Group")}),
                                   {flat_x, ys[py::int_(group)], labels}));
    ++group;
  }
  return mod["pd"]
      .attr("concat")(blocks, py::arg("axis") = 0)
      .attr("reset_index")(py::arg("drop") = true);
}

py::object distribution_shift(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object segment_idx = self.attr("_get_segment_data_idx")(a["segment_id"]);
  py::object data_dict = self.attr("data_dict");
  py::object x = data_dict["x"];
  py::object sample1 = x[segment_idx];
  py::object sample2 = mod["np"].attr("delete")(x, segment_idx, py::arg("axis") = 0);
  py::object distance_metric = a["distance_metric"];
  py::object show_feature = a["show_feature"];
  py::object result = mod["twosample_test"](
      py::arg("sample1") = sample1, py::arg("sample2") = sample2,
      py::arg("distance_metric") = distance_metric,
      py::arg("feature_names") = data_dict["feature_names"],
      py::arg("feature_types") = data_dict["feature_types"], py::arg("show_feature") = show_feature,
      py::arg("figsize") = a["figsize"], py::arg("plot_title") = kShiftTitle);
  py::object value = result.attr("value");
  py::object table = value.contains(py::str("features"))
                         ? distance_table(mod, value, distance_metric)
                         : curve_table(mod, value, show_feature);
  return mod["TestResult"](py::arg("data") = table);
}

// ------------------------------------------------------------------------------------ class

const char* const kDiagnoseDoc =
    "Compute the segments and the segment table, then run one report; return its TestResult.\n\n"
    "show: one of SEGMENTED_DIAGNOSE_LIST (\"segment_table\", \"weakspot\",\n"
    "    \"accuracy_residual\", \"accuracy_table\", \"distribution_shift\").\n"
    "segment_id: a Segment ID of the table built in this call (required but for the table).\n"
    "segment_feature: restrict the table to the segments of one feature.\n"
    "segment_method: \"uniform\", \"quantile\" (segment_bins bins per feature) or \"auto\"\n"
    "    (intervals of a boosted regressor fitted to the absolute test residuals).\n"
    "metric: a name of metric_list; \"ACC\" (classification) or \"MSE\" (regression) by default.\n"
    "slice_features, slice_method, slice_bins, threshold, min_samples: weak-spot settings.\n"
    "use_test, original_scale: residual and weak-spot settings.\n"
    "distance_metric: \"PSI\", \"WD1\" or \"KS\" for the distribution shift.\n"
    "psi_buckets: \"uniform\" or \"quantile\"; validated only.\n"
    "show_feature: the variable shown by the residual and distribution-shift reports.\n"
    "figsize: tuple (width, height) in inches.";

void define_segmented_diagnose_api(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "SegmentedDiagnoseAPI", kClassDoc);
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
  c.def("_calculate_all_segments", {"self", "segment_method", "segment_bins"},
        calculate_all_segments,
        "Return a new dictionary segment key -> segment record of the test rows.");
  c.def("_get_all_segments", {"self", "segment_method", "segment_bins"}, get_all_segments,
        "Recompute result_dict when (segment_method, segment_bins, random_state) changed.");
  c.def("_get_all_segments_metric", {"self", arg("metric") = py::none()}, get_all_segments_metric,
        "Set score_sign and metric_dict (segment key -> mean score).");
  c.def("_get_segment_table", {"self", "segment_feature", "metric"}, get_segment_table,
        "Build result_table (ranked, optionally one feature's segments) and match_id.");
  c.def("segment_table", {"self"}, segment_table,
        "Show the first 10 rows of the segment table; return TestResult(data=whole table).");
  c.def("_get_segment_data_idx", {"self", "segment_id"}, get_segment_data_idx,
        "Return the positions of all rows that belong to the segment of a Segment ID.");
  c.def("_accuracy", {"self", "segment_id"}, accuracy,
        "Fit the accuracy diagnoser on the segment's rows into segment_accuracy_obj.");
  c.def("accuracy_table", {"self", "segment_id"}, accuracy_table,
        "Return TestResult(data=the accuracy table of the segment).");
  c.def("accuracy_residual",
        {"self", "segment_id", "show_feature", "use_test", "original_scale", "figsize"},
        accuracy_residual,
        "Plot the segment's residuals against show_feature; return the figure and the\n"
        "points as a table with the columns \"x\" and \"Residual\".");
  c.def("weakspot",
        {"self", "segment_id", "slice_features", "method", "threshold", "min_samples", "bins",
         "use_test", "metric", "original_scale", "figsize"},
        weakspot, "Run the weak-spot diagnoser on the segment's rows; return figure and table.");
  c.def("distribution_shift", {"self", "segment_id", "show_feature", "distance_metric", "figsize"},
        distribution_shift,
        "Compare the rows in the segment with the other rows; return TestResult(data=table).");
  c.create();
}

}  // namespace

PYBIND11_MODULE(trelliso, m) {
  kova::register_function_type(m);
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
  define_segmented_diagnose_api(mod);
  mod.set("__test__", py::dict());
}
