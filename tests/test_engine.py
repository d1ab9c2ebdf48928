"""The streaming tile engine korvane.upscale.upscale_tiled: grid, windows, exact modes, errors."""

import os
import subprocess
import sys
import tracemalloc

import numpy
import pytest

from korvane.upscale import tile, upscale_tiled
from korvane.upscale.engine import TileAxis
from korvane.utils.dtypes import to_float32

RNG = numpy.random.default_rng(11)


def picture(xp, shape, dtype=numpy.float32):
    host = RNG.random(shape) * 200
    host = host > 100 if dtype is bool else host.astype(dtype)
    return host, xp.asarray(host)


def enlarge(s):
    """A seam-free model: every pixel repeated s times along both axes."""
    return lambda x: x.repeat(s, axis=2).repeat(s, axis=3)


def enlarged(host, s):
    return host.astype(numpy.float32).repeat(s, axis=0).repeat(s, axis=1)


def never_called(x):
    raise AssertionError("the model must not be called")


# ---- the grid -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "extent, tile_size, overlap",
    [
        (300, 128, 16),
        (128, 128, 16),
        (100, 128, 16),
        (10, 128, 16),
        (1, 8, 2),
        (2, 64, 0),
        (5, 32, 31),
    ],
)
def test_padding_is_the_array_modules_reflection(xp, extent, tile_size, overlap):
    axis = TileAxis(extent, tile_size, overlap)
    assert axis.padded >= max(extent, tile_size) and (axis.padded - overlap) % axis.step == 0
    assert axis.padded - axis.step < max(extent, tile_size)  # the smallest such extent
    reflected = xp.pad(xp.arange(extent), (0, axis.padded - extent), mode="reflect")
    assert axis.reflection() == xp.asnumpy(reflected).tolist()


# ---- windows: a seam-free model comes back within float32 rounding ----------------------------------


def array_window(shape):
    return RNG.random(shape) + 0.05


@pytest.mark.parametrize(
    "shape, dtype, sizes, window, s",
    [
        ((300, 500, 3), numpy.float32, {}, "hann", 2),
        ((97, 61, 3), numpy.uint8, dict(tile_size=(32, 24), overlap=(8, 5)), "gaussian", 3),
        ((45, 70, 2), numpy.int16, dict(tile_size=16, overlap=0), "box", 1),
        ((3, 40, 1), numpy.float64, dict(tile_size=(16, 12), overlap=(4, 3)), "hann", 2),  # rows <= overlap
        ((1, 1, 3), bool, dict(tile_size=8, overlap=2), "hann", 2),
        ((33, 29, 3), numpy.float32, dict(tile_size=(16, 12), overlap=(6, 2)), array_window((32, 24)), 2),
        ((33, 29, 3), numpy.uint16, dict(tile_size=16, overlap=5), array_window((16, 16, 1)), 1),
    ],
)
def test_seam_free_model_comes_back_everywhere(xp, shape, dtype, sizes, window, s):
    host, image = picture(xp, shape, dtype)
    out = upscale_tiled(image, enlarge(s), batch_size=3, window=window, **sizes)
    assert type(out) is type(image) and out.dtype == numpy.float32
    numpy.testing.assert_allclose(xp.asnumpy(out), enlarged(host, s), rtol=1e-6, atol=0)
    numpy.testing.assert_array_equal(xp.asnumpy(image), host)


def test_a_host_window_serves_a_device_image_and_channels_may_change(xp):
    host, image = picture(xp, (40, 30, 3))
    window = array_window((24, 24))
    out = upscale_tiled(image, lambda x: enlarge(2)(x)[:, :1], tile_size=12, overlap=3, window=window)
    numpy.testing.assert_allclose(xp.asnumpy(out), enlarged(host, 2)[..., :1], rtol=1e-6)


def crossfade(xp, window):
    """Along a row through two tiles' overlap: the share of the right-hand tile, pixel by pixel."""
    calls = []

    def offset(x):  # tile k adds k: the result is the blend of the tile numbers
        calls.append(None)
        return x * 0 + (len(calls) - 1)

    out = upscale_tiled(xp.zeros((4, 112, 1)), offset, tile_size=(4, 64), overlap=(0, 16), batch_size=1, window=window)
    return xp.asnumpy(out)[0, :, 0]


