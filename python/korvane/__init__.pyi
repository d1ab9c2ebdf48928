from types import ModuleType

__all__ = ["__version__", "use_numpy"]

__version__: str

def use_numpy(*, strict: bool = False) -> ModuleType:
    """Register the NumPy backend (or the strict one) as ``cupy`` before the native modules load; return it."""
