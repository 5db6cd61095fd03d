"""DataQualityPanel: page trees, callbacks and the calls they make on the data-quality service.

Pages are built from real ipywidgets; the service, the dashboard components, KovaWidget and
param_render are recording fakes. The `screen` fixture stands in for the notebook: it records what
is displayed or printed inside each Output context (and outside any), so a test can read what each
output area of a page shows.
"""

import contextlib
import gc
import inspect
import sys
import types
import weakref
from collections import defaultdict

import ipywidgets as widgets
import ipywidgets.widgets.interaction as interaction
import pytest

from kova.dashboard import dalvane
from kova.dashboard.dalvane import DataQualityPanel

NAMES = {"lof": "LOF", "iforest": "IForest", "knn": "KNN"}  # service order, not sorted
ITEMS = {
    "lof": {"n_neighbors": ["K", 20, "k"], "metric": ["Metric", "l2", ""]},
    "iforest": {"n_estimators": ["N", 100, "n"], "features": ["F", "", "cols"]},
    "knn": {"method": ["M", "mean", ""]},
}


class Screen:
    """What each output area shows: displayed objects and printed text, by Output widget."""

    def __init__(self):
        self.content = defaultdict(list)
        self.history = []
        self.stack = []
        self.swallow = False  # True: outputs swallow errors, as inside a notebook kernel

    def current(self):
        return self.stack[-1][0] if self.stack else None

    def enter(self, output):
        redirect = contextlib.redirect_stdout(self)
        redirect.__enter__()
        self.stack.append((output, redirect))

    def exit(self, output, etype, evalue, tb):
        _, redirect = self.stack.pop()
        redirect.__exit__(None, None, None)
        if etype is not None and self.swallow:
            self.content[output].append(("error", evalue))
            return True
        return None

    def write(self, text):
        if text.strip():
            self.content[self.current()].append(text.strip())

    def flush(self):
        pass

    def display(self, *items):
        self.content[self.current()].extend(items)
        self.history.extend(items)

    def clear_output(self, wait=False):
        self.content[self.current()].clear()

    def __getitem__(self, output):
        return list(self.content[output])


class FakeKovaWidget:
    calls = []

    @staticmethod
    def notification(**kwargs):
        FakeKovaWidget.calls.append(("notification", kwargs))
        return ("note", kwargs["signal_type"], kwargs["text"])

    @staticmethod
    def margin_right(width):
        FakeKovaWidget.calls.append(("margin_right", width))
        return widgets.Box(layout=widgets.Layout(width=width))

    @staticmethod
    def margin_top(height):
        FakeKovaWidget.calls.append(("margin_top", height))
        return widgets.Box(layout=widgets.Layout(height=height))


class FakeParameterPanel:
    """A method's settings with the child path the panel relabels."""

    def __init__(self, display_name, parameters):
        self.args = (display_name, parameters)
        self.model_tuning_name = widgets.Text(value=f"custom-{display_name}")
        self.model_config = {
            entry[2]: widgets.Text(value=f"v-{key}")
            for key, entry in parameters.items()
            if entry[2] != ""
        }
        label = widgets.HTML("Name:")
        body = widgets.VBox([widgets.HBox([widgets.VBox([label])])])
        self.parameter_panel = widgets.VBox([widgets.HTML("heading"), body])


class Result:
    def __init__(self, show):
        self.show = show

    def show_message(self):
        print(f"chart {self.show}")

    def show_data(self):
        print("table")


class FakeService:
    """Data-quality service whose model_list reads as every method, and takes a selection."""

    def __init__(self, dataset=None):
        self.dataset = dataset or types.SimpleNamespace(
            train_idx=None, feature_names=["a", "b"], outlier_idx=[]
        )
        self._selected = list(NAMES)
        self.model_item = ITEMS
        self.custom_model_dict = {}
        self.training_failed_list = []
        self.failing = set()
        self.calls = []

    @property
    def model_list(self):
        return dict(NAMES)

    @model_list.setter
    def model_list(self, selection):
        self.calls.append(("model_list", selection))
        self._selected = selection

    def data_quality(self, **kwargs):
        self.calls.append(("data_quality", kwargs))
        return Result(kwargs["show"])

    def apply_model(self, **kwargs):
        self.calls.append(("apply_model", kwargs))

    def model_config_setting(self, config):
        self.calls.append(("model_config_setting", config))
        return ("configured", config)

    def model_prepare(self):
        return {key: {"estimator": f"est-{key}"} for key in self._selected}

    def fit_get_method(self, method, model_name, dataset):
        self.calls.append(("fit", method, model_name, dataset))
        print("training noise")
        if model_name in self.failing:
            raise ValueError(model_name)
        self.custom_model_dict[model_name] = method


