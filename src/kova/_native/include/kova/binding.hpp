// The binding layer shared by kova's extension modules.
//
// Modules written with it look like Python modules from the outside:
//  - classes are real Python classes made with type(name, bases, namespace), so they can derive
//    from Python classes, be subclassed, pickled by reference and monkeypatched;
//  - methods are `kova.Function` objects: callables that bind to instances like Python functions,
//    carry an inspect.Signature (so help(), inspect.signature and scikit-learn's get_params work)
//    and bind their arguments with the interpreter's rules and messages;
//  - module globals are read from the module dict at call time, so replacing a module attribute
//    changes what the code calls.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "capi.hpp"

namespace kova {

// How an argument is checked or converted when a call enters the function.
enum class Check {
  none,        // taken as given
  exact_str,   // exactly str or None
  exact_list,  // exactly list or None
  exact_dict,  // exactly dict or None
  to_float,    // converted as a C double would be (float(), __float__, __index__)
};

// One parameter of a function's signature: positional-or-keyword, optionally with a default.
struct Param {
  std::string name;
  Check check = Check::none;
  bool has_default = false;
  py::object default_value;

  Param(const char* n) : name(n) {}  // NOLINT(google-explicit-constructor): {"self", "x"} lists
};

// Builds a Param readably: {"self", kova::arg("n") = 2, kova::arg("meta_info").dict()}.
class Arg {
 public:
  explicit Arg(const char* name) : p_(name) {}
  operator Param() const { return p_; }  // NOLINT(google-explicit-constructor)

  Arg str() const { return as(Check::exact_str); }
  Arg list() const { return as(Check::exact_list); }
  Arg dict() const { return as(Check::exact_dict); }
  Arg to_float() const { return as(Check::to_float); }

  Param operator=(py::object value) const {
    Param p = p_;
    p.has_default = true;
    p.default_value = std::move(value);
    return p;
  }
  Param operator=(double v) const { return *this = py::float_(v); }
  Param operator=(int v) const { return *this = py::int_(v); }
  Param operator=(bool v) const { return *this = py::bool_(v); }
  Param operator=(const char* v) const { return *this = py::str(v); }

 private:
  Arg as(Check c) const {
    Arg a = *this;
    a.p_.check = c;
    return a;
  }
  Param p_;
};

inline Arg arg(const char* name) { return Arg(name); }

class Signature;

// The bound arguments of one call, in signature order.
class Args {
 public:
  Args(const Signature& sig, std::vector<py::object> values)
      : sig_(sig), values_(std::move(values)) {}

  py::object operator[](size_t i) const { return values_.at(i); }
  py::object operator[](const char* name) const;
  py::object self() const { return values_.at(0); }
  const Signature& signature() const { return sig_; }

 private:
  const Signature& sig_;
  std::vector<py::object> values_;
};

// A function's parameter list and its argument binder.
class Signature {
 public:
  // `owner` is the name of the class that defines the function ("" for module functions).
  Signature(std::string func_name, std::vector<Param> params, std::string owner = "")
      : name_(std::move(func_name)), owner_(std::move(owner)), params_(std::move(params)) {
    while (n_required_ < params_.size() && !params_[n_required_].has_default) ++n_required_;
    for (size_t i = n_required_; i < params_.size(); ++i) {
      if (!params_[i].has_default) {
        throw std::logic_error("kova: " + name_ + "(): parameter without default after defaults");
      }
    }
  }

  const std::string& name() const { return name_; }
  const std::string& owner() const { return owner_; }
  const std::vector<Param>& params() const { return params_; }

  // Index of the parameter called `name`, or npos.
  size_t index(const char* name) const {
    for (size_t i = 0; i < params_.size(); ++i) {
      if (params_[i].name == name) return i;
    }
    return npos;
  }

  // Binds a call's arguments: positional first, then keywords, then defaults; then converts
  // and type-checks the annotated arguments in parameter order.
  Args bind(const py::args& args, const py::kwargs& kwargs) const {
    const size_t n_params = params_.size();
    const size_t n_given = args.size();
    if (n_given > n_params) raise_count(n_given);

    std::vector<py::object> values(n_params);
    for (size_t i = 0; i < n_given; ++i) values[i] = args[i];

    // Required parameters not given by position must come as keywords, in order.
    for (size_t i = n_given; i < n_required_; ++i) {
      PyObject* v = PyDict_GetItemString(kwargs.ptr(), params_[i].name.c_str());
      if (v == nullptr) raise_count(i);
      values[i] = py::reinterpret_borrow<py::object>(v);
    }
    if (kwargs.size() > 0) bind_keywords(kwargs, n_given, values);

    for (size_t i = 0; i < n_params; ++i) {
      if (!values[i] && params_[i].has_default) values[i] = params_[i].default_value;
    }
    convert_floats(values);
    check_exact_types(values);
    return Args(*this, std::move(values));
  }

