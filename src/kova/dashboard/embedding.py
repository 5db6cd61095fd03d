"""The two-dimensional t-SNE picture of the data-quality service's method comparison."""

import inspect
from typing import Any

import numpy as np

__all__ = ["TSNE_MAX_SAMPLES", "tsne_embed", "tsne_sample"]

# Largest number of samples embedded by the t-SNE comparison: above it a random sample
# (keeping the flagged outliers) is embedded, so the view takes seconds, not minutes.
TSNE_MAX_SAMPLES = 1000
# Optimisation rounds of t-SNE: half scikit-learn's default, ample for a stable picture.
TSNE_ITERATIONS = 500
# Dimensions the t-SNE input is reduced to first, with PCA, when it has more columns.
TSNE_PCA_DIMENSIONS = 30


def tsne_sample(outlying: np.ndarray, seed: Any) -> np.ndarray:
    """Indices to embed: all when few, else the outliers plus a random share of the rest."""
    count = len(outlying)
    if count <= TSNE_MAX_SAMPLES:
        return np.arange(count)
    rng = np.random.default_rng(seed)
    flagged = rng.permutation(np.flatnonzero(outlying))[: TSNE_MAX_SAMPLES // 2]
    rest = np.setdiff1d(np.arange(count), flagged)
    extra = rng.choice(rest, size=TSNE_MAX_SAMPLES - len(flagged), replace=False)
    return np.sort(np.concatenate([flagged, extra]))


def tsne_embed(x: np.ndarray, seed: Any) -> np.ndarray:
    """Two t-SNE coordinates per row of the encoded samples ``x``.

    Starts from the principal components when ``x`` has at least two varying columns; with
    fewer (a one-feature data set, constant data) there are no two components to start
    from, so the start is random.
    """
    from sklearn.decomposition import PCA  # deferred: only the comparison needs them
    from sklearn.manifold import TSNE

    if x.shape[1] > TSNE_PCA_DIMENSIONS:
        x = PCA(n_components=TSNE_PCA_DIMENSIONS).fit_transform(x)
    if x.shape[1] == 0:
        x = np.zeros((len(x), 1))
    varying = int(np.count_nonzero(np.ptp(x, axis=0) > 0))
    perplexity = float(min(30.0, max(1.0, (len(x) - 1) / 3)))
    # scikit-learn 1.5 renamed n_iter to max_iter.
    rounds = "max_iter" if "max_iter" in inspect.signature(TSNE).parameters else "n_iter"
    tsne = TSNE(
        n_components=2,
        **{rounds: TSNE_ITERATIONS},
        perplexity=perplexity,
        init="pca" if varying >= 2 else "random",
        random_state=seed,
    )
    return tsne.fit_transform(x)
