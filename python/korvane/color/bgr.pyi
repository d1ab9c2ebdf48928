from typing import Any, TypeVar

import cupy
import numpy

# NumPy in, NumPy out; CuPy (or the stand-in) in, CuPy out.
_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)

def bgr_to_rgb(image: _ArrayT) -> _ArrayT:
    """A new array like ``image`` (HWC) with its first three channels reversed; any further ones stay."""

def rgb_to_bgr(image: _ArrayT) -> _ArrayT:
    """A new array like ``image`` (HWC) with its first three channels reversed; any further ones stay."""
