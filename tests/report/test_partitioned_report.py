"""The report on partitioned data: the alerts and integrity tables of the in-memory report on
the same rows, column profiles merged exactly, a sample drawn across partitions, and one clear
error for bad sources."""

import itertools
import re

import numpy as np
import pandas as pd
import pytest

from kova.__main__ import main
from kova.data.profile import profile_column
from kova.report import partition_profile as pp
from kova.report.build import build_report
from kova.report.context import ReportContext

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

START_TIMEOUT = "60s"
CUTS = [0, 7, 7, 150, 151, 400]  # uneven files, one of them empty


@pytest.fixture(scope="module")
def scheduler(dask_cluster):
    """The address of the tests' LocalCluster."""
    return dask_cluster.scheduler_address


def planted_frame() -> pd.DataFrame:
    """Mixed columns with missing cells, a constant column, text among numbers, special-only
    entries, a long string at a file edge, an identifier and duplicates across file edges."""
    rng, n = np.random.default_rng(5), 400
    frame = pd.DataFrame(
        {
            "x": rng.normal(size=n),
            "x2": rng.integers(-3, 4, n).astype(float),
            "colour": rng.choice(["red", "green", "blue"], n),
            "code": rng.choice(["10", "20", "?!", "#", "n/a"], n),
            "name": [f"person {i}" for i in range(n)],
            "same": 1,
            "y": rng.integers(0, 2, n),
        }
    )
    frame["x3"] = frame["x"] * 2 + 1  # associated with x
    frame.loc[::9, "x"] = np.nan
    frame.loc[150, "colour"] = "an unusually long colour name at a file edge"
    frame.iloc[[6, 151, 399]] = frame.iloc[[5, 149, 0]].to_numpy()  # across file edges
    return frame


def write_files(frame: pd.DataFrame, folder, kind: str) -> str:
    folder.mkdir()
    for i, (a, b) in enumerate(itertools.pairwise(CUTS)):
        part = frame.iloc[a:b]
        if kind == "parquet":
            part.to_parquet(folder / f"part{i}.parquet", index=False)
        else:
            part.to_csv(folder / f"part{i}.csv", index=False)
    return str(folder) if kind == "parquet" else str(folder / "part*.csv")


def report(argv, capsys):
    code = main([*argv, "--quiet", "--jobs", "1"])
    out, err = capsys.readouterr()
    return code, out, err


def page_parts(path) -> dict:
    """The alerts, the overview's row and cell counts and the three integrity tables."""
    page = path.read_text(encoding="utf-8")
    sections = {}
    for anchor in ("single-column-checks", "duplicated-rows", "associations"):
        start = page.index(f"<h2 id='{anchor}'>")
        sections[anchor] = re.sub(r"T_[0-9a-f_]+", "", page[start : page.index("<h2", start + 4)])
    sections["alerts"] = re.findall(r"<tr class='alert'>.*?</tr>", page)
    sections["counts"] = re.findall(
        r"<th>(Rows|Missing cells|Duplicated rows)</th><td>(.*?)<", page
    )
    return sections


@pytest.mark.parametrize("kind", ["parquet", "csv"])
def test_report_equals_in_memory_on_the_same_rows(kind, scheduler, tmp_path, capsys):
    frame = planted_frame()
    source = write_files(frame, tmp_path / "parts", kind)
    whole = tmp_path / f"whole.{kind}"
    frame.to_parquet(whole, index=False) if kind == "parquet" else frame.to_csv(whole, index=False)
    pages = {}
    for name, data, options in [
        ("parts", source, ["--scheduler", scheduler]),
        ("whole", whole, []),
    ]:
        out = tmp_path / f"{name}.html"
        code, stdout, err = report(["report", str(data), "--target", "y", "-o", str(out), *options],
                                   capsys)  # fmt: skip
        assert (code, stdout, err) == (0, f"{out}\n", "")
        pages[name] = page_parts(out)
    assert pages["parts"] == pages["whole"]
    kinds = " ".join(pages["parts"]["alerts"])
    for planted in ("missing values", "duplicated rows", "mixed types", "special characters",
                    "constant column", "associated features", "long strings"):  # fmt: skip
        assert planted in kinds


