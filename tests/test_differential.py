"""The native functions against the pure-Python reference, on random inputs.

Each side runs on its own copies of the arguments. They must agree on the result
(structure, shapes, dtypes, values, which inputs it is or shares memory with), on
what the call did to the caller's arrays, and for a failure on the exception's
type, message and notes.
"""

import numpy as np
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

from korvane.upscale import tile
from korvane.utils import dimention

import reference
from argtrees import arrays_in, clone

settings.register_profile(
    "korvane-differential",
    deadline=None,
    derandomize=True,
    database=None,
    max_examples=40,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
PROFILE = settings.get_profile("korvane-differential")


# ---- running both sides -----------------------------------------------------------------


def native(name):
    return getattr(dimention if name in reference.DIMENTION_FUNCTIONS else tile, name)


def shares_memory(xp, a, b):
    return bool(getattr(xp, "shares_memory", np.shares_memory)(a, b))


def describe(value, inputs, xp):
    """A comparable picture of a result; arrays by content and by relation to the inputs."""
    if isinstance(value, xp.ndarray):
        host = xp.asnumpy(value)
        return (
            "array",
            host.shape,
            host.dtype.str,
            host.tobytes(),
            [i for i, a in enumerate(inputs) if a is value],
            [i for i, a in enumerate(inputs) if shares_memory(xp, a, value)],
        )
    if type(value) in (list, tuple):
        return (type(value).__name__, [describe(v, inputs, xp) for v in value])
    return ("value", type(value), value)


def run(func, xp, args, kwargs):
    args, kwargs = clone(args, xp), clone(kwargs, xp)
    inputs = arrays_in([args, kwargs], xp)
    try:
        result = func(*args, **kwargs)
    except Exception as exc:  # compared with the other side's below
        outcome = ("raised", type(exc), str(exc), getattr(exc, "__notes__", None))
    else:
        outcome = ("returned", describe(result, inputs, xp))
    after = [(a.shape, a.dtype.str, xp.asnumpy(a).tobytes()) for a in inputs]
    return outcome, after


def check(xp, name, *args, **kwargs):
    native_outcome, native_after = run(native(name), xp, args, kwargs)
    reference_outcome, reference_after = run(getattr(reference, name), xp, args, kwargs)
    assert native_outcome == reference_outcome
    assert native_after == reference_after, "the caller's arrays were changed differently"
    event(native_outcome[0] if native_outcome[0] == "returned" else native_outcome[1].__name__)
    return native_outcome


# ---- strategies -------------------------------------------------------------------------
#
# Each case is drawn either coherent (shapes, layouts and options that fit together, so the
# call mostly succeeds) or free (anything, so the call mostly fails somewhere): the first
# exercises the arithmetic and the in-place effects, the second the order of the checks.

DTYPES = ("float32", "float64", "uint8", "int32")
FLOATS = ("float32", "float64")
LAYOUTS = ("HWC", "CHW", "HW", "NHWC", "NCHW", "ambiguous", "unsupported", None, "hwc", "", "NCHW ")
EXTENTS = (0, 1, 2, 3, 4, 5, 6, 8)


def host_array(shape, dtype, seed):
    rng = np.random.default_rng(seed)
    if dtype == "uint8":
        return rng.integers(0, 256, shape).astype(np.uint8)
    if dtype == "int32":
        return rng.integers(-100, 100, shape).astype(np.int32)
    return (rng.integers(-64, 64, shape) / 8).astype(dtype)  # exact in every float type


def array(shape, dtype, seed=0):
    return ("array", tuple(shape), dtype, seed)


@st.composite
def arrays(draw, shapes, dtypes=st.sampled_from(DTYPES)):
    return array(draw(shapes), draw(dtypes), draw(st.integers(0, 2**16)))


def realise(value, xp):
    """Turn drawn ("array", shape, dtype, seed) descriptions into device arrays."""
    if type(value) is tuple and value[:1] == ("array",):
        return xp.asarray(host_array(*value[1:]))
    if type(value) in (list, tuple):
        return type(value)(realise(v, xp) for v in value)
    return value


def rank(r, extents=EXTENTS):
    return st.tuples(*[st.sampled_from(extents)] * r)


coherent = st.sampled_from((True, True, False))
SPATIAL = st.integers(1, 8)
LARGE = st.integers(5, 8)  # above the small-extent threshold of layout inference
any_shapes = st.one_of(
    st.tuples(SPATIAL, SPATIAL, st.sampled_from((3, 1, 2, 4, 5))),
    st.tuples(st.sampled_from((3, 1, 2, 4)), SPATIAL, SPATIAL),
    st.tuples(SPATIAL, SPATIAL),
    rank(4),
    rank(3),
    rank(1),
    rank(5, (1, 2, 3)),
)
MEAN_ITEMS = st.sampled_from((0.5, 1.0, 0.0, 3.0, 2, -1.5, True))
POSITIVE_MEAN_ITEMS = st.sampled_from((1.0, 2, 0.0, 3.0, True))
any_means = st.one_of(
    st.none(),
    st.integers(-2, 3),
    st.sampled_from((0.5, -1.25, 2.0, True)),
    st.tuples(MEAN_ITEMS),
    st.tuples(MEAN_ITEMS, MEAN_ITEMS, MEAN_ITEMS),
    st.lists(MEAN_ITEMS, min_size=0, max_size=4),
)


def fitting_means(items=MEAN_ITEMS):
    # Every form that becomes a triple.
    return st.one_of(
        st.none(), items, st.tuples(items), st.tuples(items, items, items), st.lists(items, min_size=3, max_size=3)
    )


any_scalefactors = st.one_of(st.none(), st.sampled_from((0.5, 2.0, -1.0, 0.25, 0.0)))
any_swaps = st.sampled_from((True, False, 1, 0, None, "", "no"))
any_layouts = st.sampled_from(LAYOUTS)
any_sizes = st.one_of(
    st.none(),
    st.integers(-1, 6),
    st.tuples(st.integers(0, 6), st.integers(1, 6)),
    st.lists(st.integers(1, 6), min_size=1, max_size=3),
    st.just(2.5),
)
fitting_sizes = st.one_of(
    st.none(),
    st.integers(1, 6),
    st.tuples(st.integers(1, 6), st.integers(1, 6)),
    st.lists(st.integers(1, 6), min_size=2, max_size=2),
)


@st.composite
def image_options(draw):
    """(image, scalefactor, size, mean, swap_rb, layout) for image_to_batch."""
    if not draw(coherent):
        return (
            draw(arrays(any_shapes)),
            draw(any_scalefactors),
            draw(any_sizes),
            draw(any_means),
            draw(any_swaps),
            draw(any_layouts),
        )
    kind = draw(st.sampled_from(("HWC", "CHW", "HW", "NCHW", "NHWC")))
    layout = draw(st.sampled_from((kind, None, "ambiguous")))
    dtype = draw(st.sampled_from(DTYPES))
    channels = draw(st.sampled_from((3, 1, 4)))
    swap_rb = draw(any_swaps)
    h, w = draw(LARGE), draw(LARGE)
    shape = {
        "HWC": (h, w, channels),
        "CHW": (channels, h, w),
        "HW": (h, w),
        "NCHW": (draw(st.integers(0, 3)), channels, h, w),
        "NHWC": (draw(st.integers(0, 3)), h, w, channels),
    }[kind]
    if kind == "HWC" and swap_rb:
        shape = (h, w, 3)
    if kind == "HW" and swap_rb:
        swap_rb = False
    mean = draw(fitting_means(POSITIVE_MEAN_ITEMS if dtype == "uint8" else MEAN_ITEMS))
    if kind == "HW" or (kind in ("HWC", "CHW") and mean is not None and channels != 3):
        mean = None
    if kind == "CHW" and mean is not None:
        shape = (3, h, w)
    scalefactor = draw(st.sampled_from((None, 0.5, 2.0))) if dtype in FLOATS else None
    size = draw(fitting_sizes) if kind in ("HWC", "HW") else None
    return array(shape, dtype, draw(st.integers(0, 99))), scalefactor, size, mean, swap_rb, layout


@st.composite
def batch_options(draw):
    """(batch, scalefactor, mean, swap_rb, layout) for batch_to_images."""
    if not draw(coherent):
        shapes = st.one_of(rank(4), rank(3), rank(5, (1, 2, 3)), st.tuples(st.integers(0, 3), *[SPATIAL] * 3))
        return (draw(arrays(shapes)), draw(any_scalefactors), draw(any_means), draw(any_swaps), draw(any_layouts))
    n, h, w = draw(st.integers(0, 3)), draw(LARGE), draw(LARGE)
    dtype = draw(st.sampled_from(DTYPES))
    kind = draw(st.sampled_from(("NCHW", "NHWC")))
    shape = (n, 3, h, w) if kind == "NCHW" else (n, h, w, 3)
    layout = draw(st.sampled_from(("NCHW", None, "NHWC")) if kind == "NCHW" else st.sampled_from((None, "NHWC")))
    scalefactor = draw(st.sampled_from((None, 0.5, 2.0, 0.25))) if dtype in FLOATS else None
    mean = draw(fitting_means(POSITIVE_MEAN_ITEMS if dtype == "uint8" else MEAN_ITEMS))
    return array(shape, dtype, draw(st.integers(0, 99))), scalefactor, mean, draw(any_swaps), layout


# ---- layout inference ---------------------------------------------------------------------


class Shaped:
    """Just the two attributes that layout inference reads."""

    def __init__(self, shape):
        self.shape, self.ndim = shape, len(shape)


BIG = (0, 1, 2, 3, 4, 5, 9, -1, -(2**70), 2**70, 2**63, 2**63 - 1)


# Ranks 3 and 4 are where the rules are; the other ranks have one answer each.
RANKS = st.sampled_from((3, 4, 3, 4, 3, 4, 0, 1, 2, 5))


@settings(PROFILE, max_examples=600)
@given(array=arrays(RANKS.flatmap(lambda r: rank(r, (0, 1, 2, 3, 4, 5, 6)))))
@example(array=("array", (3, 480 // 40, 3), "uint8", 0))
def test_guess_image_layout_on_arrays(xp, array):
    check(xp, "guess_image_layout", realise(array, xp))


@settings(PROFILE, max_examples=400)
@given(shape=RANKS.flatmap(lambda r: st.tuples(*[st.sampled_from(BIG)] * r)))
def test_guess_image_layout_on_any_integers(xp, shape):
    check(xp, "guess_image_layout", Shaped(shape))


# ---- image(s) to batch ----------------------------------------------------------------------


@settings(PROFILE, max_examples=400)
@given(options=image_options())
@example(options=(array((2, 4, 5), "float32", 1), 2.0, None, (1.0, 2.0, 3.0), True, "CHW"))
@example(options=(array((3, 5, 6), "float32", 1), 2.0, None, (1.0, 2.0, 3.0), True, "CHW"))
@example(options=(array((5, 6, 3), "float64", 2), 0.5, None, (1.0, 2.0, 3.0), False, None))
@example(options=(array((4, 5), "float32", 3), None, 3, 0.5, False, "HW"))
@example(options=(array((2, 3, 6, 6), "uint8", 4), 2.0, 4, 1, True, None))
def test_image_to_batch(xp, options):
    image, scalefactor, size, mean, swap_rb, layout = realise(options, xp)
    check(xp, "image_to_batch", image, scalefactor=scalefactor, size=size, mean=mean, swap_rb=swap_rb, layout=layout)


@st.composite
def image_lists(draw):
    first = draw(image_options())
    image, options = first[0], first[1:]
    others = st.sampled_from((array(image[1], image[2], 1), array(image[1], image[2], 2)))
    images = [image] + [draw(st.one_of(others, others, arrays(any_shapes))) for _ in range(draw(st.integers(0, 2)))]
    container = draw(st.sampled_from((list, list, list, tuple, "single", "empty")))
    if container == "single":
        return (image,) + options
    if container == "empty":
        return ([],) + options
    return (container(images),) + options


@settings(PROFILE, max_examples=200)
@given(options=image_lists())
@example(
    options=([array((5, 5, 3), "float32", 1), array((3, 5, 5), "float32", 2)], None, None, (1.0, 2.0, 3.0), True, None)
)
def test_images_to_batch(xp, options):
    check(xp, "images_to_batch", *realise(options, xp))


@settings(PROFILE, max_examples=300)
@given(options=batch_options())
@example(options=(array((2, 3, 5, 6), "float32", 5), 0.5, (0.5, 1.0, 3.0), True, "NCHW"))
@example(options=(array((2, 5, 6, 3), "float64", 6), 2.0, (0.5, 1.0, 3.0), False, None))
@example(options=(array((2, 3, 4, 4), "float64", 6), None, None, True, None))
def test_batch_to_images(xp, options):
    batch, scalefactor, mean, swap_rb, layout = realise(options, xp)
    check(xp, "batch_to_images", batch, scalefactor=scalefactor, mean=mean, swap_rb=swap_rb, layout=layout)


@settings(PROFILE, max_examples=60)
@given(
    images=arrays(st.tuples(st.integers(1, 3), SPATIAL, SPATIAL, st.just(3)), st.sampled_from(FLOATS)),
    scalefactor=st.sampled_from((0.5, 2.0)),
    mean=st.tuples(MEAN_ITEMS, MEAN_ITEMS, MEAN_ITEMS),
)
def test_batch_road_round_trip(xp, images, scalefactor, mean):
    # images_to_batch then batch_to_images, as a caller chains them: the same values on both
    # sides, and each pixel back in its own channel.
    def round_trip(module, batch):
        stacked = module.images_to_batch(list(batch), scalefactor, None, mean, True, "HWC")[:, 0]
        return module.batch_to_images(stacked, scalefactor, mean, True)

    host = host_array(*images[1:])
    native_images = round_trip(dimention, xp.asarray(host))
    reference_images = round_trip(reference, xp.asarray(host))
    assert len(native_images) == len(reference_images) == host.shape[0]
    for a, b, original in zip(native_images, reference_images, host):
        assert a.shape == b.shape == original.shape
        np.testing.assert_array_equal(xp.asnumpy(a), xp.asnumpy(b))
        np.testing.assert_allclose(xp.asnumpy(a), original, rtol=1e-6, atol=1e-5)


# ---- pixel shift ----------------------------------------------------------------------------


@st.composite
def pixelshift_cases(draw):
    """(image, dim, scalefactor, mean, swap_rb) for image_to_batch_pixelshift."""
    if not draw(coherent):
        dim = draw(st.integers(-1, 4))
        step = max(dim, 1)
        h = draw(st.integers(0, 3)) * step + draw(st.sampled_from((0, 0, 1)))
        w = draw(st.integers(0, 3)) * step + draw(st.sampled_from((0, 0, 1)))
        shape = draw(st.one_of(st.just((h, w, draw(st.sampled_from((3, 1, 4))))), rank(2), rank(4)))
        return (draw(arrays(st.just(shape))), dim, draw(any_scalefactors), draw(any_means), draw(any_swaps))
    dim = draw(st.integers(1, 4))
    dtype = draw(st.sampled_from(DTYPES))
    shape = (draw(st.integers(0, 3)) * dim, draw(st.integers(1, 3)) * dim, 3)
    scalefactor = draw(st.sampled_from((None, 0.5, 2.0))) if dtype in FLOATS else None
    mean = draw(fitting_means(POSITIVE_MEAN_ITEMS if dtype == "uint8" else MEAN_ITEMS))
    return array(shape, dtype, draw(st.integers(0, 99))), dim, scalefactor, mean, draw(any_swaps)


@settings(PROFILE, max_examples=300)
@given(case=pixelshift_cases())
@example(case=(array((8, 12, 3), "float32", 7), 4, 2.0, (0.5, 1.0, -1.5), True))
@example(case=(array((6, 4, 3), "uint8", 8), 2, None, 1, False))
@example(case=(array((6, 4, 3), "uint8", 8), 0, None, 1, False))
def test_image_to_batch_pixelshift(xp, case):
    check(xp, "image_to_batch_pixelshift", *realise(case, xp))


@st.composite
def fuse_cases(draw):
    dim = draw(st.integers(0, 3))
    b, c, h, w = draw(st.tuples(st.integers(0, 5), st.integers(1, 3), st.integers(1, 3), st.integers(1, 3)))
    preds = draw(arrays(st.just((b, c, h, w))))
    acc_shape = draw(st.one_of(st.just((c, h * dim, w * dim)), rank(3, (1, 2, 3, 6))))
    acc = draw(arrays(st.just(acc_shape), st.sampled_from(("float32", "float32", "float64", "int32"))))
    hits = draw(
        st.one_of(arrays(st.sampled_from(((1,), acc_shape)), st.sampled_from(("int32", "float32"))), st.just(0))
    )
    return preds, acc, hits, draw(st.integers(-5, 12)), dim


@settings(PROFILE, max_examples=250)
@given(case=fuse_cases())
@example(
    case=(
        ("array", (16, 2, 2, 3), "float32", 9),
        ("array", (2, 8, 12), "float32", 0),
        ("array", (2, 8, 12), "int32", 0),
        0,
        4,
    )
)
@example(
    case=(("array", (1, 1, 2, 2), "uint8", 1), ("array", (1, 8, 8), "float32", 0), ("array", (1,), "int32", 0), -1, 4)
)
def test_pixelshift_fuse(xp, case):
    check(xp, "pixelshift_fuse", *realise(case, xp))


@settings(PROFILE, max_examples=40)
@given(
    image=arrays(st.tuples(st.sampled_from((4, 8)), st.sampled_from((4, 8, 12)), st.just(3)), st.just("float32")),
    dim=st.sampled_from((1, 2, 4)),
    chunk=st.integers(1, 16),
)
def test_pixelshift_road_in_chunks(xp, image, dim, chunk):
    # Split, then fuse in chunks of consecutive sub-images: both modules fill acc and hits alike.
    host = host_array(*image[1:])
    totals = []
    for module in (dimention, reference):
        batch = module.image_to_batch_pixelshift(xp.asarray(host), dim, None, None, False)
        acc = xp.zeros((3,) + host.shape[:2], dtype=xp.float32)
        hits = xp.zeros(host.shape[:2], dtype=xp.int32)
        for start in range(0, dim * dim, chunk):
            assert module.pixelshift_fuse(batch[start : start + chunk], acc, hits, start, dim) is None
        totals.append((xp.asnumpy(acc), xp.asnumpy(hits)))
    np.testing.assert_array_equal(totals[0][0], totals[1][0])
    np.testing.assert_array_equal(totals[0][1], np.full(host.shape[:2], dim * dim))


# ---- tiles ----------------------------------------------------------------------------------


@st.composite
def tile_cases(draw):
    """(image, tile_size, overlap) for add_padding and tile_image."""
    if not draw(coherent):
        shapes = st.one_of(
            st.tuples(st.integers(0, 14), st.integers(0, 14), st.integers(1, 3)), rank(2), rank(4, (1, 2, 3))
        )
        return draw(arrays(shapes)), draw(st.integers(1, 10)), draw(st.integers(-3, 10))
    tile_size = draw(st.integers(1, 8))
    overlap = draw(st.integers(-2, tile_size - 1))
    shape = (draw(st.integers(2, 14)), draw(st.integers(2, 14)), draw(st.integers(1, 3)))
    return draw(arrays(st.just(shape))), tile_size, overlap


@settings(PROFILE, max_examples=250)
@given(case=tile_cases())
@example(case=(array((10, 13, 3), "uint8", 1), 4, 1))
@example(case=(array((10, 13, 3), "uint8", 1), 4, 4))
def test_add_padding(xp, case):
    image, patch_size, overlap = realise(case, xp)
    check(xp, "add_padding", image, patch_size, overlap)


@settings(PROFILE, max_examples=250)
@given(case=tile_cases())
@example(case=(array((10, 13, 3), "float32", 1), 4, 1))
@example(case=(array((10, 13, 3), "float32", 1), 3, -2))
def test_tile_image(xp, case):
    image, tile_size, overlap = realise(case, xp)
    check(xp, "tile_image", image, tile_size=tile_size, overlap=overlap)


@st.composite
def merge_cases(draw):
    """The arguments of merge_tiles, for a grid of k_h x k_w positions; any tile content."""
    whole = draw(coherent)
    scale = draw(st.integers(1, 2))
    # Below 4 scaled pixels the map's sigma (a quarter of the scaled tile) would be 0.
    tile_size = draw(st.integers(4 // scale, 6) if whole else st.integers(2, 6))
    overlap = draw(st.integers(0, tile_size - 1) if whole else st.integers(0, tile_size))
    k_h, k_w, c = draw(st.integers(0, 3)), draw(st.integers(0, 3)), draw(st.integers(1, 3))
    step = tile_size - overlap
    padded = (overlap + k_h * step, overlap + k_w * step, c)
    side = tile_size * scale
    dtype = draw(st.sampled_from(DTYPES))
    tiles = [array((side, side, c), dtype, seed) for seed in range(k_h * k_w)]
    edit = draw(st.sampled_from(("none", "broadcast", "extra") if whole else ("drop", "extra", "reshape")))
    if edit == "drop" and tiles:
        tiles.pop()
    elif edit == "extra":
        tiles.append(array((1, 1, 1), dtype, 99))
    elif edit == "reshape" and tiles:
        tiles[draw(st.integers(0, len(tiles) - 1))] = array((side, 1, c + 1), dtype, 98)
    elif edit == "broadcast" and tiles:
        tiles[-1] = array((1, side, 1), dtype, 97)
    height = draw(st.integers(max(padded[0] - step, 1), max(padded[0], 1)))
    width = draw(st.integers(max(padded[1] - step, 1), max(padded[1], 1)))
    original = (height, width, c)
    if not whole:
        original = draw(
            st.one_of(
                st.just(original),
                st.just((height, width, c + 1, 0)),
                st.tuples(*[st.integers(0, 14)] * draw(st.integers(0, 2))),
            )
        )
        padded = draw(st.one_of(st.just(padded), st.just(padded + (7,)), st.just(padded[:2]), st.just(())))
    return tiles, original, padded, scale, tile_size, overlap


@settings(PROFILE, max_examples=200)
@given(case=merge_cases())
def test_merge_tiles(xp, case):
    check(xp, "merge_tiles", *realise(case, xp))


@settings(PROFILE, max_examples=150)
@given(size=st.integers(-2, 9), sigma=st.one_of(st.integers(-3, 4), st.just(10**200)))
@example(size=1, sigma=1)
@example(size=0, sigma=1)
def test_create_gaussian_weights(xp, size, sigma):
    check(xp, "create_gaussian_weights", size, sigma=sigma)