@pytest.mark.parametrize("window", ["box", "gaussian", "hann"])
def test_overlaps_crossfade_and_single_cover_is_the_tile_itself(xp, window):
    row = crossfade(xp, window)
    numpy.testing.assert_array_equal(row[:48], 0)
    numpy.testing.assert_array_equal(row[64:], 1)
    fade = row[48:64]
    numpy.testing.assert_allclose(fade + fade[::-1], 1, rtol=1e-6)  # symmetric about the middle
    if window == "box":
        numpy.testing.assert_allclose(fade, 0.5)
    else:
        assert (numpy.diff(fade) > 0).all() and fade[0] < 0.1 and fade[-1] > 0.9


# Picture, tile_size, overlap, context: the grids' edge cases.
EDGE_CASES = [
    ((10, 40), 16, 4, 0),  # shorter than a tile along the rows
    ((16, 16), 16, 4, 0),  # exactly a tile
    ((17, 33), 16, 4, 0),  # a tile and a pixel: the last tile moves on by one
    ((37, 45), (16, 12), (12, 3), 0),  # overlap above the step: the last row of tiles is three deep
    ((30, 37), 12, 4, 2),
]


@pytest.mark.parametrize("shape, tile_size, overlap, context", EDGE_CASES)
@pytest.mark.parametrize("window", ["hann", "gaussian", "box", "array", "merge_tiles"])
@pytest.mark.parametrize("edges", ["inside", "reflect"])
def test_both_grids_give_the_picture_back_and_inside_reads_only_the_picture(
    xp, shape, tile_size, overlap, context, window, edges
):
    (h, w), (th, tw) = shape, (tile_size,) * 2 if isinstance(tile_size, int) else tile_size
    options = dict(tile_size=tile_size, overlap=overlap, context=context, edges=edges, batch_size=3)
    if window == "merge_tiles" and th != tw:
        return  # it takes square tiles only
    if window == "merge_tiles" and edges == "inside":
        with pytest.raises(ValueError, match=r"^edges: window='merge_tiles' reproduces merge_tiles"):
            upscale_tiled(xp.zeros(shape + (1,)), never_called, window=window, **options)
        return
    # Channel 0 numbers the pixels, so each tile read tells which pixels it holds.
    host = numpy.stack([numpy.arange(h * w).reshape(h, w), RNG.random((h, w))], axis=2).astype(numpy.float32)
    cores = []

    def model(x):
        cores.extend(xp.asnumpy(x[:, 0, context : context + th, context : context + tw]).astype(int))
        return enlarge(2)(x)

    chosen = array_window((th * 2, tw * 2)) if window == "array" else window
    out = upscale_tiled(xp.asarray(host), model, window=chosen, **options)
    rtol = 1e-4 if window == "merge_tiles" else 1e-6  # merge_tiles adds 1e-08 to its weights
    numpy.testing.assert_allclose(xp.asnumpy(out), enlarged(host, 2), rtol=rtol, atol=0)
    covered = numpy.zeros((h, w), bool)
    for core in cores:  # every tile brings pixels no earlier tile had; together they hold every pixel
        rows, cols = core // w, core % w
        assert not covered[rows, cols].all()
        covered[rows, cols] = True
        if edges == "inside":  # a reflected row or column runs backwards: none along an axis a tile long
            assert (numpy.diff(rows, axis=0) == 1).all() == (h >= th) and (numpy.diff(cols, axis=1) == 1).all() == (
                w >= tw
            )
    assert covered.all()


# ---- merge_tiles, bit for bit --------------------------------------------------------------------


def merge_tiles_road(xp, image, model, tile_size, overlap, s):
    tiles, padded = tile.tile_image(image, tile_size, overlap)
    upscaled = [model(to_float32(t).transpose(2, 0, 1)[None])[0].transpose(1, 2, 0) for t in tiles]
    return tile.merge_tiles(upscaled, image.shape, padded, s, tile_size, overlap)


def drifting(s):
    """Not seam-free: each tile is brightened by its own top-left value, as per-tile normalisation does."""
    return lambda x: enlarge(s)(x) * 1.5 + x[:, :, :1, :1]


