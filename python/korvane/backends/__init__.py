"""The CPU backends: modules that take CuPy's place, so that korvane and code written for CuPy run on NumPy.

``KORVANE_BACKEND=numpy`` (or :func:`korvane.use_numpy`) registers the NumPy backend as
``cupy``: NumPy arrays of a CuPy-like subclass. ``KORVANE_BACKEND=numpy-strict`` (or
``korvane.use_numpy(strict=True)``) registers the strict one, whose arrays are not NumPy
arrays and refuse implicit conversion to the host as CuPy's do, and which counts what
makes the host wait and the array operations that would each launch a kernel on CuPy
(:func:`korvane.testing.count_syncs`). Both expose NumPy's namespace
as far as CuPy mirrors it.

:func:`make_numpy` and :func:`make_strict` build a new, unregistered module of each.
"""

from korvane.backends._numpy import make_module as make_numpy
from korvane.backends._strict import SyncCounts, count_syncs
from korvane.backends._strict import make_module as make_strict

__all__ = ["SyncCounts", "count_syncs", "make_numpy", "make_strict"]
