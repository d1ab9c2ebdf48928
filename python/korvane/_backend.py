"""The array module that korvane's native modules import as ``cupy``.

The native modules do ``import cupy as cp`` when they load. Normally that is real
CuPy. A CPU backend is a module registered in ``sys.modules["cupy"]`` before they
load, chosen by name: ``KORVANE_BACKEND=<name>`` in the environment (read when
``korvane`` is imported) or :func:`use_numpy` in code. Registering it is
process-wide: any later ``import cupy``, by korvane or by other code, gets it.

Without CuPy and without a backend, loading a native module still fails with
ModuleNotFoundError for ``cupy``; the loader installed here adds a note that says
how to get one or the other.
"""

import importlib.machinery
import os
import sys

ENV_VAR = "KORVANE_BACKEND"

NATIVE_MODULES = frozenset({"korvane.utils.dimention", "korvane.upscale.tile"})

MISSING_CUPY_NOTE = (
    "korvane's native modules run on CuPy: install it with 'pip install korvane[cuda12]' or "
    "'korvane[cuda13]', or run on the CPU with NumPy by setting KORVANE_BACKEND=numpy or by "
    "calling korvane.use_numpy() before the first import of a native module."
)


def _numpy_module():
    from korvane.backends._numpy import make_module

    return make_module()


def _strict_module():
    from korvane.backends._strict import make_module

    return make_module()


# Backend name -> factory of the module that is registered as ``cupy``. "numpy" is NumPy
# itself under CuPy's name; "numpy-strict" wraps NumPy behind CuPy's host/device boundary,
# so that code which converts to the host implicitly fails as it would on a GPU.
BACKENDS = {"numpy": _numpy_module, "numpy-strict": _strict_module}


def _backend_of(module):
    """The backend name a registered ``cupy`` module was made for, or None (real CuPy, others)."""
    return getattr(module, "__korvane_backend__", None)


def register(name):
    """Register backend ``name`` as ``cupy`` and return it; reuse it when it is already there.

    Raises RuntimeError when something else already holds the name ``cupy`` (real
    CuPy, another backend or a stub): the native modules may have bound it already,
    and swapping it under other code's feet would mix arrays of two kinds.
    """
    factory = BACKENDS[name]
    current = sys.modules.get("cupy")
    # None is the import system's "cupy is not importable" mark, so nothing to keep.
    if current is not None:
        if _backend_of(current) == name:
            return current
        raise RuntimeError(
            f"cannot switch korvane to the {name!r} backend: 'cupy' is already imported as "
            f"{current!r}; choose the backend before anything imports cupy"
        )
    module = factory()
    sys.modules["cupy"] = module
    return module


def use_numpy(*, strict=False):
    """Run korvane on the CPU: register the NumPy backend as ``cupy`` and return it.

    With ``strict=True`` the strict backend is registered instead: its arrays are
    not NumPy arrays, refuse implicit conversion to the host as CuPy's do, and let
    :func:`korvane.testing.count_syncs` count the host's waits on them.

    Call it before the native modules (``korvane.utils.dimention``,
    ``korvane.upscale.tile``) are first imported; ``KORVANE_BACKEND=numpy`` (or
    ``numpy-strict``) does the same without code. Every later ``import cupy`` in the
    process, korvane's or other code's, gets this module. Calling it again with the
    same ``strict`` returns the same module.

    Raises RuntimeError when ``cupy`` is already imported as anything else (real
    CuPy or the other backend included): korvane never replaces a module that other
    code may hold.
    """
    return register("numpy-strict" if strict else "numpy")


def backend_from_environment(environ=os.environ):
    """Register the backend that ``KORVANE_BACKEND`` names, if any; return it or None."""
    name = environ.get(ENV_VAR, "")
    if not name:
        return None
    if name not in BACKENDS:
        accepted = ", ".join(repr(key) for key in BACKENDS)
        raise ValueError(
            f"{ENV_VAR}={name!r} is not a korvane backend; accepted values: {accepted} "
            "(leave it unset or empty for CuPy)"
        )
    return register(name)


class NativeModuleLoader(importlib.machinery.ExtensionFileLoader):
    """The usual loader of an extension module, plus a note on a missing CuPy."""

    def exec_module(self, module):
        try:
            super().exec_module(module)
        except ModuleNotFoundError as exc:
            # Only "not installed": a None entry means someone blocked cupy on purpose.
            blocked = "cupy" in sys.modules
            if exc.name == "cupy" and not blocked and MISSING_CUPY_NOTE not in getattr(exc, "__notes__", ()):
                exc.add_note(MISSING_CUPY_NOTE)
            raise


class NativeModuleFinder:
    """Finds the native modules through the finders after it, and loads them with NativeModuleLoader.

    It answers for those two names only; everything else, ``cupy`` included, is left
    to the rest of ``sys.meta_path``.
    """

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        if fullname not in NATIVE_MODULES:
            return None
        finders = sys.meta_path
        start = next((i + 1 for i, finder in enumerate(finders) if finder is cls), len(finders))
        for finder in finders[start:]:
            find = getattr(finder, "find_spec", None)
            spec = find(fullname, path, target) if find is not None else None
            if spec is not None:
                break
        else:
            return None
        loader = spec.loader
        if type(loader) is importlib.machinery.ExtensionFileLoader:
            spec.loader = NativeModuleLoader(loader.name, loader.path)
        return spec


# The refusal of a bad KORVANE_BACKEND when the package was imported by the command line.
environment_error = None


def started_as_command_line():
    """True while ``python -m korvane`` (or the ``korvane`` command) is starting up.

    While ``-m`` locates its module it imports the parent packages with ``sys.argv[0]``
    set to ``"-m"``; the console command's script is named ``korvane``.
    """
    first = sys.argv[0] if sys.argv else ""
    return first == "-m" or os.path.basename(first) == "korvane"


def install():
    """Put the finder first on ``sys.meta_path`` (once) and apply ``KORVANE_BACKEND``."""
    if NativeModuleFinder not in sys.meta_path:
        sys.meta_path.insert(0, NativeModuleFinder)
    backend_from_environment()
