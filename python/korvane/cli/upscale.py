"""``korvane upscale``: pictures through a model with :func:`korvane.upscale.upscale_tiled`.

    korvane upscale INPUT OUTPUT --model MODEL [options]             one picture into a file
    korvane upscale INPUT [INPUT...] FOLDER --model MODEL [options]  many pictures into a folder

An INPUT is a file, a folder (its pictures; ``--recursive`` for its sub-folders, whose
tree is kept) or a quoted glob pattern. With one INPUT file, OUTPUT is a file whose
extension names the format; otherwise OUTPUT is a folder, created if missing, and each
result keeps its input's stem (``--name``) and format where korvane writes it, else
PNG (``--format``). The model is loaded once; many pictures go through
:mod:`korvane.cli.pipeline`, which reads the next pictures and writes the finished ones
while the model runs.
"""

import argparse
import sys
import time
from functools import partial
from pathlib import Path

import numpy

from korvane._pictures import DEFAULT_MAX_PIXELS
from korvane.cli import _big
from korvane.cli._common import (
    EXIT_USAGE,
    CommandError,
    count_type,
    note,
    positive_float_type,
    progress_bar,
    size_type,
)
from korvane.cli._paths import DEFAULT_NAME, check_pattern, check_targets, name_targets, plan_jobs, split_paths

DEFAULT_TILE = 128
DEFAULT_BATCH = 8
DEFAULT_OVERLAP = 16
# --format: the extension written.
FORMAT_CHOICES = ("png", "jpg", "tif", "webp", "zarr")


