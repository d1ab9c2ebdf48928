"""Pure-Python versions of korvane.utils.dimention and korvane.upscale.tile.

Each function is the module's algorithm written out step by step in Python: the
same calls into CuPy and the package collaborators in the same order, with `cp`,
the collaborators and the sibling functions looked up as module globals at each
use, and the same argument binding, type checks and error messages. The tests
compare the native modules against it; it is also the baseline for measuring
the host overhead of the native versions (`__wrapped__` is the bare body).
"""

import ctypes
import sys
import sysconfig

import cupy as cp

from korvane.color.bgr import bgr_to_rgb, rgb_to_bgr
from korvane.transform.resize import INTER_AUTO, resize
from korvane.utils.dtypes import to_float32

__all__ = [
    "RefFunction",
    "Signature",
    "add_padding",
    "batch_to_images",
    "create_gaussian_weights",
    "guess_image_layout",
    "image_to_batch",
    "image_to_batch_pixelshift",
    "images_to_batch",
    "merge_tiles",
    "pixelshift_fuse",
    "tile_image",
]

# ---- argument binding -----------------------------------------------------------------

_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def _tp_name_reader():
    # tp_name follows the variable-size object header (reference count, type, size) in a
    # default build; other builds lay the header out differently and use the fallback.
    if hasattr(sys, "getobjects") or sysconfig.get_config_var("Py_GIL_DISABLED"):
        return None
    offset = 3 * ctypes.sizeof(ctypes.c_void_p)

    def read(tp):
        return ctypes.c_char_p.from_address(id(tp) + offset).value.decode("utf-8")

    return read if read(int) == "int" and read(type(None)) == "NoneType" else None


_read_tp_name = _tp_name_reader()


def c_type_name(tp):
    """The type's C-level name (tp_name), as messages of C code print it."""
    if _read_tp_name is not None:
        return _read_tp_name(tp)
    # A class statement's type is named by its __name__; a static type by its dotted name.
    if tp.__flags__ & _HEAPTYPE:
        return tp.__name__
    module = tp.__module__
    return tp.__name__ if module == "builtins" else f"{module}.{tp.__name__}"


def c_text(text, limit):
    """`%.<limit>s` of a UTF-8 C string: cut to `limit` bytes, a split character replaced."""
    return text.encode("utf-8")[:limit].decode("utf-8", "replace")


def _is_str(key):
    # The real type decides, as the C checks do; __class__ cannot fake it.
    return issubclass(type(key), str)


def _same_name(parameter, key):
    # Identity first, then string equality of the text itself (a subclass's __eq__ is not asked).
    return parameter is key or str.__eq__(parameter, key) is True


