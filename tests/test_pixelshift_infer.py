"""korvane.utils.pixelshift_infer: the pixel-shift road in one call, bit for bit, and its errors."""

import sys

import numpy
import pytest

from korvane.utils import dimention as dm
from korvane.utils import pixelshift_infer

RNG = numpy.random.default_rng(12)


def picture(xp, shape, dtype=numpy.float32):
    host = (RNG.random(shape) * 200).astype(dtype)
    return host, xp.asarray(host)


def network(s=1, channels=None):
    """Not linear, so that every sub-image's result differs; s enlarges, channels picks some."""

    def model(x):
        y = (x * x * 0.01 + x).repeat(s, axis=2).repeat(s, axis=3)
        return y if channels is None else y[:, :channels]

    return model


def manual_road(xp, image, model, dim, chunk, scalefactor, mean, swap_rb):
    subs = dm.image_to_batch_pixelshift(image.copy(), dim, scalefactor, mean, swap_rb)
    acc = hits = None
    for start in range(0, dim * dim, chunk):
        preds = model(subs[start : start + chunk])
        if acc is None:
            acc = xp.zeros((preds.shape[1], preds.shape[2] * dim, preds.shape[3] * dim), dtype=numpy.float32)
            hits = xp.zeros((1,) + acc.shape[1:], dtype=numpy.float32)
        dm.pixelshift_fuse(preds, acc, hits, start, dim)
    return acc / hits


@pytest.mark.parametrize(
    "shape, dtype, dim, batch_size, options, model",
    [
        ((16, 24, 3), numpy.float32, 4, 16, {}, network()),
        ((16, 24, 3), numpy.float32, 4, 5, dict(scalefactor=0.5, mean=(0.1, 0.2, 0.3)), network()),
        ((9, 6, 3), numpy.float64, 3, 2, dict(scalefactor=2.0, mean=0.25, swap_rb=False), network(2)),
        ((8, 8, 1), numpy.uint8, 2, 3, dict(swap_rb=False), network(1, channels=1)),
        ((10, 10, 3), numpy.int16, 1, 1, dict(mean=[3]), network(3, channels=2)),
        ((8, 8, 3), numpy.float32, 2, 4, dict(mean=numpy.float32(0.1)), network()),
        ((8, 8, 3), numpy.float32, 2, 4, dict(mean=numpy.array([0.1, 0.2, 0.3])), network()),
    ],
)
def test_equals_the_manual_road_bit_for_bit(xp, shape, dtype, dim, batch_size, options, model):
    host, image = picture(xp, shape, dtype)
    mean = numpy.asarray(options.get("mean")).tolist()  # the split itself takes Python numbers only
    expected = manual_road(
        xp, image, model, dim, batch_size, options.get("scalefactor"), mean, options.get("swap_rb", True)
    )
    out = pixelshift_infer(image, model, dim, batch_size, **options)
    assert out.shape == expected.shape and out.dtype == numpy.float32
    numpy.testing.assert_array_equal(xp.asnumpy(out), xp.asnumpy(expected))
    numpy.testing.assert_array_equal(xp.asnumpy(image), host)  # even where the split works in place


def never_called(x):
    raise AssertionError("the model must not be called")


@pytest.mark.parametrize(
    "image, kwargs, error, message",
    [
        (
            "host",
            {},
            TypeError,
            "image: expected a CuPy array (or the NumPy stand-in from korvane.testing.use_numpy()), got numpy.ndarray",
        ),
        ((8, 8, 3), dict(model=None), TypeError, "model: expected a callable, got NoneType None"),
        ((8, 8, 3), dict(dim=0), ValueError, "dim: expected an int >= 1, got 0"),
        ((8, 8, 3), dict(dim=True), TypeError, "dim: expected an int, got bool True"),
        ((8, 8, 3), dict(batch_size=0), ValueError, "batch_size: expected an int >= 1, got 0"),
        ((8, 8, 3), dict(scalefactor="2"), TypeError, "scalefactor: expected a real number or None, got str '2'"),
        ((8, 6, 3), {}, ValueError, "image: height and width must be multiples of dim=4, got shape (8, 6, 3)"),
        ((8, 8, 1), {}, ValueError, "image: swap_rb=True needs 3 channels, got shape (8, 8, 1)"),
        (
            (8, 8, 3),
            dict(mean=(0.1, 0.2)),
            ValueError,
            "mean: expected a number or a sequence of 1 or 3 numbers, got 2 values",
        ),
        (
            (8, 8, 3),
            dict(mean="abc"),
            TypeError,
            "mean: expected a number or a sequence of 1 or 3 numbers, got str 'abc'",
        ),
        (
            (8, 8, 3),
            dict(mean=(0.1, "b", 0.3)),
            TypeError,
            "mean: expected a number or a sequence of 1 or 3 numbers, got tuple (0.1, 'b', 0.3)",
        ),
        (
            (8, 8, 1),
            dict(mean=0.5, swap_rb=False),
            ValueError,
            "mean: is subtracted per channel and needs 3 channels, got 1",
        ),
        ((8, 8), {}, ValueError, "image: expected an (H, W, C) array, got shape (8, 8)"),
    ],
)
def test_bad_input_is_refused_before_the_model_runs(xp, image, kwargs, error, message):
    image = numpy.zeros((8, 8, 3)) if image == "host" else xp.zeros(image)
    kwargs = {"model": never_called, **kwargs}
    with pytest.raises(error) as caught:
        pixelshift_infer(image, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("dtype", [numpy.uint8, numpy.bool_])
def test_scalefactor_needs_a_floating_point_image(xp, dtype):
    with pytest.raises(TypeError) as caught:
        pixelshift_infer(xp.zeros((8, 8, 3), dtype=dtype), never_called, scalefactor=1.0)
    assert str(caught.value) == (
        f"image: scalefactor needs a floating-point image, got {numpy.dtype(dtype)}; convert it first "
        "(korvane.utils.dtypes.to_float32)"
    )


@pytest.mark.parametrize(
    "shapes, message",
    [
        (
            [(3, 3, 2, 2)],
            "model output for batch 0 (sub-images 0 to 3): expected shape (4, C', 2*s, 2*s) for a whole"
            " number s >= 1, got (3, 3, 2, 2)",
        ),
        (
            [(4, 3, 3, 3)],
            "model output for batch 0 (sub-images 0 to 3): expected shape (4, C', 2*s, 2*s) for a whole"
            " number s >= 1, got (4, 3, 3, 3)",
        ),
        (
            [(4, 3, 2, 2), (4, 3, 4, 4)],
            "model output for batch 1 (sub-images 4 to 7): expected shape (4, 3, 2, 2), got (4, 3, 4, 4)",
        ),
    ],
)
def test_bad_model_output_names_the_batch_and_both_shapes(xp, shapes, message):
    calls = []

    def model(x):
        calls.append(None)
        return xp.zeros(shapes[min(len(calls), len(shapes)) - 1], dtype=numpy.float32)

    with pytest.raises(ValueError) as caught:
        pixelshift_infer(xp.zeros((8, 8, 3)), model, dim=4, batch_size=4)
    assert str(caught.value) == message


def test_progress_without_tqdm_is_an_import_error(xp, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ImportError) as caught:
        pixelshift_infer(xp.zeros((8, 8, 3)), never_called, progress=True)
    assert str(caught.value) == "progress=True needs tqdm: pip install tqdm (or korvane[demo])"
