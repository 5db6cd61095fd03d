// The whole-table checks: duplicated samples and the association matrix.
#include "kestrin_checks.hpp"

namespace kova::kestrin {

// Groups of identical rows with the labels of their rows. Groups are formed on the data's
// columns by position, so the index name and the column names never clash with the label
// column; missing values compare equal, as they do for DataFrame.duplicated.
py::object duplicated_samples(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object n_samples = data.attr("shape")[py::int_(0)];
  if (!truth(n_samples)) return py::str("Dataset does not contain any data");
  py::list columns(data.attr("columns"));
  if (columns.empty()) {  // rows without values: no copies to list
    return mod["pd"].attr("DataFrame")(py::list(), py::arg("index") = py::list(),
                                       py::arg("columns") = columns);
  }

  py::object duplicated = data.attr("loc")[data.attr("duplicated")(py::arg("keep") = false)];
  const auto n_columns = static_cast<Py_ssize_t>(columns.size());
  py::list keys;
  for (Py_ssize_t i = 0; i < n_columns; ++i) keys.append(i);
  py::object rows = duplicated.attr("reset_index")(py::arg("drop") = true)
                        .attr("set_axis")(keys, py::arg("axis") = 1);
  py::int_ label_column(n_columns);
  rows.attr("insert")(n_columns, label_column, duplicated.attr("index").attr("to_flat_index")());
  py::object tmp = rows.attr("groupby")(keys, py::arg("dropna") = false,
                                        py::arg("observed") = true)[label_column]
                       .attr("unique")();
  // Grouped by one column, each key is the shared cell itself (a set or tuple included), so it
  // becomes a row of one cell; by several, each key is the tuple of the shared cells.
  py::list shared_values(tmp.attr("index"));
  if (n_columns == 1) {
    for (size_t i = 0; i < shared_values.size(); ++i) {
      shared_values[i] = kova::make_list({shared_values[i]});
    }
  }
  return mod["pd"].attr("DataFrame")(shared_values, py::arg("index") = tmp.attr("values"),
                                     py::arg("columns") = columns);
}

// The column names whose meta_info entry equals `kind`, in column order.
py::list features_of_kind(const py::object& columns, const py::object& meta_info,
                          const char* kind) {
  py::list features;
  py::str wanted(kind);
  for (py::handle name : columns) {
    py::object entry = steal(PyObject_GetItem(meta_info.ptr(), name.ptr()));
    if (truth(steal(PyObject_RichCompare(entry.ptr(), wanted.ptr(), Py_EQ)))) {
      features.append(name);
    }
  }
  return features;
}

void require_unique_names(const py::object& columns) {
  if (truth(columns.attr("is_unique"))) return;
  py::object repeated = columns[columns.attr("duplicated")()].attr("unique")().attr("tolist")();
  kova::raise(PyExc_ValueError, "highly_correlated_features needs unique column names; repeated: " +
                                    py::repr(repeated).cast<std::string>());
}

// The positions of `names` among the columns (names are unique here).
std::vector<Py_ssize_t> positions_of(const py::object& columns, const py::list& names) {
  std::vector<Py_ssize_t> positions;
  for (py::handle name : names) {
    positions.push_back(columns.attr("get_loc")(name).cast<Py_ssize_t>());
  }
  return positions;
}

// The pandas.factorize codes of the categorical columns, -1 marking missing entries.
py::list category_codes(const kova::Module& mod, const py::object& data,
                        const std::vector<Py_ssize_t>& cat_positions) {
  py::list codes;
  for (Py_ssize_t position : cat_positions) {
    codes.append(mod["pd"].attr("factorize")(column_at(data, position))[py::int_(0)]);
  }
  return codes;
}

// The codes as the frame the pandas measures are given: one float column per categorical
// column, NaN where the code is -1. Built column by column, so that a frame without rows gives
// an empty frame of codes (DataFrame.apply would try to infer a result from an empty column).
py::object encoded_frame(const kova::Module& mod, const py::object& data,
                         const py::list& cat_features, const py::list& codes) {
  py::dict by_position;
  for (size_t i = 0; i < codes.size(); ++i) by_position[py::int_(i)] = codes[i];
  py::object encoded =
      pandas_module().attr("DataFrame")(by_position, py::arg("index") = data.attr("index"));
  encoded.attr("columns") = cat_features;
  return encoded.attr("replace")(-1, mod["np"].attr("nan"));
}

// Writes the block `values` (rows x columns) into the square matrix at the given positions, and
// its transpose at the mirrored positions when `mirror` is set.
void place_block(py::array_t<double>& matrix, const py::object& values,
                 const std::vector<Py_ssize_t>& rows, const std::vector<Py_ssize_t>& columns,
                 bool mirror) {
  const py::array_t<double, py::array::forcecast> block(values);
  auto cells = matrix.mutable_unchecked<2>();
  const auto source = block.unchecked<2>();
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t c = 0; c < columns.size(); ++c) {
      const double value = source(static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(c));
      cells(rows[r], columns[c]) = value;
      if (mirror) cells(columns[c], rows[r]) = value;
    }
  }
}

