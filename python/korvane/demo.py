"""Run the three roads of korvane on one picture and write what they make as PNG files.

    python -m korvane demo [IMAGE] [--tile-size N] [--overlap N] [--scale N] [--dim N]
                           [--out DIR] [--backend auto|cupy|numpy] ...

1. Tile-wise upscaling: ``tile_image``, a stand-in network that enlarges every tile,
   ``merge_tiles``; a side-by-side crop compares a naive paste of the tiles with the
   blended merge.
2. Pixel-shift: ``image_to_batch_pixelshift``, a stand-in network on the sub-images,
   ``pixelshift_fuse`` chunk by chunk, then ``acc / hits``.
3. Batch round trip: ``image_to_batch`` with a per-channel mean and a scale factor,
   then ``batch_to_images``; the largest difference to the input is reported.

Images are read and written with Pillow, which works in RGB; the package takes BGR,
so the channels are swapped explicitly on the way in and out. Without a usable GPU
the NumPy stand-in for ``cupy`` runs everything on the CPU.
"""

import argparse
import math
import os
import sys
import time
from pathlib import Path

import numpy

MEAN = (0.485, 0.456, 0.406)  # per channel, in the network's (RGB) order
STD = 0.226
EXIT_USAGE = 2
EXIT_INPUT = 1


class DemoError(Exception):
    """A problem with the user's input or options: reported in one line, without a traceback."""


