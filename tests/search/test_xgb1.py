"""XGB1Regressor and XGB1Classifier: effect functions that add up to the prediction, missing
values, sample weights, threads, scikit-learn compatibility, rejected inputs, and the fitted loss
against reference boosters."""

import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
from sklearn.exceptions import NotFittedError
from sklearn.utils.estimator_checks import check_estimator

from kova import _kernels
from kova.exceptions import KovaError
from kova.models import XGB1Classifier, XGB1Regressor


def make_rows(n=600, seed=0):
    """Continuous, skewed, integer-valued and categorical-code columns with an additive target."""
    rng = np.random.default_rng(seed)
    X = np.column_stack(
        [
            rng.normal(size=n),
            rng.exponential(size=n),
            rng.integers(0, 6, size=n).astype(float),
            rng.choice([3.0, 10.0, 11.0, 40.0], size=n),  # category codes
            rng.normal(size=n),  # pure noise
        ]
    )
    y = np.sin(2 * X[:, 0]) + np.log1p(X[:, 1]) + 0.3 * X[:, 2] + (X[:, 3] == 11.0)
    return X, y + 0.1 * rng.normal(size=n)


NAMES = ["a", "b", "c", "code", "noise"]
TYPES = ["numerical", "numerical", "numerical", "categorical", "numerical"]


def additive_prediction(interpreter, X, names, missing=None):
    """Intercept plus, per feature in the effects, the value of the interval holding each row (or
    the feature's "missing" value where ``missing`` has NaN; X then holds inf there)."""
    total = np.full(X.shape[0], interpreter.intercept_)
    for j, name in enumerate(names):
        if name not in interpreter.effects_["1D"]:
            continue
        effect = interpreter.effects_["1D"][name]
        values, splits, x = effect["values"], effect["splits"], X[:, j]
        absent = np.zeros(len(x), bool) if missing is None else np.isnan(missing[:, j])
        assert len(splits) == len(values) + 1
        assert np.all(np.diff(splits) > 0)
        assert splits[0] == x[~absent].min()
        assert splits[-1] == x[~absent].max()
        hits = absent.astype(int)
        term = np.where(absent, effect.get("missing", np.nan), 0.0)
        for i, value in enumerate(values):
            last = i == len(values) - 1
            inside = (splits[i] <= x) & ((x <= splits[i + 1]) if last else (x < splits[i + 1]))
            hits += inside
            term[inside] = value
        assert np.all(hits == 1), f"rows of {name} outside exactly one interval"
        total = total + term
    return total


@pytest.mark.parametrize(
    ("settings", "shift"),
    [
        ({}, 0.0),
        ({"max_bins": 8, "learning_rate": 0.5}, 0.0),
        ({"max_bins": 1000}, 0.0),  # more than 256 bins: a uint16 bin matrix
        ({"subsample": 0.6, "min_samples_leaf": 5, "n_estimators": 300}, 0.0),
        ({"reg_lambda": 0.0}, 1.5),  # interpreted on rows reaching past the fitted range
    ],
)
def test_intercept_plus_effects_is_the_prediction(settings, shift):
    X, y = make_rows()
    model = XGB1Regressor(feature_names=NAMES, feature_types=TYPES, random_state=3, **settings)
    model.fit(X, y)
    rows = X + shift
    interpreter = model.parse_model()
    interpreter.global_interpret(X=rows, y=y.reshape(-1, 1))
    effects = interpreter.effects_["1D"]
    assert {"a", "b", "c", "code"} <= set(effects)
    assert all(list(effect) == ["values", "splits"] for effect in effects.values())
    additive = additive_prediction(interpreter, rows, NAMES)
    np.testing.assert_array_equal(additive, model.predict(rows))


def test_features_without_splits_are_left_out():
    X, y = make_rows()
    constant = XGB1Regressor().fit(X, np.full(len(y), 2.5))
    interpreter = constant.parse_model()
    assert interpreter.global_interpret() == {"1D": {}}
    assert interpreter.intercept_ == 2.5
    np.testing.assert_array_equal(constant.predict(X), 2.5)
    one_round = XGB1Regressor(n_estimators=1, feature_names=NAMES).fit(X, y)
    assert len(one_round.parse_model().global_interpret(X)["1D"]) == 1


