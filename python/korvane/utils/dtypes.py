"""Dtype conversions that keep the array on its device."""

import numpy

from korvane._arrays import require_array


def to_float32(array):
    """Return a new float32 array with the values and shape of ``array``.

    The result is of the same kind as the input (NumPy in, NumPy out; CuPy in,
    CuPy out). Boolean, integer and real floating-point inputs are accepted;
    complex input is refused rather than silently dropping the imaginary part.
    """
    require_array(array, "to_float32")
    if array.dtype.kind not in "biuf":
        raise TypeError(
            f"to_float32() expects a boolean, integer or real floating-point array, got dtype {array.dtype}"
        )
    return array.astype(numpy.float32)