def add_command(sub):
    from korvane.upscale.engine import WINDOWS
    from korvane.upscale.onnx_model import PROVIDERS

    command = sub.add_parser(
        "upscale",
        help="upscale pictures with a model, tile by tile",
        description="Upscale INPUT with the model MODEL (ONNX, PyTorch, ncnn or an installed model's name) through "
        "upscale_tiled. With one INPUT file, OUTPUT is "
        "a file in the format its extension names (.png, .jpg, .jpeg, .tif, .tiff, .webp, .zarr); with several "
        "INPUTs, a folder or a quoted glob pattern, OUTPUT is a folder. TIFF and zarr are read a box at a time and "
        "written a band of rows at a time, so they may be larger than memory.",
    )
    command.add_argument(
        "paths",
        nargs="+",
        metavar="INPUT [INPUT...] OUTPUT",
        help="pictures (files, folders or quoted glob patterns), then where the results go",
    )
    command.add_argument("-o", "--output", metavar="OUTPUT", help="where the results go; then every path is an INPUT")
    command.add_argument(
        "--model",
        "--onnx",
        dest="model",
        required=True,
        metavar="MODEL",
        help="the model: an ONNX graph (.onnx), PyTorch weights (.pth, .pt, .ckpt, .safetensors) of an "
        "architecture spandrel knows, an ncnn model (.param, its .bin beside it) or the name of an installed "
        "model (korvane models lists them); it takes RGB or grey in [0, 1]",
    )
    command.add_argument(
        "--tile-size",
        type=_tile_size_type,
        metavar="N|HxW|auto",
        help=f"tile size for a model of dynamic size (default auto for PyTorch and ncnn models on CUDA, else "
        f"{DEFAULT_TILE}; cut to the picture where it is shorter); auto: the largest that the free memory is "
        "estimated to hold, halved where the model runs out of memory; a model of fixed size sets its own",
    )
    command.add_argument(
        "--overlap",
        type=size_type("--overlap", 0),
        metavar="N|HxW",
        help=f"overlap of neighbouring tiles (default {DEFAULT_OVERLAP}, at most a quarter of the tile)",
    )
    command.add_argument(
        "--batch-size",
        type=count_type("--batch-size"),
        metavar="N",
        help=f"tiles per model run for a model of dynamic batch size (default {DEFAULT_BATCH})",
    )
    command.add_argument(
        "--window", choices=WINDOWS, default="hann", help="how overlapping tiles are blended (default hann)"
    )
    command.add_argument(
        "--device",
        "--provider",
        dest="device",
        choices=PROVIDERS,
        default="auto",
        help="auto: CUDA when the model's runtime and CuPy see a GPU, else the CPU",
    )
    command.add_argument(
        "--dtype",
        choices=("float32", "float16", "bfloat16"),
        help="the element type a PyTorch model runs in (default float32; float16 needs CUDA)",
    )
    command.add_argument(
        "--context",
        type=count_type("--context", 0),
        metavar="N",
        help="pixels around each tile the model sees too (default: the model's own margin, else 0)",
    )
    command.add_argument(
        "--outscale",
        type=positive_float_type("--outscale"),
        metavar="X",
        help="resize the model's result to X times the input (a x4 model for x2 results, say)",
    )
    command.add_argument(
        "--format",
        choices=FORMAT_CHOICES,
        help="the format of results in a folder (default: the input's own where korvane writes it, else png)",
    )
    command.add_argument(
        "--name",
        default=DEFAULT_NAME,
        metavar="PATTERN",
        help="the name of results in a folder, from {stem}, {ext}, {scale} and {model} (default {stem}.{ext})",
    )
    command.add_argument(
        "--max-pixels",
        type=count_type("--max-pixels", 0),
        default=DEFAULT_MAX_PIXELS,
        metavar="N",
        help=f"read no picture of more pixels (default {DEFAULT_MAX_PIXELS}, Pillow's guard against "
        "decompression bombs; 0: no limit)",
    )
    command.add_argument(
        "--compress",
        choices=_big.COMPRESSIONS,
        help=f"compression of TIFF results (default {_big.DEFAULT_COMPRESSION}; zstd and lzw need imagecodecs)",
    )
    cluster = command.add_mutually_exclusive_group()
    cluster.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the dask.distributed cluster of this scheduler (one INPUT; a .tif or .zarr OUTPUT)",
    )
    cluster.add_argument(
        "--workers",
        type=count_type("--workers"),
        metavar="N",
        help="run on a local dask cluster of N worker processes, one thread each (one INPUT; a .tif or .zarr OUTPUT)",
    )
    command.add_argument("--recursive", action="store_true", help="walk the sub-folders of a folder INPUT")
    command.add_argument("--skip-existing", action="store_true", help="leave results that exist already")
    command.add_argument("--no-progress", action="store_true", help="no progress bar")
    command.set_defaults(run=run)


# ---- sizes ------------------------------------------------------------------------------------------


def _per_axis(option, given, fixed, default, what):
    """The model's fixed sizes, the option's where the model leaves them open (``default`` if not given)."""
    if given is None:
        return tuple(default if f is None else f for f in fixed)
    if any(f is not None and g != f for g, f in zip(given, fixed)):
        shown = "x".join("?" if f is None else str(f) for f in fixed)
        raise CommandError(
            f"{option} {'x'.join(map(str, given))} does not fit the model, which takes {what} "
            f"{shown}; leave {option} out",
            EXIT_USAGE,
        )
    return tuple(given)


def _tile_size_type(text):
    if text.strip().lower() == "auto":
        return "auto"
    try:
        return size_type("--tile-size")(text)
    except argparse.ArgumentTypeError as exc:
        raise argparse.ArgumentTypeError(f"{exc} (or auto)") from None


def _auto(args, model):
    """Whether the tile is chosen per picture from the free memory: ``--tile-size auto``, and by default
    for PyTorch models on CUDA and ncnn models on ONNX Runtime's CUDA provider.
    """
    if args.tile_size is not None:
        return args.tile_size == "auto"
    from korvane.upscale.torch_model import TorchModel

    if isinstance(model, TorchModel):
        return model.device.type == "cuda"
    return getattr(model, "provider", None) == "cuda" and str(getattr(model, "path", "")).lower().endswith(".param")