@pytest.mark.parametrize("cap", [None, 3])
@pytest.mark.parametrize("bounds", [[0, 3, 3, 10, 40], [0, 40], [0, 0, 1, 39, 40]])
def test_merged_profiles_equal_in_memory(bounds, cap, monkeypatch):
    # with a cap of 3 distinct values the numerical columns are sketched; on 40 rows every
    # value is a sketch point, so every figure but the distinct count stays exact
    if cap is not None:
        monkeypatch.setattr(pp, "VALUE_CAP", cap)
    rng = np.random.default_rng(len(bounds))
    numbers = rng.choice([0.0, -0.0, 1.5, -2.0, np.inf, -np.inf, np.nan, 7.0], 40)
    numbers[:3] = np.nan  # a partition with no number present
    words = pd.Series(rng.choice(["b", "a", "c", None, "a long entry"], 40), dtype=object)
    for series, kind in [(pd.Series(numbers, name="n"), "numerical"),
                         (pd.Series(rng.normal(size=40), name="r"), "numerical"),
                         (words.rename("w"), "categorical")]:  # fmt: skip
        parts = [[pp.column_facts(series.iloc[a:b], kind)] for a, b in itertools.pairwise(bounds)]
        merged = pp.profiles([series.name], {series.name: kind}, pp.merge_facts(parts, 1))
        expected, got = profile_column(series, kind), merged[series.name]
        if expected.numeric is not None:
            assert got.numeric.mean == pytest.approx(expected.numeric.mean, rel=1e-12, nan_ok=True)
            assert got.numeric.std == pytest.approx(expected.numeric.std, rel=1e-12, nan_ok=True)
            exact = ["min", "max", "quantiles", "zeros", "negatives", "infinite"]
            for name in exact:
                assert getattr(got.numeric, name) == getattr(expected.numeric, name), name
            np.testing.assert_array_equal(got.numeric.hist_counts, expected.numeric.hist_counts)
            np.testing.assert_array_equal(got.numeric.hist_edges, expected.numeric.hist_edges)
            if cap is not None and expected.distinct > cap:
                assert cap < got.distinct <= expected.distinct
                got = got.__class__(**{**got.__dict__, "distinct": expected.distinct,
                                       "distinct_share": expected.distinct_share})  # fmt: skip
            got, expected = (
                p.__class__(**{**p.__dict__, "numeric": None}) for p in (got, expected)
            )
        assert got == expected


