"""Swap between BGR (OpenCV's order) and RGB channel order."""

from korvane._arrays import array_module, require_array


def _reverse_channels(image, func_name):
    require_array(image, func_name)
    # Only three channels: reversing BGRA would move alpha to the front.
    if image.ndim < 3 or image.shape[-1] != 3:
        raise ValueError(
            f"{func_name}() expects an HWC image with 3 channels, "
            f"got an array of shape {tuple(image.shape)}"
        )
    # A new array, not a view: callers normalise the result in place, and the
    # caller's own image must not change behind their back.
    return array_module(image).ascontiguousarray(image[..., ::-1])


def bgr_to_rgb(image):
    """Return ``image`` (HWC, BGR order) with its channels in RGB order.

    Leading batch axes are allowed; the last axis must hold 3 channels. The
    result is a new C-contiguous array (writing to it leaves ``image`` alone) of
    the same kind (NumPy or CuPy), rank, extents and dtype as ``image``.
    """
    return _reverse_channels(image, "bgr_to_rgb")


def rgb_to_bgr(image):
    """Return ``image`` (HWC, RGB order) with its channels in BGR order.

    Same contract as :func:`bgr_to_rgb`, including that the result is a new array.
    """
    return _reverse_channels(image, "rgb_to_bgr")
