// Widget helpers shared by the pages of kova.dashboard.dalvane.
#include <string>
#include <utility>
#include <vector>

#include "dalvane_parts.hpp"

namespace kova::dalvane {

// widgets.Layout(**settings)
py::object layout(const Module& mod, Settings settings) {
  py::dict keywords;
  for (const auto& [key, value] : settings) keywords[key] = value;
  return mod["widgets"].attr("Layout")(**keywords);
}

py::dict initial_style() {
  py::dict style;
  style["description_width"] = "initial";
  return style;
}

py::object html(const Module& mod, const py::object& text) {
  return mod["widgets"].attr("HTML")(py::arg("value") = text);
}

py::object html(const Module& mod, const char* text) { return html(mod, py::str(text)); }

py::object with_class(const py::object& widget, const char* css_class) {
  widget.attr("add_class")(css_class);
  return widget;
}

py::object new_output(const Module& mod) { return mod["widgets"].attr("Output")(); }

void clear(const Module& mod) { mod["clear_output"](); }

void show(const Module& mod, const py::object& item) { mod["display"](item); }

bool equal(const py::handle& left, const py::handle& right) {
  return truth(steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

bool contains(const py::handle& container, const py::handle& item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

py::object notification(const Module& mod, const py::object& text, const char* signal) {
  return mod["KovaWidget"].attr("notification")(py::arg("text") = text,
                                                py::arg("signal_type") = signal);
}

// A callback defined in the page builder `page`: the function `body` named `name` (its qualified
// name says where it lives, as for a Python closure), with `bound` given as its first arguments.
py::object closure(const Module& mod, const char* page, const char* name, std::vector<Param> params,
                   Body body, std::initializer_list<py::object> bound, const char* doc) {
  const std::string owner = std::string("DataQualityPanel.") + page + ".<locals>";
  py::object function = mod.function(
      owner, name, std::move(params), [mod, body](const Args& a) { return body(mod, a); }, doc);
  py::list arguments;
  arguments.append(function);
  for (const py::object& value : bound) arguments.append(value);
  return py::module_::import("functools").attr("partial")(*arguments);
}

// widgets.interactive_output(callback, {name: control, ...})
py::object interactive_output(const Module& mod, const py::object& callback,
                              std::initializer_list<std::pair<const char*, py::object>> controls) {
  py::dict mapping;
  for (const auto& [name, control] : controls) mapping[name] = control;
  return mod["widgets"].attr("interactive_output")(callback, mapping);
}

// A drop-down of "Select Method" and the trained methods; `description` nullptr gives none.
py::object method_dropdown(const Module& mod, const py::list& trained, const py::object& value,
                           const char* description) {
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
py::object threshold_box(const Module& mod, const char* description) {
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

py::object vertical(const Module& mod, std::initializer_list<py::object> children,
                    const char* width) {
  return mod["widgets"].attr("VBox")(make_list(children),
                                     py::arg("layout") = layout(mod, {{"width", width}}));
}

}  // namespace kova::dalvane
