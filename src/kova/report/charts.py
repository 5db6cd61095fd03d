"""Small charts drawn as inline SVG straight from the numbers: a histogram, horizontal bars
and a missing-value matrix. Much quicker than rendering a figure per column, and sharp at
any zoom."""

from __future__ import annotations

import html

import numpy as np

BAR_COLOR = "#5b7fa6"
MISSING_COLOR = "#c0392b"


def _number(value: float) -> str:
    return f"{value:.4g}"


def histogram(counts: np.ndarray, edges: np.ndarray, title: str, width: int = 240,
              height: int = 60) -> str:  # fmt: skip
    """Bars of `counts` over the bins `edges`, with the first and last edge written below."""
    counts = np.asarray(counts, dtype=float)
    if counts.size == 0 or counts.max() <= 0:
        return ""
    plot = height - 12
    step = width / counts.size
    bars = "".join(
        f"<rect x='{i * step:.1f}' y='{plot - plot * c / counts.max():.1f}' "
        f"width='{max(step - 1, 0.5):.1f}' height='{plot * c / counts.max():.1f}'/>"
        for i, c in enumerate(counts)
        if c > 0
    )
    low, high = _number(float(edges[0])), _number(float(edges[-1]))
    return (
        f"<svg viewBox='0 0 {width} {height}' width='{width}' height='{height}' role='img' "
        f"aria-label='{html.escape(title, True)}'><title>{html.escape(title)}</title>"
        f"<g fill='{BAR_COLOR}'>{bars}</g>"
        f"<g font-size='9' fill='#555'><text x='0' y='{height - 1}'>{low}</text>"
        f"<text x='{width}' y='{height - 1}' text-anchor='end'>{high}</text></g></svg>"
    )


def bars(labels: list[str], values: list[float], title: str, width: int = 240,
         row: int = 13, shown=None) -> str:  # fmt: skip
    """Horizontal bars of `values` labelled on the left; `shown` gives each bar's text."""
    if not values:
        return ""
    top = max(max(values), 1e-12)
    shown = shown or [_number(v) for v in values]
    label_width, text_width = width * 0.4, width * 0.22
    span = width - label_width - text_width
    rows = []
    for i, (label, value, text) in enumerate(zip(labels, values, shown, strict=True)):
        y = i * row
        short = label if len(label) <= 18 else label[:17] + "…"
        rows.append(
            f"<text x='0' y='{y + row - 3}'>{html.escape(short)}</text>"
            f"<rect x='{label_width:.1f}' y='{y + 2}' width='{span * value / top:.1f}' "
            f"height='{row - 4}' fill='{BAR_COLOR}'/>"
            f"<text x='{width}' y='{y + row - 3}' text-anchor='end'>{html.escape(text)}</text>"
        )
    height = row * len(values)
    return (
        f"<svg viewBox='0 0 {width} {height}' width='{width}' height='{height}' role='img' "
        f"aria-label='{html.escape(title, True)}'><title>{html.escape(title)}</title>"
        f"<g font-size='9' fill='#333'>{''.join(rows)}</g></svg>"
    )


def missing_matrix(missing: np.ndarray, names: list[str], title: str, cell: int = 12,
                   height: int = 300) -> str:  # fmt: skip
    """Rows (top to bottom) by columns (left to right), missing cells dark: each vertical run
    of missing cells of a column is one rectangle."""
    n_rows, n_columns = missing.shape
    if n_rows == 0 or n_columns == 0:
        return ""
    scale = height / n_rows
    label_height = 90
    shapes: list[str] = []
    for j in range(n_columns):
        column = np.concatenate([[False], missing[:, j], [False]]).astype(np.int8)
        starts = np.flatnonzero(np.diff(column) == 1)
        ends = np.flatnonzero(np.diff(column) == -1)
        shapes.extend(
            f"<rect x='{j * cell}' y='{label_height + s * scale:.2f}' width='{cell - 1}' "
            f"height='{max((e - s) * scale, 0.5):.2f}'/>"
            for s, e in zip(starts, ends, strict=True)
        )
    labels = "".join(
        f"<text transform='translate({j * cell + cell - 3},{label_height - 3}) rotate(-60)'>"
        f"{html.escape(name if len(name) <= 16 else name[:15] + '…')}</text>"
        for j, name in enumerate(names)
    )
    width, total = n_columns * cell + 40, label_height + height
    return (
        f"<svg viewBox='0 0 {width} {total}' width='{width}' height='{total}' role='img' "
        f"aria-label='{html.escape(title, True)}'><title>{html.escape(title)}</title>"
        f"<rect x='0' y='{label_height}' width='{n_columns * cell}' height='{height}' "
        f"fill='#e8edf3'/><g fill='{MISSING_COLOR}'>{''.join(shapes)}</g>"
        f"<g font-size='9' fill='#333'>{labels}</g></svg>"
    )
