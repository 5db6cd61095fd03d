"""Shared test set-up: a non-interactive plotting backend, figure clean-up, kernel paths."""

import os

os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib  # noqa: E402

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


@pytest.fixture
def kernel_env(monkeypatch):
    """Environment for a kernel started by a test: inline drawing, as for a user, and an
    absolute PYTHONPATH, so that PYTHONPATH=src still finds kova from another directory."""
    monkeypatch.delenv("MPLBACKEND", raising=False)
    paths = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(os.path.abspath(p) for p in paths if p))
