"""A picture larger than memory through ``korvane upscale``: peak memory and a check of the samples.

Writes a synthetic SIZE x SIZE RGB TIFF in bands (tiled, uncompressed), enlarges it x4 with
a nearest-neighbour ONNX graph (an ONNX Resize) into a 4*SIZE x 4*SIZE TIFF through the
command line in a child process, and prints the child's peak RSS and the time, then checks
a few bands of rows of the result against the samples a nearest-neighbour x4 gives. At the
default size the result is 48000 x 48000 (6.9 GB of samples); the target is a peak RSS
under 2 GB.

    PYTHONPATH=python .venv/bin/python benchmarks/big_picture.py [--size 12000] [--folder /tmp] [--keep]
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy

SCALE = 4
TILE = 512  # the input TIFF's tiles


def pattern(rows, cols):
    """The input's samples at ``rows`` x ``cols`` (1-D integer arrays): slopes and a checker, never constant."""
    y, x = rows[:, None], cols[None, :]
    planes = [(x * 3 + y) % 256, (y * 5 + (x // 7) * 11) % 256, ((x // 16 + y // 16) % 2) * 200 + (x * y) % 37]
    return numpy.stack(planes, axis=2).astype(numpy.uint8)


def write_input(path, size):
    import tifffile

    def tiles():
        for y in range(0, size, TILE):
            rows = numpy.arange(y, min(y + TILE, size))
            for x in range(0, size, TILE):
                yield pattern(rows, numpy.arange(x, min(x + TILE, size)))

    with tifffile.TiffWriter(path, bigtiff=size * size * 3 > 3 << 30) as tif:
        tif.write(
            tiles(), shape=(size, size, 3), dtype=numpy.uint8, photometric="rgb", tile=(TILE, TILE), metadata=None
        )


def write_model(path):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    scales = numpy_helper.from_array(numpy.array([1, 1, SCALE, SCALE], numpy.float32), "scales")
    node = helper.make_node(
        "Resize",
        ["pixels", "", "scales"],
        ["big"],
        mode="nearest",
        coordinate_transformation_mode="asymmetric",
        nearest_mode="floor",
    )
    graph = helper.make_graph(
        [node],
        "nearest_x4",
        [helper.make_tensor_value_info("pixels", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        [helper.make_tensor_value_info("big", TensorProto.FLOAT, ["n", 3, "H", "W"])],
        initializer=[scales],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.save(model, path)


def check_output(path, size, bands=4):
    """Compare ``bands`` bands of result rows (the first, the last and some between) with nearest x4."""
    import tifffile
    import zarr

    big = size * SCALE
    array = zarr.open(tifffile.imread(path, aszarr=True), mode="r")
    assert tuple(array.shape) == (big, big, 3), array.shape
    starts = sorted({0, big - 64, *numpy.random.default_rng(0).integers(0, big - 64, bands - 2).tolist()})
    columns = numpy.arange(big)
    for start in starts:
        rows = numpy.arange(start, start + 64)
        expected = pattern(rows // SCALE, columns // SCALE)
        got = numpy.asarray(array[start : start + 64])
        wrong = int(numpy.count_nonzero(got != expected))
        if wrong:
            raise SystemExit(f"rows {start} to {start + 63}: {wrong} samples differ from nearest-neighbour x4")
    return starts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=12000, help="the input's side in pixels (default 12000)")
    parser.add_argument("--folder", default=tempfile.gettempdir(), help="where the files go (default the temp folder)")
    parser.add_argument("--keep", action="store_true", help="keep the files")
    parser.add_argument("--compress", default="none", help="--compress for the result (default none)")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="korvane-big-", dir=args.folder))
    source, target, model = folder / "in.tif", folder / "out.tif", folder / "nearest_x4.onnx"
    try:
        begun = time.perf_counter()
        write_input(source, args.size)
        write_model(model)
        print(
            f"input {args.size}x{args.size} RGB TIFF: {source.stat().st_size / 1e9:.2f} GB in "
            f"{time.perf_counter() - begun:.1f} s"
        )
        command = [
            sys.executable,
            "-m",
            "korvane",
            "upscale",
            str(source),
            str(target),
            "--onnx",
            str(model),
            "--compress",
            args.compress,
            "--max-pixels",
            "0",
            "--no-progress",
        ]
        begun = time.perf_counter()
        done = subprocess.run(command, capture_output=True, text=True)
        seconds = time.perf_counter() - begun
        if done.returncode:
            raise SystemExit(f"korvane upscale failed ({done.returncode}): {done.stderr.strip()}")
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024  # KiB on Linux
        big = args.size * SCALE
        print(done.stdout.strip())
        print(
            f"result {big}x{big} RGB TIFF: {target.stat().st_size / 1e9:.2f} GB "
            f"({big * big * 3 / 1e9:.2f} GB of samples) in {seconds:.1f} s "
            f"({big * big / seconds / 1e6:.1f} Mpixel/s of result)"
        )
        print(f"peak RSS of korvane upscale: {peak:.0f} MiB (target: under 2048 MiB)")
        begun = time.perf_counter()
        starts = check_output(target, args.size)
        print(
            f"rows {', '.join(map(str, starts))} (64 each) equal nearest-neighbour x4 "
            f"(checked in {time.perf_counter() - begun:.1f} s)"
        )
    finally:
        if not args.keep:
            for path in (source, target, model):
                path.unlink(missing_ok=True)
            os.rmdir(folder)


if __name__ == "__main__":
    main()
