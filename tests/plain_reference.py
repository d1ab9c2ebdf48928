"""korvane.utils.dimention and korvane.upscale.tile as a user would write them in Python.

Ordinary ``def`` functions with Python's own argument binding (defaults, keywords). The
bodies follow the modules' algorithms step by step, with the same calls into CuPy and
the collaborators, `cp` and the sibling functions looked up as module globals at each
use. Each function keeps its own checks and errors with the modules' messages: the
exact-type tests ("has incorrect type", with the note for a subclass) and the
ValueErrors. Unlike ``reference.py`` nothing here imitates the native binding
messages, so a binding error is Python's own.

This is the baseline of ``benchmarks/host_overhead.py``: what a user would otherwise
run. ``test_plain_reference.py`` keeps it in step with the native modules.
"""

import cupy as cp

from korvane.color.bgr import bgr_to_rgb, rgb_to_bgr
from korvane.transform.resize import INTER_AUTO, resize
from korvane.utils.dtypes import to_float32

MEAN_MESSAGE = "Mean must be a single value or a tuple of three values."


def _incorrect_type(name, expected, value):
    got = type(value).__name__
    exc = TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {got})")
    if isinstance(value, expected):
        exc.add_note(
            f"Subclasses of built-in types are rejected here: '{name}' needs an exact {expected.__name__}, not a {got}."
        )
    return exc


def _mean_triple(mean):
    if isinstance(mean, (int, float)):
        mean = (float(mean), float(mean), float(mean))
    if len(mean) == 1:
        mean = (mean[0], mean[0], mean[0])
    elif len(mean) != 3:
        raise ValueError(MEAN_MESSAGE)
    return mean


# ---- korvane.utils.dimention ----------------------------------------------------------


def guess_image_layout(image):
    nd = image.ndim
    if nd == 2:
        return "HW"
    if nd == 3:
        shape = image.shape
        c_first = shape[0]
        c_last = shape[-1]
        candidates = []
        if c_first in (1, 3, 4):
            candidates.append("CHW")
        if c_last in (1, 3, 4):
            candidates.append("HWC")
        if len(candidates) == 1:
            return candidates[0]
        if c_first <= 4 and shape[1] > 4 and shape[2] > 4:
            return "CHW"
        if c_last <= 4 and shape[0] > 4 and shape[1] > 4:
            return "HWC"
        return "ambiguous"
    if nd == 4:
        shape = image.shape
        if shape[1] in (1, 3, 4) and shape[2] > 4 and shape[3] > 4:
            return "NCHW"
        if shape[-1] in (1, 3, 4) and shape[1] > 4 and shape[2] > 4:
            return "NHWC"
        return "ambiguous"
    return "unsupported"


def batch_to_images(batch, scalefactor=None, mean=None, swap_rb=True, layout="NCHW"):
    if scalefactor is not None and type(scalefactor) is not float:
        raise _incorrect_type("scalefactor", float, scalefactor)
    given_nchw = layout == "NCHW"
    if not given_nchw:
        layout = guess_image_layout(batch)
        if layout == "NCHW":
            batch = batch.transpose((0, 2, 3, 1))
        elif layout != "NHWC":
            raise ValueError(f"Unsupported image layout: {layout}")
    results = []
    for image in batch:
        if given_nchw:
            image = image.transpose((1, 2, 0))
        if swap_rb:
            image = rgb_to_bgr(image)
        if scalefactor is not None:
            image *= 1 / scalefactor
        if mean is not None:
            mean = _mean_triple(mean)
            mean_array = cp.array(mean, dtype=image.dtype)
            if swap_rb:
                # The mean was taken in RGB order: each value goes back to its own channel.
                mean_array = mean_array[::-1]
            image += mean_array
        results.append(image)
    return results


