"""Images to NCHW batches and back: layouts, normalisation, collaborators, in-place effects."""

import traceback

import numpy
import pytest

from korvane.utils import dimention as dm

from leakcheck import assert_no_leak
from recorders import RecordingCp

RNG = numpy.random.default_rng(11)
MEAN_MSG = "Mean must be a single value or a tuple of three values."
M3 = (0.1, 0.2, 0.3)


class Recorder:
    """Stands in for a collaborator: records (args, kwargs) and forwards, or refuses to be called."""

    def __init__(self, target):
        self.calls, self.target = [], target

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        assert self.target is not None, "collaborator must not be called"
        return self.target(*args, **kwargs)


@pytest.fixture
def record(monkeypatch):
    def install(name, target=...):
        recorder = Recorder(getattr(dm, name) if target is ... else target)
        monkeypatch.setattr(dm, name, recorder)
        return recorder

    return install


@pytest.fixture
def rec_cp(monkeypatch, xp):
    wrapper = RecordingCp(xp)
    monkeypatch.setattr(dm, "cp", wrapper)
    return wrapper


def shares(xp, a, b):
    return bool(getattr(xp, "shares_memory", numpy.shares_memory)(a, b))


def make(xp, shape, dtype=numpy.float64):
    host = (RNG.random(shape) * 10).astype(dtype)
    return host, xp.asarray(host)


def normalised(host, swap, mean, scale):
    """(optionally channel-reversed image - per-channel mean) * scale, on the host."""
    out = host[..., ::-1] if swap else host
    if mean is not None:
        out = out - numpy.resize(numpy.asarray(mean, dtype=float), 3)
    return out * scale if scale is not None else out


# ---- image_to_batch -----------------------------------------------------------------------


@pytest.mark.parametrize("layout", ["NCHW", None, "ambiguous", "chw?"])
@pytest.mark.parametrize("options", [{}, dict(size=4, mean=1.0, scalefactor=2.0, swap_rb=True)])
def test_nchw_batch_is_returned_as_the_same_object(xp, record, layout, options):
    host, batch = make(xp, (2, 3, 8, 8))
    record("bgr_to_rgb", None), record("resize", None)
    assert dm.image_to_batch(batch, layout=layout, **options) is batch
    numpy.testing.assert_array_equal(xp.asnumpy(batch), host)


@pytest.mark.parametrize("layout", ["NHWC", None])
def test_nhwc_batch_becomes_a_permuted_view(xp, record, layout):
    host, batch = make(xp, (2, 8, 6, 3))
    record("bgr_to_rgb", None), record("resize", None)
    out = dm.image_to_batch(batch, 2.0, 4, 1.0, True, layout)
    assert out.shape == (2, 3, 8, 6) and shares(xp, out, batch)
    numpy.testing.assert_array_equal(xp.asnumpy(out), host.transpose(0, 3, 1, 2))
    numpy.testing.assert_array_equal(xp.asnumpy(batch), host)


@pytest.mark.parametrize(
    "layout, shape, expected",
    [
        ("HWC", (6, 8, 3), (1, 3, 6, 8)),
        ("HW", (6, 8), (1, 1, 6, 8)),
        ("CHW", (3, 6, 8), (1, 3, 6, 8)),
        ("NHWC", (2, 6, 8, 3), (2, 3, 6, 8)),
        ("NCHW", (2, 3, 6, 8), (2, 3, 6, 8)),
    ],
)
def test_concrete_layouts_are_used_without_inference(xp, record, layout, shape, expected):
    guess = record("guess_image_layout", None)
    assert dm.image_to_batch(make(xp, shape)[1], swap_rb=False, layout=layout).shape == expected
    assert guess.calls == []


@pytest.mark.parametrize("layout", [None, "ambiguous", "unsupported", "hwc", "", 3])
def test_other_layout_values_infer_and_then_behave_like_the_inferred_layout(xp, record, layout):
    host, image = make(xp, (6, 8, 3))
    guess = record("guess_image_layout")
    out = dm.image_to_batch(image, 2.0, None, M3, True, layout)
    assert len(guess.calls) == 1 and guess.calls[0][0][0] is image and guess.calls[0][1] == {}
    explicit = dm.image_to_batch(xp.asarray(host), 2.0, None, M3, True, "HWC")
    numpy.testing.assert_array_equal(xp.asnumpy(out), xp.asnumpy(explicit))


