"""DataQualityPanel over a recording service and components; pages are real ipywidgets, and
`Screen` records what each Output area of a page displays or prints."""

import contextlib
import gc
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
    "lof": {"k": ["K", 20, "k"], "metric": ["Metric", "l2", ""]},
    "iforest": {"n": ["N", 100, None], "cols": ["F", "", 0]},  # None and 0 are widget keys too
    "knn": {"method": ["M", "mean", ""]},
}


class Screen:
    def __init__(self):
        self.content, self.history, self.stack, self.swallow = defaultdict(list), [], [], False

    def enter(self, output):
        self.stack.append((output, contextlib.redirect_stdout(self)))
        self.stack[-1][1].__enter__()

    def exit(self, output, etype, evalue, tb):
        self.stack.pop()[1].__exit__(None, None, None)
        if etype is not None and self.swallow:  # as inside a kernel: shown, not raised
            self.content[output].append(("error", evalue))
            return True

    def write(self, text):
        if text.strip():
            self.display(text.strip())

    flush = staticmethod(lambda: None)

    def display(self, *items):
        self.content[self.stack[-1][0] if self.stack else None].extend(items)
        self.history.extend(items)

    def clear_output(self, wait=False):
        self.content[self.stack[-1][0] if self.stack else None].clear()

    def __getitem__(self, output):
        return list(self.content[output])


class FakeParameterPanel:
    def __init__(self, display_name, parameters):
        self.model_tuning_name = widgets.Text(value=f"custom-{display_name}")
        self.model_config = {e[2]: widgets.Text(value=f"v-{k}") for k, e in parameters.items()}
        body = widgets.VBox([widgets.HBox([widgets.VBox([widgets.HTML("Name:")])])])
        self.parameter_panel = widgets.VBox([widgets.HTML("heading"), body])


class FakeService:
    """model_list reads as every method with its display name and takes a selection."""

    def __init__(self, dataset=None):
        self.dataset = dataset or types.SimpleNamespace(train_idx=0, feature_names=["a", "b"])
        self.model_item, self._selected, self.calls = ITEMS, list(NAMES), []
        self.custom_model_dict, self.training_failed_list, self.failing = {}, [], set()

    model_list = property(lambda self: dict(NAMES), lambda self, keys: self.select(keys))

    def select(self, keys):
        self.calls.append(("model_list", keys))
        self._selected = keys

    def data_quality(self, **kwargs):
        self.calls.append(("data_quality", kwargs))
        return types.SimpleNamespace(
            show_message=lambda: print(f"chart {kwargs['show']}"), show_data=lambda: print("table")
        )

    def apply_model(self, **kwargs):
        self.calls.append(("apply_model", kwargs))
        self.dataset.outlier_idx = [7, 9]

    def model_config_setting(self, config):
        return ("configured", config)

    def model_prepare(self):
        return {key: {"estimator": f"est-{key}"} for key in self._selected}

    def fit_get_method(self, method, model_name, dataset):
        self.calls.append(("fit", method, model_name, dataset))
        print("training noise")
        if model_name in self.failing:
            raise ValueError(model_name)
        self.custom_model_dict[model_name] = method
        if model_name in self.training_failed_list:
            self.training_failed_list.remove(model_name)

    def record_failed_training(self, model_name):
        self.calls.append(("failed", model_name))
        self.training_failed_list.append(model_name)


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
    rec = types.SimpleNamespace(expand=[], rows=[], render=[], notes=[])
    rec.KovaWidget = types.SimpleNamespace(
        notification=lambda **kw: rec.notes.append(kw) or ("note", kw["signal_type"], kw["text"]),
        margin_right=lambda width: widgets.Box(layout=widgets.Layout(width=width)),
        margin_top=lambda height: widgets.Box(layout=widgets.Layout(height=height)),
    )
    for name, fake in {
        "KovaWidget": rec.KovaWidget,
        "ModelParameterPanel": FakeParameterPanel,
        "expand_colab_cell_height": rec.expand.append,
        "col_align_input_template": lambda cols_elements, cols_width: (
            rec.rows.append((cols_elements, cols_width)) or widgets.HBox()
        ),
        "param_render": lambda m, k, v, flis: rec.render.append((m, k, v, flis)) or f"{k}={v}",
    }.items():
        monkeypatch.setattr(dalvane, name, fake)
    return rec


@pytest.fixture
def service():
    return FakeService()


@pytest.fixture
def panel(fakes, service):
    return DataQualityPanel(None, service)


def press(button):
    """Runs a button's click handlers directly, so that their errors reach the test."""
    for handler in button._click_handlers.callbacks:
        handler(button)