@pytest.fixture
def screen(monkeypatch):
    screen = Screen()
    monkeypatch.setattr(widgets.Output, "__enter__", lambda out: screen.enter(out))
    monkeypatch.setattr(widgets.Output, "__exit__", lambda out, *exc: screen.exit(out, *exc))
    monkeypatch.setattr(interaction, "clear_output", screen.clear_output)
    monkeypatch.setattr(dalvane, "display", screen.display)
    monkeypatch.setattr(dalvane, "clear_output", screen.clear_output)
    return screen


@pytest.fixture
def fakes(monkeypatch, screen):
    record = types.SimpleNamespace(expand=[], rows=[], render=[])
    FakeKovaWidget.calls = []
    monkeypatch.setattr(dalvane, "KovaWidget", FakeKovaWidget)
    monkeypatch.setattr(dalvane, "ModelParameterPanel", FakeParameterPanel)
    monkeypatch.setattr(dalvane, "expand_colab_cell_height", record.expand.append)

    def col_align_input_template(cols_elements, cols_width):
        record.rows.append((cols_elements, cols_width))
        return widgets.HBox([widgets.VBox(e) for e in cols_elements if isinstance(e, list)])

    def param_render(method, key, value, flis=None):
        record.render.append((method, key, value, flis))
        return f"{key}={value}"

    monkeypatch.setattr(dalvane, "col_align_input_template", col_align_input_template)
    monkeypatch.setattr(dalvane, "param_render", param_render)
    return record


@pytest.fixture
def service():
    return FakeService()


@pytest.fixture
def panel(fakes, service):
    return DataQualityPanel(None, service)


def press(button):
    """Runs a button's click handlers directly, so their errors reach the test."""
    for handler in button._click_handlers.callbacks:
        handler(button)


def notes(items):
    return [item[1:] for item in items if isinstance(item, tuple) and item[0] == "note"]


def shows(service):
    return [c[1]["show"] for c in service.calls if c[0] == "data_quality"]


# ----------------------------------------------------------------------------- frame


class Raising:
    feature_names = ["a"]

    @property
    def train_idx(self):
        raise RuntimeError("broken")


@pytest.mark.parametrize(
    ("dataset", "split"),
    [
        (types.SimpleNamespace(train_idx=None, feature_names=[]), True),
        (types.SimpleNamespace(feature_names=[]), False),
        (Raising(), False),
    ],
)
@pytest.mark.parametrize("platform", [None, "colab"])
def test_construction_derives_shared_state(fakes, screen, dataset, split, platform):
    panel = DataQualityPanel(platform, FakeService(dataset))
    assert panel.support_dataset is split
    assert panel.model_lis == list(NAMES)
    assert panel.config_compare == {
        "lof": {"n_neighbors": "k"},
        "iforest": {"n_estimators": "n", "features": "cols"},
        "knn": {},
    }
    assert (panel.dataset_type, panel.cache, panel.cache_length, panel.last_but) == (
        "all",
        None,
        None,
        None,
    )
    assert fakes.expand == [platform]
    [link] = screen[None]
    assert link.data.startswith('<link rel="stylesheet" ')
    assert link.data.endswith('/font-awesome/4.7.0/css/font-awesome.min.css"> ')


@pytest.mark.parametrize("kept", [None, 0, "x"])
def test_linked_parameter_kept_unless_empty_text_and_short_entries_fail(fakes, kept):
    service = FakeService()
    service.model_item = {"m": {"p": ["P", 1, kept], "q": ["Q", 1, ""]}}
    assert DataQualityPanel(data_quality_api=service).config_compare == {"m": {"p": kept}}
    service.model_item = {"m": {"p": ["P", 1]}}
    with pytest.raises(IndexError):
        DataQualityPanel(data_quality_api=service)


