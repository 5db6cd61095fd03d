// kova.models.morbeck: hyper-parameter search over scikit-learn estimators.
//
// KovaGridSearchCV and KovaRandomizedSearchCV derive from scikit-learn's GridSearchCV and
// RandomizedSearchCV. They add metrics chosen by name from the toolbox's METRICS table, a single
// hold-out split drawn at fit time when no cv is given, a ranked result table and a plot of the
// validation scores against one hyper-parameter. Apart from the constructors the two classes share
// every member: one implementation below serves both. Collaborators (pd, np, sns, plt, the
// scikit-learn functions, METRICS) are module globals read at call time.
#include <kova/binding.hpp>
#include <string>

using kova::arg;

namespace {

// Instance attribute that remembers the split fit drew itself (the very list stored in `cv`), so
// that a cv the caller gave is never redrawn. Not a constructor parameter: get_params ignores it.
const char* const kDrawnSplit = "_kova_drawn_cv";

// The class that defines the running method (its owner in this module), found in
// type(self).__mro__ as Python's zero-argument super() would find it: not through the module
// global, which a caller may have replaced (by a subclass, whose methods would then lead back
// here without end).
py::object defining_class(const kova::Module& mod, const kova::Args& a) {
  const std::string& owner = a.signature().owner();
  const py::str module_name(mod.name());
  const py::str qualname(owner);
  const py::object self = a.self();
  for (py::handle cls : py::type::handle_of(self).attr("__mro__")) {
    if (py::getattr(cls, "__module__", py::none()).equal(module_name) &&
        py::getattr(cls, "__qualname__", py::none()).equal(qualname)) {
      return py::reinterpret_borrow<py::object>(cls);
    }
  }
  return mod[owner.c_str()];  // self is not an instance: super() below raises its TypeError
}

// super(owner, self): the base class's view of self, seen from the class that defines the method
// (so a user subclass that overrides a method and calls super() does not loop).
py::object base_view(const kova::Module& mod, const kova::Args& a) {
  return kova::builtin("super")(defining_class(mod, a), a.self());
}

// Python's `left == right` (element-wise for arrays and pandas objects).
py::object equals(const py::handle& left, const py::handle& right) {
  return kova::steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
}

// ---------------------------------------------------------------------------- constructor

py::object scorer_by_name(const kova::Module& mod, const py::handle& name) {
  py::object metrics = mod["METRICS"];
  if (!metrics.contains(name)) kova::raise(mod["KovaError"], "Not supported metric");
  return metrics[name];
}

// The scoring dictionary (metric name -> scorer) built from what the caller gave.
py::object normalise_scoring(const kova::Module& mod, const py::object& scoring,
                             const py::object& estimator) {
  if (scoring.is_none()) {
    py::dict by_name;
    if (kova::truth(mod["is_regressor"](estimator))) {
      by_name["R2"] = mod["make_scorer"](mod["r2_score"]);
    } else {
      // The table's AUC scorer ranks by predicted probabilities or decision values: an AUC of
      // hard labels would only measure one point of the ROC curve.
      by_name["AUC"] = scorer_by_name(mod, py::str("AUC"));
    }
    return std::move(by_name);
  }
  if (PyList_Check(scoring.ptr())) {
    py::dict by_name;  // a repeated name keeps the position of its first occurrence
    for (py::handle name : scoring) by_name[name] = scorer_by_name(mod, name);
    return std::move(by_name);
  }
  if (PyUnicode_Check(scoring.ptr())) {
    py::dict by_name;
    by_name[scoring] = scorer_by_name(mod, scoring);
    return std::move(by_name);
  }
  return scoring;  // a ready dictionary of scorers, a tuple, a callable: the base's business
}

// Normalises scoring, calls the base constructor with every parameter but test_ratio (in
// signature order), stores test_ratio as given (a fraction, or a number of samples as
// train_test_split reads an int).
py::object construct(const kova::Module& mod, const kova::Args& a) {
  py::object scoring = normalise_scoring(mod, a["scoring"], a["estimator"]);
  py::dict keywords;
  for (const kova::Param& p : a.signature().params()) {
    if (p.name == "self" || p.name == "test_ratio") continue;
    keywords[p.name.c_str()] = p.name == "scoring" ? scoring : a[p.name.c_str()];
  }
  base_view(mod, a).attr("__init__")(**keywords);
  a.self().attr("test_ratio") = a["test_ratio"];
  return py::none();
}

// -------------------------------------------------------------------------------------- fit

// Number of samples a stored split was drawn for.
py::ssize_t split_size(const py::object& cv) {
  py::object pair = cv[py::int_(0)];
  return py::len(pair[py::int_(0)]) + py::len(pair[py::int_(1)]);
}

// One shuffled hold-out split of n samples, [(train indices, validation indices)].
py::list draw_split(const kova::Module& mod, const py::object& self, py::ssize_t n) {
  py::object indices = mod["np"].attr("arange")(n);
  py::object parts =
      mod["train_test_split"](indices, py::arg("test_size") = self.attr("test_ratio"));
  py::list cv;
  cv.append(py::make_tuple(parts[py::int_(0)], parts[py::int_(1)]));
  return cv;
}

py::object fit(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object X = a["X"];
  // Names given through set_params are resolved as the constructor resolves them.
  self.attr("scoring") = normalise_scoring(mod, self.attr("scoring"), self.attr("estimator"));
  py::object cv = self.attr("cv");
  // A split this method drew is reused while the number of samples is unchanged; a cv the
  // caller gave is never looked at here.
  if (cv.is_none() || cv.is(py::getattr(self, kDrawnSplit, py::none()))) {
    const py::ssize_t n_samples = py::len(X);
    if (cv.is_none() || split_size(cv) != n_samples) {
      py::list split = draw_split(mod, self, n_samples);
      self.attr("cv") = split;
      self.attr(kDrawnSplit) = split;
    }
  }

  py::dict keywords;
  keywords["X"] = X;
  py::object y = a["y"];
  // np.ravel(np.asarray(y)) flattens arrays, Series and one-column frames alike.
  keywords["y"] = y.is_none() ? y : mod["np"].attr("ravel")(mod["np"].attr("asarray")(y));
  // Only given weights are handed on: estimators whose fit takes no sample_weight stay usable.
  if (!a["sample_weight"].is_none()) keywords["sample_weight"] = a["sample_weight"];
  base_view(mod, a).attr("fit")(**keywords);
  return self;
}

// ---------------------------------------------------------------------------- results

py::object get_result(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object scoring = self.attr("scoring");
  py::list metric_names(scoring.attr("keys")());
  py::object first_metric = metric_names[0];
  py::object rank_key = py::str("rank_test_{}").format(first_metric);

  py::list keys;
  py::list labels;
  keys.append(rank_key);
  labels.append(py::str("Rank(by {})").format(first_metric));
  for (py::handle name : metric_names) {
    keys.append(py::str("mean_test_{}").format(name));
    labels.append(name);
  }
  keys.append("mean_fit_time");
  labels.append("time");

  py::object table =
      mod["pd"].attr("DataFrame")(self.attr("cv_results_")).attr("set_index")("params");
  table = table.attr("loc")[py::make_tuple(kova::full_slice(), keys)];
  // A stable sort lists tied candidates in search order; the default quicksort may not (its
  // vectorised variants reorder ties), so the first of a tie would depend on the machine.
  table = table.attr("sort_values")(py::arg("by") = rank_key, py::arg("kind") = "stable");
  table.attr("columns") = labels;

  // scikit-learn stores smaller-is-better scores negated; show them as plain losses. The columns
  // are replaced with assign: item assignment made from C++ looks like chained assignment to
  // pandas 2 (it counts references to the frame) and draws a false warning.
  py::dict losses;
  for (auto item : scoring.attr("items")()) {
    py::object name = item[py::int_(0)];
    py::object sign = item[py::int_(1)].attr("_sign");
    if (sign.equal(py::int_(-1))) losses[name] = py::int_(-1) * py::object(table[name]);
  }
  return table.attr("assign")(**losses);
}

py::object get_params_ranks(const kova::Module& mod, const kova::Args& a) {
  py::object table = a.self().attr("data");
  py::object ranks = table.attr("iloc")[py::make_tuple(kova::full_slice(), 0)];
  py::object rank = a["rank"];
  if (!ranks.attr("values").contains(rank)) kova::raise(mod["KovaError"], "Rank is out of range");
  // Tied candidates share a rank: the first in the table's order is returned.
  py::object holders = table[equals(ranks, rank)];
  return holders.attr("index")[py::int_(0)];
}

// -------------------------------------------------------------------------------- plot

// Long frame with one row per (candidate, metric): the parameter's value, "Metrics", "Scores".
// Scores are taken as scikit-learn stores them (losses negated).
py::object scores_frame(const kova::Module& mod, const py::object& self, const py::object& param,
                        const py::object& metrics) {
  py::object results = self.attr("cv_results_");
  py::list values;
  py::list labels;
  py::list scores;
  for (py::handle metric : metrics) {
    py::list metric_scores(results[py::str("mean_test_{}").format(metric)]);
    for (py::handle score : metric_scores) {
      scores.append(score);
      labels.append(metric);
    }
    // The masked array's underlying data, masked entries included.
    py::list param_values(results[py::str("param_{}").format(param)].attr("data"));
    for (py::handle value : param_values) values.append(value);
  }
  py::dict columns;
  columns[param] = values;
  columns["Metrics"] = labels;
  columns["Scores"] = scores;
  return mod["pd"].attr("DataFrame")(columns);
}

py::object rows_of(const py::object& frame, const py::object& metric) {
  return frame[equals(frame["Metrics"], metric)];
}

py::object legend_handle(const kova::Module& mod, const char* color, const py::object& label) {
  return mod["Line2D"](py::list(), py::list(), py::arg("color") = color, py::arg("marker") = "_",
                       py::arg("label") = label);
}

py::object plot(const kova::Module& mod, const kova::Args& a) {
  py::object self = a.self();
  py::object param = a["param"];
  py::object metrics = a["metrics"];
  if (metrics.is_none()) {
    py::list metric_names(self.attr("scoring").attr("keys")());
    metrics = metric_names[py::slice(0, 2, 1)];
  }
  py::object frame = scores_frame(mod, self, param, metrics);

  py::object plt = mod["plt"];
  py::object figure = plt.attr("figure")(py::arg("figsize") = a["figsize"]);
  py::object first_metric = metrics[py::int_(0)];
  py::object first_axis = mod["sns"].attr("lineplot")(
      py::arg("data") = rows_of(frame, first_metric), py::arg("x") = param, py::arg("y") = "Scores",
      py::arg("color") = "g");
  first_axis.attr("set_ylabel")(first_metric, py::arg("fontsize") = 12);

  if (py::len(metrics) == 2) {
    py::object second_metric = metrics[py::int_(1)];
    py::object second_axis = first_axis.attr("twinx")();
    mod["sns"].attr("lineplot")(py::arg("data") = rows_of(frame, second_metric),
                                py::arg("x") = param, py::arg("y") = "Scores",
                                py::arg("ax") = second_axis, py::arg("color") = "b");
    second_axis.attr("set_ylabel")(second_metric, py::arg("fontsize") = 12);
    py::list handles;
    handles.append(legend_handle(mod, "g", first_metric));
    handles.append(legend_handle(mod, "b", second_metric));
    first_axis.attr("legend")(py::arg("handles") = handles);
  }
  plt.attr("title")("MORBECK Result", py::arg("fontsize") = 15);
  plt.attr("tight_layout")();
  plt.attr("show")();
  return figure;
}

// The ranked result table, rebuilt on each access (through the method, so overrides apply).
py::object data(const kova::Args& a) { return a.self().attr("get_result")(); }

// ------------------------------------------------------------------------------ classes

// fit, get_result, get_params_ranks, plot and data: the same in both classes.
void define_shared_members(kova::ClassBuilder& c) {
  c.def("fit", {"self", "X", arg("y") = py::none(), arg("sample_weight") = py::none()}, fit,
        "Run the search and return the search itself.\n\n"
        "X: the feature matrix (anything with a length).\n"
        "y: the target; flattened to one dimension (arrays, Series, one-column frames), or None\n"
        "    for estimators that need no target.\n"
        "sample_weight: per-sample weights handed to the estimator's fit, or None (not passed).\n\n"
        "Without a cv, one shuffled hold-out split (test_ratio held out) is drawn and stored in\n"
        "cv; later fits reuse it while the number of samples is unchanged and draw a new one\n"
        "otherwise. A cv the caller gave is used as it is.");
  c.def("get_result", {"self"}, get_result,
        "Return the ranked result table of a fitted search.\n\n"
        "One row per candidate, indexed by its parameter dictionary and sorted by the rank of\n"
        "the first metric; columns \"Rank(by <first metric>)\", one column per metric (losses\n"
        "shown as positive values) and \"time\" (mean fit time).");
  c.def("get_params_ranks", {"self", "rank"}, get_params_ranks,
        "Return the parameter dictionary of the candidate holding `rank` (the first listed when\n"
        "several share it); KovaError \"Rank is out of range\" when no candidate holds it.");
  c.def("plot",
        {"self", "param", arg("metrics") = py::none(), arg("figsize") = py::make_tuple(8, 6)}, plot,
        "Plot mean validation scores against the searched hyper-parameter `param`, show the\n"
        "figure and return it.\n\n"
        "metrics: metric names; None takes the first two of scoring. The first is drawn in\n"
        "green; when exactly two are given the second is drawn in blue on a twin y axis, with a\n"
        "legend. Losses appear negated, as scikit-learn stores them.\n"
        "figsize: the figure size in inches.");
  c.def_property("data", data, "The ranked result table (get_result()), rebuilt on each access.");
}

const char* const kGridDoc =
    "Exhaustive search over a parameter grid, with metrics chosen by name.\n\n"
    "KovaGridSearchCV(estimator, param_grid, scoring=None, n_jobs=None, refit=False, cv=None,\n"
    "                 test_ratio=0.2, verbose=0, pre_dispatch=\"2*n_jobs\", error_score=nan,\n"
    "                 return_train_score=False)\n\n"
    "scoring: None (\"R2\" for regressors, \"AUC\" otherwise), a metric name or a list of metric\n"
    "    names of kova.config.METRICS (the first ranks the candidates), or anything the base\n"
    "    accepts (passed on unchanged).\n"
    "cv: None draws one hold-out split at fit time (stored in cv); otherwise as in the base.\n"
    "test_ratio: the share of samples held out by that split (or, as an int, their number).\n\n"
    "clone() copies the constructor parameters: a clone of a fitted search keeps the drawn split\n"
    "as a fixed cv, like one a caller gave (set cv=None to draw anew).";

const char* const kRandomizedDoc =
    "Search over a fixed number of settings sampled from parameter distributions, with metrics\n"
    "chosen by name.\n\n"
    "KovaRandomizedSearchCV(estimator, param_distributions, n_iter=10, scoring=None,\n"
    "                       n_jobs=None, refit=False, cv=None, test_ratio=0.2, verbose=0,\n"
    "                       pre_dispatch=\"2*n_jobs\", random_state=None, error_score=nan,\n"
    "                       return_train_score=False)\n\n"
    "scoring: None (\"R2\" for regressors, \"AUC\" otherwise), a metric name or a list of metric\n"
    "    names of kova.config.METRICS (the first ranks the candidates), or anything the base\n"
    "    accepts (passed on unchanged).\n"
    "cv: None draws one hold-out split at fit time (stored in cv); otherwise as in the base.\n"
    "test_ratio: the share of samples held out by that split (or, as an int, their number).\n"
    "random_state: seeds the sampling of settings only, not the hold-out split.\n\n"
    "clone() copies the constructor parameters: a clone of a fitted search keeps the drawn split\n"
    "as a fixed cv, like one a caller gave (set cv=None to draw anew).";

const char* const kInitDoc = "Normalise scoring, initialise the base search, store test_ratio.";

void define_grid_search(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "KovaGridSearchCV", kGridDoc, py::make_tuple(mod["GridSearchCV"]));
  c.def("__init__",
        {"self", "estimator", "param_grid", arg("scoring") = py::none(), arg("n_jobs") = py::none(),
         arg("refit") = false, arg("cv") = py::none(), arg("test_ratio") = 0.2, arg("verbose") = 0,
         arg("pre_dispatch") = "2*n_jobs", arg("error_score") = mod["np"].attr("nan"),
         arg("return_train_score") = false},
        construct, kInitDoc);
  define_shared_members(c);
  c.create();
}