def notes(items):
    return [item[1:] for item in items if isinstance(item, tuple) and item[0] == "note"]


class Raising:
    train_idx = property(lambda self: 1 / 0)


@pytest.mark.parametrize(
    ("dataset", "split"),
    [
        (types.SimpleNamespace(train_idx=None), True),
        (types.SimpleNamespace(), False),
        (Raising(), False),
    ],
)
@pytest.mark.parametrize("platform", [None, "colab"])
def test_construction(fakes, screen, dataset, split, platform):
    panel = DataQualityPanel(platform, FakeService(dataset))
    assert panel.support_dataset is split and panel.model_lis == list(NAMES)
    assert panel.config_compare == {"lof": {"k": "k"}, "iforest": {"n": None, "cols": 0}, "knn": {}}
    assert [panel.dataset_type, panel.cache, panel.cache_length, panel.last_but] == [
        "all",
        *[None] * 3,
    ]
    assert fakes.expand == [platform]
    [link] = screen[None]
    assert link.data.startswith('<link rel="stylesheet" href="https://')
    assert link.data.endswith('/font-awesome/4.7.0/css/font-awesome.min.css"> ')


@pytest.mark.parametrize(
    ("trained", "failed", "offered"),
    [({}, [], []), ({"a": 1}, ["a"], []), ({"a": 1, "b": 2, "c": 3}, ["b"], ["a", "c"])],
)
def test_visualization_page(panel, service, screen, trained, failed, offered):
    service.custom_model_dict, service.training_failed_list = trained, failed
    page = panel.visualization_panel()
    dropdown, threshold, remove = page.children[1].children
    density, marginal = (box.children[0] for box in page.children[2].children)
    assert list(dropdown.options) == ["Select Method", *offered]
    charts = ["chart od_score_distribution", "chart od_marginal_outlier_distribution"]
    assert [screen[density] + screen[marginal]] == [charts if offered else []]
    if offered:
        threshold.value = 0.5
        kw = {"dataset": "all", "method": offered[0], "threshold": 0.5}
        assert service.calls[-2:] == [("data_quality", {"show": s[6:], **kw}) for s in charts]
        press(remove)
        assert service.calls[-1] == ("apply_model", {"model": offered[0], "threshold": 0.5})
        assert notes(screen[page.children[3]]) == [("info", "2 Outliers has been removed")]
        dropdown.value = "Select Method"
        assert screen[density] == screen[marginal] == []
    n_calls = len(service.calls)
    press(remove)
    assert notes(screen[page.children[3]]) == [("error", "Please select method first")]
    assert len(service.calls) == n_calls


@pytest.mark.parametrize(
    ("chosen", "methods", "thresholds"),
    [
        ({}, [], []),
        ({2: ("a", 0.95)}, ["a"], [0.95]),
        ({0: ("a", 0.5), 2: ("b", 0.7)}, ["a", "b"], [0.5, 0.7]),
    ],
)
def test_comparison_sends_chosen_rows(panel, service, screen, chosen, methods, thresholds):
    service.custom_model_dict = {"a": 1, "b": 2}
    page = panel.comparison_panel()
    drops, boxes, compare = [page.children[1].children[i] for i in (1, 4, 6)]
    assert {(d.value, t.value) for d, t in zip(drops.children, boxes.children, strict=True)} == {
        ("Select Method", 0.999)
    }
    for row, (method, value) in chosen.items():
        drops.children[row].value, boxes.children[row].value = method, value
    press(compare.children[2])
    kw = dict(show="od_tsne_comparison", dataset="all", method=methods, threshold=thresholds)
    assert service.calls[-1] == ("data_quality", kw)
    assert screen[page.children[2]] == []  # caption removed


def test_failed_comparison_clears_caption(panel, service, screen, monkeypatch):
    monkeypatch.setattr(service, "data_quality", lambda **kw: 1 / 0)
    page = panel.comparison_panel()
    with pytest.raises(ZeroDivisionError):
        press(page.children[1].children[6].children[2])
    assert screen[page.children[2]] == []


def run_training(panel, ticked=None):
    """Builds the method page, ticks `ticked` (all when None) and presses RUN."""
    page = panel.method_config_panel()
    for key, info in panel.model_info_dict.items():
        info["check"].value = ticked is None or key in ticked
    press(page.children[0].children[0].children[2].children[0])
    return page


def outcome(screen, page):
    """The bar (max, value, description) and the notes of the last run's final message."""
    leaderboard, prog_out, cap_out = page.children[2].children
    assert screen[leaderboard] == screen[prog_out] == []
    bar = [w for w in screen.history if isinstance(w, widgets.IntProgress)][-1]
    assert "progress-train" in bar._dom_classes
    return (bar.max, bar.value, bar.description), notes(screen[cap_out])


