"""A real-sized network through the tile engine, against a hand-written tile loop and MONAI.

    python benchmarks/models.py [--net compact|esrgan] [--size N] [--tile T] [--overlap O] [--batch B]
                                [--scale S] [--rounds R] [--window gaussian|box] [--ncnn NAME]
                                [--border-models NAMES] [--parts tbg] [--profile]

The network is one of spandrel's architectures at random weights (seeded), at the real size
of a Real-ESRGAN model: ``compact`` is SRVGGNetCompact as Real-ESRGAN's animevideov3 has it
(64 features, 16 convolutions, PReLU), ``esrgan`` is RRDBNet as in RealESRGAN_x4plus (23
blocks, 64 features; slow on a small CPU). It runs as a plain module in
:class:`korvane.upscale.TorchModel` on the CPU in float32. ``--ncnn NAME`` times a shipped
ncnn model through ``load_model(NAME)`` (ONNX Runtime) instead.

(t) Time, on one N x N x 3 float32 picture with the same tiles (T, overlap O), batch size
    and window, the four in turn in every round:

    * ``upscale_tiled(image, model, ...)``;
    * a tile loop as a user writes it in torch: the picture padded once by reflection to the
      grid (``tile_image``'s, as ``edges="reflect"``), batches of tiles stacked and run, each
      result weighted and added into a canvas of the whole result with a canvas of weight
      sums beside it, one division at the end;
    * MONAI's ``sliding_window_inference`` with roi T, the overlap ratio O / T and
      ``sw_batch_size`` B, mode "gaussian" for ``--window gaussian`` (sigma an eighth of the
      tile, as the engine's) and "constant" for ``box``;
    * the network alone, run directly on as many tiles in batches of the same sizes.

    Printed: median seconds of each, medians of the per-round ratios engine / hand loop and
    engine / MONAI, and the time outside the model as a share of the engine's time, twice:
    (engine - network alone) / engine, and the engine's time less the time spent inside the
    network's forward calls during that same call (hooks on the module), over the engine's
    time; the second is free of round-to-round noise in the network's own speed. Target: at
    most 3% on the CPU. ``--profile`` adds where the engine's own time goes: the own time of
    each of its parts in one call into a new result and in one into ``out=`` an array that
    was written before (the difference is the first touch of a new result's pages), and
    cProfile's top functions.

(b) The border error: the network on the whole picture at once against the tiled results:
    the engine as it is, with ``edges="inside"`` and ``edges="reflect"`` (where
    ``upscale_tiled`` takes that keyword), the hand loop and MONAI. For each, the largest and
    the mean absolute difference in four parts of the result: the bottom border (the last
    tile of rows, left of the corner), the right border (the last tile of columns, above the
    corner), the bottom-right corner (a tile square) and the rest, the interior. Run with the
    same network and with shipped models (``--border-models``; the default pair is Real-ESRGAN
    animevideov3 x2, padded convolutions, and waifu2x's upconv_7 photo x2, whose unpadded
    convolutions eat a margin that the engine takes from the model's ``context``; for it the
    whole picture is padded by that margin by reflection first, and MONAI's windows one by one).

(g) On a GPU (where ``torch.cuda.is_available()`` and CuPy is usable): (t) on CUDA with the
    picture in CuPy, ``TorchModel(dtype=torch.float16)``, the hand loop, MONAI and the network
    alone in float16, each call synchronised; then the host copies one engine call makes
    (CUDA memcpy activity seen by torch.profiler, which CuPy's copies go through as well), in
    all and per batch.
"""

import argparse
import copy
import cProfile
import inspect
import os
import platform
import pstats
import statistics
import sys
import time

# Run as a script, this file's folder comes first on the path, where benchmarks/dask.py
# would hide the dask package from whatever imports it.
if sys.path and os.path.abspath(sys.path[0]) == os.path.dirname(os.path.abspath(__file__)):
    del sys.path[0]

import numpy
import torch
import torch.nn.functional as F

from korvane.upscale import TorchModel, load_model, upscale_tiled
from korvane.upscale import engine as ENGINE

try:
    from monai.inferers import sliding_window_inference
except ImportError:  # a baseline only: without it that column is left out
    sliding_window_inference = None

EDGES = "edges" in inspect.signature(upscale_tiled).parameters


# ---- the networks ------------------------------------------------------------------------------


