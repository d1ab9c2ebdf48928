"""The streaming tile engine against the tile road, on the NumPy stand-in for ``cupy``.

    python benchmarks/engine.py [--rounds N] [--quick] [--parts abcd]

The model repeats every pixel s times along both axes, which costs little, so what the
figures show is the tiler's own cost.

(a) Time and peak memory of ``upscale_tiled`` (windows "hann" and "merge_tiles") against
    the road a user has today: ``tile_image``, every tile through the model one at a time
    into a list, ``merge_tiles``. Pictures of 1024² and 2048² × 3 (float32), tiles of 128
    with overlap 16, ×2 and ×4. The three calls run side by side in every round, in turn;
    the speed-up is the median over the rounds of the per-round ratio of the road's time
    to the engine's. Peak memory is tracemalloc's peak over one call (it sees NumPy's
    allocations), over the size of the result.
(b) Bandwidth: the engine's accumulation alone (weighting a batch of model outputs and
    adding it into the canvas, for every tile of a 2048² × 3 picture at ×2), counted as
    the least traffic it needs (read each output, read and write the canvas: 12 bytes per
    value), against ``numpy.copyto`` of an array as large as the canvas (8 bytes per value),
    timed in turn in every round; the ratio is the median of the per-round ratios.
(c) Seams: a smooth gradient through a model that adds to each tile a tenth of the tile's
    own mean, as networks that normalise each tile do. For every window, and for
    ``merge_tiles``, the largest step between neighbouring pixels that the offsets add
    to the result of the same window without them.

(d) Memory against the picture's height: pictures 2048 wide and 2k to 32k rows (uint8,
    3 channels, made before the count starts) at x2 with ``"hann"``, the result handed
    band by band to a function that drops it (``out=``), so that what is counted is the
    engine's own: tracemalloc's peak, in MB and as a share of the float32 result it
    streamed. It should stay flat: a band plus the batches.

Targets: peak memory at most 1.5x the result; at least 3x the road's throughput; seam
steps with "hann" at least 6x smaller than with merge_tiles' map.
"""

import argparse
import gc
import platform
import statistics
import sys
import time
import tracemalloc

import numpy


def load():
    import korvane.testing

    if "cupy" not in sys.modules:
        sys.modules["cupy"] = korvane.testing.make_numpy_cupy()
    cp = sys.modules["cupy"]
    if not getattr(cp, "__korvane_stand_in__", False):
        sys.exit("engine: real CuPy is loaded; this benchmark measures on the NumPy stand-in")
    from korvane.upscale import engine, tile
    from korvane.utils.dtypes import to_float32

    return cp, engine, tile, to_float32


CP, ENGINE, TILE, TO_FLOAT32 = load()
TILE_SIZE, OVERLAP = 128, 16


def enlarge(s):
    return lambda x: x.repeat(s, axis=2).repeat(s, axis=3)


def road(image, model, s):
    tiles, padded = TILE.tile_image(image, TILE_SIZE, OVERLAP)
    upscaled = [model(TO_FLOAT32(t).transpose(2, 0, 1)[None])[0].transpose(1, 2, 0) for t in tiles]
    return TILE.merge_tiles(upscaled, image.shape, padded, s, TILE_SIZE, OVERLAP)


def engine(window):
    def run(image, model, s):
        return ENGINE.upscale_tiled(image, model, tile_size=TILE_SIZE, overlap=OVERLAP, window=window)

    run.__name__ = f"upscale_tiled({window!r})"
    return run


def timed(function, *args):
    gc.collect()
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def peak(function, *args):
    """tracemalloc's peak during one call and the result's size, in bytes."""
    gc.collect()
    tracemalloc.start()
    result = function(*args)
    top = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return top, result.nbytes


def part_a(rounds, sizes):
    print("(a) time and peak memory; tiles 128, overlap 16; model: repeat each pixel s times")
    print(f"{'picture':>14} {'s':>2} {'call':<28} {'median s':>9} {'speed-up':>9} {'peak/result':>12}")
    contenders = [road, engine("hann"), engine("merge_tiles")]
    for n in sizes:
        image = CP.asarray(numpy.random.default_rng(0).random((n, n, 3), dtype=numpy.float32))
        for s in (2, 4):
            model = enlarge(s)
            times = {f: [] for f in contenders}
            for _ in range(rounds):
                for f in contenders:
                    times[f].append(timed(f, image, model, s)[0])
            for f in contenders:
                top, size = peak(f, image, model, s)
                ratio = statistics.median(r / t for r, t in zip(times[road], times[f]))
                print(
                    f"{f'{n}x{n}x3':>14} {s:>2} {f.__name__:<28} {statistics.median(times[f]):9.3f} "
                    f"{ratio:8.1f}x {top / size:11.2f}x"
                )