def images_to_batch(images, scalefactor=None, size=None, mean=None, swap_rb=True, layout="HWC"):
    if scalefactor is not None and type(scalefactor) is not float:
        raise _incorrect_type("scalefactor", float, scalefactor)
    if isinstance(images, list):
        results = []
        for image in images:
            results.append(
                image_to_batch(image, scalefactor=scalefactor, size=size, mean=mean, swap_rb=swap_rb, layout=layout)
            )
        return cp.stack(results, axis=0)
    return image_to_batch(images, scalefactor=scalefactor, size=size, mean=mean, swap_rb=swap_rb, layout=layout)


def image_to_batch(image, scalefactor=None, size=None, mean=None, swap_rb=True, layout="HWC"):
    if scalefactor is not None and type(scalefactor) is not float:
        raise _incorrect_type("scalefactor", float, scalefactor)
    if layout not in ("HWC", "HW", "CHW", "NHWC", "NCHW"):
        layout = guess_image_layout(image)
    if layout == "NCHW":
        return image
    if layout == "NHWC":
        return image.transpose((0, 3, 1, 2))
    if layout == "HW":
        image = image[..., cp.newaxis]
        layout = "HWC"
    array_dtype = image.dtype
    if swap_rb and layout == "HWC":
        image = bgr_to_rgb(image)
    if size is not None:
        if isinstance(size, int):
            size = (size, size)
        image = resize(image, dsize=size, interpolation=INTER_AUTO)
    if mean is not None:
        mean = _mean_triple(mean)
        mean_array = cp.array(mean, dtype=array_dtype)
        if layout == "CHW":
            mean_array = mean_array[:, cp.newaxis, cp.newaxis]
        image -= mean_array
    if scalefactor is not None:
        image *= scalefactor
    if layout == "HWC":
        return image.transpose((2, 0, 1))[cp.newaxis, ...]
    if layout == "CHW":
        return image[cp.newaxis, ...]
    raise ValueError(f"Unsupported image layout: {layout}")


def image_to_batch_pixelshift(image, dim=4, scalefactor=None, mean=None, swap_rb=True):
    if type(dim) is not int:
        raise _incorrect_type("dim", int, dim)
    if scalefactor is not None and type(scalefactor) is not float:
        raise _incorrect_type("scalefactor", float, scalefactor)
    if dim < 1:
        raise ValueError("dim must be \u2265 1")
    h, w, c = image.shape
    if h % dim or w % dim:
        raise ValueError(f"Image {h}\u00d7{w} not divisible by dim={dim}")
    if swap_rb:
        image = bgr_to_rgb(image)
    array_dtype = image.dtype
    if mean is not None:
        mean = _mean_triple(mean)
        image -= cp.array(mean, dtype=array_dtype)
    if scalefactor is not None:
        image *= scalefactor
    h_sub = h // dim
    w_sub = w // dim
    out = cp.empty((dim * dim, c, h_sub, w_sub), dtype=image.dtype)
    idx = 0
    for i in range(dim):
        for j in range(dim):
            block = image[i::dim, j::dim]
            out[idx] = cp.ascontiguousarray(block).transpose((2, 0, 1))
            idx += 1
    return out


def pixelshift_fuse(preds, acc, hits, start_idx, dim):
    if type(start_idx) is not int:
        raise _incorrect_type("start_idx", int, start_idx)
    if type(dim) is not int:
        raise _incorrect_type("dim", int, dim)
    B = preds.shape[0]
    for k in range(B):
        idx = start_idx + k
        i, j = divmod(idx, dim)
        up = preds[k].repeat(dim, axis=1).repeat(dim, axis=2)
        up = cp.roll(up, shift=(i, j), axis=(1, 2))
        acc += up.astype(cp.float32)
        hits += 1


# ---- korvane.upscale.tile -------------------------------------------------------------


def tile_image(input_image, tile_size=128, overlap=16):
    if type(tile_size) is not int:
        raise _incorrect_type("tile_size", int, tile_size)
    if type(overlap) is not int:
        raise _incorrect_type("overlap", int, overlap)
    input_image = add_padding(input_image, patch_size=tile_size, overlap=overlap)
    height, width, channels = input_image.shape
    tiles = []
    step = tile_size - overlap
    for y in range(0, height - tile_size + 1, step):
        for x in range(0, width - tile_size + 1, step):
            tile = input_image[y : y + tile_size, x : x + tile_size]
            tiles.append(tile)
    return tiles, input_image.shape