def test_training_order_names_config_and_failures(panel, service, screen, fakes):
    service.failing = {"custom-KNN"}
    page = run_training(panel, ticked={"knn", "lof"})
    assert ("model_list", ["lof", "knn"]) in service.calls
    fits = [c[1:] for c in service.calls if c[0] == "fit"]
    assert fits == [("est-lof", "custom-LOF", "all"), ("est-knn", "custom-KNN", "all")]
    error = [("error", "Method ['custom-KNN'] Running Failed")]
    assert outcome(screen, page) == ((2, 2, "Training custom-KNN:"), error)
    assert service.training_failed_list == ["custom-KNN"]
    assert ("failed", "custom-KNN") in service.calls  # recorded by the service, not by the panel
    visible = [*page.children[2].children, page.children[0].children[1].children[0]]
    hidden = [out for out, items in screen.content.items() if "training noise" in items]
    assert hidden and not set(hidden) & set(visible)
    flis = ["a", "b"]
    assert fakes.render == [
        ("lof", "k", "v-k", flis),
        ("iforest", "n", "v-n", flis),
        ("iforest", "cols", "v-cols", flis),
    ]
    config = {"lof": {"k": "k=v-k"}, "iforest": {"n": "n=v-n", "cols": "cols=v-cols"}, "knn": {}}
    assert service.model_config == ("configured", config)


def test_failures_persist_until_retrained_and_skips_uncounted(panel, service, screen, monkeypatch):
    done = [("info", "Method Running Done")]
    assert outcome(screen, run_training(panel, ticked=set())) == ((0, 0, ""), done)
    assert ("model_list", []) in service.calls
    service.failing = {"custom-LOF"}
    run_training(panel, ticked={"lof"})
    old = [("error", "Method ['custom-LOF'] Running Failed")]
    assert outcome(screen, run_training(panel, ticked={"knn"}))[1] == old
    service.failing = set()  # trained under the same name: no longer a failed method
    assert outcome(screen, run_training(panel, ticked={"lof"}))[1] == done
    assert "custom-LOF" in panel.visualization_panel().children[1].children[0].options
    monkeypatch.setattr(service, "model_prepare", lambda: {"knn": {"estimator": "e"}})
    assert outcome(screen, run_training(panel))[0] == (3, 1, "Training custom-KNN:")
    second = DataQualityPanel(None, service)  # after a selection, model_list still names all
    assert second.model_lis == list(NAMES) and second.model_name_dict == NAMES


@pytest.mark.parametrize(("platform", "width"), [("colab", "80%"), (None, "99%"), ("lab", "99%")])
def test_method_rows_and_settings_toggle(fakes, service, screen, platform, width):
    panel = DataQualityPanel(platform, service)
    page = panel.method_config_panel()
    assert len(page.children) == 3 and page.children[0].layout.width == width
    rows = page.children[0].children[0].children[1].children
    assert [(r.children[0].description, r.children[0].value) for r in rows] == [
        (n, True) for n in NAMES.values()
    ]
    config_output = page.children[0].children[1].children[0]
    shown = []
    for row in (0, 0, 1, 0):
        press(rows[row].children[1])
        shown.append((panel.last_but, screen[config_output]))
    info = panel.model_info_dict
    lof, iforest = info["lof"]["parameter_panel"], info["iforest"]["parameter_panel"]
    assert shown == [("lof", [lof]), (0, []), ("iforest", [iforest]), ("lof", [lof])]
    assert lof.children[0].value == "<h4 style='margin: 10px 0px;'>Customize Model</h4>"
    assert lof.children[1].children[0].children[0].children[0].value == "Method name:"
    assert list(info["lof"]) == "tuning_name parameter parameter_panel check button box".split()


def test_integrity_page_runs_chosen_check_on_current_part(panel, service):
    dropdown = panel.data_integrity_panel().children[0].children[0].children[1]
    panel.dataset_type = "test"
    dropdown.value = "Highly Correlated Check"
    shown = [(c[1]["show"], c[1]["dataset"]) for c in service.calls]
    checks = ["integrity_single_column_check", "integrity_highly_correlated_features"]
    assert shown == list(zip(checks, ["all", "test"], strict=True))