def part_b(rounds):
    n, s, c = 2048, 2, 3
    grid = ENGINE.TileGrid(n, n, (TILE_SIZE, TILE_SIZE), (OVERLAP, OVERLAP))
    rows, cols = range(grid.rows.count), range(grid.cols.count)
    weigh = ENGINE._SeparableWeights(CP, grid, s, c, rows, cols, 8, "hann")
    result = CP.empty((n * s, n * s, c), dtype=numpy.float32)

    def write(band_rows, band):
        for channel in range(c):
            result[band_rows, :, channel] = band[channel]

    batches = list(grid.batches(8))
    outputs = CP.asarray(numpy.random.default_rng(1).random((8, c, TILE_SIZE * s, TILE_SIZE * s), dtype=numpy.float32))
    tile_rows = CP.asarray([t.row for t in grid])
    tile_cols = CP.asarray([t.col for t in grid])
    values = sum(h * w * c for t in grid for _, _, h, w in [grid.region(t, s)])
    source = numpy.ones(result.shape, numpy.float32)
    target = numpy.empty_like(source)

    def accumulate():
        bands = ENGINE._Bands(CP, grid, s, c, rows, cols, (0, n * s, 0, n * s), write, None)
        first = 0
        for tiles in batches:
            span = slice(first, first + len(tiles))
            bands.add(weigh(outputs[: len(tiles)], tile_rows[span], tile_cols[span]), tiles)
            first += len(tiles)
        bands.finish()

    ratios, acc_rates, copy_rates = [], [], []
    for _ in range(rounds):
        t_acc = timed(accumulate)[0]
        t_copy = timed(numpy.copyto, target, source)[0]
        acc_rates.append(12 * values / t_acc / 1e9)
        copy_rates.append(8 * source.size / t_copy / 1e9)
        ratios.append(acc_rates[-1] / copy_rates[-1])
    print(f"\n(b) bandwidth, {n}x{n}x3 at x{s} ({len(grid)} tiles, {values / 1e6:.0f} M values accumulated, written)")
    print(
        f"    accumulation {statistics.median(acc_rates):6.2f} GB/s   numpy.copyto {statistics.median(copy_rates):6.2f}"
        f" GB/s   ratio {statistics.median(ratios):.2f}"
    )


def part_c():
    n, s = 512, 2
    y, x = numpy.mgrid[0:n, 0:n].astype(numpy.float32) / n
    image = CP.asarray(numpy.stack([x, y, (x + y) / 2], axis=-1))
    clean = enlarge(s)

    def drifting(batch):
        return clean(batch) + 0.1 * batch.mean(axis=(1, 2, 3), keepdims=True)

    def largest_step(a, b):
        d = CP.asnumpy(a) - CP.asnumpy(b)
        return max(numpy.abs(numpy.diff(d, axis=0)).max(), numpy.abs(numpy.diff(d, axis=1)).max())

    steps = {"merge_tiles (the road)": largest_step(road(image, drifting, s), road(image, clean, s))}
    for window in ("box", "gaussian", "hann"):
        steps[window] = largest_step(engine(window)(image, drifting, s), engine(window)(image, clean, s))
    reference = steps["merge_tiles (the road)"]
    print(f"\n(c) seams: {n}x{n}x3 gradient at x{s}, each tile brightened by a tenth of its own mean")
    for name, step in steps.items():
        print(f"    {name:<24} largest added step {step:.5f}   {reference / step:5.1f}x smaller than merge_tiles'")


def part_d(heights):
    width, s = 2048, 2
    print(f"\n(d) memory against height: {width} wide, uint8 x3, x{s}, 'hann', out= a function that drops each band")
    print(f"{'rows':>7} {'result MB':>10} {'peak MB':>8} {'peak/result':>12} {'seconds':>8}")
    rng = numpy.random.default_rng(2)
    for height in heights:
        image = CP.asarray(rng.integers(0, 256, (height, width, 3), dtype=numpy.uint8))
        gc.collect()
        start = time.perf_counter()
        tracemalloc.start()
        ENGINE.upscale_tiled(image, enlarge(s), tile_size=TILE_SIZE, overlap=OVERLAP, out=lambda rows, band: None)
        top = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        seconds = time.perf_counter() - start
        result = height * s * width * s * 3 * 4
        print(f"{height:>7} {result / 1e6:10.0f} {top / 1e6:8.1f} {top / result:11.3f}x {seconds:8.2f}")
        del image


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="1024² only, 3 rounds; (d) up to 8k rows")
    parser.add_argument("--parts", default="abcd", help="which parts to run, e.g. 'd'")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds
    print(
        f"Python {platform.python_version()}, NumPy {numpy.__version__}, {platform.machine()}, "
        f"{rounds} rounds; the NumPy stand-in for cupy"
    )
    if "a" in args.parts:
        part_a(rounds, (1024,) if args.quick else (1024, 2048))
    if "b" in args.parts:
        part_b(rounds)
    if "c" in args.parts:
        part_c()
    if "d" in args.parts:
        part_d((2048, 4096, 8192) if args.quick else (2048, 4096, 8192, 16384, 32768))


if __name__ == "__main__":
    main()
