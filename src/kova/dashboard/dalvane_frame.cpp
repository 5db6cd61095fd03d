// The constructor of DataQualityPanel: the state all pages share.
#include "dalvane_parts.hpp"

namespace kova::dalvane {
namespace {

const char* const kStylesheet =
    "<link rel=\"stylesheet\" "
    "href=\"https://maxcdn.bootstrapcdn.com/font-awesome/4.7.0/css/font-awesome.min.css\"> ";

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

py::object init(const Module& mod, const Args& a) {
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

}  // namespace

void define_frame(ClassBuilder& panel) {
  panel.def("__init__",
            {"self", arg("platform") = py::none(), arg("data_quality_api") = py::none()}, init,
            "Read the service's methods and parameters, adapt the cell height to the platform and\n"
            "load the icon stylesheet into the notebook.");
}

}  // namespace kova::dalvane