@pytest.mark.parametrize(
    "shape, dtype, tile_size, overlap, s, batch_size, on_host",
    [
        ((300, 500, 3), numpy.float32, 128, 16, 2, 8, False),
        ((100, 100, 3), numpy.uint8, 128, 16, 1, 1, False),
        ((129, 257, 1), numpy.float64, 64, 8, 3, 5, False),
        ((70, 41, 2), numpy.int32, 24, 0, 2, 4, False),
        ((40, 30, 3), numpy.float32, 16, 4, 2, 3, True),  # a NumPy picture: the map comes to the host
        ((6, 10, 3), numpy.float32, 2, 0, 4, 4, False),  # tiny tiles: the enlarged tile is what counts
    ],
)
def test_merge_tiles_window_equals_the_tile_road_bit_for_bit(
    xp, shape, dtype, tile_size, overlap, s, batch_size, on_host
):
    host, image = picture(xp, shape, dtype)
    expected = merge_tiles_road(xp, image, drifting(s), tile_size, overlap, s)
    out = upscale_tiled(
        host if on_host else image,
        drifting(s),
        tile_size=tile_size,
        overlap=overlap,
        batch_size=batch_size,
        window="merge_tiles",
    )
    assert type(out) is (numpy.ndarray if on_host else type(image))
    assert out.shape == expected.shape and out.dtype == expected.dtype
    numpy.testing.assert_array_equal(out if on_host else xp.asnumpy(out), xp.asnumpy(expected))


@pytest.mark.parametrize("window", ["hann", "gaussian", "box", "array", "merge_tiles"])
def test_batch_size_does_not_change_a_bit(xp, window):
    _, image = picture(xp, (50, 70, 3))
    window = array_window((32, 32)) if window == "array" else window
    one, eight = (
        upscale_tiled(image, drifting(2), tile_size=16, overlap=4, batch_size=b, window=window) for b in (1, 8)
    )
    numpy.testing.assert_array_equal(xp.asnumpy(one), xp.asnumpy(eight))


def test_nothing_the_caller_owns_is_modified(xp):
    host, image = picture(xp, (30, 20, 3))
    window = xp.asarray(array_window((16, 16)).astype(numpy.float32))
    kept = xp.asnumpy(window)

    def scribbles(x):  # writes into its input: that is the engine's buffer, not the caller's image
        x *= 2
        return enlarge(2)(x)

    out = upscale_tiled(image, scribbles, tile_size=8, overlap=2, window=window)
    numpy.testing.assert_allclose(xp.asnumpy(out), enlarged(host, 2) * 2, rtol=1e-6)
    numpy.testing.assert_array_equal(xp.asnumpy(image), host)
    numpy.testing.assert_array_equal(xp.asnumpy(window), kept)


# ---- results written in bands, array-like pictures ------------------------------------------------


def stored(kind, host, tmp_path, dtype=None):
    """``host``'s values (or zeros of ``dtype``) in a memmap, a zarr array or a plain NumPy array."""
    data = host if dtype is None else numpy.zeros(host, dtype)
    path = str(tmp_path / f"{len(os.listdir(tmp_path))}.{kind}")
    if kind == "memmap":
        array = numpy.lib.format.open_memmap(path, "w+", data.dtype, data.shape)
    elif kind == "zarr":
        zarr = pytest.importorskip("zarr")
        array = zarr.create_array(path, shape=data.shape, chunks=(64, 24, 3), dtype=data.dtype)
    else:
        array = numpy.empty_like(data)
    array[...] = data
    return array


