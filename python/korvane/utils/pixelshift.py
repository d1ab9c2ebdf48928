"""The pixel-shift road in one call: split, run the model chunk by chunk, fuse, average.

The native ``dimention`` module (and with it CuPy) is imported when the function is first
called, so importing this module needs neither.
"""

import numpy

from korvane._checks import ModelOutput, check_image, check_int, check_model, describe, is_real, progress_bar


def _check_scalefactor(scalefactor):
    if scalefactor is None:
        return None
    if (
        isinstance(scalefactor, (bool, numpy.bool_))
        or not isinstance(scalefactor, (int, float, numpy.number))
        or isinstance(scalefactor, numpy.complexfloating)
    ):
        raise TypeError(f"scalefactor: expected a real number or None, got {describe(scalefactor)}")
    # image_to_batch_pixelshift takes exactly a float; an integral value gives the same bits.
    return float(scalefactor)


def _check_mean(mean, channels):
    """``mean`` as the split takes it: a float, or a tuple of 1 or 3 floats; or None."""
    if mean is None:
        return None
    expected = "a number or a sequence of 1 or 3 numbers"
    if is_real(mean):
        values = (mean,)
    elif isinstance(mean, (str, bytes)) or not hasattr(mean, "__len__") or not hasattr(mean, "__getitem__"):
        raise TypeError(f"mean: expected {expected}, got {describe(mean)}")
    else:
        if len(mean) not in (1, 3):
            raise ValueError(f"mean: expected {expected}, got {len(mean)} values")
        values = tuple(mean[k] for k in range(len(mean)))
        if not all(map(is_real, values)):
            raise TypeError(f"mean: expected {expected}, got {describe(mean)}")
    if channels != 3:
        raise ValueError(f"mean: is subtracted per channel and needs 3 channels, got {channels}")
    # NumPy scalars as Python floats: the split takes ints, floats and sequences of them.
    values = tuple(float(v) for v in values)
    return values[0] if is_real(mean) else values


def pixelshift_infer(image, model, dim=4, batch_size=16, scalefactor=None, mean=None, swap_rb=True, progress=False):
    """Run ``model`` on the dim² pixel-shift sub-images of ``image`` and fuse the results.

    The manual road in one call: ``image_to_batch_pixelshift(image, dim, scalefactor, mean,
    swap_rb)``, the model on consecutive chunks of at most ``batch_size`` sub-images, each
    chunk fused with ``pixelshift_fuse`` into float32 ``acc`` and ``hits`` allocated here,
    and ``acc / hits``. The result equals that road bit for bit.

    Parameters
    ----------
    image : (H, W, C) CuPy array (or the NumPy stand-in), any real dtype
        H and W multiples of ``dim``; 3 channels with ``swap_rb`` or ``mean``; floating point
        with ``scalefactor``. The split scales and subtracts in the image's own dtype, so
        a mean on an integer image wraps round where it exceeds a value. It is never
        modified (the split works in place when it does not swap channels, so it then gets
        a copy).
    model : callable
        Takes a (B, C, H/dim, W/dim) chunk, B <= ``batch_size``, of the image's dtype, and returns
        (B, C', H/dim*s, W/dim*s) of the same array module, for a whole number s >= 1
        read from the first chunk.
    dim : int
        Sub-pixel grid: dim² sub-images, dim >= 1.
    batch_size : int
        Sub-images per model call, at least 1.
    scalefactor, mean, swap_rb
        As in ``image_to_batch_pixelshift``; any real number is accepted as ``scalefactor``.
    progress : bool
        Show a tqdm bar over the sub-images on stderr (needs tqdm), drawn only when stderr
        is a terminal.

    Returns
    -------
    (C', H*s, W*s) float32 array
        In the network's channel order (RGB where ``swap_rb`` swapped).

    Notes
    -----
    ``hits`` is a (1, 1, 1) float32 array: every result adds 1 to every pixel, so one
    count serves the whole picture, broadcasts against any ``acc`` and divides into
    float32. The division is done in place on ``acc``, which is returned.

    ``pixelshift_fuse`` enlarges each result by ``dim`` and shifts it by the sub-image's
    offset (i, j) in the enlarged result's pixels. For a model that keeps the size those
    are the input's pixels and the road is exact. For a model of scale s, ``acc`` is
    (C', H*s, W*s) but each contribution is shifted by (i, j) where (s*i, s*j) would
    register it, so the fused picture is misregistered by up to (s - 1) * (dim - 1) pixels:
    the road is meant for models that keep the size.

    Raises
    ------
    TypeError, ValueError
        For bad arguments, before the model is first called, naming the argument; for a bad
        model output, naming the batch and the expected and actual shapes.
    ImportError
        ``progress=True`` without tqdm.
    """
    xp = check_image(image)
    if xp is numpy:
        raise TypeError(
            "image: expected a CuPy array (or the NumPy stand-in from korvane.testing.use_numpy()), got numpy.ndarray"
        )
    check_model(model)
    dim = check_int("dim", dim, 1)
    batch_size = check_int("batch_size", batch_size, 1)
    scalefactor = _check_scalefactor(scalefactor)
    height, width, channels = image.shape
    if height % dim or width % dim:
        raise ValueError(f"image: height and width must be multiples of dim={dim}, got shape {image.shape}")
    if swap_rb and channels != 3:
        raise ValueError(f"image: swap_rb=True needs 3 channels, got shape {image.shape}")
    mean = _check_mean(mean, channels)
    if scalefactor is not None and image.dtype.kind != "f":
        # The split multiplies in place, in the image's dtype, which cannot hold the product.
        raise TypeError(
            f"image: scalefactor needs a floating-point image, got {image.dtype}; "
            "convert it first (korvane.utils.dtypes.to_float32)"
        )

    from korvane.utils import dimention

    if not swap_rb and (mean is not None or scalefactor is not None):
        image = image.copy()  # the split would subtract and scale the caller's array in place
    subs = dimention.image_to_batch_pixelshift(image, dim, scalefactor, mean, swap_rb)
    expected = ModelOutput(xp, subs.shape[2:], "sub-images")
    acc = hits = None
    bar = progress_bar(progress, dim * dim, "sub-image")
    try:
        for index, start in enumerate(range(0, dim * dim, batch_size)):
            chunk = subs[start : start + batch_size]
            preds = model(chunk)
            expected.check(preds, index, start, len(chunk))
            if acc is None:
                size = (expected.channels, height * expected.scale, width * expected.scale)
                acc = xp.zeros(size, dtype=xp.float32)
                hits = xp.zeros((1, 1, 1), dtype=xp.float32)
            dimention.pixelshift_fuse(preds, acc, hits, start, dim)
            del preds
            if bar is not None:
                bar.update(len(chunk))
    finally:
        if bar is not None:
            bar.close()
    acc /= hits
    return acc
