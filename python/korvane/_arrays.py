"""Find the array module (NumPy or CuPy) that owns an array.

CuPy is never imported here: a CuPy array can only exist once ``cupy`` has been
imported by someone, so looking it up in ``sys.modules`` is enough and keeps
korvane importable (and cheap to import) on machines without CuPy.
"""

import sys

import numpy


def array_module(array):
    """Return ``cupy`` when ``array`` is a ``cupy.ndarray``, else ``numpy``.

    Whatever module is registered as ``cupy`` counts, so the NumPy-backed
    stand-in from :mod:`korvane.testing` is treated as CuPy once installed.
    """
    cupy = sys.modules.get("cupy")
    cupy_ndarray = getattr(cupy, "ndarray", None)
    if isinstance(cupy_ndarray, type) and isinstance(array, cupy_ndarray):
        return cupy
    return numpy


def module_of(value):
    """The array module of ``value`` (as :func:`array_module`), or None where it is no array."""
    xp = array_module(value)
    if xp is numpy and not isinstance(value, numpy.ndarray):
        return None
    return xp


def require_array(array, func_name):
    """Return the array module of ``array``; raise TypeError if it is no array."""
    xp = module_of(array)
    if xp is None:
        raise TypeError(f"{func_name}() expects a NumPy or CuPy array, got {type(array).__name__}")
    return xp