@pytest.mark.parametrize(
    "window, sizes, s, picture_kind, out_kind",
    [
        ("hann", dict(tile_size=(16, 12), overlap=(5, 3)), 2, "device", "numpy"),
        ("gaussian", dict(tile_size=(12, 16), overlap=(2, 6)), 3, "memmap", "device"),
        ("box", dict(tile_size=(8, 20), overlap=(0, 4)), 1, "zarr", "zarr"),
        ("array", dict(tile_size=(16, 12), overlap=(6, 2)), 2, "device", "function"),
        ("merge_tiles", dict(tile_size=16, overlap=4), 2, "zarr", "memmap"),
        ("hann", dict(tile_size=8, overlap=2), 2, "device", "uint8"),  # the assignment casts
    ],
)
def test_out_gets_the_in_memory_result_band_by_band(xp, tmp_path, window, sizes, s, picture_kind, out_kind):
    host, image = picture(xp, (45, 38, 3))
    th, tw = sizes["tile_size"] if isinstance(sizes["tile_size"], tuple) else (sizes["tile_size"],) * 2
    window = array_window((th * s, tw * s)) if window == "array" else window
    expected = xp.asnumpy(upscale_tiled(image, drifting(s), batch_size=5, window=window, **sizes))
    source = image if picture_kind == "device" else stored(picture_kind, host, tmp_path)
    bands = []
    if out_kind == "function":
        out = lambda rows, band: bands.append((rows, xp.asnumpy(band).copy()))  # noqa: E731
    elif out_kind == "device":
        out = xp.zeros(expected.shape, numpy.float32)
    else:
        out = stored(out_kind, expected.shape, tmp_path, numpy.uint8 if out_kind == "uint8" else numpy.float32)
    assert upscale_tiled(source, drifting(s), batch_size=5, window=window, out=out, **sizes) is out
    if out_kind == "function":
        assert [rows.start for rows, _ in bands] == [0] + [rows.stop for rows, _ in bands[:-1]]
        got = numpy.concatenate([band for _, band in bands])
    else:
        got = xp.asnumpy(out[...]) if out_kind == "device" else numpy.asarray(out[...])
    if out_kind == "uint8":
        expected = expected.astype(numpy.uint8)
    assert got.dtype == expected.dtype
    numpy.testing.assert_array_equal(got.view(f"u{got.itemsize}"), expected.view(f"u{got.itemsize}"))


def test_with_a_zarr_out_the_call_holds_a_band_not_the_result(xp, tmp_path):
    image = xp.asarray(RNG.random((8192, 24, 3)).astype(numpy.float32))
    out = stored("zarr", (16384, 48, 3), tmp_path, numpy.float32)
    tracemalloc.start()
    upscale_tiled(image, enlarge(2), tile_size=(48, 24), overlap=8, batch_size=4, out=out)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    # A few batches and one band of (48 + 8) * 2 rows, and zarr's own working memory (under 1 MB).
    assert peak < out.nbytes / 8
    numpy.testing.assert_allclose(out[::97], enlarged(xp.asnumpy(image), 2)[::97], rtol=1e-6)


@pytest.mark.parametrize(
    "out, calls, message",
    [
        (
            [1],
            0,
            "out: expected an array-like with shape and slice assignment, or a function write(rows, band), got "
            "list [1]",
        ),
        (numpy.zeros((40, 40)), 0, "out: expected shape (20*s, 20*s, C') for a whole number s >= 1, got (40, 40)"),
        (
            numpy.zeros((40, 60, 3)),
            0,
            "out: expected shape (20*s, 20*s, C') for a whole number s >= 1, got (40, 60, 3)",
        ),
        (
            numpy.zeros((10, 10, 3)),
            0,
            "out: expected shape (20*s, 20*s, C') for a whole number s >= 1, got (10, 10, 3)",
        ),
        (numpy.zeros((60, 60, 3)), 1, "out: expected shape (40, 40, 3), got (60, 60, 3)"),
        (numpy.zeros((40, 40, 1)), 1, "out: expected shape (40, 40, 3), got (40, 40, 1)"),
    ],
)
def test_a_wrong_out_is_refused_by_name_before_anything_is_written(xp, out, calls, message):
    called = []

    def model(x):
        called.append(None)
        return enlarge(2)(x)

    with pytest.raises((TypeError, ValueError)) as caught:
        upscale_tiled(xp.zeros((20, 20, 3)), model, tile_size=8, overlap=2, out=out)
    assert str(caught.value) == message and len(called) == calls
    assert isinstance(out, list) or not out.any()


# ---- bad input, before the model is called ---------------------------------------------------------


def blur3(x):
    """A 3x3 box blur without padding: a model that eats one pixel of context on each side."""
    h, w = x.shape[2] - 2, x.shape[3] - 2
    return sum(x[:, :, i : i + h, j : j + w] for i in range(3) for j in range(3)) / numpy.float32(9)


class WithContext:
    """A model that says it wants a context, as load_model's ncnn models do."""

    context = 1

    def __call__(self, x):
        return blur3(x)


