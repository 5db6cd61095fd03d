"""find_weak_regions on planted weak regions: precision, recall and time of the top region.

python -m benchmarks regions                       # 50,000 and 1,000,000 test rows, 5 seeds
python -m benchmarks regions --rows 50000 --seeds 2

Every case draws ten normal features x0..x9 and a categorical "colour" of six levels; the
label is 1[x0 + x1 > 0], flipped with probability 5 % everywhere and 35 % inside the planted
region. The model is the noise-free rule itself (probability 0.95 on its side), so its errors
are exactly the flipped labels and the only weak region is the planted one. The "clean" case
plants nothing: no region should be reported as significant. Rows are the searched (test)
rows; each case runs once per seed and the time is the median over the seeds.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import pandas as pd
from sklearn.base import BaseEstimator, ClassifierMixin

COLOURS = ["amber", "blue", "green", "grey", "red", "white"]
TRAIN_ROWS = 2_000
BASE_NOISE, REGION_NOISE = 0.05, 0.35

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
    print(
        f"{'case':<15}{'rows':>11}{'min prec':>10}{'min rec':>9}{'median s':>10}"
        f"{'max s':>8}  {'regions':<11}top region (first seed)"
    )
    with threadpool_limits(limits=1):
        for rows in args.rows:
            for case in CASES:
                runs = [run_case(rows, case, seed) for seed in range(args.seeds)]
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
    print("targets: precision and recall >= 0.9 on every planted case; median time < 1 s at")
    print("50,000 and < 5 s at 1,000,000 rows; no region on the clean case ('regions' per seed)")
    return 0
