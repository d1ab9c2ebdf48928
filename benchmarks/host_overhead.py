"""Host overhead of the native modules, against plain Python and against the floor.

    python benchmarks/host_overhead.py [--quick] [--repeat N] [--markdown]

Everything runs on the NumPy stand-in for ``cupy`` with small arrays, so the array work
is cheap and the interpreter-side work shows. Every case is timed three ways in the
same run:

* native: the function of korvane.utils.dimention or korvane.upscale.tile;
* plain: ``tests/plain_reference.py``, the same function as a user would write it in
  Python (ordinary ``def`` with Python's own binding, the same steps, calls and global
  lookups, the function's own type checks and errors);
* floor: the least work the call must do. For the metadata paths (layout inference,
  the batch pass-through of image_to_batch, binding and type-check failures) a small C
  extension, ``benchmarks/host_floor.c``, compiled here with the running interpreter's
  headers: the same entry, binding, messages, attribute reads and global lookups, and
  nothing else. For the array-bound calls, a straight-line Python sequence of the same
  array calls with every other argument computed in advance (no binding, no checks, no
  lookups, no loops).

Before timing, each case's three variants are run once and must agree: results (for the
compiled floor also whether the result is an input itself), what the call did to the
caller's arrays, exception types, and the messages and notes of the functions' own
errors; native and floor also the messages of binding errors and the traceback entries.

Timing: per-thread CPU time (``time.thread_time_ns``), since the machine is shared;
rounds interleave the three variants, their order changing from round to round; a
ratio is the median over rounds of that round's ratio, with its quartiles beside it.
The targets are the host-overhead targets of the project's performance work; "met"
compares the median with the target.
"""

import argparse
import gc
import importlib.util
import itertools
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FLOOR_SOURCE = Path(__file__).resolve().parent / "host_floor.c"


# ---- the three sides ------------------------------------------------------------------------


def load_modules():
    import korvane.testing

    if "cupy" not in sys.modules:
        sys.modules["cupy"] = korvane.testing.make_numpy_cupy()
    cp = sys.modules["cupy"]
    if not getattr(cp, "__korvane_stand_in__", False):
        sys.exit("host_overhead: real CuPy is loaded; this benchmark measures on the NumPy stand-in")
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        import plain_reference
    except ImportError as exc:
        sys.exit(f"host_overhead: tests/plain_reference.py is needed as the baseline ({exc})")
    from korvane.upscale import tile
    from korvane.utils import dimention

    return cp, dimention, tile, plain_reference


