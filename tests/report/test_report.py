"""The main job end to end: alerts on the demo and on clean bundled data, bad input, options."""

import io
import re

import numpy as np
import pandas as pd
import pytest
from sklearn import datasets

from kova.__main__ import main
from kova.progress import ProgressBar
from kova.report import alerts as al
from kova.report.build import SECTIONS, build_report
from kova.report.sections import segments as segment_section

ALERT_ROW = re.compile(
    r"<tr class='alert'><td class='sev-(\w+)'>\w+</td><td>(.*?)</td><td>(.*?)</td>"
    r"<td>(.*?)</td><td><a href='#([\w-]+)'>"
)


def page_alerts(page):
    """(kind, columns) of every alert row of a written report, in page order."""
    found = []
    for severity, kind, columns, _, anchor in ALERT_ROW.findall(page):
        assert f"id='{anchor}'" in page  # the link lands on a section
        found.append((severity, kind.replace("&#x27;", "'"), columns))
    return found


def run(argv, capsys):
    code = main([*argv, "--quiet"])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def demo_page(tmp_path_factory):
    path = tmp_path_factory.mktemp("demo") / "demo.html"
    assert main(["-o", str(path), "--quiet"]) == 0
    return path.read_text(encoding="utf-8")


def test_demo_alerts_name_exactly_the_injected_problems(demo_page):
    pairs = ["mean_radius, mean_area", "mean_radius, mean_perimeter", "mean_perimeter, mean_area"]
    expected = {
        ("mixed types", "lab_code"),
        ("missing values", "mean_texture"),
        ("constant column", "batch"),
        ("duplicated rows", "(all columns)"),
        *(("associated features", pair) for pair in pairs),
        ("long strings", "notes"),
        ("special characters", "notes"),
    }
    found = page_alerts(demo_page)
    weak = [columns for _, kind, columns in found if kind == "weak segment"]
    others = {(kind, columns) for _, kind, columns in found if kind != "weak segment"}
    assert others == expected and len(found) == 10
    # the region search finds the site whose labels are unreliable
    assert len(weak) == 1 and weak[0].split(", ")[0] == "site"
    severities = [severity for severity, _, _ in found]
    assert severities == sorted(severities, key=al.SEVERITIES.index)  # ranked
    assert "site in {east}" in demo_page and "3 of 572 (0.5%) rows repeat" in demo_page


def test_demo_page_overview_and_sections(demo_page):
    for fact in ("Rows", "572", "6 numerical, 5 categorical", "25 of 6,292", "3 of 572",
                 "Memory", "classification", "HistGradientBoostingClassifier"):  # fmt: skip
        assert fact in demo_page
    anchors = re.findall(r"<h2 id='([\w-]+)'>", demo_page)
    links = re.findall(r"<li><a href='#([\w-]+)'>", demo_page)
    assert links == [a for a in anchors if a != "contents"] and len(anchors) == len(set(anchors))
    # every section is explained, every figure has alternative text
    assert demo_page.count("<p class='explain'>") == len(anchors) - 1
    images = re.findall(r"<img src='data:image/png;base64,[^']+' alt='([^']+)'", demo_page)
    assert len(images) == demo_page.count("<img ") >= 6
    assert "http://" not in demo_page and "https://" not in demo_page  # opens offline


def bundled(name):
    frame = getattr(datasets, f"load_{name}")(as_frame=True).frame
    return frame.rename(columns=lambda c: c.replace(" ", "_"))


def true_findings(frame):
    """What the alerts must say about clean data, computed independently: duplicated rows
    and pairs of features whose |Spearman| is above the default threshold."""
    findings = set()
    if frame.duplicated().any():
        findings.add(("duplicated rows", "(all columns)"))
    features = frame.drop(columns="target")
    rho = features.corr(method="spearman").abs().to_numpy()
    for i, j in zip(*np.nonzero(np.triu(rho, 1) > al.Thresholds().association), strict=True):
        findings.add(("associated features", f"{features.columns[i]}, {features.columns[j]}"))
    return findings


@pytest.mark.parametrize("name", ["breast_cancer", "diabetes", "wine", "iris"])
def test_clean_bundled_data_raise_no_false_alarm(name, tmp_path, capsys):
    frame = bundled(name)
    csv, html = tmp_path / f"{name}.csv", tmp_path / f"{name}.html"
    frame.to_csv(csv, index=False)
    code, out, err = run(["report", str(csv), "--target", "target", "-o", str(html)], capsys)
    assert (code, out, err) == (0, f"{html.resolve()}\n", "")
    page = html.read_text(encoding="utf-8")
    assert {(kind, cols) for _, kind, cols in page_alerts(page)} == true_findings(frame)
    assert "Weakest segment:" in page  # the diagnostics ran


def write_bytes(content):
    return lambda path: path.write_bytes(content)


def write_frame(frame):
    return lambda path: frame.to_csv(path, index=False)