@pytest.mark.parametrize(("kind", "exact"), [("categorical", True), ("numerical", False)])
def test_a_categorical_stump_sets_one_code_apart(kind, exact):
    rng = np.random.default_rng(1)
    codes = rng.choice([5.0, 1.0, 9.0, 7.0], size=400)
    y = np.where(codes == 5.0, 4.0, 0.0)  # a middle code no threshold can cut out alone
    model = XGB1Regressor(
        n_estimators=1, learning_rate=1.0, reg_lambda=0.0, min_samples_leaf=1, feature_types=[kind]
    ).fit(codes.reshape(-1, 1), y)
    error = np.abs(model.predict(codes.reshape(-1, 1)) - y).max()
    assert bool(error < 1e-12) is exact
    if exact:
        interpreter = model.parse_model()
        effect = interpreter.global_interpret()["1D"]["X0"]
        np.testing.assert_array_equal(effect["splits"], [1.0, 3.0, 6.0, 9.0])
        np.testing.assert_allclose(effect["values"] + interpreter.intercept_, [0, 4, 0], atol=1e-12)


@pytest.mark.parametrize("rows", [5000, 100_000])  # all rows, then a sample of them
def test_quantile_bins_hold_equal_shares(rows):
    x = np.random.default_rng(2).standard_t(3, size=(rows, 1))
    (thresholds,) = _kernels.stump_thresholds(x, [False], 256, 9)
    assert len(thresholds) == 255
    assert np.all(np.diff(thresholds) > 0)
    shares = np.searchsorted(np.sort(x[:, 0]), thresholds) / rows
    np.testing.assert_allclose(shares, np.arange(1, 256) / 256, atol=0.006)


def stump_boosting(X, y, rounds, rate, lam, least):
    """Plain boosting of stumps with every distinct value as a threshold, for comparison."""
    pred = np.full(len(y), y.mean())
    for _ in range(rounds):
        grad = pred - y
        best = (0.0, None)
        for j in range(X.shape[1]):
            for t in np.unique(X[:, j])[1:]:
                left = X[:, j] < t
                n_left, n_right = left.sum(), (~left).sum()
                if min(n_left, n_right) < least:
                    continue
                g_left, g_right = grad[left].sum(), grad[~left].sum()
                gain = g_left**2 / (n_left + lam) + g_right**2 / (n_right + lam)
                gain -= grad.sum() ** 2 / (len(y) + lam)
                if gain > best[0]:
                    best = (gain, (left, -g_left / (n_left + lam), -g_right / (n_right + lam)))
        if best[1] is None:
            break
        left, w_left, w_right = best[1]
        pred = pred + rate * np.where(left, w_left, w_right)
    return pred


def test_matches_plain_stump_boosting_when_every_value_has_its_bin():
    rng = np.random.default_rng(4)
    X = rng.integers(0, 9, size=(300, 3)).astype(float)
    y = X[:, 0] ** 2 - 3 * (X[:, 1] > 4) + rng.normal(size=300)
    model = XGB1Regressor(n_estimators=25, learning_rate=0.4, reg_lambda=2.0, min_samples_leaf=10)
    expected = stump_boosting(X, y, 25, 0.4, 2.0, 10)
    np.testing.assert_allclose(model.fit(X, y).predict(X), expected, rtol=1e-10, atol=1e-10)


def squared_error(model, X, y):
    return np.mean((model.predict(X) - y) ** 2)


def log_loss(model, X, y):
    p = model.predict_proba(X)[:, 1]
    return -np.mean(y * np.log(p) + (1 - y) * np.log(1 - p))


@pytest.mark.parametrize(
    ("ours", "reference", "target", "loss", "ceiling"),
    [
        (
            XGB1Regressor,
            HistGradientBoostingRegressor,
            lambda y: y,
            squared_error,
            lambda y: 0.2 * np.var(y),
        ),
        (
            XGB1Classifier,
            HistGradientBoostingClassifier,
            lambda y: (y > np.median(y)).astype(int),
            log_loss,
            lambda y: 0.4,
        ),
    ],
    ids=["regressor", "classifier"],
)
def test_test_loss_close_to_scikit_learn_histogram_boosting(ours, reference, target, loss, ceiling):
    X, y = make_rows(n=4000, seed=5)
    y = target(y)
    train, test = slice(0, 3000), slice(3000, None)
    models = (
        ours(n_estimators=200, learning_rate=0.2, max_bins=255, reg_lambda=1.0),
        reference(
            max_iter=200,
            learning_rate=0.2,
            max_depth=1,
            max_bins=255,
            l2_regularization=1.0,
            min_samples_leaf=20,
            early_stopping=False,
        ),
    )
    losses = [loss(m.fit(X[train], y[train]), X[test], y[test]) for m in models]
    assert losses[0] < ceiling(y[test])
    assert losses[0] == pytest.approx(losses[1], rel=0.03)


