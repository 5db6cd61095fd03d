"""A one-line progress bar for the command line, redrawn in place on a terminal."""

from __future__ import annotations

import sys
from typing import TextIO


class ProgressBar:
    """Shows `step` calls out of `total` as a bar with the current step's label.

    Draws only when enabled; by default that is when `stream` is a terminal, so piped or
    redirected runs stay clean.
    """

    WIDTH = 24

    def __init__(self, total: int, stream: TextIO | None = None, enabled: bool | None = None):
        self.total = max(int(total), 1)
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = bool(isatty and isatty()) if enabled is None else enabled
        self.done = 0
        self._last_width = 0

    def step(self, label: str) -> None:
        """Start the next step, named `label`."""
        self.done = min(self.done + 1, self.total)
        self._draw(label)

    def close(self) -> None:
        """Clear the bar so the terminal line is free again."""
        if self.enabled and self._last_width:
            self.stream.write("\r" + " " * self._last_width + "\r")
            self.stream.flush()
            self._last_width = 0

    def _draw(self, label: str) -> None:
        if not self.enabled:
            return
        filled = round(self.WIDTH * self.done / self.total)
        line = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/{self.total} {label}"
        padding = " " * max(self._last_width - len(line), 0)
        self.stream.write("\r" + line + padding)
        self.stream.flush()
        self._last_width = len(line)
