// Shared parts of kova.data.kestrin.kestrin, whose sources are split by concern:
//   entry_facts.cpp    modules, columns and the entry facts shared by the sub-checks of a report;
//   column_checks.cpp  construction, single values, null ratios and the combined report;
//   text_checks.cpp    long strings, special characters and mixed data types;
//   table_checks.cpp   duplicated samples and the association matrix;
//   kestrin.cpp        the class and the module's init.
#pragma once

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <kova/binding.hpp>
#include <kova/entries.hpp>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace kova::kestrin {

using kova::arg;
using kova::builtin;
using kova::full_slice;
using kova::length_of;
using kova::steal;
using kova::str_list;
using kova::truth;

inline const char* const kSpecialColumn = "% Special-Only Samples";

// Modules and columns (entry_facts.cpp)
py::module_ pandas_module();
py::module_ kernels_of(const kova::Module& mod);
bool is_kernel(const kova::Module& mod, const char* name);
py::object column_at(const py::object& data, Py_ssize_t i);
bool holds_objects(const py::object& column);
bool holds_no_text(const py::object& column);
py::object object_entries(const py::object& column);
py::object less_than_zero(const py::object& array);

// ---------------------------------------------------------------------------------------------
// Entry facts shared by the sub-checks of one report
//
// While single_column_check runs, a ReportScope hands its sub-checks the same Series object per
// column (and per column with missing entries dropped), and remembers, per Series it handed out,
// the entries' object array and their EntryScan (all per-entry tests from one pass). A check that
// is given one of these Series (the static helpers are given the column itself) finds its facts
// by the Series' identity; a Series from elsewhere gets its facts from a kernel call of its own.
// The scope holds every Series it registers, so identities stay unique while it lives.

struct Facts {
  explicit Facts(py::object of) : series(std::move(of)) {}

  py::object series;
  py::object entries;       // object array, made on first use
  py::object scan;          // EntryScan, made on first use
  py::object dropped;       // series.dropna(), made on first use
  Facts* parent = nullptr;  // a dropped Series: the facts it was cut from ...
  py::object present;       // ... and the mask of its rows there
};

class ReportScope {
 public:
  ReportScope(const kova::Module& mod, py::object data) : mod_(mod), data_(std::move(data)) {
    open_scopes().push_back(this);
  }
  ~ReportScope() {
    auto& scopes = open_scopes();
    scopes.erase(std::remove(scopes.begin(), scopes.end(), this), scopes.end());
  }
  ReportScope(const ReportScope&) = delete;
  ReportScope& operator=(const ReportScope&) = delete;

  // The open scope over `data` (the same frame object), or null.
  static ReportScope* over(const py::object& data) {
    for (ReportScope* scope : open_scopes()) {
      if (scope->data_.is(data)) return scope;
    }
    return nullptr;
  }

  // The scope and facts of a Series handed out by an open scope, or {null, null}.
  static std::pair<ReportScope*, Facts*> facts_of(const py::object& series) {
    for (ReportScope* scope : open_scopes()) {
      for (Facts& facts : scope->facts_) {
        if (facts.series.is(series)) return {scope, &facts};
      }
    }
    return {nullptr, nullptr};
  }

  py::object column(Py_ssize_t i) {
    if (columns_.empty()) columns_.resize(static_cast<size_t>(length_of(data_.attr("columns"))));
    py::object& column = columns_.at(static_cast<size_t>(i));
    if (!column) {
      column = column_at(data_, i);
      facts_.emplace_back(column);
    }
    return column;
  }

  // Registers the Series `dropped`, the rows `present` of the Series whose facts are `parent`.
  void adopt(const py::object& dropped, Facts& parent, const py::object& present) {
    facts_.emplace_back(dropped);
    facts_.back().parent = &parent;
    facts_.back().present = present;
  }

  py::object entries(Facts& facts) {
    if (!facts.entries) facts.entries = object_entries(facts.series);
    return facts.entries;
  }

  py::object scan(Facts& facts) {
    if (facts.scan) return facts.scan;
    py::module_ kernels = kernels_of(mod_);
    if (facts.parent == nullptr) {
      facts.scan = kernels.attr("scan_entries")(entries(facts));
      return facts.scan;
    }
    const py::object present = facts.present;
    const py::object whole = scan(*facts.parent);
    facts.scan =
        kernels.attr("EntryScan")(whole.attr("missing")[present], whole.attr("lengths")[present],
                                  whole.attr("numbers")[present], whole.attr("special")[present]);
    return facts.scan;
  }

 private:
  static std::vector<ReportScope*>& open_scopes() {
    static std::vector<ReportScope*> scopes;  // plain pointers, guarded by the GIL
    return scopes;
  }

  kova::Module mod_;
  py::object data_;
  std::vector<py::object> columns_;
  std::deque<Facts> facts_;  // a deque: references stay valid as facts are added
};

// Entry facts of a column, shared while a report runs (entry_facts.cpp)
py::object column_of(const py::object& data, Py_ssize_t i);
py::object entries_of(const py::object& series);
py::object missing_mask(const kova::Module& mod, const py::object& series);
py::object special_mask(const kova::Module& mod, const py::object& series);
py::object text_lengths(const kova::Module& mod, const py::object& series);
py::object number_mask(const kova::Module& mod, const py::object& series);
bool plain_entries(const kova::Module& mod, const py::object& series);
py::object drop_missing(const kova::Module& mod, const py::object& column);
std::int64_t missing_count(const kova::Module& mod, const py::object& column);

// The methods of DataIntegrityCheck
py::object init(const kova::Module& mod, const kova::Args& a);
py::object is_single_value(const kova::Module& mod, const kova::Args& a);
py::object null_ratio(const kova::Module& mod, const kova::Args& a);
py::object long_string(const kova::Module& mod, const kova::Args& a);
py::object special_characters(const kova::Module& mod, const kova::Args& a);
py::object mixed_data_type(const kova::Module& mod, const kova::Args& a);
py::object duplicated_samples(const kova::Module& mod, const kova::Args& a);
py::object highly_correlated_features(const kova::Module& mod, const kova::Args& a);
py::object single_column_check(const kova::Module& mod, const kova::Args& a);
py::object get_data_mix(const kova::Module& mod, const kova::Args& a);
py::object check_mixed_percentage(const kova::Module& mod, const kova::Args& a);
py::object get_special_samples(const kova::Module& mod, const kova::Args& a);

}  // namespace kova::kestrin
