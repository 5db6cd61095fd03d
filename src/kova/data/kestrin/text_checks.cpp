// The text checks: long strings, special-only characters and mixed data types.
#include "kestrin_checks.hpp"

namespace kova::kestrin {

// [count, labels] of the entries of one text column longer than the quantile length plus the
// allowed difference.
py::list long_string_row(const kova::Module& mod, const py::object& column,
                         const py::object& quantile_threshold,
                         const py::object& length_difference) {
  if (!truth(mod["is_string_column"](column))) return kova::make_list({py::int_(0), py::list()});
  py::object string_length_column = pandas_module().attr("Series")(
      text_lengths(mod, column), py::arg("index") = column.attr("index"));
  py::object threshold_length = string_length_column.attr("quantile")(
      quantile_threshold, py::arg("interpolation") = "nearest");
  py::object limit = threshold_length + length_difference;
  py::object is_long = steal(PyObject_RichCompare(string_length_column.ptr(), limit.ptr(), Py_GT));
  py::object long_string_idx = string_length_column[is_long].attr("index").attr("tolist")();
  return kova::make_list({py::int_(py::len(long_string_idx)), long_string_idx});
}

py::object long_string(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object columns = data.attr("columns");
  py::list rows;
  const Py_ssize_t n_columns = py::len(columns);
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    py::object column = drop_missing(mod, column_of(data, i));
    rows.append(long_string_row(mod, column, a["quantile_threshold"], a["length_difference"]));
  }
  py::object result = mod["pd"].attr("DataFrame")(
      rows, py::arg("columns") = str_list({"Long String Num", "Long String Index"}));
  result.attr("index") = columns;
  return result;
}

// [name, percent text, most common special-only texts] of one column.
py::list special_characters_row(const py::object& self, const py::object& name,
                                const py::object& column_data, const py::object& n_most_common) {
  py::object special_samples = self.attr("_get_special_samples")(column_data);
  if (special_samples.is_none() || !truth(special_samples)) {
    return kova::make_list({name, py::str("0.0%"), py::list()});
  }
  py::object n_special = builtin("sum")(special_samples.attr("values")());
  py::object share = n_special / column_data.attr("size");
  py::str percent = py::str(share * py::int_(100)) + py::str("%");

  py::object by_count = builtin("sorted")(
      special_samples.attr("items")(),
      py::arg("key") =
          py::cpp_function([](py::object item) -> py::object { return item[py::int_(1)]; }),
      py::arg("reverse") = true);
  py::object top = steal(PySlice_New(nullptr, n_most_common.ptr(), nullptr));
  py::object top_n_samples_items = by_count[top];
  py::list top_n_samples_values;
  for (py::handle item : top_n_samples_items) top_n_samples_values.append(item[py::int_(0)]);
  return kova::make_list({name, percent, top_n_samples_values});
}

py::object special_characters(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::list names(data.attr("columns"));
  py::list rows;
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(names.size()); ++i) {
    rows.append(special_characters_row(a.self(), names[i], column_of(data, i), a["n_most_common"]));
  }
  py::object result = mod["pd"].attr("DataFrame")(
      rows, py::arg("columns") =
                str_list({"Column Name", kSpecialColumn, "Most Common Special-Only Samples"}));
  return result.attr("set_index")(str_list({"Column Name"}));
}

// "S : N" with both shares rounded to 4 decimals by numpy.
py::str mix_text(const kova::Module& mod, const py::object& mix) {
  py::object round = mod["np"].attr("round");
  return py::str(round(mix["strings"], 4)) + py::str(" : ") + py::str(round(mix["numbers"], 4));
}

py::object mixed_data_type(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object columns = data.attr("columns");
  const Py_ssize_t n_columns = py::len(columns);
  if (n_columns == 0) {
    return mod["pd"].attr("DataFrame")(
        py::arg("index") = columns,
        py::arg("columns") = str_list({"With mixed", "Categorical : Numerical"}),
        py::arg("dtype") = builtin("object"));
  }
  // Keyed by position so that duplicated column names keep one row each; the rows are labelled
  // with the column names below.
  py::dict display_result;
  for (Py_ssize_t i = 0; i < n_columns; ++i) {
    py::object column_data = drop_missing(mod, column_of(data, i));
    py::object mix = a.self().attr("_get_data_mix")(column_data);
    py::dict formatted_mix;
    if (!mix.is_none()) {
      formatted_mix["With mixed"] = true;
      formatted_mix["Categorical : Numerical"] = mix_text(mod, mix);
    } else {
      formatted_mix["With mixed"] = false;
      formatted_mix["Categorical : Numerical"] = "-";
    }
    display_result[py::int_(i)] = formatted_mix;
  }
  py::object result = mod["pd"].attr("DataFrame").attr("from_dict")(display_result).attr("T");
  result.attr("index") = columns;
  return result;
}

