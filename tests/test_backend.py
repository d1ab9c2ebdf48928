"""Choosing the CPU backend: KORVANE_BACKEND, korvane.use_numpy(), the note on a missing CuPy,
and the package version.

Each import experiment runs in a fresh interpreter, since registering a backend is process-wide.
"""

import importlib.machinery
import importlib.metadata
import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import types

import pytest

import korvane
import korvane.upscale.tile
import korvane.utils.dimention
from korvane import _backend
from korvane.testing import make_numpy_cupy, make_strict_cupy

NATIVE = ["korvane.utils.dimention", "korvane.upscale.tile"]
UNKNOWN = (
    "KORVANE_BACKEND='cuda' is not a korvane backend; accepted values: 'numpy', 'numpy-strict' "
    "(leave it unset or empty for CuPy)"
)


def run_child(body, backend=None):
    """Run `body` in a new interpreter with KORVANE_BACKEND set to `backend` (None: unset)."""
    env = {k: v for k, v in os.environ.items() if k != _backend.ENV_VAR}
    if backend is not None:
        env[_backend.ENV_VAR] = backend
    prelude = f"import json, sys\nsys.path[:0] = {sys.path!r}\n"
    result = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    return result


def child_json(body, backend=None):
    result = run_child(body, backend)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


LOADS_ON_STAND_IN = """
    import importlib.util
    import korvane.upscale.tile as tile
    import korvane.utils.dimention as dimention
    import cupy
    print(json.dumps({
        "bound": dimention.cp is tile.cp is cupy is sys.modules["cupy"],
        "stand_in": cupy.__korvane_backend__,
        "gpu": cupy.is_available(),
        "found": importlib.util.find_spec("cupy").origin == cupy.__spec__.origin,
        "works": dimention.guess_image_layout(cupy.zeros((2, 3, 4), dtype=cupy.float32)),
    }))
"""


@pytest.mark.parametrize(
    "backend, switch, registered",
    [
        ("numpy", "", "numpy"),
        (None, "import korvane; korvane.use_numpy()", "numpy"),
        ("", "import korvane; korvane.use_numpy()", "numpy"),
        ("numpy-strict", "", "numpy-strict"),
        (None, "import korvane; korvane.use_numpy(strict=True)", "numpy-strict"),
    ],
    ids=["environment", "in code", "empty variable, in code", "strict, environment", "strict, in code"],
)
def test_the_numpy_backend_is_what_every_import_of_cupy_gets(backend, switch, registered):
    out = child_json(switch + "\n" + textwrap.dedent(LOADS_ON_STAND_IN), backend)
    assert out == {"bound": True, "stand_in": registered, "gpu": False, "found": True, "works": "HWC"}


def test_an_unknown_backend_name_is_refused_when_korvane_is_imported():
    result = run_child("import korvane.utils.dimention", "cuda")
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == f"ValueError: {UNKNOWN}"


# The path finder looks past the stand-in that the tests have registered.
@pytest.mark.skipif(importlib.machinery.PathFinder.find_spec("cupy") is not None, reason="CuPy is installed")
def test_without_cupy_the_import_error_says_how_to_get_a_backend():
    out = child_json("""
        import importlib, importlib.machinery, importlib.util
        import korvane
        def failure(name):
            try:
                importlib.import_module(name)
            except ModuleNotFoundError as exc:
                return [str(exc), exc.name, getattr(exc, "__notes__", [])]
        native = [failure(name) for name in ("korvane.utils.dimention", "korvane.upscale.tile")]
        other = failure("cupy")  # other code's own import of cupy is not touched
        korvane.use_numpy()
        module = importlib.import_module("korvane.upscale.tile")
        print(json.dumps({
            "native": native, "other": other,
            "loader": isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
                and module.__loader__ is module.__spec__.loader
                and module.__spec__.origin == module.__file__ and module.__file__.endswith(".so"),
        }))
    """)
    failed = ["No module named 'cupy'", "cupy", [_backend.MISSING_CUPY_NOTE]]
    assert out == {"native": [failed, failed], "other": ["No module named 'cupy'", "cupy", []], "loader": True}
    for words in ("KORVANE_BACKEND=numpy", "korvane.use_numpy()", "korvane[cuda12]", "korvane[cuda13]"):
        assert words in _backend.MISSING_CUPY_NOTE


@pytest.fixture
def no_cupy(monkeypatch):
    """sys.modules without a 'cupy' entry for one test; monkeypatch puts the old one back."""
    monkeypatch.delitem(sys.modules, "cupy", raising=False)


@pytest.mark.parametrize("strict, name", [(False, "numpy"), (True, "numpy-strict")])
def test_use_numpy_registers_one_stand_in(no_cupy, strict, name):
    module = korvane.use_numpy(strict=strict)
    assert sys.modules["cupy"] is module and module.__korvane_backend__ == name
    assert korvane.use_numpy(strict=strict) is module


@pytest.mark.parametrize(
    "registered, strict",
    [
        (types.ModuleType("cupy"), False),
        (types.SimpleNamespace(is_available=lambda: True), False),
        (make_numpy_cupy(), True),
        (make_strict_cupy(), False),
    ],
    ids=["another module", "a GPU CuPy", "the plain backend, strict", "the strict backend"],
)
def test_use_numpy_refuses_to_replace_another_cupy(monkeypatch, registered, strict):
    monkeypatch.setitem(sys.modules, "cupy", registered)
    with pytest.raises(RuntimeError) as excinfo:
        korvane.use_numpy(strict=strict)
    name = "numpy-strict" if strict else "numpy"
    assert str(excinfo.value) == (
        f"cannot switch korvane to the {name!r} backend: 'cupy' is already imported as {registered!r}; "
        "choose the backend before anything imports cupy"
    )
    assert sys.modules["cupy"] is registered


def test_use_numpy_replaces_a_blocked_cupy(monkeypatch):
    monkeypatch.setitem(sys.modules, "cupy", None)
    assert korvane.use_numpy() is sys.modules["cupy"] is not None


@pytest.mark.parametrize(
    "value, registered",
    [
        ({}, None),
        ({"KORVANE_BACKEND": ""}, None),
        ({"KORVANE_BACKEND": "numpy"}, "numpy"),
        ({"KORVANE_BACKEND": "numpy-strict"}, "numpy-strict"),
    ],
)
def test_the_environment_variable_is_read_from_the_mapping(no_cupy, value, registered):
    module = _backend.backend_from_environment(value)
    assert getattr(module, "__korvane_backend__", None) == registered and sys.modules.get("cupy") is module


def test_native_modules_only_are_found_by_korvanes_finder():
    assert _backend.NativeModuleFinder in sys.meta_path
    assert _backend.NativeModuleFinder.find_spec("cupy") is None
    for name in NATIVE:
        spec = importlib.util.find_spec(name)
        assert type(spec.loader) is _backend.NativeModuleLoader and spec.origin == sys.modules[name].__file__


def test_version_is_the_installed_metadata_version():
    assert korvane.__version__ == importlib.metadata.version("korvane")
