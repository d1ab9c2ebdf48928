"""The command line, ``python -m korvane COMMAND``: a thin shell over the library.

    python -m korvane upscale INPUT OUTPUT --onnx MODEL [--tile-size N|HxW] [--overlap N|HxW]
                              [--batch-size N] [--window hann|gaussian|box|merge_tiles]
                              [--provider auto|cpu|cuda] [--no-progress]
    python -m korvane demo [IMAGE] [options]

``upscale`` is :func:`korvane.upscale.upscale_tiled` with an
:class:`korvane.upscale.onnx_model.OnnxModel`, between a picture file read with Pillow and
one written in the format of OUTPUT's extension. ``demo`` runs the package's roads on a
picture (:mod:`korvane.demo`).

Every problem is one line on stderr starting with ``korvane: error:``, and a non-zero
exit status: 2 for bad options, 1 for anything else. Notes go to stderr too, starting
with ``korvane: note:``; stdout gets what was done.
"""

import argparse
import contextlib
import os
import signal
import sys
import threading
import time

import numpy

PROG = "python -m korvane"
ERROR = "korvane: error: "
NOTE = "korvane: note: "
EXIT_FAILURE = 1
EXIT_USAGE = 2
DEFAULT_TILE = 128
DEFAULT_BATCH = 8
DEFAULT_OVERLAP = 16


class CommandError(Exception):
    """A problem with the user's input, options or installation: one line on stderr, no traceback."""

    def __init__(self, message, code=EXIT_FAILURE):
        super().__init__(message)
        self.code = code


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: raised where the program is, so that cleanup code runs."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _terminate(signum, frame):
    raise Terminated(signum)


@contextlib.contextmanager
def _stopping_on_signals():
    """Turn SIGTERM and SIGHUP into :class:`Terminated` while the command runs.

    Only where the signal would otherwise kill the process at once (its default action),
    and only on the main thread, where Python runs signal handlers.
    """
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, getattr(signal, "SIGHUP", None)):
            if signum is not None and signal.getsignal(signum) is signal.SIG_DFL:
                previous[signum] = signal.signal(signum, _terminate)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def note(message):
    print(NOTE + message, file=sys.stderr)


class _Parser(argparse.ArgumentParser):
    # One line for a bad option, with the prefix of every other error, not argparse's usage block.
    def error(self, message):
        raise CommandError(f"{message} (see {self.prog} --help)", EXIT_USAGE)


def count_type(name, minimum=1):
    """An argparse type: a whole number >= ``minimum``, with a message that names the option."""

    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{name} must be a whole number, got {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{name} must be at least {minimum}, got {value}")
        return value

    return parse


def size_type(name, minimum=1):
    """An argparse type: N, or HxW (height by width), each a whole number >= ``minimum``."""
    one = count_type(name, minimum)

    def parse(text):
        parts = text.lower().split("x")
        if len(parts) == 1:
            value = one(parts[0])
            return value, value
        if len(parts) != 2:
            raise argparse.ArgumentTypeError(f"{name} must be N or HxW (height x width), got {text!r}")
        return one(parts[0]), one(parts[1])

    return parse


def progress_bar(enabled, total, desc, unit):
    """A tqdm bar on stderr, or None: without tqdm, or when ``enabled`` is false.

    ``disable=None`` lets tqdm show the bar only on a terminal, so a file or a pipe gets
    no carriage-return frames.
    """
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=desc, unit=unit, file=sys.stderr, disable=None, leave=False, dynamic_ncols=True)


# ---- upscale ------------------------------------------------------------------------------------


