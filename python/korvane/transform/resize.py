"""Resample HW and HWC images to a new width and height.

The resampling is separable: each axis in turn is resampled with a few taps per
output pixel (two for bilinear, one for nearest, about in/out + 1 for area), as
gathers of whole source rows or columns and a weighted sum of them. That costs
O(output) work and memory, runs the same on NumPy and CuPy arrays, and needs no
custom kernel. Shrinking by a whole factor with area averaging is a block mean.

NumPy-backed float pictures with up to four channels go to OpenCV's
``cv2.resize`` where ``opencv-python-headless`` is installed: it computes the
same weights (within float32 rounding) several times faster on the CPU.
"""

import functools
import numbers

import numpy

from korvane._arrays import require_array

# Values follow OpenCV's flags where OpenCV has them.
INTER_NEAREST = 0
INTER_LINEAR = 1
INTER_AREA = 3
# Not an OpenCV flag: area averaging on axes that shrink, bilinear on axes that grow.
INTER_AUTO = -1

_MODES = (INTER_AUTO, INTER_NEAREST, INTER_LINEAR, INTER_AREA)


def _nearest_taps(n_in, n_out):
    # OpenCV's INTER_NEAREST: src = floor(dst * in / out), in integers to stay exact.
    index = numpy.arange(n_out) * n_in // n_out
    return index[:, None], numpy.ones((n_out, 1))


def _linear_taps(n_in, n_out):
    # Half-pixel centres; samples beyond the edge repeat the edge pixel, as in OpenCV.
    src = (numpy.arange(n_out) + 0.5) * (n_in / n_out) - 0.5
    src = numpy.clip(src, 0.0, n_in - 1)
    lo = numpy.floor(src).astype(numpy.intp)
    hi = numpy.minimum(lo + 1, n_in - 1)
    frac = src - lo
    return numpy.stack([lo, hi], axis=1), numpy.stack([1.0 - frac, frac], axis=1)


def _area_taps(n_in, n_out):
    # Output pixel d covers [d, d + 1) * in / out in source coordinates; each source
    # pixel contributes the length of its overlap with that interval. The interval
    # starts inside source pixel floor(d * in / out) and spans at most ceil(in / out) + 1.
    start = numpy.arange(n_out) * n_in // n_out
    count = -(-n_in // n_out) + 1
    index = start[:, None] + numpy.arange(count)
    lo = numpy.arange(n_out)[:, None] * n_in / n_out
    hi = (numpy.arange(n_out)[:, None] + 1) * n_in / n_out
    overlap = numpy.minimum(hi, index + 1) - numpy.maximum(lo, index)
    weights = numpy.clip(overlap, 0.0, None) * (n_out / n_in)
    # Taps past the edge have no overlap: point them at a real pixel with weight 0.
    return numpy.minimum(index, n_in - 1), weights


def _axis_mode(mode, n_in, n_out):
    if mode == INTER_AUTO:
        return INTER_AREA if n_out < n_in else INTER_LINEAR
    return mode


def _taps(mode, n_in, n_out):
    """(index, weights), each (n_out, taps): output d = sum_k weights[d, k] * source[index[d, k]]."""
    mode = _axis_mode(mode, n_in, n_out)
    if mode == INTER_NEAREST:
        return _nearest_taps(n_in, n_out)
    if mode == INTER_LINEAR:
        return _linear_taps(n_in, n_out)
    return _area_taps(n_in, n_out)


def _resample_axis(xp, array, axis, mode, n_out, work):
    """Resample one spatial axis (0 or 1) of ``array`` (already of dtype ``work``) to ``n_out``."""
    n_in = array.shape[axis]
    if n_out == n_in:
        return array
    if _axis_mode(mode, n_in, n_out) == INTER_AREA and n_in % n_out == 0:
        # Block means: the sum of the factor's strided slices, then one scaling.
        factor = n_in // n_out
        step = (slice(None),) * axis
        result = array[step + (slice(0, None, factor),)].copy()
        for k in range(1, factor):
            result += array[step + (slice(k, None, factor),)]
        result *= numpy.dtype(work).type(1 / factor)
        return result
    index, weights = _taps(mode, n_in, n_out)
    taps = index.shape[1]
    # The tap tables are made on the host and copied to the array's device once per axis,
    # (n_out, taps) each (no copy on NumPy); everything picture-sized stays on the device.
    index = xp.asarray(index)
    trailing = array.shape[axis + 1 :]
    spread = None
    if taps > 1:
        weights = xp.asarray(weights, dtype=work)
        # Each tap's weights spelt out over the axes after the resampled one, so that the
        # products run over long contiguous stretches rather than broadcasting a column.
        spread = xp.empty((n_out,) + trailing, dtype=work)
    result = scratch = None
    for k in range(taps):
        # Taps after the first share one scratch array: fresh memory is slow to touch.
        term = array.take(index[:, k], axis=axis, out=scratch)
        if spread is not None:
            spread[...] = weights[:, k].reshape((n_out,) + (1,) * len(trailing))
            term *= spread
        if result is None:
            result = term
        else:
            result += term
            scratch = term
    return result


def _resample(xp, image, out_w, out_h, mode, work):
    """Separable resampling on any array module; the smaller intermediate picture goes first."""
    in_h, in_w = image.shape[:2]
    array = image.astype(work, copy=False)
    if out_h * in_w <= in_h * out_w:
        array = _resample_axis(xp, array, 0, mode, out_h, work)
        return _resample_axis(xp, array, 1, mode, out_w, work)
    array = _resample_axis(xp, array, 1, mode, out_w, work)
    return _resample_axis(xp, array, 0, mode, out_h, work)


@functools.cache
def _opencv():
    """OpenCV's module, or None where it is not installed."""
    try:
        import cv2
    except ImportError:
        return None
    return cv2


def _opencv_passes(mode, in_w, in_h, out_w, out_h):
    """The cv2.resize calls ((width, height), flag) that give this resampling, or None.

    One call handles both axes when they use the same weights; OpenCV's area mode
    averages only when both axes shrink (or keep their size), so area on an axis
    that shrinks and an axis that grows takes one call per axis.
    """
    if mode == INTER_NEAREST:
        return None  # OpenCV rounds floor(dst * in / out) in floating point; ours is exact
    flags = []
    for n_in, n_out in ((in_h, out_h), (in_w, out_w)):
        axis_mode = _axis_mode(mode, n_in, n_out) if n_in != n_out else None
        flags.append(None if axis_mode is None else (axis_mode, n_out > n_in))
    flag_h, flag_w = flags
    if flag_h is None or flag_w is None or flag_h == flag_w or flag_h[0] == flag_w[0] == INTER_LINEAR:
        return [((out_w, out_h), (flag_h or flag_w)[0])]
    return [((in_w, out_h), flag_h[0]), ((out_w, out_h), flag_w[0])]


def _resample_opencv(cv2, image, out_w, out_h, mode):
    """Resample a NumPy-backed float32 HW or HWC (C <= 4) picture with cv2; None when cv2 cannot."""
    in_h, in_w = image.shape[:2]
    passes = _opencv_passes(mode, in_w, in_h, out_w, out_h)
    if passes is None:
        return None
    # NumPy's own type (a view, not a copy) for OpenCV, which would refuse a subclass.
    array = numpy.ascontiguousarray(numpy.asarray(image, dtype=numpy.float32))
    for dsize, flag in passes:
        array = cv2.resize(array, dsize, interpolation=flag)
    # OpenCV drops a channel axis of extent 1.
    return array.reshape((out_h, out_w) + image.shape[2:])


def _check_dsize(dsize):
    try:
        values = tuple(dsize)
    except TypeError:
        values = None
    if values is None or isinstance(dsize, (str, bytes)):
        raise TypeError(f"dsize must be a (width, height) pair of integers, got {dsize!r}")
    if len(values) != 2:
        raise ValueError(f"dsize must have exactly two values (width, height), got {len(values)}")
    for value in values:
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"dsize must be a (width, height) pair of integers, got {dsize!r}")
    if values[0] <= 0 or values[1] <= 0:
        raise ValueError(f"dsize values must be positive, got {dsize!r}")
    return int(values[0]), int(values[1])


