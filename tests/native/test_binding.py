"""The C++ binding layer, through the small test module kova._bindtest.

The module is not part of the wheel: the `bindtest` fixture builds it from the source tree with
CMake into a temporary directory and imports it under its own name.
"""

import collections
import importlib.util
import inspect
import os
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from sklearn.base import clone

ROOT = Path(__file__).resolve().parents[2]
MODULE = "kova._bindtest"
BUILD_TIMEOUT = 600  # seconds for configuring and compiling the one module


def _tool(name):
    """A build tool on PATH or next to this interpreter (where pip puts cmake and ninja)."""
    return shutil.which(name) or shutil.which(name, path=str(Path(sys.executable).parent))


def _cmake_command(build_dir):
    cmake = _tool("cmake")
    try:
        import pybind11
    except ImportError:
        pybind11 = None
    if cmake is None or pybind11 is None:
        pytest.skip("building kova._bindtest needs cmake and pybind11 (the test extra has them)")
    command = [cmake, "-S", str(ROOT), "-B", str(build_dir), "-DKOVA_BINDTEST=ON"]
    command += [
        f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    ninja = _tool("ninja")
    if ninja is not None:
        command += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    return cmake, command


def _build(build_dir):
    """Configure and build only the test module; returns the path of the built library."""
    cmake, configure = _cmake_command(build_dir)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer in the tools
    for command in (configure, [cmake, "--build", str(build_dir), "--target", "kova__bindtest"]):
        done = subprocess.run(
            command, env=env, capture_output=True, text=True, timeout=BUILD_TIMEOUT, check=False
        )
        assert done.returncode == 0, f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}"
    (library,) = build_dir.glob("_bindtest.*")
    return library


@pytest.fixture(scope="module")
def bindtest(tmp_path_factory):
    library = _build(tmp_path_factory.mktemp("bindtest"))
    found = importlib.util.spec_from_file_location(MODULE, library)
    module = importlib.util.module_from_spec(found)
    sys.modules[MODULE] = module  # pickling finds the classes by their module name
    try:
        found.loader.exec_module(module)
        yield module
    finally:
        del sys.modules[MODULE]


@pytest.fixture
def probe(bindtest):
    return bindtest.Probe([1, 2, 3], {"a": "numerical"})


def test_classes_are_real_python_classes(bindtest, probe):
    Probe = bindtest.Probe
    assert type(Probe) is type
    assert Probe.__module__ == "kova._bindtest"
    assert probe.__dict__ == {"data": [1, 2, 3], "meta_info": {"a": "numerical"}}
    assert Probe.__init__.__qualname__ == "Probe.__init__"


@pytest.mark.parametrize(
    "method, text",
    [
        ("__init__", "(self, data, meta_info)"),
        ("options", "(self, ratio=0.8, label=None, items=None, extra=5)"),
        ("twice", "(x)"),
    ],
)
def test_signatures_are_visible(bindtest, method, text):
    assert str(inspect.signature(getattr(bindtest.Probe, method))) == text


def test_bound_method_signature_drops_self(probe):
    assert str(inspect.signature(probe.options)) == "(ratio=0.8, label=None, items=None, extra=5)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.Probe(), "__init__() takes exactly 3 positional arguments (1 given)"),
        (lambda m: m.Probe(1), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda m: m.Probe(1, {}, 3), "__init__() takes exactly 3 positional arguments (4 given)"),
        (
            lambda m: m.Probe(meta_info={}),
            "__init__() takes exactly 3 positional arguments (1 given)",
        ),
        (
            lambda m: m.Probe(1, {}, data=2),
            "__init__() got multiple values for keyword argument 'data'",
        ),
        (lambda m: m.Probe(1, {}, nope=2), "__init__() got an unexpected keyword argument 'nope'"),
        (
            lambda m: m.Probe(1, {}, **{"\ud800": 2}),
            "__init__() got an unexpected keyword argument '\ud800'",
        ),
        (
            lambda m: m.Probe([1], {}).options(1, 2, 3, 4, 5),
            "options() takes at most 5 positional arguments (6 given)",
        ),
        (
            lambda m: m.Probe(1, []),
            "Argument 'meta_info' has incorrect type (expected dict, got list)",
        ),
        (
            lambda m: m.Probe(1, collections.OrderedDict()),
            "Argument 'meta_info' has incorrect type (expected dict, got collections.OrderedDict)",
        ),
        (
            lambda m: m.Probe([1], {}).options(label=b"x"),
            "Argument 'label' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda m: m.Probe([1], {}).options(items=(1,)),
            "Argument 'items' has incorrect type (expected list, got tuple)",
        ),
        (lambda m: m.Probe([1], {}).options("0.8"), "must be real number, not str"),
    ],
)
def test_call_errors_have_the_interpreter_messages(bindtest, call, message):
    with pytest.raises(TypeError) as info:
        call(bindtest)
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


def test_static_method_and_property(bindtest, probe):
    assert bindtest.Probe.twice(4) == 8 and probe.twice("ab") == "abab"
    assert probe.size == 3
    with pytest.raises(AttributeError):
        probe.size = 4


def test_module_globals_are_read_at_call_time(bindtest, probe, monkeypatch):
    assert probe.apply(-3) == 3
    monkeypatch.setattr(bindtest, "transform", lambda x: ("patched", x))
    assert probe.apply(-3) == ("patched", -3)
    monkeypatch.delattr(bindtest, "transform")
    with pytest.raises(NameError, match="transform"):
        probe.apply(1)


def test_module_binds_only_its_names(bindtest):
    public = {n for n in vars(bindtest) if not n.startswith("__")}
    assert public == {"np", "BaseEstimator", "transform", "Probe", "Estimator"}
    assert bindtest.__test__ == {}


def test_python_subclass_overrides_and_calls_the_cpp_method(bindtest):
    class Child(bindtest.Probe):
        def options(self, ratio=0.1):
            return ("child", *super().options(ratio))

    child = Child("abc", None)
    assert child.options() == ("child", 0.1, None, None, 5)
    assert child.size == 3


def test_subclass_of_a_python_base_is_a_scikit_learn_estimator(bindtest):
    est = bindtest.Estimator(alpha=2, name="z")
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


def test_instances_pickle_by_reference(bindtest):
    est = pickle.loads(pickle.dumps(bindtest.Estimator(alpha=3).fit([1, 2])))
    assert type(est) is bindtest.Estimator and est.n_seen_ == 2 and est.alpha == 3.0


def test_errors_raised_inside_propagate_with_their_type(bindtest):
    with pytest.raises(TypeError):
        bindtest.Probe([1], {}).twice(None)
