"""The Dask road, korvane.upscale.dask.upscale_tiled: bit for bit the single call, on threads and processes."""

import numpy
import pytest

from korvane.upscale import upscale_tiled

da = pytest.importorskip("dask.array")
kd = pytest.importorskip("korvane.upscale.dask")
RNG = numpy.random.default_rng(5)


def drifting(s):
    """Not seam-free, and pickled by value: it refers to nothing of this module."""
    return lambda x: x.repeat(s, axis=2).repeat(s, axis=3) * 1.5 + x[:, :, :1, :1]


def run(result, scheduler):
    if scheduler == "threads":
        return result.compute(scheduler="threads")
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        return client.compute(result).result()


@pytest.mark.parametrize(
    "shape, dtype, sizes, window, s, chunks, chunk_tiles, scheduler",
    [
        ((70, 90, 3), numpy.float32, dict(tile_size=16, overlap=4), "hann", 2, (25, 40), None, "threads"),
        ((61, 47, 2), numpy.uint8, dict(tile_size=(12, 16), overlap=(3, 5)), "gaussian", 3, (61, 9), (2, 1), "threads"),
        ((33, 80, 1), numpy.float64, dict(tile_size=(10, 8), overlap=(0, 2)), "box", 1, (7, 80), (3, 4), "threads"),
        ((40, 37, 3), numpy.float32, dict(tile_size=(8, 12), overlap=(2, 3)), "array", 2, (13, 11), (2, 3), "threads"),
        ((50, 45, 3), numpy.int16, dict(tile_size=12, overlap=4), "merge_tiles", 2, (20, 45), (1, 2), "threads"),
        ((5, 60, 3), numpy.float32, dict(tile_size=8, overlap=2), "hann", 2, (5, 16), (1, 1), "threads"),  # one row
        ((40, 50, 3), numpy.float32, dict(tile_size=12, overlap=4, context=3), "hann", 2, (20, 25), (1, 1), "threads"),
        # The last tile moved on by one pixel, and three tiles deep (overlap above the step), two chunkings each.
        ((17, 33, 2), numpy.uint8, dict(tile_size=16, overlap=4, edges="inside"), "array", 2, (9, 33), None, "threads"),
        ((17, 33, 2), numpy.float32, dict(tile_size=16, overlap=4), "box", 1, (17, 12), (2, 1), "threads"),
        ((37, 45, 3), numpy.uint8, dict(tile_size=(16, 12), overlap=(12, 3)), "hann", 2, (37, 20), (1, 2), "threads"),
        ((37, 45, 3), numpy.uint8, dict(tile_size=(16, 12), overlap=(12, 3)), "array", 3, (10, 45), (3, 1), "threads"),
        ((37, 45, 3), numpy.uint8, dict(tile_size=12, overlap=4, edges="reflect"), "hann", 2, (9, 9), None, "threads"),
        (
            (48, 64, 3),
            numpy.float32,
            dict(tile_size=16, overlap=4, batch_size=3),
            "hann",
            2,
            (16, 30),
            (1, 2),
            "cluster",
        ),
    ],
)
def test_the_lazy_result_equals_the_single_call_bit_for_bit(
    xp, shape, dtype, sizes, window, s, chunks, chunk_tiles, scheduler
):
    host = (RNG.random(shape) * 200).astype(dtype)
    th, tw = (sizes["tile_size"],) * 2 if isinstance(sizes["tile_size"], int) else sizes["tile_size"]
    if window == "array":
        window = RNG.random((th * s, tw * s)) + 0.05
    expected = xp.asnumpy(upscale_tiled(xp.asarray(host), drifting(s), window=window, **sizes))
    array = da.from_array(host, chunks=chunks + (shape[2],))
    result = kd.upscale_tiled(array, drifting(s), window=window, chunk_tiles=chunk_tiles, **sizes)
    assert result.shape == expected.shape and result.dtype == numpy.float32
    step = numpy.array([th, tw]) - sizes["overlap"]
    for axis in (0, 1):  # every chunk edge on the grid's tile corners
        edges = numpy.cumsum(result.chunks[axis])[:-1]
        assert (edges % (step[axis] * s) == 0).all()
    got = numpy.asarray(run(result, scheduler))
    numpy.testing.assert_array_equal(got.view(numpy.uint32), expected.view(numpy.uint32))


def test_to_zarr_streams_the_result_to_disk(xp, tmp_path):
    zarr = pytest.importorskip("zarr")
    host = RNG.random((40, 30, 3)).astype(numpy.float32)
    expected = xp.asnumpy(upscale_tiled(xp.asarray(host), drifting(2), tile_size=8, overlap=2))
    result = kd.upscale_tiled(da.from_array(host, chunks=(10, 30, 3)), drifting(2), tile_size=8, overlap=2)
    result.to_zarr(str(tmp_path / "result.zarr"))
    numpy.testing.assert_array_equal(zarr.open_array(str(tmp_path / "result.zarr"), mode="r")[...], expected)
