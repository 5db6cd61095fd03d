// kova.dashboard.dalvane: the data-quality panel of the notebook dashboard.
//
// DataQualityPanel builds ipywidgets pages (integrity checks, train/test drift, outlier detection)
// over a data-quality service object and wires their callbacks to it; the service computes and
// draws everything. Collaborators (widgets, display, clear_output, HTML, the dashboard components,
// KovaWidget, KovaError, param_render) are module globals read at call time. The pages live in
// the dalvane_*.cpp files, one group each (dalvane_parts.hpp).
#include "dalvane_parts.hpp"

namespace {

const char* const kClassDoc =
    "The data-quality page of the notebook dashboard.\n\n"
    "DataQualityPanel(platform=None, data_quality_api=None)\n\n"
    "platform: the notebook platform; \"colab\" narrows the method configuration page.\n"
    "data_quality_api: the data-quality service: it owns the data set, the outlier-detection\n"
    "    methods and their results and draws every chart; the panel builds the widget pages\n"
    "    and wires their callbacks to it.\n\n"
    "Display train_all_panel() to show the dashboard.";

}  // namespace

PYBIND11_MODULE(dalvane, m) {
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
  // Methods in the order a reader meets the pages: frame, outlier views, method pages, checks,
  // navigation.
  kova::ClassBuilder panel(mod, "DataQualityPanel", kClassDoc);
  kova::dalvane::define_frame(panel);
  kova::dalvane::define_outlier_views(panel);
  kova::dalvane::define_method_pages(panel);
  kova::dalvane::define_check_pages(panel);
  kova::dalvane::define_navigation(panel);
  panel.create();
  mod.set("__test__", py::dict());
}