def test_class_shape_and_signatures():
    assert DataQualityPanel.__bases__ == (object,)
    methods = [k for k in vars(DataQualityPanel) if not k.startswith("__") or k == "__init__"]
    assert methods == [
        "__init__",
        "visualization_panel",
        "comparison_panel",
        "train_register_panel",
        "model_setting_panel",
        "method_config_panel",
        "data_integrity_panel",
        "drift_test_panel",
        "od_panel",
        "train_all_panel",
    ]
    assert str(inspect.signature(DataQualityPanel)) == "(platform=None, data_quality_api=None)"


# ------------------------------------------------------------------ visualization page


@pytest.mark.parametrize(
    ("trained", "failed", "offered"),
    [({}, [], []), ({"a": 1}, ["a"], []), ({"a": 1, "b": 2, "c": 3}, ["b"], ["a", "c"])],
)
def test_visualization_offers_trained_methods_not_failed(panel, service, trained, failed, offered):
    service.custom_model_dict, service.training_failed_list = trained, failed
    page = panel.visualization_panel()
    dropdown = page.children[1].children[0]
    assert list(dropdown.options) == ["Select Method", *offered]
    assert dropdown.value == (offered[0] if offered else "Select Method")
    expected = [] if not offered else ["od_score_distribution", "od_marginal_outlier_distribution"]
    assert shows(service) == expected


def test_visualization_charts_follow_controls_and_removal_reports(panel, service, screen):
    service.custom_model_dict = {"a": 1}
    page = panel.visualization_panel()
    dropdown, threshold, remove = page.children[1].children
    density, marginal = (box.children[0] for box in page.children[2].children)
    cap_out = page.children[3]
    assert screen[density] == ["chart od_score_distribution"]
    threshold.value = 0.5
    assert service.calls[-1] == (
        "data_quality",
        {
            "show": "od_marginal_outlier_distribution",
            "dataset": "all",
            "method": "a",
            "threshold": 0.5,
        },
    )
    remove.click()
    assert service.calls[-1] == ("apply_model", {"model": "a", "threshold": 0.5})
    assert notes(screen[cap_out]) == [("info", "0 Outliers has been removed")]
    dropdown.value = "Select Method"
    assert screen[density] == screen[marginal] == []
    n_calls = len(service.calls)
    remove.click()
    assert notes(screen[cap_out]) == [("error", "Please select method first")]
    assert len(service.calls) == n_calls


# --------------------------------------------------------------------- comparison page


@pytest.mark.parametrize(
    ("chosen", "methods", "thresholds"),
    [
        ({}, [], []),
        ({2: ("a", 0.95)}, ["a"], [0.95]),
        ({0: ("a", 0.5), 2: ("b", 0.7)}, ["a", "b"], [0.5, 0.7]),
        ({0: ("a", 0.5), 1: ("a", 0.6)}, ["a", "a"], [0.5, 0.6]),
    ],
)
def test_comparison_sends_chosen_rows_aligned(panel, service, screen, chosen, methods, thresholds):
    service.custom_model_dict = {"a": 1, "b": 2}
    page = panel.comparison_panel()
    label_left, drops, _, _, boxes, _, right = page.children[1].children
    assert [d.value for d in drops.children] == ["Select Method"] * 3
    assert [t.value for t in boxes.children] == [0.999] * 3
    for row, (method, value) in chosen.items():
        drops.children[row].value, boxes.children[row].value = method, value
    caption_out = page.children[2]
    assert screen[caption_out] == []
    right.children[2].click()
    assert service.calls[-1] == (
        "data_quality",
        {
            "show": "od_tsne_comparison",
            "dataset": "all",
            "method": methods,
            "threshold": thresholds,
        },
    )
    assert screen[caption_out] == []