class Signature:
    """Parameters (all positional-or-keyword), defaults of the trailing ones, typed parameters."""

    def __init__(self, name, params, defaults=(), checks=None):
        self.name = name
        self.params = tuple(params)
        self.defaults = tuple(defaults)
        # parameter -> (exact type, whether None is accepted)
        self.checks = dict(checks or {})

    # -- messages

    def _count_error(self, word, expected, given):
        return TypeError(
            f"{c_text(self.name, 200)}() takes {word} {expected} positional "
            f"argument{'' if expected == 1 else 's'} ({given} given)"
        )

    def _multiple(self, key):
        return TypeError(f"{self.name}() got multiple values for keyword argument '{str.__str__(key)}'")

    def _unexpected(self, key):
        return TypeError(f"{self.name}() got an unexpected keyword argument '{str.__str__(key)}'")

    def _find(self, key, first, last):
        for i in range(first, last):
            if self.params[i] is key:
                return i
        for i in range(first, last):
            if _same_name(self.params[i], key):
                return i
        return None

    def _bad_keyword(self, key, nargs):
        if self._find(key, 0, nargs) is not None:
            return self._multiple(key)
        return self._unexpected(key)

    # -- steps

    def _check_count(self, nargs):
        k = len(self.params)
        if nargs > k:
            raise _binding(self._count_error("exactly" if not self.defaults else "at most", k, nargs))

    def _finish(self, nargs, bound):
        k, d = len(self.params), len(self.defaults)
        required = k - d
        for i in range(nargs, required):
            if i not in bound:
                raise _binding(self._count_error("exactly" if d == 0 else "at least", required, i))
        for i in range(required, k):
            bound.setdefault(i, self.defaults[i - required])
        values = [bound[i] for i in range(k)]
        self._validate(values)
        return values

    def _validate(self, values):
        for parameter, value in zip(self.params, values):
            check = self.checks.get(parameter)
            if check is None:
                continue
            expected, none_ok = check
            if type(value) is expected or (none_ok and value is None):
                continue
            got = c_type_name(type(value))
            exc = TypeError(
                f"Argument '{c_text(parameter, 200)}' has incorrect type "
                f"(expected {c_text(expected.__name__, 200)}, got {c_text(got, 200)})"
            )
            if expected in type(value).__mro__:
                exc.add_note(
                    f"Subclasses of built-in types are rejected here: '{c_text(parameter, 200)}' needs an exact "
                    f"{c_text(expected.__name__, 200)}, not a {c_text(got, 200)}."
                )
            exc.korvane_stage = "type"
            raise exc

    def bind_vector(self, args, kwnames=(), kwvalues=()):
        """Positional values plus keyword values named by a sequence of names, in order."""
        nargs = len(args)
        self._check_count(nargs)
        bound = dict(enumerate(args))
        k = len(self.params)
        for key, value in zip(kwnames, kwvalues):
            if not _is_str(key):
                raise _binding(TypeError(f"{c_text(self.name, 200)}() keywords must be strings"))
            index = self._find(key, nargs, k)
            if index is None:
                raise _binding(self._bad_keyword(key, nargs))
            if index in bound:
                # A name given twice among the keywords counts as given twice.
                raise _binding(self._multiple(key))
            bound[index] = value
        return self._finish(nargs, bound)

    def bind_dict(self, args, kwargs):
        """An argument tuple and a keyword dictionary."""
        nargs = len(args)
        self._check_count(nargs)
        bound = dict(enumerate(args))
        if kwargs:
            if not all(_is_str(key) for key in kwargs):
                raise _binding(TypeError("keywords must be strings"))
            found = 0
            for i in range(nargs, len(self.params)):
                if self.params[i] in kwargs:
                    bound[i] = kwargs[self.params[i]]
                    found += 1
            if found < len(kwargs):
                for key in list(kwargs):
                    # The lookups above may have run a key's own __eq__, which can change the dict.
                    if not _is_str(key):
                        raise _binding(TypeError("keywords must be strings"))
                    if self._find(key, nargs, len(self.params)) is None:
                        raise _binding(self._bad_keyword(key, nargs))
        return self._finish(nargs, bound)


def _binding(exc):
    # Marks where the error arose: binding errors get a traceback entry, type errors none.
    exc.korvane_stage = "bind"
    return exc


class RefFunction:
    """A module function: binds its arguments like the native function object, then runs the body."""

    def __init__(self, signature, body):
        self.signature = signature
        self.__wrapped__ = body
        self.__name__ = self.__qualname__ = signature.name

    def __call__(self, /, *args, **kwargs):
        return self.__wrapped__(*self.signature.bind_vector(args, tuple(kwargs), tuple(kwargs.values())))

    def call_vector(self, args, kwnames=(), kwvalues=()):
        """The vectorcall convention: positional values and a tuple of keyword names."""
        return self.__wrapped__(*self.signature.bind_vector(tuple(args), tuple(kwnames), tuple(kwvalues)))

    def call_dict(self, args, kwargs):
        """The tp_call convention: an argument tuple and a keyword dictionary."""
        return self.__wrapped__(*self.signature.bind_dict(tuple(args), kwargs))

    def __repr__(self):
        return f"<reference function {self.__name__}>"


def _function(name, params, defaults=(), checks=None):
    def define(body):
        return RefFunction(Signature(name, params, defaults, checks), body)

    return define


# ---- helpers with the modules' own error messages --------------------------------------

MEAN_MESSAGE = "Mean must be a single value or a tuple of three values."


def _unpack(values, count):
    """Unpack exactly `count` items; other lengths raise the modules' unpacking errors."""
    if type(values) is tuple or type(values) is list:
        n = len(values)
        if n > count:
            raise ValueError(f"too many values to unpack (expected {count})")
        if n < count:
            raise ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack")
        return tuple(values)
    it = iter(values)
    items = []
    for i in range(count):
        item = next(it, _END)
        if item is _END:
            raise ValueError(f"need more than {i} value{'' if i == 1 else 's'} to unpack")
        items.append(item)
    if next(it, _END) is not _END:
        raise ValueError(f"too many values to unpack (expected {count})")
    return tuple(items)


_END = object()


def _mean_triple(mean):
    """A number becomes (float(m),) * 3, a one-item sequence (m[0],) * 3; three items stay.

    Also says whether a single value was given (a number or a one-item sequence).
    """
    if isinstance(mean, (int, float)):
        return (float(mean), float(mean), float(mean)), True
    if len(mean) == 1:
        return (mean[0], mean[0], mean[0]), True
    if len(mean) != 3:
        raise ValueError(MEAN_MESSAGE)
    return mean, False


