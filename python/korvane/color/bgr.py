"""Swap between BGR (OpenCV's order) and RGB channel order."""

from korvane._arrays import require_array


def _swap_colour_channels(image, func_name):
    require_array(image, func_name)
    if image.ndim < 3:
        raise ValueError(
            f"{func_name}() expects an image with its channels on a last axis (HWC), "
            f"got an array of shape {tuple(image.shape)}"
        )
    # A new C-contiguous array, not a view (copy() is C order on NumPy and CuPy):
    # callers normalise the result in place, and the caller's own image must not
    # change behind their back.
    channels = image.shape[-1]
    if channels < 3:
        # Grey or grey with alpha: no colour order to swap.
        return image.copy()
    if channels == 3:
        return image[..., ::-1].copy()
    # BGRA <-> RGBA: alpha and any further channels stay where they are.
    out = image.copy()
    out[..., :3] = image[..., 2::-1]
    return out


def bgr_to_rgb(image):
    """Return ``image`` (HWC, BGR order) with its channels in RGB order.

    Leading batch axes are allowed; the last axis holds the channels. With three
    or more channels the first three are reversed and the rest (alpha of a BGRA
    image, say) keep their place; one or two channels are left as they are. The
    result is always a new C-contiguous array (writing to it leaves ``image``
    alone) of the same kind (NumPy or CuPy), shape and dtype as ``image``.
    """
    return _swap_colour_channels(image, "bgr_to_rgb")


def rgb_to_bgr(image):
    """Return ``image`` (HWC, RGB order) with its channels in BGR order.

    Same contract as :func:`bgr_to_rgb`, including that the result is a new array.
    """
    return _swap_colour_channels(image, "rgb_to_bgr")
