"""Host overhead of the native modules against the pure-Python reference of the same algorithms.

    python benchmarks/host_overhead.py [--repeat N] [--quick]

Both sides run on the NumPy stand-in for ``cupy`` with small arrays, so the array work
is cheap and what differs is the interpreter-side cost: argument binding and checks,
name lookups, calls into the array module and the Python loops. The baseline is
``tests/reference.py``: the same steps, the same binding rules and error messages,
written in Python. Each ratio is (reference time) / (native time) from the same run,
measured interleaved and taking the best of several repeats. The column "body only"
times the reference's bare body called with every argument by position, without its
binding, for scale.

Targets: guess_image_layout and argument-binding failures at least 3x, tile_image (its
loop of views) at least 1.3x, and nothing slower than the reference (ratio at least
0.95, which allows for timing noise).
"""

import argparse
import platform
import sys
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load_modules():
    import korvane.testing

    if "cupy" not in sys.modules:
        sys.modules["cupy"] = korvane.testing.make_numpy_cupy()
    cp = sys.modules["cupy"]
    if not getattr(cp, "__korvane_stand_in__", False):
        sys.exit("host_overhead: real CuPy is loaded; this benchmark measures on the NumPy stand-in")
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        import reference
    except ImportError as exc:
        sys.exit(f"host_overhead: tests/reference.py is needed as the baseline ({exc})")
    from korvane.upscale import tile
    from korvane.utils import dimention

    return cp, dimention, tile, reference


class Case:
    """One call, written out as source so that both sides are called the way user code calls them."""

    def __init__(self, function, label, args=(), kwargs=None, target=0.95, fails=False):
        self.function = function
        self.label = label
        self.args = tuple(args)
        self.kwargs = dict(kwargs or {})
        self.target = target
        self.fails = fails

    def statement(self):
        parts = [f"a{k}" for k in range(len(self.args))] + [f"{name}=k_{name}" for name in self.kwargs]
        call = f"f({', '.join(parts)})"
        return f"try:\n    {call}\nexcept TypeError:\n    pass" if self.fails else call

    def namespace(self, function):
        names = {f"a{k}": value for k, value in enumerate(self.args)}
        names.update({f"k_{name}": value for name, value in self.kwargs.items()})
        names["f"] = function
        return names


def build_cases(cp, dm, tl):
    import numpy

    rng = numpy.random.default_rng(3)

    def array(*shape):
        return cp.asarray(rng.random(shape, dtype=numpy.float32))

    image = array(16, 16, 3)
    mean = (0.1, 0.2, 0.3)
    return [
        Case("guess_image_layout", "HWC (16, 16, 3)", [array(16, 16, 3)], target=3.0),
        Case("guess_image_layout", "CHW (3, 16, 16)", [array(3, 16, 16)], target=3.0),
        Case("guess_image_layout", "NCHW (2, 3, 16, 16)", [array(2, 3, 16, 16)], target=3.0),
        Case("guess_image_layout", "ambiguous (4, 4, 4)", [array(4, 4, 4)], target=3.0),
        # Scale 1.0: the calls work in place on the same arrays again and again.
        Case("image_to_batch", "HWC, swap, mean, scale", [image], {"scalefactor": 1.0, "mean": mean}),
        Case("image_to_batch", "NCHW passes through", [array(2, 3, 16, 16)], {"layout": None}),
        Case("images_to_batch", "list of 2 HWC", [[array(16, 16, 3), array(16, 16, 3)]], {"mean": mean}),
        Case("batch_to_images", "(2, 3, 16, 16), swap, mean, scale", [array(2, 3, 16, 16)],
             {"scalefactor": 1.0, "mean": mean}),
        Case("image_to_batch_pixelshift", "(16, 16, 3), dim 2, mean", [array(16, 16, 3), 2], {"mean": 0.5}),
        Case("pixelshift_fuse", "4 results (3, 8, 8), dim 2",
             [array(4, 3, 8, 8), cp.zeros((3, 16, 16), dtype=cp.float32), cp.zeros((1, 16, 16), dtype=cp.float32),
              0, 2]),
        Case("tile_image", "(100, 100, 3) -> 169 tiles of 8", [array(100, 100, 3), 8, 0], target=1.3),
        Case("add_padding", "(30, 30, 3), 16, 4", [array(30, 30, 3), 16, 4]),
        Case("merge_tiles", "4 tiles (16, 16, 3), scale 2",
             [[array(16, 16, 3) for _ in range(4)], (14, 14, 3), (14, 14, 3), 2, 8, 2]),
        Case("create_gaussian_weights", "16, sigma 4", [16, 4]),
        # Binding and argument checks that fail, before any array work.
        Case("image_to_batch", "fails: no image", [], {"scalefactor": 2.0}, target=3.0, fails=True),
        Case("tile_image", "fails: 4 positional", [image, 8, 2, 1], target=3.0, fails=True),
        Case("image_to_batch", "fails: unexpected keyword", [image], {"scalefactr": 2.0}, target=3.0, fails=True),
        Case("merge_tiles", "fails: 'scale' twice", [[], (1, 1, 3), (1, 1, 3), 2], {"scale": 2},
             target=3.0, fails=True),
        Case("image_to_batch", "fails: scalefactor int", [image], {"scalefactor": 2}, target=3.0, fails=True),
        Case("create_gaussian_weights", "fails: sigma float", [64, 8.0], target=3.0, fails=True),
        Case("pixelshift_fuse", "fails: start_idx bool", [image, image, image, True, 2], target=3.0, fails=True),
    ]