def sample_image(height=256, width=384):
    """A BGR float32 test picture: colour gradients, a disc and a checkerboard patch."""
    y, x = numpy.mgrid[0:height, 0:width].astype(numpy.float32)
    image = numpy.empty((height, width, 3), numpy.float32)
    image[..., 0] = x / (width - 1)
    image[..., 1] = y / (height - 1)
    image[..., 2] = 0.5 + 0.5 * numpy.sin(x / 17.0) * numpy.cos(y / 23.0)
    disc = (x - width * 0.6) ** 2 + (y - height * 0.45) ** 2 < (height * 0.25) ** 2
    image[disc] = (0.1, 0.2, 0.9)
    checker = ((x // 8 + y // 8) % 2 == 0) & (x < width * 0.3) & (y > height * 0.6)
    image[checker] = 1.0
    return image


# ---- images in and out ------------------------------------------------------------------


def _pillow():
    try:
        from PIL import Image, ImageDraw, ImageFont
    except ImportError:
        raise DemoError("the demo needs Pillow: pip install 'korvane[demo]'") from None
    return Image, ImageDraw, ImageFont


def load_image(path):
    """Read an image file as a BGR float32 array in [0, 1], shape (H, W, 3)."""
    Image, _, _ = _pillow()
    path = Path(path)
    if not path.exists():
        raise DemoError(f"no such file: {path}")
    if path.is_dir():
        raise DemoError(f"{path} is a folder, not an image file")
    try:
        with Image.open(path) as picture:
            picture.load()
            if picture.mode.startswith("I;16"):
                # 16-bit greyscale: Pillow's RGB conversion would clip it to 8 bits.
                grey = numpy.asarray(picture, dtype=numpy.float32) / 65535.0
                rgb = numpy.repeat(grey[..., None], 3, axis=2)
            else:
                rgb = numpy.asarray(picture.convert("RGB"), dtype=numpy.float32) / 255.0
    except Image.DecompressionBombError as exc:
        raise DemoError(f"{path} is too large to read safely: {exc}") from None
    except OSError as exc:  # includes UnidentifiedImageError
        raise DemoError(f"cannot read {path} as an image: {exc}") from None
    if rgb.shape[0] == 0 or rgb.shape[1] == 0:
        raise DemoError(f"{path} holds an empty image")
    # Pillow gives RGB; the package takes BGR, so swap the channel axis here.
    return numpy.ascontiguousarray(rgb[..., ::-1])


def to_rgb8(bgr):
    """BGR float (H, W, 3) host array in [0, 1] -> RGB uint8, for Pillow."""
    rgb = numpy.asarray(bgr, dtype=numpy.float64)[..., ::-1]
    return numpy.ascontiguousarray(numpy.rint(numpy.clip(rgb, 0.0, 1.0) * 255.0).astype(numpy.uint8))


def save_image(path, bgr):
    Image, _, _ = _pillow()
    try:
        Image.fromarray(to_rgb8(bgr), "RGB").save(path)
    except OSError as exc:
        raise DemoError(f"cannot write {path}: {exc}") from None
    return path


def labelled_panels(panels, columns, gap=6):
    """Arrange (title, BGR host array) panels of one size in a grid, a title above each."""
    Image, ImageDraw, ImageFont = _pillow()
    font = ImageFont.load_default(size=13)
    height, width = panels[0][1].shape[:2]
    title_height = 20
    rows = math.ceil(len(panels) / columns)
    sheet = Image.new(
        "RGB",
        (columns * width + (columns + 1) * gap, rows * (height + title_height) + (rows + 1) * gap),
        (255, 255, 255),
    )
    draw = ImageDraw.Draw(sheet)
    for k, (title, bgr) in enumerate(panels):
        left = gap + (k % columns) * (width + gap)
        top = gap + (k // columns) * (height + title_height + gap)
        draw.text((left, top + 3), title, fill=(0, 0, 0), font=font)
        sheet.paste(Image.fromarray(to_rgb8(bgr), "RGB"), (left, top + title_height))
    return sheet


def save_sheet(path, sheet):
    try:
        sheet.save(path, optimize=True)
    except OSError as exc:
        raise DemoError(f"cannot write {path}: {exc}") from None
    return path


# ---- backend, timing, progress ----------------------------------------------------------


def choose_backend(name):
    """Register the array module that the extension modules import as ``cupy``; return it."""
    import korvane.testing

    if name == "numpy":
        module = sys.modules.get("cupy")
        if module is None:
            module = sys.modules["cupy"] = korvane.testing.make_numpy_cupy()
        elif not getattr(module, "__korvane_stand_in__", False):
            raise DemoError("--backend numpy: real CuPy is already loaded in this process")
        return module
    if name == "cupy":
        if not korvane.testing.cupy_is_usable():
            raise DemoError("--backend cupy: CuPy with a usable GPU is not available (try --backend numpy)")
        return sys.modules["cupy"]
    return korvane.testing.use_numpy()


def is_stand_in(cp):
    return bool(getattr(cp, "__korvane_stand_in__", False))


def synchronize(cp):
    # GPU work is asynchronous: wait for it so that a stage's time is its own.
    cuda = getattr(cp, "cuda", None)
    if cuda is not None:
        cuda.get_current_stream().synchronize()


class Stopwatch:
    """Named stage timings, in the order the stages ran."""

    def __init__(self, cp):
        self.cp = cp
        self.stages = []

    def time(self, road, stage):
        watch = self

        class _Stage:
            def __enter__(self):
                synchronize(watch.cp)
                self.started = time.perf_counter()

            def __exit__(self, *exc):
                synchronize(watch.cp)
                watch.stages.append((road, stage, time.perf_counter() - self.started))

        return _Stage()


def progress(iterable, args, desc, unit, total=None):
    """tqdm over a loop, on stderr so that stdout keeps only the results."""
    try:
        from tqdm import tqdm
    except ImportError:
        raise DemoError("the demo needs tqdm: pip install 'korvane[demo]'") from None
    return tqdm(iterable, desc=desc, unit=unit, total=total, file=sys.stderr, disable=args.no_progress,
                leave=False, dynamic_ncols=True)


# ---- stand-in networks ------------------------------------------------------------------


def make_upscaler(name, scale, drift):
    """The tile road's stand-in network: enlarge an (h, w, C) tile ``scale`` times.

    With ``drift`` (a fraction), tile k also gets a brightness gain of up to 1 +/- drift,
    fixed per position in the list, as a network that normalises every tile on its own
    would give; that is what makes seams visible when tiles are pasted side by side.
    """
    if name == "nearest":
        def enlarge(tile):
            return tile.repeat(scale, axis=0).repeat(scale, axis=1)
    else:
        from korvane.transform.resize import INTER_LINEAR, resize

        def enlarge(tile):
            height, width = tile.shape[:2]
            return resize(tile, (width * scale, height * scale), interpolation=INTER_LINEAR)

    gains = numpy.random.default_rng(7)

    def network(tile):
        big = enlarge(tile)
        return big * float(1.0 + drift * gains.uniform(-1.0, 1.0)) if drift else big

    return network


def make_shift_network(cp, name):
    """The pixel-shift road's stand-in network on an (N, C, h, w) batch."""
    if name == "identity":
        return lambda batch: batch

    def blur(batch):
        # A mild 3x3 blur (centre 1/4, edges 1/8, corners 1/16), edges repeated.
        padded = cp.pad(batch, ((0, 0), (0, 0), (1, 1), (1, 1)), mode="edge")
        h, w = batch.shape[2], batch.shape[3]
        rows = padded[:, :, 0:h, :] * 0.25 + padded[:, :, 1:h + 1, :] * 0.5 + padded[:, :, 2:h + 2, :] * 0.25
        return rows[..., 0:w] * 0.25 + rows[..., 1:w + 1] * 0.5 + rows[..., 2:w + 2] * 0.25

    return blur


# ---- the three roads ---------------------------------------------------------------------


def grid_corners(extent, tile_size, overlap):
    # The corners tile_image cuts at along one axis of the padded image.
    return range(0, extent - tile_size + 1, tile_size - overlap)


def naive_paste(cp, tiles, original_shape, padded_shape, scale, tile_size, overlap):
    """Paste the enlarged tiles at their grid positions, later ones over earlier ones."""
    size = tile_size * scale
    canvas = cp.zeros((padded_shape[0] * scale, padded_shape[1] * scale, padded_shape[2]), dtype=cp.float32)
    positions = [(y, x) for y in grid_corners(padded_shape[0], tile_size, overlap)
                 for x in grid_corners(padded_shape[1], tile_size, overlap)]
    for (y, x), tile in zip(positions, tiles):
        canvas[y * scale:y * scale + size, x * scale:x * scale + size] = tile
    return canvas[:original_shape[0] * scale, :original_shape[1] * scale]


def seam_window(height, width, tile_size, overlap, scale, side):
    """Output-pixel window (top, left, side) centred on the first inner tile corner, or None."""
    step = tile_size - overlap
    if height <= tile_size or width <= tile_size:
        return None  # a single row or column of tiles has no inner corner
    centre = (step + tile_size) // 2 * scale  # middle of the first overlap band
    side = min(side, height * scale, width * scale)
    top = min(max(centre - side // 2, 0), height * scale - side)
    left = min(max(centre - side // 2, 0), width * scale - side)
    return top, left, side


def tile_road(cp, image, args, watch, out):
    from korvane.upscale import tile as tl

    road = "tiles"
    with watch.time(road, "tile_image"):
        tiles, padded_shape = tl.tile_image(image, args.tile_size, args.overlap)
    upscale = make_upscaler(args.upscaler, args.scale, args.tile_drift / 100.0)
    with watch.time(road, f"network ({args.upscaler}) x{len(tiles)}"):
        enlarged = [upscale(tile) for tile in progress(tiles, args, "tiles", "tile")]
    with watch.time(road, "merge_tiles"):
        merged = tl.merge_tiles(enlarged, tuple(image.shape), tuple(padded_shape), args.scale,
                                args.tile_size, args.overlap)
    naive = naive_paste(cp, enlarged, image.shape, padded_shape, args.scale, args.tile_size, args.overlap)
    merged_host, naive_host = cp.asnumpy(merged), cp.asnumpy(naive)

    written = [save_image(out / "tiles_merged.png", merged_host), save_image(out / "tiles_naive.png", naive_host)]
    print(f"tile road: {len(tiles)} tiles of {args.tile_size}px (overlap {args.overlap}), "
          f"padded {tuple(padded_shape)}, merged {tuple(merged.shape)} float32")

    window = seam_window(image.shape[0], image.shape[1], args.tile_size, args.overlap, args.scale, side=256)
    if window is None:
        print("  a single row or column of tiles: no tile corner to show")
        return written
    top, left, side = window
    panels = [("naive paste, no blending", naive_host[top:top + side, left:left + side]),
              ("merge_tiles, blended", merged_host[top:top + side, left:left + side])]
    written.append(save_sheet(out / "tiles_seams.png", labelled_panels(panels, columns=2)))
    return written


def fit_to_dim(host_image, dim, how):
    """Make both sides multiples of ``dim``: crop, pad by reflection, or refuse."""
    height, width = host_image.shape[:2]
    if height % dim == 0 and width % dim == 0:
        return host_image, None
    if how == "error":
        raise DemoError(f"image size {height}x{width} is not divisible by --dim {dim} "
                        f"(use --fit crop or --fit pad)")
    if how == "crop":
        new_h, new_w = height - height % dim, width - width % dim
        if new_h == 0 or new_w == 0:
            raise DemoError(f"image size {height}x{width} is smaller than --dim {dim}")
        note = f"cropped {height}x{width} to {new_h}x{new_w} so that --dim {dim} divides both sides"
        return host_image[:new_h, :new_w], note
    new_h, new_w = -(-height // dim) * dim, -(-width // dim) * dim
    mode = "reflect" if min(height, width) > dim else "edge"
    padded = numpy.pad(host_image, ((0, new_h - height), (0, new_w - width), (0, 0)), mode=mode)
    note = f"padded {height}x{width} to {new_h}x{new_w} so that --dim {dim} divides both sides"
    return padded, note


def sub_image_mosaic(subs_host, dim, gap=2):
    """The dim x dim sub-images (RGB, CHW each) laid out by their offsets, as one BGR picture."""
    count, _, h, w = subs_host.shape
    sheet = numpy.ones((dim * h + (dim - 1) * gap, dim * w + (dim - 1) * gap, 3), numpy.float32)
    for idx in range(count):
        i, j = divmod(idx, dim)
        sheet[i * (h + gap):i * (h + gap) + h, j * (w + gap):j * (w + gap) + w] = \
            subs_host[idx].transpose(1, 2, 0)[..., ::-1]
    return sheet


def pixelshift_road(cp, host_image, fitted, args, watch, out):
    from korvane.utils import dimention as dm

    road = "pixel-shift"
    image = cp.asarray(fitted)
    height, width, channels = image.shape
    dim = args.dim
    network = make_shift_network(cp, args.shift_net)
    with watch.time(road, "image_to_batch_pixelshift"):
        # A copy: with a mean or scale the split works in place on the (swapped) image.
        subs = dm.image_to_batch_pixelshift(image.copy(), dim)
    acc = cp.zeros((channels, height, width), dtype=cp.float32)
    hits = cp.zeros((1, height, width), dtype=cp.float32)
    starts = range(0, dim * dim, args.chunk)
    with watch.time(road, f"network ({args.shift_net}) + pixelshift_fuse x{len(starts)}"):
        for start in progress(starts, args, "chunks", "chunk"):
            dm.pixelshift_fuse(network(subs[start:start + args.chunk]), acc, hits, start, dim)
    with watch.time(road, "acc / hits"):
        fused = acc / hits  # RGB, CHW
    fused_bgr = cp.asnumpy(fused).transpose(1, 2, 0)[..., ::-1]
    if fitted is not host_image and args.fit == "pad":
        fused_bgr = fused_bgr[:host_image.shape[0], :host_image.shape[1]]
    hits_host = cp.asnumpy(hits)
    written = [
        save_image(out / "pixelshift_subimages.png", sub_image_mosaic(cp.asnumpy(subs), dim)),
        save_image(out / "pixelshift_fused.png", fused_bgr),
    ]
    print(f"pixel-shift road: dim={dim}, {subs.shape[0]} sub-images of {tuple(subs.shape[1:])}, "
          f"fused in chunks of {args.chunk}: {tuple(fused.shape)}, hits {hits_host.min():g} to "
          f"{hits_host.max():g} per pixel")
    return written


def roundtrip_road(cp, image, host_image, watch, out):
    from korvane.utils import dimention as dm

    road = "round trip"
    scalefactor = 1.0 / STD
    work = image.copy()  # keep the original whatever the options: without a swap image_to_batch works in place
    with watch.time(road, "image_to_batch"):
        batch = dm.image_to_batch(work, scalefactor=scalefactor, mean=MEAN)
    network_view = cp.asnumpy(batch)[0].transpose(1, 2, 0)  # what a network sees, RGB
    with watch.time(road, "batch_to_images"):
        (restored,) = dm.batch_to_images(batch, scalefactor=scalefactor, mean=MEAN)
    restored_host = cp.asnumpy(restored)
    largest = float(numpy.abs(restored_host - host_image).max())
    low, high = network_view.min(), network_view.max()
    shown = (network_view - low) / (high - low if high > low else 1.0)
    panels = [("input (BGR in)", host_image), ("batch, rescaled for display", shown[..., ::-1]),
              ("batch_to_images", restored_host)]
    height, width = host_image.shape[:2]
    if height * width <= 512 * 512:
        written = [save_sheet(out / "roundtrip.png", labelled_panels(panels, columns=3))]
    else:
        written = [save_image(out / "roundtrip.png", restored_host)]
    print(f"round trip: image_to_batch {tuple(batch.shape)} (mean {MEAN}, scalefactor 1/{STD}) -> "
          f"batch_to_images {tuple(restored.shape)}; largest difference to the input {largest:.3g}")
    return written


# ---- command line -----------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    # One line on stderr for a bad option, not argparse's usage block.
    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def _positive(name, minimum=1):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{name} must be a whole number, got {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{name} must be at least {minimum}, got {value}")
        return value

    return parse


def build_parser():
    parser = _Parser(prog="python -m korvane", description="korvane on the command line.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    demo = sub.add_parser("demo", help="run the three roads on a picture and write PNG files",
                          description=__doc__.split("\n\n")[0])
    demo.add_argument("image", nargs="?", help="an image file (PNG, JPEG, ...); default: a built-in sample")
    demo.add_argument("--tile-size", type=_positive("--tile-size"), default=128, help="tile side (default 128)")
    demo.add_argument("--overlap", type=_positive("--overlap", 0), default=16, help="tile overlap (default 16)")
    demo.add_argument("--scale", type=_positive("--scale"), default=2, help="upscaling factor (default 2)")
    demo.add_argument("--upscaler", choices=("nearest", "bilinear"), default="bilinear",
                      help="the tile road's stand-in network (default bilinear)")
    demo.add_argument("--tile-drift", type=float, default=6.0, metavar="PERCENT",
                      help="per-tile brightness drift of that network, which shows seams (default 6)")
    demo.add_argument("--dim", type=_positive("--dim"), default=4, help="pixel-shift factor (default 4)")
    demo.add_argument("--chunk", type=_positive("--chunk"), default=4,
                      help="sub-images per pixelshift_fuse call (default 4)")
    demo.add_argument("--shift-net", choices=("identity", "blur"), default="identity",
                      help="the pixel-shift road's stand-in network (default identity)")
    demo.add_argument("--fit", choices=("crop", "pad", "error"), default="crop",
                      help="when --dim does not divide the image: crop (default), pad or stop")
    demo.add_argument("--out", default="out", help="output folder (default out/)")
    demo.add_argument("--backend", choices=("auto", "cupy", "numpy"), default="auto",
                      help="auto: CuPy when a GPU is usable, else the NumPy stand-in")
    demo.add_argument("--no-progress", action="store_true", help="no progress bars")
    return parser


def check_options(args, parser):
    if args.overlap >= args.tile_size:
        parser.error(f"--overlap ({args.overlap}) must be smaller than --tile-size ({args.tile_size})")
    if not 0.0 <= args.tile_drift <= 50.0:
        parser.error(f"--tile-drift must be between 0 and 50 percent, got {args.tile_drift:g}")
    if args.scale > 16:
        parser.error(f"--scale must be at most 16, got {args.scale}")


def run(args):
    cp = choose_backend(args.backend)
    host_image = load_image(args.image) if args.image else sample_image()
    height, width = host_image.shape[:2]
    if min(height, width) <= args.overlap:
        raise DemoError(f"image size {height}x{width} needs both sides larger than --overlap {args.overlap}")
    fitted, note = fit_to_dim(host_image, args.dim, args.fit)  # refuse before anything is written

    out = Path(args.out)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise DemoError(f"cannot create the output folder {out}: {exc}") from None

    from korvane.upscale import tile as tl
    from korvane.utils import dimention as dm

    if dm.cp is not cp or tl.cp is not cp:
        raise DemoError("korvane was already imported with another array module in this process")

    print(f"backend: {'NumPy stand-in (no GPU)' if is_stand_in(cp) else 'CuPy on the GPU'}; "
          f"image {height}x{width} ({args.image or 'built-in sample'}), layout "
          f"{dm.guess_image_layout(cp.asarray(host_image[:8, :8]))}")
    image = cp.asarray(host_image)
    watch = Stopwatch(cp)
    written = [save_image(out / "input.png", host_image)]
    written += tile_road(cp, image, args, watch, out)
    if note:
        print(f"note: {note}", file=sys.stderr)
    written += pixelshift_road(cp, host_image, fitted, args, watch, out)
    written += roundtrip_road(cp, image, host_image, watch, out)

    print("\ntimings" + (" (NumPy stand-in on the CPU)" if is_stand_in(cp) else " (GPU, synchronised)"))
    for road, stage, seconds in watch.stages:
        print(f"  {road:<12} {stage:<46} {seconds * 1e3:9.1f} ms")
    print("\nwritten: " + ", ".join(str(path) for path in written))
    return 0


def main(argv=None):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        check_options(args, parser)
    except SystemExit as exc:  # --help, or a bad option already reported
        return exc.code
    try:
        return run(args)
    except DemoError as exc:
        print(f"{parser.prog} demo: error: {exc}", file=sys.stderr)
        return EXIT_INPUT
    except MemoryError:
        print(f"{parser.prog} demo: error: out of memory (try a smaller image or --scale)", file=sys.stderr)
        return EXIT_INPUT
    except KeyboardInterrupt:
        print(f"{parser.prog} demo: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (``| head``): stop quietly, as other tools do.
        sys.stdout = open(os.devnull, "w")
        return EXIT_INPUT
