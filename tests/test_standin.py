"""The NumPy-backed cupy stand-in and the helpers that install it."""

import importlib.util
import operator
import os
import subprocess
import sys
import types

import numpy
import pytest
from packaging.version import Version

import korvane
from korvane.backends import _numpy
from korvane.testing import cupy_is_usable, make_numpy_cupy, make_strict_cupy, use_numpy

HOST = numpy.ones(3)
HOST_REFUSAL = "Unsupported type <class 'numpy.ndarray'>"


def is_cupy_name(name):
    return name.split(".")[0] in ("cupy", "cupyx", "cupy_backends")


@pytest.fixture
def cp():
    return make_numpy_cupy()


@pytest.fixture(params=["numpy", "numpy-strict"])
def backend(request):
    """Either CPU backend: what CuPy's namespace promises holds on both."""
    return make_numpy_cupy() if request.param == "numpy" else make_strict_cupy()


@pytest.fixture
def bare_cupy():
    """Hide any imported cupy modules for one test and put them back afterwards."""
    saved = {name: module for name, module in sys.modules.items() if is_cupy_name(name)}
    for name in saved:
        del sys.modules[name]
    yield
    for name in [name for name in sys.modules if is_cupy_name(name)]:
        del sys.modules[name]
    sys.modules.update(saved)


def test_module_identity(cp, monkeypatch):
    assert isinstance(cp, types.ModuleType) and cp.__name__ == "cupy"
    assert (cp.ndarray.__name__, cp.ndarray.__module__) == ("ndarray", "cupy")
    assert sys.modules.get("cupy") is not cp
    assert cp.get_array_module(cp.zeros(1)) is cp and cp.get_array_module(HOST, 1.0) is numpy
    monkeypatch.setitem(sys.modules, "cupy", cp)
    import cupy

    assert cupy is cp


def test_the_stand_in_says_what_it_is(cp, monkeypatch):
    assert cp.__korvane_stand_in__ is True and cp.is_available() is False
    version = Version(cp.__version__)
    assert version.local == "korvane.numpy" and version < Version("1")
    assert f"NumPy {numpy.__version__}" in cp.__doc__
    monkeypatch.setitem(sys.modules, "cupy", cp)
    # A registered module is found through its own spec: no loader, and an origin naming korvane's file.
    spec = importlib.util.find_spec("cupy")
    assert spec is cp.__spec__ and spec._initializing is False
    assert (spec.name, spec.loader, spec.origin) == ("cupy", None, _numpy.__file__)


@pytest.mark.parametrize("axis", [0, 1, -1])
@pytest.mark.parametrize("order", ["C", "F"])
def test_stack_gives_a_c_contiguous_array(cp, axis, order):
    parts = [cp.asarray(numpy.arange(6.0).reshape(2, 3) + k, order=order) for k in range(2)]
    stacked = cp.stack(parts, axis=axis)
    assert type(stacked) is cp.ndarray and stacked.flags.c_contiguous
    numpy.testing.assert_array_equal(stacked.get(), numpy.stack([p.get() for p in parts], axis=axis))


@pytest.mark.parametrize(
    "registered, usable",
    [
        (types.ModuleType("cupy"), False),  # no is_available at all
        (types.SimpleNamespace(is_available=lambda: True), True),
        (make_numpy_cupy(), False),  # the stand-in is never real CuPy
    ],
)
def test_registered_cupy_is_left_alone(monkeypatch, registered, usable):
    monkeypatch.setitem(sys.modules, "cupy", registered)
    assert cupy_is_usable() is usable
    assert use_numpy() is registered and sys.modules["cupy"] is registered