# Model, context -> what the result must equal: the context is read around each tile, reflected at the
# picture's border, and dropped from (or eaten by) the model's output.
CONTEXTS = [
    (enlarge(2), 3, "enlarged"),  # returns s*(tile + 2*context): the border is dropped
    (lambda x: enlarge(2)(x[:, :, 2:-2, 2:-2]), 2, "enlarged"),  # returns s*tile itself
    (blur3, 1, "blurred"),  # every tile sees its true neighbours: the whole picture blurred
    (WithContext(), None, "blurred"),  # the model's own context
]


@pytest.mark.parametrize("model, context, expected", CONTEXTS)
@pytest.mark.parametrize("window", ["hann", "box"])
def test_a_context_around_each_tile_gives_the_whole_picture_result(xp, model, context, expected, window):
    host, image = picture(xp, (30, 37, 3))
    got = xp.asnumpy(upscale_tiled(image, model, tile_size=(12, 16), overlap=4, window=window, context=context))
    if expected == "enlarged":
        numpy.testing.assert_allclose(got, enlarged(host, 2), rtol=1e-6)
    else:
        padded = numpy.pad(host, ((1, 1), (1, 1), (0, 0)), mode="reflect").transpose(2, 0, 1)[None]
        numpy.testing.assert_allclose(got, blur3(padded)[0].transpose(1, 2, 0), rtol=1e-5)


GOOD = ((8, 8, 3), numpy.float32)


class Listed:
    """An array-like whose slices are lists."""

    shape, dtype = (8, 8, 3), numpy.dtype(numpy.float32)

    def __getitem__(self, key):
        return [[0.0]]


@pytest.mark.parametrize(
    "image, kwargs, error, message",
    [
        ([[1, 2]], {}, TypeError, "image: expected a CuPy or NumPy array, got list [[1, 2]]"),
        (
            Listed(),
            {},
            TypeError,
            "image: expected an array, or an array-like whose slices are arrays of NumPy or CuPy; slices of "
            f"{Listed.__module__.split('.')[0]}.Listed are builtins.list",
        ),
        (((4, 5), float), {}, ValueError, "image: expected an (H, W, C) array, got shape (4, 5)"),
        (((0, 5, 3), float), {}, ValueError, "image: expected a non-empty picture, got shape (0, 5, 3)"),
        (
            ((8, 8, 3), numpy.complex64),
            {},
            TypeError,
            "image: expected a real dtype (bool, integer or floating point), got complex64",
        ),
        (
            GOOD,
            dict(tile_size=12.5),
            TypeError,
            "tile_size: expected an int or a (height, width) pair of ints, got float 12.5",
        ),
        (
            GOOD,
            dict(tile_size=True),
            TypeError,
            "tile_size: expected an int or a (height, width) pair of ints, got bool True",
        ),
        (
            GOOD,
            dict(tile_size=(8, 8, 8)),
            TypeError,
            "tile_size: expected an int or a (height, width) pair of ints, got tuple (8, 8, 8)",
        ),
        (GOOD, dict(tile_size=(0, 8)), ValueError, "tile_size: expected positive sizes, got (0, 8)"),
        (
            GOOD,
            dict(tile_size=(8, 2**64)),
            ValueError,
            "tile_size: expected sizes <= 9223372036854775807, got (8, 18446744073709551616)",
        ),
        (
            GOOD,
            dict(batch_size=2**63),
            ValueError,
            "batch_size: expected an int <= 9223372036854775807, got 9223372036854775808",
        ),
        (
            GOOD,
            dict(tile_size=16, overlap=16),
            ValueError,
            "overlap: expected 0 <= overlap < tile_size on each axis, got overlap (16, 16) with tile_size (16, 16)",
        ),
        (
            GOOD,
            dict(tile_size=(8, 8), overlap=(2, -1)),
            ValueError,
            "overlap: expected 0 <= overlap < tile_size on each axis, got overlap (2, -1) with tile_size (8, 8)",
        ),
        (GOOD, dict(batch_size=0), ValueError, "batch_size: expected an int >= 1, got 0"),
        (GOOD, dict(context=-1), ValueError, "context: expected an int >= 0, got -1"),
        (GOOD, dict(batch_size=2.0), TypeError, "batch_size: expected an int, got float 2.0"),
        (
            GOOD,
            dict(window="tukey"),
            ValueError,
            "window: expected 'hann', 'gaussian', 'box', 'merge_tiles' or an array, got 'tukey'",
        ),
        (GOOD, dict(window=3), TypeError, "window: expected a window name or an array, got int 3"),
        (GOOD, dict(edges="outside"), ValueError, "edges: expected 'inside' or 'reflect', got 'outside'"),
        (GOOD, dict(edges=True), TypeError, "edges: expected 'inside' or 'reflect', got bool True"),
        (
            GOOD,
            dict(window="merge_tiles", tile_size=(16, 8), overlap=2),
            ValueError,
            "window: 'merge_tiles' needs square tiles and one overlap, got tile_size (16, 8) and overlap (2, 2)",
        ),
        (
            GOOD,
            dict(tile_size=8, overlap=2, window=numpy.ones((12, 12))),
            ValueError,
            "window: expected shape (th*s, tw*s) or (th*s, tw*s, 1) for tile_size (8, 8) and a whole scale s >= 1,"
            " got shape (12, 12)",
        ),
        (
            GOOD,
            dict(tile_size=8, overlap=2, window=numpy.ones((16, 16, 3))),
            ValueError,
            "window: expected shape (th*s, tw*s) or (th*s, tw*s, 1) for tile_size (8, 8) and a whole scale s >= 1,"
            " got shape (16, 16, 3)",
        ),
        (
            GOOD,
            dict(tile_size=8, overlap=2, window=numpy.ones((8, 8), complex)),
            TypeError,
            "window: expected a real dtype, got complex128",
        ),
        (
            GOOD,
            dict(tile_size=8, overlap=2, window=numpy.full((8, 8), numpy.nan)),
            ValueError,
            "window: expected finite weights >= 0",
        ),
        (
            GOOD,
            dict(tile_size=8, overlap=2, window=-numpy.ones((8, 8))),
            ValueError,
            "window: expected finite weights >= 0",
        ),
        (
            GOOD,
            dict(tile_size=8, overlap=2, window=numpy.outer(numpy.hanning(8), numpy.hanning(8))),
            ValueError,
            "window: its weights add up to 0 at some pixels of the result (where only the edge of one tile covers "
            "the picture's border); use a window that is positive at its edges",
        ),
    ],
)
def test_bad_input_is_refused_before_the_model_runs(xp, image, kwargs, error, message):
    if isinstance(image, tuple):  # (shape, dtype) of an array of the module under test
        image = xp.zeros(image[0], dtype=image[1])
    with pytest.raises(error) as caught:
        upscale_tiled(image, never_called, **kwargs)
    assert str(caught.value) == message


