// The reports on one segment of the table: its rows, the accuracy diagnoser fitted on them, the
// residuals, the weak spots and the distribution shift between the segment and the rest.
#include "trelliso_parts.hpp"

namespace kova::trelliso {
namespace {

const char* const kShiftTitle = "Data distance(In segment vs. out of segment)";

// A new frame whose columns are the given values, each flattened, labelled by `names` (which
// may repeat). Columns keep their own types (text categories beside numbers stay text and
// numbers); values of unequal lengths raise pandas' error.
py::object frame_of_columns(const Module& mod, const py::list& names,
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
  if (!truth(original_scale)) return py::none();
  return self.attr("pipeline").attr("transform_original");
}

// The segment record of a Segment ID of the last table. KovaError when there is no table for
// the stored segments (none built yet, or dropped with the segments it described) or when the
// ID is not an integer from 0 to the table's last row (negative IDs count from no end).
py::object segment_of(const Module& mod, const py::object& self, const py::object& segment_id) {
  py::object segments = self.attr("result_dict");
  py::object match_id = self.attr("match_id");
  if (!truth(segments) || match_id.is_none()) raise(mod["KovaError"], kNoSegments);
  const Py_ssize_t n = length_of(match_id);
  if (!is_integer(segment_id) || truth(compare(segment_id, py::int_(0), Py_LT)) ||
      truth(compare(segment_id, py::int_(n), Py_GE))) {
    const std::string allowed =
        "a Segment ID of the segment table, an integer from 0 to " + std::to_string(n - 1);
    raise_argument(mod, "segment_id", allowed.c_str(), segment_id);
  }
  return segments[match_id[segment_id]];
}

// Positions of all rows (training and test) whose value of the segment's feature lies in the
// segment's range.
py::object get_segment_data_idx(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object segment = segment_of(mod, self, a["segment_id"]);
  py::object range = segment["group_range"];
  py::object feature = segment["feature"];
  py::object j = py::list(self.attr("feature_names")).attr("index")(feature);
  py::object values = self.attr("data_dict")["x"][py::make_tuple(full_slice(), j)];

  py::object mask;
  if (length_of(range) == 1) {
    mask = compare(values, range[py::int_(0)], Py_EQ);
  } else {
    const bool closed = py::object(segment["upper_bound"]).equal(py::str("]"));
    mask = in_interval(values, range[py::int_(0)], range[py::int_(1)], closed);
  }
  return positions(mod, mask);
}

// The rows of the segment in the pipeline's data set: every column, training and test rows
// alike, under the data set's own row labels.
py::object segment_rows(const Module&, const Args& a) {
  py::object self = a.self();
  py::object members = self.attr("_get_segment_data_idx")(a["segment_id"]);
  return self.attr("pipeline").attr("dataset").attr("data_init").attr("iloc")[members];
}

// A deep copy of the data dictionary whose "train_idx" and "test_idx" hold only the segment's
// rows (ascending); KovaError when the segment has no training row or no test row.
py::object segment_data_dict(const Module& mod, const py::object& self,
                             const py::object& segment_id) {
  py::object members = self.attr("_get_segment_data_idx")(segment_id);
  py::object copy = mod["deepcopy"](self.attr("data_dict"));
  py::object intersect = mod["np"].attr("intersect1d");
  for (const char* key : {"train_idx", "test_idx"}) copy[key] = intersect(copy[key], members);
  if (py::len(copy["train_idx"]) == 0 || py::len(copy["test_idx"]) == 0) {
    raise(mod["KovaError"], kNotDiagnosable);
  }
  return copy;
}

py::object accuracy(const Module& mod, const Args& a) {
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

py::object accuracy_table(const Module& mod, const Args& a) {
  py::object self = a.self();
  self.attr("_accuracy")(py::arg("segment_id") = a["segment_id"]);
  py::object diagnoser = self.attr("segment_accuracy_obj");
  py::object out = diagnoser.attr("display_table")(diagnoser.attr("get_result")());
  return mod["TestResult"](py::arg("data") = out);
}

py::object accuracy_residual(const Module& mod, const Args& a) {
  py::object self = a.self();
  check_figsize(mod, a["figsize"]);
  self.attr("_accuracy")(py::arg("segment_id") = a["segment_id"]);
  py::object scaler = scaler_for(self, a["original_scale"]);
  py::object diagnoser = self.attr("segment_accuracy_obj");
  py::object residual = diagnoser.attr("get_residual")(py::arg("feature_name") = a["show_feature"],
                                                       py::arg("use_test") = a["use_test"]);
  py::object fig = diagnoser.attr("plot_residual")(residual, py::arg("scaler") = scaler,
                                                   py::arg("figsize") = a["figsize"]);
  py::object points = residual.attr("value")["data"];
  py::object table =
      frame_of_columns(mod, str_list({"x", "Residual"}), {points["x"], points["residual"]});
  return mod["TestResult"](py::arg("figure") = fig, py::arg("data") = table);
}

// The weak-spot settings; "category_levels" (last) only when the pipeline names the levels of
// its categorical features (see named_levels), so that slices read as names instead of codes.
py::dict weakspot_settings(const py::object& self, const Args& a) {
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
  py::object levels = named_levels(self);
  if (!levels.is_none()) params["category_levels"] = levels;
  return params;
}

py::object weakspot(const Module& mod, const Args& a) {
  py::object self = a.self();
  check_threshold(mod, a["threshold"]);
  check_figsize(mod, a["figsize"]);
  py::dict segment_data = segment_data_dict(mod, self, a["segment_id"]);
  py::object weakspot_obj = mod["WeakSpot"](**weakspot_settings(self, a));
  weakspot_obj.attr("fit")(**segment_data);
  py::object scaler = scaler_for(self, a["original_scale"]);
  py::object marginal = weakspot_obj.attr("get_marginal")();
  py::object fig = weakspot_obj.attr("plot_marginal")(marginal, py::arg("scaler") = scaler,
                                                      py::arg("figsize") = a["figsize"]);
  py::object out = weakspot_obj.attr("get_result")().attr("value")["data"];
  return mod["TestResult"](py::arg("figure") = fig, py::arg("data") = out);
}

// The per-feature distances: "Features" and the distance column, rounded to 4 decimals.
py::object distance_table(const Module& mod, const py::object& value,
                          const py::object& distance_metric) {
  py::object np = mod["np"];
  py::object distances =
      np.attr("ravel")(value[distance_metric]).attr("astype")(builtin_type(&PyFloat_Type));
  return frame_of_columns(mod, make_list({py::str("Features"), distance_metric}),
                          {value["features"], np.attr("round")(distances, 4)});
}

// The curves of the test: one block per element of "x", numbered in "Group" when there are
// several.
py::object curve_table(const Module& mod, const py::object& value, const py::object& show_feature) {
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

py::object distribution_shift(const Module& mod, const Args& a) {
  py::object self = a.self();
  check_figsize(mod, a["figsize"]);
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

}  // namespace

void register_reports(ClassBuilder& c, const Module&) {
  c.def("_get_segment_data_idx", {"self", "segment_id"}, get_segment_data_idx,
        "Return the positions of all rows that belong to the segment of a Segment ID.");
  c.def("segment_rows", {"self", "segment_id"}, segment_rows,
        "Return the rows of the segment of a Segment ID from the pipeline's data set (all\n"
        "columns, training and test rows, the data set's row labels).");
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
}

}  // namespace kova::trelliso
