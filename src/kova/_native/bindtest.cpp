// kova._bindtest: a small module that exercises the binding layer from the test suite
// (argument binding, type checks, conversions, static methods, properties, module globals and
// subclassing a Python base class).
#include <kova/binding.hpp>

using kova::arg;

namespace {

py::object apply_transform(const kova::Module& mod, const kova::Args& a) {
  return mod["transform"](a["x"]);
}

void define_probe(const kova::Module& mod) {
  kova::ClassBuilder probe(mod, "Probe", "Holds what it was given; used to test argument binding.");
  probe.def(
      "__init__", {"self", "data", arg("meta_info").dict()},
      [](const kova::Args& a) {
        a.self().attr("data") = a["data"];
        a.self().attr("meta_info") = a["meta_info"];
        return py::none();
      },
      "Store data and meta_info.");
  probe.def(
      "options",
      {"self", arg("ratio").to_float() = 0.8, arg("label").str() = py::none(),
       arg("items").list() = py::none(), arg("extra") = 5},
      [](const kova::Args& a) {
        return py::make_tuple(a["ratio"], a["label"], a["items"], a["extra"]);
      },
      "Return the bound arguments as a tuple.");
  probe.def("apply", {"self", "x"}, apply_transform, "Call the module global `transform` on x.");
  probe.def_static(
      "twice", {"x"}, [](const kova::Args& a) { return a["x"] * py::int_(2); }, "Return x * 2.");
  probe.def_property(
      "size", [](const kova::Args& a) { return py::int_(py::len(a.self().attr("data"))); },
      "Length of data.");
  probe.create();
}

// A scikit-learn estimator whose methods are C++ functions.
void define_estimator(const kova::Module& mod) {
  py::tuple bases = py::make_tuple(mod["BaseEstimator"]);
  kova::ClassBuilder est(mod, "Estimator", "A minimal estimator derived from a Python base.",
                         bases);
  est.def(
      "__init__",
      {"self", arg("alpha").to_float() = 1.0, arg("name") = "a",
       arg("missing") = mod["np"].attr("nan")},
      [](const kova::Args& a) {
        for (const char* n : {"alpha", "name", "missing"}) a.self().attr(n) = a[n];
        return py::none();
      },
      "Store the parameters.");
  est.def(
      "fit", {"self", "X", arg("y") = py::none()},
      [](const kova::Args& a) {
        a.self().attr("n_seen_") = py::len(a["X"]);
        return a.self();
      },
      "Remember the number of samples.");
  est.create();
}

}  // namespace

PYBIND11_MODULE(_bindtest, m) {
  kova::Module mod(m);
  mod.import_as("numpy", "np");
  mod.import_from("sklearn.base", {"BaseEstimator"});
  mod.set("transform", kova::builtin("abs"));
  define_probe(mod);
  define_estimator(mod);
  mod.set("__test__", py::dict());
}