@pytest.mark.parametrize("estimator", [XGB1Regressor(), XGB1Classifier()])
def test_scikit_learn_estimator_checks(estimator):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        check_estimator(estimator)


def test_parameters_clone_and_seeded_subsamples():
    X, y = make_rows()
    model = XGB1Regressor(subsample=0.5, random_state=7, feature_names=NAMES)
    twin = clone(model)
    assert twin.get_params() == model.get_params()
    np.testing.assert_array_equal(model.fit(X, y).predict(X), twin.fit(X, y).predict(X))
    other = clone(model).set_params(random_state=8).fit(X, y)
    assert not np.array_equal(other.predict(X), model.predict(X))


def test_names_from_data_frame_and_types_by_name():
    pd = pytest.importorskip("pandas")
    X, y = make_rows()
    frame = pd.DataFrame(X, columns=NAMES)
    model = XGB1Regressor(feature_types=dict(zip(NAMES[::-1], TYPES[::-1], strict=True)))
    model.fit(frame, y)
    assert model.feature_names_ == NAMES
    assert model.feature_types_ == TYPES


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda X, y: (X, np.where(y == y[0], np.inf, y)), "infinity"),
        (lambda X, y: (np.where(X[3, 1] == X, np.inf, X), y), "infinity"),
        (lambda X, y: (X, np.where(y == y[0], np.nan, y)), "NaN"),
        (lambda X, y: (np.column_stack([X, np.arange(len(y))]), y), "more than max_bins"),
    ],
)
def test_bad_rows_are_rejected(change, message):
    X, y = change(*make_rows())
    types = TYPES + ["categorical"] * (X.shape[1] - len(TYPES))
    with pytest.raises(ValueError, match=message):
        XGB1Regressor(feature_types=types).fit(X, y)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"n_estimators": 0}, "n_estimators"),
        ({"learning_rate": 0.0}, "learning_rate"),
        ({"max_bins": 1}, "max_bins"),
        ({"min_samples_leaf": 2.5}, "min_samples_leaf"),
        ({"reg_lambda": -1.0}, "reg_lambda"),
        ({"subsample": 1.5}, "subsample"),
        ({"feature_names": ["a", "b"]}, "feature_names"),
        ({"feature_names": ["a"] * 5}, "distinct"),
        ({"feature_types": ["numerical"] * 4 + ["ordinal"]}, "ordinal"),
        ({"feature_types": {"a": "numerical"}}, "no type"),
        ({"learning_rate": "0.1"}, r"Invalid type for 'learning_rate': '0.1' is of type str"),
        ({"reg_lambda": np.inf}, r"Invalid value for 'reg_lambda': inf. Allowed values: float"),
        ({"n_jobs": 0}, r"Allowed values: int >= 1 or -1"),
    ],
)
@pytest.mark.parametrize("cls", [XGB1Regressor, XGB1Classifier])
def test_bad_settings_are_rejected(settings, message, cls):
    X, y = make_rows(n=50)
    with pytest.raises(KovaError, match=message):
        cls(**settings).fit(X, y > np.median(y))


def test_prediction_needs_a_fit_and_the_same_columns():
    X, y = make_rows(n=80)
    with pytest.raises(NotFittedError):
        XGB1Regressor().predict(X)
    model = XGB1Regressor().fit(X, y)
    with pytest.raises(ValueError, match="expecting 5 features"):
        model.predict(X[:, :4])
    with pytest.raises(ValueError, match="expecting 5 features"):
        model.parse_model().global_interpret(X=X[:, :4])


# ------------------------------------------------------- classifier, missing values, weights