@pytest.mark.parametrize(
    "init_source, usable",
    [
        ("from . import _core\ndef is_available():\n    return False\n", False),
        ("from . import _core\nraise ImportError('libcuda.so.1 not found')\n", False),
        ("from . import _core\ndef is_available():\n    return True\n", True),
    ],
    ids=["no-gpu", "broken-import", "gpu"],
)
def test_use_numpy_with_an_installed_cupy(bare_cupy, tmp_path, monkeypatch, init_source, usable):
    package = tmp_path / "cupy"
    package.mkdir()
    (package / "__init__.py").write_text(init_source)
    (package / "_core.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert cupy_is_usable() is usable
    module = use_numpy()
    assert sys.modules["cupy"] is module
    assert getattr(module, "__korvane_stand_in__", False) is not usable
    # The GPU-less attempts must not leave cupy submodules behind.
    assert ("cupy._core" in sys.modules) is usable


@pytest.mark.parametrize(
    "call",
    [
        lambda cp: cp.stack([cp.zeros(3), HOST]),
        lambda cp: cp.meshgrid(HOST, cp.arange(2)),
        lambda cp: cp.ascontiguousarray(HOST),
        lambda cp: cp.exp(HOST),
        lambda cp: cp.pad(HOST, 1),
        lambda cp: cp.roll(HOST, 1),
        lambda cp: cp.einsum("i,i->", cp.ones(3), HOST),
        lambda cp: cp.ones(3) + HOST,
        lambda cp: HOST * cp.ones(3),
        lambda cp: operator.isub(numpy.ones(3), cp.ones(3)),
        lambda cp: numpy.add(cp.ones(3), 1, out=numpy.empty(3)),
    ],
)
def test_host_arrays_are_refused(cp, call):
    with pytest.raises(TypeError) as excinfo:
        call(cp)
    assert str(excinfo.value) == HOST_REFUSAL


def test_ufuncs_refuse_lists_like_cupy(cp):
    with pytest.raises(TypeError) as excinfo:
        cp.ones(3) + [1, 2, 3]
    assert str(excinfo.value) == "Unsupported type <class 'list'>"


@pytest.mark.parametrize("convert", ["array", "asarray"])
def test_array_and_asarray_copy_host_data_in(cp, convert):
    host = numpy.arange(3.0)
    device = getattr(cp, convert)(host)
    assert type(device) is cp.ndarray
    host[0] = 42.0
    assert float(device[0]) == 0.0
    assert cp.asarray(device) is device  # device arrays pass through untouched


@pytest.mark.parametrize(
    "op, ndim",
    [
        (lambda cp, a: a.transpose(), 2),
        (lambda cp, a: a.repeat(2, axis=0), 2),
        (lambda cp, a: a.astype(cp.float32), 2),
        (lambda cp, a: a[::2, ::-1], 2),
        (lambda cp, a: a[1, 2], 0),
        (lambda cp, a: numpy.float32(2) * a - 1, 2),
        (lambda cp, a: operator.imul(operator.iadd(a, 1), 2), 2),
        (lambda cp, a: cp.sum(a), 0),
        (lambda cp, a: cp.sum(a, axis=0), 1),
        (lambda cp, a: cp.allclose(a, a), 0),
        (lambda cp, a: cp.meshgrid(a[0], a[:, 0])[1], 2),
    ],
)
def test_results_stay_stand_in_arrays(cp, op, ndim):
    result = op(cp, cp.arange(12.0).reshape(3, 4))
    assert type(result) is cp.ndarray and result.ndim == ndim


def test_asnumpy_returns_a_host_copy(cp):
    device = cp.arange(4.0)
    for host in (cp.asnumpy(device), device.get()):
        assert type(host) is numpy.ndarray
        numpy.testing.assert_array_equal(host, [0.0, 1.0, 2.0, 3.0])
        host[0] = 9.0
        assert float(device[0]) == 0.0


def test_numpy_2_is_required(monkeypatch):
    monkeypatch.setattr(numpy, "__version__", "1.26.4")
    with pytest.raises(ImportError) as excinfo:
        make_numpy_cupy()
    assert str(excinfo.value) == ("the NumPy-backed cupy stand-in needs NumPy 2.0 or newer, found NumPy 1.26.4")


def test_importing_korvane_registers_no_cupy():
    root = os.path.dirname(os.path.dirname(korvane.__file__))
    path = os.pathsep.join(p for p in (root, os.environ.get("PYTHONPATH")) if p)
    code = (
        "import sys, korvane, korvane.testing, korvane.color.bgr, korvane.transform.resize,"
        " korvane.utils.dtypes\n"
        "print([m for m in sys.modules if m.split('.')[0] in ('cupy', 'cupyx', 'cupy_backends')])"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        env=dict(os.environ, PYTHONPATH=path, KORVANE_BACKEND=""),
        capture_output=True,
        text=True,
        check=True,
    )
    assert result.stdout.strip() == "[]"


# ---- NumPy's namespace, as CuPy mirrors it ---------------------------------------------------------

# Functions networks use, called on the module and a (3, 4) array; a NumPy scalar answer must be 0-d.
NAMESPACE = [
    ("repeat", lambda xp, a: xp.repeat(a, 2, axis=0)),
    ("clip", lambda xp, a: xp.clip(a, 2, 5)),
    ("concatenate", lambda xp, a: xp.concatenate([a, a[:1]])),
    ("where", lambda xp, a: xp.where(a > 3, a, -a)),
    ("mean", lambda xp, a: xp.mean(a)),
    ("transpose", lambda xp, a: xp.transpose(a, (1, 0))),
    ("pad", lambda xp, a: xp.pad(a, ((1, 0), (0, 2)), mode="edge")),
    ("einsum", lambda xp, a: xp.einsum("ij,kj->ik", a, a)),
    ("linalg.norm", lambda xp, a: xp.linalg.norm(a)),
    ("linalg.svd", lambda xp, a: xp.linalg.svd(a)),  # a named tuple
    ("fft.rfft", lambda xp, a: xp.fft.rfft(a)),
    ("count_nonzero", lambda xp, a: xp.count_nonzero(a > 3)),  # a Python int in NumPy
    ("ufunc method", lambda xp, a: xp.maximum.reduce(a, axis=1)),
    ("index maker", lambda xp, a: xp.r_[a[0], a[2]]),
    ("random", lambda xp, a: xp.random.default_rng(5).normal(a)),
    ("one random value", lambda xp, a: xp.random.default_rng(5).random()),  # a Python float in NumPy
    ("random module", lambda xp, a: xp.random.uniform(2.0, 2.0)),  # no state needed for a fixed value
]


def leaves(value):
    return [leaf for item in value for leaf in leaves(item)] if isinstance(value, (list, tuple)) else [value]


@pytest.mark.parametrize("call", [row[1] for row in NAMESPACE], ids=[row[0] for row in NAMESPACE])
def test_numpy_functions_give_device_arrays_with_numpys_values(backend, call):
    host = numpy.arange(12.0).reshape(3, 4) % 7
    expected, result = leaves(call(numpy, host)), leaves(call(backend, backend.asarray(host)))
    assert [type(leaf) for leaf in result] == [backend.ndarray] * len(expected)
    for want, got in zip(expected, result):
        assert got.shape == numpy.shape(want)
        numpy.testing.assert_array_equal(backend.asnumpy(got), want)


@pytest.mark.parametrize(
    "call",
    [
        lambda xp, a: xp.concatenate([a, HOST]),
        lambda xp, a: xp.clip(a, a_min=HOST, a_max=9),
        lambda xp, a: xp.mean(a, axis=0, out=HOST),
        lambda xp, a: xp.linalg.norm(HOST),
        lambda xp, a: xp.add.reduce(HOST),
        lambda xp, a: xp.r_[a, HOST],
    ],
    ids=["in a list", "by keyword", "as out=", "in linalg", "in a ufunc method", "in an index maker"],
)
def test_numpy_functions_refuse_host_operands(backend, call):
    with pytest.raises(TypeError) as excinfo:
        call(backend, backend.zeros(3))
    assert str(excinfo.value) == HOST_REFUSAL


@pytest.mark.parametrize("module", ["", *_numpy.SUBMODULES])
def test_numpy_names_are_exposed_or_left_out_on_purpose(backend, module):
    # A NumPy release that adds a name fails here until it is exposed or listed, with a reason.
    mirror, source = (getattr(backend, module), getattr(numpy, module)) if module else (backend, numpy)
    numpy_names = {name for name in source.__all__ if not name.startswith("_")}
    exposed = {name for name in dir(mirror) if not name.startswith("_")}
    assert numpy_names - exposed == numpy_names & _numpy.left_out(module)
