"""One context per run: one Dataset, one scan per column, one duplicated-rows pass; the
section registry's order; low-severity missing values; the model's row sample; options."""

import collections
import json
import re

import numpy as np
import pandas as pd
import pytest

from kova.__main__ import main
from kova.report import alerts as al
from kova.report import model
from kova.report.build import SECTIONS, build_report
from kova.report.context import ReportContext


def planted(n=400, seed=0):
    """Numbers, categories, an identifier, a text column mixing numbers, a 0.5 % missing
    column, duplicated rows and a binary target."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "x": rng.normal(size=n),
            "rare_gap": rng.normal(size=n),
            "site": rng.choice(["a", "b", "c"], size=n),
            "row_id": [f"id{i}" for i in range(n)],
            "code": rng.integers(100, 999, size=n).astype(str).astype(object),
        }
    )
    frame.loc[: n // 200 - 1, "rare_gap"] = np.nan  # 0.5 % missing
    frame.loc[5, "code"] = "pending"
    frame["y"] = (frame["x"] + rng.normal(scale=0.5, size=n) > 0).astype(int)
    return pd.concat([frame, frame.iloc[:3]], ignore_index=True)


def test_one_run_builds_one_dataset_and_scans_each_column_once(monkeypatch):
    from kova import _kernels
    from kova.data import Dataset

    frame = planted()
    calls = collections.Counter()
    init, scan, duplicated = Dataset.__init__, _kernels.scan_entries, pd.DataFrame.duplicated

    def counting_init(self, *args, **kwargs):
        calls["Dataset"] += 1
        init(self, *args, **kwargs)

    def counting_scan(values):
        calls["scan", len(values)] += 1
        return scan(values)

    def counting_duplicated(self, *args, **kwargs):
        calls["duplicated"] += 1
        return duplicated(self, *args, **kwargs)

    monkeypatch.setattr(Dataset, "__init__", counting_init)
    monkeypatch.setattr(_kernels, "scan_entries", counting_scan)
    monkeypatch.setattr(pd.DataFrame, "duplicated", counting_duplicated)
    page = build_report(frame, "y", "t", jobs=1)
    assert any(a.kind == "weak segment" or a.kind == "mixed types" for a in page.alerts)
    # the shared scan reads the entries of each text column once; numbers need no scan
    text_columns = sum(not pd.api.types.is_numeric_dtype(frame[c]) for c in frame)
    assert calls == {"Dataset": 1, ("scan", len(frame)): text_columns, "duplicated": 1}


@pytest.mark.parametrize(
    ("missing", "severity"),
    [(0, None), (2, "low"), (20, "low"), (21, "high")],  # the default limit is 2 % of 1000
)
def test_missing_values_at_every_share(missing, severity):
    counts = pd.Series({"c": missing})
    found = al.null_alerts(counts, 1000, al.Thresholds().max_null_ratio, "a")
    assert [a.severity for a in found] == ([] if severity is None else [severity])
    if found:
        assert found[0].figure == f"{missing} of 1000 ({missing / 1000:.1%}) missing"


ALERT = re.compile(r"<td class='sev-(\w+)'>\w+</td><td>(.*?)</td><td>(.*?)</td>")


def test_planted_problems_and_section_order(tmp_path):
    frame = planted()
    timings: dict[str, float] = {}
    page = build_report(frame, "y", "t", jobs=1, timings=timings)
    text = page.write(tmp_path / "r.html").read_text(encoding="utf-8")
    found = set(ALERT.findall(text))
    assert ("low", "missing values", "rare_gap") in found  # 0.5 % missing
    assert ("high", "mixed types", "code") in found
    assert ("medium", "duplicated rows", "(all columns)") in found
    assert not any("row_id" in columns for _, _, columns in found)
    assert list(timings) == [s.label for s in SECTIONS]  # every section, in registry order
    anchors = re.findall(r"<h2 id='([\w-]+)'>", text)
    assert anchors[:6] == ["contents", "overview", "alerts", "columns", "missing", "rows"]
    assert anchors.index("single-column-checks") < anchors.index("eda-univariate")
    assert anchors.index("search") < anchors.index("train-test-distance")
    assert anchors[-1] == "segment-shift"
    # the identifier is listed once in the overview and in no association or distance table
    associations = text[text.index("id='associations'") : text.index("id='eda-univariate'")]
    distances = text[text.index("id='train-test-distance'") : text.index("id='segments'")]
    assert ">row_id<" not in associations
    assert ">row_id<" not in distances
    assert "<th>Identifier-like columns</th><td>row_id, code</td>" in text
    assert text.count("class='card'") == frame.shape[1]


@pytest.mark.parametrize("labels", ["classification", "regression"])
def test_the_model_reads_a_stratified_sample_of_large_data(monkeypatch, labels):
    monkeypatch.setattr(model, "MAX_TRAINING_ROWS", 200)
    frame = planted(2000)
    if labels == "regression":
        frame["y"] = frame["x"] * 3.5 + 0.25
    else:
        frame.loc[frame.index[:300], "y"] = 2  # an uneven third class
    context = ReportContext(frame, "y")
    sample = context.model_sample
    used = sample.dataset
    assert len(used.train_idx) == 200
    assert len(used.test_idx) == 50
    assert sample.train_rows == len(context.dataset.train_idx)
    assert sample.sampled
    assert not used.data_init["rare_gap"].isna().any()  # filled for the model
    assert context.dataset.data_init["rare_gap"].isna().sum() == 13  # untouched: 10 + 3 copies
    if labels == "classification":
        whole = frame["y"].value_counts(normalize=True)
        drawn = used.data_init["y"].iloc[used.train_idx].value_counts(normalize=True)
        assert np.allclose(drawn.sort_index(), whole.sort_index(), atol=0.02)
    assert "stratified sample of 200 of the" in sample.describe()
    assert context.model.dataset is used  # fitted on the sample


def test_timings_and_jobs_options(tmp_path, capsys):
    csv, html, timings = tmp_path / "d.csv", tmp_path / "r.html", tmp_path / "t.json"
    planted(100).to_csv(csv, index=False)
    options = ["report", str(csv), "-o", str(html), "--quiet", "--jobs", "1"]
    assert main([*options, "--timings", str(timings)]) == 0
    seconds = json.loads(timings.read_text())
    assert list(seconds) == [s.label for s in SECTIONS]
    assert all(v >= 0 for v in seconds.values())
    assert capsys.readouterr().out == f"{html.resolve()}\n"
    with pytest.raises(SystemExit) as stop:
        main([*options[:-1], "0"])
    assert stop.value.code == 2
    assert "--jobs" in capsys.readouterr().err


def test_a_sample_leaving_fewer_rows_than_classes_is_drawn_unstratified(monkeypatch):
    monkeypatch.setattr(model, "MAX_TRAINING_ROWS", 1590)
    frame = planted(2000)
    frame["y"] = np.arange(len(frame)) % 20  # 20 classes; 10 training rows left over
    used = ReportContext(frame, "y").model_sample.dataset
    assert len(used.train_idx) == 1590
    assert len(used.test_idx) == 398


@pytest.mark.parametrize(
    ("value", "shown"),
    [
        (list(range(10)), list(range(10))),
        (list(range(13)), f"{list(range(10))} and 3 more"),
        ("-", "-"),
    ],
)
def test_long_lists_of_row_labels_are_cut(value, shown):
    from kova.report.sections.integrity import _short

    assert _short(value) == shown


def test_a_report_without_target_loads_no_model_or_seaborn_library(tmp_path):
    """Those imports cost a run without a model about a second: they must stay unloaded."""
    import subprocess
    import sys

    path = tmp_path / "data.csv"
    rng = np.random.default_rng(0)
    pd.DataFrame({"a": rng.normal(size=300), "b": rng.choice(["x", "y"], 300)}).to_csv(path)
    script = (
        "import sys, runpy\n"
        f"sys.argv = ['kova', 'report', {str(path)!r}, '-q', '-o', {str(tmp_path / 'r.html')!r}]\n"
        "try:\n    runpy.run_module('kova', run_name='__main__')\n"
        "except SystemExit:\n    pass\n"
        "print(sorted(m for m in ('sklearn', 'scipy', 'seaborn.rcmod', 'ipywidgets')"
        " if m in sys.modules))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=120
    )
    assert result.stdout.strip().splitlines()[-1] == "[]"
    assert (tmp_path / "r.html").stat().st_size > 10_000
