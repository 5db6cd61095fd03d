"""The partitioned integrity checks give the tables of DataIntegrityCheck on the same rows."""

import contextlib
import itertools

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pandas.testing import assert_frame_equal

from kova import _kernels
from kova.data import PartitionedIntegrityCheck, infer_column_kind
from kova.data.kestrin.kestrin import DataIntegrityCheck
from kova.exceptions import KovaError

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")


TEXTS = ["a", "b", "12", " 3.5 ", "??", "#!", "", "a much longer text than the rest", None]


@st.composite
def partitioned_frames(draw):
    """A small frame and cut points splitting it into uneven (possibly empty) partitions."""
    n = draw(st.integers(0, 24))
    rows = st.lists(st.integers(0, 3), min_size=n, max_size=n)
    ints, floats, texts, cats = (draw(rows) for _ in range(4))
    frame = pd.DataFrame(
        {
            "int": np.array(ints, dtype=np.int64),
            # entirely missing in the rows where the draw is 0 (whole partitions, often)
            "float": np.array([np.nan if v == 0 else v / 2 for v in floats]),
            "text": pd.Series(
                [TEXTS[(t * 3 + i) % len(TEXTS)] for i, t in enumerate(texts)], dtype=object
            ),
            "cat": pd.Categorical(
                [["x", "y", "z", None][c] for c in cats], categories=["x", "y", "z"]
            ),
            "word": pd.Series([["p", "q", "1", None][c] for c in ints], dtype=object),
        }
    )
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=4)))
    labels = draw(st.sampled_from(["positions", "repeated"]))
    return frame, [0, *cuts, n], labels


def as_dask(frame: pd.DataFrame, bounds: list[int]):
    parts = [frame.iloc[a:b] for a, b in itertools.pairwise(bounds)]
    return dd.from_delayed([dask.delayed(p) for p in parts], meta=frame.iloc[:0])


def tables(check):
    dups = check.duplicated_samples()
    return (
        check.single_column_check().data,
        check.highly_correlated_features().data,
        dups,
    )


def assert_same_tables(ours, expected):
    for got, want in zip(ours, expected, strict=True):
        if isinstance(want, str):
            assert got == want
        else:
            assert_frame_equal(got, want)