@pytest.mark.parametrize("limit", [1 << 13, 300])
@pytest.mark.parametrize("parts", [1, 7, 40])
def test_sketched_quantiles_within_the_stated_rank_error(parts, limit, monkeypatch):
    # a float column with a new value in every row, past the cap in every partition; a small
    # sketch limit makes the merges thin the pooled points again and again
    monkeypatch.setattr(pp, "VALUE_CAP", 100)
    monkeypatch.setattr(pp, "SKETCH_LIMIT", limit)
    n = 60_000
    values = np.random.default_rng(parts).standard_normal(n)
    bounds = np.linspace(0, n, parts + 1).astype(int)
    facts = pp.merge_facts(
        [
            [pp.column_facts(pd.Series(values[a:b]), "numerical")]
            for a, b in itertools.pairwise(bounds)
        ],
        1,
    )[0]
    got = pp.numerical_profile("x", facts).numeric
    assert not facts.exact
    assert 100 < facts.distinct <= n
    assert got.hist_counts.sum() == n
    assert (got.min, got.max) == (values.min(), values.max())
    ordered = np.sort(values)
    # each partition's sketch and each thinning of the pool misplaces a rank by at most a step
    thinnings = int(np.ceil(np.log2(parts))) + 1 if parts * 256 > limit else 1
    bound = thinnings * (n // 256 + parts * 2)
    for q, estimate in got.quantiles.items():
        rank = np.searchsorted(ordered, estimate)
        assert abs(rank - q * (n - 1)) <= bound, (q, rank)


def test_sample_is_drawn_across_partitions_in_table_order(scheduler):
    from kova.report.alerts import Thresholds
    from kova.report.partitions import PartitionedReportContext, open_source

    frame = planted_frame()
    parts = [frame.iloc[a:b] for a, b in itertools.pairwise(CUTS)]
    data, own = open_source(dd.from_delayed([dask.delayed(p) for p in parts], meta=frame[:0]))
    steps = []
    with distributed.Client(scheduler, timeout=START_TIMEOUT) as client:
        contexts = [
            PartitionedReportContext.scan(data, own, "y", Thresholds(), client, steps.append, 60)
            for _ in range(2)
        ]
    sample = contexts[0].frame
    assert len(sample) == 60
    assert sample.index.is_monotonic_increasing
    pd.testing.assert_frame_equal(sample, frame.loc[sample.index])  # labels are table positions
    pd.testing.assert_frame_equal(sample, contexts[1].frame)  # the same data, the same sample
    assert sample.index.min() < 150 < sample.index.max()
    # the column kinds' pass and the scan, per partition, twice
    assert steps.count("column summaries: partition 1 of 5") == 2
    assert steps.count("column facts: partition 5 of 5") == 2
    assert len(steps) == 20
    assert contexts[0].n_rows == 400
    assert "60 of the 400 rows" in contexts[0].model_sample.describe()
    page = build_report(sample, "y", "sampled", context=contexts[0], jobs=1)
    in_memory = ReportContext(frame, "y")  # counts of every row, not of the sample
    cells = f"{int(in_memory.missing.sum())} of {frame.size:,}"
    assert page.facts["Rows"] == "400"
    assert page.facts["Missing cells"].startswith(cells)
    # the integrity passes advance the progress bar partition by partition too
    for label in ("long strings", "row hashes", "duplicate candidates", "associations", "ranks"):
        assert f"{label}: partition 5 of 5" in steps[20:]


def bad_sources(tmp_path):
    frame = planted_frame().head(20)
    other = tmp_path / "other"
    other.mkdir()
    frame.to_csv(other / "a.csv", index=False)
    frame.rename(columns={"x": "renamed"}).to_csv(other / "b.csv", index=False)
    broken = tmp_path / "broken"
    broken.mkdir()
    frame.to_parquet(broken / "a.parquet")
    (broken / "b.parquet").write_bytes(b"PAR1 not really parquet")
    return {
        "nothing matches": ([str(tmp_path / "none" / "*.csv")], "no file matches"),
        "different columns": ([str(other / "*.csv")], "must have the same columns"),
        "unreadable file": ([str(broken)], "cannot read"),
        "no scheduler": (
            [str(broken / "a.parquet"), "--scheduler", "tcp://127.0.0.1:9"],
            "cannot reach the Dask scheduler",
        ),
    }


@pytest.mark.parametrize(
    "case", ["nothing matches", "different columns", "unreadable file", "no scheduler"]
)
def test_bad_source_is_one_error_line_and_status_2(case, tmp_path, capsys):
    argv, reason = bad_sources(tmp_path)[case]
    out = tmp_path / "report.html"
    code, stdout, err = report(["report", *argv, "--target", "y", "-o", str(out)], capsys)
    assert (code, stdout) == (2, "")
    assert err.startswith("error: ")
    assert err.count("\n") == 1
    assert reason in err
    assert not out.exists()


def test_local_cluster_keeps_few_shuffle_messages_in_flight_and_stops():
    from kova.report.partitions import dask_client

    with dask_client(None) as client:
        settings = client.run(lambda: dask.config.get("distributed.p2p.comm.concurrency"))
        assert set(settings.values()) == {2}
        cluster = client.cluster
    assert cluster.status.name == "closed"