def add_padding(input_image, patch_size=128, overlap=16):
    if type(patch_size) is not int:
        raise _incorrect_type("patch_size", int, patch_size)
    if type(overlap) is not int:
        raise _incorrect_type("overlap", int, overlap)
    pad_height = (patch_size - overlap) - ((input_image.shape[0] - overlap) % (patch_size - overlap))
    pad_width = (patch_size - overlap) - ((input_image.shape[1] - overlap) % (patch_size - overlap))
    if pad_height == patch_size - overlap:
        pad_height = 0
    if pad_width == patch_size - overlap:
        pad_width = 0
    padded_blob = cp.pad(input_image, ((0, pad_height), (0, pad_width), (0, 0)), mode="reflect")
    return padded_blob


def merge_tiles(tiles, original_shape, padded_shape, scale, tile_size=128, overlap=16):
    if type(tiles) is not list:
        raise _incorrect_type("tiles", list, tiles)
    if type(original_shape) is not tuple:
        raise _incorrect_type("original_shape", tuple, original_shape)
    if type(padded_shape) is not tuple:
        raise _incorrect_type("padded_shape", tuple, padded_shape)
    if type(scale) is not int:
        raise _incorrect_type("scale", int, scale)
    if type(tile_size) is not int:
        raise _incorrect_type("tile_size", int, tile_size)
    if type(overlap) is not int:
        raise _incorrect_type("overlap", int, overlap)
    # Both shapes are read at items 0 to 2: a shorter one is refused before any is read.
    if len(original_shape) < 3:
        raise ValueError(
            f"original_shape must have at least three items (height, width, channels), got {len(original_shape)}"
        )
    if len(padded_shape) < 3:
        raise ValueError(
            f"padded_shape must have at least three items (height, width, channels), got {len(padded_shape)}"
        )
    tile_size = tile_size * scale
    overlap = overlap * scale
    original_shape = (original_shape[0] * scale, original_shape[1] * scale, original_shape[2])
    padded_shape = (padded_shape[0] * scale, padded_shape[1] * scale, padded_shape[2])
    height, width, channels = padded_shape
    merged_image = cp.zeros(padded_shape, dtype=cp.float32)
    weights = cp.zeros(padded_shape, dtype=cp.float32)
    step = tile_size - overlap
    tile_index = 0
    gaussian_weights = create_gaussian_weights(tile_size, sigma=tile_size // 4)
    for y in range(0, height - tile_size + 1, step):
        for x in range(0, width - tile_size + 1, step):
            tile = tiles[tile_index]
            tile = to_float32(tile)
            weighted_tile = tile * gaussian_weights
            merged_image[y : y + tile_size, x : x + tile_size] += weighted_tile
            weights[y : y + tile_size, x : x + tile_size] += gaussian_weights
            tile_index += 1
    merged_image = merged_image / (weights + 1e-08)
    return merged_image[: original_shape[0], : original_shape[1]]


def create_gaussian_weights(size, sigma):
    if type(size) is not int:
        raise _incorrect_type("size", int, size)
    if type(sigma) is not int:
        raise _incorrect_type("sigma", int, sigma)
    # A zero sigma would fill the map with NaN and poison every merge that uses it.
    if sigma == 0:
        raise ValueError("sigma must not be 0")
    x, y = cp.meshgrid(cp.linspace(-1, 1, size), cp.linspace(-1, 1, size))
    d = cp.sqrt(x * x + y * y)
    gaussian = cp.exp(-(d**2 / (2.0 * sigma**2)))
    gaussian = gaussian / cp.sum(gaussian)
    return gaussian[:, :, cp.newaxis]


DIMENTION_FUNCTIONS = (
    "guess_image_layout",
    "batch_to_images",
    "images_to_batch",
    "image_to_batch",
    "image_to_batch_pixelshift",
    "pixelshift_fuse",
)
TILE_FUNCTIONS = ("tile_image", "add_padding", "merge_tiles", "create_gaussian_weights")
