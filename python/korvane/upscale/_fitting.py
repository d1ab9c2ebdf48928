"""``tile_size="auto"`` for :func:`korvane.upscale.upscale_tiled`: a tile that fits, halved when it does not.

The tile is chosen from the memory free where the model runs and a per-model estimate
of its bytes per input pixel; a run that still runs out of memory frees what it can,
halves the tile and starts the picture again, down to a floor of :data:`FLOOR` pixels.
Every run is a plain :func:`upscale_tiled` call with whole sizes, so the result is, bit
for bit, that of a call with the sizes that fitted; :class:`TileSizeWarning` names them.

Neither torch nor CuPy is imported here: their memory figures and error classes are
looked up in ``sys.modules``, where a model or a picture that uses them has put them.
"""

import gc
import sys
import traceback
import warnings

from korvane._checks import check_int, check_model, describe, is_int, is_real
from korvane.upscale.engine import TileGrid, _check_source, _pair, check_context, upscale_tiled

__all__ = [
    "CPU_BUDGET",
    "DEFAULT_BYTES_PER_PIXEL",
    "FLOOR",
    "LADDER",
    "SHARE",
    "Plan",
    "TileSizeWarning",
    "is_out_of_memory",
    "release_memory",
    "upscale_auto",
]

# The tile sides tried, largest first; a picture shorter than a side gets its own extent.
LADDER = (1024, 768, 512, 384, 256, 192, 128, 96, 64)
# No tile side is halved below this (a side already shorter, cut to the picture, stays).
FLOOR = 32
# The part of the free device memory a run may plan to fill: the estimates are rough and
# the allocators fragment.
SHARE = 0.75
# On the host, the most bytes the model's activations of one batch may take.
CPU_BUDGET = 1 << 30
# Bytes per input pixel of a float32 model when the model does not say (``bytes_per_pixel``):
# a x4 model of 64 features holds two 64-channel float32 maps at the enlarged size at once,
# 2 * 64 * 4 * 16 = 8 KiB per input pixel, doubled for what the framework keeps beside
# (workspaces, the input and output copies). A float16 or bfloat16 model takes half.
DEFAULT_BYTES_PER_PIXEL = 16 * 1024
# The scale assumed for a model that does not state its own, when sizing the canvas and result.
_ASSUMED_SCALE = 4
# Substrings of the messages of ONNX Runtime's and CUDA's allocation failures (lower case).
_MARKERS = ("out of memory", "failed to allocate memory", "bfcarena")


class TileSizeWarning(UserWarning):
    """The sizes ``tile_size="auto"`` ran the picture with.

    Attributes
    ----------
    tile_size, overlap : (int, int)
        The (height, width) sizes of the run that gave the result: a call with these
        gives the same result, bit for bit.
    failed : tuple of (int, int)
        The tile sizes that ran out of memory first, largest first; empty when the first
        choice fitted.
    """

    def __init__(self, message, tile_size, overlap, failed=()):
        super().__init__(message)
        self.tile_size, self.overlap, self.failed = tile_size, overlap, tuple(failed)


def _real_cupy():
    """CuPy where it is imported and real (the NumPy stand-ins hold no device memory), else None."""
    cupy = sys.modules.get("cupy")
    return None if cupy is None or getattr(cupy, "__korvane_stand_in__", False) else cupy


def _on_cuda(model):
    """True for a model whose ``device`` is a torch CUDA device (a TorchModel on the GPU)."""
    torch = sys.modules.get("torch")
    device = getattr(model, "device", None)
    return torch is not None and isinstance(device, torch.device) and device.type == "cuda"


def _free_memory(xp, image, model):
    """Bytes free for the run on its GPU, or None where model and picture stay on the host.

    A TorchModel on CUDA: what the driver has free plus what torch's cache holds unused.
    Anything else on the GPU (a CuPy picture, a model whose ``xp`` is CuPy, ONNX Runtime's
    CUDA provider, which offers no figure of its own): CuPy's, the driver's free memory
    plus the blocks CuPy's pool holds free. CuPy's free blocks count for a torch model too,
    as the engine's own buffers come from that pool.
    """
    cupy = _real_cupy()
    pooled = cupy.get_default_memory_pool().free_bytes() if cupy is not None else 0
    if _on_cuda(model):
        cuda = sys.modules["torch"].cuda
        free, _ = cuda.mem_get_info(model.device)
        return free + cuda.memory_reserved(model.device) - cuda.memory_allocated(model.device) + pooled
    if cupy is None or (xp is not cupy and getattr(model, "xp", None) is not cupy):
        return None
    device = image.device if isinstance(image, cupy.ndarray) else cupy.cuda.Device()
    with device:
        free, _ = cupy.cuda.runtime.memGetInfo()
    return free + pooled


