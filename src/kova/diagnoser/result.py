"""The result object of the diagnosers and of the two-sample test: `kova.result.Result` under
the name the diagnosers use, built as ``DiagnoseResult(value, figure)``."""

from kova.result import DiagnoseResult

__all__ = ["DiagnoseResult"]