def _is_channel_count(extent):
    for count in (1, 3, 4):
        if extent == count:
            return True
    return False


# ---- korvane.utils.dimention ----------------------------------------------------------

_NORMALISE = {"scalefactor": (float, True)}


@_function("guess_image_layout", ("image",))
def guess_image_layout(image):
    nd = image.ndim
    if nd == 2:
        return "HW"
    if nd == 3:
        shape = image.shape
        c_first = shape[0]
        c_last = shape[-1]
        candidates = []
        if _is_channel_count(c_first):
            candidates.append("CHW")
        if _is_channel_count(c_last):
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
        if _is_channel_count(shape[1]) and shape[2] > 4 and shape[3] > 4:
            return "NCHW"
        if _is_channel_count(shape[-1]) and shape[1] > 4 and shape[2] > 4:
            return "NHWC"
        return "ambiguous"
    return "unsupported"


@_function(
    "batch_to_images", ("batch", "scalefactor", "mean", "swap_rb", "layout"), (None, None, True, "NCHW"), _NORMALISE
)
def batch_to_images(batch, scalefactor, mean, swap_rb, layout):
    # 1. "NCHW" is trusted; anything else is inferred and brought to NHWC.
    if layout == "NCHW":
        given_nchw = True
    else:
        given_nchw = False
        layout = guess_image_layout(batch)
        if layout == "NCHW":
            batch = batch.transpose((0, 2, 3, 1))
        elif layout == "NHWC":
            pass
        else:
            raise ValueError(f"Unsupported image layout: {layout}")
    # 2-4. One HWC image per element: swapped back, unscaled, the mean restored.
    results = []
    for image in batch:
        if given_nchw:
            image = image.transpose((1, 2, 0))
        swapped = False
        if swap_rb:
            image = rgb_to_bgr(image)
            swapped = True
        if scalefactor is not None:
            image *= 1 / scalefactor
        if mean is not None:
            mean = _mean_triple(mean)[0]
            mean_array = cp.array(mean, dtype=image.dtype)
            if swapped:
                # The mean was taken in RGB order: each value goes back to its own channel.
                mean_array = mean_array[::-1]
            image += mean_array
        results.append(image)
    return results


@_function(
    "images_to_batch",
    ("images", "scalefactor", "size", "mean", "swap_rb", "layout"),
    (None, None, None, True, "HWC"),
    _NORMALISE,
)
def images_to_batch(images, scalefactor, size, mean, swap_rb, layout):
    if isinstance(images, list):
        results = []
        for image in images:
            results.append(
                image_to_batch(image, scalefactor=scalefactor, size=size, mean=mean, swap_rb=swap_rb, layout=layout)
            )
        return cp.stack(results, axis=0)
    return image_to_batch(images, scalefactor=scalefactor, size=size, mean=mean, swap_rb=swap_rb, layout=layout)


@_function(
    "image_to_batch",
    ("image", "scalefactor", "size", "mean", "swap_rb", "layout"),
    (None, None, None, True, "HWC"),
    _NORMALISE,
)
def image_to_batch(image, scalefactor, size, mean, swap_rb, layout):
    # 1. Anything but the five concrete names asks for inference.
    for name in ("HWC", "HW", "CHW", "NHWC", "NCHW"):
        if layout == name:
            break
    else:
        layout = guess_image_layout(image)
    # 2. Batches pass through.
    if layout == "NCHW":
        return image
    if layout == "NHWC":
        return image.transpose((0, 3, 1, 2))
    # 3. A two-dimensional image gets a trailing channel axis.
    if layout == "HW":
        image = image[..., cp.newaxis]
        layout = "HWC"
    # 4. The element type, before the swap and the resize.
    array_dtype = image.dtype
    # 5. Colour swap, channel-last images only.
    if swap_rb and layout == "HWC":
        image = bgr_to_rgb(image)
    # 6. Resize; an int n means (n, n).
    if size is not None:
        if isinstance(size, int):
            size = (size, size)
        image = resize(image, dsize=size, interpolation=INTER_AUTO)
    # 7. Mean, in place; per channel plane for a channel-first image.
    if mean is not None:
        mean, single = _mean_triple(mean)
        mean_array = cp.array(mean, dtype=array_dtype)
        if layout == "CHW":
            # (3, 1, 1) per channel plane; one value, (1, 1, 1), for any number of channels.
            mean_array = mean_array[: 1 if single else None, cp.newaxis, cp.newaxis]
        image -= mean_array
    # 8. Scale, in place.
    if scalefactor is not None:
        image *= scalefactor
    # 9. (1, C, H, W), or the layout error after all of the above.
    if layout == "HWC":
        return image.transpose((2, 0, 1))[cp.newaxis, ...]
    if layout == "CHW":
        return image[cp.newaxis, ...]
    raise ValueError(f"Unsupported image layout: {layout}")