def build_floor(workdir):
    """Compile host_floor.c against this interpreter's headers and import it."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = Path(workdir) / f"korvane_floor{suffix}"
    compiler = os.environ.get("CC", "gcc").split()
    command = [
        *compiler,
        "-O3",
        "-DNDEBUG",
        "-shared",
        "-fPIC",
        f"-I{sysconfig.get_paths()['include']}",
        str(FLOOR_SOURCE),
        "-o",
        str(target),
    ]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"host_overhead: building the floor failed:\n{' '.join(command)}\n{done.stderr}")
    found = importlib.util.spec_from_file_location("korvane_floor", target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def straight_line(lines, **values):
    """A function of no arguments running `lines`, with `values` as fast locals."""
    source = f"def floor({', '.join(values)}):\n" + "".join(f"    {line}\n" for line in lines)
    namespace = {}
    # No globals and no builtins: a line that looked a name up would fail.
    exec(compile(source, "<floor>", "exec"), {"__builtins__": {}}, namespace)
    floor = namespace["floor"]
    floor.__defaults__ = tuple(values.values())
    return floor


# ---- the cases ------------------------------------------------------------------------------

# Targets: (plain / native at least, native / floor at most); None where there is none.
LAYOUT_3D = (2.3, 1.35)
LAYOUT_NCHW = (1.4, 1.35)
PASS_THROUGH = (1.8, 1.8)
REFUSAL = (1.0, 1.3)
NOT_SLOWER = (1.0, None)
ARRAY_BOUND = (1.0, 1.03)


class Case:
    def __init__(self, function, label, args, kwargs=None, targets=NOT_SLOWER, fails=False, binding=False, floor="c"):
        self.function = function
        self.label = label
        self.args = list(args)
        self.kwargs = dict(kwargs or {})
        self.targets = targets
        self.fails = fails or binding
        self.binding = binding
        # "c": the compiled floor's function of the same name, called like the others;
        # otherwise a factory that makes the straight-line floor from (args, kwargs).
        self.floor = floor


def build_cases(cp, dm, tl):
    import numpy

    rng = numpy.random.default_rng(3)

    def array(*shape):
        return cp.asarray(rng.random(shape, dtype=numpy.float32))

    lead = (cp.newaxis, Ellipsis)

    def floor_image_to_batch(args, kwargs):
        (image,), mean, scalefactor = args, kwargs["mean"], kwargs["scalefactor"]
        return straight_line(
            [
                "dtype = image.dtype",
                "x = bgr_to_rgb(image)",
                "x -= array(mean, dtype=dtype)",
                "x *= scalefactor",
                "return x.transpose(axes)[lead]",
            ],
            image=image,
            bgr_to_rgb=dm.bgr_to_rgb,
            array=cp.array,
            mean=mean,
            scalefactor=scalefactor,
            axes=(2, 0, 1),
            lead=lead,
        )

    def floor_images_to_batch(args, kwargs):
        images, mean = args[0], kwargs["mean"]
        lines, values = [], {f"i{k}": image for k, image in enumerate(images)}
        for k in range(len(images)):
            lines += [
                f"d{k} = i{k}.dtype",
                f"x{k} = bgr_to_rgb(i{k})",
                f"x{k} -= array(mean, dtype=d{k})",
                f"r{k} = x{k}.transpose(axes)[lead]",
            ]
        lines.append(f"return stack([{', '.join(f'r{k}' for k in range(len(images)))}], axis=0)")
        return straight_line(
            lines,
            **values,
            bgr_to_rgb=dm.bgr_to_rgb,
            array=cp.array,
            stack=cp.stack,
            mean=mean,
            axes=(2, 0, 1),
            lead=lead,
        )

    def floor_batch_to_images(args, kwargs):
        (batch,), mean, scalefactor = args, kwargs["mean"], kwargs["scalefactor"]
        n = len(batch)
        lines = [f"{', '.join(f'b{k}' for k in range(n))}, = batch"]
        for k in range(n):
            lines += [
                f"x{k} = rgb_to_bgr(b{k}.transpose(axes))",
                f"x{k} *= reciprocal",
                f"x{k} += array(mean, dtype=x{k}.dtype)[reverse]",
            ]
        lines.append(f"return [{', '.join(f'x{k}' for k in range(n))}]")
        return straight_line(
            lines,
            batch=batch,
            rgb_to_bgr=dm.rgb_to_bgr,
            array=cp.array,
            mean=mean,
            reciprocal=1 / scalefactor,
            axes=(1, 2, 0),
            reverse=slice(None, None, -1),
        )

    def floor_pixelshift(args, kwargs):
        image, dim = args
        h, w, c = image.shape
        lines = [
            "image.shape",
            "x = bgr_to_rgb(image)",
            "x -= array(mean, dtype=x.dtype)",
            "out = empty(shape, dtype=x.dtype)",
        ]
        values = {}
        for i, j in itertools.product(range(dim), repeat=2):
            values[f"k{i}{j}"] = (slice(i, None, dim), slice(j, None, dim))
            lines.append(f"out[{i * dim + j}] = ascontiguousarray(x[k{i}{j}]).transpose(axes)")
        lines.append("return out")
        m = float(kwargs["mean"])
        return straight_line(
            lines,
            image=image,
            bgr_to_rgb=dm.bgr_to_rgb,
            array=cp.array,
            empty=cp.empty,
            ascontiguousarray=cp.ascontiguousarray,
            mean=(m, m, m),
            shape=(dim * dim, c, h // dim, w // dim),
            axes=(2, 0, 1),
            **values,
        )

    def floor_fuse(args, kwargs):
        preds, acc, hits, start, dim = args
        lines = ["preds.shape"]
        values = {}
        for k in range(len(preds)):
            values[f"s{k}"] = divmod(start + k, dim)
            lines += [
                f"u = preds[{k}].repeat(dim, axis=1).repeat(dim, axis=2)",
                f"u = roll(u, shift=s{k}, axis=axes)",
                "acc += u.astype(float32)",
                "hits += 1",
            ]
        return straight_line(
            lines, preds=preds, acc=acc, hits=hits, dim=dim, roll=cp.roll, float32=cp.float32, axes=(1, 2), **values
        )

    def padding(height, width, patch_size, overlap):
        step = patch_size - overlap
        pad_height, pad_width = step - (height - overlap) % step, step - (width - overlap) % step
        return ((0, 0 if pad_height == step else pad_height), (0, 0 if pad_width == step else pad_width), (0, 0))

    def floor_tile_image(args, kwargs):
        image, tile_size, overlap = args
        pads = padding(image.shape[0], image.shape[1], tile_size, overlap)
        height, width = image.shape[0] + pads[0][1], image.shape[1] + pads[1][1]
        step = tile_size - overlap
        keys = [
            (slice(y, y + tile_size), slice(x, x + tile_size))
            for y in range(0, height - tile_size + 1, step)
            for x in range(0, width - tile_size + 1, step)
        ]
        return straight_line(
            [
                "image.shape",
                "image.shape",
                "p = pad(image, pads, mode='reflect')",
                "p.shape",
                f"return [{', '.join(f'p[k{n}]' for n in range(len(keys)))}], p.shape",
            ],
            image=image,
            pad=cp.pad,
            pads=pads,
            **{f"k{n}": key for n, key in enumerate(keys)},
        )

    def floor_add_padding(args, kwargs):
        image, patch_size, overlap = args
        return straight_line(
            ["image.shape", "image.shape", "return pad(image, pads, mode='reflect')"],
            image=image,
            pad=cp.pad,
            pads=padding(*image.shape[:2], patch_size, overlap),
        )

    gaussian_lines = [
        "gx, gy = meshgrid(linspace(-1, 1, size), linspace(-1, 1, size))",
        "d = sqrt(gx * gx + gy * gy)",
        "g = exp(-(d ** 2 / divisor))",
        "g = g / total(g)",
        "g = g[trailing]",
    ]

    def gaussian_values(size, sigma):
        return dict(
            meshgrid=cp.meshgrid,
            linspace=cp.linspace,
            sqrt=cp.sqrt,
            exp=cp.exp,
            total=cp.sum,
            size=size,
            divisor=2.0 * sigma**2,
            trailing=(slice(None), slice(None), cp.newaxis),
        )

    def floor_gaussian(args, kwargs):
        size, sigma = args
        return straight_line(gaussian_lines + ["return g"], **gaussian_values(size, sigma))

    def floor_merge(args, kwargs):
        tiles, original, padded, scale, tile_size, overlap = args
        tile_size, overlap = tile_size * scale, overlap * scale
        height, width, channels = padded[0] * scale, padded[1] * scale, padded[2]
        step = tile_size - overlap
        corners = [
            (y, x) for y in range(0, height - tile_size + 1, step) for x in range(0, width - tile_size + 1, step)
        ]
        lines = ["m = zeros(shape, dtype=float32)", "w = zeros(shape, dtype=float32)", *gaussian_lines]
        values = {}
        for n, (y, x) in enumerate(corners):
            values[f"t{n}"] = tiles[n]
            values[f"r{n}"] = (slice(y, y + tile_size), slice(x, x + tile_size))
            lines += [f"wt = to_float32(t{n}) * g", f"m[r{n}] += wt", f"w[r{n}] += g"]
        lines += ["m = m / (w + epsilon)", "return m[crop]"]
        crop = (slice(None, original[0] * scale), slice(None, original[1] * scale))
        return straight_line(
            lines,
            zeros=cp.zeros,
            float32=cp.float32,
            to_float32=tl.to_float32,
            shape=(height, width, channels),
            epsilon=1e-08,
            crop=crop,
            **gaussian_values(tile_size, tile_size // 4),
            **values,
        )

    image = array(16, 16, 3)
    mean = (0.1, 0.2, 0.3)
    return [
        Case("guess_image_layout", "HWC (16, 16, 3)", [array(16, 16, 3)], targets=LAYOUT_3D),
        Case("guess_image_layout", "CHW (3, 16, 16)", [array(3, 16, 16)], targets=LAYOUT_3D),
        Case("guess_image_layout", "NCHW (2, 3, 16, 16)", [array(2, 3, 16, 16)], targets=LAYOUT_NCHW),
        Case("guess_image_layout", "ambiguous (4, 4, 4)", [array(4, 4, 4)], targets=LAYOUT_3D),
        Case(
            "image_to_batch",
            "NCHW passes through, layout=None",
            [array(2, 3, 16, 16)],
            {"layout": None},
            targets=PASS_THROUGH,
        ),
        Case("image_to_batch", "NHWC transposed, layout='NHWC'", [array(2, 16, 16, 3)], {"layout": "NHWC"}),
        # Scale 1.0: the calls work in place on the same arrays again and again.
        Case(
            "image_to_batch",
            "HWC, swap, mean, scale",
            [image],
            {"scalefactor": 1.0, "mean": mean},
            targets=ARRAY_BOUND,
            floor=floor_image_to_batch,
        ),
        Case(
            "images_to_batch",
            "list of 2 HWC, mean",
            [[array(16, 16, 3), array(16, 16, 3)]],
            {"mean": mean},
            targets=ARRAY_BOUND,
            floor=floor_images_to_batch,
        ),
        Case(
            "batch_to_images",
            "(2, 3, 16, 16), swap, mean, scale",
            [array(2, 3, 16, 16)],
            {"scalefactor": 1.0, "mean": mean},
            targets=ARRAY_BOUND,
            floor=floor_batch_to_images,
        ),
        Case(
            "image_to_batch_pixelshift",
            "(16, 16, 3), dim 2, mean",
            [array(16, 16, 3), 2],
            {"mean": 0.5},
            targets=ARRAY_BOUND,
            floor=floor_pixelshift,
        ),
        Case(
            "pixelshift_fuse",
            "4 results (3, 8, 8), dim 2",
            [array(4, 3, 8, 8), cp.zeros((3, 16, 16), dtype=cp.float32), cp.zeros((1, 16, 16), dtype=cp.float32), 0, 2],
            targets=ARRAY_BOUND,
            floor=floor_fuse,
        ),
        Case(
            "tile_image",
            "(100, 100, 3) -> 169 tiles of 8",
            [array(100, 100, 3), 8, 0],
            targets=ARRAY_BOUND,
            floor=floor_tile_image,
        ),
        Case(
            "add_padding", "(30, 30, 3), 16, 4", [array(30, 30, 3), 16, 4], targets=ARRAY_BOUND, floor=floor_add_padding
        ),
        Case(
            "merge_tiles",
            "4 tiles (16, 16, 3), scale 2",
            [[array(16, 16, 3) for _ in range(4)], (14, 14, 3), (14, 14, 3), 2, 8, 2],
            targets=ARRAY_BOUND,
            floor=floor_merge,
        ),
        Case("create_gaussian_weights", "16, sigma 4", [16, 4], targets=ARRAY_BOUND, floor=floor_gaussian),
        # Binding failures, before any work; each adds a traceback entry.
        Case("image_to_batch", "binding: no image", [], {"scalefactor": 2.0}, binding=True),
        Case("tile_image", "binding: 4 positional", [image, 8, 2, 1], binding=True),
        Case("image_to_batch", "binding: unexpected keyword", [image], {"scalefactr": 2.0}, binding=True),
        Case("merge_tiles", "binding: 'scale' twice", [[], (1, 1, 3), (1, 1, 3), 2], {"scale": 2}, binding=True),
        # Type checks that fail: without the note, and with it (a subclass).
        Case("image_to_batch", "refused: scalefactor=2", [image], {"scalefactor": 2}, targets=REFUSAL, fails=True),
        Case(
            "image_to_batch_pixelshift", "refused: dim=True (note)", [image], {"dim": True}, targets=REFUSAL, fails=True
        ),
        Case("create_gaussian_weights", "refused: sigma float", [64, 8.0], fails=True),
        Case("pixelshift_fuse", "refused: start_idx bool (note)", [image, image, image, True, 2], fails=True),
    ]


# ---- agreement before timing ----------------------------------------------------------------


def fresh(value, cp):
    """A copy of the arguments in which every array is a copy too."""
    if isinstance(value, cp.ndarray):
        return value.copy()
    if type(value) in (list, tuple):
        return type(value)(fresh(v, cp) for v in value)
    if type(value) is dict:
        return {k: fresh(v, cp) for k, v in value.items()}
    return value


def arrays_in(value, cp):
    if isinstance(value, cp.ndarray):
        return [value]
    if type(value) in (list, tuple):
        return [a for v in value for a in arrays_in(v, cp)]
    if type(value) is dict:
        return arrays_in(list(value.values()), cp)
    return []


def picture(value, inputs, cp):
    if isinstance(value, cp.ndarray):
        host = cp.asnumpy(value)
        return (
            "array",
            host.shape,
            host.dtype.str,
            host.round(5).tobytes(),
            [i for i, a in enumerate(inputs) if a is value],
        )
    if type(value) in (list, tuple):
        return (type(value).__name__, [picture(v, inputs, cp) for v in value])
    return ("value", type(value), value)


def outcome(call, case, cp):
    """Run one variant once on copies of the case's arguments and describe what it did."""
    args, kwargs = fresh(case.args, cp), fresh(case.kwargs, cp)
    inputs = arrays_in([args, kwargs], cp)
    try:
        result = call(args, kwargs)
    except Exception as exc:  # compared with the other variants
        entries = [
            frame.f_code.co_name
            for frame, _ in traceback.walk_tb(exc.__traceback__)
            if frame.f_code.co_name.startswith("korvane.")
        ]
        seen = ("raised", type(exc), str(exc), getattr(exc, "__notes__", None), entries)
    else:
        seen = ("returned", picture(result, inputs, cp))
    # What the call did to the caller's arrays (the accumulators of pixelshift_fuse, say).
    return seen + (tuple(cp.asnumpy(a).round(5).tobytes() for a in inputs),)