def _sizes(args, model):
    """Tile size, overlap and batch size: the graph's where it fixes them, else the options'.

    With ``auto`` the tile is the largest that may be chosen, and each picture gets its own
    (see :func:`_fitted`).
    """
    from korvane.upscale._fitting import LADDER

    auto = _auto(args, model)
    default = LADDER[0] if auto else DEFAULT_TILE
    tile = _per_axis("--tile-size", None if auto else args.tile_size, _fixed_tile(model), default, "tiles of")
    given = None if args.batch_size is None else (args.batch_size,)
    (batch,) = _per_axis("--batch-size", given, (model.batch_size,), DEFAULT_BATCH, "batches of")
    overlap = args.overlap or tuple(min(DEFAULT_OVERLAP, t // 4) for t in tile)
    if not all(0 <= o < t for o, t in zip(overlap, tile)):
        raise CommandError(
            f"--overlap {_size(overlap)} must be smaller than the tile size {_size(tile)} on each axis", EXIT_USAGE
        )
    if args.window == "merge_tiles":
        if tile[0] != tile[1] or overlap[0] != overlap[1]:
            raise CommandError(
                f"--window merge_tiles needs square tiles and one overlap, got tiles {_size(tile)} and "
                f"overlap {_size(overlap)}",
                EXIT_USAGE,
            )
        scale = _declared_scale(model)
        if scale is not None and tile[0] * scale < 4:
            raise CommandError(
                f"--window merge_tiles needs tiles of at least 4 pixels once enlarged; the model's "
                f"tiles of {tile[0]} become {tile[0] * scale}",
                EXIT_USAGE,
            )
    return tile, overlap, batch


def _fitted(args, model, sizes, height, width):
    """The sizes for one picture: along an axis where the model takes any size, a tile longer
    than the picture is cut to it, so that one tile covers it without a tile-sized cost in
    memory and time (``merge_tiles`` keeps square tiles, of at least 4 pixels).
    """
    tile, overlap, batch = sizes
    extents = (height, width)
    if _auto(args, model):
        # What the free memory holds now; upscale() chooses again when the picture runs.
        plan = _plan(args, model, sizes, height, width)
        tile = plan.first()
        overlap = plan.overlap_for(tile)
    elif args.window == "merge_tiles":
        if _fixed_tile(model) == (None, None):
            side = min(tile[0], max(max(extents), min(tile[0], 4)))
            tile = (side, side)
    else:
        tile = tuple(t if fixed is not None else min(t, e) for t, fixed, e in zip(tile, _fixed_tile(model), extents))
    overlap = tuple(min(o, t - 1) for o, t in zip(overlap, tile))
    notes = []
    if any(fixed is not None and t > e for t, fixed, e in zip(tile, _fixed_tile(model), extents)):
        from korvane.upscale.engine import TileGrid, check_edges

        padded = TileGrid(height, width, tile, overlap, edges=check_edges(None, args.window)).padded_shape
        notes.append(
            f"the model takes tiles of {_size(tile)}: the {width}x{height} picture is padded to "
            f"{padded[1]}x{padded[0]}, so the model runs on {padded[0] * padded[1] / (height * width):.1f} times "
            "its pixels"
        )
    return (tile, overlap, batch), notes


def _plan(args, model, sizes, height, width):
    from korvane.upscale._fitting import Plan

    return Plan(model.xp, (height, width, 3), model, sizes[1], sizes[2], args.window, args.context)


def _fixed_tile(model):
    """The (height, width) the model fixes, None where it takes any (a model may say None for both)."""
    return getattr(model, "tile_size", None) or (None, None)


def _size(pair):
    return str(pair[0]) if pair[0] == pair[1] else f"{pair[0]}x{pair[1]}"


# ---- the model ---------------------------------------------------------------------------------------


def _load_model(args):
    from korvane.upscale.loading import load_model

    if args.model.lower().endswith(".onnx"):
        from korvane.upscale import onnx_model

        # The command line owns the process: ONNX Runtime's own log lines (a CUDA provider
        # that does not load, say) would come before korvane's one line.
        onnx_model.import_onnxruntime().set_default_logger_severity(3)
    try:
        model = load_model(args.model, device=args.device, dtype=args.dtype)
    except (ImportError, ValueError, TypeError, RuntimeError, LookupError) as exc:  # ModelError is a ValueError
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"cannot read the model {args.model}: {exc.strerror or exc}") from None
    if getattr(model, "provider_note", None):
        note(model.provider_note)
    return model


def _declared_scale(model):
    """The model's own scale, or the one the graph's fixed input and output heights give, or None."""
    if getattr(model, "scale", None) is not None:
        return model.scale
    shapes = getattr(model, "input_shape", None), getattr(model, "output_shape", None)
    if not shapes[1] or model.layout != "NCHW":
        return None
    tile, out = shapes[0][2], shapes[1][2]
    return out // tile if tile and out and out % tile == 0 else None


def _probed_scale(model, sizes):
    """The model's scale from one run on a batch of zeros, for names that show it."""
    # The model's own tile where it fixes one, else a small one: the scale is the same.
    th, tw = (size if fixed is not None else min(size, 16) for size, fixed in zip(sizes[0], _fixed_tile(model)))
    xp = model.xp
    zeros = xp.zeros((model.batch_size or 1, model.channels or 3, th, tw), dtype=xp.float32)
    try:
        return model(zeros).shape[2] // th
    except Exception as exc:
        raise CommandError(f"cannot find the model's scale for --name: {exc}") from None


def _check_model(model, picture, path):
    """How many channels the model gets (1 for a grey picture and a 1-channel model, else 3)."""
    if model.output_channels not in (None, 1, 3):
        raise CommandError(
            f"the model returns {model.output_channels} channels; korvane writes 1 (greyscale) or 3 (RGB)"
        )
    if model.channels == 1:
        if not picture.grey:
            raise CommandError(
                f"the model takes 1 channel (greyscale), and {path} is in colour; convert it to greyscale first"
            )
        return 1
    return 3


class _Watched:
    """The model, checked on its first output, and telling ``progress`` of every batch.

    A result of a channel count korvane cannot write is refused at the first batch, not
    after the whole picture.
    """

    def __init__(self, model, progress, context=0):
        self.model, self.progress, self.context, self.checked = model, progress, context, False

    def __call__(self, batch):
        result = self.model(batch)
        if not self.checked and getattr(result, "ndim", 0) == 4:
            self.checked = True
            if result.shape[1] not in (1, 3):
                raise CommandError(
                    f"the model returns {result.shape[1]} channels; korvane writes 1 (greyscale) or 3 (RGB)"
                )
            said = getattr(self.model, "scale", None)
            given = (batch.shape[2], batch.shape[2] - 2 * self.context)  # with its context, or eaten
            if said is not None and result.shape[2] not in (said * given[0], said * given[1]):
                raise CommandError(
                    f"the model says it scales by {said}, but its first output is {result.shape[2]} rows for "
                    f"tiles of {batch.shape[2]}"
                )
        if self.progress is not None:
            self.progress(batch.shape[0])
        return result


# ---- one picture, in three steps ------------------------------------------------------------------


class Prepared:
    """A picture read and on the model's array module: what :func:`upscale` needs."""

    __slots__ = ("image", "notes", "picture", "sizes")

    def __init__(self, picture, image, sizes, notes):
        self.picture, self.image, self.sizes, self.notes = picture, image, sizes, notes


class Upscaled:
    """The model's result for a picture, still on its array module, and the picture's scale."""

    __slots__ = ("prepared", "result", "scale")

    def __init__(self, prepared, result, scale):
        self.prepared, self.result, self.scale = prepared, result, scale


def prepare(args, model, sizes, job):
    """Read ``job``'s picture and give it to the model's array module as float32 in [0, 1], a box at a time.

    The picture stays in its integer samples (a TIFF or zarr in its file); each batch's
    box is converted as the engine reads it, so no float copy of the whole picture is made.
    """
    from korvane import _pictures as pictures

    try:
        picture = _big.read_picture(job.source, args.max_pixels)
    except pictures.PictureError as exc:
        raise CommandError(str(exc)) from None
    channels = _check_model(model, picture, job.source)
    height, width = picture.values.shape[:2]
    fitted, notes = _fitted(args, model, sizes, height, width)
    xp = model.xp
    values = picture.values
    # A cluster's workers read the picture themselves: nothing goes up to this process's device.
    on_cluster = getattr(args, "scheduler", None) is not None or getattr(args, "workers", None) is not None
    stream = None if on_cluster else _side_stream(xp)
    if stream is not None and isinstance(values, numpy.ndarray):
        # A decoded picture's samples go up whole (a quarter of its float bytes at 8 bits), off
        # the model's stream, so that the upload overlaps the model's work on the last picture.
        with stream:
            values = xp.asarray(values)
        stream.synchronize()
    image = _big.UnitPicture(xp, values, picture.maximum, channels)
    return Prepared(picture, image, fitted, picture.notes + notes)


def _side_stream(xp):
    cuda = getattr(xp, "cuda", None)
    if xp is numpy or cuda is None or not hasattr(cuda, "Stream"):
        return None
    return cuda.Stream(non_blocking=True)


def upscale(args, model, prepared, progress=None, out=None):
    """Run the model over the prepared picture; refuse a result with NaN or infinity."""
    from korvane.upscale.engine import upscale_tiled
    from korvane.upscale.onnx_model import ModelRunError

    xp = model.xp
    if args.window == "merge_tiles" and "cupy" not in sys.modules:
        # The exact mode uses the native tile module, which needs a cupy: on the CPU, NumPy's.
        import korvane

        korvane.use_numpy()
    tile, overlap, batch = prepared.sizes
    context = args.context if args.context is not None else getattr(model, "context", None) or 0
    run, used = upscale_tiled, []
    if _auto(args, model):
        from korvane.upscale._fitting import upscale_auto

        # Chosen again now, from the memory free while this picture runs; the notes callback,
        # not a warning, as the pipeline's threads share the warnings filters.
        run, tile, overlap = partial(upscale_auto, notes=used.append, sizing=model), "auto", _sizes(args, model)[1]
    try:
        result = run(
            prepared.image,
            _Watched(model, progress, context),
            tile_size=tile,
            overlap=overlap,
            batch_size=batch,
            window=args.window,
            context=context,
            out=out,
        )
    except (ValueError, TypeError) as exc:
        if str(exc).startswith("model output"):
            raise CommandError(f"the model's output does not fit: {exc}") from None
        raise CommandError(f"cannot upscale: {exc}") from None
    except ModelRunError as exc:
        raise CommandError(str(exc)) from None
    except RuntimeError as exc:  # PyTorch's failures, its out-of-memory errors included
        raise CommandError(f"the model failed: {' '.join(str(exc).split())[:300]}") from None
    except MemoryError as exc:  # CuPy's, or the host's, at the smallest tile
        raise CommandError(f"out of memory: {' '.join(str(exc).split())[:300]}") from None
    for warning in used:
        failed = f" (out of memory with tiles {', '.join(map(_size, warning.failed))})" if warning.failed else ""
        note(f"--tile-size auto: tiles {_size(warning.tile_size)}, overlap {_size(warning.overlap)}{failed}")
        prepared.sizes = (warning.tile_size, warning.overlap, batch)
    _refuse_non_finite(xp, result)
    height = prepared.image.shape[0]
    prepared.image = None  # the input is done with: one picture less in memory
    return Upscaled(prepared, result, result.shape[0] // height)


def upscale_into(args, model, prepared, job, progress=None):
    """:func:`upscale`, writing ``job.target`` band by band where its format allows (TIFF, zarr).

    The file is complete when this returns; on any failure (an interruption included) the
    partial file is removed. Other formats get the whole result, for :func:`write`.
    """
    bands = _big.open_bands(args, model.xp, prepared.picture, job.target)
    if bands is None:
        return upscale(args, model, prepared, progress)
    try:
        upscaled = upscale(args, model, prepared, progress, out=bands)
        bands.finish()
    except BaseException:
        bands.abort()
        raise
    return upscaled


def write(args, model, upscaled, job):
    """Turn the result into samples of the picture's depth, on its device, and write ``job.target``.

    Returns the result's (height, width) and the notes on what the format left out.
    """
    from korvane import _pictures as pictures

    picture, result, xp = upscaled.prepared.picture, upscaled.result, model.xp
    upscaled.result = None
    if isinstance(result, _big.Bands):  # written band by band while the model ran
        return result.shape[:2], result.notes
    fmt = pictures.output_format(job.target)
    notes = []
    alpha = picture.alpha
    if alpha is not None and not pictures.HAS_ALPHA[fmt]:
        notes.append(f"{fmt} has no alpha channel: the alpha of {job.source} is left out")
        alpha = None
    if picture.bits == 16 and not pictures.HAS_16_BITS[fmt]:
        notes.append(f"{fmt} holds 8 bits per sample: the 16-bit result is written at 8 bits")
    if args.outscale is not None:
        result = _resized(result, picture.values.shape[:2], args.outscale)
    if result.shape[2] == 3 and picture.grey:
        result = _to_grey(xp, result)
    elif result.shape[2] == 1:
        result = result[:, :, 0]
    maximum, dtype = picture.maximum, picture.values.dtype
    if maximum > 255 and not pictures.HAS_16_BITS[fmt]:
        maximum, dtype = 255, numpy.uint8
    values = _host(xp, pictures.to_samples(xp, result, maximum, dtype))
    del result
    if alpha is not None:
        alpha = _upscaled_alpha(xp, numpy.asarray(alpha), picture.maximum, values.shape[:2], maximum, dtype)
    try:
        if _big.streams(job.target):  # with --outscale: the whole result, through the band writers
            _big.write_samples(args, job.target, values, alpha, picture)
        else:
            pictures.write_picture(job.target, values, alpha, picture.icc_profile)
    except pictures.PictureError as exc:
        raise CommandError(str(exc)) from None
    return values.shape[:2], notes


def _resized(result, shape, outscale):
    from korvane.transform.resize import resize

    height, width = (max(1, round(n * outscale)) for n in shape)
    return resize(result, (width, height))


def _refuse_non_finite(xp, result):
    """Refuse a result with NaN or infinite samples: one check over the picture, on its device."""
    from korvane._checks import host_flags

    if isinstance(result, _big.Bands):  # each band was checked before it was written
        return
    finite = xp.isfinite(result)
    (good,) = host_flags(xp, finite.all())
    if good:
        return
    bad = int(_host(xp, xp.count_nonzero(~finite)))
    raise CommandError(
        f"the model returned NaN or infinity in {bad} of the result's {finite.size} samples "
        f"({100 * bad / finite.size:.3g}%); nothing was written"
    )


def _to_grey(xp, result):
    """An (H, W, 3) RGB result as (H, W) luma, with Pillow's weights."""
    from korvane._pictures import LUMA

    grey = result[:, :, 0] * numpy.float32(LUMA[0])
    grey += result[:, :, 1] * numpy.float32(LUMA[1])
    grey += result[:, :, 2] * numpy.float32(LUMA[2])
    return grey


def _host(xp, array):
    return array if xp is numpy else xp.asnumpy(array)


def _upscaled_alpha(xp, alpha, alpha_maximum, shape, maximum, dtype):
    # Models take colour only: the alpha plane is enlarged with bilinear resampling.
    from korvane._pictures import to_samples, to_unit
    from korvane.transform.resize import INTER_LINEAR, resize

    plane = resize(to_unit(xp, alpha, alpha_maximum), (shape[1], shape[0]), interpolation=INTER_LINEAR)
    return _host(xp, to_samples(xp, plane, maximum, dtype))


# ---- the command -------------------------------------------------------------------------------------


def run(args):
    from korvane import _pictures as pictures
    from korvane.upscale import onnx_model

    started = time.perf_counter()
    # Everything that can be refused from the options and files alone comes before any work.
    needs_scale = check_pattern(args.name)
    try:
        pictures.pillow()
    except pictures.PictureError as exc:
        raise CommandError(str(exc)) from None
    plan = plan_jobs(args)
    if plan.single:
        check_targets(args, plan)
        _big.check_cluster(args, plan, split_paths(args)[1])
    elif args.scheduler is not None or args.workers is not None:
        _big.check_cluster(args, plan, None)
    _big.check_options(args, [split_paths(args)[1]] if plan.single else [])
    if args.model.lower().endswith(".onnx"):
        try:
            onnx_model.import_onnxruntime()
        except ImportError as exc:
            raise CommandError(str(exc)) from None
    if plan.single:
        if not plan.jobs:
            print(f"{split_paths(args)[1]} exists: left as it is (--skip-existing)")
            return 0
        return _run_one(args, plan.jobs[0], started)
    model = _load_model(args)
    sizes = _sizes(args, model)
    scale = args.outscale or _declared_scale(model)
    if needs_scale and scale is None:
        scale = _probed_scale(model, sizes)
    name_targets(args, plan, Path(split_paths(args)[1]), f"{scale:g}" if scale is not None else "")
    check_targets(args, plan)
    _big.check_options(args, [job.target for job in plan.jobs])
    from korvane.cli.pipeline import run_many

    return run_many(args, model, sizes, plan, started)


def _run_one(args, job, started):
    model = _load_model(args)
    sizes = _sizes(args, model)
    prepared = prepare(args, model, sizes, job)
    tile, overlap, batch = prepared.sizes
    height, width = prepared.picture.values.shape[:2]
    for text in prepared.notes:
        note(text)
    from korvane.upscale.engine import TileGrid

    if args.scheduler is not None or args.workers is not None:
        scale = _big.run_on_cluster(args, model, prepared, job.target, prepared.image.shape[2])
        out_height, out_width = height * scale, width * scale
        print(
            f"{job.source} ({prepared.picture.describe()}) x{scale} with {args.model} on the dask cluster "
            f"{args.scheduler or f'of {args.workers} local workers'} (tiles {_size(tile)}, overlap {_size(overlap)}, "
            f"batches of {batch}, window {args.window}): {job.target} {out_width}x{out_height} in "
            f"{time.perf_counter() - started:.1f} s"
        )
        return 0
    bar = progress_bar(not args.no_progress, len(TileGrid(height, width, tile, overlap)), "tiles", "tile")
    try:
        upscaled = upscale_into(args, model, prepared, job, None if bar is None else bar.update)
    finally:
        if bar is not None:
            bar.close()
    (out_height, out_width), notes = write(args, model, upscaled, job)
    for text in notes:
        note(text)
    tile, overlap, batch = prepared.sizes  # with --tile-size auto, the sizes that ran
    print(
        f"{job.source} ({prepared.picture.describe()}) {describe_scale(args, upscaled.scale)} with {args.model} on "
        f"{where(model)} (tiles {_size(tile)}, overlap {_size(overlap)}, batches of {batch}, window {args.window}): "
        f"{job.target} {out_width}x{out_height} in {time.perf_counter() - started:.1f} s"
    )
    return 0


def describe_scale(args, scale):
    return f"x{scale}" if args.outscale is None else f"x{scale} resized to x{args.outscale:g}"


def where(model):
    device = getattr(model, "provider", None) or getattr(getattr(model, "device", None), "type", "cpu")
    return "the GPU (CUDA)" if device == "cuda" else "the CPU"