def best_per_call(timers, number, repeat):
    """Interleave the timers (one round each, in turn) and keep each one's best round."""
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for k, timer in enumerate(timers):
            best[k] = min(best[k], timer.timeit(number) / number)
    return best


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=25, help="rounds per case (best one counts)")
    parser.add_argument("--quick", action="store_true", help="shorter rounds, for a rough look")
    args = parser.parse_args(argv)

    cp, dm, tl, reference = load_modules()
    modules = {name: dm for name in reference.DIMENTION_FUNCTIONS}
    modules.update({name: tl for name in reference.TILE_FUNCTIONS})

    import numpy

    print(f"host overhead on the NumPy stand-in: Python {platform.python_version()}, NumPy {numpy.__version__}, "
          f"{platform.machine()} {platform.processor() or ''}".rstrip())
    print(f"native modules: {dm.__file__}, {tl.__file__}")
    print(f"{'function':<26} {'case':<36} {'native':>9} {'reference':>10} {'body only':>10} "
          f"{'ratio':>7} {'target':>7}  met")
    results = []
    budget = 0.005 if args.quick else 0.02  # seconds per round: short rounds, many of them, dodge load spikes
    for case in build_cases(cp, dm, tl):
        native = getattr(modules[case.function], case.function)
        ref = getattr(reference, case.function)
        timers = [timeit.Timer(case.statement(), globals=case.namespace(native)),
                  timeit.Timer(case.statement(), globals=case.namespace(ref))]
        if not case.fails:
            # The bare body with every argument by position: the algorithm without the binding.
            values = ref.signature.bind_vector(case.args, tuple(case.kwargs), tuple(case.kwargs.values()))
            timers.append(timeit.Timer("f(*v)", globals={"f": ref.__wrapped__, "v": values}))
        number, _ = timers[0].autorange()
        number = max(1, int(number * budget / 0.2))
        for timer in timers:  # warm-up: caches, lazily built attributes
            timer.timeit(max(1, number // 10))
        times = best_per_call(timers, number, args.repeat)
        ratio = times[1] / times[0]
        met = ratio >= case.target
        results.append((case, ratio, met))
        body = f"{times[2] * 1e6:8.2f}us" if len(times) > 2 else f"{'-':>10}"
        print(f"{case.function:<26} {case.label:<36} {times[0] * 1e6:7.2f}us {times[1] * 1e6:8.2f}us {body} "
              f"{ratio:6.2f}x {case.target:6.2f}x  {'yes' if met else 'NO'}")
    missed = [case for case, _, met in results if not met]
    print(f"\n{len(results) - len(missed)} of {len(results)} targets met"
          + (": missed " + ", ".join(f"{c.function} ({c.label})" for c in missed) if missed else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
