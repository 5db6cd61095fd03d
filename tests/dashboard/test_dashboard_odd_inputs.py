"""The data-quality service on odd data and odd arguments: a chart or a KovaError, nothing else."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from kova.dashboard import DataQualityAPI, views
from kova.dashboard.dalvane import DataQualityPanel
from kova.dashboard.detectors import BICGaussianMixture, PCAReconstruction
from kova.data import Dataset
from kova.exceptions import KovaError

ROWS = 60
OUTLIER_VIEWS = ["od_score_distribution", "od_marginal_outlier_distribution"]


def odd_frame(kind):
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"a": rng.normal(size=ROWS), "y": rng.integers(0, 2, ROWS)})
    if kind == "one feature":
        return frame
    frame["b"] = rng.normal(size=ROWS)
    if kind == "infinite cells":
        frame.loc[[3, 7], "a"] = [np.inf, -np.inf]
    elif kind == "large integers":  # floats cannot tell 2**62 + k apart
        frame["b"] = (2**62 + np.arange(ROWS)).astype("int64")
    elif kind == "one present Int64 value":
        frame["b"] = pd.array([5] + [None] * (ROWS - 1), dtype="Int64")
    return frame


@pytest.fixture
def trained_api(train):
    """`trained_api(frame)`: the service over `frame` with every method trained."""
    return lambda frame: train(DataQualityAPI(Dataset(frame, target="y", random_state=0)))


@pytest.mark.parametrize(
    "kind", ["infinite cells", "large integers", "one present Int64 value", "one feature"]
)
def test_every_method_trains_and_charts_odd_data(kind, shown, trained_api):
    api = trained_api(odd_frame(kind))
    names = list(api.custom_model_dict)
    assert len(names) == 4
    for name in names:
        assert np.isfinite(api.custom_model_dict[name].detector.train_scores_).all()
        for show in OUTLIER_VIEWS:
            assert api.data_quality(show=show, method=name, threshold=0.9).figure.axes
    result = api.data_quality(show="od_tsne_comparison", method=names, threshold=[0.9] * 4)
    assert result.data.shape == (ROWS, 2)
    assert np.isfinite(result.data.to_numpy()).all()
    summary = api.data_quality(show="drift_test_info").data.data  # an empty sample gives NaN
    assert sorted(summary["Feature"]) == sorted(api.dataset.feature_names)


def test_compare_button_on_a_one_feature_data_set(shown, trained_api):
    api = trained_api(odd_frame("one feature"))
    page = DataQualityPanel(None, api).comparison_panel()
    first_row, compare = page.children[1].children[1].children[0], page.children[1].children[6]
    first_row.value = "pca"
    button = compare.children[2]
    for handler in button._click_handlers.callbacks:
        handler(button)
    assert "<img" in shown[-1].data


@pytest.mark.parametrize(
    "scores",
    [
        [1.0, np.nextafter(1.0, 2.0), 1.0],  # one float step apart
        [4.0, 4.0, 4.0],
        [float(2**62), float(2**62 + 1)],
        [0.0, np.inf, 1.0, -np.inf, np.nan],
    ],
)
def test_score_chart_bins_the_finite_scores(scores):
    scores = np.array(scores)
    finite = scores[np.isfinite(scores)]
    figure = views.score_figure("m", scores, cutoff=float(np.nanmax(finite)), threshold=0.5)
    [ax] = figure.axes
    assert sum(patch.get_height() for patch in ax.patches) == len(finite)


@pytest.mark.parametrize(
    "values",
    [[1.0, np.nextafter(1.0, 2.0)], [7.0], [float(2**62), float(2**62 + 9)], [-1.7e308, 1.7e308]],
)
@pytest.mark.parametrize("bins", [1, 25])
def test_bin_edges_increase_and_cover_the_finite_values(values, bins):
    values = np.array([*values, np.inf, np.nan])
    edges = views.bin_edges(values, bins)
    finite = values[np.isfinite(values)]
    assert np.isfinite(edges).all()
    assert (edges[1:] > edges[:-1]).all()
    assert 2 <= len(edges) <= bins + 1
    assert edges[0] <= finite.min()
    assert finite.max() <= edges[-1]
    assert views.bin_edges(np.array([np.nan, -np.inf]), bins) is None


def test_tsne_titles_count_outliers_in_words():
    outlying = np.array([True, False, False])
    figure = views.tsne_figure(np.zeros((3, 2)), [("m", 0.9, outlying), ("n", 0.5, ~outlying)], 3)
    titles = [ax.get_title() for ax in figure.axes]
    assert titles == ["m (threshold 0.9): 1 outlier", "n (threshold 0.5): 2 outliers"]


def test_working_note_is_hidden_not_closed(monkeypatch, shown):
    # An output keeps every widget shown in it; a closed one renders as "model not found".
    monkeypatch.setattr(views, "_in_kernel", lambda: True)
    with views.working("Computing..."):
        [note] = shown
        assert note.layout.display != "none"
    assert note.comm is not None
    assert note.layout.display == "none"
    note.close()


def named(argument):
    """A message that starts with the argument's name or names it in brackets."""
    return rf"^{argument} (takes|must|needs)|\({argument}\)|for '{argument}'"


