// The "Visualization" and "Comparison" tabs of the outlier-detection page: charts of one trained
// method with outlier removal, and the t-SNE comparison of up to three.
#include "dalvane_parts.hpp"

namespace kova::dalvane {
namespace {

// Draws `chart` of the chosen method at the threshold, or clears it when none is chosen.
void draw_outlier_chart(const Module& mod, const Args& a, const char* chart) {
  py::object method = a["method"];
  if (equal(method, py::str(kSelectMethod))) {
    clear(mod);
    return;
  }
  py::object self = a.self();
  self.attr("data_quality_api")
      .attr("data_quality")(py::arg("show") = chart, py::arg("dataset") = self.attr("dataset_type"),
                            py::arg("method") = method, py::arg("threshold") = a["threshold"])
      .attr("show_message")();
}

py::object show_density(const Module& mod, const Args& a) {
  draw_outlier_chart(mod, a, "od_score_distribution");
  return py::none();
}

py::object show_marginal(const Module& mod, const Args& a) {
  draw_outlier_chart(mod, a, "od_marginal_outlier_distribution");
  return py::none();
}

// "Remove Outliers": removes the chosen method's outliers and reports how many were removed.
py::object apply_outlier_removal(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object method = a["trained_model"].attr("value");
  py::object cap_out = a["cap_out"];
  if (equal(method, py::str(kSelectMethod))) {
    inside(cap_out, [&] {
      clear(mod);
      show(mod, notification(mod, py::str("Please select method first"), "error"));
    });
    return py::none();
  }
  py::object api = self.attr("data_quality_api");
  api.attr("apply_model")(py::arg("model") = method,
                          py::arg("threshold") = a["threshold_widget"].attr("value"));
  inside(cap_out, [&] {
    clear(mod);
    const py::int_ removed(py::len(api.attr("dataset").attr("outlier_idx")));
    py::object text = py::str("{} Outliers has been {}d").format(removed, "remove");
    show(mod, notification(mod, text, "info"));
  });
  return py::none();
}

py::object visualization_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::object cap_out = new_output(mod);
  py::list trained = trained_methods(self.attr("data_quality_api"));
  py::object default_method = trained.empty() ? py::object(py::str(kSelectMethod)) : trained[0];
  py::object trained_model = method_dropdown(mod, trained, default_method, "Method Name:");
  py::object threshold_widget = threshold_box(mod, "Threshold:");

  const char* page = "visualization_panel";
  const std::vector<Param> chart_params = {"self", "method", "threshold"};
  py::object density = closure(mod, page, "show_density", chart_params, show_density, {self},
                               "Draw the outlier-score distribution of the chosen method.");
  py::object marginal = closure(mod, page, "show_marginal", chart_params, show_marginal, {self},
                                "Draw the marginal outlier distribution of the chosen method.");
  py::object outlier_distance = interactive_output(
      mod, density, {{"method", trained_model}, {"threshold", threshold_widget}});
  py::object outlier_detail = interactive_output(
      mod, marginal, {{"method", trained_model}, {"threshold", threshold_widget}});
  py::object distance_box = widgets.attr("Box")(
      make_list({outlier_distance}), py::arg("layout") = layout(mod, {{"width", "45%"}}));
  py::object detail_box = widgets.attr("Box")(make_list({outlier_detail}),
                                              py::arg("layout") = layout(mod, {{"width", "45%"}}));
  py::object outlier_output =
      widgets.attr("HBox")(make_list({distance_box, detail_box}),
                           py::arg("layout") = layout(mod, {{"justify_content", "space-around"}}));

