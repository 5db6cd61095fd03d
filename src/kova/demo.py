"""Built-in demo data: a scikit-learn bundled data set with a few injected integrity problems."""

from __future__ import annotations

import numpy as np
import pandas as pd
from sklearn.datasets import load_breast_cancer

DEMO_TARGET = "target"


def demo_frame(seed: int = 0) -> pd.DataFrame:
    """Return the breast-cancer data as a frame with problems an integrity check should find.

    Injected: a constant column, missing values, a text column mixing numbers and words, a text
    column with special-character-only entries and one over-long entry, duplicated rows, and
    unreliable labels at one site (half of the "east" rows have their class flipped), where a
    model trained on the data is much weaker than elsewhere. The three size measurements kept
    from the original data (radius, perimeter and area) are near-copies of each other.
    """
    rng = np.random.default_rng(seed)
    bunch = load_breast_cancer(as_frame=True)
    df = bunch.frame.iloc[:, [*list(range(6)), -1]].copy()
    df.columns = [c.replace(" ", "_") for c in df.columns]
    n = len(df)
    df["site"] = rng.choice(["north", "south", "east", "west"], size=n)
    east = np.flatnonzero(df["site"].to_numpy() == "east")
    flipped = df.index[rng.choice(east, size=east.size // 2, replace=False)]
    df.loc[flipped, DEMO_TARGET] = 1 - df.loc[flipped, DEMO_TARGET]
    df["batch"] = "B1"
    df.loc[rng.choice(n, size=25, replace=False), "mean_texture"] = np.nan
    df["lab_code"] = rng.integers(100, 999, size=n).astype(str).astype(object)
    df.loc[rng.choice(n, size=12, replace=False), "lab_code"] = "pending"
    notes = rng.choice(["ok", "recheck", "fine", "seen"], size=n).astype(object)
    notes[rng.choice(n, size=8, replace=False)] = "???"
    notes[rng.choice(n, size=3, replace=False)] = "--"
    notes[5] = "patient moved to another clinic before the follow-up visit was scheduled"
    df["notes"] = notes
    df = pd.concat([df, df.iloc[[3, 7, 7]]], ignore_index=True)
    return df