@pytest.mark.parametrize("guessed, message", [("CHW", None), (42, "Unsupported image layout: 42")])
def test_the_guessed_layout_decides_the_conversion(xp, monkeypatch, guessed, message):
    host, image = make(xp, (6, 8, 3))
    monkeypatch.setattr(dm, "guess_image_layout", lambda a: guessed)
    if message:
        with pytest.raises(ValueError) as err:
            dm.image_to_batch(image, layout=None)
        assert str(err.value) == message
    else:  # taken as channel-first: no swap, just a leading axis
        numpy.testing.assert_array_equal(xp.asnumpy(dm.image_to_batch(image, layout=None)), host[None])


@pytest.mark.parametrize("swap", [True, False])
@pytest.mark.parametrize("mean", [None, 0.5, (0.5,), [0.5, 0.5, 0.5], M3, 2])
@pytest.mark.parametrize("scale", [None, 2.0])
def test_hwc_result_is_swapped_image_minus_mean_times_scale(xp, swap, mean, scale):
    host, image = make(xp, (5, 4, 3))
    out = dm.image_to_batch(image, scale, None, mean, swap)
    assert out.shape == (1, 3, 5, 4)
    expected = normalised(host, swap, mean, scale).transpose(2, 0, 1)[None]
    numpy.testing.assert_allclose(xp.asnumpy(out), expected, rtol=1e-12)


def copying_swap(image):
    return image[..., ::-1].copy()


def viewing_swap(image):
    return image[..., ::-1]


@pytest.mark.parametrize(
    "shape, kwargs, swap_impl, caller_after",
    [
        ((5, 4, 3), dict(swap_rb=False), None, lambda h: (h - M3) * 2.0),
        ((5, 4, 3), dict(swap_rb=True), None, lambda h: h),  # the package's swap copies
        ((5, 4, 3), dict(swap_rb=True), viewing_swap, lambda h: (h - M3[::-1]) * 2.0),
        ((5, 4, 3), dict(swap_rb=True), copying_swap, lambda h: h),
        ((5, 4, 3), dict(swap_rb=False, size=(4, 5)), None, lambda h: h),  # resize made a new array
        ((3, 5, 3), dict(swap_rb=True, layout="CHW"), None, lambda h: (h - numpy.array(M3)[:, None, None]) * 2.0),
    ],
)
def test_mean_and_scale_change_the_callers_array_only_when_no_step_copied_it(
    xp, monkeypatch, shape, kwargs, swap_impl, caller_after
):
    if swap_impl:
        monkeypatch.setattr(dm, "bgr_to_rgb", swap_impl)
    host, image = make(xp, shape)
    out = dm.image_to_batch(image, 2.0, mean=M3, **kwargs)
    numpy.testing.assert_allclose(xp.asnumpy(image), caller_after(host), rtol=1e-12)
    assert shares(xp, out, image) == (not numpy.array_equal(caller_after(host), host))


@pytest.mark.parametrize("shape", [(4, 6, 8), (2, 6, 3), (1, 6, 8)])
def test_chw_mean_of_three_values_needs_three_channels(xp, shape):
    with pytest.raises(ValueError):
        dm.image_to_batch(make(xp, shape)[1], mean=M3, layout="CHW")


@pytest.mark.parametrize("shape", [(1, 6, 8), (3, 6, 8), (4, 5, 5)])
@pytest.mark.parametrize("mean", [0.5, 2, (0.5,), [0.25]])
def test_chw_mean_of_one_value_applies_to_every_channel(xp, shape, mean):
    host, image = make(xp, shape)
    out = dm.image_to_batch(image, 2.0, mean=mean, layout="CHW")
    value = mean if isinstance(mean, (int, float)) else mean[0]
    numpy.testing.assert_allclose(xp.asnumpy(out), ((host - value) * 2.0)[None], rtol=1e-12)


@pytest.mark.parametrize("channels", [1, 2, 4, 5])
def test_images_of_any_channel_count_batch_and_come_back(xp, channels):
    # The swap reverses the colour channels only; alpha and further channels keep their place.
    order = {1: [0], 2: [0, 1], 4: [2, 1, 0, 3], 5: [2, 1, 0, 3, 4]}[channels]
    host, image = make(xp, (6, 7, channels))
    batch = dm.image_to_batch(image, 0.5)
    assert batch.shape == (1, channels, 6, 7)
    numpy.testing.assert_allclose(xp.asnumpy(batch)[0], host[..., order].transpose(2, 0, 1) * 0.5, rtol=1e-12)
    stacked = dm.images_to_batch([image, image], 0.5)
    assert stacked.shape == (2, 1, channels, 6, 7)
    (back,) = dm.batch_to_images(batch, 0.5)
    numpy.testing.assert_allclose(xp.asnumpy(back), host, rtol=1e-12)