def _bytes_per_pixel(model):
    """The model's ``bytes_per_pixel``, else :data:`DEFAULT_BYTES_PER_PIXEL` (half that for half types)."""
    value = getattr(model, "bytes_per_pixel", None)
    if value is not None:
        if not is_real(value) or not 0 < value < float("inf"):
            raise ValueError(f"model: expected a positive number as bytes_per_pixel, got {describe(value)}")
        return float(value)
    dtype = str(getattr(model, "dtype", "")).removeprefix("torch.")
    return DEFAULT_BYTES_PER_PIXEL / 2 if dtype in ("float16", "bfloat16") else DEFAULT_BYTES_PER_PIXEL


def _fixed_tile(model):
    """The (height, width) the model fixes, None on an axis it leaves open."""
    fixed = getattr(model, "tile_size", None) or (None, None)
    if not (isinstance(fixed, (tuple, list)) and len(fixed) == 2) or not all(
        f is None or (is_int(f) and f >= 1) for f in fixed
    ):
        raise ValueError(f"model: expected tile_size None or a pair of positive ints or None, got {fixed!r}")
    return tuple(None if f is None else int(f) for f in fixed)


class Plan:
    """The tile sizes ``tile_size="auto"`` tries for one picture: the first choice and each halving.

    Parameters
    ----------
    xp : module
        The picture's array module.
    shape : (int, int, int)
        The picture's (height, width, channels).
    model : callable
        The model, or the object that stands for it in sizing: its ``tile_size``,
        ``batch_size``, ``bytes_per_pixel``, ``dtype``, ``device``, ``xp``, ``scale``,
        ``output_channels`` and ``context`` are read where it has them.
    overlap, batch_size, window, context, out
        As :func:`upscale_tiled` takes them.
    image : array or None
        The picture, for the GPU it lies on (None: the current one).
    """

    def __init__(self, xp, shape, model, overlap, batch_size, window, context, out=None, image=None):
        self.extents = (int(shape[0]), int(shape[1]))
        self.fixed = _fixed_tile(model)
        self.overlap = _pair("overlap", overlap)
        if min(self.overlap) < 0:
            raise ValueError(f"overlap: expected sizes >= 0, got {self.overlap}")
        # A model of fixed batch size runs every batch padded to it.
        self.padded_batch = getattr(model, "batch_size", None)
        self.batch = self.padded_batch or check_int("batch_size", batch_size, 1)
        self.context = check_context(model, context)
        self.square = isinstance(window, str) and window == "merge_tiles" and self.fixed == (None, None)
        self.bytes_per_pixel = _bytes_per_pixel(model)
        self.free = _free_memory(xp, image, model)
        scale = getattr(model, "scale", None) or _ASSUMED_SCALE
        channels = getattr(model, "output_channels", None) or int(shape[2])
        self.canvas_row = 4 * channels * scale * scale * self.extents[1]  # canvas bytes per tile row of the input
        on_device = self.free is not None and out is None and xp is _real_cupy()
        self.result = 4 * channels * scale * scale * self.extents[0] * self.extents[1] if on_device else 0

    def overlap_for(self, tile):
        """Each axis keeps the caller's overlap while it is at most a quarter of the tile, else a quarter."""
        return tuple(o if o <= t // 4 else t // 4 for o, t in zip(self.overlap, tile))

    def cut(self, side):
        """Tiles of ``side`` pixels, cut to the picture (as the command line does); a fixed axis keeps its own."""
        if self.square:  # merge_tiles: square tiles of at least 4 pixels
            side = min(side, max(max(self.extents), 4))
            return side, side
        return tuple(f if f is not None else min(side, e) for f, e in zip(self.fixed, self.extents))

    def need(self, tile):
        """The bytes a run with ``tile`` is estimated to take: one batch's activations, and on a GPU the canvas."""
        th, tw = tile
        count = len(TileGrid(*self.extents, tile, self.overlap_for(tile), self.context))
        batch = self.padded_batch or min(self.batch, count)
        activations = self.bytes_per_pixel * batch * (th + 2 * self.context) * (tw + 2 * self.context)
        return activations if self.free is None else activations + self.canvas_row * th

    def budget(self):
        """The bytes a run may take: :data:`SHARE` of the free device memory less the result, or :data:`CPU_BUDGET`."""
        return CPU_BUDGET if self.free is None else SHARE * self.free - self.result

    def first(self):
        """The largest tile of :data:`LADDER` (cut to the picture) whose estimate fits the budget, else the smallest."""
        budget = self.budget()
        for side in LADDER:
            tile = self.cut(side)
            if self.need(tile) <= budget:
                return tile
        return self.cut(LADDER[-1])

    def halved(self, tile):
        """``tile`` with each open side halved where that stays >= :data:`FLOOR`; None where none can be."""
        # merge_tiles' square tiles stay square: both sides are open and equal.
        smaller = tuple(t if f is not None or t // 2 < FLOOR else t // 2 for t, f in zip(tile, self.fixed))
        return smaller if smaller != tile else None


def is_out_of_memory(exc):
    """True for an allocation failure: a MemoryError (CuPy's OutOfMemoryError is one), torch's
    OutOfMemoryError, or a RuntimeError or ONNX Runtime error whose message says so; for a
    korvane ModelRunError, also where the error it wraps is one of these.
    """
    from korvane.upscale.onnx_model import ModelRunError

    torch = sys.modules.get("torch")
    # torch.OutOfMemoryError since torch 2.5, torch.cuda.OutOfMemoryError before.
    torch_oom = getattr(torch, "OutOfMemoryError", None) or getattr(getattr(torch, "cuda", None), "OutOfMemoryError", 0)
    for error in (exc, exc.__cause__ or exc.__context__) if isinstance(exc, ModelRunError) else (exc,):
        if error is None:
            continue
        if isinstance(error, MemoryError) or (isinstance(torch_oom, type) and isinstance(error, torch_oom)):
            return True
        runtime = isinstance(error, RuntimeError) or type(error).__module__.startswith("onnxruntime")
        if runtime and any(marker in str(error).lower() for marker in _MARKERS):
            return True
    return False


def _drop_frames(exc):
    """Clear the locals of the finished frames in ``exc``'s traceback, so the buffers they hold can go.

    Also those of the error a ModelRunError wraps (raised inside the run); errors further
    down the chain may be the caller's own, and are left alone.
    """
    from korvane.upscale.onnx_model import ModelRunError

    traceback.clear_frames(exc.__traceback__)
    inner = exc.__cause__ or exc.__context__
    if isinstance(exc, ModelRunError) and inner is not None:
        traceback.clear_frames(inner.__traceback__)


def release_memory():
    """Collect garbage and hand CuPy's free pool blocks and torch's unused cache back to the driver."""
    gc.collect()
    cupy = _real_cupy()
    if cupy is not None:
        cupy.get_default_memory_pool().free_all_blocks()
    torch = sys.modules.get("torch")
    if torch is not None and torch.cuda.is_initialized():
        torch.cuda.empty_cache()


def _shown(tile):
    return f"{tile[0]}x{tile[1]}"


def upscale_auto(
    image,
    model,
    *,
    tile_size="auto",
    overlap=16,
    batch_size=8,
    window="hann",
    out=None,
    context=None,
    progress=False,
    notes=None,
    sizing=None,
    **options,
):
    """:func:`upscale_tiled` with ``tile_size="auto"``: see its ``tile_size``; other arguments go through as they are.

    ``notes``: None warns with a :class:`TileSizeWarning`; a function is given that
    warning instead (the command line prints it as its note). ``sizing``: the object whose
    attributes size the tile, where ``model`` wraps the real model (None: ``model``).
    """
    check_model(model)
    xp, _ = _check_source(image)
    plan = Plan(xp, image.shape, model if sizing is None else sizing, overlap, batch_size, window, context, out, image)
    handed = []
    target = out
    if callable(out):

        def target(rows, band):
            handed.append(rows.start)
            return out(rows, band)

    tile, failed = plan.first(), []
    while True:
        smaller = None
        try:
            result = upscale_tiled(
                image,
                model,
                tile_size=tile,
                overlap=plan.overlap_for(tile),
                batch_size=batch_size,
                window=window,
                out=target,
                context=context,
                progress=progress,
                **options,
            )
            break
        except Exception as exc:
            if not is_out_of_memory(exc):
                raise
            tried = ", ".join(map(_shown, [*failed, tile]))
            if handed:
                exc.add_note(
                    f"tile_size='auto': out of memory with tiles of {tried} after bands went to the function out, "
                    "which cannot take them back: not started again"
                )
                raise
            smaller = plan.halved(tile)
            if smaller is None:
                why = "the model fixes its tile size" if None not in plan.fixed else f"no side goes below {FLOOR}"
                exc.add_note(f"tile_size='auto': out of memory with tiles of {tried}; {why}")
                raise
            _drop_frames(exc)
        # Outside the handler, once the error and the buffers its frames held are gone.
        release_memory()
        failed.append(tile)
        tile = smaller
    overlap = plan.overlap_for(tile)
    message = f"tile_size='auto' ran tiles of {_shown(tile)} with overlap {_shown(overlap)}"
    if failed:
        message += f", after running out of memory with tiles of {', '.join(map(_shown, failed))}"
    warning = TileSizeWarning(message, tile, overlap, failed)
    if notes is None:
        warnings.warn(warning, stacklevel=3)  # at the caller of upscale_tiled
    else:
        notes(warning)
    return result
