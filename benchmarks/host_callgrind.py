"""Instructions per call of the metadata paths, counted with callgrind, and where they go.

    python benchmarks/host_callgrind.py [--site DIR] [--calls N] [--top K] [PATH ...]

Instruction counts do not depend on the machine's load, so they confirm what the timings
of ``host_overhead.py`` suggest. For every path (layout inference, the batch pass-through,
the refusals, a binding failure) and every variant (native, plain Python, the floor) the
same timed loop as in ``host_overhead.py`` runs under ``valgrind --tool=callgrind`` twice,
with two call counts; the difference of the totals divided by the difference of the counts
is the cost of one call, start-up and the loop's set-up cancelling out. The same difference
taken per function gives the breakdown: the functions that one native call spends its
instructions in, by self cost, and the inclusive cost of the native functions.

``--site`` puts a directory first on ``sys.path``, for a build of korvane whose shared
libraries keep their symbols (the installed ones are stripped, which leaves callgrind
only addresses):

    pip install --no-deps --target build/callgrind-site -C install.strip=false \\
        -C build-dir=build/callgrind .
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

# key: (function, a text in the case's label), cases of host_overhead.py
PATHS = {
    "guess-HWC": ("guess_image_layout", "HWC"),
    "guess-CHW": ("guess_image_layout", "CHW"),
    "guess-NCHW": ("guess_image_layout", "NCHW"),
    "guess-ambiguous": ("guess_image_layout", "ambiguous"),
    "pass-through": ("image_to_batch", "NCHW passes through"),
    "nhwc-transpose": ("image_to_batch", "NHWC transposed"),
    "refuse-scalefactor": ("image_to_batch", "scalefactor=2"),
    "refuse-dim": ("image_to_batch_pixelshift", "dim=True"),
    "binding-no-image": ("image_to_batch", "no image"),
}
# Array-bound paths, not counted unless named: their calls cost far more.
ARRAY_PATHS = {
    "image-to-batch-hwc": ("image_to_batch", "HWC, swap"),
    "add-padding": ("add_padding", "(30, 30, 3)"),
    "tile-image": ("tile_image", "169 tiles"),
    "pixelshift": ("image_to_batch_pixelshift", "dim 2, mean"),
}
VARIANTS = ("native", "plain", "floor")


def drive(site, variant, path, iterations):
    """Inside valgrind: make the case's loop and run it `iterations` times (10 calls each)."""
    if site:
        sys.path.insert(0, site)
    sys.path.insert(0, str(HERE))
    import host_overhead

    cp, dm, tl, plain = host_overhead.load_modules()
    function, text = {**PATHS, **ARRAY_PATHS}[path]
    case = next(c for c in host_overhead.build_cases(cp, dm, tl) if c.function == function and text in c.label)
    if variant == "native":
        target = getattr(dm if function in plain.DIMENTION_FUNCTIONS else tl, function)
    elif variant == "plain":
        target = getattr(plain, function)
    elif case.floor == "c":
        with tempfile.TemporaryDirectory(prefix="korvane-floor-") as workdir:
            target = getattr(host_overhead.build_floor(workdir), function)
    else:
        target = None  # the straight-line floor, made by the runner
    run = host_overhead.runner(case, target, 10)
    run(200)  # the same warm-up in both runs: specialised bytecode
    run(iterations)


def callgrind(site, variant, path, iterations, workdir):
    out = Path(workdir) / f"{path}.{variant}.{iterations}.out"
    command = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        sys.executable,
        __file__,
        "--drive",
        variant,
        path,
        str(iterations),
    ] + (["--site", site] if site else [])
    # One thread for NumPy's BLAS: its idle threads spin, and callgrind would count that.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"host_callgrind: {' '.join(command)} failed:\n{done.stderr[-3000:]}")
    return out


LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([\d.]+%\)\s+)?(\S.*?)\s*$")


