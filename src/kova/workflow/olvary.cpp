// kova.workflow.olvary: the exploratory analysis API.
//
// EdaAPI keeps a float working copy of a dataset's features, validates a plot request, packs it
// into a request record and hands the record to a plot class of kova.data.eda. Collaborators (the
// plot classes, TestResult, the argument checkers, KovaError) are module globals read at call
// time, so tests and users can replace them.
#include <initializer_list>
#include <kova/binding.hpp>
#include <string>

using kova::arg;
using kova::builtin_type;
using kova::make_list;

namespace {

const char* const kModuleDoc =
    "Exploratory plots of a data set: one feature, a pair of features or a correlation view.";

const char* const kClassDoc =
    "Entry point for exploratory plots of a dataset.\n\n"
    "EdaAPI(dataset)\n\n"
    "dataset: a data container with `data_init` (DataFrame), `included_feature` (list of\n"
    "    column names) and `meta_info` (dict). The included features are copied into the\n"
    "    working table `data`, where every column that converts to float is converted; the\n"
    "    dataset's own table is left as it is. `meta` is the dataset's `meta_info`.";

const char* const kBiFeaturesMessage =
    "bi_features is expected to have two different feature names.";

py::tuple default_figsize() { return py::make_tuple(6, 6); }

// ------------------------------------------------------------------------------ constructor

// Replaces, column by column, each column of `data` by its float conversion; a column whose
// conversion fails (words, mixed values) is left unchanged. Columns are replaced by position so
// that repeated column names never overwrite one another.
void convert_columns_to_float(const py::object& data) {
  const py::object to_float = builtin_type(&PyFloat_Type);
  const py::object all_rows = kova::full_slice();
  const size_t n_columns = py::len(data.attr("columns"));
  for (size_t i = 0; i < n_columns; ++i) {
    const py::int_ position(i);
    try {
      py::object column = data.attr("iloc")[py::make_tuple(all_rows, position)];
      data.attr("isetitem")(position, column.attr("astype")(to_float));
    } catch (py::error_already_set& e) {
      // Any error of the conversion leaves the column as it is; interrupts still propagate.
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
}

py::object init(const kova::Args& a) {
  py::object self = a.self();
  py::object dataset = a["dataset"];
  self.attr("dataset") = dataset;
  // Selecting a list of columns makes a new table, so the dataset's own frame stays untouched.
  py::object data_init = dataset.attr("data_init");
  py::object data = data_init[dataset.attr("included_feature")];
  convert_columns_to_float(data);
  self.attr("data") = data;
  self.attr("meta") = dataset.attr("meta_info");
  return py::none();
}

// ------------------------------------------------------------------------------------- eda

// The validation table: view name -> rows [value, name, allowed, required(, members)].
py::dict argument_valid_dict(const kova::Args& a, const py::object& feature_list) {
  const py::object list_type = builtin_type(&PyList_Type);
  const py::bool_ required(true), optional(false);
  py::dict table;
  table["general"] = make_list(
      {make_list({a["figsize"], py::str("figsize"), builtin_type(&PyTuple_Type), optional})});
  table["univariate"] =
      make_list({make_list({a["uni_feature"], py::str("uni_feature"), feature_list, required})});
  table["bivariate"] = make_list(
      {make_list({a["bi_features"], py::str("bi_features"), list_type, required, feature_list})});
  const py::list multi_types =
      make_list({py::str("correlation_heatmap"), py::str("correlation_graph")});
  table["multivariate"] =
      make_list({make_list({a["multi_type"], py::str("multi_type"), multi_types, optional}),
                 make_list({a["multi_features"], py::str("multi_features"), list_type, optional,
                            feature_list})});
  return table;
}

// The distinct names of `bi_features` in order of first appearance; exactly two are required.
py::list two_distinct_features(const kova::Module& mod, const py::object& bi_features) {
  if (py::len(py::set(bi_features)) != 2) kova::raise(mod["KovaError"], kBiFeaturesMessage);
  py::list ordered;
  py::set seen;
  for (py::handle name : bi_features) {
    if (seen.contains(name)) continue;
    seen.add(name);
    ordered.append(name);
  }
  return ordered;
}

py::object draw_view(const kova::Args& a, const py::object& show, const py::object& bi_features) {
  py::object self = a.self();
  py::object figsize = a["figsize"];
  if (show.equal(py::str("univariate"))) {
    return self.attr("univariate_plot")(a["uni_feature"], py::arg("figsize") = figsize);
  }
  if (show.equal(py::str("bivariate"))) {
    return self.attr("bivariate_plot")(bi_features[py::int_(0)], bi_features[py::int_(1)],
                                       py::arg("figsize") = figsize);
  }
  if (show.equal(py::str("multivariate"))) {
    return self.attr("multivariate_plot")(a["multi_type"], a["multi_features"],
                                          py::arg("figsize") = figsize);
  }
  // Only reachable when the view check lets an unknown name through.
  PyErr_Format(PyExc_ValueError, "eda() has no plot for show=%R", show.ptr());
  throw py::error_already_set();
}

py::object eda(const kova::Module& mod, const kova::Args& a) {
  py::object show = a["show"];
  py::object feature_list = a.self().attr("dataset").attr("included_feature");
  py::dict table = argument_valid_dict(a, feature_list);
  const py::list views =
      make_list({py::str("univariate"), py::str("bivariate"), py::str("multivariate")});
  mod["parameter_check"](show, py::str("show"), views, py::bool_(true));
  mod["render_validation"](table["general"]);
  mod["render_validation"](table[show]);

  py::object bi_features = a["bi_features"];
  if (show.equal(py::str("bivariate"))) bi_features = two_distinct_features(mod, bi_features);
  py::object fig = draw_view(a, show, bi_features);
  return mod["TestResult"](py::arg("figure") = fig, py::arg("data") = py::none());
}

// --------------------------------------------------------------------------- request records

// {"key": key, "input": input, "value": {"data": data, "meta": self.meta}}
py::dict request_record(const char* key, const py::dict& input, const py::object& data,
                        const py::object& self) {
  py::dict value;
  value["data"] = data;
  value["meta"] = self.attr("meta");
  py::dict record;
  record["key"] = key;
  record["input"] = input;
  record["value"] = value;
  return record;
}

// Builds the request record of `view` from the named arguments and `data`, and draws it with
// the class's plot_<view>.
py::object plot_request(const kova::Args& a, const std::string& view,
                        std::initializer_list<const char*> inputs, const py::object& data) {
  py::dict input;
  for (const char* name : inputs) input[name] = a[name];
  py::dict record = request_record(view.c_str(), input, data, a.self());
  return a.self().attr(("plot_" + view).c_str())(record, py::arg("figsize") = a["figsize"]);
}

py::object univariate_plot(const kova::Args& a) {
  return plot_request(a, "univariate", {"feature_0", "log_scale"}, a.self().attr("data"));
}

py::object bivariate_plot(const kova::Args& a) {
  return plot_request(a, "bivariate", {"feature_0", "feature_1", "log_scale"},
                      a.self().attr("data"));
}

py::object multivariate_plot(const kova::Args& a) {
  py::object multi_features = a["multi_features"];
  py::object data = a.self().attr("data");
  if (!multi_features.is_none()) data = data[multi_features];
  return plot_request(a, "multivariate", {"multi_type"}, data);
}

// ------------------------------------------------------------------------------ plot calls

enum class View { univariate, bivariate, multivariate };

// Draws a request record with the plot class of its view and returns the figure.
py::object draw_record(const kova::Module& mod, const kova::Args& a, View view) {
  py::object record = a["eda_result"];
  py::object data = record["value"]["data"];
  py::object meta = record["value"]["meta"];
  py::object input = record["input"];
  py::object figsize = a["figsize"];
  switch (view) {
    case View::univariate:
      return mod["UnivariatePlot"](data, meta)
          .attr("plot")(input["feature_0"], py::arg("figsize") = figsize);
    case View::bivariate:
      return mod["BivariatePlot"](data, meta)
          .attr("plot")(make_list({input["feature_0"], input["feature_1"]}),
                        py::arg("figsize") = figsize);
    case View::multivariate:
      return mod["MultivariatePlot"](data, py::arg("meta_info") = meta)
          .attr("plot")(py::arg("plot_type") = input["multi_type"], py::arg("figsize") = figsize);
  }
  throw std::logic_error("kova: unknown plot view");
}

py::object plot_univariate(const kova::Module& mod, const kova::Args& a) {
  return draw_record(mod, a, View::univariate);
}

py::object plot_bivariate(const kova::Module& mod, const kova::Args& a) {
  return draw_record(mod, a, View::bivariate);
}

py::object plot_multivariate(const kova::Module& mod, const kova::Args& a) {
  return draw_record(mod, a, View::multivariate);
}

// ------------------------------------------------------------------------------------ class

void define_eda_api(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "EdaAPI", kClassDoc);
  c.def("__init__", {"self", arg("dataset") = py::none()}, init,
        "Hold the dataset and build the float working copy of its included features.");
  c.def_decorated(
      "eda", mod["safe_execute"],
      {"self", arg("show").str() = py::none(), arg("uni_feature").str() = py::none(),
       arg("bi_features").list() = py::none(), arg("multi_features").list() = py::none(),
       arg("multi_type").str() = "correlation_heatmap", arg("figsize") = default_figsize()},
      eda,
      "Draw one exploratory view and return TestResult(figure=fig, data=None).\n\n"
      "show: \"univariate\" (uni_feature: one feature name), \"bivariate\" (bi_features: a list\n"
      "    of two different feature names; repeats are dropped) or \"multivariate\"\n"
      "    (multi_features: a list of feature names, all by default; multi_type:\n"
      "    \"correlation_heatmap\" or \"correlation_graph\").\n"
      "figsize: tuple (width, height) in inches.");
  c.def("univariate_plot",
        {"self", "feature_0", arg("log_scale") = false, arg("figsize") = default_figsize()},
        univariate_plot, "Plot the distribution of one feature of the working table.");
  c.def("bivariate_plot",
        {"self", "feature_0", "feature_1", arg("log_scale") = false,
         arg("figsize") = default_figsize()},
        bivariate_plot, "Plot the relation of two features of the working table.");
  c.def("multivariate_plot",
        {"self", "multi_type", "multi_features", arg("figsize") = default_figsize()},
        multivariate_plot,
        "Plot a correlation view of the listed features (all features when None).");
  c.def_static("plot_univariate", {"eda_result", arg("figsize") = default_figsize()},
               plot_univariate,
               "Draw a univariate request record with UnivariatePlot and return the figure.");
  c.def_static("plot_bivariate", {"eda_result", arg("figsize") = default_figsize()}, plot_bivariate,
               "Draw a bivariate request record with BivariatePlot and return the figure.");
  c.def_static("plot_multivariate", {"eda_result", arg("figsize") = default_figsize()},
               plot_multivariate,
               "Draw a multivariate request record with MultivariatePlot and return the figure.");
  c.create();
}

}  // namespace

PYBIND11_MODULE(olvary, m) {
  m.doc() = kModuleDoc;
  kova::Module mod(m);
  mod.import_from("data.eda", {"UnivariatePlot", "BivariatePlot", "MultivariatePlot"}, 2);
  mod.import_from("utils", {"TestResult", "render_validation", "parameter_check", "safe_execute"},
                  2);
  mod.import_from("exceptions", {"KovaError"}, 2);
  define_eda_api(mod);
  mod.set("__test__", py::dict());
}
