from types import ModuleType

__all__ = ["cupy_is_usable", "make_numpy_cupy", "use_numpy"]

def make_numpy_cupy() -> ModuleType:
    """A new NumPy-backed stand-in module named ``cupy``, not registered."""

def cupy_is_usable() -> bool:
    """True if real CuPy imports and reports a GPU."""

def use_numpy() -> ModuleType:
    """Make ``import cupy`` work (real CuPy with a GPU, else the stand-in) and return that module."""