  // inspect.Signature of this function (built when asked for: help(), inspect, scikit-learn).
  py::object inspect_signature() const {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::list params;
    for (const Param& p : params_) {
      if (p.has_default) {
        params.append(parameter(p.name, kind, py::arg("default") = p.default_value));
      } else {
        params.append(parameter(p.name, kind));
      }
    }
    return inspect.attr("Signature")(params);
  }

  static constexpr size_t npos = static_cast<size_t>(-1);

 private:
  // Index of the parameter named by the str `key` (any str, even one that is not valid UTF-8),
  // or npos.
  size_t keyword_index(PyObject* key) const {
    for (size_t i = 0; i < params_.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, params_[i].name.c_str()) == 0) return i;
    }
    return npos;
  }

  // "f() takes exactly/at least/at most N positional arguments (M given)", counting self.
  [[noreturn]] void raise_count(size_t found) const {
    const size_t n_params = params_.size();
    const bool exact = n_required_ == n_params;
    const size_t expected = found < n_required_ ? n_required_ : n_params;
    const char* more_or_less = exact ? "exactly" : (found < n_required_ ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_.c_str(), more_or_less, static_cast<Py_ssize_t>(expected),
                 expected == 1 ? "" : "s", static_cast<Py_ssize_t>(found));
    throw py::error_already_set();
  }

  // Walks the keywords in the order given: each must name a parameter not already given by
  // position.
  void bind_keywords(const py::kwargs& kwargs, size_t n_given,
                     std::vector<py::object>& values) const {
    for (auto item : kwargs) {
      if (!PyUnicode_Check(item.first.ptr())) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_.c_str());
        throw py::error_already_set();
      }
      const size_t i = keyword_index(item.first.ptr());
      if (i == npos) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_.c_str(),
                     item.first.ptr());
        throw py::error_already_set();
      }
      if (i < n_given) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     name_.c_str(), item.first.ptr());
        throw py::error_already_set();
      }
      values[i] = py::reinterpret_borrow<py::object>(item.second);
    }
  }

  void convert_floats(std::vector<py::object>& values) const {
    for (size_t i = 0; i < params_.size(); ++i) {
      // An exact float is kept as the same object (scikit-learn's clone checks identity).
      if (params_[i].check != Check::to_float || PyFloat_CheckExact(values[i].ptr())) continue;
      const double d = PyFloat_AsDouble(values[i].ptr());
      if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
      values[i] = py::float_(d);
    }
  }

  void check_exact_types(const std::vector<py::object>& values) const {
    for (size_t i = 0; i < params_.size(); ++i) {
      PyTypeObject* expected = nullptr;
      switch (params_[i].check) {
        case Check::exact_str:
          expected = &PyUnicode_Type;
          break;
        case Check::exact_list:
          expected = &PyList_Type;
          break;
        case Check::exact_dict:
          expected = &PyDict_Type;
          break;
        default:
          continue;
      }
      PyObject* v = values[i].ptr();
      if (v == Py_None || Py_TYPE(v) == expected) continue;
      PyErr_Format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   params_[i].name.c_str(), expected->tp_name, Py_TYPE(v)->tp_name);
      throw py::error_already_set();
    }
  }

  std::string name_;
  std::string owner_;
  std::vector<Param> params_;
  size_t n_required_ = 0;
};

inline py::object Args::operator[](const char* name) const {
  const size_t i = sig_.index(name);
  if (i == Signature::npos) throw std::out_of_range(std::string("kova: no parameter ") + name);
  return values_[i];
}

using Impl = std::function<py::object(const Args&)>;

// A Python-callable C++ function with a signature; binds to instances like a Python function.
struct Function {
  Signature sig;
  Impl impl;

  py::object call(const py::args& args, const py::kwargs& kwargs) const {
    return impl(sig.bind(args, kwargs));
  }
};

// Registers the `kova.Function` type once per extension module (module-local, so several kova
// extensions can be loaded together).
inline void register_function_type(py::module_ m) {
  py::class_<Function> cls(m, "Function", py::module_local(), py::dynamic_attr());
  cls.def("__call__", &Function::call)
      .def(
          "__get__",
          [](py::object self, py::object obj, py::object) -> py::object {
            if (obj.is_none()) return self;
            return steal(PyMethod_New(self.ptr(), obj.ptr()));
          },
          py::arg("obj"), py::arg("owner") = py::none())
      .def_property_readonly("__signature__",
                             [](const Function& f) { return f.sig.inspect_signature(); })
      .def("__repr__", [](py::object f) {
        return py::str("<kova function {}>").format(f.attr("__qualname__"));
      });
  // pybind11's registry holds the type by a borrowed pointer: keep one reference for the life of
  // the process, so the module can keep only the names it declares.
  cls.inc_ref();
  py::delattr(m, "Function");
}

// The module's namespace, read at call time like a Python module's globals. Made once, in the
// module's initialisation: it registers the module's Function type first.
class Module {
 public:
  explicit Module(py::module_ m) : module_(m), globals_(m.attr("__dict__")) {
    register_function_type(m);
  }

