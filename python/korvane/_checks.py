"""Argument and model-output checks shared by the inference loops (``upscale_tiled``, ``pixelshift_infer``).

Every message starts with the name of the argument it is about, and shows shapes where
shapes are the problem. Nothing here copies arrays to the host except :func:`host_flags`,
which the loops call at most once per call, never per batch.
"""

import sys

import numpy

from korvane._arrays import module_of


def type_name(value):
    kind = type(value)
    return f"{kind.__module__.split('.')[0]}.{kind.__qualname__}"


def describe(value):
    """A short description of ``value`` for a message: arrays by shape and dtype."""
    if hasattr(value, "shape") and hasattr(value, "dtype"):
        return f"{type_name(value)} of shape {tuple(value.shape)} and dtype {value.dtype}"
    return f"{type(value).__name__} {value!r}"[:200]


def is_int(value):
    return isinstance(value, (int, numpy.integer)) and not isinstance(value, (bool, numpy.bool_))


# Sizes and counts beyond this fit no array index (NumPy's and CuPy's are 64-bit).
LARGEST = 2**63 - 1


def check_int(name, value, least, most=LARGEST):
    if not is_int(value):
        raise TypeError(f"{name}: expected an int, got {describe(value)}")
    if not least <= value <= most:
        bound = f">= {least}" if value < least else f"<= {most}"
        raise ValueError(f"{name}: expected an int {bound}, got {value}")
    return int(value)


def is_real(value):
    """A real number: int or float, NumPy's integer and floating scalars included, bool not."""
    return isinstance(value, (int, float, numpy.integer, numpy.floating)) and not isinstance(value, (bool, numpy.bool_))


def check_model(model):
    if not callable(model):
        raise TypeError(f"model: expected a callable, got {describe(model)}")


def check_image(image):
    """Return the array module of an (H, W, C) array of a real dtype with no empty axis."""
    xp = module_of(image)
    if xp is None:
        raise TypeError(f"image: expected a CuPy or NumPy array, got {describe(image)}")
    if image.ndim != 3:
        raise ValueError(f"image: expected an (H, W, C) array, got shape {tuple(image.shape)}")
    if image.dtype.kind not in "biuf":
        raise TypeError(f"image: expected a real dtype (bool, integer or floating point), got {image.dtype}")
    if 0 in image.shape:
        raise ValueError(f"image: expected a non-empty picture, got shape {tuple(image.shape)}")
    return xp


def host_flags(xp, *flags):
    """The truth of each 0-d boolean array in ``flags``, as a tuple of Python bools.

    On a device the flags are stacked there and copied to the host together: one explicit
    transfer, so one device sync, however many facts a check needs.
    """
    if xp is numpy:
        return tuple(bool(flag) for flag in flags)
    return tuple(xp.asnumpy(xp.stack(flags)).tolist())


def progress_bar(progress, total, unit):
    """A tqdm bar on stderr when ``progress`` is true, else None; ImportError without tqdm.

    ``disable=None``: tqdm draws only when stderr is a terminal, so a log file or a pipe
    gets no carriage-return frames (as on the command line).
    """
    if not progress:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install tqdm (or korvane[demo])") from None
    return tqdm(total=total, unit=unit, file=sys.stderr, disable=None)


class ModelOutput:
    """What the model must return for each batch of (B, C, h, w) inputs: (B, C', h*s, w*s).

    C' and the whole scale s >= 1 are read from batch 0; every later batch must match them.
    With a ``context``, the inputs are (B, C, h + 2*context, w + 2*context) and the model may
    return those enlarged, whose border :meth:`core` drops, or (B, C', h*s, w*s) (a model
    that eats the context itself); batch 0 decides which, the first reading first.
    """

    def __init__(self, xp, size, items, context=0):
        self.xp, self.size, self.items, self.context = xp, size, items, context
        self.channels = self.scale = None
        self.margin = 0  # the context the outputs still hold

    def check(self, output, index, first, count):
        where = f"model output for batch {index} ({self.items} {first} to {first + count - 1})"
        h, w = self.size
        if module_of(output) is not self.xp:
            raise TypeError(f"{where}: expected an array of {self.xp.__name__}, got {type_name(output)}")
        if output.dtype.kind not in "biuf":
            raise TypeError(f"{where}: expected a real dtype, got {output.dtype}")
        shape = tuple(output.shape)
        if self.scale is None:
            margins = (self.context, 0) if self.context else (0,)
            for margin in margins if len(shape) == 4 and shape[0] == count and shape[1] >= 1 else ():
                hh, ww = h + 2 * margin, w + 2 * margin
                s = shape[2] // hh
                if s >= 1 and shape[2:] == (hh * s, ww * s):
                    self.channels, self.scale, self.margin = shape[1], s, margin
                    return
            c = self.context
            shown = f"({count}, C', {h + 2 * c}*s, {w + 2 * c}*s) or ({count}, C', {h}*s, {w}*s)" if c else ""
            shown = shown or f"({count}, C', {h}*s, {w}*s)"
            raise ValueError(f"{where}: expected shape {shown} for a whole number s >= 1, got {shape}")
        m = self.margin
        expected = (count, self.channels, (h + 2 * m) * self.scale, (w + 2 * m) * self.scale)
        if shape != expected:
            raise ValueError(f"{where}: expected shape {expected}, got {shape}")

    def core(self, output):
        """``output`` without the enlarged context it still holds: (B, C', h*s, w*s)."""
        if not self.margin:
            return output
        (h, w), border = self.size, self.margin * self.scale
        return output[:, :, border : border + h * self.scale, border : border + w * self.scale]
