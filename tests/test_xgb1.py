"""XGB1Regressor: effect functions that add up to the prediction, scikit-learn compatibility,
rejected inputs, and the fitted loss against reference boosters."""

import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.exceptions import NotFittedError
from sklearn.utils.estimator_checks import check_estimator

from kova import _kernels
from kova.models import XGB1Regressor


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


def additive_prediction(interpreter, X, names):
    """Intercept plus, per feature in the effects, the value of the interval holding each row."""
    total = np.full(X.shape[0], interpreter.intercept_)
    for j, name in enumerate(names):
        if name not in interpreter.effects_["1D"]:
            continue
        effect = interpreter.effects_["1D"][name]
        values, splits, x = effect["values"], effect["splits"], X[:, j]
        assert len(splits) == len(values) + 1
        assert np.all(np.diff(splits) > 0)
        assert splits[0] == x.min() and splits[-1] == x.max()
        hits = np.zeros(len(x), dtype=int)
        term = np.zeros(len(x))
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
    assert len(thresholds) == 255 and np.all(np.diff(thresholds) > 0)
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


def test_test_loss_close_to_scikit_learn_histogram_boosting():
    X, y = make_rows(n=4000, seed=5)
    train, test = slice(0, 3000), slice(3000, None)
    ours = XGB1Regressor(n_estimators=200, learning_rate=0.2, max_bins=255, reg_lambda=1.0)
    reference = HistGradientBoostingRegressor(
        max_iter=200,
        learning_rate=0.2,
        max_depth=1,
        max_bins=255,
        l2_regularization=1.0,
        min_samples_leaf=20,
        early_stopping=False,
    )
    losses = [
        np.mean((m.fit(X[train], y[train]).predict(X[test]) - y[test]) ** 2)
        for m in (ours, reference)
    ]
    assert losses[0] < 0.2 * np.var(y[test])
    assert losses[0] == pytest.approx(losses[1], rel=0.03)


def test_scikit_learn_estimator_checks():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        check_estimator(XGB1Regressor())


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
        (lambda X, y: (np.where(X == X[3, 1], np.nan, X), y), "NaN"),
        (lambda X, y: (np.where(X == X[3, 1], np.inf, X), y), "infinity"),
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
    ],
)
def test_bad_settings_are_rejected(settings, message):
    X, y = make_rows(n=50)
    with pytest.raises(ValueError, match=message):
        XGB1Regressor(**settings).fit(X, y)


def test_prediction_needs_a_fit_and_the_same_columns():
    X, y = make_rows(n=80)
    with pytest.raises(NotFittedError):
        XGB1Regressor().predict(X)
    model = XGB1Regressor().fit(X, y)
    with pytest.raises(ValueError, match="expecting 5 features"):
        model.predict(X[:, :4])
    with pytest.raises(ValueError, match="expecting 5 features"):
        model.parse_model().global_interpret(X=X[:, :4])