@pytest.mark.parametrize(
    ("request_", "argument"),
    [
        ({"show": ["od_score_distribution"]}, "show"),
        ({"show": "od_score_distribution", "method": "pca", "threshold": None}, "threshold"),
        ({"show": "od_score_distribution", "method": ["pca"]}, "method"),
        ({"show": "od_tsne_comparison", "method": ["pca"], "threshold": 0.9}, "threshold"),
        ({"show": "od_tsne_comparison", "method": "IF", "threshold": [0.9, 0.9]}, "method"),
        ({"show": "od_tsne_comparison", "method": ["pca"], "threshold": ["x"]}, "threshold"),
    ],
)
def test_bad_request_arguments_are_named(request_, argument, trained_api):
    api = trained_api(odd_frame("plain"))
    with pytest.raises(KovaError, match=named(argument)):
        api.data_quality(**request_)


@pytest.mark.parametrize(
    ("call", "argument"),
    [
        (lambda api: setattr(api, "model_list", 3), "model_list"),
        (lambda api: api.fit_get_method(method=None, model_name="x"), "method"),
        (lambda api: api.apply_model(model="pca", threshold="0.9"), "threshold"),
        (lambda api: api.method_scores(model="pca", threshold=True), "threshold"),
    ],
)
def test_bad_service_arguments_are_named(call, argument, trained_api):
    api = trained_api(odd_frame("plain"))
    with pytest.raises(KovaError, match=named(argument)):
        call(api)


@pytest.mark.parametrize("part", ["all", "test"])
def test_method_scores_are_the_charted_scores(part, trained_api):
    api = trained_api(odd_frame("plain"))
    scored = api.method_scores(model="isolation_forest", dataset=part, threshold=0.8)
    table = api.data_quality(
        show="od_score_distribution", dataset=part, method="isolation_forest", threshold=0.8
    ).data
    assert np.array_equal(scored.positions, table["position"])
    assert np.array_equal(scored.scores, table["score"])
    assert np.array_equal(scored.outlier, table["outlier"])
    assert np.array_equal(scored.outlier, scored.scores > scored.cutoff)


@pytest.mark.parametrize("groups", [1, 2, 3])
def test_mixture_size_is_chosen_by_bic(groups):
    rng = np.random.default_rng(1)
    x = np.concatenate([rng.normal(loc=12.0 * g, size=(150, 2)) for g in range(groups)])
    mixture = BICGaussianMixture(max_components=5, random_state=0).fit(x).mixture_
    assert mixture.n_components == groups


def test_pca_detector_lets_scikit_learn_pick_the_solver():
    x = np.random.default_rng(0).normal(size=(50, 4))
    assert PCAReconstruction().fit(x).pca_.svd_solver == "auto"


def test_service_works_without_widgets(kernel_env):
    # ipywidgets made unimportable: the service and its charts must not need it.
    code = (
        "import sys; sys.modules['ipywidgets'] = None\n"
        "from kova.dashboard import quality, views\n"
        "with views.working('note'): pass\n"
        "print('ipywidgets' in sys.modules and sys.modules['ipywidgets'] is not None)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"
