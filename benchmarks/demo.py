"""The demo on a large photo: wall time and peak memory of ``python -m korvane demo``.

    python benchmarks/demo.py [PHOTO] [--size 4000x3000] [--backend numpy] [-- DEMO OPTIONS]

Without PHOTO it makes a synthetic photo of --size (smooth colour fields, fine texture,
sharp edges and text-like strokes), saves it as a JPEG in a temporary folder and uses that.
The demo runs in a child process; its wall time is measured here, its peak memory is the
child's peak resident set size and its CPU time the child's user + system time (both from
``resource.getrusage(RUSAGE_CHILDREN)``). The machine's load average is printed beside them,
since on a shared machine the wall time depends on it. The demo's own timing table is
printed as it comes.
"""

import argparse
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy


def synthetic_photo(height, width, seed=3):
    """An RGB uint8 picture with what photos have: smooth gradients, texture, edges."""
    rng = numpy.random.default_rng(seed)
    y = numpy.linspace(0.0, 1.0, height, dtype=numpy.float32)[:, None]
    x = numpy.linspace(0.0, 1.0, width, dtype=numpy.float32)[None, :]
    rgb = numpy.empty((height, width, 3), numpy.float32)
    rgb[..., 0] = 0.55 + 0.35 * numpy.sin(3.1 * x + 1.3 * y)
    rgb[..., 1] = 0.45 + 0.30 * numpy.cos(2.3 * y - 1.7 * x)
    rgb[..., 2] = 0.50 + 0.30 * numpy.sin(4.0 * x * y + 0.5)
    # Fine texture (a few pixels across), as foliage or fabric give.
    rgb += 0.06 * numpy.sin(x * width / 3.7)[..., None] * numpy.cos(y * height / 5.3)[..., None]
    # Discs with sharp edges.
    for _ in range(12):
        cy, cx, r = rng.uniform(0, height), rng.uniform(0, width), rng.uniform(0.03, 0.12) * height
        disc = (numpy.arange(height)[:, None] - cy) ** 2 + (numpy.arange(width)[None, :] - cx) ** 2 < r * r
        rgb[disc] = rng.uniform(0.05, 0.95, 3)
    # Thin dark strokes, like lettering.
    for _ in range(40):
        top, left = int(rng.uniform(0, height - 40)), int(rng.uniform(0, width - 300))
        rgb[top : top + 3, left : left + int(rng.uniform(60, 300))] = 0.05
    rgb += rng.normal(0.0, 0.01, rgb.shape).astype(numpy.float32)  # sensor noise
    return numpy.rint(numpy.clip(rgb, 0.0, 1.0) * 255.0).astype(numpy.uint8)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("photo", nargs="?", help="a picture file; default: a synthetic JPEG of --size")
    parser.add_argument("--size", default="4000x3000", help="WIDTHxHEIGHT of the synthetic photo")
    parser.add_argument("--backend", default="numpy", choices=("auto", "cupy", "numpy"))
    parser.add_argument("demo_options", nargs=argparse.REMAINDER, help="after --: options for the demo")
    args = parser.parse_args()
    extra = [a for a in args.demo_options if a != "--"]

    with tempfile.TemporaryDirectory() as folder:
        photo = args.photo
        if photo is None:
            from PIL import Image

            width, height = map(int, args.size.lower().split("x"))
            photo = str(Path(folder) / f"photo_{width}x{height}.jpg")
            Image.fromarray(synthetic_photo(height, width), "RGB").save(photo, quality=92)
        command = [
            sys.executable,
            "-m",
            "korvane",
            "demo",
            photo,
            "--backend",
            args.backend,
            "--out",
            str(Path(folder) / "out"),
            "--no-progress",
            *extra,
        ]
        load_before = os.getloadavg()[0]
        started = time.perf_counter()
        result = subprocess.run(command, check=False)
        wall = time.perf_counter() - started
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        load_after = os.getloadavg()[0]
        written = sorted((p.name, p.stat().st_size) for p in (Path(folder) / "out").glob("*"))
    print(
        f"\n{platform.python_implementation()} {platform.python_version()}, NumPy {numpy.__version__}, "
        f"{platform.machine()}"
    )
    cpu = usage.ru_utime + usage.ru_stime
    print(
        f"demo exit status {result.returncode}: wall time {wall:.1f} s, CPU time {cpu:.1f} s, "
        f"peak memory {usage.ru_maxrss / 2**20:.2f} GiB (resident set size of the demo process); "
        f"load average {load_before:.1f} before, {load_after:.1f} after, on {os.cpu_count()} cores"
    )
    print("files: " + ", ".join(f"{name} {size / 2**20:.1f} MiB" for name, size in written))
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
