"""Notebook-platform helpers of the dashboard."""

from IPython.display import Javascript, display

__all__ = ["COLAB_MAX_CELL_HEIGHT", "expand_colab_cell_height"]

# Tallest output frame, in pixels, that a hosted "colab" notebook gives the dashboard; its
# default frame is short enough to cut off the method list and the charts.
COLAB_MAX_CELL_HEIGHT = 5000


def expand_colab_cell_height(platform: str | None) -> None:
    """Let the current output cell grow to fit the dashboard on the "colab" platform.

    On any other platform (also ``None``) nothing is shown and nothing changes: ordinary
    notebook front ends size their output areas to the content themselves.
    """
    if platform != "colab":
        return
    display(
        Javascript(
            f"google.colab.output.setIframeHeight(0, true, {{maxHeight: {COLAB_MAX_CELL_HEIGHT}}});"
        )
    )