@pytest.mark.parametrize("swap", [True, 1, "yes", False, 0, "", []])
def test_colour_swap_calls_bgr_to_rgb_with_the_image_only_when_swap_rb_is_true(xp, record, swap):
    swapper = record("bgr_to_rgb")
    image = make(xp, (4, 5, 3))[1]
    dm.image_to_batch(image, swap_rb=swap)
    assert len(swapper.calls) == (1 if swap else 0)
    assert all(len(args) == 1 and args[0] is image and kw == {} for args, kw in swapper.calls)


@pytest.mark.parametrize("size, dsize", [(6, (6, 6)), ((8, 4), (8, 4)), ([8, 4], [8, 4])])
def test_resize_gets_the_swapped_image_dsize_and_inter_auto_read_at_call_time(xp, monkeypatch, record, size, dsize):
    swapped, resized = make(xp, (5, 4, 3))[1], make(xp, (4, 6, 3))[1]
    record("bgr_to_rgb", lambda image: swapped)
    resizer = record("resize", lambda image, **kw: resized)
    sentinel = object()
    monkeypatch.setattr(dm, "INTER_AUTO", sentinel)
    out = dm.image_to_batch(make(xp, (5, 4, 3))[1], size=size)
    ((args, kwargs),) = resizer.calls
    assert len(args) == 1 and args[0] is swapped and list(kwargs) == ["dsize", "interpolation"]
    assert kwargs["dsize"] == dsize and type(kwargs["dsize"]) is type(dsize) and kwargs["interpolation"] is sentinel
    if not isinstance(size, int):
        assert kwargs["dsize"] is size
    assert out.shape == (1, 3, 4, 6) and shares(xp, out, resized)


@pytest.mark.parametrize(
    "mean, triple", [(0.5, (0.5, 0.5, 0.5)), (2, (2.0, 2.0, 2.0)), ((7,), (7, 7, 7)), ([1, 2, 3], (1, 2, 3))]
)
def test_mean_array_is_built_with_the_dtype_from_before_swap_and_resize(xp, record, rec_cp, mean, triple):
    record("resize", lambda image, **kw: xp.zeros((2, 2, 3), dtype=numpy.float64))
    dm.image_to_batch(make(xp, (4, 4, 3), numpy.float32)[1], size=2, mean=mean)
    ((args, kwargs),) = rec_cp.array_calls
    assert tuple(args[0]) == triple and [type(v) for v in args[0]] == [type(v) for v in triple]
    assert len(args) == 1 and kwargs == {"dtype": numpy.float32}


@pytest.mark.parametrize("mean", [(1, 2), (1, 2, 3, 4), [], "ab"])
def test_bad_mean_is_refused_after_resize_and_before_scaling(xp, record, mean):
    resizer = record("resize", lambda image, **kw: image)
    host, image = make(xp, (3, 6, 3))  # ambiguous: the mean error wins over the layout error
    with pytest.raises(ValueError) as err:
        dm.image_to_batch(image, 2.0, 6, mean, False, None)
    assert str(err.value) == MEAN_MSG and len(resizer.calls) == 1
    numpy.testing.assert_array_equal(xp.asnumpy(image), host)


@pytest.mark.parametrize("shape, word", [((3, 6, 3), "ambiguous"), ((1, 1, 2, 2, 3), "unsupported")])
def test_layout_error_comes_last_after_mean_and_scale_were_applied(xp, record, shape, word):
    record("bgr_to_rgb", None)
    host, image = make(xp, shape)
    with pytest.raises(ValueError) as err:
        dm.image_to_batch(image, 2.0, None, M3, True, None)
    assert str(err.value) == "Unsupported image layout: " + word
    numpy.testing.assert_allclose(xp.asnumpy(image), (host - M3) * 2.0, rtol=1e-12)


def test_two_dimensional_images(xp, record):
    host, image = make(xp, (5, 4))
    out = dm.image_to_batch(image, 2.0, swap_rb=False, layout="HW")
    assert out.shape == (1, 1, 5, 4) and shares(xp, out, image)
    numpy.testing.assert_allclose(xp.asnumpy(out)[0, 0], host * 2.0)
    swapper = record("bgr_to_rgb")  # the package's own swap, which leaves one channel as it is
    out = dm.image_to_batch(image, layout="HW")
    assert [a[0].shape for a, _ in swapper.calls] == [(5, 4, 1)] and out.shape == (1, 1, 5, 4)
    numpy.testing.assert_array_equal(xp.asnumpy(out)[0, 0], host * 2.0)
    with pytest.raises(ValueError):  # the default "HWC" is not inferred: the permutation fails
        dm.image_to_batch(image, 2.0, swap_rb=False)
    numpy.testing.assert_allclose(xp.asnumpy(image), host * 4.0)