def _add_upscale(sub):
    from korvane.upscale.engine import WINDOWS
    from korvane.upscale.onnx_model import PROVIDERS

    command = sub.add_parser(
        "upscale",
        help="upscale a picture with an ONNX model, tile by tile",
        description="Upscale INPUT with the ONNX model MODEL through upscale_tiled and write OUTPUT in the "
        "format its extension names (.png, .jpg, .jpeg, .tif, .tiff).",
    )
    command.add_argument("input", metavar="INPUT", help="the picture to upscale (any format Pillow reads)")
    command.add_argument("output", metavar="OUTPUT", help="where to write the result (.png, .jpg, .tif)")
    command.add_argument(
        "--onnx",
        required=True,
        metavar="MODEL",
        help="the ONNX graph: one NCHW input (RGB or grey in [0, 1]) and one output",
    )
    command.add_argument(
        "--tile-size",
        type=size_type("--tile-size"),
        metavar="N|HxW",
        help=f"tile size for a model of dynamic size (default {DEFAULT_TILE}, cut to the picture where it is "
        "shorter); a model of fixed size sets its own",
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
        "--provider",
        choices=PROVIDERS,
        default="auto",
        help="auto: CUDA when onnxruntime-gpu and CuPy see a GPU, else the CPU",
    )
    command.add_argument("--no-progress", action="store_true", help="no progress bar")
    command.set_defaults(run=run_upscale)


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