def with_missing(X, share=0.15, seed=6):
    """X with NaN in a share of the entries of its first and fourth (categorical) columns."""
    X = X.copy()
    rng = np.random.default_rng(seed)
    for j in (0, 3):
        X[rng.random(len(X)) < share, j] = np.nan
    return X


def labels_of(y):
    return np.where(y > np.median(y), "high", "low")


@pytest.mark.parametrize("missing", [False, True])
@pytest.mark.parametrize("settings", [{}, {"subsample": 0.7, "max_bins": 16, "n_jobs": 2}])
def test_classifier_effects_add_up_to_the_log_odds(missing, settings):
    X, y = make_rows()
    X = with_missing(X) if missing else X
    model = XGB1Classifier(feature_names=NAMES, feature_types=TYPES, random_state=1, **settings)
    model.fit(X, labels_of(y))
    assert list(model.classes_) == ["high", "low"]
    interpreter = model.parse_model()
    interpreter.global_interpret()
    total = additive_prediction(interpreter, np.nan_to_num(X, nan=np.inf), NAMES, missing=X)
    margins = model.decision_function(X)
    np.testing.assert_array_equal(total, margins)
    np.testing.assert_allclose(model.predict_proba(X)[:, 1], 1 / (1 + np.exp(-margins)))
    assert np.mean(model.predict(X) == labels_of(y)) > 0.8


@pytest.mark.parametrize(
    ("kind", "train_missing", "expected"),
    [
        ("numerical", True, 4.0),  # learned: NaN rows behave like the large values
        ("categorical", True, 9.0),  # learned: NaN set apart as a code of its own
        ("numerical", False, 0.0),  # none in training: the side of larger weight
    ],
)
def test_missing_values_go_where_the_stump_learned(kind, train_missing, expected):
    rng = np.random.default_rng(3)
    x = rng.choice([1.0, 2.0, 3.0, 4.0, 5.0], size=500)
    y = np.where(x > 4.5, 4.0, 0.0)
    if train_missing:
        x[:60] = np.nan
        y[:60] = 4.0 if kind == "numerical" else 9.0
    model = XGB1Regressor(
        n_estimators=1, learning_rate=1.0, reg_lambda=0.0, min_samples_leaf=1, feature_types=[kind]
    ).fit(x.reshape(-1, 1), y)
    assert model.predict([[np.nan]])[0] == pytest.approx(expected, abs=1e-12)
    effect = model.parse_model().global_interpret(X=[[np.nan], [1.0], [5.0]])["1D"]["X0"]
    assert effect["missing"] + model.intercept_ == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("cls", [XGB1Regressor, XGB1Classifier])
def test_integer_sample_weights_are_repeated_rows(cls):
    X, y = make_rows(n=400)
    X = with_missing(X)
    y = labels_of(y) if cls is XGB1Classifier else y
    weight = np.random.default_rng(8).integers(0, 4, size=len(y))
    settings = {"max_bins": 32, "min_samples_leaf": 7, "feature_types": TYPES, "random_state": 0}
    weighted = cls(**settings).fit(X, y, sample_weight=weight)
    repeated = cls(**settings).fit(X.repeat(weight, axis=0), y.repeat(weight))
    for a, b in zip(weighted.thresholds_, repeated.thresholds_, strict=True):
        np.testing.assert_array_equal(a, b)
    for a, b in zip(weighted.tables_, repeated.tables_, strict=True):
        np.testing.assert_allclose(a, b, rtol=1e-9, atol=1e-12)
    assert np.abs(weighted.tables_[0]).max() > 0.1  # the weights took part in real splits


@pytest.mark.parametrize("cls", [XGB1Regressor, XGB1Classifier])
@pytest.mark.parametrize("subsample", [1.0, 0.6])
def test_threads_give_the_same_model(cls, subsample):
    X, y = make_rows(n=40_000, seed=2)
    X = with_missing(X)
    y = labels_of(y) if cls is XGB1Classifier else y
    fits = [
        cls(subsample=subsample, random_state=4, feature_types=TYPES, n_jobs=jobs).fit(X, y)
        for jobs in (1, 2)
    ]
    for a, b in zip(fits[0].tables_, fits[1].tables_, strict=True):
        np.testing.assert_array_equal(a, b)