# ---- images_to_batch ----------------------------------------------------------------------


@pytest.mark.parametrize("container", [list, type("Images", (list,), {})])
@pytest.mark.parametrize("count", [1, 3])
def test_a_list_stacks_one_batch_per_image(xp, container, count):
    pairs = [make(xp, (6, 8, 3)) for _ in range(count)]
    out = dm.images_to_batch(container(p[1] for p in pairs), 2.0, None, 0.5)
    assert out.shape == (count, 1, 3, 6, 8) and not any(shares(xp, out, p[1]) for p in pairs)
    expected = [normalised(h, True, 0.5, 2.0).transpose(2, 0, 1)[None] for h, _ in pairs]
    numpy.testing.assert_allclose(xp.asnumpy(out), numpy.stack(expected), rtol=1e-12)


@pytest.mark.parametrize("wrap", [lambda a, b: [a, b], lambda a, b: a, lambda a, b: (a, b)])
def test_each_item_goes_to_image_to_batch_with_the_options_as_keywords(xp, record, wrap):
    result = xp.zeros((1, 3, 2, 2))
    conv = record("image_to_batch", lambda image, **kw: result)
    a, b = make(xp, (2, 2, 3))[1], make(xp, (2, 2, 3))[1]
    images, size, mean, swap, layout = wrap(a, b), (2, 2), [1.0], [], "HWC?"
    out = dm.images_to_batch(images, 3.0, size, mean, swap, layout)
    items = [a, b] if isinstance(images, list) else [images]
    assert len(conv.calls) == len(items)
    for item, (args, kw) in zip(items, conv.calls):
        assert len(args) == 1 and args[0] is item
        assert list(kw) == ["scalefactor", "size", "mean", "swap_rb", "layout"]
        assert all(x is y for x, y in zip(kw.values(), (3.0, size, mean, swap, layout)))
    if isinstance(images, list):
        assert out.shape == (2, 1, 3, 2, 2)
    else:
        assert out is result


def test_a_single_array_is_converted_like_image_to_batch(xp):
    host, image = make(xp, (6, 8, 3))
    numpy.testing.assert_array_equal(xp.asnumpy(dm.images_to_batch(image)), host[..., ::-1].transpose(2, 0, 1)[None])
    batch = make(xp, (8, 3, 16, 16))[1]
    assert dm.images_to_batch(batch, layout="NCHW") is batch and dm.images_to_batch(batch, layout=None) is batch
    with pytest.raises(ValueError):
        dm.images_to_batch(batch)
    with pytest.raises(AttributeError):  # a tuple is not a list: handed over whole
        dm.images_to_batch((image, image))


def test_stacking_needs_images_of_one_shape(xp):
    with pytest.raises(ValueError):
        dm.images_to_batch([])
    images = [make(xp, (8, 8, 3))[1], make(xp, (4, 4, 3))[1]]
    with pytest.raises(ValueError):
        dm.images_to_batch(images)
    assert dm.images_to_batch(images, size=8).shape == (2, 1, 3, 8, 8)


def test_each_image_layout_is_inferred_by_itself(xp):
    (hwc_host, hwc), (chw_host, chw) = make(xp, (6, 8, 3)), make(xp, (3, 6, 8))
    out = xp.asnumpy(dm.images_to_batch([hwc, chw], layout=None))
    assert out.shape == (2, 1, 3, 6, 8)
    numpy.testing.assert_array_equal(out[0, 0], hwc_host[..., ::-1].transpose(2, 0, 1))
    numpy.testing.assert_array_equal(out[1, 0], chw_host)


def test_failure_on_a_later_image_keeps_earlier_in_place_changes(xp):
    (h0, a), (h1, b) = make(xp, (4, 4, 3)), make(xp, (4, 4))
    with pytest.raises(ValueError) as err:
        dm.images_to_batch([a, b], 2.0, mean=(1, 2), swap_rb=False)
    assert str(err.value) == MEAN_MSG
    numpy.testing.assert_array_equal(xp.asnumpy(a), h0)
    with pytest.raises(ValueError):  # the 2-D image fails the final permutation
        dm.images_to_batch([a, b], 2.0, swap_rb=False)
    numpy.testing.assert_allclose(xp.asnumpy(a), h0 * 2.0)
    numpy.testing.assert_allclose(xp.asnumpy(b), h1 * 2.0)


