from contextlib import AbstractContextManager
from types import ModuleType

__all__ = [
    "SyncCounts",
    "count_syncs",
    "cupy_is_usable",
    "make_numpy_cupy",
    "make_strict_cupy",
    "use_numpy",
]

class SyncCounts:
    """Host waits, copies and array operations (kernel launches) of strict stand-in arrays in a :func:`count_syncs`."""

    scalars: int
    to_host: int
    waits: int
    to_device: int
    launches: int
    @property
    def syncs(self) -> int: ...

def count_syncs() -> AbstractContextManager[SyncCounts]:
    """Count, inside the ``with`` block, host waits on, copies to and launches of strict stand-in arrays."""

def make_strict_cupy() -> ModuleType:
    """A new strict stand-in module named ``cupy`` (arrays fail where CuPy's would), not registered."""

def make_numpy_cupy() -> ModuleType:
    """A new NumPy-backed stand-in module named ``cupy``, not registered."""

def cupy_is_usable() -> bool:
    """True if real CuPy imports and reports a GPU."""

def use_numpy() -> ModuleType:
    """Make ``import cupy`` work (real CuPy with a GPU, else the stand-in) and return that module."""
