// The segment table: every segment scored with the chosen metric, ranked, optionally restricted
// to one feature and numbered; its Segment ID -> segment key map; its display.
#include "trelliso_parts.hpp"

namespace kova::trelliso {
namespace {

const char* const kNoBinning = "No binning for this feature";
// A categorical segment spanning more levels than this names the first ones and the count.
constexpr Py_ssize_t kNamedLevels = 5;
// Rows of the table shown by segment_table.
constexpr int kShownRows = 10;

// The mean score of the metric on every segment's test rows. The segment scorer takes the
// model's output the metric needs (probabilities, decision scores or labels) once, and gives
// NaN to a segment where the metric is undefined.
py::object get_all_segments_metric(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object metric = a["metric"];
  std::vector<py::object> scoring =
      unpack(mod["get_scoring_metric"](metric, py::arg("average") = false), 5);
  self.attr("score_sign") = scoring[1];
  py::dict metric_dict;
  self.attr("metric_dict") = metric_dict;

  py::object segments = self.attr("result_dict");
  if (!truth(segments)) return py::none();
  py::object score = mod["segment_scorer"](metric, scoring[2], scoring[3], self.attr("estimator"),
                                           self.attr("data_dict"));
  for (py::handle item : segments.attr("items")()) {
    metric_dict[item[py::int_(0)]] = score(item[py::int_(1)]["idx"]);
  }
  return py::none();
}

// The level names of a categorical feature, or None.
py::object levels_of(const py::object& levels, const py::handle& feature) {
  if (levels.is_none() || !levels.contains(feature)) return py::none();
  return levels[feature];
}

// The level names whose codes 0, 1, ... lie in [lower, upper) (or [lower, upper] when closed),
// joined by ", "; beyond kNamedLevels the first names and the count.
std::string level_names(const py::object& levels, const py::handle& lower, const py::handle& upper,
                        bool closed) {
  std::vector<std::string> names;
  for (Py_ssize_t code = 0, n = py::len(levels); code < n; ++code) {
    const py::int_ c(code);
    if (truth(compare(lower, c, Py_LE)) && truth(compare(c, upper, closed ? Py_LE : Py_LT))) {
      names.push_back(py::str(levels[c]));
    }
  }
  std::string text;
  for (size_t i = 0; i < names.size() && i < static_cast<size_t>(kNamedLevels); ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  if (names.size() > static_cast<size_t>(kNamedLevels)) {
    text += ", ... (" + std::to_string(names.size()) + " levels)";
  }
  return text;
}

// The level a one-element range names, when its element is a whole code of the levels.
py::object level_of_code(const py::object& levels, const py::handle& code) {
  if (!is_finite_number(code)) return py::none();
  const double value = PyFloat_AsDouble(code.ptr());
  if (value < 0 || value >= static_cast<double>(py::len(levels)) || value != std::floor(value)) {
    return py::none();
  }
  return py::str(levels[py::int_(static_cast<Py_ssize_t>(value))]);
}

// The "Segment" text. A two-element range: "[lower, upper" + upper_bound (bounds rounded to 4
// decimals), or for a categorical feature the names of the levels whose codes it spans. Any
// other range: its first element, or that code's level name.
py::object segment_text(const Module& mod, const py::object& levels, const py::handle& range,
                        const py::handle& upper_bound) {
  const bool closed = py::str(upper_bound).equal(py::str("]"));
  if (length_of(range) != 2) {
    py::object first = range[py::int_(0)];
    py::object name = levels.is_none() ? py::none() : level_of_code(levels, first);
    return name.is_none() ? first : name;
  }
  if (!levels.is_none()) {
    return py::str(level_names(levels, range[py::int_(0)], range[py::int_(1)], closed));
  }
  py::object round = mod["np"].attr("round");
  const std::string lower = py::str(round(range[py::int_(0)], 4));
  const std::string upper = py::str(round(range[py::int_(1)], 4));
  return py::str("[" + lower + ", " + upper + std::string(py::str(upper_bound)));
}

py::object get_segment_table(const Module& mod, const Args& a) {
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

  const bool descending = truth(compare(self.attr("score_sign"), py::int_(-1), Py_EQ));
  table = table.attr("sort_values")(metric, py::arg("ascending") = !descending);
  if (!segment_feature.is_none()) {
    py::object filter_idx =
        compare(table.attr("loc")[py::make_tuple(full_slice(), py::str("Feature"))],
                segment_feature, Py_EQ);
    if (truth(compare(builtin("sum")(filter_idx), py::int_(0), Py_EQ))) {
      raise(mod["KovaError"], kNoBinning);
    }
    table = table.attr("loc")[filter_idx];
  }

  py::list texts;
  py::object all_levels = named_levels(self);
  py::object features = table["Feature"].attr("tolist")();
  py::object ranges = table["Segment"].attr("tolist")();
  py::object bounds = table["upper_bound"].attr("tolist")();
  for (Py_ssize_t i = 0, n = py::len(ranges); i < n; ++i) {
    py::object levels = levels_of(all_levels, features[py::int_(i)]);
    texts.append(segment_text(mod, levels, ranges[py::int_(i)], bounds[py::int_(i)]));
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

// Whether the caller runs in a notebook kernel (which renders a styled table).
bool in_notebook() {
  py::object shell = py::module_::import("IPython").attr("get_ipython")();
  return !shell.is_none() && !py::getattr(shell, "kernel", py::none()).is_none();
}

// Shows the first rows of the table, a styled table with 9em cells in a notebook and the frame
// itself (as text) elsewhere; returns the whole table.
py::object segment_table(const Module& mod, const Args& a) {
  py::object table = a.self().attr("result_table");
  if (table.is_none()) raise(mod["KovaError"], kNoSegments);
  py::object first_rows =
      table.attr("iloc")[py::slice(py::none(), py::int_(kShownRows), py::none())].attr(
          "reset_index")(py::arg("drop") = true);
  if (in_notebook()) {
    mod["display"](first_rows.attr("style").attr("set_properties")(py::arg("width") = "9em"));
  } else {
    mod["display"](first_rows);
  }
  return mod["TestResult"](py::arg("data") = table);
}

}  // namespace

void register_table(ClassBuilder& c, const Module&) {
  c.def("_get_all_segments_metric", {"self", arg("metric") = py::none()}, get_all_segments_metric,
        "Set score_sign and metric_dict (segment key -> mean score, NaN where undefined).");
  c.def("_get_segment_table", {"self", "segment_feature", "metric"}, get_segment_table,
        "Build result_table (ranked, optionally one feature's segments) and match_id.");
  c.def("segment_table", {"self"}, segment_table,
        "Show the first 10 rows of the segment table (styled in a notebook, as text\n"
        "elsewhere); return TestResult(data=whole table).");
}

}  // namespace kova::trelliso
