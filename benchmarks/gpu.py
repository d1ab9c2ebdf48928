"""Time every function of both modules on a GPU with real CuPy, at realistic sizes.

    python benchmarks/gpu.py [--repeat N] [--small]

For each call it prints the host time per call (what the caller's thread spends,
launching work without waiting for it), the GPU time of the kernels it launches
(CUDA events around the call, through ``cupyx.profiler.benchmark``), and the effective
memory bandwidth: the bytes the call must at least move (its inputs read once, its
outputs written once) divided by the GPU time, against the device's peak. A call that
makes several passes over its data shows as a fraction of the peak.

Sizes: a 2048x2048x3 float32 image for the batch and tile roads (tiles of 128 with
overlap 16, merged at scale 4), pixel-shift with dim 4 on 1024x1024x3. ``--small``
divides the sides by 8 for a quick look. Without a usable GPU the script says so and
exits with status 0, or 1 with ``--require-gpu`` (as scripts/gpu-check.sh runs it, where
no GPU is a failure); ``--stand-in`` runs it on the NumPy stand-in instead (host times
only), to try the script itself on a machine without a GPU.
"""

import argparse
import statistics
import sys
import time

import numpy


def gpu_or_exit(use_stand_in, require_gpu=False):
    import korvane.testing

    if use_stand_in:
        sys.modules.setdefault("cupy", korvane.testing.make_numpy_cupy())
        return sys.modules["cupy"]
    if not korvane.testing.cupy_is_usable():
        print("gpu benchmark: no usable GPU (CuPy is missing or sees no device); nothing measured")
        sys.exit(1 if require_gpu else 0)
    return sys.modules["cupy"]


def device_description(cp):
    """The device's name and its peak memory bandwidth in bytes per second (None if unknown)."""
    if getattr(cp, "__korvane_stand_in__", False):
        return "NumPy stand-in on the CPU", None
    runtime = cp.cuda.runtime
    device = cp.cuda.Device().id
    name = runtime.getDeviceProperties(device)["name"].decode()
    try:
        # cudaDevAttrMemoryClockRate (kHz) and cudaDevAttrGlobalMemoryBusWidth (bits).
        clock_khz = runtime.deviceGetAttribute(36, device)
        bus_bits = runtime.deviceGetAttribute(37, device)
    except Exception:
        return name, None
    # Double data rate: two transfers per clock.
    return name, 2.0 * clock_khz * 1e3 * bus_bits / 8


def measure(cp, call, repeat):
    """(host seconds per call, GPU seconds per call or None): medians over ``repeat`` calls."""
    try:
        from cupyx.profiler import benchmark
    except ImportError:
        benchmark = None
    if benchmark is None or getattr(cp, "__korvane_stand_in__", False):
        call()
        times = []
        for _ in range(repeat):
            started = time.perf_counter()
            call()
            times.append(time.perf_counter() - started)
        return statistics.median(times), None
    result = benchmark(call, (), n_repeat=repeat, n_warmup=2)
    return float(statistics.median(result.cpu_times)), float(statistics.median(result.gpu_times[0]))