def test_model_and_window_of_another_array_module_are_refused(xp):
    with pytest.raises(TypeError) as caught:
        upscale_tiled(xp.zeros((8, 8, 3)), None)
    assert str(caught.value) == "model: expected a callable, got NoneType None"
    if xp is not numpy:
        with pytest.raises(TypeError) as caught:
            upscale_tiled(numpy.zeros((8, 8, 3)), never_called, tile_size=8, overlap=2, window=xp.ones((8, 8)))
        assert str(caught.value) == (
            "window: expected an array of the image's module (numpy) or a NumPy array, got cupy.ndarray"
        )


# ---- bad model output ---------------------------------------------------------------------------------


def returning(xp, *shapes, module=None, dtype=numpy.float32):
    """A model that returns zeros of the given shapes, one per call (the last one repeated)."""
    calls = []

    def model(x):
        calls.append(None)
        return (module or xp).zeros(shapes[min(len(calls), len(shapes)) - 1], dtype=dtype)

    return model


@pytest.mark.parametrize(
    "shapes, message",
    [
        (
            [(4, 3, 16)],
            "model output for batch 0 (tiles 0 to 3): expected shape (4, C', 8*s, 8*s) for a whole number"
            " s >= 1, got (4, 3, 16)",
        ),
        (
            [(3, 3, 16, 16)],
            "model output for batch 0 (tiles 0 to 3): expected shape (4, C', 8*s, 8*s) for a whole"
            " number s >= 1, got (3, 3, 16, 16)",
        ),
        (
            [(4, 3, 12, 12)],
            "model output for batch 0 (tiles 0 to 3): expected shape (4, C', 8*s, 8*s) for a whole"
            " number s >= 1, got (4, 3, 12, 12)",
        ),
        (
            [(4, 3, 16, 24)],
            "model output for batch 0 (tiles 0 to 3): expected shape (4, C', 8*s, 8*s) for a whole"
            " number s >= 1, got (4, 3, 16, 24)",
        ),
        (
            [(4, 3, 16, 16), (4, 3, 24, 24)],
            "model output for batch 1 (tiles 4 to 7): expected shape (4, 3, 16, 16), got (4, 3, 24, 24)",
        ),
        (
            [(4, 3, 16, 16), (4, 1, 16, 16)],
            "model output for batch 1 (tiles 4 to 7): expected shape (4, 3, 16, 16), got (4, 1, 16, 16)",
        ),
        (
            [(4, 3, 16, 16), (4, 3, 16, 16), (4, 3, 16, 16)],
            "model output for batch 2 (tiles 8 to 8): expected shape (1, 3, 16, 16), got (4, 3, 16, 16)",
        ),
    ],
)
def test_bad_model_output_names_the_batch_and_both_shapes(xp, shapes, message):
    with pytest.raises(ValueError) as caught:
        upscale_tiled(xp.zeros((20, 20, 3)), returning(xp, *shapes), tile_size=8, overlap=2, batch_size=4)
    assert str(caught.value) == message


