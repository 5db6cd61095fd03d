"""A card per column in a compact grid: kind, distinct and missing counts, then the numbers'
summary and histogram, the categories' most frequent levels, or the texts' lengths."""

from __future__ import annotations

import html

from kova.report import charts
from kova.report.alerts import Alert
from kova.report.context import ReportContext
from kova.report.page import Page

QUANTILES = (0.05, 0.95, 0.25, 0.75, 0.5)


def _count(count: int, total: int) -> str:
    return f"{count:,} ({count / total:.1%})" if total else f"{count:,}"


def _rows(pairs: list[tuple[str, str]], per_row: int = 2) -> str:
    """The pairs in a table of `per_row` label-value columns, filled row by row."""
    cells = [f"<th>{html.escape(k)}</th><td>{html.escape(v)}</td>" for k, v in pairs]
    rows = ["".join(cells[i : i + per_row]) for i in range(0, len(cells), per_row)]
    return "<table>" + "".join(f"<tr>{row}</tr>" for row in rows) + "</table>"


def _numbers(profile) -> str:
    s = profile.numeric
    pairs = [("min", f"{s.min:.4g}"), ("max", f"{s.max:.4g}"), ("mean", f"{s.mean:.4g}"),
             ("std", f"{s.std:.4g}")]  # fmt: skip
    # in two columns: 5 % beside 95 %, 25 % beside 75 %, then the median
    pairs += [(f"{q:.0%}", f"{s.quantiles[q]:.4g}") for q in QUANTILES if q in s.quantiles]
    pairs += [("zeros", f"{s.zeros:,}"), ("negatives", f"{s.negatives:,}")]
    if s.infinite:
        pairs.append(("infinite", f"{s.infinite:,}"))
    title = f"Histogram of {profile.name}"
    return _rows(pairs) + charts.histogram(s.hist_counts, s.hist_edges, title)


def _levels(profile) -> str:
    levels = profile.levels
    labels = [str(level) for level, _ in levels.top]
    counts = [float(count) for _, count in levels.top]
    if levels.other:
        labels.append("(other levels)")
        counts.append(float(levels.other))
    total = max(profile.count, 1)
    shown = [f"{int(c):,} ({c / total:.0%})" for c in counts]
    return charts.bars(labels, counts, f"Most frequent levels of {profile.name}", shown=shown)


def _lengths(profile) -> str:
    s = profile.lengths
    pairs = [("shortest", f"{s.min:,.0f}"), ("longest", f"{s.max:,.0f}"),
             ("mean length", f"{s.mean:,.1f}")]  # fmt: skip
    title = f"Distribution of the text lengths of {profile.name}"
    return _rows(pairs) + charts.histogram(s.hist_counts, s.hist_edges, title)


def card(profile, n_rows: int, flags: list[str]) -> str:
    """One column's card."""
    head = (
        f"<h3>{html.escape(profile.name)} <span class='kind'>{html.escape(profile.kind)}</span>"
        "</h3>"
    )
    if flags:
        head += f"<div class='flag'>{html.escape('; '.join(flags))}</div>"
    body = _rows([("distinct", _count(profile.distinct, n_rows)),
                  ("missing", _count(profile.missing, n_rows))], per_row=1)  # fmt: skip
    if profile.numeric is not None and profile.count:
        body += _numbers(profile)
    if profile.lengths is not None and profile.count:
        body += _lengths(profile)
    if profile.levels is not None and profile.lengths is None and profile.count:
        body += _levels(profile)  # text is mostly distinct: its lengths tell more
    return f"<div class='card' data-column='{html.escape(profile.name, True)}'>{head}{body}</div>"


def run(ctx: ReportContext, page: Page) -> list[Alert]:
    page.section(
        "columns",
        "Columns",
        "A card per column: its kind, distinct values and missing cells; for numbers the "
        "range, mean, standard deviation, quantiles, zeros, negatives and a histogram; for "
        "categories the most frequent levels with their counts; for text (mostly distinct or "
        "long strings) the distribution of the entries' lengths in characters.",
    )
    identifiers = set(ctx.identifiers)
    cards = []
    for name, profile in ctx.profiles.items():
        flags = []
        if name == ctx.target:
            flags.append("target")
        if name in identifiers:
            flags.append("identifier-like: left out of associations and distances")
        cards.append(card(profile, ctx.n_rows, flags))
    page.markup(f"<div class='cards'>{''.join(cards)}</div>")
    return []