def _sizes(args, model, height, width):
    """Tile size, overlap and batch size: the graph's where it fixes them, else the options'.

    Along an axis where the model takes any size, a tile longer than the picture is cut
    to the picture, so that one tile covers it without a tile-sized cost in memory and
    time (``merge_tiles`` keeps square tiles, of at least 4 pixels).
    """
    tile = _per_axis("--tile-size", args.tile_size, model.tile_size, DEFAULT_TILE, "tiles of")
    given = None if args.batch_size is None else (args.batch_size,)
    (batch,) = _per_axis("--batch-size", given, (model.batch_size,), DEFAULT_BATCH, "batches of")
    overlap = args.overlap or tuple(min(DEFAULT_OVERLAP, t // 4) for t in tile)
    if not all(0 <= o < t for o, t in zip(overlap, tile)):
        raise CommandError(
            f"--overlap {_size(overlap)} must be smaller than the tile size {_size(tile)} on each axis", EXIT_USAGE
        )
    extents = (height, width)
    if args.window == "merge_tiles":
        if model.tile_size == (None, None):
            side = min(tile[0], max(max(extents), min(tile[0], 4)))
            tile = (side, side)
    else:
        tile = tuple(t if fixed is not None else min(t, e) for t, fixed, e in zip(tile, model.tile_size, extents))
    overlap = tuple(min(o, t - 1) for o, t in zip(overlap, tile))
    if any(t > e for t, e in zip(tile, extents)):
        from korvane.upscale.engine import TileGrid

        padded = TileGrid(height, width, tile, overlap).padded_shape
        note(
            f"the model takes tiles of {_size(tile)}: the {width}x{height} picture is padded to "
            f"{padded[1]}x{padded[0]}, so the model runs on {padded[0] * padded[1] / (height * width):.1f} times "
            "its pixels"
        )
    return tile, overlap, batch


def _size(pair):
    return str(pair[0]) if pair[0] == pair[1] else f"{pair[0]}x{pair[1]}"


def _channels_for(picture, model, path):
    """How many channels the model gets: 1 for a grey picture and a 1-channel model, else 3."""
    if model.channels == 1:
        if not picture.grey:
            raise CommandError(
                f"the model takes 1 channel (greyscale), and {path} is in colour; convert it to greyscale first"
            )
        return 1
    return 3


def _to_unit(xp, values, maximum, channels):
    """Integer samples to float32 in [0, 1], (H, W, channels), on module ``xp``."""
    from korvane._pictures import to_unit

    array = to_unit(xp, values, maximum)
    if array.ndim == 2:
        array = array[:, :, None]
    if array.shape[2] != channels:  # a grey picture for an RGB model
        array = array.repeat(channels, axis=2)
    return array


def _to_grey(xp, result):
    """An (H, W, 3) RGB result as (H, W) luma, with Pillow's weights."""
    from korvane._pictures import LUMA

    grey = result[:, :, 0] * numpy.float32(LUMA[0])
    grey += result[:, :, 1] * numpy.float32(LUMA[1])
    grey += result[:, :, 2] * numpy.float32(LUMA[2])
    return grey


def _host(xp, array):
    return array if xp is numpy else xp.asnumpy(array)


class _Watched:
    """The model, checked on its first output and moving a progress bar on with every batch.

    A result of a channel count korvane cannot write is refused at the first batch, not
    after the whole picture.
    """

    def __init__(self, model, bar):
        self.model, self.bar, self.checked = model, bar, False

    def __call__(self, batch):
        result = self.model(batch)
        if not self.checked and getattr(result, "ndim", 0) == 4:
            self.checked = True
            if result.shape[1] not in (1, 3):
                raise CommandError(
                    f"the model returns {result.shape[1]} channels; korvane writes 1 (greyscale) or 3 (RGB)"
                )
        if self.bar is not None:
            self.bar.update(batch.shape[0])
        return result


def _output_channels(model):
    channels = getattr(model, "output_channels", None)
    if channels is None and model.output_shape:
        channels = model.output_shape[1]
    return channels


def _declared_scale(model):
    """The scale the graph's fixed input and output heights give, or None."""
    shapes = model.input_shape, model.output_shape
    if not shapes[1] or getattr(model, "layout", "NCHW") != "NCHW":
        return None
    tile, out = shapes[0][2], shapes[1][2]
    return out // tile if tile and out and out % tile == 0 else None


def _load_model(args):
    from korvane.upscale import onnx_model

    try:
        return onnx_model.OnnxModel(args.onnx, provider=args.provider)
    except (ImportError, onnx_model.ModelError, RuntimeError) as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"cannot read the model {args.onnx}: {exc.strerror or exc}") from None


def run_upscale(args):
    from korvane import _pictures as pictures
    from korvane.upscale import onnx_model

    started = time.perf_counter()
    # Everything that can be refused from the options and files alone comes before any work.
    try:
        fmt = pictures.output_format(args.output)
    except pictures.PictureError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    try:
        pictures.check_output_folder(args.output)
        pictures.pillow()
        onnx_model.import_onnxruntime()
    except (ImportError, pictures.PictureError) as exc:
        raise CommandError(str(exc)) from None
    if pictures.same_file(args.input, args.output):
        raise CommandError(f"{args.output} is the input file itself; give the result another name")
    try:
        picture = pictures.read_picture(args.input)
    except pictures.PictureError as exc:
        raise CommandError(str(exc)) from None
    model = _load_model(args)
    if getattr(model, "provider_note", None):
        note(model.provider_note)
    height, width = picture.values.shape[:2]
    tile, overlap, batch = _sizes(args, model, height, width)
    channels = _channels_for(picture, model, args.input)
    if _output_channels(model) not in (None, 1, 3):
        raise CommandError(
            f"the model returns {_output_channels(model)} channels; korvane writes 1 (greyscale) or 3 (RGB)"
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
    for text in picture.notes:
        note(text)
    alpha = picture.alpha
    if alpha is not None and not pictures.HAS_ALPHA[fmt]:
        note(f"{fmt} has no alpha channel: the alpha of {args.input} is left out")
        alpha = None
    if picture.bits == 16 and not pictures.HAS_16_BITS[fmt]:
        note(f"{fmt} holds 8 bits per sample: the 16-bit result is written at 8 bits")

    result, scale = _upscale(args, model, picture, channels, tile, overlap, batch)
    xp = model.xp
    _refuse_non_finite(xp, result)
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
        alpha = _upscaled_alpha(xp, alpha, picture.maximum, values.shape[:2], maximum, dtype)
    try:
        pictures.write_picture(args.output, values, alpha, picture.icc_profile)
    except pictures.PictureError as exc:
        raise CommandError(str(exc)) from None
    height, width = values.shape[:2]
    where = "the GPU (CUDA)" if model.provider == "cuda" else "the CPU"
    print(
        f"{args.input} ({picture.describe()}) x{scale} with {args.onnx} on {where} "
        f"(tiles {_size(tile)}, overlap {_size(overlap)}, batches of {batch}, "
        f"window {args.window}): {args.output} {width}x{height} in {time.perf_counter() - started:.1f} s"
    )
    return 0


def _refuse_non_finite(xp, result):
    """Refuse a result with NaN or infinite samples: one check over the picture, on its device."""
    from korvane._checks import host_flags

    finite = xp.isfinite(result)
    (good,) = host_flags(xp, finite.all())
    if good:
        return
    bad = int(_host(xp, xp.count_nonzero(~finite)))
    raise CommandError(
        f"the model returned NaN or infinity in {bad} of the result's {finite.size} samples "
        f"({100 * bad / finite.size:.3g}%); nothing was written"
    )


def _upscale(args, model, picture, channels, tile, overlap, batch):
    from korvane.upscale.engine import TileGrid, upscale_tiled
    from korvane.upscale.onnx_model import ModelRunError

    xp = model.xp
    if args.window == "merge_tiles" and "cupy" not in sys.modules:
        # The exact mode uses the native tile module, which needs a cupy: on the CPU, NumPy's.
        import korvane

        korvane.use_numpy()
    image = _to_unit(xp, picture.values, picture.maximum, channels)
    height, width = image.shape[:2]
    grid = TileGrid(height, width, tile, overlap)
    bar = progress_bar(not args.no_progress, len(grid), "tiles", "tile")
    try:
        result = upscale_tiled(
            image, _Watched(model, bar), tile_size=tile, overlap=overlap, batch_size=batch, window=args.window
        )
    except (ValueError, TypeError) as exc:
        if str(exc).startswith("model output"):
            raise CommandError(f"the model's output does not fit: {exc}") from None
        raise CommandError(f"cannot upscale: {exc}") from None
    except ModelRunError as exc:
        raise CommandError(str(exc)) from None
    finally:
        if bar is not None:
            bar.close()
    return result, result.shape[0] // height


def _upscaled_alpha(xp, alpha, alpha_maximum, shape, maximum, dtype):
    # Models take colour only: the alpha plane is enlarged with bilinear resampling.
    from korvane._pictures import to_samples, to_unit
    from korvane.transform.resize import INTER_LINEAR, resize

    plane = resize(to_unit(xp, alpha, alpha_maximum), (shape[1], shape[0]), interpolation=INTER_LINEAR)
    return _host(xp, to_samples(xp, plane, maximum, dtype))


# ---- the top level ------------------------------------------------------------------------------


def build_parser():
    from korvane import demo

    parser = _Parser(prog=PROG, description="korvane on the command line.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_upscale(sub)
    demo.add_command(sub)
    return parser


def main(argv=None):
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    from korvane import _backend

    try:
        with _stopping_on_signals():
            if _backend.environment_error is not None:
                raise CommandError(str(_backend.environment_error))
            args = build_parser().parse_args(argv)
            return args.run(args)
    except CommandError as exc:
        print(ERROR + str(exc), file=sys.stderr)
        return exc.code
    except SystemExit as exc:  # --help
        return exc.code or 0
    except MemoryError:
        print(ERROR + "out of memory (try a smaller picture, tiles or batches)", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print("korvane: interrupted", file=sys.stderr)
        return 130
    except Terminated as exc:
        print(f"korvane: stopped by {signal.Signals(exc.signum).name}", file=sys.stderr)
        return 128 + exc.signum
    except BrokenPipeError:
        # The reader of stdout went away (``| head``): stop quietly, as other tools do.
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives until the process ends
        return EXIT_FAILURE
