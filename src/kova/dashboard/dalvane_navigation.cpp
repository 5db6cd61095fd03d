// The pages that choose other pages: the outlier-detection page with its three cached tabs, and
// the dashboard's top page with the check type (and data part).
#include <string>

#include "dalvane_parts.hpp"

namespace kova::dalvane {
namespace {

const char* const kSubPages[] = {"Method", "Visualization", "Comparison"};

py::object build_sub_page(const Module& mod, const py::object& self, const char* name) {
  const std::string page(name);
  if (page == "Method") return self.attr("method_config_panel")();
  if (page == "Visualization") return self.attr("visualization_panel")();
  if (page == "Comparison") return self.attr("comparison_panel")();
  kova::raise(mod["KovaError"], "Unsupported page");
}

// Shows the pressed tab's sub-page; the two pages listing trained methods are rebuilt first when
// the number of trained methods changed since they were built.
py::object show_tab(const Module& mod, const Args& a) {
  py::object self = a.self();
  const py::int_ trained(py::len(self.attr("data_quality_api").attr("custom_model_dict")));
  if (!equal(self.attr("cache_length"), trained)) {
    self.attr("cache_length") = trained;
    self.attr("cache")[py::str("Visualization")] = self.attr("visualization_panel")();
    self.attr("cache")[py::str("Comparison")] = self.attr("comparison_panel")();
  }
  py::object box = mod["widgets"].attr("Box")(make_list({self.attr("cache")[a["toggle"]]}));
  show(mod, with_class(box, "inner-padding"));
  return py::none();
}

py::object od_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::list names;
  for (const char* name : kSubPages) names.append(name);
  py::object toggle = widgets.attr("ToggleButtons")(
      py::arg("options") = names, py::arg("description") = "", py::arg("button_style") = "",
      py::arg("disabled") = false, py::arg("layout") = layout(mod, {{"width", "100%"}}));
  self.attr("cache_length") = 0;
  self.attr("cache") = py::dict();
  for (const char* name : kSubPages) self.attr("cache")[name] = build_sub_page(mod, self, name);
  py::object callback = closure(mod, "od_panel", "show_tab", {"self", "toggle"}, show_tab, {self},
                                "Show the sub-page of the pressed tab.");
  py::object tab_output = interactive_output(mod, callback, {{"toggle", toggle}});
  return widgets.attr("VBox")(make_list({toggle, tab_output}),
                              py::arg("layout") = layout(mod, {{"overflow", "hidden"}}));
}

// ---------------------------------------------------------------------- train-all page

// The page of a check type, marked as a card and shown in the current output.
void show_check_page(const Module& mod, const py::object& self, const py::object& method) {
  py::dict builders;
  builders["Integrity Check"] = "data_integrity_panel";
  builders["Outlier Detection"] = "od_panel";
  builders["Train Test Drift"] = "drift_test_panel";
  py::object page = self.attr(builders[method])();
  show(mod, with_class(page, "card"));
}

py::object check_page_on_part(const Module& mod, const Args& a) {
  py::object self = a.self();
  self.attr("dataset_type") = a["dataset"];
  show_check_page(mod, self, a["method"]);
  return py::none();
}

py::object check_page(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object method = a["method"];
  if (equal(method, py::str("Outlier Detection")) && !truth(self.attr("support_dataset"))) {
    show(mod, mod["KovaWidget"].attr("notification")(
                  py::arg("text") = "Need to run \"data_prepare\" first.",
                  py::arg("signal_type") = "error", py::arg("highcode_mode") = false));
    return py::none();
  }
  show_check_page(mod, self, method);
  return py::none();
}

py::object choice_dropdown(const Module& mod, const py::list& options, const char* value) {
  return mod["widgets"].attr("Dropdown")(
      py::arg("options") = options, py::arg("value") = value, py::arg("disabled") = false,
      py::arg("style") = initial_style(), py::arg("layout") = layout(mod, {{"width", "auto"}}));
}

py::object train_all_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::object check_type_widget =
      choice_dropdown(mod, str_list({"Integrity Check", "Outlier Detection", "Train Test Drift"}),
                      "Integrity Check");
  py::object check_type_label = html(mod, "Check Type:");
  const char* page = "train_all_panel";
  py::object setting_widget;
  py::object model_explain_show;
  if (truth(self.attr("support_dataset"))) {
    py::object dataset_widget = choice_dropdown(mod, str_list({"all", "train", "test"}), "all");
    py::object dataset_label = html(mod, "Dataset:");
    setting_widget = mod["col_align_input_template"](
        py::arg("cols_elements") =
            make_list({make_list({dataset_label}), make_list({dataset_widget}),
                       mod["KovaWidget"].attr("margin_right"), make_list({check_type_label}),
                       make_list({check_type_widget})}),
        py::arg("cols_width") = str_list({"100px", "20%", "10px", "110px", "20%"}));
    py::object callback =
        closure(mod, page, "data_quality", {"self", "method", "dataset"}, check_page_on_part,
                {self}, "Show the page of the check type on the chosen data part.");
    model_explain_show = interactive_output(
        mod, callback, {{"method", check_type_widget}, {"dataset", dataset_widget}});
  } else {
    setting_widget = mod["col_align_input_template"](
        py::arg("cols_elements") =
            make_list({make_list({check_type_label}), make_list({check_type_widget})}),
        py::arg("cols_width") = str_list({"120px", "20%"}));
    py::object callback = closure(mod, page, "data_quality", {"self", "method"}, check_page, {self},
                                  "Show the page of the check type.");
    model_explain_show = interactive_output(mod, callback, {{"method", check_type_widget}});
  }
  py::object data_quality_all =
      widgets.attr("VBox")(make_list({setting_widget, model_explain_show}));
  return with_class(data_quality_all, "card-with-tab");
}

}  // namespace

void define_navigation(ClassBuilder& panel) {
  panel.def("od_panel", {"self"}, od_panel,
            "The outlier-detection page: tabs \"Method\", \"Visualization\", \"Comparison\".");
  panel.def("train_all_panel", {"self"}, train_all_panel,
            "The dashboard's top page: check type (and data part) and the page of the check.");
}

}  // namespace kova::dalvane
