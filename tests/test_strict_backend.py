"""The strict stand-in: where CuPy differs from NumPy, it differs too; and it counts host traffic."""

import operator
import sys

import numpy
import pytest

from korvane.testing import count_syncs, make_strict_cupy
from korvane.transform.resize import INTER_LINEAR, resize

IMPLICIT = (
    "Implicit conversion to a NumPy array is not allowed. Please use `.get()` to construct a NumPy array explicitly."
)
HOST_OPERAND = "Unsupported type <class 'numpy.ndarray'>"


@pytest.fixture
def cp():
    return make_strict_cupy()


def kind(value):
    return f"{type(value).__module__}.{type(value).__name__}", getattr(value, "shape", None)


# ---- the differences, one row each ---------------------------------------------------------------

REFUSALS = [
    ("numpy.asarray", lambda cp, a: numpy.asarray(a), TypeError, IMPLICIT),
    ("numpy.array", lambda cp, a: numpy.array(a, dtype=float), TypeError, IMPLICIT),
    ("numpy ufunc", lambda cp, a: numpy.exp(a), TypeError, IMPLICIT),
    ("numpy function", lambda cp, a: numpy.concatenate([a, a]), TypeError, IMPLICIT),
    ("device array inside host data", lambda cp, a: cp.asarray([a, 1.0]), TypeError, IMPLICIT),
    ("host operand", lambda cp, a: a + numpy.ones(3), TypeError, HOST_OPERAND),
    ("host operand on the left", lambda cp, a: numpy.ones(3) * a, TypeError, HOST_OPERAND),
    ("host array argument", lambda cp, a: cp.maximum(a, numpy.ones(3)), TypeError, HOST_OPERAND),
    ("host out=", lambda cp, a: cp.multiply(a, 2, out=numpy.empty(3)), TypeError, HOST_OPERAND),
    ("list into a ufunc", lambda cp, a: cp.exp([1.0]), TypeError, "Unsupported type <class 'list'>"),
    (
        "host array stored",
        lambda cp, a: a.__setitem__(slice(None), numpy.ones(3)),
        ValueError,
        "non-scalar numpy.ndarray cannot be used for fill",
    ),
    ("no __index__", lambda cp, a: range(a[1]), TypeError, "'ndarray' object cannot be interpreted as an integer"),
    ("0-d iteration", lambda cp, a: iter(a[1]), TypeError, "iteration over a 0-d array"),
    ("host-only method", lambda cp, a: a.tobytes(), AttributeError, "'cupy.ndarray' object has no attribute 'tobytes'"),
]