def network(kind, scale, seed=0):
    """A spandrel architecture at Real-ESRGAN's sizes, at seeded random weights, in eval mode."""
    torch.manual_seed(seed)
    if kind == "compact":
        from spandrel.architectures.Compact import Compact

        net = Compact(num_feat=64, num_conv=16, upscale=scale, act_type="prelu")
    else:
        from spandrel.architectures.ESRGAN import ESRGAN

        net = ESRGAN(num_filters=64, num_blocks=23, scale=scale)
    return net.eval()


class ForwardClock:
    """Seconds spent inside a module's forward calls, from hooks on it, while ``on``."""

    def __init__(self, net):
        self.on, self.seconds, self._started = False, 0.0, None
        net.register_forward_pre_hook(self._pre)
        net.register_forward_hook(self._post)

    def _pre(self, module, args):
        if self.on:
            self._started = time.perf_counter()

    def _post(self, module, args, result):
        if self.on:
            self.seconds += time.perf_counter() - self._started


def torch_forward(net, device="cpu", dtype=torch.float32):
    """The network as a function of (B, C, h, w) tensors, run as a user runs it."""

    def forward(batch):
        with torch.inference_mode():
            return net(batch.to(device=device, dtype=dtype))

    return forward


def onnx_forward(model):
    """An ``OnnxModel`` as a function of CPU tensors (a NumPy round trip, no copy)."""

    def forward(batch):
        return torch.from_numpy(model(numpy.ascontiguousarray(batch.numpy())))

    return forward


def picture(size, seed=3):
    """An (N, N, 3) float32 picture in [0, 1] with what photos have: gradients, texture, edges, noise."""
    rng = numpy.random.default_rng(seed)
    y = numpy.linspace(0.0, 1.0, size, dtype=numpy.float32)[:, None]
    x = numpy.linspace(0.0, 1.0, size, dtype=numpy.float32)[None, :]
    rgb = numpy.empty((size, size, 3), numpy.float32)
    rgb[..., 0] = 0.55 + 0.35 * numpy.sin(3.1 * x + 1.3 * y)
    rgb[..., 1] = 0.45 + 0.30 * numpy.cos(2.3 * y - 1.7 * x)
    rgb[..., 2] = 0.50 + 0.30 * numpy.sin(4.0 * x * y + 0.5)
    rgb += 0.06 * (numpy.sin(x * size / 3.7) * numpy.cos(y * size / 5.3))[..., None]
    for _ in range(8):
        cy, cx, r = rng.uniform(0, size, 2).tolist() + [rng.uniform(0.03, 0.12) * size]
        disc = (numpy.arange(size)[:, None] - cy) ** 2 + (numpy.arange(size)[None, :] - cx) ** 2 < r * r
        rgb[disc] = rng.uniform(0.05, 0.95, 3)
    rgb += rng.normal(0.0, 0.01, rgb.shape).astype(numpy.float32)
    return numpy.clip(rgb, 0.0, 1.0)


# ---- the contenders ----------------------------------------------------------------------------


def profile(window, length):
    """The 1-D window over ``length`` pixels at pixel centres (sigma an eighth, as the engine's)."""
    centres = numpy.arange(length, dtype=numpy.float64) + 0.5
    if window == "gaussian":
        return numpy.exp(-0.5 * ((centres - length / 2.0) / (length / 8.0)) ** 2)
    return numpy.ones(length)


def output_scale(rows, tile, context):
    """(scale, margin kept) of a model output of ``rows`` rows for ``tile`` rows read with ``context``.

    A model returns its input's extent enlarged, or (unpadded convolutions) less its margin.
    """
    if context and rows % (tile + 2 * context) == 0:
        s = rows // (tile + 2 * context)
        return s, context * s
    return rows // tile, 0


