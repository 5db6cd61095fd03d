"""Figures of the two-sample test: the distances of every feature as bars, and the curves of
one feature's two samples."""

from __future__ import annotations

from typing import Any

import numpy as np

from kova.figures import LINE_COLOR, POINT_COLOR, new_figure


def plot_distances(names: list, distances: dict[str, np.ndarray], title: str, figsize: tuple):
    """Horizontal bars of each metric's distances, the largest on top; one panel per metric."""
    figure, grid = new_figure(figsize, ncols=len(distances), layout="constrained")
    axes = grid[0]
    for ax, (metric, values) in zip(axes, distances.items(), strict=True):
        order = np.argsort(np.nan_to_num(values, nan=-np.inf), kind="stable")
        ax.barh(np.arange(len(names)), values[order], color=POINT_COLOR)
        ax.set_yticks(np.arange(len(names)), [str(names[i]) for i in order])
        ax.set_xlabel(metric)
    if len(distances) == 1:
        axes[0].set_title(title)
    else:
        figure.suptitle(title)
        for ax, metric in zip(axes, distances, strict=True):
            ax.set_title(metric)
    return figure


def plot_feature(value: dict, categorical: bool, metric: str, title: str, figsize: tuple):
    """Side-by-side bars of the shares (PSI, categories) or the two distribution functions."""
    figure, axes = new_figure(figsize, layout="constrained")
    ax = axes[0, 0]
    xs, ys, labels = value["x"], value["y"], value["samples"]
    colors = (POINT_COLOR, LINE_COLOR)
    if categorical or metric == "PSI":
        positions = np.arange(len(xs[0]))
        for k, (heights, label) in enumerate(zip(ys, labels, strict=True)):
            offsets = positions + (k - 0.5) * 0.4
            ax.bar(offsets, heights, width=0.4, label=label, color=colors[k])
        ax.set_xticks(positions, [_tick(x) for x in xs[0]], rotation=45, ha="right")
    else:
        for x, cdf, label, color in zip(xs, ys, labels, colors, strict=True):
            ax.step(x, cdf, where="post", label=label, color=color)
        if metric == "WD1":
            ax.fill_between(xs[0], ys[0], ys[1], step="post", alpha=0.25, color="grey")
        else:
            gaps = np.abs(ys[0] - ys[1])
            if np.isfinite(gaps).any():  # mark the largest gap, the KS statistic
                k = int(np.nanargmax(gaps))
                ax.vlines(xs[0][k], ys[0][k], ys[1][k], colors="black", linestyles="--")
    ax.set_xlabel(str(value["feature"]))
    ax.set_ylabel(value["y_label"])
    ax.set_title(title)
    ax.legend()
    return figure


def _tick(value: Any) -> str:
    """A category or bin as a short tick label: floats to 4 decimals."""
    return str(np.round(value, 4)) if isinstance(value, (float, np.floating)) else str(value)
