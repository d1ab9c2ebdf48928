"""korvane: GPU image processing on CuPy arrays, with NumPy arrays accepted too.

Importing the package imports nothing heavy: CuPy is only touched by the native
submodules (``korvane.utils.dimention``, ``korvane.upscale.tile``), so ``import
korvane`` works on machines without a GPU. To run those on the CPU, set
``KORVANE_BACKEND=numpy`` or call :func:`use_numpy` before importing them
(``KORVANE_BACKEND=numpy-strict`` or ``use_numpy(strict=True)`` for arrays that
refuse implicit host conversion, as CuPy's do).
"""

# The single source of the version: the build reads it from this line.
__version__ = "0.1.0"

from korvane import _backend
from korvane._backend import use_numpy

__all__ = ["__version__", "use_numpy"]

try:
    _backend.install()
except ValueError as exc:
    # A bad KORVANE_BACKEND: a traceback for code that imports korvane, one error line
    # for the command line, whose main() reports what is kept here.
    if not _backend.started_as_command_line():
        raise
    _backend.environment_error = exc
