// The data integrity page and the train/test drift page.
#include "dalvane_parts.hpp"

namespace kova::dalvane {
namespace {

py::object show_single_result(const Module&, const Args& a) {
  py::dict check_keys;
  check_keys["Single Column Check"] = "integrity_single_column_check";
  check_keys["Duplicated Check"] = "integrity_duplicated_samples";
  check_keys["Highly Correlated Check"] = "integrity_highly_correlated_features";
  py::object method = a["method"];
  py::object key = check_keys.contains(method) ? py::object(check_keys[method]) : method;
  py::object self = a.self();
  self.attr("data_quality_api")
      .attr("data_quality")(py::arg("show") = key, py::arg("dataset") = self.attr("dataset_type"))
      .attr("show_message")();
  return py::none();
}

py::object data_integrity_panel(const Module& mod, const Args& a) {
  py::object widgets = mod["widgets"];
  py::object callback = closure(mod, "data_integrity_panel", "show_single_result",
                                {"self", "method"}, show_single_result, {a.self()},
                                "Run the chosen integrity check and show its report.");
  py::object dropdown = widgets.attr("Dropdown")(
      py::arg("options") =
          str_list({"Single Column Check", "Duplicated Check", "Highly Correlated Check"}),
      py::arg("value") = "Single Column Check", py::arg("disabled") = false,
      py::arg("style") = initial_style(), py::arg("layout") = layout(mod, {{"width", "auto"}}));
  py::object result = interactive_output(mod, callback, {{"method", dropdown}});
  py::object chooser = widgets.attr("HBox")(make_list({html(mod, "Type: "), dropdown}));
  py::object report = widgets.attr("VBox")(
      make_list({result}), py::arg("layout") = layout(mod, {{"max_height", "1000px"}}));
  py::object column = widgets.attr("VBox")(make_list({chooser, report}),
                                           py::arg("layout") = layout(mod, {{"width", "90%"}}));
  return widgets.attr("HBox")(
      make_list({column}), py::arg("layout") = layout(mod, {{"justify_content", "space-between"}}));
}

// --------------------------------------------------------------------------- drift page

py::object show_drift_distance(const Module&, const Args& a) {
  py::object feature = a["show_feature"];
  if (equal(feature, py::str("All"))) feature = py::none();
  py::object self = a.self();
  self.attr("data_quality_api")
      .attr("data_quality")(
          py::arg("show") = "drift_test_distance", py::arg("dataset") = self.attr("dataset_type"),
          py::arg("distance_metric") = a["distance_metric"], py::arg("show_feature") = feature)
      .attr("show_message")();
  return py::none();
}

py::object drift_dropdown(const Module& mod, const char* description, const py::list& options,
                          const char* value) {
  return mod["widgets"].attr("Dropdown")(
      py::arg("description") = description, py::arg("options") = options, py::arg("value") = value,
      py::arg("disabled") = false, py::arg("style") = initial_style(),
      py::arg("layout") = layout(mod, {{"width", "15%"}}));
}

py::object half_column(const Module& mod, const py::object& child) {
  return mod["widgets"].attr("Box")(
      make_list({child}),
      py::arg("layout") =
          layout(mod, {{"display", "flex"}, {"flex_flow", "column"}, {"width", "45%"}}));
}

py::object drift_test_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::object api = self.attr("data_quality_api");
  py::object title = html(mod, "<h4 style='margin: 10px 0px;'>Train Test Drift Test</h4>");
  py::object drift_info_output = new_output(mod);
  py::object mute = new_output(mod);
  py::object callback = closure(
      mod, "drift_test_panel", "show", {"self", "show_feature", "distance_metric"},
      show_drift_distance, {self}, "Draw the drift distance of the chosen feature and metric.");
  py::list features = str_list({"All"});
  for (py::handle name : api.attr("dataset").attr("feature_names")) features.append(name);
  py::object feature_dropdown = drift_dropdown(mod, "Feature:", features, "All");
  py::object metric_dropdown =
      drift_dropdown(mod, "Metric:", str_list({"PSI", "WD1", "KS"}), "PSI");

  // The summary is computed in a hidden output, so whatever the computation prints stays hidden.
  py::object info;
  muted(mute, [&] {
    info = api.attr("data_quality")(py::arg("show") = "drift_test_info",
                                    py::arg("dataset") = self.attr("dataset_type"));
  });
  py::object drift_distance_output = interactive_output(
      mod, callback, {{"show_feature", feature_dropdown}, {"distance_metric", metric_dropdown}});
  inside(drift_info_output, [&] {
    clear(mod);
    info.attr("show_message")();
    info.attr("show_data")();
  });

  py::object kova_widget = mod["KovaWidget"];
  py::object input_widgets = widgets.attr("HBox")(
      make_list({feature_dropdown, kova_widget.attr("margin_right")("10px"), metric_dropdown}),
      py::arg("layout") = layout(mod, {{"width", "100%"},
                                       {"display", "flex"},
                                       {"flex_flow", "row"},
                                       {"align_items", "flex-start"}}));
  py::object spacer = kova_widget.attr("margin_top")("10px");
  py::object views = widgets.attr("Box")(
      make_list({half_column(mod, drift_distance_output), half_column(mod, drift_info_output)}),
      py::arg("layout") = layout(mod, {{"display", "flex"},
                                       {"flex_flow", "row"},
                                       {"justify_content", "space-between"},
                                       {"width", "90%"}}));
  return vertical(mod, {title, input_widgets, spacer, views}, "100%");
}

}  // namespace

void define_check_pages(ClassBuilder& panel) {
  panel.def("data_integrity_panel", {"self"}, data_integrity_panel,
            "The data integrity page: one integrity check at a time, chosen from a drop-down.");
  panel.def("drift_test_panel", {"self"}, drift_test_panel,
            "The train/test drift page: distance view per feature and metric, and the summary.");
}

}  // namespace kova::dalvane