@pytest.mark.parametrize("swallow", [False, True])
def test_failed_comparison_clears_caption(panel, service, screen, swallow):
    def fail(**kwargs):
        raise RuntimeError("t-SNE failed")

    service.data_quality = fail
    screen.swallow = swallow
    page = panel.comparison_panel()
    compare = page.children[1].children[6].children[2]
    if swallow:
        compare.click()
        assert [type(e) for _, e in screen[page.children[3]]] == [RuntimeError]
    else:
        with pytest.raises(RuntimeError, match="t-SNE failed"):
            press(compare)
    assert screen[page.children[2]] == []


# ------------------------------------------------------------------ training and settings


def run_training(panel, ticked=None):
    """Builds the method page, ticks `ticked` (all by default), presses RUN; returns the page."""
    page = panel.method_config_panel()
    for key, info in panel.model_info_dict.items():
        info["check"].value = ticked is None or key in ticked
    page.children[0].children[0].children[2].children[0].click()
    return page


def final_notes(screen, page):
    leaderboard, prog_out, cap_out = page.children[2].children
    assert screen[leaderboard] == screen[prog_out] == []  # bar removed, nothing else shown
    return notes(screen[cap_out])


def test_training_trains_ticked_in_list_order_and_reports_failures(panel, service, screen):
    service.failing = {"custom-KNN"}
    page = run_training(panel, ticked={"knn", "lof"})
    assert ("model_list", ["lof", "knn"]) in service.calls
    fits = [c[1:] for c in service.calls if c[0] == "fit"]
    assert fits == [("est-lof", "custom-LOF", "all"), ("est-knn", "custom-KNN", "all")]
    [bar] = [w for w in screen.history if isinstance(w, widgets.IntProgress)]
    assert (bar.max, bar.value, bar.description) == (2, 2, "Training custom-KNN:")
    assert "progress-train" in bar._dom_classes
    assert service.training_failed_list == ["custom-KNN"]
    assert final_notes(screen, page) == [("error", "Method ['custom-KNN'] Running Failed")]
    visible = [*page.children[2].children, page.children[0].children[1].children[0]]
    hidden = [out for out, items in screen.content.items() if "training noise" in items]
    assert hidden and not set(hidden) & set(visible)


def test_configuration_is_rendered_from_linked_widgets(panel, service, fakes):
    run_training(panel, ticked=set())
    assert fakes.render == [
        ("lof", "n_neighbors", "v-n_neighbors", ["a", "b"]),
        ("iforest", "n_estimators", "v-n_estimators", ["a", "b"]),
        ("iforest", "features", "v-features", ["a", "b"]),
    ]
    config = {
        "lof": {"n_neighbors": "n_neighbors=v-n_neighbors"},
        "iforest": {
            "n_estimators": "n_estimators=v-n_estimators",
            "features": "features=v-features",
        },
        "knn": {},
    }
    assert service.model_config == ("configured", config)


def test_no_tick_trains_nothing_and_failures_persist_until_retrained(panel, service, screen):
    page = run_training(panel, ticked=set())
    assert ("model_list", []) in service.calls
    assert final_notes(screen, page) == [("info", "Method Running Done")]
    service.failing = {"custom-LOF"}
    run_training(panel, ticked={"lof"})
    page = run_training(panel, ticked={"knn"})  # old failure still reported
    assert final_notes(screen, page) == [("error", "Method ['custom-LOF'] Running Failed")]
    service.failing = set()
    page = run_training(panel, ticked={"lof"})  # trained under the same name: no longer failed
    assert service.training_failed_list == []
    assert final_notes(screen, page) == [("info", "Method Running Done")]
    assert "custom-LOF" in panel.visualization_panel().children[1].children[0].options


def test_method_left_out_by_prepare_is_skipped_uncounted(panel, service, screen, monkeypatch):
    monkeypatch.setattr(service, "model_prepare", lambda: {"knn": {"estimator": "e"}})
    run_training(panel)
    [bar] = [w for w in screen.history if isinstance(w, widgets.IntProgress)]
    assert (bar.max, bar.value) == (3, 1)


def test_error_before_training_leaves_bar_and_no_message(panel, fakes, screen, monkeypatch):
    def broken(*args, **kwargs):
        raise KeyError("bad parameter")

    monkeypatch.setattr(dalvane, "param_render", broken)
    page = panel.method_config_panel()
    with pytest.raises(KeyError):
        press(page.children[0].children[0].children[2].children[0])
    _, prog_out, cap_out = page.children[2].children
    assert [w.value for w in screen[prog_out]] == [0]
    assert screen[cap_out] == []


