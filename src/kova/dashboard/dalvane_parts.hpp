// The parts of kova.dashboard.dalvane: widget helpers shared by the pages (dalvane_widgets.cpp)
// and one define_* entry per group of pages, each adding its methods to DataQualityPanel.
//
// Callbacks are C++ functions bound to the objects they close over with functools.partial: the
// widget trees hold their callbacks and the callbacks hold the panel and its widgets, and a
// partial lets the garbage collector see those references, so closed pages can be collected.
#pragma once

#include <initializer_list>
#include <kova/binding.hpp>
#include <utility>
#include <vector>

namespace kova::dalvane {

// The no-choice value of every method drop-down.
inline const char* const kSelectMethod = "Select Method";

using Settings = std::initializer_list<std::pair<const char*, const char*>>;

// widgets.Layout(**settings)
py::object layout(const Module& mod, Settings settings);
// {"description_width": "initial"}
py::dict initial_style();
py::object html(const Module& mod, const py::object& text);
py::object html(const Module& mod, const char* text);
py::object with_class(const py::object& widget, const char* css_class);
py::object new_output(const Module& mod);
// widgets.VBox(children, layout=Layout(width=width))
py::object vertical(const Module& mod, std::initializer_list<py::object> children,
                    const char* width);
void clear(const Module& mod);
void show(const Module& mod, const py::object& item);
bool equal(const py::handle& left, const py::handle& right);
bool contains(const py::handle& container, const py::handle& item);
// KovaWidget.notification(text=text, signal_type=signal)
py::object notification(const Module& mod, const py::object& text, const char* signal);

// Runs `body` inside `output` as `with output:` does: an error is handed to the output's __exit__,
// which may swallow it (inside a notebook kernel it shows the error in the output instead).
template <class Body>
void inside(const py::object& output, Body&& body) {
  output.attr("__enter__")();
  try {
    body();
  } catch (py::error_already_set& e) {
    if (!truth(output.attr("__exit__")(e.type(), e.value(), e.trace()))) throw;
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

using Body = py::object (*)(const Module&, const Args&);

// A callback defined in the page builder `page`: the function `body` named `name` (its qualified
// name says where it lives, as for a Python closure), with `bound` given as its first arguments.
py::object closure(const Module& mod, const char* page, const char* name, std::vector<Param> params,
                   Body body, std::initializer_list<py::object> bound, const char* doc);

// widgets.interactive_output(callback, {name: control, ...})
py::object interactive_output(const Module& mod, const py::object& callback,
                              std::initializer_list<std::pair<const char*, py::object>> controls);

// A drop-down of "Select Method" and the trained methods; `description` nullptr gives none.
py::object method_dropdown(const Module& mod, const py::list& trained, const py::object& value,
                           const char* description);
// A threshold box: 0.999 in [0, 1] by steps of 0.0001.
py::object threshold_box(const Module& mod, const char* description);
// The trained methods whose training has not failed, in the order the service registered them.
py::list trained_methods(const py::object& api);

// The constructor (dalvane_frame.cpp).
void define_frame(ClassBuilder& panel);
// The "Visualization" and "Comparison" tabs (dalvane_outlier_views.cpp).
void define_outlier_views(ClassBuilder& panel);
// Training, the method list and the "Method" tab (dalvane_methods.cpp).
void define_method_pages(ClassBuilder& panel);
// The data integrity and drift pages (dalvane_checks.cpp).
void define_check_pages(ClassBuilder& panel);
// The outlier-detection page with its tabs and the top page (dalvane_navigation.cpp).
void define_navigation(ClassBuilder& panel);

}  // namespace kova::dalvane