  py::object apply_f =
      closure(mod, page, "apply_f", {"self", "trained_model", "threshold_widget", "cap_out", "b"},
              apply_outlier_removal, {self, trained_model, threshold_widget, cap_out},
              "Remove the outliers of the chosen method at the threshold.");
  py::object apply_button =
      with_class(widgets.attr("Button")(py::arg("description") = "Remove Outliers",
                                        py::arg("button_style") = "danger"),
                 "pbtn");
  apply_button.attr("on_click")(apply_f);
  py::object reg_box = widgets.attr("HBox")(
      make_list({trained_model, threshold_widget, apply_button}),
      py::arg("layout") = layout(
          mod,
          {{"align_items", "center"}, {"justify_content", "space-between"}, {"width", "60%"}}));
  py::object register_title = html(mod, "<h4 style='margin-top: 0px;'>Trained OD Method</h4>");
  return widgets.attr("VBox")(make_list({register_title, reg_box, outlier_output, cap_out}),
                              py::arg("layout") = layout(mod, {{"width", "100%"}}));
}

// ------------------------------------------------------------------------ comparison page

// "Compare": sends the chosen rows (method and threshold) to the service's t-SNE comparison.
py::object update_tsne(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::list models;
  py::list thresholds;
  const py::str none_chosen(kSelectMethod);
  for (py::handle row : a["rows"]) {
    py::object method = row[py::int_(0)].attr("value");
    if (equal(method, none_chosen)) continue;
    models.append(method);
    thresholds.append(row[py::int_(1)].attr("value"));
  }
  py::object caption_out = a["caption_out"];
  inside(caption_out, [&] {
    clear(mod);
    builtin("print")("Calculating t-SNE...");
  });
  // The caption goes once the comparison ends, whether it drew or failed.
  auto remove_caption = [&] { inside(caption_out, [&] { clear(mod); }); };
  try {
    inside(a["tsne_out"], [&] {
      clear(mod);
      self.attr("data_quality_api")
          .attr("data_quality")(py::arg("show") = "od_tsne_comparison",
                                py::arg("dataset") = self.attr("dataset_type"),
                                py::arg("method") = models, py::arg("threshold") = thresholds);
    });
  } catch (...) {
    remove_caption();
    throw;
  }
  remove_caption();
  return py::none();
}

py::object comparison_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::list trained = trained_methods(self.attr("data_quality_api"));
  py::object tsne_out = new_output(mod);
  py::object caption_out = new_output(mod);
  py::object title = html(mod, "<h4 style='margin-top: 0px;'>Methods Comparison</h4>");
  py::object method1_label = html(mod, "Method 1:");
  py::object method2_label = html(mod, "Method 2:");
  py::object method3_label = html(mod, "Method 3:");
  py::object threshold_label = html(mod, "Threshold:");
  py::object space = html(mod, "<p>Method 3:</p>");
  space.attr("layout").attr("visibility") = "hidden";

  const py::str none_chosen(kSelectMethod);
  py::object model1_drop = method_dropdown(mod, trained, none_chosen, nullptr);
  py::object model2_drop = method_dropdown(mod, trained, none_chosen, nullptr);
  py::object model3_drop = method_dropdown(mod, trained, none_chosen, nullptr);
  py::object threshold1 = threshold_box(mod, "");
  py::object threshold2 = threshold_box(mod, "");
  py::object threshold3 = threshold_box(mod, "");

  py::tuple rows = py::make_tuple(py::make_tuple(model1_drop, threshold1),
                                  py::make_tuple(model2_drop, threshold2),
                                  py::make_tuple(model3_drop, threshold3));
  py::object update = closure(mod, "comparison_panel", "update_tsne",
                              {"self", "rows", "caption_out", "tsne_out", "b"}, update_tsne,
                              {self, rows, caption_out, tsne_out},
                              "Compare the chosen methods' outliers with t-SNE.");
  py::object compare_but = with_class(
      // No side margins: with them the full-width button overflows its column, which then
      // shows a horizontal scroll bar.
      widgets.attr("Button")(
          py::arg("description") = "Compare", py::arg("button_style") = "danger",
          py::arg("layout") = layout(mod, {{"width", "100%"}, {"margin", "2px 0px"}})),
      "pbtn");
  compare_but.attr("on_click")(update);

  py::object kova_widget = mod["KovaWidget"];
  py::object label_left = vertical(mod, {method1_label, method2_label, method3_label}, "120px");
  py::object input_left = vertical(mod, {model1_drop, model2_drop, model3_drop}, "30%");
  py::object label_mid =
      vertical(mod, {threshold_label, threshold_label, threshold_label}, "120px");
  py::object input_mid = vertical(mod, {threshold1, threshold2, threshold3}, "30%");
  py::object label_right = vertical(mod, {space, space, compare_but}, "120px");
  py::object forms = widgets.attr("HBox")(
      make_list({label_left, input_left, kova_widget.attr("margin_right")("10px"), label_mid,
                 input_mid, kova_widget.attr("margin_right")("10px"), label_right}),
      py::arg("layout") = layout(mod, {{"width", "80%"}, {"overflow", "hidden"}}));
  return vertical(mod, {title, forms, caption_out, tsne_out}, "100%");
}

}  // namespace

void define_outlier_views(ClassBuilder& panel) {
  panel.def("visualization_panel", {"self"}, visualization_panel,
            "The \"Visualization\" tab: score and marginal outlier distributions of a trained\n"
            "method at a threshold, and the \"Remove Outliers\" button.");
  panel.def("comparison_panel", {"self"}, comparison_panel,
            "The \"Comparison\" tab: t-SNE comparison of up to three trained methods.");
}

}  // namespace kova::dalvane
