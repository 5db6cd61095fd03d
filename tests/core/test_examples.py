"""The example notebook runs top to bottom in a real kernel."""

from pathlib import Path

import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")

NOTEBOOK = Path(__file__).resolve().parents[2] / "examples" / "tour.ipynb"


@pytest.mark.skipif(not NOTEBOOK.exists(), reason="examples are not part of this checkout")
def test_tour_notebook_runs(tmp_path, kernel_env):
    nb = nbformat.read(NOTEBOOK, as_version=4)
    nbclient.NotebookClient(
        nb, timeout=300, resources={"metadata": {"path": str(tmp_path)}}
    ).execute()
    outputs = [o for cell in nb.cells if cell.cell_type == "code" for o in cell.outputs]
    assert not [o for o in outputs if o.output_type == "error"]
    html = [o["data"].get("text/html", "") for o in outputs if "data" in o]
    assert any("Is Single Value" in h for h in html), "single-column report not rendered"
    assert any("Rank(by AUC)" in h for h in html), "search result table not rendered"
    images = [o for o in outputs if "image/png" in o.get("data", {})]
    assert len(images) == 1, "the search plot is shown once"
    assert sum("<img" in h for h in html) == 2, "each exploratory figure is shown once"
