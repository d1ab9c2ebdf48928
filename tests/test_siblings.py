"""Channel swap, resize and float conversion on NumPy, both stand-ins and (if usable) CuPy."""

import sys

import numpy
import pytest

from korvane.color.bgr import bgr_to_rgb, rgb_to_bgr
from korvane.testing import cupy_is_usable, make_numpy_cupy, make_strict_cupy
from korvane.transform import resize as resize_module
from korvane.transform.resize import INTER_AREA, INTER_AUTO, INTER_LINEAR, INTER_NEAREST, resize
from korvane.utils.dtypes import to_float32

RNG = numpy.random.default_rng(7)


@pytest.fixture(params=["numpy", "stand-in", "strict", "cupy"])
def backend(request, monkeypatch):
    if request.param == "numpy":
        return numpy
    if request.param == "cupy":
        if not cupy_is_usable():
            pytest.skip("needs a GPU: no usable CuPy")
        return sys.modules["cupy"]
    module = make_numpy_cupy() if request.param == "stand-in" else make_strict_cupy()
    monkeypatch.setitem(sys.modules, "cupy", module)
    return module


@pytest.fixture(params=["opencv", "own"])
def resize_path(request, monkeypatch):
    """resize as it runs with OpenCV installed (NumPy-backed float pictures go to it), or without."""
    if request.param == "opencv" and resize_module._opencv() is None:
        pytest.skip("OpenCV is not installed")
    if request.param == "own":
        monkeypatch.setattr(resize_module, "_opencv", lambda: None)


def to_host(array):
    return array.get() if hasattr(array, "get") else array


# Channel order after the swap, by channel count: the colour channels reversed, anything after
# the third (alpha) kept in place; one or two channels have no order to swap.
SWAPPED_ORDER = {0: [], 1: [0], 2: [0, 1], 3: [2, 1, 0], 4: [2, 1, 0, 3], 5: [2, 1, 0, 3, 4]}


@pytest.mark.parametrize("swap", [bgr_to_rgb, rgb_to_bgr])
@pytest.mark.parametrize(
    "shape", [(2, 4, 3), (2, 4, 1), (2, 4, 2), (3, 2, 4), (2, 2, 5), (0, 0, 4), (2, 3, 3, 4), (2, 4, 0)]
)
@pytest.mark.parametrize("dtype", [numpy.float64, numpy.uint8])
def test_channel_swap_is_a_new_array_with_the_colour_channels_reversed(backend, swap, shape, dtype):
    host = (RNG.random(shape) * 200).astype(dtype)
    image = backend.asarray(host)
    out = swap(image)
    assert type(out) is type(image) and out.shape == image.shape and out.dtype == image.dtype
    assert out.flags.c_contiguous
    numpy.testing.assert_array_equal(to_host(out), host[..., SWAPPED_ORDER[shape[-1]]])
    # The in-place arithmetic callers do on the result must not reach the input.
    out -= 1
    out *= 2
    numpy.testing.assert_array_equal(to_host(image), host)
    assert type(out[::2, ::-1].transpose()) is type(image)


@pytest.mark.parametrize("swap", [bgr_to_rgb, rgb_to_bgr])
def test_channel_swap_of_a_view_copies(backend, swap):
    # A strided single-channel view: a new array all the same, not the view or its base.
    host = RNG.random((4, 6, 3))
    image = backend.asarray(host)[::2, ::3, 1:2]
    out = swap(image)
    out += 1.0
    numpy.testing.assert_array_equal(to_host(image), host[::2, ::3, 1:2])
    numpy.testing.assert_array_equal(to_host(out), host[::2, ::3, 1:2] + 1.0)


