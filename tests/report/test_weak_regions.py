"""The weak-segment alert comes from the region search: a planted two-feature region is alerted
by both its features, clean data raise none; the alert rule's gap, size and significance."""

import re

import numpy as np
import pandas as pd
import pytest

from kova.__main__ import main
from kova.diagnoser.regions import Condition, Region
from kova.report import alerts as al

WEAK = re.compile(r"<td>weak segment</td><td>(.*?)</td><td>(.*?)</td>")


def labelled(planted: bool, n=3000, seed=1):
    """A binary target read off `x1`; with `planted`, the labels are coin flips where
    `x2 > 0.5` and `shop` is "b" (about 10 % of the rows)."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({name: rng.normal(size=n) for name in ("x1", "x2", "x3")})
    frame["shop"] = rng.choice(list("abc"), size=n)
    frame["y"] = (frame["x1"] > 0).astype(int)
    if planted:
        region = (frame["x2"] > 0.5) & (frame["shop"] == "b")
        frame.loc[region, "y"] = rng.integers(0, 2, size=int(region.sum()))
    return frame


@pytest.mark.parametrize("planted", [True, False])
def test_the_alert_names_a_planted_region_and_nothing_on_clean_data(planted, tmp_path, capsys):
    csv, html = tmp_path / "d.csv", tmp_path / "d.html"
    labelled(planted).to_csv(csv, index=False)
    assert main(["report", str(csv), "--target", "y", "-o", str(html), "--quiet"]) == 0
    page = html.read_text(encoding="utf-8")
    found = WEAK.findall(page)
    assert "id='regions'" in page and "id='segments'" in page  # both parts of the diagnostics
    if not planted:
        assert found == [] and "No region is significantly worse" in page
        return
    assert len(found) == 1
    columns, figure = found[0]
    assert sorted(columns.split(", ")) == ["shop", "x2"]
    bound = float(re.search(r"x2 &gt; (-?[\d.]+)", figure).group(1))
    assert "shop in {b}" in figure and 0.0 < bound < 0.8  # the planted 0.5, to a bin


def region(size, value, overall, p_value):
    conditions = (Condition("f", "levels", levels=("s",)), Condition("g", "interval", 1.0))
    return Region(conditions, size, value, overall, value - overall, p_value)


@pytest.mark.parametrize(
    "regions, worse_gap, expected",
    [
        # accuracy: a gap of 0.3 and 0.05 points; too few rows; not significant
        (
            [
                region(40, 0.6, 0.9, 0.01),
                region(40, 0.85, 0.9, 0.01),
                region(5, 0.5, 0.9, 0.01),
                region(40, 0.5, 0.9, 0.2),
            ],
            lambda gap: -gap,
            [0],
        ),
        # mean squared error: gaps as shares of a variance of 100
        (
            [region(40, 50.0, 10.0, 0.001), region(40, 15.0, 10.0, 0.001)],
            lambda gap: gap / 100,
            [0],
        ),
    ],
)
def test_region_alerts_need_a_gap_enough_rows_and_significance(regions, worse_gap, expected):
    found = al.weak_region_alerts(regions, "M", worse_gap, al.Thresholds(), "regions")
    assert [a.figure for a in found] == [
        f"{regions[i].text}: 40 test rows, M {regions[i].metric:.3g} against "
        f"{regions[i].overall:.3g} overall (gap {regions[i].gap:+.3g})"
        for i in expected
    ]
    assert all(a.columns == ("f", "g") and a.kind == "weak segment" for a in found)
