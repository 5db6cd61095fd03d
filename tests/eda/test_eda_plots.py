"""Tests of the exploratory plot classes of kova.data.eda."""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.figure import Figure
from matplotlib.image import AxesImage
from matplotlib.patches import PathPatch, Rectangle
from matplotlib.text import Annotation
from sklearn.datasets import load_iris

from kova.data import Dataset
from kova.data.eda import BivariatePlot, MultivariatePlot, UnivariatePlot
from kova.exceptions import KovaError


@pytest.fixture(autouse=True)
def refuse_show(monkeypatch):
    def show(*args, **kwargs):
        raise AssertionError("plots must not call plt.show()")

    monkeypatch.setattr(plt, "show", show)


@pytest.fixture
def dataset():
    """Iris with a category column (with gaps), a text-number column and a constant."""
    frame = load_iris(as_frame=True).frame
    frame["species"] = np.array(["setosa", "versicolor", "virginica"])[frame.pop("target")]
    frame["size"] = np.where(frame["petal length (cm)"] > 4, "large", "small")
    frame.loc[::10, "size"] = None
    frame["width text"] = frame["sepal width (cm)"].map("{:.1f}".format)
    frame["constant"] = 1.0
    return Dataset(frame, target="species")


def _as_float(column):
    """The column as floats where every entry converts, else as it is."""
    try:
        return column.astype(float)
    except ValueError:
        return column


@pytest.fixture
def working(dataset):
    """The working copy the exploratory API builds: number texts become floats."""
    data = dataset.data_init[dataset.included_feature].copy()
    for name in data.columns:
        data[name] = _as_float(data[name])
    return data, dataset.meta_info


def main_axes(fig):
    return fig.axes[0]


def bar_count(ax):
    return sum(isinstance(p, Rectangle) and p.get_width() > 0 for p in ax.patches)


PLOT_CALLS = {
    "uni-number": lambda d, m, size: UnivariatePlot(d, m).plot("width text", figsize=size),
    "uni-category": lambda d, m, size: UnivariatePlot(d, m).plot("size", figsize=size),
    "bi-scatter": lambda d, m, size: BivariatePlot(d, m).plot(
        ["sepal length (cm)", "petal length (cm)"], figsize=size
    ),
    "bi-boxes": lambda d, m, size: BivariatePlot(d, m).plot(
        ["species", "petal width (cm)"], figsize=size
    ),
    "bi-counts": lambda d, m, size: BivariatePlot(d, m).plot(["size", "species"], figsize=size),
    "multi-heatmap": lambda d, m, size: MultivariatePlot(d, meta_info=m).plot(
        plot_type="correlation_heatmap", figsize=size
    ),
    "multi-graph": lambda d, m, size: MultivariatePlot(d, meta_info=m).plot(
        plot_type="correlation_graph", figsize=size
    ),
}


@pytest.mark.parametrize("kind", PLOT_CALLS)
@pytest.mark.parametrize("figsize", [(6, 6), (9.5, 4)])
def test_every_view_returns_a_figure_of_the_requested_size(working, kind, figsize):
    data, meta = working
    snapshot, meta_before = data.copy(deep=True), dict(meta)
    fig = PLOT_CALLS[kind](data, meta, figsize)
    assert isinstance(fig, Figure)
    assert tuple(fig.get_size_inches()) == pytest.approx(figsize)
    assert main_axes(fig).get_title(loc="left")
    assert plt.get_fignums() == []  # pyplot holds no reference: a notebook shows it once
    pd.testing.assert_frame_equal(data, snapshot)
    assert meta == meta_before


def test_none_figsize_uses_the_default(working):
    fig = UnivariatePlot(*working).plot("size", figsize=None)
    assert tuple(fig.get_size_inches()) == (6, 6)


def test_number_histogram_has_bins_and_density(working):
    data, meta = working
    ax = main_axes(UnivariatePlot(data, meta).plot("petal length (cm)"))
    heights = [p.get_height() for p in ax.patches if isinstance(p, Rectangle)]
    assert sum(heights) == len(data)
    assert "Density" in [line.get_label() for line in ax.get_lines()]


def test_category_bars_are_ordered_counts_with_missing_last(working):
    data, meta = working
    ax = main_axes(UnivariatePlot(data, meta).plot("size"))
    bars = sorted(ax.patches, key=lambda p: -p.get_y())  # top bar first
    labels = [
        t.get_text() for t in sorted(ax.get_yticklabels(), key=lambda t: -t.get_position()[1])
    ]
    counts = data["size"].value_counts()
    assert labels == [*counts.index, "Missing"]
    assert [b.get_width() for b in bars] == [*counts.tolist(), data["size"].isna().sum()]