  // The current value of a module global; NameError when it is missing.
  py::object operator[](const char* name) const {
    PyObject* v = PyDict_GetItemString(globals_.ptr(), name);
    if (v == nullptr) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
      throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
  }

  void set(const char* name, py::object value) const { globals_[name] = std::move(value); }
  std::string name() const { return module_.attr("__name__").cast<std::string>(); }
  py::module_ module() const { return module_; }

  // import <module> as <alias>
  void import_as(const char* module, const char* alias) const {
    set(alias, py::module_::import(module));
  }

  // import <module> as <alias>, the module executed on its first attribute access (for heavy
  // dependencies used only when drawing, such as seaborn, which loads ipywidgets).
  void import_lazy(const char* module, const char* alias) const {
    set(alias, py::module_::import("kova._lazy").attr("lazy_import")(module));
  }

  // from <module> import <names...>; level 1 makes it relative to this module's package.
  void import_from(const char* module, std::initializer_list<const char*> names,
                   int level = 0) const {
    py::list fromlist;
    for (const char* n : names) fromlist.append(n);
    if (level > 0 && !globals_.contains("__package__")) {
      globals_["__package__"] = py::str(name()).attr("rpartition")(".")[0];
    }
    py::object source = py::reinterpret_steal<py::object>(
        PyImport_ImportModuleLevel(module, globals_.ptr(), nullptr, fromlist.ptr(), level));
    if (!source) throw py::error_already_set();
    for (const char* n : names) {
      if (!py::hasattr(source, n)) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module);
        throw py::error_already_set();
      }
      set(n, source.attr(n));
    }
  }

  // A new Function whose qualified name is `owner.name` (or `name` for module functions).
  // Its __name__, __qualname__, __module__ and __doc__ live in the instance dict, as for a
  // Python function.
  py::object function(const std::string& owner, const char* name, std::vector<Param> params,
                      Impl impl, const char* doc) const {
    py::object f = py::cast(Function{Signature(name, std::move(params), owner), std::move(impl)});
    f.attr("__name__") = name;
    f.attr("__qualname__") = owner.empty() ? std::string(name) : owner + "." + name;
    f.attr("__module__") = this->name();
    f.attr("__doc__") = doc;
    return f;
  }

 private:
  py::module_ module_;
  py::dict globals_;
};

// Collects a class namespace and creates the class with type(name, bases, namespace).
class ClassBuilder {
 public:
  ClassBuilder(const Module& mod, const char* name, const char* doc, py::tuple bases = py::tuple())
      : mod_(mod), name_(name), bases_(std::move(bases)) {
    ns_["__module__"] = mod.name();
    ns_["__qualname__"] = name;
    ns_["__doc__"] = doc;
  }

  // An instance method; `self` is the first parameter. `impl` is a free function
  // `py::object f(const kova::Module&, const kova::Args&)` (handed this module at call time) or
  // any callable taking `const kova::Args&`.
  template <class F>
  ClassBuilder& def(const char* name, std::vector<Param> params, F impl, const char* doc) {
    ns_[name] = method(name, std::move(params), std::move(impl), doc);
    return *this;
  }

  // An instance method wrapped, when the class is created, by a decorator such as a module
  // global (`decorator(function)` becomes the class attribute).
  template <class F>
  ClassBuilder& def_decorated(const char* name, const py::object& decorator,
                              std::vector<Param> params, F impl, const char* doc) {
    ns_[name] = decorator(method(name, std::move(params), std::move(impl), doc));
    return *this;
  }

  template <class F>
  ClassBuilder& def_static(const char* name, std::vector<Param> params, F impl, const char* doc) {
    py::object f = method(name, std::move(params), std::move(impl), doc);
    ns_[name] = steal(PyStaticMethod_New(f.ptr()));
    return *this;
  }

  // A read-only property computed by `impl(self)`.
  template <class F>
  ClassBuilder& def_property(const char* name, F impl, const char* doc) {
    py::object getter = method(name, {"self"}, std::move(impl), doc);
    ns_[name] = builtin("property")(getter, py::none(), py::none(), doc);
    return *this;
  }

  // Creates the class and binds it as a module global.
  py::object create() {
    py::object type = builtin("type");
    py::object cls = type(name_, bases_, ns_);
    mod_.set(name_.c_str(), cls);
    return cls;
  }

 private:
  template <class F>
  py::object method(const char* name, std::vector<Param> params, F impl, const char* doc) const {
    return mod_.function(name_, name, std::move(params), to_impl(std::move(impl)), doc);
  }

  template <class F>
  Impl to_impl(F impl) const {
    if constexpr (std::is_invocable_r_v<py::object, F, const Module&, const Args&>) {
      return [mod = mod_, impl](const Args& a) { return impl(mod, a); };
    } else {
      return Impl(std::move(impl));
    }
  }

  Module mod_;
  std::string name_;
  py::tuple bases_;
  py::dict ns_;
};

}  // namespace kova