@pytest.mark.parametrize(("platform", "width"), [("colab", "80%"), (None, "99%"), ("lab", "99%")])
def test_method_page_rows_and_settings_toggle(fakes, service, screen, platform, width):
    panel = DataQualityPanel(platform, service)
    page = panel.method_config_panel()
    assert len(page.children) == 3 and page.children[0].layout.width == width
    rows = page.children[0].children[0].children[1].children
    assert [(r.children[0].description, r.children[0].value) for r in rows] == [
        ("LOF", True),
        ("IForest", True),
        ("KNN", True),
    ]
    config_output = page.children[0].children[1].children[0]
    lof, iforest = rows[0].children[1], rows[1].children[1]
    shown = []
    for button in (lof, lof, iforest, lof):
        button.click()
        shown.append((panel.last_but, screen[config_output]))
    info = panel.model_info_dict
    panel_of = {key: info[key]["parameter_panel"] for key in info}
    assert shown == [
        ("lof", [panel_of["lof"]]),
        (0, []),
        ("iforest", [panel_of["iforest"]]),
        ("lof", [panel_of["lof"]]),
    ]
    heading, body = panel_of["lof"].children
    assert heading.value == "<h4 style='margin: 10px 0px;'>Customize Model</h4>"
    assert body.children[0].children[0].children[0].value == "Method name:"
    assert list(info["lof"]) == [
        "tuning_name",
        "parameter",
        "parameter_panel",
        "check",
        "button",
        "box",
    ]


# -------------------------------------------------------------- integrity and drift pages


@pytest.mark.parametrize(
    ("label", "key"),
    [
        ("Duplicated Check", "integrity_duplicated_samples"),
        ("Highly Correlated Check", "integrity_highly_correlated_features"),
    ],
)
def test_integrity_page_runs_chosen_check_on_current_part(panel, service, label, key):
    page = panel.data_integrity_panel()
    assert service.calls == [
        ("data_quality", {"show": "integrity_single_column_check", "dataset": "all"})
    ]
    panel.dataset_type = "test"
    assert len(service.calls) == 1  # a new part alone runs nothing
    page.children[0].children[0].children[1].value = label
    assert service.calls[-1] == ("data_quality", {"show": key, "dataset": "test"})


def test_drift_page_calls_and_hides_summary_output(panel, service, screen):
    page = panel.drift_test_panel()
    features, _, metric = page.children[1].children
    assert list(features.options) == ["All", "a", "b"]
    assert service.calls == [
        ("data_quality", {"show": "drift_test_info", "dataset": "all"}),
        (
            "data_quality",
            {
                "show": "drift_test_distance",
                "dataset": "all",
                "distance_metric": "PSI",
                "show_feature": None,
            },
        ),
    ]
    features.value, metric.value = "a", "KS"
    assert service.calls[-1][1]["distance_metric"] == "KS"
    assert service.calls[-1][1]["show_feature"] == "a"
    distance, info = (box.children[0] for box in page.children[3].children)
    assert screen[info] == ["chart drift_test_info", "table"]
    assert screen[distance] == ["chart drift_test_distance"]


def test_failed_drift_summary_aborts_page_even_in_a_kernel(panel, service, screen, monkeypatch):
    def fail(**kwargs):
        raise RuntimeError("no split")

    monkeypatch.setattr(service, "data_quality", fail)
    screen.swallow = True
    with pytest.raises(RuntimeError, match="no split"):
        panel.drift_test_panel()


# ------------------------------------------------------------ outlier detection and top page


@pytest.fixture
def builds(monkeypatch):
    log = []
    for name in ("method_config_panel", "visualization_panel", "comparison_panel"):
        original = getattr(DataQualityPanel, name)

        def recorded(self, _name=name, _original=original):
            log.append(_name)
            return _original(self)

        monkeypatch.setattr(DataQualityPanel, name, recorded)
    return log