@_function(
    "image_to_batch_pixelshift",
    ("image", "dim", "scalefactor", "mean", "swap_rb"),
    (4, None, None, True),
    {"dim": (int, False), "scalefactor": (float, True)},
)
def image_to_batch_pixelshift(image, dim, scalefactor, mean, swap_rb):
    if dim < 1:
        raise ValueError("dim must be \u2265 1")
    h, w, c = _unpack(image.shape, 3)
    if h % dim or w % dim:
        raise ValueError(f"Image {h}\u00d7{w} not divisible by dim={dim}")
    if swap_rb:
        image = bgr_to_rgb(image)
    array_dtype = image.dtype
    if mean is not None:
        mean = _mean_triple(mean)[0]
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
            out[idx] = cp.ascontiguousarray(block).transpose(2, 0, 1)
            idx += 1
    return out


@_function(
    "pixelshift_fuse",
    ("preds", "acc", "hits", "start_idx", "dim"),
    (),
    {"start_idx": (int, False), "dim": (int, False)},
)
def pixelshift_fuse(preds, acc, hits, start_idx, dim):
    B = preds.shape[0]
    for k in range(B):
        idx = start_idx + k
        i, j = divmod(idx, dim)
        up = preds[k].repeat(dim, axis=1).repeat(dim, axis=2)
        up = cp.roll(up, shift=(i, j), axis=(1, 2))
        acc += up.astype(cp.float32)
        hits += 1
    return None


# ---- korvane.upscale.tile -------------------------------------------------------------

_INT = (int, False)


@_function("tile_image", ("input_image", "tile_size", "overlap"), (128, 16), {"tile_size": _INT, "overlap": _INT})
def tile_image(input_image, tile_size, overlap):
    input_image = add_padding(input_image, patch_size=tile_size, overlap=overlap)
    height, width, channels = _unpack(input_image.shape, 3)
    tiles = []
    step = tile_size - overlap
    for y in range(0, height - tile_size + 1, step):
        for x in range(0, width - tile_size + 1, step):
            tile = input_image[y : y + tile_size, x : x + tile_size]
            tiles.append(tile)
    return tiles, input_image.shape


@_function("add_padding", ("input_image", "patch_size", "overlap"), (128, 16), {"patch_size": _INT, "overlap": _INT})
def add_padding(input_image, patch_size, overlap):
    pad_height = (patch_size - overlap) - ((input_image.shape[0] - overlap) % (patch_size - overlap))
    pad_width = (patch_size - overlap) - ((input_image.shape[1] - overlap) % (patch_size - overlap))
    if pad_height == patch_size - overlap:
        pad_height = 0
    if pad_width == patch_size - overlap:
        pad_width = 0
    padded_blob = cp.pad(input_image, ((0, pad_height), (0, pad_width), (0, 0)), mode="reflect")
    return padded_blob


@_function(
    "merge_tiles",
    ("tiles", "original_shape", "padded_shape", "scale", "tile_size", "overlap"),
    (128, 16),
    {
        "tiles": (list, False),
        "original_shape": (tuple, False),
        "padded_shape": (tuple, False),
        "scale": _INT,
        "tile_size": _INT,
        "overlap": _INT,
    },
)
def merge_tiles(tiles, original_shape, padded_shape, scale, tile_size, overlap):
    # Both shapes are read at items 0 to 2: a shorter one is refused before any is read.
    for parameter, shape in (("original_shape", original_shape), ("padded_shape", padded_shape)):
        if len(shape) < 3:
            raise ValueError(f"{parameter} must have at least three items (height, width, channels), got {len(shape)}")
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


@_function("create_gaussian_weights", ("size", "sigma"), (), {"size": _INT, "sigma": _INT})
def create_gaussian_weights(size, sigma):
    # A zero sigma would fill the map with NaN and poison every merge that uses it.
    if sigma == 0 and size >= 1:
        raise ValueError("sigma must not be 0")
    x, y = _unpack(cp.meshgrid(cp.linspace(-1, 1, size), cp.linspace(-1, 1, size)), 2)
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