# ---- batch_to_images ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "layout, shape",
    [
        ("NCHW", (4, 3, 6, 10)),
        (None, (4, 3, 6, 10)),
        ("NHWC", (4, 6, 10, 3)),
        (None, (4, 6, 10, 3)),
        ("x", (4, 6, 10, 3)),
    ],
)
@pytest.mark.parametrize("swap", [True, False])
def test_batch_splits_into_hwc_images(xp, record, layout, shape, swap):
    host, batch = make(xp, shape)
    guess = record("guess_image_layout")
    out = dm.batch_to_images(batch, swap_rb=swap, layout=layout)
    assert len(guess.calls) == (layout != "NCHW")
    hwc = host.transpose(0, 2, 3, 1) if shape[1] == 3 else host
    assert type(out) is list and [o.shape for o in out] == [(6, 10, 3)] * 4
    for k, image in enumerate(out):
        numpy.testing.assert_array_equal(xp.asnumpy(image), hwc[k, ..., ::-1] if swap else hwc[k])
        # Without a swap each image is a view of its element; the package's swap copies.
        assert shares(xp, image, batch[k]) != swap and not shares(xp, image, batch[(k + 1) % 4])


def test_only_inferred_layouts_are_refused(xp):
    batch = make(xp, (2, 3, 4, 4))[1]
    assert [o.shape for o in dm.batch_to_images(batch)] == [(4, 4, 3)] * 2
    assert [o.shape for o in dm.batch_to_images([batch[0], batch[1]])] == [(4, 4, 3)] * 2
    for layout in (None, "NHWC"):
        with pytest.raises(ValueError) as err:
            dm.batch_to_images(batch, layout=layout)
        assert str(err.value) == "Unsupported image layout: ambiguous"


@pytest.mark.parametrize("scale", [255.0, 3.0, 0.7])
def test_scale_is_undone_by_multiplying_with_the_reciprocal(xp, scale):
    host, batch = make(xp, (2, 3, 8, 8))
    assert (host * (1.0 / scale) != host / scale).any()  # the data tell the two apart
    out = dm.batch_to_images(batch, scale, swap_rb=False)
    numpy.testing.assert_array_equal(xp.asnumpy(batch), host * (1.0 / scale))
    assert all(shares(xp, o, batch) for o in out)


@pytest.mark.parametrize("mean", [M3, [0.5], 0.5, 1])
@pytest.mark.parametrize("swap", [True, False])
@pytest.mark.parametrize("dtype", [numpy.float32, numpy.float64])
def test_mean_is_added_back_to_the_channel_it_was_taken_from(xp, rec_cp, mean, swap, dtype):
    host, batch = make(xp, (2, 3, 4, 5), dtype)
    out = dm.batch_to_images(batch, mean=mean, swap_rb=swap)
    m = numpy.resize(numpy.asarray(mean, dtype=float), 3)
    for k, image in enumerate(out):
        hwc = host[k].transpose(1, 2, 0)
        expected = hwc[..., ::-1] + m[::-1] if swap else hwc + m  # output channel c of BGR is RGB 2 - c
        numpy.testing.assert_allclose(xp.asnumpy(image), expected, rtol=1e-6)
    assert rec_cp.array_calls and all(kw == {"dtype": dtype} for _, kw in rec_cp.array_calls)


