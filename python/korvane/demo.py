"""A short tour of korvane on a built-in sample image.

Runs on CuPy when a GPU is usable, else on the NumPy stand-in, and prints what
each road does: layout inference, the batch round trip with a per-channel mean,
the pixel-shift split and fusion, and (when built) tiling and merging.
"""

import argparse
import sys
import time


def sample_image(height=256, width=384):
    """A BGR float32 test picture: colour gradients, a disc and a checkerboard patch."""
    import numpy as np

    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    image = np.empty((height, width, 3), np.float32)
    image[..., 0] = x / (width - 1)
    image[..., 1] = y / (height - 1)
    image[..., 2] = 0.5 + 0.5 * np.sin(x / 17.0) * np.cos(y / 23.0)
    disc = (x - width * 0.6) ** 2 + (y - height * 0.45) ** 2 < (height * 0.25) ** 2
    image[disc] = (0.1, 0.2, 0.9)
    checker = ((x // 8 + y // 8) % 2 == 0) & (x < width * 0.3) & (y > height * 0.6)
    image[checker] = 1.0
    return image


def choose_backend(name):
    """Register the array module that the extension modules import as ``cupy``."""
    import korvane.testing

    if name == "numpy":
        if "cupy" not in sys.modules:
            sys.modules["cupy"] = korvane.testing.make_numpy_cupy()
        return sys.modules["cupy"]
    if name == "cupy":
        if not korvane.testing.cupy_is_usable():
            raise SystemExit("error: CuPy with a usable GPU was asked for, but none is available")
        return sys.modules["cupy"]
    return korvane.testing.use_numpy()


def run(args):
    cp = choose_backend(args.backend)
    stand_in = getattr(cp, "__korvane_stand_in__", False)
    print(f"backend: {'NumPy stand-in (no usable GPU)' if stand_in else 'CuPy on the GPU'}")

    from korvane.utils import dimention as dm

    print("\nlayout inference")
    for shape in [(480, 640), (480, 640, 3), (3, 480, 640), (8, 3, 224, 224), (8, 224, 224, 3), (4, 4, 4), (640,)]:
        print(f"  {str(shape):<20} -> {dm.guess_image_layout(cp.zeros(shape, dtype=cp.float32))}")

    image = cp.asarray(sample_image())
    mean = (0.485, 0.456, 0.406)

    print("\nbatch road: image_to_batch -> batch_to_images")
    started = time.perf_counter()
    batch = dm.image_to_batch(image.copy(), scalefactor=2.0, mean=mean)
    restored = dm.batch_to_images(batch, scalefactor=2.0, mean=mean)[0]
    elapsed = time.perf_counter() - started
    error = float(cp.asnumpy(abs(restored - image)).max())
    print(f"  batch {tuple(batch.shape)}, restored {tuple(restored.shape)}, largest difference {error:.2e}"
          f" ({elapsed * 1e3:.1f} ms)")

    print(f"\npixel-shift road: dim={args.dim}")
    started = time.perf_counter()
    subs = dm.image_to_batch_pixelshift(image.copy(), args.dim, swap_rb=False)
    channels, height, width = subs.shape[1], image.shape[0], image.shape[1]
    acc = cp.zeros((channels, height, width), dtype=cp.float32)
    hits = cp.zeros((channels, height, width), dtype=cp.float32)
    chunk = max(1, args.dim)
    for start in range(0, subs.shape[0], chunk):
        dm.pixelshift_fuse(subs[start:start + chunk], acc, hits, start, args.dim)
    fused = acc / hits
    elapsed = time.perf_counter() - started
    print(f"  {subs.shape[0]} sub-images of {tuple(subs.shape[1:])}, fused {tuple(fused.shape)}, "
          f"hits {float(cp.asnumpy(hits).min()):.0f} per pixel ({elapsed * 1e3:.1f} ms)")

    try:
        from korvane.upscale import tile as tl
    except ImportError:
        print("\ntile road: module not built")
        return 0
    print(f"\ntile road: tile_size={args.tile_size}, overlap={args.overlap}, scale={args.scale}")
    started = time.perf_counter()
    tiles, padded_shape = tl.tile_image(image, args.tile_size, args.overlap)
    upscaled = [t.repeat(args.scale, axis=0).repeat(args.scale, axis=1) for t in tiles]
    merged = tl.merge_tiles(upscaled, tuple(image.shape), tuple(padded_shape), args.scale, args.tile_size,
                            args.overlap)
    elapsed = time.perf_counter() - started
    print(f"  {len(tiles)} tiles, padded {tuple(padded_shape)}, merged {tuple(merged.shape)} ({elapsed * 1e3:.1f} ms)")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m korvane", description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="run both roads on a built-in sample image")
    demo.add_argument("--backend", choices=("auto", "cupy", "numpy"), default="auto")
    demo.add_argument("--dim", type=int, default=4)
    demo.add_argument("--tile-size", type=int, default=128)
    demo.add_argument("--overlap", type=int, default=16)
    demo.add_argument("--scale", type=int, default=2)
    args = parser.parse_args(argv)
    return run(args)