@settings(
    max_examples=6, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(partitioned_frames(), st.booleans())
def test_partitioned_tables_equal_in_memory(client, case, infer):
    frame, bounds, labels = case
    if labels == "repeated":  # the source's own index, with repeated labels
        frame = frame.set_axis(pd.Index([i // 3 for i in range(len(frame))], name="key"))
    source = as_dask(frame, bounds)
    # the rows as the Dask DataFrame holds them (Dask may store text in its own string dtype)
    rows = source.compute()
    if labels == "positions":
        rows = rows.reset_index(drop=True)
    meta = {name: infer_column_kind(rows[name]) for name in rows.columns}
    check = PartitionedIntegrityCheck(source, None if infer else meta)
    assert_same_tables(tables(check), tables(DataIntegrityCheck(rows, meta)))


@pytest.mark.parametrize("heavy", [0.0, np.nan])
def test_no_range_task_holds_a_repeated_value_or_missing_rows_beyond_a_range(heavy):
    # 90 % of the rows hold one value (or none): they are dealt round the output partitions
    # rather than sent to the one range that holds the value.
    from kova.data.kestrin import partition_ranks as ranks

    n, range_rows = 20_000, 500
    values = np.where(np.arange(n) % 10 < 9, heavy, np.arange(n, dtype=float))
    starts = ranks.boundaries(*ranks.sketch(*_kernels.finite_value_counts(values)), range_rows)
    outputs = max(len(starts), n // range_rows)
    pieces = [ranks.numbered(pd.DataFrame(index=range(len(p))), [p]) for p in np.split(values, 8)]
    targets = np.concatenate([
        ranks.with_targets(p, 0, starts, outputs, {"number": k})["value_range"]
        for k, p in enumerate(pieces)
    ])  # fmt: skip
    assert np.bincount(targets).max() <= 3 * range_rows  # a range and its share of the dealt


@settings(
    max_examples=8, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    st.lists(st.sampled_from([0.0, -0.0, 1.0, 1.5, 2.0, 3.0, np.inf, np.nan]), min_size=2,
             max_size=40),
    st.lists(st.integers(0, 40), max_size=4),
    st.integers(1, 6),
    st.integers(0, 60),
)  # fmt: skip
def test_spearman_by_value_ranges_equals_in_memory(
    client, monkeypatch, picks, cuts, range_rows, budget
):
    # Tiny bounds rank some or all numerical columns by value ranges of a few rows each, so ties
    # straddle where a range would otherwise end, values repeated on a range's worth of rows get
    # ranges of their own, and missing values differ pair by pair.
    from kova.data.kestrin import partition_ranks

    monkeypatch.setattr(partition_ranks, "TABLE_BUDGET", budget)
    monkeypatch.setattr(partition_ranks, "RANGE_ROWS", range_rows)
    n = len(picks)
    x = np.array(picks)
    frame = pd.DataFrame(
        {"x": x, "y": np.roll(x, 3) * 2 + np.arange(n) % 3, "z": np.where(x > 1, np.nan, -x)}
    )
    frame["k"] = pd.Categorical(np.array(["a", "b"])[np.arange(n) % 2])
    bounds = [0, *sorted(min(c, n) for c in cuts), n]
    meta = {"x": "numerical", "y": "numerical", "z": "numerical", "k": "categorical"}
    ours = PartitionedIntegrityCheck(as_dask(frame, bounds), meta).highly_correlated_features()
    assert_frame_equal(ours.data, DataIntegrityCheck(frame, meta).highly_correlated_features().data)


def test_same_styling_as_in_memory(client):
    frame = pd.DataFrame({"n": [1.0, 2.0, 3.0, 1.0], "t": ["a", "b", "a", "!!"]})
    meta = {"n": "numerical", "t": "categorical"}
    ours = PartitionedIntegrityCheck(as_dask(frame, [0, 1, 1, 4]), meta)
    theirs = DataIntegrityCheck(frame, meta)
    for method in ("single_column_check", "highly_correlated_features"):
        assert getattr(ours, method)().set_uuid("t").to_html() == (
            getattr(theirs, method)().set_uuid("t").to_html()
        )


@pytest.mark.parametrize("layout", ["parquet folder", "parquet glob", "csv glob", "parquet file"])
def test_files_read_as_the_concatenated_rows(client, tmp_path, layout):
    frame = pd.DataFrame(
        {"x": [1, 2, 2, 1, 5, 2], "t": ["a", "bb", "bb", "a", "a very long text", "bb"]}
    )
    pieces = [frame.iloc[:2], frame.iloc[2:5], frame.iloc[5:]]
    kind = "csv" if layout.startswith("csv") else "parquet"
    for k, piece in enumerate(pieces):
        path = tmp_path / f"part-{k}.{kind}"
        if kind == "csv":
            piece.to_csv(path, index=False)
        else:
            piece.reset_index(drop=True).to_parquet(path, index=False)
    source = {
        "parquet folder": tmp_path,
        "parquet glob": tmp_path / "part-*.parquet",
        "csv glob": tmp_path / "part-*.csv",
        "parquet file": tmp_path / "part-1.parquet",
    }[layout]
    expected = frame.iloc[2:5].reset_index(drop=True) if layout == "parquet file" else frame
    check = PartitionedIntegrityCheck(str(source), None)
    rows = check.data.compute().reset_index(drop=True)
    assert_frame_equal(rows, expected, check_dtype=False)
    meta = {name: infer_column_kind(rows[name]) for name in rows.columns}
    in_memory = DataIntegrityCheck(rows, meta)
    assert_same_tables(tables(check), tables(in_memory))


def test_bad_sources_fail_with_one_clear_error(tmp_path):
    pd.DataFrame({"a": [1]}).to_csv(tmp_path / "one.csv", index=False)
    pd.DataFrame({"b": [1]}).to_csv(tmp_path / "two.csv", index=False)
    (tmp_path / "bad.parquet").write_bytes(b"not a parquet file")
    cases = {
        str(tmp_path / "none-*.csv"): "no file matches",
        str(tmp_path / "*.csv"): "must have the same columns",
        str(tmp_path / "bad.parquet"): "cannot read",
        str(tmp_path / "missing.parquet"): "no file matches",
    }
    for source, message in cases.items():
        with pytest.raises(KovaError, match=message):
            PartitionedIntegrityCheck(source)
    with pytest.raises(KovaError, match="meta_info"):
        PartitionedIntegrityCheck(str(tmp_path / "one.csv"), ["a"])


def test_row_hashes_equal_for_equal_rows_only():
    from kova._kernels import row_hashes

    texts = np.array(["é", "é", "x", None, np.nan, 1, 1.0, True, "\ud800", "\ud800"], dtype=object)
    floats = np.array([0.0, -0.0, 1.0, np.nan, np.nan, 2.0, 2.0, 2.0, 3.0, 3.0])
    h = row_hashes([texts, floats], len(floats))
    assert (h[0] == h[1]).all()
    assert (h[3] == h[4]).all()
    assert (h[5] == h[6]).all()
    assert (h[6] == h[7]).all()
    assert not (h[0] == h[2]).all()
    assert (h[8] == h[9]).all()  # a lone surrogate has no UTF-8 form, yet hashes
    unhashable = np.empty(2, dtype=object)
    unhashable[:] = [[1], [2]]
    with pytest.raises(TypeError):
        row_hashes([unhashable], 2)
    with pytest.raises(ValueError, match="1-dimensional with 3 entries"):
        row_hashes([floats[:2]], 3)


@pytest.mark.parametrize("start", [0, 2])
def test_arrow_text_hashes_as_the_same_strs(start):
    from kova.data.kestrin.partition_rows import row_hashes

    texts = ["é", "abc", None, "", "中文 and a text longer than eight bytes", "abc", "abd"]
    as_objects = pd.DataFrame({"t": pd.Series(texts, dtype=object), "n": range(len(texts))})
    as_arrow = as_objects.astype({"t": pd.StringDtype("pyarrow", na_value=np.nan)})
    got, want = row_hashes(as_arrow.iloc[start:]), row_hashes(as_objects.iloc[start:])
    np.testing.assert_array_equal(got, want)
    assert len({tuple(h) for h in got.tolist()}) == len(got)  # distinct rows, distinct hashes


def _joined(earlier, later, separator):
    return earlier + separator + later


@pytest.mark.parametrize("on_cluster", [True, False])
@pytest.mark.parametrize("n", [1, 2, 5, 13])
def test_partition_results_merge_in_partition_order(request, on_cluster, n):
    # an order-sensitive merge: any tree of it gives the partitions' results in table order
    from kova.data.kestrin.partition_tasks import fetched, reduced

    if on_cluster:
        request.getfixturevalue("client")
    told = []
    tasks = [dask.delayed(str)(k) for k in range(n)]
    with dask.config.set(scheduler="threads") if not on_cluster else contextlib.nullcontext():
        whole = fetched(reduced(tasks, _joined, "join", told.append, ","))
    assert whole == ",".join(map(str, range(n)))
    assert told == [f"join: partition {k} of {n}" for k in range(1, n + 1)]


@pytest.mark.parametrize("dtype", ["string[pyarrow]", "string[python]", "category"])
def test_text_summaries_per_distinct_value_equal_per_entry(dtype):
    # string and categorical columns are summarized once per distinct value, weighted by its
    # rows; the per-entry summary of the same entries as objects must agree field by field
    from kova.data.kestrin.partition_summary import summarize_column

    entries = [*TEXTS, "??", "12", None, "a much longer text than the rest", "Ёлка", "1e5"]
    column = pd.Series(entries * 3, dtype=dtype)
    assert summarize_column(column) == summarize_column(column.astype(object))
