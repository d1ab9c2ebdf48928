"""Pixel-shift split into dim² decimated sub-images and fusion of per-sub-image results."""

import traceback

import numpy
import pytest

from korvane.utils import dimention as dm

from leakcheck import assert_no_leak
from recorders import RecordingCp

RNG = numpy.random.default_rng(5)
MEAN_MSG = "Mean must be a single value or a tuple of three values."
M3 = (0.1, 0.2, 0.3)


def make(xp, shape, dtype=numpy.float64):
    host = (RNG.random(shape) * 10).astype(dtype)
    return host, xp.asarray(host)


def shares(xp, a, b):
    return bool(getattr(xp, "shares_memory", numpy.shares_memory)(a, b))


def decimated(host, dim):
    """out[i*dim + j, ch, y, x] = host[i + dim*y, j + dim*x, ch], built by reshaping."""
    h, w, c = host.shape
    blocks = host.reshape(h // dim, dim, w // dim, dim, c)  # (y, i, x, j, ch)
    return blocks.transpose(1, 3, 4, 0, 2).reshape(dim * dim, c, h // dim, w // dim)


class Calls:
    def __init__(self, target=None):
        self.calls, self.target = [], target

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        assert self.target is not None, "must not be called"
        return self.target(*args, **kwargs)


# ---- image_to_batch_pixelshift ---------------------------------------------------------------


@pytest.mark.parametrize(
    "dim, shape, dtype",
    [
        (1, (4, 6, 3), numpy.float64),
        (2, (4, 6, 3), numpy.float32),
        (3, (6, 9, 2), numpy.uint8),
        (4, (8, 16, 1), numpy.float64),
        (2, (0, 0, 3), numpy.float64),
        (5, (5, 10, 4), numpy.int16),
    ],
)
def test_sub_image_i_j_takes_every_dim_th_pixel_from_offset_i_j(xp, dim, shape, dtype):
    host, image = make(xp, shape, dtype)
    out = dm.image_to_batch_pixelshift(image, dim, swap_rb=False)
    assert out.shape == (dim * dim, shape[2], shape[0] // dim, shape[1] // dim) and out.dtype == dtype
    assert out.flags.c_contiguous and not shares(xp, out, image)
    numpy.testing.assert_array_equal(xp.asnumpy(out), decimated(host, dim))
    numpy.testing.assert_array_equal(xp.asnumpy(image), host)


@pytest.mark.parametrize(
    "dim, shape", [(2, (0, 0, 3)), (3, (0, 0, 1)), (2, (0, 0, 4)), (2, (4, 6, 1)), (2, (4, 2, 4)), (1, (2, 2, 5))]
)
def test_any_channel_count_is_split_with_the_colour_swap(xp, dim, shape):
    order = [2, 1, 0, *range(3, shape[2])] if shape[2] >= 3 else list(range(shape[2]))  # alpha etc. stay
    host, image = make(xp, shape)
    out = dm.image_to_batch_pixelshift(image, dim)
    assert out.shape == (dim * dim, shape[2], shape[0] // dim, shape[1] // dim)
    numpy.testing.assert_array_equal(xp.asnumpy(out), decimated(host[..., order], dim))


def test_default_dim_is_four_and_channels_are_swapped(xp):
    host, image = make(xp, (16, 12, 3))
    out = xp.asnumpy(dm.image_to_batch_pixelshift(image))
    assert out.shape == (16, 3, 4, 3)
    numpy.testing.assert_array_equal(out[1], host[0::4, 1::4, ::-1].transpose(2, 0, 1))
    numpy.testing.assert_array_equal(out[4], host[1::4, 0::4, ::-1].transpose(2, 0, 1))
    numpy.testing.assert_array_equal(out, decimated(host[..., ::-1], 4))


@pytest.mark.parametrize("swap", [True, False])
@pytest.mark.parametrize("mean", [None, 0.5, (0.5,), [0.5, 0.5, 0.5], True, M3])
@pytest.mark.parametrize("scale", [None, 2.0])
def test_sub_images_hold_swapped_image_minus_mean_times_scale(xp, swap, mean, scale):
    host, image = make(xp, (6, 4, 3))
    processed = host[..., ::-1] if swap else host
    if mean is not None:
        processed = processed - numpy.resize(numpy.asarray(mean, dtype=float), 3)
    processed = processed * scale if scale is not None else processed
    out = dm.image_to_batch_pixelshift(image, 2, scale, mean, swap)
    numpy.testing.assert_allclose(xp.asnumpy(out), decimated(processed, 2), rtol=1e-12)


def test_integer_image_takes_the_mean_in_its_own_type(xp):
    host = RNG.integers(40, 250, (4, 4, 3)).astype(numpy.uint8)
    out = dm.image_to_batch_pixelshift(xp.asarray(host), 2, mean=(10.7, 20.2, 30.9), swap_rb=False)
    numpy.testing.assert_array_equal(xp.asnumpy(out), decimated(host - numpy.uint8([10, 20, 30]), 2))


@pytest.mark.parametrize(
    "swap, copying, caller_after",
    [
        (False, None, lambda h: (h - M3) * 2.0),
        (True, None, lambda h: h),  # the package's swap copies
        (True, False, lambda h: (h - M3[::-1]) * 2.0),  # a swap that returns a view of the caller's array
        (True, True, lambda h: h),
    ],
)
def test_mean_and_scale_change_the_callers_array_unless_the_swap_copies(xp, monkeypatch, swap, copying, caller_after):
    if copying is not None:
        monkeypatch.setattr(dm, "bgr_to_rgb", (lambda a: a[..., ::-1].copy()) if copying else (lambda a: a[..., ::-1]))
    host, image = make(xp, (4, 4, 3))
    out = dm.image_to_batch_pixelshift(image, 2, 2.0, M3, swap)
    numpy.testing.assert_allclose(xp.asnumpy(image), caller_after(host), rtol=1e-12)
    assert not shares(xp, out, image)


@pytest.mark.parametrize("swap", [True, 1, "x", False, 0, None, ()])
def test_bgr_to_rgb_gets_the_image_once_when_swap_rb_is_true(xp, monkeypatch, swap):
    swapped = make(xp, (4, 4, 3), numpy.float64)[1]
    swapper = Calls(lambda a: swapped)
    monkeypatch.setattr(dm, "bgr_to_rgb", swapper)
    rec = RecordingCp(xp)
    monkeypatch.setattr(dm, "cp", rec)
    image = make(xp, (4, 4, 3), numpy.float32)[1]
    out = dm.image_to_batch_pixelshift(image, 2, None, 0.5, swap)
    assert len(swapper.calls) == (1 if swap else 0)
    assert all(len(a) == 1 and a[0] is image and kw == {} for a, kw in swapper.calls)
    # The mean array and the output take the dtype of the swapped image.
    expected = numpy.float64 if swap else numpy.float32
    assert out.dtype == expected and [kw for _, kw in rec.array_calls] == [{"dtype": expected}]
    assert tuple(rec.array_calls[0][0][0]) == (0.5, 0.5, 0.5)


@pytest.mark.parametrize(
    "shape, kwargs, exc, message",
    [
        (None, dict(dim=0), ValueError, "dim must be ≥ 1"),
        (None, dict(dim=-3), ValueError, "dim must be ≥ 1"),
        ((5, 5), dict(dim=0), ValueError, "dim must be ≥ 1"),
        (
            None,
            dict(dim=0, scalefactor=2),
            TypeError,
            "Argument 'scalefactor' has incorrect type (expected float, got int)",
        ),
        (None, dict(dim=2.0), TypeError, "Argument 'dim' has incorrect type (expected int, got float)"),
        ((8, 8), {}, ValueError, "need more than 2 values to unpack"),
        ((5, 5), {}, ValueError, "need more than 2 values to unpack"),
        ((8,), {}, ValueError, "need more than 1 value to unpack"),
        ((), {}, ValueError, "need more than 0 values to unpack"),
        ((1, 8, 8, 3), {}, ValueError, "too many values to unpack (expected 3)"),
        ((513, 512, 1), {}, ValueError, "Image 513×512 not divisible by dim=4"),
        ((8, 6, 3), {}, ValueError, "Image 8×6 not divisible by dim=4"),
        ((6, 8, 3), dict(dim=3, mean=(1, 2)), ValueError, "Image 6×8 not divisible by dim=3"),
        ((8, 8, 3), dict(mean=(0.1, 0.2)), ValueError, MEAN_MSG),
        ((8, 8, 3), dict(mean=[]), ValueError, MEAN_MSG),
    ],
)
def test_errors_and_their_precedence(xp, monkeypatch, shape, kwargs, exc, message):
    swapper = Calls(lambda a: a)
    monkeypatch.setattr(dm, "bgr_to_rgb", swapper)
    host, image = (None, None) if shape is None else make(xp, shape)
    with pytest.raises(exc) as err:
        dm.image_to_batch_pixelshift(image, **{"scalefactor": 3.0, **kwargs})
    assert str(err.value) == message
    assert len(swapper.calls) == (message == MEAN_MSG)  # the checks run before the swap
    if image is not None:
        numpy.testing.assert_array_equal(xp.asnumpy(image), host)


# ---- pixelshift_fuse ---------------------------------------------------------------------


def placed(pred, idx, dim):
    """Each value of pred fills the cyclic dim × dim block whose top-left corner is its sampled pixel."""
    i, j = idx // dim, idx % dim
    c, h, w = pred.shape
    out = numpy.zeros((c, h * dim, w * dim))
    for y in range(h):
        for x in range(w):
            rows = (dim * y + i + numpy.arange(dim)) % (h * dim)
            cols = (dim * x + j + numpy.arange(dim)) % (w * dim)
            out[:, rows[:, None], cols[None, :]] = pred[:, y, x][:, None, None]
    return out


@pytest.mark.parametrize(
    "dim, start_idx, hw",
    [
        (4, 5, (2, 3)),
        (4, 0, (2, 2)),
        (4, 1, (2, 2)),
        (4, 3, (2, 2)),
        (4, 4, (2, 2)),
        (1, 0, (3, 4)),
        (1, 3, (5, 2)),
        (4, -1, (2, 2)),
        (4, 17, (3, 2)),
        (3, 8, (2, 2)),
        (2, -5, (3, 3)),
        (3, 40, (2, 3)),
    ],
)
def test_each_result_is_enlarged_and_shifted_into_place(xp, dim, start_idx, hw):
    preds_host, preds = make(xp, (2, 2) + hw)
    acc_host, acc = make(xp, (2, hw[0] * dim, hw[1] * dim), numpy.float32)
    hits_host = numpy.arange(acc_host.size, dtype=numpy.int32).reshape(acc_host.shape)
    hits = xp.asarray(hits_host)
    assert dm.pixelshift_fuse(preds, acc, hits, start_idx, dim) is None
    expected = acc_host + sum(placed(preds_host[k], start_idx + k, dim) for k in range(2)).astype(numpy.float32)
    numpy.testing.assert_allclose(xp.asnumpy(acc), expected, rtol=1e-6)
    numpy.testing.assert_array_equal(xp.asnumpy(hits), hits_host + 2)
    numpy.testing.assert_array_equal(xp.asnumpy(preds), preds_host)


class Sink:
    """An accumulator that keeps what is added to it."""

    def __init__(self):
        self.added = []

    def __iadd__(self, other):
        self.added.append(other)
        return self


def test_acc_receives_float32_arrays_and_hits_the_integer_one(xp):
    preds_host, preds = make(xp, (3, 2, 2, 2))  # float64 values, rounded once to float32
    acc, hits = Sink(), Sink()
    dm.pixelshift_fuse(preds, acc, hits, 2, 2)
    assert [type(v) is int and v == 1 for v in hits.added] == [True] * 3
    assert [(a.dtype, a.shape) for a in acc.added] == [(numpy.float32, (2, 4, 4))] * 3
    for k, a in enumerate(acc.added):
        numpy.testing.assert_array_equal(xp.asnumpy(a), placed(preds_host[k], 2 + k, 2).astype(numpy.float32))


@pytest.mark.parametrize("chunks", [[16], [8, 8], [5, 11], [1] * 16, [3, 4, 9]])
@pytest.mark.parametrize("reverse", [False, True])
def test_fusing_in_chunks_equals_fusing_the_whole_batch(xp, chunks, reverse):
    preds = make(xp, (16, 3, 2, 3))[1]
    whole_acc, whole_hits = xp.zeros((3, 8, 12), dtype=numpy.float32), xp.zeros((3, 8, 12), dtype=numpy.int32)
    dm.pixelshift_fuse(preds, whole_acc, whole_hits, 0, 4)
    acc, hits = xp.zeros((3, 8, 12), dtype=numpy.float32), xp.zeros((3, 8, 12), dtype=numpy.int32)
    starts = numpy.cumsum([0] + chunks[:-1])
    for start, n in list(zip(starts, chunks))[:: -1 if reverse else 1]:
        dm.pixelshift_fuse(preds[start : start + n], acc, hits, int(start), 4)
    numpy.testing.assert_allclose(xp.asnumpy(acc), xp.asnumpy(whole_acc), rtol=1e-6)
    numpy.testing.assert_array_equal(xp.asnumpy(hits), numpy.full((3, 8, 12), 16))
    numpy.testing.assert_array_equal(xp.asnumpy(whole_hits), numpy.full((3, 8, 12), 16))


@pytest.mark.parametrize("dim, shape", [(1, (3, 5, 2)), (2, (4, 6, 3)), (3, (6, 9, 3)), (4, (8, 12, 1))])
def test_identity_network_fuses_to_the_cyclic_box_mean_ending_at_each_pixel(xp, dim, shape):
    host, image = make(xp, shape)
    acc, hits = xp.zeros((shape[2],) + shape[:2], dtype=numpy.float32), xp.zeros(shape[:2], dtype=numpy.int32)
    dm.pixelshift_fuse(dm.image_to_batch_pixelshift(image, dim, swap_rb=False), acc, hits, 0, dim)
    # pixel (r, c): mean of rows r-dim+1 .. r and columns c-dim+1 .. c, wrapping at the top and left
    box = sum(numpy.roll(host, (a, b), axis=(0, 1)) for a in range(dim) for b in range(dim)) / dim**2
    numpy.testing.assert_array_equal(xp.asnumpy(hits), numpy.full(shape[:2], dim * dim))
    numpy.testing.assert_allclose(xp.asnumpy(acc / hits), box.transpose(2, 0, 1), rtol=1e-5)


@pytest.mark.parametrize("dim", [4, 0])
def test_empty_preds_leave_acc_and_hits_unchanged(xp, dim):
    acc_host, acc = make(xp, (3, 8, 8), numpy.float32)
    hits = xp.ones((3, 8, 8), dtype=numpy.int32)
    assert dm.pixelshift_fuse(xp.zeros((0, 3, 2, 2)), acc, hits, 0, dim) is None
    numpy.testing.assert_array_equal(xp.asnumpy(acc), acc_host)
    numpy.testing.assert_array_equal(xp.asnumpy(hits), numpy.ones((3, 8, 8)))


def test_fusion_errors(xp):
    for kwargs, message in [
        (dict(start_idx=True, dim=4), "Argument 'start_idx' has incorrect type (expected int, got bool)"),
        (dict(start_idx=0.0, dim=4), "Argument 'start_idx' has incorrect type (expected int, got float)"),
        (dict(start_idx=0, dim=4.0), "Argument 'dim' has incorrect type (expected int, got float)"),
    ]:
        with pytest.raises(TypeError) as err:
            dm.pixelshift_fuse(None, None, None, **kwargs)
        assert str(err.value) == message
    with pytest.raises(ZeroDivisionError) as err:
        dm.pixelshift_fuse(xp.zeros((1, 3, 2, 2)), xp.zeros((3, 2, 2)), xp.zeros((3, 2, 2)), 0, 0)
    with pytest.raises(ZeroDivisionError) as expected:
        divmod(0, 0)
    assert str(err.value) == str(expected.value)


# ---- traceback entries and reference leaks --------------------------------------------------

SPLIT, FUSE = ["image_to_batch_pixelshift"], ["pixelshift_fuse"]
CASES = {  # name: (call, the module's traceback entries when it raises)
    "split": (lambda xp: dm.image_to_batch_pixelshift(xp.zeros((8, 8, 3)), 2, 2.0, M3), None),
    "split-noswap": (lambda xp: dm.image_to_batch_pixelshift(xp.zeros((4, 4, 3)), 1, None, (0.5,), False), None),
    "dim": (lambda xp: dm.image_to_batch_pixelshift(None, 0), SPLIT),
    "unpack-short": (lambda xp: dm.image_to_batch_pixelshift(xp.zeros((4, 4)), 2), SPLIT),
    "unpack-long": (lambda xp: dm.image_to_batch_pixelshift(xp.zeros((1, 4, 4, 3)), 2), SPLIT),
    "divisible": (lambda xp: dm.image_to_batch_pixelshift(xp.zeros((6, 8, 3)), 4), SPLIT),
    "mean": (lambda xp: dm.image_to_batch_pixelshift(xp.zeros((4, 4, 3)), 2, None, (1, 2)), SPLIT),
    "broadcast-error": (lambda xp: dm.image_to_batch_pixelshift(xp.zeros((8, 8, 2)), 2, None, M3), SPLIT),
    "fuse": (lambda xp: dm.pixelshift_fuse(xp.zeros((4, 3, 2, 2)), xp.zeros((3, 4, 4), numpy.float32), 0, 0, 2), None),
    "fuse-empty": (lambda xp: dm.pixelshift_fuse(xp.zeros((0, 3, 2, 2)), 0, 0, 0, 2), None),
    "fuse-zero-dim": (lambda xp: dm.pixelshift_fuse(xp.zeros((1, 3, 2, 2)), 0, 0, 0, 0), FUSE),
    "fuse-shape": (lambda xp: dm.pixelshift_fuse(xp.zeros((1, 3, 2, 2)), xp.zeros((3, 5, 5)), 0, 0, 2), FUSE),
}


@pytest.mark.parametrize("case", [name for name, (_, entries) in CASES.items() if entries])
def test_exceptions_leaving_a_body_name_the_function(xp, case):
    call, entries = CASES[case]
    with pytest.raises(Exception) as err:
        call(xp)
    frames = [f.name for f in traceback.extract_tb(err.value.__traceback__)]
    assert [f for f in frames if f.startswith("korvane.utils.dimention.")] == ["korvane.utils.dimention." + entries[0]]


@pytest.mark.parametrize("case", CASES)
def test_no_reference_leaks(xp, case):
    # NumPy's bounded small-allocation cache takes about a thousand calls to fill.
    assert_no_leak(lambda: CASES[case][0](xp), calls=100, warmup=1000)