def per_function(out, inclusive):
    """{function: instructions} from callgrind_annotate."""
    done = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100", str(out)],
        capture_output=True,
        text=True,
        check=True,
    )
    costs, total = {}, None
    for line in done.stdout.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        value, name = int(m.group(1).replace(",", "")), m.group(2)
        if name.startswith("PROGRAM TOTALS"):
            total = value
        elif ":" in name or "[" in name:
            name = re.sub(r"\s*\[.*\]$", "", name)
            name = name.split(":", 1)[1] if ":" in name else name
            costs[name] = costs.get(name, 0) + value
    return total, costs


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help=f"paths to count (default: {', '.join(PATHS)}); also {', '.join(ARRAY_PATHS)}",
    )
    parser.add_argument("--site", help="directory put first on sys.path (an unstripped build of korvane)")
    parser.add_argument("--calls", type=int, default=20000, help="calls in the longer of the two runs")
    parser.add_argument("--top", type=int, default=12, help="functions shown per native path")
    parser.add_argument("--drive", nargs=3, metavar=("VARIANT", "PATH", "ITERATIONS"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.drive:
        variant, path, iterations = args.drive
        drive(args.site, variant, path, int(iterations))
        return 0

    unknown = [p for p in args.paths if p not in PATHS and p not in ARRAY_PATHS]
    if unknown:
        parser.error(f"unknown path(s) {', '.join(unknown)}; known: {', '.join([*PATHS, *ARRAY_PATHS])}")
    site = str(Path(args.site).resolve()) if args.site else None
    long_run = max(2, args.calls // 10)
    short_run = long_run // 4
    calls = (long_run - short_run) * 10
    print(
        f"callgrind, instructions per call (difference of {long_run * 10} and {short_run * 10} calls)"
        + (f"; korvane from {site}" if site else "")
    )
    print(f"{'path':<20} " + " ".join(f"{v:>10}" for v in VARIANTS) + f" {'plain/native':>13} {'native/floor':>13}")
    breakdowns, totals = {}, {}
    with tempfile.TemporaryDirectory(prefix="korvane-callgrind-") as workdir:
        for path in args.paths or PATHS:
            counts = {}
            for variant in VARIANTS:
                outs = [callgrind(site, variant, path, n, workdir) for n in (short_run, long_run)]
                (t0, self0), (t1, self1) = per_function(outs[0], False), per_function(outs[1], False)
                counts[variant] = (t1 - t0) / calls
                totals.setdefault(path, {})[variant] = counts[variant]
                if variant != "plain":
                    (_, inc0), (_, inc1) = per_function(outs[0], True), per_function(outs[1], True)
                    breakdowns.setdefault(path, {})[variant] = (
                        {k: (v - self0.get(k, 0)) / calls for k, v in self1.items()},
                        {k: (v - inc0.get(k, 0)) / calls for k, v in inc1.items()},
                    )
            print(
                f"{path:<20} "
                + " ".join(f"{counts[v]:10.0f}" for v in VARIANTS)
                + f" {counts['plain'] / counts['native']:12.2f}x {counts['native'] / counts['floor']:12.2f}x",
                flush=True,
            )
    for path, sides in breakdowns.items():
        native_self, native_inclusive = sides["native"]
        floor_self = sides["floor"][0]
        print(
            f"\n{path}: instructions per call by function, self cost, native beside the floor "
            f"(largest differences first)"
        )
        names = sorted(
            set(native_self) | set(floor_self), key=lambda k: -abs(native_self.get(k, 0) - floor_self.get(k, 0))
        )
        for name in names[: args.top]:
            n, f = native_self.get(name, 0), floor_self.get(name, 0)
            if abs(n - f) < 1:
                break
            print(f"  {n:8.1f} {f:8.1f}  {name}")
        print("  inclusive cost of korvane's own functions (native):")
        # Inclusive costs above the call's total come from call cycles (recursion through the
        # interpreter), which callgrind cannot attribute: they are left out.
        own = [
            (name, cost)
            for name, cost in native_inclusive.items()
            if ("kv::" in name or "(anonymous namespace)" in name) and cost <= totals[path]["native"] * 1.01
        ]
        for name, cost in sorted(own, key=lambda kv: -kv[1])[: args.top]:
            if cost >= 1:
                print(f"  {cost:8.1f}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
