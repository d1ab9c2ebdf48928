from types import ModuleType

__all__ = ["__version__", "use_numpy"]

__version__: str

def use_numpy() -> ModuleType:
    """Register the NumPy backend as ``cupy`` (before the native modules load) and return it."""
