"""The plain-Python baseline of the host-overhead benchmark agrees with the native modules.

A handful of calls per function, run on both sides with copies of the same arguments:
the results must match (content, and whether the result is an input itself), and so must
the caller's arrays afterwards. A failure must have the same type; for the functions' own
errors also the same message and notes. Binding errors are Python's own on the plain
side, so only their type is compared.
"""

import numpy as np
import plain_reference as plain
import pytest

from korvane.upscale import tile
from korvane.utils import dimention

from argtrees import arrays_in, clone


def native(name):
    return getattr(dimention if name in plain.DIMENTION_FUNCTIONS else tile, name)


def picture(value, inputs, xp):
    if isinstance(value, xp.ndarray):
        host = xp.asnumpy(value)
        return (
            "array",
            host.shape,
            host.dtype.str,
            host.round(5).tobytes(),
            [i for i, a in enumerate(inputs) if a is value],
        )
    if type(value) in (list, tuple):
        return (type(value).__name__, [picture(v, inputs, xp) for v in value])
    return ("value", type(value), value)


def outcome(func, xp, args, kwargs, binding):
    args, kwargs = clone(args, xp), clone(kwargs, xp)
    inputs = arrays_in([args, kwargs], xp)
    try:
        result = func(*args, **kwargs)
    except Exception as exc:  # compared with the other side's
        detail = () if binding else (str(exc), getattr(exc, "__notes__", None))
        seen = ("raised", type(exc), *detail)
    else:
        seen = ("returned", picture(result, inputs, xp))
    return seen, [xp.asnumpy(a).round(5).tobytes() for a in inputs]


def images(xp, *shapes):
    rng = np.random.default_rng(7)
    return [xp.asarray(rng.random(shape, dtype=np.float32)) for shape in shapes]


CASES = {
    # name: (function, arguments from the array module, keyword arguments, binding failure)
    "guess HWC": ("guess_image_layout", lambda xp: images(xp, (16, 16, 3)), {}, False),
    "guess CHW": ("guess_image_layout", lambda xp: images(xp, (3, 16, 16)), {}, False),
    "guess NCHW": ("guess_image_layout", lambda xp: images(xp, (2, 3, 16, 16)), {}, False),
    "guess NHWC": ("guess_image_layout", lambda xp: images(xp, (2, 16, 16, 3)), {}, False),
    "guess ambiguous 3": ("guess_image_layout", lambda xp: images(xp, (4, 4, 4)), {}, False),
    "guess ambiguous 4": ("guess_image_layout", lambda xp: images(xp, (2, 3, 4, 4)), {}, False),
    "guess two channels": ("guess_image_layout", lambda xp: images(xp, (480, 6, 2)), {}, False),
    "guess HW": ("guess_image_layout", lambda xp: images(xp, (5, 5)), {}, False),
    "guess unsupported": ("guess_image_layout", lambda xp: images(xp, (5,)), {}, False),
    "to batch NCHW": ("image_to_batch", lambda xp: images(xp, (2, 3, 16, 16)), {"layout": None}, False),
    "to batch NHWC": ("image_to_batch", lambda xp: images(xp, (2, 16, 16, 3)), {"layout": "NHWC"}, False),
    "to batch HWC": (
        "image_to_batch",
        lambda xp: images(xp, (16, 16, 3)),
        {"scalefactor": 2.0, "mean": (0.1, 0.2, 0.3)},
        False,
    ),
    "to batch CHW no swap": (
        "image_to_batch",
        lambda xp: images(xp, (3, 8, 8)),
        {"mean": 0.5, "layout": "CHW", "swap_rb": False},
        False,
    ),
    "to batch HW resized": ("image_to_batch", lambda xp: images(xp, (8, 8)), {"size": 4, "layout": "HW"}, False),
    "to batch ambiguous": ("image_to_batch", lambda xp: images(xp, (8, 8, 5)), {"layout": None}, False),
    "to batch bad mean": ("image_to_batch", lambda xp: images(xp, (8, 8, 3)), {"mean": (1, 2)}, False),
    "to batch scalefactor int": ("image_to_batch", lambda xp: images(xp, (8, 8, 3)), {"scalefactor": 2}, False),
    "to batch no image": ("image_to_batch", lambda xp: [], {"scalefactor": 2.0}, True),
    "to batch unexpected keyword": ("image_to_batch", lambda xp: images(xp, (8, 8, 3)), {"scalefactr": 2.0}, True),
    "images to batch": (
        "images_to_batch",
        lambda xp: [images(xp, (16, 16, 3), (16, 16, 3))],
        {"mean": (0.1, 0.2, 0.3)},
        False,
    ),
    "batch to images": (
        "batch_to_images",
        lambda xp: images(xp, (2, 3, 16, 16)),
        {"scalefactor": 2.0, "mean": (0.1, 0.2, 0.3)},
        False,
    ),
    "batch to images inferred": (
        "batch_to_images",
        lambda xp: images(xp, (2, 16, 16, 3)),
        {"layout": None, "swap_rb": False},
        False,
    ),
    "pixelshift": ("image_to_batch_pixelshift", lambda xp: images(xp, (16, 16, 3)) + [2], {"mean": 0.5}, False),
    "pixelshift dim bool": ("image_to_batch_pixelshift", lambda xp: images(xp, (16, 16, 3)), {"dim": True}, False),
    "pixelshift not divisible": ("image_to_batch_pixelshift", lambda xp: images(xp, (18, 16, 3)) + [4], {}, False),
    "fuse": ("pixelshift_fuse", lambda xp: images(xp, (4, 3, 8, 8), (3, 16, 16), (1, 16, 16)) + [0, 2], {}, False),
    "fuse start_idx bool": (
        "pixelshift_fuse",
        lambda xp: images(xp, (1, 3, 8, 8), (3, 16, 16), (1, 16, 16)) + [True, 2],
        {},
        False,
    ),
    "tile": ("tile_image", lambda xp: images(xp, (30, 20, 3)) + [8, 2], {}, False),
    "tile 4 positional": ("tile_image", lambda xp: images(xp, (30, 20, 3)) + [8, 2, 1], {}, True),
    "pad": ("add_padding", lambda xp: images(xp, (30, 30, 3)), {"patch_size": 16, "overlap": 4}, False),
    "merge": ("merge_tiles", lambda xp: [images(xp, *[(16, 16, 3)] * 4), (14, 14, 3), (14, 14, 3), 2, 8, 2], {}, False),
    "merge short shape": ("merge_tiles", lambda xp: [[], (1, 1), (1, 1, 3), 2], {}, False),
    "merge scale twice": ("merge_tiles", lambda xp: [[], (1, 1, 3), (1, 1, 3), 2], {"scale": 2}, True),
    "gaussian": ("create_gaussian_weights", lambda xp: [16, 4], {}, False),
    "gaussian sigma float": ("create_gaussian_weights", lambda xp: [16, 4.0], {}, False),
    "gaussian sigma 0": ("create_gaussian_weights", lambda xp: [16, 0], {}, False),
}


@pytest.mark.parametrize("case", CASES)
def test_plain_agrees_with_native(xp, case):
    name, make_args, kwargs, binding = CASES[case]
    args = make_args(xp)
    native_seen = outcome(native(name), xp, args, kwargs, binding)
    plain_seen = outcome(getattr(plain, name), xp, args, kwargs, binding)
    assert native_seen == plain_seen
