"""The dashboard notebook builds the dashboard in a real kernel."""

import json
from pathlib import Path

import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")

NOTEBOOK = Path(__file__).resolve().parents[2] / "examples" / "dashboard.ipynb"
WIDGET_VIEW = "application/vnd.jupyter.widget-view+json"
WIDGET_STATE = "application/vnd.jupyter.widget-state+json"


@pytest.mark.skipif(not NOTEBOOK.exists(), reason="examples are not part of this checkout")
def test_dashboard_notebook_builds_the_dashboard(tmp_path, kernel_env):
    nb = nbformat.read(NOTEBOOK, as_version=4)
    nbclient.NotebookClient(
        nb, timeout=300, store_widget_state=True, resources={"metadata": {"path": str(tmp_path)}}
    ).execute()
    outputs = [o for cell in nb.cells if cell.cell_type == "code" for o in cell.outputs]
    assert not [o for o in outputs if o.output_type == "error"]
    views = [o for o in outputs if WIDGET_VIEW in o.get("data", {})]
    assert len(views) == 1, "the dashboard is shown once, as a widget"
    state = json.dumps(nb.metadata["widgets"][WIDGET_STATE])
    assert "Is Single Value" in state, "the integrity page shows the single-column report"
    assert ".card-with-tab" in state, "the dashboard stylesheet travels with the page"
    assert "font-awesome" in json.dumps(outputs), "the icon stylesheet is loaded"