// The columns of a frame of floats as 1-D arrays (views of its blocks).
py::list float_columns(const py::object& frame) {
  py::list columns;
  const Py_ssize_t n_columns = py::len(frame.attr("columns"));
  for (Py_ssize_t j = 0; j < n_columns; ++j) columns.append(column_at(frame, j).attr("to_numpy")());
  return columns;
}

// The categorical block: symmetric Theil's U of every pair of categorical columns.
py::object theil_u_block(const kova::Module& mod, const py::list& codes,
                         const std::function<py::object()>& encoded) {
  py::object measure = mod["symmetric_theil_u_correlation"];
  if (is_kernel(mod, "symmetric_theil_u_correlation")) {
    return kernels_of(mod).attr("symmetric_theil_u_matrix")(codes);
  }
  return encoded().attr("corr")(py::arg("method") = measure).attr("to_numpy")();
}

// The numerical x categorical block: the correlation ratio of every numerical column grouped by
// every categorical column (numerical columns as rows).
py::object correlation_ratio_block(const kova::Module& mod, const py::list& codes,
                                   const py::object& num_data,
                                   const std::function<py::object()>& encoded) {
  if (is_kernel(mod, "correlation_ratio")) {
    py::list values = float_columns(num_data);
    return kernels_of(mod).attr("correlation_ratio_matrix")(codes, values);
  }
  py::cpp_function ratios([mod, num_data](py::object col) -> py::object {
    return num_data.attr("corrwith")(col, py::arg("method") = mod["correlation_ratio"]);
  });
  return encoded().attr("apply")(ratios).attr("to_numpy")();
}

py::object highly_correlated_features(const kova::Module& mod, const kova::Args& a) {
  py::object data = a.self().attr("data");
  py::object meta_info = a.self().attr("meta_info");
  py::object all_features = data.attr("columns");
  py::list num_features = features_of_kind(all_features, meta_info, "numerical");
  py::list cat_features = features_of_kind(all_features, meta_info, "categorical");
  require_unique_names(all_features);
  const std::vector<Py_ssize_t> num_positions = positions_of(all_features, num_features);
  const std::vector<Py_ssize_t> cat_positions = positions_of(all_features, cat_features);

  py::list codes = category_codes(mod, data, cat_positions);
  py::object encoded_cat_data;  // the pandas measures' input, built when one of them runs
  std::function<py::object()> encoded = [&]() {
    if (!encoded_cat_data) encoded_cat_data = encoded_frame(mod, data, cat_features, codes);
    return encoded_cat_data;
  };
  const Py_ssize_t n_features = py::len(all_features);
  py::array_t<double> full({n_features, n_features});
  std::fill_n(full.mutable_data(), n_features * n_features, std::nan(""));
  py::object num_data;  // the numerical columns as floats, converted once
  if (!num_features.empty()) {
    num_data = data.attr("loc")[py::make_tuple(full_slice(), num_features)].attr("astype")(
        builtin("float"));
    // Spearman over pairwise complete observations, ranked as DataFrame.corr ranks them
    place_block(full, kernels_of(mod).attr("spearman_matrix")(float_columns(num_data)),
                num_positions, num_positions, false);
  }
  if (!cat_features.empty()) {
    place_block(full, theil_u_block(mod, codes, encoded), cat_positions, cat_positions, false);
  }
  if (!num_features.empty() && !cat_features.empty()) {
    place_block(full, correlation_ratio_block(mod, codes, num_data, encoded), num_positions,
                cat_positions, true);
  }
  py::object full_df = mod["pd"].attr("DataFrame")(full, py::arg("index") = all_features,
                                                   py::arg("columns") = all_features);
  py::object cmap = mod["sns"].attr("diverging_palette")(250, 5, py::arg("as_cmap") = true);
  py::dict cell_properties;
  cell_properties["width"] = "15em";
  cell_properties["text-align"] = "center";
  return full_df.attr("astype")(builtin("float"))
      .attr("style")
      .attr("background_gradient")(py::arg("cmap") = cmap)
      .attr("set_properties")(**cell_properties)
      .attr("format")(py::arg("precision") = 2);
}

}  // namespace kova::kestrin
