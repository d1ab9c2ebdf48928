from collections.abc import Sequence
from typing import Any, Final, TypeVar

import cupy
import numpy

_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)

INTER_NEAREST: Final = 0
INTER_LINEAR: Final = 1
INTER_AREA: Final = 3
INTER_AUTO: Final = -1

def resize(image: _ArrayT, dsize: tuple[int, int] | Sequence[int], interpolation: int = -1) -> _ArrayT:
    """Resample an HW or HWC image to ``dsize`` = (width, height); a new array of the same dtype."""