@pytest.mark.parametrize("swap", [True, False])
@pytest.mark.parametrize("mean", [None, 0.5, M3])
@pytest.mark.parametrize("scale", [None, 255.0, 0.5])
def test_image_to_batch_and_back_restores_the_image(xp, swap, mean, scale):
    host, image = make(xp, (6, 5, 3))
    (out,) = dm.batch_to_images(dm.image_to_batch(image, scale, mean=mean, swap_rb=swap), scale, mean, swap)
    numpy.testing.assert_allclose(xp.asnumpy(out), host, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("swap, copies", [(False, False), (True, False), (True, True)])
def test_rescaling_changes_the_callers_batch_unless_rgb_to_bgr_copies(xp, record, swap, copies):
    host, batch = make(xp, (3, 3, 4, 4))
    swapper = record("rgb_to_bgr", copying_swap if copies else viewing_swap)
    out = dm.batch_to_images(batch, 2.0, swap_rb=swap)
    numpy.testing.assert_allclose(xp.asnumpy(batch), host if copies else host * 0.5)
    assert all(shares(xp, o, batch) != copies for o in out)
    assert len(swapper.calls) == 3 * swap and all(len(a) == 1 and kw == {} for a, kw in swapper.calls)
    for k, (args, _) in enumerate(swapper.calls):
        assert shares(xp, args[0], batch[k]) and args[0].shape == (4, 4, 3)


def test_mean_is_checked_on_the_first_image_after_its_swap_and_scale(xp, record):
    host, batch = make(xp, (2, 3, 4, 4))
    swapper = record("rgb_to_bgr", viewing_swap)  # so the scaling shows in the batch
    with pytest.raises(ValueError) as err:
        dm.batch_to_images(batch, 2.0, (1, 2))
    assert str(err.value) == MEAN_MSG and len(swapper.calls) == 1
    numpy.testing.assert_allclose(xp.asnumpy(batch), numpy.stack([host[0] * 0.5, host[1]]))
    with pytest.raises(ZeroDivisionError) as err:
        dm.batch_to_images(batch, 0.0)
    assert str(err.value) == "float division by zero"
    empty = make(xp, (0, 3, 8, 8))[1]
    assert dm.batch_to_images(empty, 0.0, (1, 2)) == []


# ---- traceback entries and reference leaks --------------------------------------------------

CASES = {  # name: (call, the module's traceback entries when it raises)
    "nchw": (lambda xp: dm.image_to_batch(xp.zeros((1, 3, 8, 8)), layout=None), None),
    "nhwc": (lambda xp: dm.image_to_batch(xp.zeros((1, 8, 8, 3)), layout="NHWC"), None),
    "hwc-all": (lambda xp: dm.image_to_batch(xp.zeros((4, 4, 3)), 2.0, 2, 0.5), None),
    "hw": (lambda xp: dm.image_to_batch(xp.zeros((4, 4)), 2.0, None, None, False, "HW"), None),
    "chw-mean": (lambda xp: dm.image_to_batch(xp.zeros((3, 4, 4)), None, (4, 2), M3, True, "CHW"), None),
    "mean-error": (lambda xp: dm.image_to_batch(xp.zeros((4, 4, 3)), mean=(1, 2)), ["image_to_batch"]),
    "layout-error": (lambda xp: dm.image_to_batch(xp.zeros((3, 6, 3)), 2.0, None, 1, True, None), ["image_to_batch"]),
    "list": (lambda xp: dm.images_to_batch([xp.zeros((4, 4, 3))] * 2, mean=M3), None),
    "single": (lambda xp: dm.images_to_batch(xp.zeros((4, 4, 3))), None),
    "empty-list": (lambda xp: dm.images_to_batch([]), ["images_to_batch"]),
    "list-error": (
        lambda xp: dm.images_to_batch([xp.zeros((4, 4, 3))], mean=[]),
        ["images_to_batch", "image_to_batch"],
    ),
    "to-images": (lambda xp: dm.batch_to_images(xp.zeros((2, 3, 4, 4)), 2.0, M3), None),
    "to-images-nhwc": (lambda xp: dm.batch_to_images(xp.zeros((2, 8, 8, 3)), None, 0.5, False, None), None),
    "to-images-layout": (lambda xp: dm.batch_to_images(xp.zeros((2, 3, 4, 4)), layout=None), ["batch_to_images"]),
    "to-images-mean": (lambda xp: dm.batch_to_images(xp.zeros((2, 3, 4, 4)), mean=(1, 2)), ["batch_to_images"]),
    "to-images-zero": (lambda xp: dm.batch_to_images(xp.zeros((2, 3, 4, 4)), 0.0), ["batch_to_images"]),
}


@pytest.mark.parametrize("case", [name for name, (_, entries) in CASES.items() if entries])
def test_exceptions_leaving_a_body_name_the_function(xp, case):
    call, entries = CASES[case]
    with pytest.raises(Exception) as err:
        call(xp)
    frames = [f.name for f in traceback.extract_tb(err.value.__traceback__)]
    assert [f for f in frames if f.startswith("korvane.utils.dimention.")] == [
        "korvane.utils.dimention." + name for name in entries
    ]


@pytest.mark.parametrize("case", CASES)
def test_no_reference_leaks(xp, case):
    # NumPy's bounded small-allocation cache takes about a thousand calls to fill.
    assert_no_leak(lambda: CASES[case][0](xp), calls=100, warmup=1000)