def test_many_levels_are_pooled_into_other():
    data = pd.DataFrame({"code": [f"c{i:02d}" for i in range(40)] + ["c00"] * 5})
    ax = main_axes(UnivariatePlot(data, {}).plot("code"))
    assert bar_count(ax) == 15
    lowest = min(ax.get_yticklabels(), key=lambda t: t.get_position()[1])
    assert lowest.get_text() == "Other (26 levels)"


@pytest.mark.parametrize(
    ("meta", "column", "expect_bars"),
    [
        pytest.param({"n": "categorical"}, [1.0, 2.0, 2.0, 3.0], True, id="meta-says-category"),
        pytest.param({}, [1.0, 2.0, 2.0, 3.0], False, id="dtype-says-number"),
        pytest.param({}, [True, False, True, True], True, id="dtype-bool"),
        pytest.param({"n": "numerical"}, ["a", "b", "a", "c"], True, id="words-despite-meta"),
        # without a map, the kind is the one Dataset gives the column
        pytest.param({}, ["1.5", "2", None, "3"], False, id="number-texts"),
        pytest.param({}, pd.Categorical([1, 2, 2, 3]), True, id="category-dtype"),
    ],
)
def test_feature_kind_comes_from_meta_then_infer_column_kind(meta, column, expect_bars):
    ax = main_axes(UnivariatePlot(pd.DataFrame({"n": column}), meta).plot("n"))
    assert (ax.get_xlabel() == "Count") is expect_bars


def test_scatter_uses_rows_with_both_values(working):
    data, meta = working
    data = data.assign(gappy=data["petal width (cm)"].where(data.index % 3 > 0))
    ax = main_axes(BivariatePlot(data, meta).plot(["sepal length (cm)", "gappy"]))
    points = next(c for c in ax.collections if isinstance(c, PathCollection))
    assert len(points.get_offsets()) == data["gappy"].notna().sum()
    assert "Linear fit" in [line.get_label() for line in ax.get_lines()]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("sepal length (cm)", "gappy")


@pytest.mark.parametrize("category_first", [True, False])
def test_boxes_per_level_in_either_order(working, category_first):
    data, meta = working
    pair = ["size", "sepal width (cm)"]
    ax = main_axes(BivariatePlot(data, meta).plot(pair if category_first else pair[::-1]))
    assert sum(isinstance(p, PathPatch) for p in ax.patches) == 3  # large, small, Missing
    ticks = ax.get_xticklabels() if category_first else ax.get_yticklabels()
    assert any(t.get_text().startswith("Missing (n=15)") for t in ticks)


def test_two_categories_give_a_count_heatmap(working):
    data, meta = working
    ax = main_axes(BivariatePlot(data, meta).plot(["species", "size"]))
    image = next(a for a in ax.get_children() if isinstance(a, AxesImage))
    table = np.asarray(image.get_array())
    assert table.shape == (3, 3)  # rows: large, small, Missing; columns: three species
    assert table.sum() == len(data)
    np.testing.assert_array_equal(table[2], [5, 5, 5])


def test_heatmap_shows_lower_triangle_of_numeric_correlations(working):
    data, meta = working
    ax = main_axes(MultivariatePlot(data, meta_info=meta).plot())
    numeric = [n for n in data.columns if meta[n] == "numerical"]
    image = next(a for a in ax.get_children() if isinstance(a, AxesImage))
    cells = image.get_array()
    assert cells.shape == (len(numeric) - 1, len(numeric) - 1)
    assert cells.mask[0, 1]
    assert not cells.mask[1, 0]
    expected = data[numeric].corr().to_numpy()[1:, :-1]
    assert cells[2, 1] == pytest.approx(expected[2, 1])
    assert cells.mask[-1].all()  # the constant column has no correlation


