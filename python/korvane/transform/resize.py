"""Resample HW and HWC images to a new width and height.

Each axis is resampled by a dense (out x in) weight matrix built on the host and
applied with ``tensordot``, so the same code runs on NumPy and CuPy arrays. The
matrices grow with the product of the input and output extents, which is fine
for the image sizes this is meant for and keeps the GPU path free of custom
kernels.
"""

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


def _nearest_weights(n_in, n_out):
    # OpenCV's INTER_NEAREST: src = floor(dst * in / out), in integers to stay exact.
    src = numpy.arange(n_out) * n_in // n_out
    weights = numpy.zeros((n_out, n_in))
    weights[numpy.arange(n_out), src] = 1.0
    return weights


def _linear_weights(n_in, n_out):
    # Half-pixel centres; samples beyond the edge repeat the edge pixel, as in OpenCV.
    src = (numpy.arange(n_out) + 0.5) * (n_in / n_out) - 0.5
    src = numpy.clip(src, 0.0, n_in - 1)
    lo = numpy.floor(src).astype(numpy.intp)
    hi = numpy.minimum(lo + 1, n_in - 1)
    frac = src - lo
    rows = numpy.arange(n_out)
    weights = numpy.zeros((n_out, n_in))
    weights[rows, lo] += 1.0 - frac
    weights[rows, hi] += frac
    return weights


def _area_weights(n_in, n_out):
    # Output pixel d covers [d, d + 1) * in / out in source coordinates; each source
    # pixel contributes the length of its overlap with that interval.
    edges = numpy.arange(n_out + 1) * n_in / n_out
    start, stop = edges[:-1, None], edges[1:, None]
    src = numpy.arange(n_in)[None, :]
    overlap = numpy.minimum(stop, src + 1) - numpy.maximum(start, src)
    return numpy.clip(overlap, 0.0, None) * (n_out / n_in)


def _weights(mode, n_in, n_out):
    if mode == INTER_AUTO:
        mode = INTER_AREA if n_out < n_in else INTER_LINEAR
    if mode == INTER_NEAREST:
        return _nearest_weights(n_in, n_out)
    if mode == INTER_LINEAR:
        return _linear_weights(n_in, n_out)
    return _area_weights(n_in, n_out)


def _check_dsize(dsize):
    try:
        values = tuple(dsize)
    except TypeError:
        values = None
    if values is None or isinstance(dsize, (str, bytes)):
        raise TypeError(f"dsize must be a (width, height) pair of integers, got {dsize!r}")
    if len(values) != 2:
        raise ValueError(
            f"dsize must have exactly two values (width, height), got {len(values)}"
        )
    for value in values:
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(
                f"dsize must be a (width, height) pair of integers, got {dsize!r}"
            )
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
    the dtype's range.
    """
    xp = require_array(image, "resize")
    if image.ndim not in (2, 3):
        raise ValueError(
            f"resize() expects an HW or HWC image, got an array of shape {tuple(image.shape)}"
        )
    out_w, out_h = _check_dsize(dsize)
    if (
        isinstance(interpolation, bool)
        or not isinstance(interpolation, numbers.Integral)
        or interpolation not in _MODES
    ):
        raise ValueError(
            "interpolation must be one of INTER_AUTO, INTER_NEAREST, INTER_LINEAR, "
            f"INTER_AREA, got {interpolation!r}"
        )
    kind = image.dtype.kind
    if kind not in "uifc":
        raise TypeError(f"resize() does not support dtype {image.dtype}")
    in_h, in_w = image.shape[:2]
    if in_h == 0 or in_w == 0:
        raise ValueError(
            f"resize() needs an image with non-zero height and width, got shape {tuple(image.shape)}"
        )
    if (in_h, in_w) == (out_h, out_w):
        return image.copy()

    # float32 arithmetic for small types keeps the GPU path fast; wider types get float64.
    work = numpy.result_type(image.dtype, numpy.float32)
    result = image.astype(work, copy=False)
    if out_h != in_h:
        wy = xp.asarray(_weights(interpolation, in_h, out_h), dtype=work)
        result = xp.tensordot(wy, result, axes=(1, 0))
    if out_w != in_w:
        wx = xp.asarray(_weights(interpolation, in_w, out_w), dtype=work)
        result = xp.tensordot(wx, result, axes=(1, 1)).swapaxes(0, 1)
    if kind in "ui":
        info = numpy.iinfo(image.dtype)
        result = result.round().clip(info.min, info.max)
    return xp.ascontiguousarray(result.astype(image.dtype, copy=False))
