// kova.dashboard.dalvane: the data-quality panel of the notebook dashboard.
//
// DataQualityPanel builds ipywidgets pages (integrity checks, train/test drift, outlier detection)
// over a data-quality service object and wires their callbacks to it; the service computes and
// draws everything. Collaborators (widgets, display, clear_output, HTML, the dashboard components,
// KovaWidget, KovaError, param_render) are module globals read at call time.
//
// Callbacks are C++ functions bound to the objects they close over with functools.partial: the
// widget trees hold their callbacks and the callbacks hold the panel and its widgets, and a
// partial lets the garbage collector see those references, so closed pages can be collected.
#include <kova/binding.hpp>
#include <string>
#include <utility>
#include <vector>

using kova::arg;
using kova::make_list;
using kova::str_list;

namespace {

const char* const kSelectMethod = "Select Method";
const char* const kStylesheet =
    "<link rel=\"stylesheet\" "
    "href=\"https://maxcdn.bootstrapcdn.com/font-awesome/4.7.0/css/font-awesome.min.css\"> ";

// ------------------------------------------------------------------------ small helpers

using Settings = std::initializer_list<std::pair<const char*, const char*>>;

// widgets.Layout(**settings)
py::object layout(const kova::Module& mod, Settings settings) {
  py::dict keywords;
  for (const auto& [key, value] : settings) keywords[key] = value;
  return mod["widgets"].attr("Layout")(**keywords);
}

py::dict initial_style() {
  py::dict style;
  style["description_width"] = "initial";
  return style;
}

py::object html(const kova::Module& mod, const py::object& text) {
  return mod["widgets"].attr("HTML")(py::arg("value") = text);
}

py::object html(const kova::Module& mod, const char* text) { return html(mod, py::str(text)); }

py::object with_class(const py::object& widget, const char* css_class) {
  widget.attr("add_class")(css_class);
  return widget;
}

py::object new_output(const kova::Module& mod) { return mod["widgets"].attr("Output")(); }

void clear(const kova::Module& mod) { mod["clear_output"](); }

void show(const kova::Module& mod, const py::object& item) { mod["display"](item); }

bool equal(const py::handle& left, const py::handle& right) {
  return kova::truth(kova::steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

bool contains(const py::handle& container, const py::handle& item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

py::object notification(const kova::Module& mod, const py::object& text, const char* signal) {
  return mod["KovaWidget"].attr("notification")(py::arg("text") = text,
                                                py::arg("signal_type") = signal);
}

// Runs `body` inside `output` as `with output:` does: an error is handed to the output's __exit__,
// which may swallow it (inside a notebook kernel it shows the error in the output instead).
template <class Body>
void inside(const py::object& output, Body&& body) {
  output.attr("__enter__")();
  try {
    body();
  } catch (py::error_already_set& e) {
    if (!kova::truth(output.attr("__exit__")(e.type(), e.value(), e.trace()))) throw;
    return;
  }
  output.attr("__exit__")(py::none(), py::none(), py::none());
}

// Runs `body` inside an output that is never shown: the output is left as after a normal exit and
// an error always reaches the caller (a hidden output must not hide a failure).
template <class Body>
void muted(const py::object& output, Body&& body) {
  output.attr("__enter__")();
  try {
    body();
  } catch (...) {
    output.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  output.attr("__exit__")(py::none(), py::none(), py::none());
}

using Body = py::object (*)(const kova::Module&, const kova::Args&);

// A callback defined in the page builder `page`: the function `body` named `name` (its qualified
// name says where it lives, as for a Python closure), with `bound` given as its first arguments.
py::object closure(const kova::Module& mod, const char* page, const char* name,
                   std::vector<kova::Param> params, Body body,
                   std::initializer_list<py::object> bound, const char* doc) {
  const std::string owner = std::string("DataQualityPanel.") + page + ".<locals>";
  py::object function = mod.function(
      owner, name, std::move(params), [mod, body](const kova::Args& a) { return body(mod, a); },
      doc);
  py::list arguments;
  arguments.append(function);
  for (const py::object& value : bound) arguments.append(value);
  return py::module_::import("functools").attr("partial")(*arguments);
}

// widgets.interactive_output(callback, {name: control, ...})
py::object interactive_output(const kova::Module& mod, const py::object& callback,
                              std::initializer_list<std::pair<const char*, py::object>> controls) {
  py::dict mapping;
  for (const auto& [name, control] : controls) mapping[name] = control;
  return mod["widgets"].attr("interactive_output")(callback, mapping);
}

// A drop-down of "Select Method" and the trained methods; `description` nullptr gives none.
py::object method_dropdown(const kova::Module& mod, const py::list& trained,
                           const py::object& value, const char* description) {
  py::list options = str_list({kSelectMethod});
  for (py::handle name : trained) options.append(name);
  py::dict settings;
  settings["options"] = options;
  settings["value"] = value;
  if (description != nullptr) settings["description"] = description;
  settings["disabled"] = false;
  settings["style"] = initial_style();
  settings["layout"] = layout(mod, {{"width", "auto"}});
  return mod["widgets"].attr("Dropdown")(**settings);
}

// A threshold box: 0.999 in [0, 1] by steps of 0.0001.
py::object threshold_box(const kova::Module& mod, const char* description) {
  return mod["widgets"].attr("BoundedFloatText")(
      py::arg("value") = 0.999, py::arg("min") = 0, py::arg("max") = 1, py::arg("step") = 0.0001,
      py::arg("description") = description, py::arg("disabled") = false,
      py::arg("layout") = layout(mod, {{"width", "auto"}}));
}

// The methods offered by the visualization and comparison pages: the trained ones whose training
// has not failed, in the order the service registered them.
py::list trained_methods(const py::object& api) {
  const py::set failed(api.attr("training_failed_list"));
  py::list names;
  for (py::handle name : api.attr("custom_model_dict").attr("keys")()) {
    if (!failed.contains(name)) names.append(name);
  }
  return names;
}

// --------------------------------------------------------------------------- constructor

// Whether the data set has a train/test split; any error of the lookup counts as "no".
bool has_split(const py::object& dataset) {
  try {
    py::getattr(dataset, "train_idx");
    return true;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;
  }
}

// Method key -> {configuration key -> widget key} of the parameters fed by a widget.
py::dict linked_parameters(const py::object& model_item) {
  py::dict compare;
  const py::str unlinked("");
  for (auto method : model_item.attr("items")()) {
    py::dict links;
    compare[method[py::int_(0)]] = links;
    for (auto parameter : method[py::int_(1)].attr("items")()) {
      py::object widget_key = parameter[py::int_(1)][py::int_(2)];
      if (!equal(widget_key, unlinked)) links[parameter[py::int_(0)]] = widget_key;
    }
  }
  return compare;
}

py::object init(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object api = a["data_quality_api"];
  py::object platform = a["platform"];
  self.attr("support_dataset") = py::bool_(has_split(api.attr("dataset")));
  self.attr("data_quality_api") = api;
  py::object model_names = api.attr("model_list");
  self.attr("model_name_dict") = model_names;
  self.attr("model_lis") = py::list(model_names.attr("keys")());
  self.attr("platform") = platform;
  py::object model_item = api.attr("model_item");
  self.attr("model_item") = model_item;
  self.attr("model_info_dict") = py::dict();
  self.attr("click_dict") = py::dict();
  self.attr("dataset_type") = "all";
  self.attr("config_compare") = linked_parameters(model_item);
  mod["expand_colab_cell_height"](platform);
  show(mod, mod["HTML"](kStylesheet));
  self.attr("cache") = py::none();
  self.attr("cache_length") = py::none();
  self.attr("last_but") = py::none();
  return py::none();
}

// ---------------------------------------------------------------------- visualization page

// Draws `chart` of the chosen method at the threshold, or clears it when none is chosen.
void draw_outlier_chart(const kova::Module& mod, const kova::Args& a, const char* chart) {
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

py::object show_density(const kova::Module& mod, const kova::Args& a) {
  draw_outlier_chart(mod, a, "od_score_distribution");
  return py::none();
}

py::object show_marginal(const kova::Module& mod, const kova::Args& a) {
  draw_outlier_chart(mod, a, "od_marginal_outlier_distribution");
  return py::none();
}

// "Remove Outliers": removes the chosen method's outliers and reports how many were removed.
py::object apply_outlier_removal(const kova::Module& mod, const kova::Args& a) {
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

py::object visualization_panel(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::object cap_out = new_output(mod);
  py::list trained = trained_methods(self.attr("data_quality_api"));
  py::object default_method = trained.empty() ? py::object(py::str(kSelectMethod)) : trained[0];
  py::object trained_model = method_dropdown(mod, trained, default_method, "Method Name:");
  py::object threshold_widget = threshold_box(mod, "Threshold:");

  const char* page = "visualization_panel";
  const std::vector<kova::Param> chart_params = {"self", "method", "threshold"};
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
py::object update_tsne(const kova::Module& mod, const kova::Args& a) {
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
    kova::builtin("print")("Calculating t-SNE...");
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

py::object vertical(const kova::Module& mod, std::initializer_list<py::object> children,
                    const char* width) {
  return mod["widgets"].attr("VBox")(make_list(children),
                                     py::arg("layout") = layout(mod, {{"width", width}}));
}

py::object comparison_panel(const kova::Module& mod, const kova::Args& a) {
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
      widgets.attr("Button")(py::arg("description") = "Compare", py::arg("button_style") = "danger",
                             py::arg("layout") = layout(mod, {{"width", "100%"}})),
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

// ------------------------------------------------------------------ train and register page

// Method key -> {configuration key -> parameter value} from the linked parameter widgets.
py::dict parameter_config(const kova::Module& mod, const py::object& self) {
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

// A method trained under `name` no longer counts as failed.
void forget_failure(const py::object& api, const py::object& name) {
  py::object failed = api.attr("training_failed_list");
  while (contains(failed, name)) failed.attr("remove")(name);
}

// Trains one method inside the hidden output; a failure is recorded under its tuning name.
void train_method(const py::object& self, const py::object& estimator, const py::object& name,
                  const py::object& mute) {
  py::object api = self.attr("data_quality_api");
  bool trained = false;
  muted(mute, [&] {
    try {
      api.attr("fit_get_method")(py::arg("method") = estimator, py::arg("model_name") = name,
                                 py::arg("dataset") = self.attr("dataset_type"));
      trained = true;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      api.attr("training_failed_list").attr("append")(name);
    }
  });
  if (trained) forget_failure(api, name);
}

void report_training(const kova::Module& mod, const py::object& api) {
  py::object failed = api.attr("training_failed_list");
  if (kova::truth(failed)) {
    py::object text = py::str("Method ") + py::str(failed) + py::str(" Running Failed");
    show(mod, notification(mod, text, "error"));
  } else {
    api.attr("training_failed_list") = py::list();
    show(mod, notification(mod, py::str("Method Running Done"), "info"));
  }
}

// "RUN": trains every ticked method with the parameters of its panel, one after the other.
py::object train_data_f(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object api = self.attr("data_quality_api");
  py::object train_cap_out = a["train_cap_out"];
  py::object prog_out = a["prog_out"];
  inside(train_cap_out, [&] { clear(mod); });

  py::object info = self.attr("model_info_dict");
  py::list model_lis(self.attr("model_lis"));
  py::list to_train;
  for (py::handle key : model_lis) {
    if (kova::truth(info[key][py::str("check")].attr("value"))) to_train.append(key);
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

py::object train_register_panel(const kova::Module& mod, const kova::Args& a) {
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
py::object toggle_parameter_panel(const kova::Module& mod, const kova::Args& a) {
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

py::object define_click(const kova::Module& mod, const py::object& self,
                        const py::object& config_output, const py::object& model_name) {
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
py::object method_row(const kova::Module& mod, const py::object& self, const py::object& key,
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

py::object model_setting_panel(const kova::Module& mod, const kova::Args& a) {
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

py::object method_config_panel(const kova::Module& mod, const kova::Args& a) {
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

// ------------------------------------------------------------------------ integrity page

py::object show_single_result(const kova::Module&, const kova::Args& a) {
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

py::object data_integrity_panel(const kova::Module& mod, const kova::Args& a) {
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

py::object show_drift_distance(const kova::Module&, const kova::Args& a) {
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

py::object drift_dropdown(const kova::Module& mod, const char* description, const py::list& options,
                          const char* value) {
  return mod["widgets"].attr("Dropdown")(
      py::arg("description") = description, py::arg("options") = options, py::arg("value") = value,
      py::arg("disabled") = false, py::arg("style") = initial_style(),
      py::arg("layout") = layout(mod, {{"width", "15%"}}));
}

py::object half_column(const kova::Module& mod, const py::object& child) {
  return mod["widgets"].attr("Box")(
      make_list({child}),
      py::arg("layout") =
          layout(mod, {{"display", "flex"}, {"flex_flow", "column"}, {"width", "45%"}}));
}

py::object drift_test_panel(const kova::Module& mod, const kova::Args& a) {
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

// ---------------------------------------------------------------- outlier detection page

const char* const kSubPages[] = {"Method", "Visualization", "Comparison"};

py::object build_sub_page(const kova::Module& mod, const py::object& self, const char* name) {
  const std::string page(name);
  if (page == "Method") return self.attr("method_config_panel")();
  if (page == "Visualization") return self.attr("visualization_panel")();
  if (page == "Comparison") return self.attr("comparison_panel")();
  kova::raise(mod["KovaError"], "Unsupported page");
}

// Shows the pressed tab's sub-page; the two pages listing trained methods are rebuilt first when
// the number of trained methods changed since they were built.
py::object show_tab(const kova::Module& mod, const kova::Args& a) {
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

py::object od_panel(const kova::Module& mod, const kova::Args& a) {
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
void show_check_page(const kova::Module& mod, const py::object& self, const py::object& method) {
  py::dict builders;
  builders["Integrity Check"] = "data_integrity_panel";
  builders["Outlier Detection"] = "od_panel";
  builders["Train Test Drift"] = "drift_test_panel";
  py::object page = self.attr(builders[method])();
  show(mod, with_class(page, "card"));
}

py::object check_page_on_part(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  self.attr("dataset_type") = a["dataset"];
  show_check_page(mod, self, a["method"]);
  return py::none();
}

py::object check_page(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object method = a["method"];
  if (equal(method, py::str("Outlier Detection")) && !kova::truth(self.attr("support_dataset"))) {
    show(mod, mod["KovaWidget"].attr("notification")(
                  py::arg("text") = "Need to run \"data_prepare\" first.",
                  py::arg("signal_type") = "error", py::arg("highcode_mode") = false));
    return py::none();
  }
  show_check_page(mod, self, method);
  return py::none();
}

py::object choice_dropdown(const kova::Module& mod, const py::list& options, const char* value) {
  return mod["widgets"].attr("Dropdown")(
      py::arg("options") = options, py::arg("value") = value, py::arg("disabled") = false,
      py::arg("style") = initial_style(), py::arg("layout") = layout(mod, {{"width", "auto"}}));
}

py::object train_all_panel(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object widgets = mod["widgets"];
  py::object check_type_widget =
      choice_dropdown(mod, str_list({"Integrity Check", "Outlier Detection", "Train Test Drift"}),
                      "Integrity Check");
  py::object check_type_label = html(mod, "Check Type:");
  const char* page = "train_all_panel";
  py::object setting_widget;
  py::object model_explain_show;
  if (kova::truth(self.attr("support_dataset"))) {
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

// ------------------------------------------------------------------------------- class

const char* const kClassDoc =
    "The data-quality page of the notebook dashboard.\n\n"
    "DataQualityPanel(platform=None, data_quality_api=None)\n\n"
    "platform: the notebook platform; \"colab\" narrows the method configuration page.\n"
    "data_quality_api: the data-quality service: it owns the data set, the outlier-detection\n"
    "    methods and their results and draws every chart; the panel builds the widget pages\n"
    "    and wires their callbacks to it.\n\n"
    "Display train_all_panel() to show the dashboard.";

void define_panel(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "DataQualityPanel", kClassDoc);
  c.def("__init__", {"self", arg("platform") = py::none(), arg("data_quality_api") = py::none()},
        init,
        "Read the service's methods and parameters, adapt the cell height to the platform and\n"
        "load the icon stylesheet into the notebook.");
  c.def("visualization_panel", {"self"}, visualization_panel,
        "The \"Visualization\" tab: score and marginal outlier distributions of a trained\n"
        "method at a threshold, and the \"Remove Outliers\" button.");
  c.def("comparison_panel", {"self"}, comparison_panel,
        "The \"Comparison\" tab: t-SNE comparison of up to three trained methods.");
  c.def("train_register_panel", {"self"}, train_register_panel,
        "The \"RUN\" row and the training outputs, as (run_button, train_out_panel).");
  c.def("model_setting_panel", {"self", "config_output"}, model_setting_panel,
        "The method list (tick box and settings button per method); settings buttons show the\n"
        "method's parameter panel in config_output. Records each method's widgets in\n"
        "model_info_dict.");
  c.def("method_config_panel", {"self"}, method_config_panel,
        "The \"Method\" tab: method list, parameter panels and training.");
  c.def("data_integrity_panel", {"self"}, data_integrity_panel,
        "The data integrity page: one integrity check at a time, chosen from a drop-down.");
  c.def("drift_test_panel", {"self"}, drift_test_panel,
        "The train/test drift page: distance view per feature and metric, and the summary.");
  c.def("od_panel", {"self"}, od_panel,
        "The outlier-detection page: tabs \"Method\", \"Visualization\", \"Comparison\".");
  c.def("train_all_panel", {"self"}, train_all_panel,
        "The dashboard's top page: check type (and data part) and the page of the check.");
  c.create();
}

}  // namespace

PYBIND11_MODULE(dalvane, m) {
  kova::register_function_type(m);
  m.doc() =
      "The data-quality panel of the notebook dashboard: integrity checks, train/test drift and "
      "outlier detection.";
  kova::Module mod(m);
  mod.import_as("ipywidgets", "widgets");
  mod.import_from("IPython.display", {"display", "clear_output", "HTML"});
  mod.import_from("utils", {"expand_colab_cell_height"}, 1);
  mod.import_from("component", {"ModelParameterPanel", "col_align_input_template"}, 1);
  mod.import_from("utils", {"KovaWidget", "KovaError"}, 2);
  mod.import_from("config", {"param_render"}, 2);
  define_panel(mod);
  mod.set("__test__", py::dict());
}