def test_graph_draws_one_node_per_feature_and_edges_for_strong_pairs():
    rng = np.random.default_rng(0)
    base = rng.normal(size=200)
    data = pd.DataFrame(
        {
            "a": base,
            "b": base + 0.1 * rng.normal(size=200),
            "c": -base + 0.1 * rng.normal(size=200),
            "d": rng.normal(size=200),
            "e": ["x", "y"] * 100,
        }
    )
    ax = main_axes(MultivariatePlot(data).plot(plot_type="correlation_graph"))
    nodes = next(c for c in ax.collections if isinstance(c, PathCollection))
    edges = next(c for c in ax.collections if isinstance(c, LineCollection))
    assert len(nodes.get_offsets()) == 4
    assert len(edges.get_segments()) == 3  # a-b, a-c, b-c; d is independent
    colors = edges.get_colors()
    assert sum(colors[:, 2] > colors[:, 0]) == 2  # the two negative pairs are drawn blue


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize(
    "data",
    [
        pytest.param(pd.DataFrame({"n": [np.nan] * 4, "m": [1.0] * 4}), id="all-missing"),
        pytest.param(pd.DataFrame({"n": [1.0, np.inf, -np.inf, 2.0], "m": [0.0] * 4}), id="inf"),
        pytest.param(pd.DataFrame({"n": [1e300, -1e300, 0.0], "m": [1.0, 2, 3]}), id="huge"),
        pytest.param(pd.DataFrame({"n": pd.Series([], dtype=float), "m": []}), id="empty"),
        pytest.param(pd.DataFrame({"n": [3.0], "m": ["a"]}), id="one-row"),
    ],
)
def test_degenerate_columns_still_give_figures(data):
    figures = [
        UnivariatePlot(data, {}).plot("n"),
        UnivariatePlot(data, {}).plot("m"),
        BivariatePlot(data, {}).plot(["n", "m"]),
        BivariatePlot(data, {}).plot(["m", "n"]),
    ]
    if data["m"].dtype.kind == "f":
        figures.append(MultivariatePlot(data).plot(plot_type="correlation_graph"))
    assert all(isinstance(fig, Figure) for fig in figures)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        pytest.param(lambda d: UnivariatePlot(d, {}).plot("nope"), "nope", id="uni-unknown"),
        pytest.param(lambda d: BivariatePlot(d, {}).plot(["a", "nope"]), "nope", id="bi-unknown"),
        pytest.param(lambda d: BivariatePlot(d, {}).plot(["a", "a"]), "different", id="bi-same"),
        pytest.param(lambda d: BivariatePlot(d, {}).plot("a"), "two", id="bi-string"),
        pytest.param(lambda d: BivariatePlot(d, {}).plot(["a", "b", "c"]), "two", id="bi-three"),
        pytest.param(lambda d: MultivariatePlot(d).plot(plot_type="pairs"), "pairs", id="m-type"),
        pytest.param(lambda d: MultivariatePlot(d[["a", "c"]]).plot(), "two numerical", id="m-few"),
        pytest.param(lambda d: UnivariatePlot(d, {}).plot("a", figsize=(6,)), "figsize", id="size"),
        pytest.param(lambda d: UnivariatePlot(d, []).plot("a"), "meta_info", id="meta-type"),
        pytest.param(lambda d: UnivariatePlot(d.values, {}).plot("a"), "DataFrame", id="data"),
        pytest.param(lambda d: UnivariatePlot(d[["a", "a"]], {}).plot("a"), "more than", id="dup"),
    ],
)
def test_bad_requests_raise_kova_error(call, message):
    data = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [2.0, 1.0, 0.0], "c": ["x", "y", "x"]})
    with pytest.raises(KovaError, match=message):
        call(data)


# -- layout -------------------------------------------------------------------------

LONG_NAMES = ["od280/od315_of_diluted_wines", "nonflavanoid_phenols", "a category with a long name"]


def correlated_frame(names, rows=120):
    """Numeric columns sharing one factor (so correlation edges exist), named `names`."""
    rng = np.random.default_rng(7)
    base = rng.normal(size=rows)
    return pd.DataFrame(
        {n: base * (i % 3 - 1) + rng.normal(size=rows) for i, n in enumerate(names)}
    )


@pytest.mark.filterwarnings("ignore:Tight layout not applied")  # 3 inches hold little
@pytest.mark.parametrize("figsize", [(3, 3), (4, 3)])
@pytest.mark.parametrize(
    "draw",
    [
        pytest.param(lambda d, s: UnivariatePlot(d, {}).plot(LONG_NAMES[0], figsize=s), id="uni"),
        pytest.param(
            lambda d, s: BivariatePlot(d, {}).plot(LONG_NAMES[::-2], figsize=s), id="boxes"
        ),
        pytest.param(lambda d, s: MultivariatePlot(d).plot(figsize=s), id="heatmap"),
    ],
)
def test_nothing_is_drawn_past_the_figure_edges(draw, figsize):
    data = correlated_frame(LONG_NAMES[:2]).assign(**{LONG_NAMES[2]: ["x", "y", "z"] * 40})
    fig = draw(data, figsize)
    box = fig.get_tightbbox()  # inches; long titles used to run off a narrow figure
    assert box.x0 >= -0.01
    assert box.x1 <= figsize[0] + 0.01


@pytest.mark.parametrize(
    ("skipped", "detail"),
    [(1, "1 categorical feature not shown"), (2, "2 categorical features not shown")],
)
def test_correlation_views_count_the_features_left_out(skipped, detail):
    data = correlated_frame(["a", "b"]).assign(**{f"c{i}": "x" for i in range(skipped)})
    texts = [t.get_text() for t in main_axes(MultivariatePlot(data).plot()).texts]
    assert detail in texts