def hand_loop(forward, image, tile, overlap, batch, window, context=0, device="cpu", dtype=torch.float32):
    """The tiles run by hand: the same grid as the engine's, a full canvas and a canvas of weight sums.

    ``image`` is (H, W, C), a NumPy array or a tensor on ``device``; the result is (H*s, W*s, C')
    float32 of the same kind.
    """
    h, w = image.shape[:2]
    step = tile - overlap
    rows, cols = max(1, -(-(h - overlap) // step)), max(1, -(-(w - overlap) // step))
    ph, pw = overlap + rows * step, overlap + cols * step
    c = context
    if isinstance(image, numpy.ndarray):
        padded = numpy.pad(image, ((c, ph - h + c), (c, pw - w + c), (0, 0)), mode="reflect")
        source = torch.from_numpy(numpy.ascontiguousarray(padded.transpose(2, 0, 1)))
    else:  # a tensor on the device; torch's reflect needs pads shorter than the picture
        source = F.pad(image.permute(2, 0, 1)[None], (c, pw - w + c, c, ph - h + c), mode="reflect")[0]
    source = source.to(device=device, dtype=dtype)
    corners = [(i * step, j * step) for i in range(rows) for j in range(cols)]
    out = weights = win = None
    with torch.inference_mode():
        for k in range(0, len(corners), batch):
            chunk = corners[k : k + batch]
            result = forward(torch.stack([source[:, y : y + tile + 2 * c, x : x + tile + 2 * c] for y, x in chunk]))
            if out is None:  # the scale and channels from the first batch, as a user finds them
                s, margin = output_scale(result.shape[2], tile, c)
                line = torch.as_tensor(profile(window, tile * s), dtype=torch.float32, device=result.device)
                win = line[:, None] * line[None, :]
                out = torch.zeros((result.shape[1], ph * s, pw * s), dtype=torch.float32, device=result.device)
                weights = torch.zeros((1, ph * s, pw * s), dtype=torch.float32, device=result.device)
            core = result[:, :, margin : margin + tile * s, margin : margin + tile * s].float() * win
            for (y, x), r in zip(chunk, core):
                out[:, y * s : (y + tile) * s, x * s : (x + tile) * s] += r
                weights[:, y * s : (y + tile) * s, x * s : (x + tile) * s] += win
        out /= weights
    result = out[:, : h * s, : w * s].permute(1, 2, 0).contiguous()
    return result.numpy() if isinstance(image, numpy.ndarray) else result


def monai_run(forward, image, tile, overlap, batch, window, context=0, device="cpu", dtype=torch.float32):
    """MONAI's sliding window over the same tiles; a model with a margin gets each window padded by it."""
    ratio = max(0.0, overlap / tile - 1e-9)  # MONAI steps int(roi * (1 - ratio)): exactly tile - overlap
    mode = "gaussian" if window == "gaussian" else "constant"
    x = torch.from_numpy(image) if isinstance(image, numpy.ndarray) else image
    x = x.permute(2, 0, 1)[None].to(device=device, dtype=dtype)
    predictor = forward
    if context:

        def predictor(windows):
            return forward(F.pad(windows, (context,) * 4, mode="reflect"))

    with torch.inference_mode():
        result = sliding_window_inference(x, (tile, tile), batch, predictor, overlap=ratio, mode=mode)
    result = result[0].float().permute(1, 2, 0).contiguous()
    return result.numpy() if isinstance(image, numpy.ndarray) else result


def network_alone(forward, tiles, batch):
    """``forward`` on ``tiles`` (N, C, h, w) in batches of ``batch`` (the last one smaller), as the engine feeds it."""
    with torch.inference_mode():
        for k in range(0, len(tiles), batch):
            forward(tiles[k : k + batch])


def whole(forward, image, context=0):
    """The network on the whole picture at once (padded by reflection by a model's margin first)."""
    padded = numpy.pad(image, ((context, context), (context, context), (0, 0)), mode="reflect")
    x = torch.from_numpy(numpy.ascontiguousarray(padded.transpose(2, 0, 1)))[None]
    with torch.inference_mode():
        y = forward(x)[0].float()
    s, margin = output_scale(y.shape[1], image.shape[0], context)
    return y[:, margin : margin + image.shape[0] * s, margin : margin + image.shape[1] * s].permute(1, 2, 0).numpy()


# ---- (t) timing --------------------------------------------------------------------------------


def median_ratio(a, b):
    return statistics.median(x / y for x, y in zip(a, b))


def timed(call, sync=None):
    start = time.perf_counter()
    result = call()
    if sync is not None:
        sync()
    return time.perf_counter() - start, result


def part_t(args, net, image, model, forward, clock, device="cpu", dtype=torch.float32, sync=None):
    tile, overlap, batch, window = args.tile, args.overlap, args.batch, args.window
    context = getattr(model, "context", None) or 0
    # The engine's default grid, for the tiles the network alone is given.
    where = {"edges": "inside"} if EDGES else {}
    grid = ENGINE.TileGrid(image.shape[0], image.shape[1], (tile, tile), (overlap, overlap), context, **where)
    count = len(grid)
    host = numpy.asarray(image if isinstance(image, numpy.ndarray) else image.get())
    # The engine's own tiles, cut beforehand: the network alone runs on what the engine feeds it.
    c, read = context, tile + 2 * context
    padded = numpy.pad(host, ((c, c + tile), (c, c + tile), (0, 0)), mode="reflect")
    cut = numpy.stack([padded[t.y : t.y + read, t.x : t.x + read].transpose(2, 0, 1) for t in grid])
    tiles = torch.from_numpy(numpy.ascontiguousarray(cut, dtype=numpy.float32)).to(device=device, dtype=dtype)
    on_device = torch.as_tensor(host, device=device) if device != "cpu" else host
    calls = {
        "engine": lambda: upscale_tiled(image, model, tile_size=tile, overlap=overlap, batch_size=batch, window=window),
        "hand loop": lambda: hand_loop(forward, on_device, tile, overlap, batch, window, context, device, dtype),
        "network alone": lambda: network_alone(forward, tiles, batch),
    }
    if sliding_window_inference is not None:
        calls["MONAI"] = lambda: monai_run(forward, on_device, tile, overlap, batch, window, context, device, dtype)
    for call in calls.values():  # a warm-up round: first-call allocations and kernel choices
        timed(call, sync)
    times = {name: [] for name in calls}
    inside = []
    names = list(calls)
    for r in range(args.rounds):
        # The order turns every round, so that no contender always runs after the same one.
        for name in names[r % len(names) :] + names[: r % len(names)]:
            call = calls[name]
            if clock is not None and name == "engine":
                clock.on, clock.seconds = True, 0.0
            seconds, _ = timed(call, sync)
            times[name].append(seconds)
            if clock is not None and name == "engine":
                clock.on = False
                inside.append(clock.seconds)
    engine = times["engine"]
    print(f"    {count} tiles of {tile} (overlap {overlap}, {context} context), batches of {batch}, window {window!r}")
    for name, seconds in times.items():
        print(f"    {name:<14} median {statistics.median(seconds):8.3f} s")
    print(f"    engine / hand loop       {median_ratio(engine, times['hand loop']):6.3f}")
    if "MONAI" in times:
        mode = "gaussian" if window == "gaussian" else "constant"
        print(f"    engine / MONAI           {median_ratio(engine, times['MONAI']):6.3f}   (MONAI mode {mode!r})")
    else:
        print("    engine / MONAI           (monai is not installed)")
    alone = statistics.median((e - n) / e for e, n in zip(engine, times["network alone"]))
    print(f"    outside the model, (engine - network alone) / engine   {100 * alone:6.2f} %")
    if inside:
        own = statistics.median((e - i) / e for e, i in zip(engine, inside))
        print(f"    outside the model, the engine's time less its forward calls     {100 * own:6.2f} %")
    return times


def engine_parts(args, image, model, clock):
    """Per call, the seconds spent in each part of the engine, timed by wrapping its methods.

    Each part's own time: what the parts it calls take is counted there, not twice (a band is
    written from ``_next_row``, which ``add`` calls); the network's forward calls are taken
    out of ``TorchModel.__call__``.
    """
    parts = {
        "read tiles": (ENGINE._Source, "__call__"),
        "check the output": (ENGINE.ModelOutput, "check"),
        "weight a batch": (ENGINE._SeparableWeights, "__call__"),
        "add tiles (own)": (ENGINE._Bands, "add"),
        "move open rows (own)": (ENGINE._Bands, "_next_row"),
        "flush a band (own)": (ENGINE._Bands, "_flush"),
        "write into the result": (ENGINE._Target, "open"),
        "TorchModel, less forward": (type(model), "__call__"),
    }
    spent = dict.fromkeys(parts, 0.0)
    originals = {name: getattr(owner, attribute) for name, (owner, attribute) in parts.items()}
    children = []  # per open timed call, the time of the timed calls inside it

    def wrap(name, function):
        def timed_part(*a, **k):
            children.append(0.0)
            start = time.perf_counter()
            try:
                return function(*a, **k)
            finally:
                elapsed = time.perf_counter() - start
                spent[name] += elapsed - children.pop()
                if children:
                    children[-1] += elapsed

        return timed_part

    def opened(target, scale, channels):
        # The writer is a function that ``open`` returns: that function is what is timed.
        return wrap("write into the result", originals["write into the result"](target, scale, channels))

    options = {"tile_size": args.tile, "overlap": args.overlap, "batch_size": args.batch, "window": args.window}
    result = None
    # First into a new result, as the timings above; then into that result again, whose pages
    # the first call has touched: the difference is the kernel faulting in a new result's memory.
    for label, again in (("into a new result", False), ("into out=, an array written before", True)):
        for name, (owner, attribute) in parts.items():
            setattr(owner, attribute, opened if name == "write into the result" else wrap(name, originals[name]))
        spent.update(dict.fromkeys(parts, 0.0))
        try:
            clock.on, clock.seconds = True, 0.0
            total, result = timed(lambda out=result if again else None: upscale_tiled(image, model, out=out, **options))
            clock.on = False
        finally:
            for name, (owner, attribute) in parts.items():
                setattr(owner, attribute, originals[name])
        spent["TorchModel, less forward"] -= clock.seconds
        outside = total - clock.seconds
        print(
            f"    one engine call {label}: {total:.3f} s, in the network's forward {clock.seconds:.3f} s, "
            f"outside it {outside:.4f} s ({100 * outside / total:.2f} %)"
        )
        for name, seconds in spent.items():
            print(f"      {name:<26} {seconds:8.4f} s  {100 * seconds / total:6.2f} % of the call")
        rest = outside - sum(spent.values())
        print(f"      {'the rest (setup, loop)':<26} {rest:8.4f} s  {100 * rest / total:6.2f} % of the call")
    profiler = cProfile.Profile()
    profiler.enable()
    upscale_tiled(image, model, **options)
    profiler.disable()
    print("    cProfile, by own time (the network's torch calls included):")
    stats = pstats.Stats(profiler)
    rows = sorted(stats.stats.items(), key=lambda item: -item[1][2])[:12]
    for (filename, line, function), (_, calls, own, cumulative, _) in rows:
        where = f"{os.path.basename(filename)}:{line}({function})"
        print(f"      {own:8.4f} s own {cumulative:8.4f} s cum {calls:6d} calls  {where}")


# ---- (b) the border error ----------------------------------------------------------------------


def regions(result, reference, border):
    """(max, mean) |result - reference| in the bottom border, right border, corner and interior."""
    d = numpy.abs(result.astype(numpy.float64) - reference)
    parts = {
        "bottom": d[-border:, :-border],
        "right": d[:-border, -border:],
        "corner": d[-border:, -border:],
        "interior": d[:-border, :-border],
    }
    return {name: (float(p.max()), float(p.mean())) for name, p in parts.items()}


def part_b(args, label, image, model, forward):
    tile, overlap, batch, window = args.tile, args.overlap, args.batch, args.window
    context = getattr(model, "context", None) or 0
    reference = whole(forward, image, context)
    s = reference.shape[0] // image.shape[0]
    options = {"tile_size": tile, "overlap": overlap, "batch_size": batch, "window": window}
    results = {"engine (default edges)": upscale_tiled(image, model, **options)}
    for edges in ("inside", "reflect"):
        name = f"engine edges={edges!r}"
        try:
            results[name] = upscale_tiled(image, model, edges=edges, **options)
        except TypeError as exc:
            results[name] = f"not run: {exc}"
    results["hand loop"] = hand_loop(forward, image, tile, overlap, batch, window, context)
    if sliding_window_inference is not None:
        results["MONAI"] = monai_run(forward, image, tile, overlap, batch, window, context)
    print(
        f"\n    {label}: {image.shape[0]}x{image.shape[1]}x3 at x{s}, tiles {tile}, overlap {overlap}, "
        f"context {context}; |tiled - whole picture|, max / mean"
    )
    print(f"    {'':<24}" + "".join(f"{name:>22}" for name in ("bottom", "right", "corner", "interior")))
    for name, result in results.items():
        if isinstance(result, str):
            print(f"    {name:<24} {result}")
            continue
        row = regions(result, reference, tile * s)
        print(f"    {name:<24}" + "".join(f"{m:>11.2e} /{a:>9.2e}" for m, a in row.values()))
    print(f"    (the whole picture's result spans {reference.min():.3f} to {reference.max():.3f})")


# ---- (g) on a GPU ------------------------------------------------------------------------------


def part_g(args):
    from korvane.testing import cupy_is_usable

    if not torch.cuda.is_available() or not cupy_is_usable():
        print("\n(g) GPU: skipped (torch sees no CUDA device or CuPy is not usable)")
        return
    import cupy

    print(f"\n(g) GPU: {torch.cuda.get_device_name()}, float16, the picture in CuPy")
    gpu_net = network(args.net, args.scale)  # the same seeded weights, without the CPU clock's hooks
    args = copy.copy(args)
    args.tile = args.gpu_tile
    model = TorchModel(gpu_net, device="cuda", dtype=torch.float16)
    forward = torch_forward(gpu_net, "cuda", torch.float16)
    image = cupy.asarray(picture(args.gpu_size))

    def sync():
        cupy.cuda.get_current_stream().synchronize()
        torch.cuda.synchronize()

    # No forward clock here: on the GPU the forward calls return before their kernels have run.
    part_t(args, gpu_net, image, model, forward, None, "cuda", torch.float16, sync)
    from torch.profiler import ProfilerActivity
    from torch.profiler import profile as torch_profile

    options = {"tile_size": args.tile, "overlap": args.overlap, "batch_size": args.batch, "window": args.window}
    batches = -(-len(ENGINE.TileGrid(*image.shape[:2], (args.tile,) * 2, (args.overlap,) * 2)) // args.batch)
    with torch_profile(activities=[ProfilerActivity.CPU, ProfilerActivity.CUDA]) as prof:
        upscale_tiled(image, model, **options)
        sync()
    copies = {"HtoD": 0, "DtoH": 0, "DtoD": 0}
    for event in prof.events():
        for kind in copies:
            if "Memcpy" in event.name and kind in event.name:
                copies[kind] += 1
    print(
        f"    host copies in one engine call ({batches} batches): "
        + ", ".join(f"{kind} {n} ({n / batches:.2f} per batch)" for kind, n in copies.items())
    )


# ---- main --------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--net", choices=("compact", "esrgan"), default="compact")
    parser.add_argument("--scale", type=int, default=4)
    parser.add_argument("--size", type=int, default=256, help="the picture's side for (t)")
    parser.add_argument("--border-size", type=int, default=180, help="the picture's side for (b)")
    parser.add_argument("--gpu-size", type=int, default=1024, help="the picture's side for (g)")
    parser.add_argument("--tile", type=int, default=64)
    parser.add_argument("--gpu-tile", type=int, default=256, help="the tile for (g)")
    parser.add_argument("--threads", type=int, help="torch's CPU threads (default: torch's own choice)")
    parser.add_argument("--overlap", type=int, default=16)
    parser.add_argument("--batch", type=int, default=4)
    parser.add_argument("--window", choices=("gaussian", "box"), default="gaussian")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--ncnn", help="time this shipped ncnn model (load_model(NAME)) instead of --net")
    parser.add_argument(
        "--border-models",
        default="realesrgan-animavideov3-up2x,waifu2x-photo-up2x",
        help="shipped models for (b), comma-separated ('' for none)",
    )
    parser.add_argument("--parts", default="tbg", help="which parts to run, e.g. 'b'")
    parser.add_argument("--profile", action="store_true", help="(t): where the engine's own time goes")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)
    print(
        f"Python {platform.python_version()}, NumPy {numpy.__version__}, torch {torch.__version__} "
        f"({torch.get_num_threads()} threads), {platform.machine()}, {os.cpu_count()} CPUs, {args.rounds} rounds, "
        f"MONAI {'not installed' if sliding_window_inference is None else __import__('monai').__version__}, "
        f"upscale_tiled edges= {'yes' if EDGES else 'not yet'}"
    )
    net = network(args.net, args.scale)
    clock = ForwardClock(net)
    label = net_label = f"{args.net} x{args.scale} at random weights"
    if "t" in args.parts:
        image = picture(args.size)
        if args.ncnn:
            model, clock, label = load_model(args.ncnn, device="cpu"), None, f"{args.ncnn} (ncnn, ONNX Runtime)"
            forward = onnx_forward(model)
        else:
            model, forward = TorchModel(net), torch_forward(net)
        print(f"\n(t) time on the CPU: {label}, {args.size}x{args.size}x3 float32")
        part_t(args, net, image, model, forward, clock)
        if args.profile:
            if clock is None:
                print("    --profile: for a torch network only")
            else:
                engine_parts(args, image, model, clock)
    if "b" in args.parts:
        print("\n(b) the border error against the whole picture at once")
        image = picture(args.border_size, seed=5)
        part_b(args, net_label, image, TorchModel(net), torch_forward(net))
        for name in filter(None, args.border_models.split(",")):
            model = load_model(name, device="cpu")
            part_b(args, f"{name} (ncnn, ONNX Runtime)", image, model, onnx_forward(model))
    if "g" in args.parts:
        part_g(args)


if __name__ == "__main__":
    main()