@pytest.mark.parametrize("call, error, message", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_refusals(cp, call, error, message):
    with pytest.raises(error) as caught:
        call(cp, cp.arange(3.0))
    assert str(caught.value) == message


def own_type(cp, a):
    return type(a) is cp.ndarray, isinstance(a, numpy.ndarray), cp.ndarray.__module__


def reductions_give_0d(cp, a):
    return kind(cp.sum(a)), kind(a.max()), kind(cp.allclose(a, a))


def scalar_index_is_a_0d_view(cp, a):
    element = a[1]
    element += 10
    return kind(element), a.get().tolist()


def numpy_scalar_operand_stays_on_device(cp, a):
    return kind(numpy.float32(2) * a), kind(numpy.int64(1) < a)


def iteration_yields_device_arrays(cp, a):
    return [kind(row) for row in cp.zeros((2, 3))]


def get_and_asnumpy_copy_to_host(cp, a):
    host, other = a.get(), cp.asnumpy(a)
    host[0] = other[0] = 9.0
    return type(host), type(other), a.get().tolist()


def asarray_copies_host_data_in(cp, a):
    host = numpy.zeros(2)
    device = cp.asarray(host)
    host[0] = 1.0
    return kind(device), device.get().tolist(), cp.asarray(a) is a


def inplace_keeps_identity_through_views(cp, a):
    view = a[1:]
    result = operator.iadd(view, 1.0)
    return result is view, a.get().tolist(), a[1:][1:].base is a


def dlpack_round_trip_shares_memory(cp, a):
    other = cp.from_dlpack(a)
    other[0] = 7.0
    return kind(other), a.get().tolist()


def array_module_and_availability(cp, a):
    return cp.get_array_module(a) is cp, cp.get_array_module(numpy.ones(1), 1.0) is numpy, cp.is_available()


def meshgrid_gives_a_list(cp, a):
    return type(cp.meshgrid(a, a)).__name__


DIFFERENCES = [
    (own_type, (True, False, "cupy")),
    (reductions_give_0d, (("cupy.ndarray", ()),) * 3),
    (scalar_index_is_a_0d_view, (("cupy.ndarray", ()), [0.0, 11.0, 2.0])),
    (numpy_scalar_operand_stays_on_device, (("cupy.ndarray", (3,)),) * 2),
    (iteration_yields_device_arrays, [("cupy.ndarray", (3,))] * 2),
    (get_and_asnumpy_copy_to_host, (numpy.ndarray, numpy.ndarray, [0.0, 1.0, 2.0])),
    (asarray_copies_host_data_in, (("cupy.ndarray", (2,)), [0.0, 0.0], True)),
    (inplace_keeps_identity_through_views, (True, [0.0, 2.0, 3.0], True)),
    (dlpack_round_trip_shares_memory, (("cupy.ndarray", (3,)), [7.0, 1.0, 2.0])),
    (array_module_and_availability, (True, True, False)),
    (meshgrid_gives_a_list, "list"),
]


@pytest.mark.parametrize("check, expected", DIFFERENCES, ids=[row[0].__name__ for row in DIFFERENCES])
def test_differences_from_numpy(cp, check, expected):
    assert check(cp, cp.arange(3.0)) == expected


# ---- counting --------------------------------------------------------------------------------------


def fields(counts):
    return counts.scalars, counts.to_host, counts.waits, counts.to_device


def test_count_syncs_counts_each_kind_of_host_traffic(cp):
    a = cp.arange(3.0)
    with count_syncs() as outer:
        float(a[0]), int(a[1]), bool(a[2]), a.item(0), f"{a[0]:.1f}"
        with count_syncs() as inner:
            a.get(), cp.asnumpy(a), a.tolist(), repr(a)
            a[a > 0], a.nonzero(), cp.cuda.Device().synchronize(), cp.cuda.get_current_stream().synchronize()
            cp.asarray(numpy.ones(2)), cp.array((1.0, 2.0)), cp.from_dlpack(numpy.ones(2))
        # Work that stays on the device counts only its launches.
        a + 1, cp.sum(a), a[1:], cp.asarray(a), cp.from_dlpack(a), cp.stack([a, a]), cp.asarray([a, a])
    assert fields(inner) == (0, 4, 4, 3) and inner.syncs == 8 and inner.launches == 3  # a > 0, its gather, nonzero
    assert fields(outer) == (5, 4, 4, 3) and outer.launches == 7
    float(a[0])
    assert fields(outer) == (5, 4, 4, 3)  # nothing after the block


# (call on the module and a device array, (scalars, to_host, waits, to_device, launches) it makes the host do)
NAMESPACE_TRAFFIC = [
    ("concatenate", lambda cp, a: cp.concatenate([a, a]), (0, 0, 0, 0, 1)),
    ("where with three arguments", lambda cp, a: cp.where(a > 1, a, 0), (0, 0, 0, 0, 2)),
    ("where with one", lambda cp, a: cp.where(a > 1), (0, 0, 1, 0, 2)),
    ("unique", lambda cp, a: cp.unique(a), (0, 0, 1, 0, 1)),
    ("compress by a device mask", lambda cp, a: cp.compress(a > 1, a), (0, 0, 1, 0, 2)),
    ("compress by a host mask", lambda cp, a: cp.compress([True, False, True], a), (0, 0, 0, 0, 1)),
    ("delete by a device index", lambda cp, a: cp.delete(a, cp.arange(1)), (0, 0, 1, 0, 2)),
    ("linalg.norm", lambda cp, a: cp.linalg.norm(a), (0, 0, 0, 0, 1)),
    ("array_repr", lambda cp, a: cp.array_repr(a), (0, 1, 0, 0, 0)),
    ("fromiter", lambda cp, a: cp.fromiter(range(3), float), (0, 0, 0, 1, 0)),
    ("views", lambda cp, a: (a[1:][None, ::2].T, a.reshape(3, 1), cp.broadcast_to(a, (2, 3)), a.view()), (0,) * 5),
    ("a gather", lambda cp, a: a[cp.asarray([0, 2])], (0, 0, 0, 1, 1)),
    ("writes", lambda cp, a: (a.__iadd__(1), cp.exp(a, out=a), a.fill(0), a.__setitem__(0, a[1])), (0, 0, 0, 0, 4)),
    ("memory", lambda cp, a: (cp.zeros(3), cp.empty(3), a.astype("f4"), a.astype("f8", copy=False)), (0, 0, 0, 0, 2)),
    ("no elements", lambda cp, a: (cp.zeros(0) + 1, a[:0].__setitem__(Ellipsis, 2)), (0,) * 5),
]


@pytest.mark.parametrize("call, expected", [r[1:] for r in NAMESPACE_TRAFFIC], ids=[r[0] for r in NAMESPACE_TRAFFIC])
def test_host_traffic_and_launches_of_device_work(cp, call, expected):
    a = cp.arange(3.0)
    with count_syncs() as counts:
        call(cp, a)
    assert fields(counts) + (counts.launches,) == expected


# ---- the package on the strict stand-in ---------------------------------------------------------

PACKAGE_CALLS = [
    # (label, call, copies to the device it is expected to make)
    ("guess_image_layout", lambda dm, tl, cp, img: dm.guess_image_layout(img), 0),
    (
        "image_to_batch with a mean",
        lambda dm, tl, cp, img: dm.image_to_batch(img.copy(), scalefactor=2.0, mean=(0.1, 0.2, 0.3), swap_rb=True),
        1,
    ),
    # Halving both sides is a reshape-mean: no tap tables to upload.
    ("image_to_batch with a resize", lambda dm, tl, cp, img: dm.image_to_batch(img, size=(12, 16)), 0),
    ("images_to_batch", lambda dm, tl, cp, img: dm.images_to_batch([img, img]), 0),
    (
        "batch_to_images with a mean",
        lambda dm, tl, cp, img: dm.batch_to_images(cp.ones((2, 3, 8, 8), dtype=cp.float32), mean=0.5),
        2,
    ),  # one mean array per image
    ("image_to_batch_pixelshift", lambda dm, tl, cp, img: dm.image_to_batch_pixelshift(img.copy(), 4), 0),
    (
        "pixelshift_fuse",
        lambda dm, tl, cp, img: dm.pixelshift_fuse(
            cp.ones((4, 3, 8, 6), dtype=cp.float32),
            cp.zeros((3, 32, 24), dtype=cp.float32),
            cp.zeros((1, 32, 24), dtype=cp.float32),
            0,
            4,
        ),
        0,
    ),
    ("tile_image", lambda dm, tl, cp, img: tl.tile_image(img, 16, 4), 0),
    ("create_gaussian_weights", lambda dm, tl, cp, img: tl.create_gaussian_weights(16, 4), 0),
    (
        "merge_tiles",
        lambda dm, tl, cp, img: tl.merge_tiles(
            [cp.ones((32, 32, 3), dtype=cp.float32)] * 6, (32, 24, 3), (40, 28, 3), 2, 16, 4
        ),
        0,
    ),
    # Its own path, not OpenCV's: a tap index table and a weight table per axis.
    ("resize", lambda dm, tl, cp, img: resize(img, (30, 20), INTER_LINEAR), 4),
]


@pytest.fixture
def package(cp, monkeypatch):
    """The native modules and the Python layer on the strict stand-in ``cp``, whatever the suite runs on."""
    dm = pytest.importorskip("korvane.utils.dimention")
    tl = pytest.importorskip("korvane.upscale.tile")
    # The modules look ``cp`` up at each use, the siblings and the engine look ``cupy`` up in sys.modules.
    monkeypatch.setattr(dm, "cp", cp)
    monkeypatch.setattr(tl, "cp", cp)
    monkeypatch.setitem(sys.modules, "cupy", cp)
    return dm, tl


@pytest.mark.parametrize("call, uploads", [r[1:] for r in PACKAGE_CALLS], ids=[r[0] for r in PACKAGE_CALLS])
def test_package_functions_never_wait_on_the_device(cp, package, call, uploads):
    image = cp.asarray(numpy.random.default_rng(3).random((32, 24, 3), dtype=numpy.float32))
    with count_syncs() as counts:
        result = call(*package, cp, image)
    assert (counts.syncs, counts.to_device) == (0, uploads)
    assert not any(isinstance(leaf, numpy.ndarray) for leaf in leaves(result))


def leaves(value):
    if isinstance(value, (list, tuple)):
        for item in value:
            yield from leaves(item)
    else:
        yield value


# ---- the inference loops: nothing per tile, a fixed few per call ------------------------------------


def tiled(window):
    """upscale_tiled on n x n tiles (16 pixels, overlap 4; the last row and column reflected), x2."""

    def call(cp, n):
        from korvane.upscale import upscale_tiled

        image = cp.ones((12 * n + 2, 12 * n + 2, 3), dtype=cp.float32)
        chosen = cp.ones((32, 32), dtype=cp.float32) if window == "array" else window
        return upscale_tiled(
            image, lambda x: x.repeat(2, axis=2).repeat(2, axis=3), tile_size=16, overlap=4, batch_size=3, window=chosen
        )

    return call


def shifted(**options):
    """pixelshift_infer on the n x n sub-images of a (4n, 4n, 3) picture, one sub-image per model call."""

    def call(cp, n):
        from korvane.utils import pixelshift_infer

        return pixelshift_infer(
            cp.ones((4 * n, 4 * n, 3), dtype=cp.float32), lambda x: x * 2, dim=n, batch_size=1, **options
        )

    return call


LOOPS = [
    # (label, call, host syncs per call)
    ("hann", tiled("hann"), 0),
    ("gaussian", tiled("gaussian"), 0),
    ("box", tiled("box"), 0),
    ("merge_tiles", tiled("merge_tiles"), 0),
    ("array window", tiled("array"), 1),  # the check of its weights, before the first model call
    ("pixelshift_infer", shifted(), 0),
    ("pixelshift_infer with a mean", shifted(scalefactor=0.5, mean=(0.1, 0.2, 0.3), swap_rb=False), 0),
]


@pytest.mark.parametrize("call, syncs", [r[1:] for r in LOOPS], ids=[r[0] for r in LOOPS])
def test_inference_loops_sync_a_fixed_number_of_times_per_call(cp, package, call, syncs):
    counted = []
    for n in (2, 4):  # 4 and 16 tiles (or sub-images)
        with count_syncs() as counts:
            result = call(cp, n)
        assert type(result) is cp.ndarray  # left on the device for the caller
        counted.append(fields(counts))
    assert counted[0] == counted[1], "host traffic grows with the number of tiles"
    assert sum(counted[0][:3]) == syncs