def test_od_page_caches_and_rebuilds_on_new_training(panel, service, screen, builds):
    page = panel.od_panel()
    toggle, tab_output = page.children
    assert builds == ["method_config_panel", "visualization_panel", "comparison_panel"]
    [box] = screen[tab_output]
    method_page = panel.cache["Method"]
    assert box.children == (method_page,) and "inner-padding" in box._dom_classes
    toggle.value = "Visualization"
    toggle.value = "Comparison"
    assert len(builds) == 3
    service.custom_model_dict["x"] = 1
    toggle.value = "Method"
    toggle.value = "Visualization"
    assert builds[3:] == ["visualization_panel", "comparison_panel"]
    toggle.value = "Method"
    assert screen[tab_output][0].children == (method_page,)


def test_top_page_with_split_row_and_part_choice(panel, fakes, screen, monkeypatch):
    page = panel.train_all_panel()
    assert "card-with-tab" in page._dom_classes
    [(elements, widths)] = fakes.rows
    assert widths == ["100px", "20%", "10px", "110px", "20%"]
    assert elements[2] is FakeKovaWidget.margin_right
    labels = [elements[i][0].value for i in (0, 3)]
    assert labels == ["Dataset:", "Check Type:"]
    [shown] = screen[page.children[1]]
    assert "card" in shown._dom_classes
    monkeypatch.setattr(
        DataQualityPanel, "drift_test_panel", lambda self: widgets.HTML(self.dataset_type)
    )
    elements[4][0].value = "Train Test Drift"
    elements[1][0].value = "train"
    assert panel.dataset_type == "train"
    assert screen[page.children[1]][0].value == "train"


def test_top_page_without_split_refuses_outlier_detection(fakes, screen, monkeypatch):
    panel = DataQualityPanel(None, FakeService(types.SimpleNamespace(feature_names=["a"])))
    monkeypatch.setattr(DataQualityPanel, "od_panel", lambda self: pytest.fail("built od page"))
    page = panel.train_all_panel()
    [(elements, widths)] = fakes.rows
    assert widths == ["120px", "20%"] and elements[0][0].value == "Check Type:"
    dropdown = elements[1][0]
    dropdown.value = "Outlier Detection"
    assert screen[page.children[1]] == [("note", "error", 'Need to run "data_prepare" first.')]
    assert FakeKovaWidget.calls[-1][1]["highcode_mode"] is False
    dropdown.value = "Train Test Drift"
    assert "card" in screen[page.children[1]][0]._dom_classes


# ------------------------------------------------------------------ service and lifecycle


def test_second_panel_over_trained_service_sees_every_method(panel, service):
    run_training(panel, ticked={"knn"})
    assert service._selected == ["knn"]
    second = DataQualityPanel(None, service)
    assert second.model_lis == list(NAMES)
    second.method_config_panel()
    assert list(second.model_info_dict) == list(NAMES)


def test_closed_pages_release_panel_and_service(fakes, screen):
    service = FakeService()
    service.custom_model_dict = {"a": 1}
    before = sys.getrefcount(service)
    panel = DataQualityPanel(None, service)
    panel.train_all_panel()
    panel.od_panel()
    panel.drift_test_panel()
    alive = weakref.ref(panel)
    del panel
    screen.content.clear()
    screen.history.clear()
    fakes.rows.clear()  # the recorded row holds the drop-downs, whose observers hold the panel
    widgets.Widget.close_all()
    gc.collect()
    assert alive() is None
    assert sys.getrefcount(service) == before


def test_real_components_build_the_whole_dashboard(service):
    """Real KovaWidget, components and display: every page's widget tree builds."""
    panel = DataQualityPanel("colab", service)
    page = panel.train_all_panel()
    check_type = page.children[0].children[4].children[0]
    for choice in ("Outlier Detection", "Train Test Drift", "Integrity Check"):
        check_type.value = choice
    od = panel.od_panel()
    for tab in ("Visualization", "Comparison", "Method"):
        od.children[0].value = tab
    row = panel.model_info_dict["lof"]["box"]
    row.children[1].click()
    assert (
        panel.model_info_dict["lof"]["parameter_panel"]
        .children[0]
        .value.endswith("Customize Model</h4>")
    )
