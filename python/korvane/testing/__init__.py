"""Run korvane without a GPU, in tests and examples.

:func:`use_numpy` registers a NumPy-backed stand-in under the name ``cupy`` when
no usable CuPy is present, so code written for CuPy runs on the CPU. Nothing is
registered by importing this package; only calling :func:`use_numpy` does that.

Unlike :func:`korvane.use_numpy`, which always chooses the NumPy backend, this one
prefers real CuPy where it sees a GPU: the same test runs on either.
"""

import sys

from korvane import _backend
from korvane.backends._numpy import make_module as _make_module
from korvane.backends._strict import SyncCounts, count_syncs
from korvane.backends._strict import make_module as _make_strict_module

__all__ = [
    "SyncCounts",
    "count_syncs",
    "cupy_is_usable",
    "make_numpy_cupy",
    "make_strict_cupy",
    "use_numpy",
]

_CUPY_ROOTS = ("cupy", "cupyx", "cupy_backends")


def _forget_cupy():
    # A failed or GPU-less import leaves submodules behind; drop them so that a
    # later lookup of "cupy" finds nothing stale.
    for name in [n for n in sys.modules if n.split(".")[0] in _CUPY_ROOTS]:
        del sys.modules[name]


def _reports_gpu(module):
    try:
        return bool(module.is_available())
    except Exception:
        return False


def make_numpy_cupy():
    """Return a new NumPy-backed stand-in module named ``cupy``, without registering it.

    Raises ImportError on NumPy older than 2.0.
    """
    return _make_module()


def make_strict_cupy():
    """Return a new strict stand-in module named ``cupy``, without registering it.

    Its arrays are not NumPy arrays and fail where CuPy's would (implicit host
    conversion, host operands); :func:`count_syncs` counts what they make the host
    wait for, and the array operations each of which would be a kernel launch on
    CuPy. Raises ImportError on NumPy older than 2.0.
    """
    return _make_strict_module()


def cupy_is_usable():
    """Return True if real CuPy imports and ``cupy.is_available()`` reports a GPU.

    A ``cupy`` already in ``sys.modules`` is asked directly (the stand-in never
    counts: its ``is_available()`` is False). Otherwise CuPy is imported; if that
    fails or finds no GPU, every ``cupy*`` module it left in ``sys.modules`` is
    removed again.
    """
    module = sys.modules.get("cupy")
    if module is not None:
        return not getattr(module, "__korvane_stand_in__", False) and _reports_gpu(module)
    try:
        import cupy
    except Exception:
        _forget_cupy()
        return False
    if _reports_gpu(cupy):
        return True
    _forget_cupy()
    return False


def use_numpy():
    """Make ``import cupy`` work, falling back to the NumPy stand-in.

    Returns the module that ``cupy`` now names:

    * a module already registered as ``cupy`` is left alone and returned;
    * otherwise real CuPy, if it imports and reports a GPU;
    * otherwise the NumPy backend of :func:`korvane.use_numpy`, registered in
      ``sys.modules`` (after removing any partly imported ``cupy*`` modules).
    """
    module = sys.modules.get("cupy")
    if module is not None:
        return module
    if cupy_is_usable():
        return sys.modules["cupy"]
    return _backend.use_numpy()