def test_drift_page(panel, service, screen, monkeypatch):
    page = panel.drift_test_panel()
    features, _, metric = page.children[1].children
    assert list(features.options) == ["All", "a", "b"]
    distance = dict(show="drift_test_distance", dataset="all", distance_metric="PSI")
    distance["show_feature"] = None
    assert [c[1] for c in service.calls] == [dict(show="drift_test_info", dataset="all"), distance]
    features.value, metric.value = "a", "KS"
    assert service.calls[-1][1] == {**distance, "distance_metric": "KS", "show_feature": "a"}
    left, right = (box.children[0] for box in page.children[3].children)
    assert screen[left] + screen[right] == [
        "chart drift_test_distance",
        "chart drift_test_info",
        "table",
    ]
    monkeypatch.setattr(service, "data_quality", lambda **kw: 1 / 0)
    screen.swallow = True  # the hidden summary output must not hide the failure
    with pytest.raises(ZeroDivisionError):
        panel.drift_test_panel()


def test_od_page_caches_and_rebuilds_on_new_training(panel, service, screen, monkeypatch):
    builds = []
    for name in ("method_config_panel", "visualization_panel", "comparison_panel"):
        original = getattr(DataQualityPanel, name)
        monkeypatch.setattr(
            DataQualityPanel, name, lambda s, n=name, f=original: builds.append(n) or f(s)
        )
    toggle, tab_output = panel.od_panel().children
    assert builds == ["method_config_panel", "visualization_panel", "comparison_panel"]
    [box] = screen[tab_output]
    assert box.children == (panel.cache["Method"],) and "inner-padding" in box._dom_classes
    toggle.value, toggle.value = "Visualization", "Comparison"
    service.custom_model_dict["x"] = 1
    toggle.value, toggle.value, toggle.value = "Method", "Visualization", "Method"
    assert builds[3:] == ["visualization_panel", "comparison_panel"]
    assert screen[tab_output][0].children == (box.children[0],)


def test_top_page_with_split(panel, fakes, screen, monkeypatch):
    page = panel.train_all_panel()
    [(elements, widths)] = fakes.rows
    assert widths == ["100px", "20%", "10px", "110px", "20%"]
    assert elements[2] is fakes.KovaWidget.margin_right
    assert [elements[0][0].value, elements[3][0].value] == ["Dataset:", "Check Type:"]
    assert (
        "card-with-tab" in page._dom_classes and "card" in screen[page.children[1]][0]._dom_classes
    )
    monkeypatch.setattr(
        DataQualityPanel, "drift_test_panel", lambda self: widgets.HTML(self.dataset_type)
    )
    elements[4][0].value, elements[1][0].value = "Train Test Drift", "train"
    assert panel.dataset_type == "train" and screen[page.children[1]][0].value == "train"


def test_top_page_without_split_refuses_outlier_detection(fakes, screen, monkeypatch):
    panel = DataQualityPanel(None, FakeService(types.SimpleNamespace(feature_names=["a"])))
    monkeypatch.setattr(DataQualityPanel, "od_panel", lambda self: pytest.fail("built"))
    page = panel.train_all_panel()
    [(elements, widths)] = fakes.rows
    assert widths == ["120px", "20%"] and elements[0][0].value == "Check Type:"
    elements[1][0].value = "Outlier Detection"
    assert screen[page.children[1]] == [("note", "error", 'Need to run "data_prepare" first.')]
    assert fakes.notes[-1]["highcode_mode"] is False
    elements[1][0].value = "Train Test Drift"
    assert "card" in screen[page.children[1]][0]._dom_classes


def test_closed_pages_release_panel_and_service(fakes, screen):
    service = FakeService()
    service.custom_model_dict = {"a": 1}
    before = sys.getrefcount(service)
    panel = DataQualityPanel(None, service)
    panel.train_all_panel(), panel.od_panel(), panel.drift_test_panel(), run_training(panel)
    alive = weakref.ref(panel)
    del panel
    screen.content.clear(), screen.history.clear(), fakes.rows.clear()  # they hold widgets
    widgets.Widget.close_all()
    gc.collect()
    assert alive() is None and sys.getrefcount(service) == before


def test_real_components_build_the_whole_dashboard(service):
    panel = DataQualityPanel("colab", service)
    check_type = panel.train_all_panel().children[0].children[4].children[0]
    for choice in ("Outlier Detection", "Train Test Drift", "Integrity Check"):
        check_type.value = choice
    toggle = panel.od_panel().children[0]
    for tab in ("Visualization", "Comparison", "Method"):
        toggle.value = tab
    press(panel.model_info_dict["lof"]["button"])
    assert panel.last_but == "lof"
    heading = panel.model_info_dict["lof"]["parameter_panel"].children[0]
    assert heading.value.endswith("Customize Model</h4>")
