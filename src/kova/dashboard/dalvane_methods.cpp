// The "Method" tab of the outlier-detection page: the method list with settings buttons, and
// training of the ticked methods through the service.
#include <utility>

#include "dalvane_parts.hpp"

namespace kova::dalvane {
namespace {

// Method key -> {configuration key -> parameter value} from the linked parameter widgets.
py::dict parameter_config(const Module& mod, const py::object& self) {
  py::object api = self.attr("data_quality_api");
  py::object info = self.attr("model_info_dict");
  py::object param_render = mod["param_render"];
  py::dict config;
  for (auto method : self.attr("config_compare").attr("items")()) {
    py::object key = method[py::int_(0)];
    py::dict values;
    config[key] = values;
    py::object feature_names = api.attr("dataset").attr("feature_names");
    for (auto link : method[py::int_(1)].attr("items")()) {
      py::object value = info[key][py::str("parameter")][link[py::int_(1)]].attr("value");
      values[link[py::int_(0)]] =
          param_render(key, link[py::int_(0)], value, py::arg("flis") = feature_names);
    }
  }
  return config;
}

// Trains one method inside the hidden output; the service records a failure under the tuning
// name (and forgets it when that name is trained successfully later).
void train_method(const py::object& self, const py::object& estimator, const py::object& name,
                  const py::object& mute) {
  py::object api = self.attr("data_quality_api");
  muted(mute, [&] {
    try {
      api.attr("fit_get_method")(py::arg("method") = estimator, py::arg("model_name") = name,
                                 py::arg("dataset") = self.attr("dataset_type"));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      api.attr("record_failed_training")(name);
    }
  });
}

// The final message: every failed method the service knows of, or that all went well.
void report_training(const Module& mod, const py::object& api) {
  py::object failed = api.attr("training_failed_list");
  if (truth(failed)) {
    py::object text = py::str("Method ") + py::str(failed) + py::str(" Running Failed");
    show(mod, notification(mod, text, "error"));
  } else {
    show(mod, notification(mod, py::str("Method Running Done"), "info"));
  }
}

// "RUN": trains every ticked method with the parameters of its panel, one after the other.
py::object train_data_f(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object api = self.attr("data_quality_api");
  py::object train_cap_out = a["train_cap_out"];
  py::object prog_out = a["prog_out"];
  inside(train_cap_out, [&] { clear(mod); });

  py::object info = self.attr("model_info_dict");
  py::list model_lis(self.attr("model_lis"));
  py::list to_train;
  for (py::handle key : model_lis) {
    if (truth(info[key][py::str("check")].attr("value"))) to_train.append(key);
  }
  api.attr("model_list") = to_train;

  py::ssize_t c = 0;
  py::object progress =
      with_class(mod["widgets"].attr("IntProgress")(
                     py::arg("min") = 0, py::arg("max") = py::len(to_train),
                     py::arg("description") = "", py::arg("style") = initial_style()),
                 "progress-train");
  progress.attr("value") = c;
  inside(prog_out, [&] { show(mod, progress); });

  py::dict config = parameter_config(mod, self);
  api.attr("model_config") = api.attr("model_config_setting")(config);
  py::list name_list;
  for (py::handle key : info) name_list.append(info[key][py::str("tuning_name")].attr("value"));
  py::object model_dict = api.attr("model_prepare")();

  // Tuning names and method keys are paired by position (the service keeps both in one order).
  for (size_t i = 0; i < model_lis.size(); ++i) {
    py::object m_name = name_list[i];
    py::object key = model_lis[i];
    if (!contains(model_dict, key)) continue;
    ++c;
    progress.attr("description") = py::str("Training {}:").format(m_name);
    train_method(self, model_dict[key][py::str("estimator")], m_name, a["train_out_mute"]);
    progress.attr("value") = c;
  }
  inside(train_cap_out, [&] {
    clear(mod);
    report_training(mod, api);
  });
  inside(prog_out, [&] { clear(mod); });
  return py::none();
}

py::object train_register_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::object train_leaderboard_out = new_output(mod);
  py::object train_cap_out = new_output(mod);
  py::object prog_out = new_output(mod);
  py::object train_out_mute = new_output(mod);
  py::object train = closure(mod, "train_register_panel", "train_data_f",
                             {"self", "train_cap_out", "prog_out", "train_out_mute", "b"},
                             train_data_f, {self, train_cap_out, prog_out, train_out_mute},
                             "Train every ticked method with the parameters of its panel.");
  py::object train_button = with_class(
      widgets.attr("Button")(py::arg("description") = "RUN", py::arg("button_style") = "danger",
                             py::arg("layout") = layout(mod, {{"width", "40%"}})),
      "pbtn");
  train_button.attr("on_click")(train);
  py::object run_button =
      widgets.attr("HBox")(make_list({train_button}),
                           py::arg("layout") = layout(mod, {{"display", "flex"},
                                                            {"flex_flow", "row"},
                                                            {"align_items", "center"},
                                                            {"justify_content", "space-between"},
                                                            {"width", "100%"}}));
  py::object train_out_panel =
      widgets.attr("VBox")(make_list({train_leaderboard_out, prog_out, train_cap_out}));
  return py::make_tuple(run_button, train_out_panel);
}

// ------------------------------------------------------- model setting and configuration

// A method's settings button: opens its parameter panel, or closes it when it is open.
py::object toggle_parameter_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object model_name = a["model_name"];
  py::object config_output = a["config_output"];
  if (equal(self.attr("last_but"), model_name)) {
    inside(config_output, [&] {
      self.attr("last_but") = 0;
      clear(mod);
    });
    return py::none();
  }
  self.attr("last_but") = model_name;
  inside(config_output, [&] {
    clear(mod);
    show(mod, self.attr("model_info_dict")[model_name][py::str("parameter_panel")]);
  });
  return py::none();
}