// The mix record of a column without missing entries, or None when it is not a text column.
py::object get_data_mix(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  if (!truth(mod["is_string_column"](column_data))) return py::none();
  return a.self().attr("_check_mixed_percentage")(column_data);
}

// Up to three distinct entries of each kind (number or not), the first ones in row order.
void gather_examples(const py::object& entries, const py::object& is_number,
                     const py::object& numbers_in_col, const py::object& strings_in_col) {
  const kova::entries::ObjectArray values(entries, "_check_mixed_percentage");
  const py::array_t<bool, py::array::forcecast> flags(is_number);
  const bool* number = flags.data();
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    const py::object& examples = number[i] ? numbers_in_col : strings_in_col;
    if (PySet_Size(examples.ptr()) <= 2 && PySet_Add(examples.ptr(), values[i].ptr()) < 0) {
      throw py::error_already_set();
    }
    if (PySet_Size(numbers_in_col.ptr()) > 2 && PySet_Size(strings_in_col.ptr()) > 2) break;
  }
}

// Shares of entries that do and do not convert to a number, with up to three distinct examples
// of each; None when all entries convert or none does.
py::object check_mixed_percentage(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  py::object set_type = builtin("set");
  py::object numbers_in_col = set_type();
  py::object strings_in_col = set_type();

  py::object is_number = number_mask(mod, column_data);
  gather_examples(entries_of(column_data), is_number, numbers_in_col, strings_in_col);
  const auto nums = is_number.attr("sum")().cast<std::int64_t>();
  py::object total_rows = holds_objects(column_data)
                              ? py::module_::import("numpy").attr("int64")(
                                    length_of(column_data) - missing_count(mod, column_data))
                              : column_data.attr("count")();
  py::int_ n_numbers(nums);
  if (n_numbers.equal(total_rows) || nums == 0) return py::none();

  py::object nums_pct = n_numbers / total_rows;
  py::object strs_pct = mod["np"].attr("abs")(n_numbers - total_rows) / total_rows;
  py::dict record;
  record["strings"] = strs_pct;
  record["numbers"] = nums_pct;
  record["strings_examples"] = strings_in_col;
  record["numbers_examples"] = numbers_in_col;
  return record;
}

// counts[sample] += n through the mapping protocol (a defaultdict reads missing keys as 0).
void add_count(const py::object& counts, const py::handle& sample, const py::object& n) {
  py::object count = steal(PyObject_GetItem(counts.ptr(), sample.ptr()));
  py::object next = steal(PyNumber_InPlaceAdd(count.ptr(), n.ptr()));
  if (PyObject_SetItem(counts.ptr(), sample.ptr(), next.ptr()) < 0) throw py::error_already_set();
}

// The special-only test through a replaced string_baseform global: a non-empty str whose base
// form without special characters is empty, one Python call per str.
void count_through_baseform(const py::object& entries, const py::object& baseform,
                            const py::object& samples_to_count) {
  const py::int_ one(1);
  const kova::entries::ObjectArray values(entries, "_get_special_samples");
  for (Py_ssize_t i = 0; i < values.size(); ++i) {
    const py::object sample = values[i];
    if (!PyUnicode_Check(sample.ptr()) || length_of(sample) < 1) continue;
    if (length_of(baseform(sample, true)) == 0) add_count(samples_to_count, sample, one);
  }
}

// The special-only texts of a column with their counts, in first-seen order; None for numeric
// columns and for columns without such texts.
py::object get_special_samples(const kova::Module& mod, const kova::Args& a) {
  py::object column_data = a["column_data"];
  py::object inferred = mod["infer_dtype"](column_data);
  for (const char* numeric : {"integer", "decimal", "floating"}) {
    if (inferred.equal(py::str(numeric))) return py::none();
  }
  py::object samples_to_count = mod["defaultdict"](builtin("int"));
  if (!is_kernel(mod, "string_baseform")) {
    count_through_baseform(entries_of(column_data), mod["string_baseform"], samples_to_count);
  } else if (!holds_no_text(column_data)) {
    // The kernel counts the entries the scan flagged, in row order.
    py::object flagged = entries_of(column_data)[special_mask(mod, column_data)];
    py::dict counts = kernels_of(mod).attr("special_only_counts")(flagged);
    for (auto item : counts)
      add_count(samples_to_count, item.first, py::reinterpret_borrow<py::object>(item.second));
  }
  return truth(samples_to_count) ? samples_to_count : py::none();
}

}  // namespace kova::kestrin
