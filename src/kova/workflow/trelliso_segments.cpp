// Segment computation: the segments of every feature, from the binning class ("uniform",
// "quantile") or from the effect functions of a boosted regressor fitted to the model's absolute
// test residuals ("auto"), kept while their parameter record stays the same.
#include <algorithm>

#include "trelliso_parts.hpp"

namespace kova::trelliso {
namespace {

// The regressor's default number of bins per feature, and the most it takes. A categorical
// feature needs one bin per level.
constexpr long kDefaultBins = 256;
constexpr long kMostBins = 65536;

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
void add_binned_segments(const Module& mod, const py::object& self, const Args& a,
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
      const bool closed = truth(compare(label, last_label, Py_EQ));
      result[segment_key(feature, label)] = segment_record(
          py::reinterpret_borrow<py::object>(feature), py::reinterpret_borrow<py::object>(label),
          range_single, closed, nullptr, idx);
    }
  }
}

// |y - p| of the test rows as a column, with p the predicted probabilities when the data
// dictionary has them, else the predictions.
py::object absolute_test_residual(const Module& mod, const py::object& data_dict) {
  py::object test_idx = data_dict["test_idx"];
  py::object predicted = optional_entry(data_dict, "prediction_proba");
  if (predicted.is_none()) predicted = data_dict["prediction"];
  py::object np = mod["np"];
  py::object y = np.attr("reshape")(data_dict["y"][test_idx], py::make_tuple(-1, 1));
  py::object p = np.attr("reshape")(predicted[test_idx], py::make_tuple(-1, 1));
  return np.attr("abs")(y - p);
}

// The regressor's settings: those of every fit, and max_bins raised to the largest number of
// levels of a categorical feature among the test rows when that exceeds the default (each level
// needs a bin of its own). KovaError names a feature with more levels than the regressor takes.
py::dict regressor_settings(const Module& mod, const py::object& self, const py::object& x_test) {
  py::dict settings;
  settings["feature_names"] = self.attr("feature_names");
  settings["feature_types"] = self.attr("feature_types");
  settings["random_state"] = self.attr("random_state");
  py::object feature_types = py::list(self.attr("feature_types"));
  py::object feature_names = py::list(self.attr("feature_names"));
  long most_levels = 0;
  for (Py_ssize_t j = 0, n = py::len(feature_names); j < n; ++j) {
    if (!py::object(feature_types[py::int_(j)]).equal(py::str("categorical"))) continue;
    py::object column = x_test[py::make_tuple(full_slice(), py::int_(j))];
    const long levels = static_cast<long>(py::len(mod["np"].attr("unique")(column)));
    if (levels > kMostBins) {
      const std::string text =
          "segment_method \"auto\" takes categorical features of at most " +
          std::to_string(kMostBins) + " levels; feature " +
          std::string(py::repr(feature_names[py::int_(j)])) + " has " + std::to_string(levels) +
          " among the test rows. Use \"uniform\" or \"quantile\", or group its rare levels.";
      raise(mod["KovaError"], text.c_str());
    }
    most_levels = std::max(most_levels, levels);
  }
  if (most_levels > kDefaultBins) settings["max_bins"] = py::int_(most_levels);
  return settings;
}

// Segments of every feature from the one-dimensional effects of a boosted regressor fitted to
// the absolute residuals: one per interval, or one covering all test rows for a feature the
// regressor never split on.
void add_effect_segments(const Module& mod, const py::object& self, const py::object& x_test,
                         py::dict& result) {
  py::object data_dict = self.attr("data_dict");
  py::object test_idx = data_dict["test_idx"];
  py::object np = mod["np"];
  py::object xgb1 = mod["XGB1Regressor"](**regressor_settings(mod, self, x_test));
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
    const Py_ssize_t n_values = length_of(values);
    const Py_ssize_t n_splits = length_of(splits);
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

py::object calculate_all_segments(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object data_dict = self.attr("data_dict");
  py::object x_test = data_dict["x"][data_dict["test_idx"]];
  check_finite_features(mod, self, x_test, "the test rows");
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
py::object get_all_segments(const Module&, const Args& a) {
  py::object self = a.self();
  py::dict record;
  record["segment_method"] = a["segment_method"];
  record["segment_bins"] = a["segment_bins"];
  record["random_state"] = self.attr("random_state");
  const bool changed = !py::hasattr(self, "result_dict") ||
                       (py::hasattr(self, "segment_params") &&
                        truth(compare(self.attr("segment_params"), record, Py_NE)));
  if (!changed) return py::none();
  py::object segments = self.attr("_calculate_all_segments")(
      py::arg("segment_method") = a["segment_method"], py::arg("segment_bins") = a["segment_bins"]);
  self.attr("result_dict") = segments;
  self.attr("segment_params") = record;
  self.attr("result_table") = py::none();
  self.attr("match_id") = py::none();
  return py::none();
}

}  // namespace

void register_segments(ClassBuilder& c, const Module&) {
  c.def("_calculate_all_segments", {"self", "segment_method", "segment_bins"},
        calculate_all_segments,
        "Return a new dictionary segment key -> segment record of the test rows.");
  c.def("_get_all_segments", {"self", "segment_method", "segment_bins"}, get_all_segments,
        "Recompute result_dict when (segment_method, segment_bins, random_state) changed.");
}

}  // namespace kova::trelliso