def check_agreement(case, native, baseline, floor, cp):
    """The three variants must do the same thing, or the comparison means nothing."""
    seen = outcome(lambda a, k: native(*a, **k), case, cp)
    problems = []
    plain_seen = outcome(lambda a, k: baseline(*a, **k), case, cp)
    # Python's own binding errors have Python's words and no korvane traceback entry.
    if case.binding:
        same = seen[:2] == plain_seen[:2]
    else:
        same = seen[:4] == plain_seen[:4] and seen[-1] == plain_seen[-1]
    if not same:
        problems.append(f"plain: {plain_seen!r:.300}")
    if floor is not None:
        floor_seen = outcome(lambda a, k: floor(*a, **k), case, cp)
    else:
        # The straight-line floor is made from the arguments: results are compared by content.
        floor_seen = outcome(lambda a, k: case.floor(a, k)(), case, cp)
        seen = (seen[0], strip_identity(seen[1])) + seen[2:] if seen[0] == "returned" else seen
        floor_seen = (floor_seen[0], strip_identity(floor_seen[1])) + floor_seen[2:]
    if seen != floor_seen:
        problems.append(f"floor: {floor_seen!r:.300}")
    if problems:
        sys.exit(
            f"host_overhead: {case.function} ({case.label}) differs from native {seen!r:.300}: " + "; ".join(problems)
        )


