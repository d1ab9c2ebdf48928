from typing import Any, TypeVar

import cupy
import numpy

_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)

def to_float32(array: _ArrayT) -> _ArrayT:
    """A new float32 array of the same kind and shape; complex input is refused."""