BAD_INPUT = {
    "missing file": (None, [], "no such file"),
    "png image": (write_bytes(b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR" + bytes(64)), [], "not a CSV"),
    "empty file": (write_bytes(b""), [], "empty"),
    "header only": (write_bytes(b"a,b,target\n"), [], "no data rows"),
    "ragged rows": (write_bytes(b"a,b\n1,2\n3,4,5,6\n"), [], "not a readable CSV"),
    "unknown target": (write_frame(pd.DataFrame({"a": [1, 2]})), ["--target", "y"], "'y' is not"),
    "one-valued target": (
        write_frame(pd.DataFrame({"a": [1, 2, 3], "y": [5, 5, 5]})),
        ["--target", "y"],
        "single value",
    ),
    "missing target values": (
        write_frame(pd.DataFrame({"a": [1, 2, 3], "y": [0, None, 1]})),
        ["--target", "y"],
        "1 missing values",
    ),
}


@pytest.mark.parametrize("case", list(BAD_INPUT))
def test_bad_input_is_one_error_line_and_status_2(case, tmp_path, capsys):
    write, options, message = BAD_INPUT[case]
    path = tmp_path / "input.csv"
    if write is not None:
        write(path)
    code, out, err = run(["report", str(path), *options, "-o", str(tmp_path / "r.html")], capsys)
    assert code == 2 and out == "" and not (tmp_path / "r.html").exists()
    assert err.startswith("error: ") and err.count("\n") == 1 and message in err


def test_parquet_input(tmp_path, capsys):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install '.[parquet]')")
    path = tmp_path / "iris.parquet"
    bundled("iris").to_parquet(path)
    code, out, _ = run(["report", str(path), "--target", "target", "-o", str(tmp_path / "r.html")],
                       capsys)  # fmt: skip
    assert code == 0 and out.strip().endswith("r.html")


def test_help_lists_every_threshold_with_its_default(capsys):
    with pytest.raises(SystemExit):
        main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    for field in al.threshold_fields():
        assert f"--{field.name.replace('_', '-')}" in text
        assert f"(default: {field.default})" in text


def test_thresholds_reach_the_alerts(tmp_path, capsys):
    """Raising two thresholds silences their alerts (missing values drop to low severity);
    the rest stay."""
    html = tmp_path / "r.html"
    options = ["--max-null-ratio", "0.05", "--association", "0.9999", "-o", str(html)]
    assert run(options, capsys)[0] == 0
    found = page_alerts(html.read_text(encoding="utf-8"))
    kinds = {kind for _, kind, _ in found}
    assert ("low", "missing values", "mean_texture") in found
    assert "associated features" not in kinds
    assert {"mixed types", "constant column", "weak segment"} <= kinds


def test_report_without_the_segment_module(monkeypatch, tmp_path):
    monkeypatch.setattr(segment_section, "_trelliso", lambda: None)
    report = build_report(bundled("iris"), "target", "t")
    page = report.write(tmp_path / "r.html").read_text(encoding="utf-8")
    assert "Omitted: the segmented-diagnostics module" in page
    assert "id='train-test-distance'" in page and "Weakest segment" not in page


@pytest.mark.parametrize("tty, quiet, drawn", [(True, False, True), (True, True, False),
                                              (False, False, False)])  # fmt: skip
def test_progress_bar_one_step_per_section(tty, quiet, drawn):
    stream = io.StringIO()
    stream.isatty = lambda: tty
    bar = ProgressBar(len(SECTIONS), stream=stream, enabled=False if quiet else None)
    build_report(pd.DataFrame({"a": [1.0, 2.0, 2.0], "b": ["x", "y", "y"]}), None, "t",
                 on_step=bar.step)  # fmt: skip
    bar.close()
    text = stream.getvalue()
    assert (f"{len(SECTIONS)}/{len(SECTIONS)}" in text) == drawn
    assert text.count("\r") == (len(SECTIONS) + 2 if drawn else 0)  # steps, then a clear


# ----------------------------------------------------------------------- alert rules


def test_ranking_and_distance_alerts():
    distances = pd.Series({"a": 0.3, "b": 0.1, "c": 0.9})
    found = al.rank(
        al.distance_alerts(distances, 0.25, "x")
        + al.duplicate_alerts(3, 10, 0.0, "y")
        + al.long_string_alerts(pd.Series([0, 2], index=["p", "q"]), "z")
    )
    assert [(a.kind, a.columns) for a in found] == [
        ("train/test distance", ("c",)),
        ("train/test distance", ("a",)),
        ("duplicated rows", ()),
        ("long strings", ("q",)),
    ]
    assert al.duplicate_alerts(0, 10, 0.0, "y") == []


def test_identifier_columns_are_not_associated():
    n = 200
    ids = np.arange(n).astype(str)
    frame = pd.DataFrame({"id": ids, "x": np.arange(n, dtype=float), "k": ["a", "b"] * (n // 2)})
    meta = {"id": "categorical", "x": "numerical", "k": "categorical"}
    assert al.identifier_columns(meta, frame.nunique().to_dict(), n) == ["id"]
    matrix = pd.DataFrame(np.ones((3, 3)), index=list(frame), columns=list(frame))
    pairs = [a.columns for a in al.association_alerts(matrix, ["id"], 0.95, "x")]
    assert pairs == [("x", "k")]