def strip_identity(p):
    if p[0] == "array":
        return p[:4]
    if p[0] in ("list", "tuple"):
        return (p[0], [strip_identity(v) for v in p[1]])
    return p


# ---- timing -----------------------------------------------------------------------------------


def call_source(case):
    parts = [f"a{k}" for k in range(len(case.args))] + [f"{name}=k_{name}" for name in case.kwargs]
    return f"f({', '.join(parts)})"


def make_runner(statement, names, unroll, fails):
    """Source of run(n), which makes n * unroll calls and returns the thread CPU time they took (ns)."""
    block = f"try:\n    {statement}\nexcept TypeError:\n    pass\n" if fails else f"{statement}\n"
    body = "".join("        " + line + "\n" for line in (block * unroll).splitlines())
    params = ", ".join(f"{name}={name}" for name in names)
    source = (
        f"def run(n, {params}, _clock=_clock, _range=_range):\n"
        f"    start = _clock()\n"
        f"    for _ in _range(n):\n{body}"
        f"    return _clock() - start\n"
    )
    return source


def runner(case, function, unroll):
    """The timed loop for one variant: `function` called with the case's arguments, or,
    for a straight-line floor, called with none."""
    if function is None:
        names = {"f": case.floor(case.args, case.kwargs)}
        statement = "f()"
    else:
        names = {"f": function}
        names.update({f"a{k}": v for k, v in enumerate(case.args)})
        names.update({f"k_{name}": v for name, v in case.kwargs.items()})
        statement = call_source(case)
    namespace = dict(names, _clock=time.thread_time_ns, _range=range)
    exec(compile(make_runner(statement, names, unroll, case.fails), "<runner>", "exec"), namespace)
    return namespace["run"]