def resize(image, dsize, interpolation=INTER_AUTO):
    """Resample an HW or HWC image to the extents given by ``dsize``.

    ``dsize`` is ``(width, height)``, in that order, as in OpenCV's
    ``cv2.resize``; the result has shape ``(height, width)`` or
    ``(height, width, C)``.

    ``interpolation`` is one of:

    * ``INTER_AUTO`` (default): per axis, area averaging where it shrinks and
      bilinear where it grows.
    * ``INTER_AREA``: each output pixel is the area-weighted mean of the source
      pixels it covers (shrinking by an integer factor gives block means).
    * ``INTER_LINEAR``: bilinear with half-pixel centres, like OpenCV.
    * ``INTER_NEAREST``: OpenCV's nearest neighbour (``floor(dst * in / out)``).

    The result is a new C-contiguous array of the same kind (NumPy or CuPy) and
    dtype as ``image``; integer results are rounded half to even and clipped to
    the dtype's range. Work and memory grow with the output's size. NumPy arrays
    computed in float32 (all but 32- and 64-bit integers and float64) with at most
    four channels are resampled by OpenCV where it is installed, to within float32
    rounding of the same weights.
    """
    xp = require_array(image, "resize")
    if image.ndim not in (2, 3):
        raise ValueError(f"resize() expects an HW or HWC image, got an array of shape {tuple(image.shape)}")
    out_w, out_h = _check_dsize(dsize)
    if (
        isinstance(interpolation, bool)
        or not isinstance(interpolation, numbers.Integral)
        or interpolation not in _MODES
    ):
        raise ValueError(
            f"interpolation must be one of INTER_AUTO, INTER_NEAREST, INTER_LINEAR, INTER_AREA, got {interpolation!r}"
        )
    kind = image.dtype.kind
    if kind not in "uifc":
        raise TypeError(f"resize() does not support dtype {image.dtype}")
    in_h, in_w = image.shape[:2]
    if in_h == 0 or in_w == 0:
        raise ValueError(f"resize() needs an image with non-zero height and width, got shape {tuple(image.shape)}")
    if (in_h, in_w) == (out_h, out_w):
        return image.copy()

    # float32 arithmetic for small types keeps the GPU path fast; wider types get float64.
    work = numpy.result_type(image.dtype, numpy.float32)
    result = None
    cv2 = _opencv()
    if (
        cv2 is not None
        # Arrays in host memory only (NumPy's, the NumPy backend's): CuPy's and the strict
        # backend's are not numpy.ndarray, so they stay on the device path below.
        and isinstance(image, numpy.ndarray)
        and work == numpy.float32
        and (image.ndim == 2 or image.shape[2] <= 4)
    ):
        result = _resample_opencv(cv2, image, out_w, out_h, interpolation)
        if result is not None and type(image) is not numpy.ndarray:
            result = result.view(type(image))
    if result is None:
        result = _resample(xp, image, out_w, out_h, interpolation, work)
    if kind in "ui":
        info = numpy.iinfo(image.dtype)
        result = result.round().clip(info.min, info.max)
    return xp.ascontiguousarray(result.astype(image.dtype, copy=False))
