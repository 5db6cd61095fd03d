"""The C++ binding layer, through the small test module kova._bindtest."""

import collections
import inspect
import pickle

import numpy as np
import pytest
from kova._bindtest import Estimator, Probe
from sklearn.base import clone

from kova import _bindtest


@pytest.fixture
def probe():
    return Probe([1, 2, 3], {"a": "numerical"})


def test_classes_are_real_python_classes(probe):
    assert type(Probe) is type
    assert Probe.__module__ == "kova._bindtest"
    assert probe.__dict__ == {"data": [1, 2, 3], "meta_info": {"a": "numerical"}}
    assert Probe.__init__.__qualname__ == "Probe.__init__"


@pytest.mark.parametrize(
    "method, text",
    [
        (Probe.__init__, "(self, data, meta_info)"),
        (Probe.options, "(self, ratio=0.8, label=None, items=None, extra=5)"),
        (Probe.twice, "(x)"),
    ],
)
def test_signatures_are_visible(method, text):
    assert str(inspect.signature(method)) == text


def test_bound_method_signature_drops_self(probe):
    assert str(inspect.signature(probe.options)) == "(ratio=0.8, label=None, items=None, extra=5)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Probe(), "__init__() takes exactly 3 positional arguments (1 given)"),
        (lambda: Probe(1), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda: Probe(1, {}, 3), "__init__() takes exactly 3 positional arguments (4 given)"),
        (lambda: Probe(meta_info={}), "__init__() takes exactly 3 positional arguments (1 given)"),
        (
            lambda: Probe(1, {}, data=2),
            "__init__() got multiple values for keyword argument 'data'",
        ),
        (lambda: Probe(1, {}, nope=2), "__init__() got an unexpected keyword argument 'nope'"),
        (
            lambda: Probe(1, {}, **{"\ud800": 2}),
            "__init__() got an unexpected keyword argument '\ud800'",
        ),
        (
            lambda: Probe([1], {}).options(1, 2, 3, 4, 5),
            "options() takes at most 5 positional arguments (6 given)",
        ),
        (
            lambda: Probe(1, []),
            "Argument 'meta_info' has incorrect type (expected dict, got list)",
        ),
        (
            lambda: Probe(1, collections.OrderedDict()),
            "Argument 'meta_info' has incorrect type (expected dict, got collections.OrderedDict)",
        ),
        (
            lambda: Probe([1], {}).options(label=b"x"),
            "Argument 'label' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: Probe([1], {}).options(items=(1,)),
            "Argument 'items' has incorrect type (expected list, got tuple)",
        ),
        (lambda: Probe([1], {}).options("0.8"), "must be real number, not str"),
    ],
)
def test_call_errors_have_the_interpreter_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class _Index:
    def __index__(self):
        return 7


class _Float:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "given, expected",
    [(3, 3.0), (True, 1.0), (np.float32(0.5), 0.5), (_Index(), 7.0), (_Float(), 2.5)],
)
def test_float_arguments_are_converted(probe, given, expected):
    ratio = probe.options(given)[0]
    assert type(ratio) is float and ratio == expected


def test_exact_float_is_kept_as_is(probe):
    value = 0.25
    assert probe.options(value)[0] is value


def test_none_passes_exact_type_checks(probe):
    assert probe.options(0.1, None, None) == (0.1, None, None, 5)


def test_static_method_and_property(probe):
    assert Probe.twice(4) == 8 and probe.twice("ab") == "abab"
    assert probe.size == 3
    with pytest.raises(AttributeError):
        probe.size = 4


def test_module_globals_are_read_at_call_time(probe, monkeypatch):
    assert probe.apply(-3) == 3
    monkeypatch.setattr(_bindtest, "transform", lambda x: ("patched", x))
    assert probe.apply(-3) == ("patched", -3)
    monkeypatch.delattr(_bindtest, "transform")
    with pytest.raises(NameError, match="transform"):
        probe.apply(1)


def test_module_binds_only_its_names():
    public = {n for n in vars(_bindtest) if not n.startswith("__")}
    assert public == {"np", "BaseEstimator", "transform", "Probe", "Estimator"}
    assert _bindtest.__test__ == {}


def test_python_subclass_overrides_and_calls_the_cpp_method():
    class Child(Probe):
        def options(self, ratio=0.1):
            return ("child", *super().options(ratio))

    child = Child("abc", None)
    assert child.options() == ("child", 0.1, None, None, 5)
    assert child.size == 3


def test_subclass_of_a_python_base_is_a_scikit_learn_estimator():
    est = Estimator(alpha=2, name="z")
    assert est.get_params() == {
        "alpha": 2.0,
        "name": "z",
        "missing": pytest.approx(np.nan, nan_ok=True),
    }
    assert repr(est) == "Estimator(alpha=2.0, name='z')"
    twin = clone(est)
    assert twin is not est and twin.get_params()["alpha"] == 2.0
    est.set_params(alpha=0.5)
    assert est.alpha == 0.5


def test_instances_pickle_by_reference():
    est = pickle.loads(pickle.dumps(Estimator(alpha=3).fit([1, 2])))
    assert type(est) is Estimator and est.n_seen_ == 2 and est.alpha == 3.0


def test_errors_raised_inside_propagate_with_their_type(probe):
    with pytest.raises(TypeError):
        Probe([1], {}).twice(None)