def measure(case, functions, rounds, round_ns):
    """Per-call times (ns) of each variant, one entry per round."""
    unroll = 10  # calls per loop iteration, so that the loop itself costs next to nothing
    runners = {name: runner(case, function, unroll) for name, function in functions.items()}
    # Calibrate on the native side: enough calls for one round of about round_ns.
    n = 1
    while True:
        elapsed = runners["native"](n)
        if elapsed >= round_ns / 4 or n >= 1 << 20:
            break
        n *= 2
    # At least 200 calls a round, so that slow calls are not timed a handful at a time.
    n = max(200 // unroll, int(n * round_ns / max(elapsed, 1)))
    for run in runners.values():  # warm-up: specialised bytecode, caches, lazily built attributes
        run(max(1, n // 4))
    times = {name: [] for name in runners}
    orders = list(itertools.permutations(runners))
    for r in range(rounds):
        for name in orders[r % len(orders)]:
            times[name].append(runners[name](n) / (n * unroll))
    return times


def summary(values):
    q = statistics.quantiles(values, n=4) if len(values) > 1 else [values[0]] * 3
    return q[1], q[0], q[2]


# ---- report -----------------------------------------------------------------------------------


def build_type(path):
    data = Path(path).read_bytes()
    sanitized = b"__asan_init" in data
    debug = b".debug_info" in data
    if sanitized:
        return "sanitizer build"
    return "with debug info (Debug or RelWithDebInfo)" if debug else "optimised, no debug info (Release)"


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def duration(ns):
    return f"{ns:7.0f} ns" if ns < 10_000 else f"{ns / 1000:7.1f} us"


def verdict(ratio, target, at_least):
    if target is None:
        return ""
    met = ratio >= target if at_least else ratio <= target
    return f"{'>=' if at_least else '<='}{target:<4} {'met' if met else 'MISSED'}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=None, help="rounds per case (default 31, quick 9)")
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds, for a rough look")
    parser.add_argument("--markdown", action="store_true", help="also print the table in Markdown")
    parser.add_argument("--only", metavar="TEXT", help="only the cases whose function or label contains TEXT")
    args = parser.parse_args(argv)
    rounds = args.repeat or (9 if args.quick else 31)
    round_ns = 1_000_000 if args.quick else 4_000_000

    cp, dm, tl, plain = load_modules()
    import numpy

    with tempfile.TemporaryDirectory(prefix="korvane-floor-") as workdir:
        floor = build_floor(workdir)
    modules = dict.fromkeys(plain.DIMENTION_FUNCTIONS, dm)
    modules.update(dict.fromkeys(plain.TILE_FUNCTIONS, tl))

    load = os.getloadavg()
    print(f"machine: {cpu_model()}, {os.cpu_count()} CPUs, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    print(f"Python {platform.python_version()} ({sys.executable}), NumPy {numpy.__version__}, NumPy stand-in for cupy")
    print(f"native build: {build_type(dm.__file__)}; {dm.__file__}")
    print(
        f"rounds per case: {rounds}, about {round_ns / 1e6:.0f} ms of thread CPU time per variant and round; "
        f"ratios are medians of per-round ratios [quartiles]"
    )
    print()
    header = (
        f"{'function':<26} {'case':<34} {'native':>10} {'plain':>10} {'floor':>10}  "
        f"{'plain/native':<26} {'native/floor':<26}"
    )
    print(header)
    rows = []
    gc_was_enabled = gc.isenabled()
    for case in build_cases(cp, dm, tl):
        if args.only and args.only not in case.function and args.only not in case.label:
            continue
        native = getattr(modules[case.function], case.function)
        baseline = getattr(plain, case.function)
        compiled = getattr(floor, case.function) if case.floor == "c" else None
        check_agreement(case, native, baseline, compiled, cp)
        gc.collect()
        gc.disable()
        try:
            times = measure(case, {"native": native, "plain": baseline, "floor": compiled}, rounds, round_ns)
        finally:
            if gc_was_enabled:
                gc.enable()
        plain_ratio = summary([p / n for p, n in zip(times["plain"], times["native"])])
        floor_ratio = summary([n / f for n, f in zip(times["native"], times["floor"])])
        medians = {name: statistics.median(values) for name, values in times.items()}
        plain_target, floor_target = case.targets
        row = (case, medians, plain_ratio, floor_ratio)
        rows.append(row)
        print(
            f"{case.function:<26} {case.label:<34} {duration(medians['native']):>10} "
            f"{duration(medians['plain']):>10} {duration(medians['floor']):>10}  "
            f"{plain_ratio[0]:5.2f}x [{plain_ratio[1]:4.2f}-{plain_ratio[2]:4.2f}] "
            f"{verdict(plain_ratio[0], plain_target, True):<11} "
            f"{floor_ratio[0]:5.2f}x [{floor_ratio[1]:4.2f}-{floor_ratio[2]:4.2f}] "
            f"{verdict(floor_ratio[0], floor_target, False)}",
            flush=True,
        )

    missed = []
    for case, _, plain_ratio, floor_ratio in rows:
        plain_target, floor_target = case.targets
        if plain_target is not None and plain_ratio[0] < plain_target:
            missed.append(
                f"{case.function} ({case.label}): plain/native {plain_ratio[0]:.2f}x, "
                f"needs >= {plain_target}x (native {plain_target / plain_ratio[0]:.2f}x too slow)"
            )
        if floor_target is not None and floor_ratio[0] > floor_target:
            missed.append(
                f"{case.function} ({case.label}): native/floor {floor_ratio[0]:.2f}x, "
                f"needs <= {floor_target}x (native {floor_ratio[0] / floor_target:.2f}x too slow)"
            )
    targets = sum((p is not None) + (f is not None) for p, f in (row[0].targets for row in rows))
    load = os.getloadavg()
    print(
        f"\n{targets - len(missed)} of {targets} targets met (load average at the end {load[0]:.2f} "
        f"{load[1]:.2f} {load[2]:.2f})"
    )
    for line in missed:
        print(f"  missed: {line}")

    if args.markdown:
        print("\n| Function | Case | Native | Plain | Floor | Plain / native | Native / floor |")
        print("|---|---|---:|---:|---:|---:|---:|")
        for case, medians, plain_ratio, floor_ratio in rows:
            plain_target, floor_target = case.targets
            p = f"{plain_ratio[0]:.2f}x" + (
                f" (≥ {plain_target}: {'met' if plain_ratio[0] >= plain_target else '**missed**'})"
                if plain_target
                else ""
            )
            f = f"{floor_ratio[0]:.2f}x" + (
                f" (≤ {floor_target}: {'met' if floor_ratio[0] <= floor_target else '**missed**'})"
                if floor_target
                else ""
            )
            cells = [duration(medians[k]).strip().replace("us", "µs") for k in ("native", "plain", "floor")]
            print(f"| `{case.function}` | {case.label} | {' | '.join(cells)} | {p} | {f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
