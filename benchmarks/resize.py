"""korvane's resize against OpenCV's cv2.resize on the CPU, side by side.

A 1500x2000x3 float32 picture is grown x2 (bilinear, cv2.INTER_LINEAR) and shrunk
by 3 (area, cv2.INTER_AREA). Each round times cv2.resize, korvane's resize on a
NumPy array (which hands such pictures to OpenCV when it is installed) and
korvane's own separable path (what runs without OpenCV, and on CuPy arrays), one
right after the other; the figures are medians over the rounds of each round's
time ratio to cv2, so that load from other processes mostly cancels out.

    python benchmarks/resize.py [--rounds N]
"""

import argparse
import functools
import platform
import statistics
import sys
import time

import numpy

from korvane.transform import resize as resize_module

CASES = [
    # name, dsize (width, height), cv2 flag, korvane mode
    ("grow x2, bilinear", (4000, 3000), "INTER_LINEAR", resize_module.INTER_LINEAR),
    ("shrink /3, area", (2000 // 3, 1500 // 3), "INTER_AREA", resize_module.INTER_AREA),
]


def timed(call):
    started = time.perf_counter()
    result = call()
    return time.perf_counter() - started, result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="rounds per case (default 15)")
    args = parser.parse_args(argv)
    try:
        import cv2
    except ImportError:
        sys.exit("resize benchmark: OpenCV (opencv-python-headless) is the baseline and is not installed")

    image = numpy.random.default_rng(0).random((1500, 2000, 3), dtype=numpy.float32)
    work = numpy.dtype(numpy.float32)
    print(
        f"resize of a {image.shape} float32 picture; Python {platform.python_version()}, NumPy {numpy.__version__}, "
        f"OpenCV {cv2.__version__} ({cv2.getNumThreads()} threads); {args.rounds} rounds, medians"
    )
    print(f"{'case':<20} {'cv2.resize':>11} {'resize':>9} {'ratio':>6} {'own path':>9} {'ratio':>6} {'max |diff|':>11}")
    for name, dsize, flag_name, mode in CASES:
        calls = {
            "cv2": functools.partial(cv2.resize, image, dsize, interpolation=getattr(cv2, flag_name)),
            "resize": functools.partial(resize_module.resize, image, dsize, mode),
            "own": functools.partial(resize_module._resample, numpy, image, *dsize, mode, work),
        }
        results = {key: call() for key, call in calls.items()}  # warm-up, and the results to compare
        diff = max(float(numpy.abs(results[key] - results["cv2"]).max()) for key in ("resize", "own"))
        times = {key: [] for key in calls}
        for _ in range(args.rounds):
            for key, call in calls.items():
                times[key].append(timed(call)[0])
        ratio = {key: statistics.median(t / c for t, c in zip(times[key], times["cv2"])) for key in ("resize", "own")}
        ms = {key: 1e3 * statistics.median(values) for key, values in times.items()}
        print(
            f"{name:<20} {ms['cv2']:>8.1f} ms {ms['resize']:>6.1f} ms {ratio['resize']:>5.2f}x "
            f"{ms['own']:>6.1f} ms {ratio['own']:>5.2f}x {diff:>11.1e}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