py::object define_click(const Module& mod, const py::object& self, const py::object& config_output,
                        const py::object& model_name) {
  return closure(mod, "model_setting_panel.<locals>.define_click", "f",
                 {"self", "config_output", "model_name", "b"}, toggle_parameter_panel,
                 {self, config_output, model_name},
                 "Show this method's parameter panel, or close it when it is shown.");
}

// Puts the panel's own heading and tuning-name label on a method's parameter panel.
void relabel(const py::object& parameter_panel) {
  py::object zero = py::int_(0);
  py::object name_row = parameter_panel.attr("children")[py::int_(1)];
  name_row.attr("children")[zero].attr("children")[zero].attr("children")[zero].attr("value") =
      "Method name:";
  parameter_panel.attr("children")[zero].attr("value") =
      "<h4 style='margin: 10px 0px;'>Customize Model</h4>";
}

// One row of the method list: tick box and settings button; the widgets go into `entry`.
py::object method_row(const Module& mod, const py::object& self, const py::object& key,
                      const py::dict& entry) {
  py::object widgets = mod["widgets"];
  py::object check = widgets.attr("Checkbox")(
      py::arg("value") = true, py::arg("description") = self.attr("model_name_dict")[key],
      py::arg("indent") = false, py::arg("layout") = layout(mod, {{"width", "100%"}}));
  entry["check"] = check;
  // The Font Awesome cog; ipywidgets 8 names icons without the "fa-" prefix.
  py::object button = widgets.attr("Button")(
      py::arg("description") = "",
      py::arg("layout") = layout(mod, {{"width", "35px"}, {"height", "25px"}}),
      py::arg("button_style") = "danger", py::arg("icon") = "cog");
  with_class(button, "pbtn");
  button.attr("on_click")(self.attr("click_dict")[key]);
  entry["button"] = button;
  py::object row_layout = layout(
      mod,
      {{"display", "flex"}, {"flex_flow", "row"}, {"align_items", "center"}, {"width", "100%"}});
  py::object box = widgets.attr("HBox")(make_list({check, button}), py::arg("layout") = row_layout);
  with_class(box, "list-item");
  entry["box"] = box;
  return box;
}

