"""The report's self-contained HTML page: an overview, ranked alerts, a contents list kept in
view at the side, and sections of tables, small inline charts and figures embedded as PNGs."""

from __future__ import annotations

import base64
import html
import io
from pathlib import Path

import pandas as pd

from kova.report import alerts as al

# Figures are rendered at this resolution and shown at their size in inches, so they stay
# sharp on screens with two device pixels per CSS pixel.
FIGURE_DPI = 160
_CSS_PX_PER_INCH = 96

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 0; color: #222; }
.layout { display: grid; grid-template-columns: 15em minmax(0, 1fr); gap: 1.5em;
          max-width: 1500px; margin: 0 auto; padding: 0 1em; }
nav.contents { position: sticky; top: 0; align-self: start; max-height: 100vh;
               overflow-y: auto; font-size: 0.85em; padding: 0.5em 0; }
nav.contents ol { padding-left: 2em; margin: 0; } nav.contents li { margin: 0.2em 0; }
main { min-width: 0; }
h1 { border-bottom: 2px solid #446; } h2 { margin-top: 2em; color: #335; }
table { border-collapse: collapse; font-size: 0.85em; margin: 0.5em 0 1.5em; }
th, td { border: 1px solid #ccc; padding: 3px 8px; }
.note { color: #555; font-style: italic; }
.explain { color: #444; margin-top: -0.5em; }
img { max-width: 100%; height: auto; } .wide { overflow-x: auto; }
.sev-high { color: #a40000; font-weight: bold; } .sev-medium { color: #a35c00; }
.sev-low { color: #555; }
.cards { display: grid; grid-template-columns: repeat(auto-fill, minmax(230px, 1fr));
         gap: 0.6em; }
.card { border: 1px solid #ccd; border-radius: 4px; padding: 0.4em 0.6em; font-size: 0.8em;
        background: #fbfbfd; }
.card h3 { font-size: 1.05em; margin: 0 0 0.2em; overflow-wrap: anywhere; }
.card .kind { color: #557; font-weight: normal; font-size: 0.85em; }
.card table { width: 100%; margin: 0.2em 0; font-size: 1em; }
.card th, .card td { border: none; padding: 0 4px; text-align: right; white-space: nowrap; }
.card th { text-align: left; font-weight: normal; color: #555; }
.card svg { display: block; width: 100%; height: auto; }
.flag { color: #a35c00; font-size: 0.85em; }
.rows td { max-width: 12em; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
"""


class Page:
    """Collects the sections of one report and writes them as one self-contained page.

    Sections add their heading with `section`, then text, tables, inline markup and figures.
    Facts for the overview and alerts may be added by any section; both are placed at the top.
    """

    def __init__(self, title: str) -> None:
        self.title = title
        self.facts: dict[str, str] = {}
        self.alerts: list[al.Alert] = []
        self._parts: list[str] = []
        self._contents: list[tuple[str, str]] = []

    def section(self, anchor: str, title: str, explanation: str) -> None:
        """Start a section: a heading with an anchor and a line on how to read it."""
        if any(anchor == known for known, _ in self._contents):
            raise ValueError(f"Section anchor {anchor!r} is used twice.")
        self._contents.append((anchor, title))
        self._parts.append(f"<h2 id='{html.escape(anchor)}'>{html.escape(title)}</h2>")
        self._parts.append(f"<p class='explain'>{html.escape(explanation)}</p>")

    def text(self, text: str) -> None:
        self._parts.append(f"<p class='note'>{html.escape(text)}</p>")

    def markup(self, markup: str) -> None:
        """Add markup the caller has built and escaped."""
        self._parts.append(markup)

    def table(self, obj, max_rows: int = 60) -> None:
        """Add a DataFrame, a pandas Styler or a plain message."""
        if isinstance(obj, str):
            self.text(obj)
        else:
            table = (
                obj.to_html(max_rows=max_rows) if isinstance(obj, pd.DataFrame) else obj.to_html()
            )
            self._parts.append(f"<div class='wide'>{table}</div>")

    def figure(self, fig, alt: str) -> None:
        """Embed a matplotlib figure as a PNG with alternative text, then close it."""
        import matplotlib.pyplot as plt

        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=FIGURE_DPI, bbox_inches="tight")
        plt.close(fig)
        png = buf.getvalue()
        width = int.from_bytes(png[16:20], "big") * _CSS_PX_PER_INCH // FIGURE_DPI
        data = base64.b64encode(png).decode("ascii")
        self._parts.append(
            f"<img src='data:image/png;base64,{data}' alt='{html.escape(alt, quote=True)}' "
            f"width='{width}'/>"
        )

    def write(self, path: Path) -> Path:
        page = (
            f"<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
            f"<meta name='viewport' content='width=device-width, initial-scale=1'>"
            f"<title>{html.escape(self.title)}</title><style>{_STYLE}</style></head><body>"
            f"<div class='layout'>{self._contents_html()}<main>"
            f"<h1>{html.escape(self.title)}</h1>{self._overview_html()}{self._alerts_html()}"
            f"{''.join(self._parts)}</main></div></body></html>"
        )
        path.write_text(page, encoding="utf-8")
        return path

    def _overview_html(self) -> str:
        rows = "".join(
            f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>"
            for k, v in self.facts.items()
        )
        return (
            "<h2 id='overview'>Overview</h2><p class='explain'>The size and make-up of the data "
            "and the model behind the diagnostics sections.</p>"
            f"<table class='overview'>{rows}</table>"
        )

    def _alerts_html(self) -> str:
        intro = (
            "<h2 id='alerts'>Alerts</h2><p class='explain'>Problems found, most severe first; "
            "each links to the section that shows it. The thresholds are options of the "
            "command (python -m kova --help).</p>"
        )
        if not self.alerts:
            return intro + "<p class='note'>No alerts at the current thresholds.</p>"
        rows = "".join(_alert_row(a) for a in al.rank(self.alerts))
        head = "<tr><th>Severity</th><th>Alert</th><th>Column(s)</th><th>Figure</th><th></th></tr>"
        return f"{intro}<table class='alerts'>{head}{rows}</table>"

    def _contents_html(self) -> str:
        entries = [("overview", "Overview"), ("alerts", "Alerts"), *self._contents]
        items = "".join(
            f"<li><a href='#{html.escape(a)}'>{html.escape(t)}</a></li>" for a, t in entries
        )
        return f"<nav class='contents'><h2 id='contents'>Contents</h2><ol>{items}</ol></nav>"


def _alert_row(alert: al.Alert) -> str:
    columns = ", ".join(alert.columns) or "(all columns)"
    return (
        f"<tr class='alert'><td class='sev-{alert.severity}'>{alert.severity}</td>"
        f"<td>{html.escape(alert.kind)}</td><td>{html.escape(columns)}</td>"
        f"<td>{html.escape(alert.figure)}</td>"
        f"<td><a href='#{html.escape(alert.anchor)}'>see section</a></td></tr>"
    )
