"""The result object of the diagnosers and of the two-sample test."""

from typing import Any


class DiagnoseResult:
    """What a diagnoser computed: a mapping `value` and, when drawn, its matplotlib `figure`."""

    def __init__(self, value: dict[str, Any], figure: Any = None) -> None:
        self.value = value
        self.figure = figure

    def __repr__(self) -> str:
        keys = ", ".join(map(str, self.value))
        drawn = "" if self.figure is None else ", figure"
        return f"DiagnoseResult(value keys: {keys}{drawn})"