@pytest.mark.parametrize("mode", [INTER_AUTO, INTER_AREA, INTER_LINEAR, INTER_NEAREST])
@pytest.mark.parametrize(
    "shape, dsize, expected",
    [((6, 8), (5, 3), (3, 5)), ((6, 8, 3), (5, 3), (3, 5, 3)), ((4, 4, 2), (9, 7), (7, 9, 2))],
)
def test_resize_shape_follows_width_height(backend, resize_path, mode, shape, dsize, expected):
    image = backend.asarray(RNG.random(shape))
    out = resize(image, dsize, mode)
    assert type(out) is type(image)
    assert out.shape == expected and out.dtype == image.dtype


@pytest.mark.parametrize("mode", [INTER_AUTO, INTER_AREA])
@pytest.mark.parametrize("fy, fx", [(2, 2), (3, 2), (1, 4)])
def test_integer_shrink_gives_block_means(backend, resize_path, mode, fy, fx):
    host = RNG.random((6, 8, 3))
    out = resize(backend.asarray(host), (8 // fx, 6 // fy), mode)
    expected = host.reshape(6 // fy, fy, 8 // fx, fx, 3).mean(axis=(1, 3))
    numpy.testing.assert_allclose(to_host(out), expected)


@pytest.mark.parametrize("mode", [INTER_AUTO, INTER_LINEAR])
def test_bilinear_enlarge_keeps_a_constant_image(backend, resize_path, mode):
    out = resize(backend.ones((3, 5, 2), dtype=numpy.float32) * 7.25, (11, 7), mode)
    assert out.dtype == numpy.float32
    numpy.testing.assert_allclose(to_host(out), numpy.full((7, 11, 2), 7.25), rtol=1e-6)


@pytest.mark.parametrize(
    "row, dtype, width, mode, expected",
    [
        ([0, 10], numpy.float64, 4, INTER_LINEAR, [0, 2.5, 7.5, 10]),  # half-pixel centres
        ([0, 255], numpy.uint8, 4, INTER_AUTO, [0, 64, 191, 255]),
        ([0, 255], numpy.uint8, 1, INTER_AUTO, [128]),  # 127.5 rounds half to even
        ([-7, 4, 9, 30], numpy.int16, 2, INTER_AREA, [-2, 20]),
        ([0, 1, 2, 3], numpy.float64, 2, INTER_NEAREST, [0, 2]),
        ([3, 1], numpy.int32, 2, INTER_AUTO, [3, 1]),
    ],
)
def test_resize_known_rows(backend, resize_path, row, dtype, width, mode, expected):
    image = backend.asarray(numpy.array([row], dtype=dtype))
    out = resize(image, (width, 1), mode)
    assert out.dtype == dtype
    numpy.testing.assert_allclose(to_host(out), [expected])
    out[0, 0] = 99  # always a new array, even when the size does not change
    assert int(image[0, 0]) == row[0]


def cv2_passes(*passes):
    """OpenCV's result: cv2.resize once per ((width, height), flag) pass, channel by channel."""

    def run(cv2, host):
        for dsize, flag in passes:
            channels = [host] if host.ndim == 2 else [host[..., c] for c in range(host.shape[2])]
            out = [cv2.resize(numpy.ascontiguousarray(c), dsize, interpolation=getattr(cv2, flag)) for c in channels]
            host = out[0] if host.ndim == 2 else numpy.stack(out, axis=-1)
        return host

    return run


AGAINST_OPENCV = [
    # shape, korvane mode, view of the input, OpenCV's passes
    ((150, 200, 3), INTER_LINEAR, (), [((400, 300), "INTER_LINEAR")]),  # grow x2
    ((150, 200, 3), INTER_AREA, (), [((66, 50), "INTER_AREA")]),  # shrink /3, width by 3.03
    ((150, 200, 3), INTER_AUTO, (slice(None, None, -1),), [((66, 50), "INTER_AREA")]),
    ((57, 43), INTER_AUTO, (), [((101, 130), "INTER_LINEAR")]),  # grow by uneven factors
    ((31, 45, 4), INTER_LINEAR, (slice(None), slice(None, None, 2)), [((100, 7), "INTER_LINEAR")]),
    ((31, 45, 1), INTER_AREA, (), [((90, 62), "INTER_AREA")]),  # area growth: box overlaps
    ((60, 40, 3), INTER_AUTO, (), [((40, 20), "INTER_AREA"), ((100, 20), "INTER_LINEAR")]),  # per axis
    ((60, 40, 6), INTER_AREA, (), [((40, 20), "INTER_AREA"), ((100, 20), "INTER_AREA")]),
]


@pytest.mark.parametrize("shape, mode, view, passes", AGAINST_OPENCV)
def test_resize_float32_matches_opencv(backend, resize_path, shape, mode, view, passes):
    cv2 = pytest.importorskip("cv2")
    host = RNG.random(shape, dtype=numpy.float32)[view]
    out = resize(backend.asarray(host), passes[-1][0], mode)
    assert type(out) is backend.ndarray and out.dtype == numpy.float32 and out.flags.c_contiguous
    numpy.testing.assert_allclose(to_host(out), cv2_passes(*passes)(cv2, host), rtol=0, atol=1e-4)


@pytest.mark.parametrize("dtype", [numpy.uint8, numpy.int32, numpy.float64, numpy.bool_])
def test_to_float32(backend, dtype):
    host = (numpy.arange(12) % 5).astype(dtype).reshape(3, 4)
    image = backend.asarray(host)
    out = to_float32(image)
    assert type(out) is type(image) and out.dtype == numpy.float32 and out.shape == (3, 4)
    numpy.testing.assert_array_equal(to_host(out), host.astype(numpy.float32))


INTERP_MESSAGE = "interpolation must be one of INTER_AUTO, INTER_NEAREST, INTER_LINEAR, INTER_AREA, got "
DSIZE_TYPE_MESSAGE = "dsize must be a (width, height) pair of integers, got "


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: bgr_to_rgb(numpy.zeros((4, 4))),
            ValueError,
            "bgr_to_rgb() expects an image with its channels on a last axis (HWC), got an array of shape (4, 4)",
        ),
        (
            lambda: rgb_to_bgr(numpy.zeros(3)),
            ValueError,
            "rgb_to_bgr() expects an image with its channels on a last axis (HWC), got an array of shape (3,)",
        ),
        (lambda: bgr_to_rgb([[[1, 2, 3]]]), TypeError, "bgr_to_rgb() expects a NumPy or CuPy array, got list"),
        (
            lambda: to_float32(numpy.zeros(2, complex)),
            TypeError,
            "to_float32() expects a boolean, integer or real floating-point array, got dtype complex128",
        ),
        (lambda: resize(numpy.zeros((4, 4)), (0, 2)), ValueError, "dsize values must be positive, got (0, 2)"),
        (
            lambda: resize(numpy.zeros((4, 4)), [2]),
            ValueError,
            "dsize must have exactly two values (width, height), got 1",
        ),
        (lambda: resize(numpy.zeros((4, 4)), (2.0, 3)), TypeError, DSIZE_TYPE_MESSAGE + "(2.0, 3)"),
        (lambda: resize(numpy.zeros((4, 4)), (True, 3)), TypeError, DSIZE_TYPE_MESSAGE + "(True, 3)"),
        (lambda: resize(numpy.zeros((4, 4)), "ab"), TypeError, DSIZE_TYPE_MESSAGE + "'ab'"),
        (lambda: resize(numpy.zeros((4, 4)), (2, 2), 2), ValueError, INTERP_MESSAGE + "2"),
        (
            lambda: resize(numpy.zeros((1, 4, 4, 3)), (2, 2)),
            ValueError,
            "resize() expects an HW or HWC image, got an array of shape (1, 4, 4, 3)",
        ),
        (lambda: resize(numpy.zeros((4, 4), bool), (2, 2)), TypeError, "resize() does not support dtype bool"),
    ],
)
def test_bad_input_is_refused(call, error, message):
    with pytest.raises(error) as excinfo:
        call()
    assert str(excinfo.value) == message