def cell_values(ax):
    return [t for t in ax.texts if t.get_text() == "n/a" or t.get_text()[-3:-2] == "."]


@pytest.mark.parametrize("n_features", [4, 13, 30])
@pytest.mark.parametrize("figsize", [(6, 6), (4, 3), (9.5, 4)])
def test_heatmap_values_fit_inside_their_cells(n_features, figsize):
    data = correlated_frame([f"feature {i}" for i in range(n_features)])
    ax = main_axes(MultivariatePlot(data).plot(figsize=figsize))
    image = next(a for a in ax.get_children() if isinstance(a, AxesImage))
    cell = image.get_window_extent().width / (n_features - 1)
    values = cell_values(ax)
    if n_features == 4:
        assert len(values) == 6  # large cells are labelled
    assert all(t.get_window_extent().width < 0.95 * cell for t in values)


@pytest.mark.parametrize("names", [[*LONG_NAMES[:2], "alcohol", "hue", "ash"], LONG_NAMES * 5])
@pytest.mark.parametrize("figsize", [(5, 5), (6, 6), (9.5, 4)])
def test_graph_labels_stay_inside_the_axes_and_off_the_nodes(names, figsize):
    names = [f"{name} {i}" for i, name in enumerate(names)]
    ax = main_axes(MultivariatePlot(correlated_frame(names)).plot("correlation_graph", figsize))
    frame = ax.get_window_extent()
    labels = [t for t in ax.texts if isinstance(t, Annotation)]
    nodes = next(c for c in ax.collections if isinstance(c, PathCollection))
    centres = ax.transData.transform(nodes.get_offsets())
    radii = np.sqrt(nodes.get_sizes()) / 2 * ax.figure.dpi / 72
    assert len(labels) == len(names)
    for label, name in zip(labels, names, strict=True):  # possibly shortened
        assert name.startswith(label.get_text().removesuffix("…"))
    for label, (x, y), radius in zip(labels, centres, radii, strict=True):
        box = label.get_window_extent()
        assert frame.x0 - 1 <= box.x0
        assert box.x1 <= frame.x1 + 1
        assert frame.y0 - 1 <= box.y0
        assert box.y1 <= frame.y1 + 1
        if len(names) <= 12:  # horizontal labels: their box keeps clear of the marker
            gap = np.hypot(max(box.x0 - x, 0, x - box.x1), max(box.y0 - y, 0, y - box.y1))
            assert gap >= radius


def _reference_levels(column, max_levels):
    """Row by row: each value's label, levels by falling count then label, the rest pooled."""
    labels = [None if pd.isna(v) else (str(int(v)) if isinstance(v, float) and v == int(v)
              else str(v)) for v in column]  # fmt: skip
    counts = pd.Series([x for x in labels if x is not None]).value_counts()
    ordered = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    kept = [x for x, _ in ordered][: max_levels - 1 if len(ordered) > max_levels else None]
    other = f"Other ({len(ordered) - len(kept)} levels)" if len(kept) < len(ordered) else None
    rows = ["Missing" if x is None else x if x in kept else other for x in labels]
    return rows, kept + ([other] if other else []) + (["Missing"] if None in labels else [])


@pytest.mark.parametrize("max_levels", [3, 12])
@pytest.mark.parametrize(
    "column",
    [
        pd.Series([f"ID-{i}" for i in range(40)] + ["ID-7", "ID-3", "ID-7"]),
        pd.Series(["b", None, "a", "b", "c", "a", "b", None], dtype="str"),
        pd.Series([1, 1.0, "1", 2.5, 3.0, None, "x", 3, np.nan] * 3, dtype=object),
        pd.Series(np.random.default_rng(0).integers(0, 30, 200).astype(float)),
    ],
)
def test_level_labels_by_distinct_value_match_the_row_by_row_rule(column, max_levels):
    from kova.data.eda.features import level_labels

    labels, levels = level_labels(column, max_levels)
    expected_rows, expected_levels = _reference_levels(column, max_levels)
    assert levels == expected_levels
    assert list(labels) == expected_rows


@pytest.mark.parametrize(("n", "drawn"), [(500, 500), (20_001, 20_000)])
def test_large_scatters_draw_a_stated_sample(n, drawn):
    from kova.data.eda.bivariate import BivariatePlot

    rng = np.random.default_rng(2)
    x = rng.normal(size=n)
    fig = BivariatePlot(pd.DataFrame({"x": x, "y": x + rng.normal(size=n)})).plot(["x", "y"])
    ax = fig.axes[0]
    assert len(ax.collections[0].get_offsets()) == drawn
    labels = ax.get_legend_handles_labels()[1]
    assert (f"{drawn:,} of {n:,} points" in labels) == (drawn < n)
