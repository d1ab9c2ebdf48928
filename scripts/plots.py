"""Draw the docs' figures into docs/_static/ (matplotlib, on the CPU).

    PYTHONPATH=python python scripts/plots.py [--demo out/real_network.png] [--out docs/_static]

- seam_profiles.png: one row of the result across two tile boundaries, per window, with a model
  whose tiles disagree (each adds a tenth of its own mean), minus the seam-free result;
- engine_tile_size.png: upscale_tiled's time and peak memory against the tile size, measured
  here on a 512x512 picture;
- engine_picture_size.png: by hand (tile_image + merge_tiles) against the engine, from the
  figures benchmarks/engine.py printed on the development machine (docs/benchmarks.md);
- tile_memory.png: the command line's peak memory against tile and batch size, from
  benchmarks/tile_memory.py's figures (docs/models.md);
- real_network_crop.png, with --demo: a crop of the demo's real_network.png (the photo,
  bicubic and waifu2x side by side), from ``korvane demo``'s output.
"""

import argparse
import os
import pathlib
import time
import tracemalloc

import numpy

os.environ.setdefault("KORVANE_BACKEND", "numpy")
os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib.pyplot as plt

ROOT = pathlib.Path(__file__).resolve().parents[1]
DPI = 80
WINDOWS = ("merge_tiles", "box", "gaussian", "hann")

# benchmarks/engine.py, two runs (ranges) on 2 shared cores: (megapixels, s) -> seconds, peak / result.
ENGINE_FIGURES = {
    "by hand": {(1.05, 2): ((0.67, 1.19), 5.53), (1.05, 4): ((3.6, 4.6), 5.34), (4.19, 2): ((3.4, 5.0), 6.07),
                (4.19, 4): ((10.7, 17.4), 5.87)},
    '"hann"': {(1.05, 2): ((0.10, 0.14), 1.24), (1.05, 4): ((0.29, 0.40), 1.19), (4.19, 2): ((0.41, 0.54), 1.06),
               (4.19, 4): ((1.26, 1.58), 1.05)},
    '"merge_tiles"': {(1.05, 2): ((0.21, 0.24), 1.61), (1.05, 4): ((0.77, 1.09), 1.55),
                      (4.19, 2): ((0.82, 0.97), 1.40), (4.19, 4): ((3.1, 4.8), 1.39)},
}  # fmt: skip
# benchmarks/tile_memory.py on a 2000x2000 picture: (tile, batch) -> peak RSS, korvane's buffers (MiB).
TILE_MEMORY = {(128, 1): (326, 184), (128, 8): (443, 191), (256, 8): (847, 213), (512, 1): (591, 198),
               (512, 8): (2460, 303)}  # fmt: skip


def enlarge(batch, s=2):
    return batch.repeat(s, axis=2).repeat(s, axis=3)


def drifting(batch):
    # Each tile off by a tenth of its own mean: neighbouring tiles disagree where they overlap.
    out = enlarge(batch)
    return out + 0.1 * out.mean(axis=(1, 2, 3), keepdims=True)


