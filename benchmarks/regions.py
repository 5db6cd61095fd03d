"""find_weak_regions on planted weak regions: precision, recall and time of the top region.

python -m benchmarks regions                       # 50,000 and 1,000,000 test rows, 5 seeds
python -m benchmarks regions --rows 50000 --seeds 2

Every case draws ten normal features x0..x9 and a categorical "colour" of six levels; the
label is 1[x0 + x1 > 0], flipped with probability 5 % everywhere and 35 % inside the planted
region. The model is the noise-free rule itself (probability 0.95 on its side), so its errors
are exactly the flipped labels and the only weak region is the planted one. The "clean" case
plants nothing: no region should be reported as significant. Rows are the searched (test)
rows; each case runs once per seed and the time is the median over the seeds.

With the peer slice finder sliceline installed, its top slice (k=1, up to three predicates,
support 1 %) is scored the same way on the cases of at most `PEER_ROWS` rows (first
`PEER_SEEDS` seeds: it is slow), on the same per-row errors and with every numerical feature
cut into deciles first, as it needs binned data.
"""

from __future__ import annotations

import argparse
import importlib.util
import statistics
import time

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator, ClassifierMixin

COLOURS = ["amber", "blue", "green", "grey", "red", "white"]
TRAIN_ROWS = 2_000
BASE_NOISE, REGION_NOISE = 0.05, 0.35
PEER_ROWS = 50_000
PEER_SEEDS = 1

# Planted regions: name -> rule on the frame.
CASES = {
    "2 numerical": lambda f: (f["x3"] > 1) & (f["x7"] <= 0),
    "3 numerical": lambda f: (f["x3"] > 1) & (f["x7"] <= 0) & (f["x5"] > -0.5),
    "2 categorical": lambda f: f["colour"].isin(["red", "blue"]) & (f["x3"] > 0.5),
    "3 categorical": lambda f: f["colour"].isin(["red", "blue"]) & (f["x3"] > 0.5) & (f["x7"] <= 0),
    "clean": lambda f: pd.Series(False, index=f.index),
}


class NoiseFreeRule(ClassifierMixin, BaseEstimator):
    """Predicts 1[x0 + x1 > 0], the label before its noise, with probability 0.95."""

    def fit(self, X, y):
        self.classes_ = np.unique(y)
        return self

    def predict_proba(self, X):
        X = np.asarray(X, dtype=float)
        p = np.where(X[:, 0] + X[:, 1] > 0, 1 - BASE_NOISE, BASE_NOISE)
        return np.column_stack([1 - p, p])

    def predict(self, X):
        return (self.predict_proba(X)[:, 1] > 0.5).astype(int)


def make_pipeline(rows: int, case: str, seed: int):
    """A pipeline over `rows` test rows with the case's planted region, and its test labels."""
    from kova.data import Dataset
    from kova.models import ModelPipeline

    rng = np.random.default_rng(seed)
    total = rows + TRAIN_ROWS
    frame = pd.DataFrame(rng.normal(size=(total, 10)), columns=[f"x{j}" for j in range(10)])
    frame["colour"] = np.asarray(COLOURS, dtype=object)[rng.integers(0, len(COLOURS), total)]
    planted = CASES[case](frame).to_numpy()
    flip = rng.random(total) < np.where(planted, REGION_NOISE, BASE_NOISE)
    frame["label"] = ((frame["x0"] + frame["x1"] > 0).to_numpy() ^ flip).astype(int)
    dataset = Dataset(frame, target="label", test_ratio=rows / total, random_state=seed)
    model = NoiseFreeRule().fit(None, dataset.train_y)
    planted_labels = frame.index[planted].intersection(frame.index[dataset.test_idx])
    return ModelPipeline(model, dataset), planted_labels


def run_case(rows: int, case: str, seed: int):
    """(seconds, precision, recall, top region text, regions reported) of one run."""
    from kova.diagnoser import find_weak_regions

    pipeline, planted = make_pipeline(rows, case, seed)
    start = time.perf_counter()
    result = find_weak_regions(pipeline)
    seconds = time.perf_counter() - start
    if len(result) == 0:
        return seconds, 0.0, 0.0, "(none)", 0
    found = result.rows(0)
    hits = found.intersection(planted).size
    precision = hits / found.size
    recall = hits / planted.size if planted.size else 0.0
    return seconds, precision, recall, result.table["Region"].iloc[0], len(result)


def run_peer(rows: int, case: str, seed: int):
    """(seconds, precision, recall, top slice, 1) of sliceline's top slice on one run."""
    from sliceline.slicefinder import Slicefinder

    pipeline, planted = make_pipeline(rows, case, seed)
    test = pipeline.dataset.data_init.iloc[pipeline.dataset.test_idx]
    binned = pd.DataFrame(
        {name: pd.qcut(test[name], 10, labels=False) for name in test.columns if name[0] == "x"}
    )
    binned["colour"] = test["colour"].to_numpy()
    data = pipeline.get_data_dict()
    errors = (data["y"] != data["prediction"])[data["test_idx"]].astype(float)
    start = time.perf_counter()
    finder = Slicefinder(alpha=0.95, k=1, max_l=3, min_sup=0.01, verbose=False)
    members = finder.fit(binned, errors).transform(binned)[:, 0].astype(bool)
    seconds = time.perf_counter() - start
    found = test.index[members]
    hits = found.intersection(planted).size
    text = str(dict(zip(binned.columns, finder.top_slices_[0], strict=True)))
    return seconds, hits / max(found.size, 1), hits / max(planted.size, 1), text, 1


def _print_cases(title: str, rows_list: list[int], seeds: int, run) -> None:
    print(title)
    print(
        f"{'case':<15}{'rows':>11}{'min prec':>10}{'min rec':>9}{'median s':>10}"
        f"{'max s':>8}  {'regions':<11}top region (first seed)"
    )
    for rows in rows_list:
        for case in CASES:
            if run is run_peer and case == "clean":
                continue
            runs = [run(rows, case, seed) for seed in range(seeds)]
            seconds = [r[0] for r in runs]
            counts = ",".join(str(r[4]) for r in runs)
            clean = case == "clean"
            precision = "-" if clean else f"{min(r[1] for r in runs):.3f}"
            recall = "-" if clean else f"{min(r[2] for r in runs):.3f}"
            print(
                f"{case:<15}{rows:>11,}{precision:>10}{recall:>9}"
                f"{statistics.median(seconds):>10.3f}{max(seconds):>8.3f}  {counts:<11}"
                f"{runs[0][3]}"
            )


def _parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m benchmarks regions", description=__doc__)
    parser.add_argument(
        "--rows", type=int, nargs="+", default=[50_000, 1_000_000], help="test rows per case"
    )
    parser.add_argument("--seeds", type=int, default=5, help="seeds (runs) per case")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    from threadpoolctl import threadpool_limits

    args = _parse(argv)
    with threadpool_limits(limits=1):
        _print_cases("kova find_weak_regions", args.rows, args.seeds, run_case)
        peer_rows = [rows for rows in args.rows if rows <= PEER_ROWS]
        if peer_rows and importlib.util.find_spec("sliceline") is not None:
            _print_cases("sliceline (deciles)", peer_rows, min(args.seeds, PEER_SEEDS), run_peer)
    print("targets: precision and recall >= 0.9 on every planted case; median time < 1 s at")
    print("50,000 and < 5 s at 1,000,000 rows; no region on the clean case ('regions' per seed)")
    return 0
