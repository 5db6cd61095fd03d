"""The one validator: which values each rule lets through and which error it raises."""

import math

import numpy as np
import pytest

from kova.exceptions import KovaError, KovaTypeError
from kova.validation import Rule, check_value, validate

RATE = Rule("learning_rate", float, low=0, high=1, low_open=True)
COUNT = Rule("n_estimators", int, low=1)
METHOD = Rule("method", str, values=("tree", "histogram"))
FEATURES = Rule("features", list, members=("a", "b"), required=False)


@pytest.mark.parametrize(
    ("rule", "value"),
    [
        (RATE, 1),
        (RATE, 0.5),
        (RATE, np.float32(1e-9)),
        (COUNT, np.int64(3)),
        (METHOD, "tree"),
        (FEATURES, None),
        (FEATURES, ["b", "a"]),
    ],
)
def test_accepted_values_pass(rule, value):
    rule.check(value)


@pytest.mark.parametrize(
    ("rule", "value", "error", "fragment"),
    [
        (RATE, "0.1", KovaTypeError, "Invalid type for 'learning_rate': '0.1' is of type str"),
        (RATE, True, KovaTypeError, "Expected type: float"),
        (COUNT, 2.0, KovaTypeError, "Expected type: int"),
        (RATE, 0, KovaError, "Allowed values: float in (0, 1]"),
        (RATE, math.nan, KovaError, "Invalid value for 'learning_rate': nan"),
        (COUNT, 0, KovaError, "Allowed values: int >= 1"),
        (Rule("x", float, low=0), math.inf, KovaError, "Invalid value for 'x': inf"),
        (METHOD, "forest", KovaError, "Allowed values: ['tree', 'histogram']"),
        (METHOD, None, KovaError, "Missing value for 'method'"),
        (FEATURES, ["a", "c"], KovaError, "Not allowed: ['c']"),
    ],
)
def test_broken_rules_raise_one_message_form(rule, value, error, fragment):
    with pytest.raises(error) as caught:
        rule.check(value)
    assert fragment in str(caught.value)
    # the type errors are TypeErrors, every error a ValueError, so callers' handlers see them
    assert isinstance(caught.value, ValueError)
    assert isinstance(caught.value, TypeError) == (error is KovaTypeError)


def test_validate_reads_a_mapping_or_attributes_in_table_order():
    class Settings:
        learning_rate = 2.0
        n_estimators = 0

    with pytest.raises(KovaError, match="learning_rate"):
        validate((RATE, COUNT), Settings())
    with pytest.raises(KovaError, match="n_estimators"):
        validate((COUNT, RATE), {"learning_rate": 2.0, "n_estimators": 0})
    assert check_value(5, "bins", types=int, low=1) == 5
