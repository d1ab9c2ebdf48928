from typing import Any, TypeVar

import cupy
import numpy

# NumPy in, NumPy out; CuPy (or the stand-in) in, CuPy out.
_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)

def bgr_to_rgb(image: _ArrayT) -> _ArrayT:
    """``image[..., ::-1]`` of an HWC image with 3 channels: a view, no copy."""

def rgb_to_bgr(image: _ArrayT) -> _ArrayT:
    """``image[..., ::-1]`` of an HWC image with 3 channels: a view, no copy."""