def seam_profiles(path):
    import korvane

    cp = korvane.use_numpy()
    from korvane.upscale import upscale_tiled

    ramp = numpy.linspace(0.1, 0.9, 256, dtype=numpy.float32)
    picture = cp.asarray(numpy.broadcast_to(ramp[None, :, None], (64, 256, 3)).copy())
    clean = cp.asnumpy(upscale_tiled(picture, enlarge, tile_size=64, overlap=16))
    fig, ax = plt.subplots(figsize=(7.5, 3.0), dpi=DPI)
    lo, hi = 2 * 48 - 24, 2 * 144 + 56  # two boundaries, in result pixels
    x = numpy.arange(lo, hi)
    for window in WINDOWS:
        result = cp.asnumpy(upscale_tiled(picture, drifting, tile_size=64, overlap=16, window=window))
        # merge_tiles' map is nearly flat here, so it lies under "box": drawn thick, "box" dashed.
        style = {"merge_tiles": {"linewidth": 3.5, "alpha": 0.6}, "box": {"linestyle": "--"}}.get(window, {})
        ax.plot(x, (result - clean)[64, lo:hi, 0], label=window, **{"linewidth": 1.4, **style})
    for start in (48, 96, 144):  # tile corners are 48 input pixels apart; overlaps are 16 wide
        ax.axvspan(2 * start, 2 * (start + 16), color="0.9", zorder=0)
    ax.set_xlabel("result column (grey: tile overlaps)")
    ax.set_ylabel("result − seam-free result")
    ax.set_title("One row across tile overlaps: tiles of 64, overlap 16, ×2", fontsize=10)
    ax.legend(fontsize=8, ncol=4, loc="upper left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def engine_tile_size(path, sizes=(32, 48, 64, 96, 128, 192, 256), side=512, rounds=3):
    from korvane.upscale import upscale_tiled

    picture = numpy.random.default_rng(0).random((side, side, 3), dtype=numpy.float32)
    result_bytes = (2 * side) ** 2 * 3 * 4
    times, peaks = [], []
    for tile in sizes:
        overlap = tile // 8
        best = float("inf")
        for _ in range(rounds):
            start = time.perf_counter()
            upscale_tiled(picture, enlarge, tile_size=tile, overlap=overlap)
            best = min(best, time.perf_counter() - start)
        tracemalloc.start()
        upscale_tiled(picture, enlarge, tile_size=tile, overlap=overlap)
        peaks.append(tracemalloc.get_traced_memory()[1] / result_bytes)
        tracemalloc.stop()
        times.append(best)
        print(f"tile {tile:>3}: {best * 1e3:7.1f} ms, peak {peaks[-1]:.2f}x the result")
    fig, (left, right) = plt.subplots(1, 2, figsize=(7.5, 2.8), dpi=DPI)
    left.plot(sizes, [t * 1e3 for t in times], "o-")
    left.set_xlabel("tile size (overlap an eighth)")
    left.set_ylabel("ms, best of 3")
    right.plot(sizes, peaks, "o-", color="C1")
    right.set_xlabel("tile size")
    right.set_ylabel("peak / result size")
    fig.suptitle(f'upscale_tiled, "hann", batches of 8, {side}² × 3 at ×2, NumPy on the CPU', fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def engine_picture_size(path):
    fig, (left, right) = plt.subplots(1, 2, figsize=(7.5, 2.8), dpi=DPI)
    for k, (name, cases) in enumerate(ENGINE_FIGURES.items()):
        for scale, marker in ((2, "o"), (4, "s")):
            points = sorted((mp, value) for (mp, s), value in cases.items() if s == scale)
            mps = [mp for mp, _ in points]
            mid = [sum(t) / 2 for _, (t, _) in points]
            spread = [(t[1] - t[0]) / 2 for _, (t, _) in points]
            label = f"{name}, ×{scale}"
            left.errorbar(mps, mid, yerr=spread, marker=marker, color=f"C{k}", label=label, capsize=3)
            right.plot(mps, [peak for _, (_, peak) in points], marker=marker, color=f"C{k}", label=label)
    left.set_yscale("log")
    left.set_xlabel("picture, megapixels")
    left.set_ylabel("seconds")
    right.set_xlabel("picture, megapixels")
    right.set_ylabel("peak / result size")
    right.legend(fontsize=7, ncol=2)
    fig.suptitle("By hand against the engine: tiles of 128, overlap 16 (benchmarks/engine.py)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def tile_memory(path):
    fig, ax = plt.subplots(figsize=(6.0, 2.8), dpi=DPI)
    labels = [f"tile {tile}\nbatch {batch}" for tile, batch in TILE_MEMORY]
    peak = [value[0] for value in TILE_MEMORY.values()]
    own = [value[1] for value in TILE_MEMORY.values()]
    ax.bar(labels, peak, color="C0", label="peak resident memory")
    ax.bar(labels, own, color="C1", label="korvane's buffers")
    ax.set_ylabel("MiB")
    ax.set_title("korvane upscale, 2000×2000, a 64-feature ×2 network (CPU)", fontsize=10)
    ax.legend(fontsize=8)
    ax.tick_params(axis="x", labelsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def real_network_crop(demo, path, box=(96, 120, 224, 248)):
    # The demo's sheet: 256-pixel panels, 6 pixels apart, each under a 20-pixel title.
    from PIL import Image, ImageDraw

    sheet = Image.open(demo).convert("RGB")
    left, top, right, bottom = box
    panels = [(0, "photo"), (2, "bicubic"), (3, "waifu2x-photo-up2x")]
    size = 2 * (right - left)
    out = Image.new("RGB", (len(panels) * (size + 6) + 6, size + 26), "white")
    draw = ImageDraw.Draw(out)
    for k, (panel, title) in enumerate(panels):
        x0, y0 = 6 + panel * 262, 26
        crop = sheet.crop((x0 + left, y0 + top, x0 + right, y0 + bottom)).resize((size, size), Image.NEAREST)
        out.paste(crop, (6 + k * (size + 6), 20))
        draw.text((6 + k * (size + 6), 5), title, fill="black")
    out.save(path, optimize=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "docs" / "_static")
    parser.add_argument("--demo", type=pathlib.Path, help="the demo's real_network.png, for its crop")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    seam_profiles(args.out / "seam_profiles.png")
    engine_tile_size(args.out / "engine_tile_size.png")
    engine_picture_size(args.out / "engine_picture_size.png")
    tile_memory(args.out / "tile_memory.png")
    if args.demo:
        real_network_crop(args.demo, args.out / "real_network_crop.png")
    for png in sorted(args.out.glob("*.png")):
        print(f"{png.relative_to(ROOT) if png.is_relative_to(ROOT) else png}: {png.stat().st_size / 1024:.0f} KiB")


if __name__ == "__main__":
    main()