void define_randomized_search(const kova::Module& mod) {
  kova::ClassBuilder c(mod, "KovaRandomizedSearchCV", kRandomizedDoc,
                       py::make_tuple(mod["RandomizedSearchCV"]));
  c.def("__init__",
        {"self", "estimator", "param_distributions", arg("n_iter") = 10,
         arg("scoring") = py::none(), arg("n_jobs") = py::none(), arg("refit") = false,
         arg("cv") = py::none(), arg("test_ratio") = 0.2, arg("verbose") = 0,
         arg("pre_dispatch") = "2*n_jobs", arg("random_state") = py::none(),
         arg("error_score") = mod["np"].attr("nan"), arg("return_train_score") = false},
        construct, kInitDoc);
  define_shared_members(c);
  c.create();
}

}  // namespace

PYBIND11_MODULE(morbeck, m) {
  kova::Module mod(m);
  mod.import_as("pandas", "pd");
  mod.import_as("numpy", "np");
  mod.import_lazy("seaborn", "sns");
  mod.import_as("matplotlib.pyplot", "plt");
  mod.import_from("matplotlib.lines", {"Line2D"});
  mod.import_from("sklearn.base", {"is_regressor"});
  mod.import_from("sklearn.metrics", {"roc_auc_score", "r2_score", "make_scorer"});
  mod.import_from("sklearn.model_selection",
                  {"GridSearchCV", "RandomizedSearchCV", "train_test_split"});
  mod.import_from("exceptions", {"KovaWarning", "KovaInfo", "KovaError"}, 2);
  mod.import_from("config.other_configs", {"METRICS"}, 2);
  define_grid_search(mod);
  define_randomized_search(mod);
  mod.set("__test__", py::dict());
}
