"""Layout inference: guess_image_layout on arrays and on any object with `ndim` and `shape`."""

import types

import numpy
import pytest

from korvane.utils.dimention import guess_image_layout

from leakcheck import assert_no_leak

SOURCE = "src/korvane_source/utils/dimention"

SHAPES = [
    ((480, 640), "HW"),
    ((3, 3), "HW"),
    ((0, 0), "HW"),
    ((640,), "unsupported"),
    ((), "unsupported"),
    ((2, 3, 64, 64, 1), "unsupported"),
    ((3, 480, 640), "CHW"),
    ((480, 640, 3), "HWC"),
    ((1, 256, 256), "CHW"),
    ((256, 256, 4), "HWC"),
    ((3, 2, 2), "CHW"),
    ((2, 480, 640), "CHW"),
    ((480, 640, 2), "HWC"),
    ((0, 10, 10), "CHW"),
    ((480, 640, 5), "ambiguous"),
    ((3, 480, 3), "ambiguous"),
    ((4, 4, 4), "ambiguous"),
    ((1, 1, 1), "ambiguous"),
    ((8, 3, 224, 224), "NCHW"),
    ((8, 224, 224, 3), "NHWC"),
    ((1, 3, 5, 5), "NCHW"),
    ((2, 3, 4, 4), "ambiguous"),
    ((1, 2, 224, 224), "ambiguous"),
    ((8, 3, 64, 3), "ambiguous"),
    ((1000, 3, 64, 64), "NCHW"),
]


@pytest.mark.parametrize("shape, expected", SHAPES)
def test_array_layout(xp, shape, expected):
    assert guess_image_layout(xp.empty(shape, dtype=xp.uint8)) == expected


@pytest.mark.parametrize("shape, expected", SHAPES)
def test_shape_as_a_list_of_numpy_integers(shape, expected):
    image = types.SimpleNamespace(ndim=numpy.int64(len(shape)), shape=[numpy.int64(n) for n in shape])
    assert guess_image_layout(image=image) == expected


BIG = 2**70


@pytest.mark.parametrize(
    "ndim, shape, expected",
    [
        (3, (2, BIG, BIG), "CHW"),
        (3, (BIG, BIG, 2), "HWC"),
        (3, (-BIG, 10, 10), "CHW"),
        # Equal to a channel count only in the low 64 bits.
        (3, (2**64 + 3, 10, 10), "ambiguous"),
        (4, (1, 2**64 + 3, 10, 10), "ambiguous"),
        (2**64 + 2, (3, 3), "unsupported"),
        (3.0, (3, 480, 640), "CHW"),
    ],
)
def test_extents_beyond_machine_integers(ndim, shape, expected):
    assert guess_image_layout(types.SimpleNamespace(ndim=ndim, shape=shape)) == expected


class Extent:
    """An extent that logs every comparison made with it."""

    def __init__(self, label, value, log):
        self.label, self.value, self.log = label, value, log

    def __eq__(self, other):
        self.log.append(f"{self.label}=={other}")
        return self.value == other

    def __le__(self, other):
        self.log.append(f"{self.label}<={other}")
        return self.value <= other

    def __gt__(self, other):
        self.log.append(f"{self.label}>{other}")
        return self.value > other

    __hash__ = None


# Each test runs left to right and stops at its first false term; the batch extent n is never looked at.
@pytest.mark.parametrize(
    "shape, expected, comparisons",
    [
        ((3, 480, 640), "CHW", "a==1 a==3 c==1 c==3 c==4"),
        ((480, 640, 2), "HWC", "a==1 a==3 a==4 c==1 c==3 c==4 a<=4 c<=4 a>4 b>4"),
        ((2, 480, 640), "CHW", "a==1 a==3 a==4 c==1 c==3 c==4 a<=4 b>4 c>4"),
        ((3, 480, 3), "ambiguous", "a==1 a==3 c==1 c==3 a<=4 b>4 c>4 c<=4 a>4"),
        ((8, 3, 64, 3), "ambiguous", "a==1 a==3 b>4 c>4 c==1 c==3 a>4"),
        ((8, 224, 224, 3), "NHWC", "a==1 a==3 a==4 c==1 c==3 a>4 b>4"),
    ],
)
def test_comparison_order(shape, expected, comparisons):
    log = []
    labels = "abc" if len(shape) == 3 else "nabc"
    image = types.SimpleNamespace(ndim=len(shape), shape=[Extent(k, n, log) for k, n in zip(labels, shape)])
    assert guess_image_layout(image) == expected
    assert " ".join(log) == comparisons


class TwoDimensional:
    def __init__(self):
        self.ndim_reads = 0

    @property
    def ndim(self):
        self.ndim_reads += 1
        return 2

    @property
    def shape(self):
        raise AssertionError("shape read")


def test_two_dimensional_shape_is_never_read():
    image = TwoDimensional()
    assert guess_image_layout(image) == "HW"
    assert image.ndim_reads == 1


@pytest.mark.parametrize(
    "image, error, message",
    [
        (object(), AttributeError, "'object' object has no attribute 'ndim'"),
        (types.SimpleNamespace(ndim=3), AttributeError, "'types.SimpleNamespace' object has no attribute 'shape'"),
        (types.SimpleNamespace(ndim=3, shape=()), IndexError, "tuple index out of range"),
        (types.SimpleNamespace(ndim=4, shape=[1, 3]), IndexError, "list index out of range"),
        (types.SimpleNamespace(ndim=3, shape=5), TypeError, "'int' object is not subscriptable"),
        (
            types.SimpleNamespace(ndim=3, shape=(object(), 10, 10)),
            TypeError,
            "'<=' not supported between instances of 'object' and 'int'",
        ),
        (
            types.SimpleNamespace(ndim=4, shape=(1, 3, "64", 64)),
            TypeError,
            "'>' not supported between instances of 'str' and 'int'",
        ),
    ],
)
def test_errors_propagate(image, error, message):
    with pytest.raises(error) as excinfo:
        guess_image_layout(image)
    assert str(excinfo.value) == message
    tb, entries = excinfo.value.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == SOURCE:
            entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    assert entries == [("korvane.utils.dimention.guess_image_layout", 1)]


def test_raised_exception_is_passed_on_unchanged():
    error = LookupError("no ndim here")

    class Image:
        @property
        def ndim(self):
            raise error

    with pytest.raises(LookupError) as excinfo:
        guess_image_layout(Image())
    assert excinfo.value is error
    assert error.__context__ is None and error.__cause__ is None


@pytest.mark.parametrize(
    "case",
    [
        "three dimensions",
        "four dimensions",
        "list shape",
        "by dict",
        "no attribute",
        "short shape",
        "bad compare",
    ],
)
def test_no_leak(xp, case):
    image3, image4 = xp.empty((480, 640, 3)), xp.empty((8, 3, 64, 64))
    listed = types.SimpleNamespace(ndim=3, shape=[numpy.int64(2), 480, 640])
    call = {
        "three dimensions": lambda: guess_image_layout(image3),
        "four dimensions": lambda: guess_image_layout(image4),
        "list shape": lambda: guess_image_layout(listed),
        "by dict": lambda: guess_image_layout.__call__(image=image4),
        "no attribute": lambda: guess_image_layout(object()),
        "short shape": lambda: guess_image_layout(types.SimpleNamespace(ndim=4, shape=(1, 3))),
        "bad compare": lambda: guess_image_layout(types.SimpleNamespace(ndim=3, shape=(None, 10, 10))),
    }[case]
    assert_no_leak(call)
