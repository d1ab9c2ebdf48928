"""The Dask road on one machine: one picture on a LocalCluster of 1 and of 2 worker processes.

    python benchmarks/dask.py [--size N] [--chunk-tiles K] [--layers L]

The model is CPU-bound NumPy that does real work, as a small network would: nearest
neighbour x2, then L layers of a 3 x 3 convolution mixing the channels and a tanh, all
elementwise (one thread: BLAS is not used, and the workers are started with one
thread each and OMP/MKL/OpenBLAS limited to one thread). The picture is N x N x 3
float32, tiles 128 with overlap 16, result chunks of K x K tile steps.

Printed: how much two processes of plain arithmetic gain on this machine over one
(the ceiling for any speed-up here), the single call's time in this process, the time of ``compute()`` on 1 and on
2 workers (the cluster started beforehand and the model's
first load included in neither, the result kept in the workers), the speed-up from 1 to 2 workers, whether each result
equals the single call bit for bit, and the tiles run twice (or more) at chunk edges as
a share of all tile runs.
"""

import argparse
import os
import platform
import sys
import time

# Run as a script, this file's folder comes first on the path, where its own name would
# hide the dask package.
if sys.path and os.path.abspath(sys.path[0]) == os.path.dirname(os.path.abspath(__file__)):
    del sys.path[0]

for _name in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_name] = "1"  # before NumPy loads here and in the spawned workers

import numpy  # noqa: E402

TILE_SIZE, OVERLAP = 128, 16


def network(layers):
    """A deterministic stand-in network: x2, then ``layers`` 3 x 3 channel-mixing convolutions with tanh."""
    rng = numpy.random.default_rng(7)
    kernels = rng.normal(0, 0.2, (layers, 3, 3, 3, 3)).astype(numpy.float32)  # layer, out, in, dy, dx

    def model(batch):
        # Few large allocations per call (the padded input, the layer's output), the
        # arithmetic in place: the work is in the arithmetic, not in the allocator.
        x = batch.repeat(2, axis=2).repeat(2, axis=3)
        h, w = x.shape[2:]
        padded = numpy.empty(x.shape[:2] + (h + 2, w + 2), numpy.float32)
        term = numpy.empty((len(x), h, w), numpy.float32)
        for kernel in kernels:
            padded[:, :, 1:-1, 1:-1] = x
            padded[:, :, 0], padded[:, :, -1] = padded[:, :, 1], padded[:, :, -2]
            padded[:, :, :, 0], padded[:, :, :, -1] = padded[:, :, :, 1], padded[:, :, :, -2]
            y = numpy.zeros_like(x)
            for o in range(3):
                for i in range(3):
                    for dy in range(3):
                        for dx in range(3):
                            numpy.multiply(padded[:, i, dy : dy + h, dx : dx + w], kernel[o, i, dy, dx], out=term)
                            y[:, o] += term
            numpy.tanh(y, out=y)
            x += y
        return x

    return model


def _arithmetic(_):
    values = numpy.random.default_rng(0).random((3, 256, 256), dtype=numpy.float32)
    start = time.perf_counter()
    for _ in range(3000):
        numpy.sin(values, out=values)
    return time.perf_counter() - start


def machine_ceiling():
    """Throughput of two processes of arithmetic over one: what the CPUs give two workers."""
    import multiprocessing

    one = _arithmetic(None)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pool.map(_arithmetic, [None, None])  # started and warm
        start = time.perf_counter()
        pool.map(_arithmetic, [None, None])
        two = time.perf_counter() - start
    return 2 * one / two


def runs(result, scheduler_address):
    """The time of one run of the graph on the cluster at ``scheduler_address`` (the chunks kept in the workers).

    The timing leaves out gathering the result into this process (a copy over a socket
    that a ``to_zarr`` would not make); the result is gathered once afterwards.
    """
    import distributed

    with distributed.Client(scheduler_address) as client:
        client.compute(result[:1, :1]).result()  # the model loads in each worker beforehand
        start = time.perf_counter()
        kept = client.persist(result)
        distributed.wait(kept)
        seconds = time.perf_counter() - start
        array = kept.compute()
    return seconds, array


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--chunk-tiles", type=int, default=4)
    parser.add_argument("--layers", type=int, default=8)
    args = parser.parse_args()

    import dask
    import dask.array as da
    import distributed

    from korvane.upscale import dask as lazy
    from korvane.upscale import upscale_tiled
    from korvane.upscale.engine import TileGrid

    print(
        f"Python {platform.python_version()}, NumPy {numpy.__version__}, dask {dask.__version__}, "
        f"distributed {distributed.__version__}, {os.cpu_count()} CPUs"
    )
    n = args.size
    print(f"two processes of arithmetic against one: {machine_ceiling():.2f}x the throughput")
    # Made in the workers from a seed, so that the graph does not carry the picture.
    array = da.random.default_rng(0).random((n, n, 3), dtype=numpy.float32, chunks=(256, 256, 3))
    picture = array.compute()
    model = network(args.layers)
    start = time.perf_counter()
    expected = upscale_tiled(picture, model, tile_size=TILE_SIZE, overlap=OVERLAP)
    single = time.perf_counter() - start

    options = dict(tile_size=TILE_SIZE, overlap=OVERLAP, chunk_tiles=args.chunk_tiles, scale=2, channels=3)
    result = lazy.upscale_tiled(array, model, **options)
    grid = TileGrid(n, n, (TILE_SIZE, TILE_SIZE), (OVERLAP, OVERLAP))
    edges = [numpy.cumsum((0,) + c) for c in result.chunks[:2]]
    touched = sum(
        len(grid.rows.touching(y0, y1, 2)) * len(grid.cols.touching(x0, x1, 2))
        for y0, y1 in zip(edges[0][:-1], edges[0][1:])
        for x0, x1 in zip(edges[1][:-1], edges[1][1:])
    )
    print(
        f"picture {n}x{n}x3 float32, x2, tiles {TILE_SIZE} overlap {OVERLAP}, {args.layers} layers; {len(grid)} tiles, "
        f"result chunks {args.chunk_tiles}x{args.chunk_tiles} tile steps: {result.numblocks[0]}x{result.numblocks[1]}"
    )
    print(f"single call in this process      {single:7.2f} s")
    times = {}
    for workers in (1, 2):
        with distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster:
            times[workers], got = runs(result, cluster.scheduler_address)
        same = numpy.array_equal(got.view(numpy.uint32), expected.view(numpy.uint32))
        label = f"run on {workers} worker{'s' if workers > 1 else ''}"
        print(f"{label:<33} {times[workers]:7.2f} s   bit for bit: {same}")
    print(f"speed-up 1 -> 2 workers           {times[1] / times[2]:7.2f}x")
    print(
        f"tile runs {touched} for {len(grid)} tiles: {touched - len(grid)} repeats at chunk edges, "
        f"{(touched - len(grid)) / touched:.1%} of all runs"
    )


if __name__ == "__main__":
    main()