py::object model_setting_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object config_output = a["config_output"];
  self.attr("last_but") = 0;
  py::list rows;
  for (auto method : self.attr("model_item").attr("items")()) {
    py::object key = method[py::int_(0)];
    py::dict entry;
    self.attr("model_info_dict")[key] = entry;
    py::object panel =
        mod["ModelParameterPanel"](self.attr("model_name_dict")[key], method[py::int_(1)]);
    entry["tuning_name"] = panel.attr("model_tuning_name");
    entry["parameter"] = panel.attr("model_config");
    py::object parameter_panel = panel.attr("parameter_panel");
    entry["parameter_panel"] = parameter_panel;
    relabel(parameter_panel);
    self.attr("click_dict")[key] = define_click(mod, self, config_output, key);
    rows.append(method_row(mod, self, key, entry));
  }
  py::object list =
      mod["widgets"].attr("Box")(rows, py::arg("layout") = layout(mod, {{"display", "flex"},
                                                                        {"flex_flow", "column"},
                                                                        {"align_items", "center"},
                                                                        {"width", "99%"}}));
  return with_class(list, "list");
}

// (first, second) = pair, with the interpreter's messages for a wrong number of values.
std::pair<py::object, py::object> unpack_pair(const py::object& pair) {
  py::tuple values(pair);
  if (values.size() != 2) {
    PyErr_Format(PyExc_ValueError,
                 values.size() < 2 ? "not enough values to unpack (expected 2, got %zd)"
                                   : "too many values to unpack (expected 2)",
                 static_cast<Py_ssize_t>(values.size()));
    throw py::error_already_set();
  }
  return {values[0], values[1]};
}

py::object method_config_panel(const Module& mod, const Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::object config_output = new_output(mod);
  py::object model_box = self.attr("model_setting_panel")(config_output);
  auto [train_but, train_out_panel] = unpack_pair(self.attr("train_register_panel")());
  py::object title = html(mod, "<h4 style='margin: 10px 0px;'>Choose Method</h4>");
  py::object left = widgets.attr("Box")(
      make_list({title, model_box, train_but}),
      py::arg("layout") =
          layout(mod, {{"display", "flex"}, {"flex_flow", "column"}, {"width", "50%"}}));
  py::object right =
      with_class(widgets.attr("Box")(
                     make_list({config_output}),
                     py::arg("layout") = layout(
                         mod, {{"display", "flex"}, {"flex_flow", "column"}, {"width", "48%"}})),
                 "fix-config-from-overflow");
  const char* content_width = equal(self.attr("platform"), py::str("colab")) ? "80%" : "99%";
  py::object model_config_box =
      widgets.attr("Box")(make_list({left, right}),
                          py::arg("layout") = layout(mod, {{"display", "flex"},
                                                           {"flex_flow", "row"},
                                                           {"justify_content", "space-between"},
                                                           {"width", content_width}}));
  return vertical(mod,
                  {model_config_box, mod["KovaWidget"].attr("margin_top")("20px"), train_out_panel},
                  "100%");
}

}  // namespace

void define_method_pages(ClassBuilder& panel) {
  panel.def("train_register_panel", {"self"}, train_register_panel,
            "The \"RUN\" row and the training outputs, as (run_button, train_out_panel).");
  panel.def("model_setting_panel", {"self", "config_output"}, model_setting_panel,
            "The method list (tick box and settings button per method); settings buttons show\n"
            "the method's parameter panel in config_output. Records each method's widgets in\n"
            "model_info_dict.");
  panel.def("method_config_panel", {"self"}, method_config_panel,
            "The \"Method\" tab: method list, parameter panels and training.");
}

}  // namespace kova::dalvane