def build_cases(cp, dm, tl, small):
    """(function, case, zero-argument call, bytes moved at least) for every function."""
    f32 = cp.float32
    side = 2048 // (8 if small else 1)
    shift_side = 1024 // (8 if small else 1)
    scale, tile_size, overlap, dim = 4, 128, 16, 4

    rng = numpy.random.default_rng(0)

    def random(*shape):
        return cp.asarray(rng.random(shape, dtype=numpy.float32))

    image = random(side, side, 3)
    nbytes = image.nbytes
    mean = (0.485, 0.456, 0.406)
    batch = dm.image_to_batch(random(side, side, 3))  # (1, 3, side, side)
    small_images = [random(side // 4, side // 4, 3) for _ in range(8)]
    shift_image = random(shift_side, shift_side, 3)
    preds = dm.image_to_batch_pixelshift(shift_image.copy(), dim)
    acc = cp.zeros((3, shift_side, shift_side), dtype=f32)
    hits = cp.zeros((1, shift_side, shift_side), dtype=f32)
    tiles, padded_shape = tl.tile_image(image, tile_size, overlap)
    padded_bytes = padded_shape[0] * padded_shape[1] * padded_shape[2] * 4
    big = tile_size * scale
    # Distinct tiles (1.1 GB at full size): one tile read again and again would sit in the L2 cache.
    upscaled = [random(big, big, 3) for _ in range(len(tiles))]
    merged_bytes = side * scale * side * scale * 3 * 4

    # In-place calls run again and again on the same arrays: scale 1.0 keeps the values finite.
    return [
        ("guess_image_layout", f"HWC {image.shape}", lambda: dm.guess_image_layout(image), 0),
        (
            "image_to_batch",
            f"{image.shape}, swap, mean, scale",
            lambda: dm.image_to_batch(image, scalefactor=1.0, mean=mean),
            2 * nbytes,
        ),
        (
            "images_to_batch",
            f"8 x {small_images[0].shape}, mean",
            lambda: dm.images_to_batch(small_images, mean=mean),
            2 * sum(i.nbytes for i in small_images),
        ),
        (
            "batch_to_images",
            f"{batch.shape}, swap, mean, scale",
            lambda: dm.batch_to_images(batch, scalefactor=1.0, mean=mean),
            2 * batch.nbytes,
        ),
        (
            "image_to_batch_pixelshift",
            f"{shift_image.shape}, dim {dim}",
            lambda: dm.image_to_batch_pixelshift(shift_image, dim, swap_rb=False),
            2 * shift_image.nbytes,
        ),
        (
            "pixelshift_fuse",
            f"{preds.shape[0]} x {preds.shape[1:]}, dim {dim}",
            lambda: dm.pixelshift_fuse(preds, acc, hits, 0, dim),
            preds.nbytes + 2 * acc.nbytes + 2 * hits.nbytes,
        ),
        (
            "tile_image",
            f"{image.shape}, {tile_size}/{overlap} -> {len(tiles)} tiles",
            lambda: tl.tile_image(image, tile_size, overlap),
            nbytes + padded_bytes,
        ),
        (
            "add_padding",
            f"{image.shape} -> {padded_shape}",
            lambda: tl.add_padding(image, tile_size, overlap),
            nbytes + padded_bytes,
        ),
        (
            "merge_tiles",
            f"{len(tiles)} x {upscaled[0].shape}, scale {scale}",
            lambda: tl.merge_tiles(upscaled, tuple(image.shape), tuple(padded_shape), scale, tile_size, overlap),
            len(tiles) * upscaled[0].nbytes + merged_bytes,
        ),
        (
            "create_gaussian_weights",
            f"{big}, sigma {big // 4}",
            lambda: tl.create_gaussian_weights(big, big // 4),
            big * big * 8,
        ),
    ]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=10, help="calls per function (median counts)")
    parser.add_argument("--small", action="store_true", help="sides divided by 8")
    parser.add_argument("--stand-in", action="store_true", help="run on the NumPy stand-in (no GPU times)")
    parser.add_argument("--require-gpu", action="store_true", help="exit with status 1 where no GPU is usable")
    args = parser.parse_args(argv)

    cp = gpu_or_exit(args.stand_in, args.require_gpu)
    from korvane.upscale import tile as tl
    from korvane.utils import dimention as dm

    name, peak = device_description(cp)
    version = getattr(cp, "__version__", "stand-in")
    print(f"device: {name}; CuPy {version}; peak memory bandwidth " + (f"{peak / 1e9:.0f} GB/s" if peak else "unknown"))
    print(f"{'function':<26} {'case':<44} {'host/call':>10} {'GPU/call':>10} {'GB/s':>8} {'of peak':>8}")
    for function, case, call, moved in build_cases(cp, dm, tl, args.small):
        host, gpu = measure(cp, call, args.repeat)
        gpu_text = f"{gpu * 1e3:8.3f}ms" if gpu is not None else f"{'-':>10}"
        rate = moved / gpu if gpu and moved else None
        rate_text = f"{rate / 1e9:8.1f}" if rate else f"{'-':>8}"
        share = f"{rate / peak:7.1%}" if rate and peak else f"{'-':>8}"
        print(f"{function:<26} {case:<44} {host * 1e3:8.3f}ms {gpu_text} {rate_text} {share}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