def test_model_output_of_another_module_or_complex_dtype_is_refused(xp):
    image = xp.zeros((8, 8, 3))
    for model, message in [
        (returning(xp, (1, 3, 8, 8), module=numpy), "expected an array of cupy, got numpy.ndarray"),
        (returning(xp, (1, 3, 8, 8), dtype=numpy.complex64), "expected a real dtype, got complex64"),
    ]:
        with pytest.raises(TypeError) as caught:
            upscale_tiled(image, model, tile_size=8, overlap=2)
        assert str(caught.value) == "model output for batch 0 (tiles 0 to 0): " + message


def test_an_array_window_for_another_scale_is_refused_at_batch_0(xp):
    with pytest.raises(ValueError) as caught:
        upscale_tiled(xp.zeros((8, 8, 3)), enlarge(2), tile_size=8, overlap=2, window=numpy.ones((24, 24)))
    assert str(caught.value) == (
        "window: shape (24, 24) is for scale 3, but the model output for batch 0 has "
        "scale 2 (expected window shape (16, 16))"
    )


def test_merge_tiles_window_with_an_enlarged_tile_below_4_is_refused_at_batch_0(xp):
    with pytest.raises(ValueError) as caught:
        upscale_tiled(xp.zeros((8, 8, 3)), enlarge(1), tile_size=2, overlap=0, window="merge_tiles")
    assert str(caught.value) == (
        "window: 'merge_tiles' needs tile_size * scale >= 4 (its map's sigma is a quarter of that and "
        "must not be 0), got 2 * 1 for the model output of batch 0"
    )


# ---- progress and imports ---------------------------------------------------------------------------


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_goes_to_stderr_on_a_terminal_only(xp, capsys, monkeypatch, terminal):
    pytest.importorskip("tqdm")
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    host, image = picture(xp, (20, 20, 3))
    out = upscale_tiled(image, enlarge(1), tile_size=8, overlap=2, batch_size=4, progress=True)
    numpy.testing.assert_allclose(xp.asnumpy(out), enlarged(host, 1), rtol=1e-6)
    captured = capsys.readouterr()
    assert captured.out == "" and ("9/9" in captured.err) == terminal and ("\r" in captured.err) == terminal


def test_progress_without_tqdm_is_an_import_error(xp, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ImportError) as caught:
        upscale_tiled(xp.zeros((8, 8, 3)), never_called, progress=True)
    assert str(caught.value) == "progress=True needs tqdm: pip install tqdm (or korvane[demo])"


def test_importing_the_packages_loads_neither_cupy_nor_the_native_modules():
    code = (
        "import sys, korvane.upscale, korvane.utils; korvane.upscale.upscale_tiled; korvane.utils.pixelshift_infer;"
        " print(sorted(m for m in ('cupy', 'korvane.upscale.tile', 'korvane.utils.dimention') if m in sys.modules))"
    )
    # Without KORVANE_BACKEND, which would register a backend as cupy on importing korvane.
    env = {k: v for k, v in os.environ.items() if k != "KORVANE_BACKEND"}
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    assert run.stdout == "[]\n"
