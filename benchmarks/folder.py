"""A folder of pictures through the command line, against the model's own work and against a shell loop.

    python benchmarks/folder.py [COUNT] [SIZE] [ROUNDS]

COUNT (default 32) random SIZE x SIZE pictures (default 256) go through a x2 network at
random weights (4 convolutions of 64 features, benchmarks/tile_memory.py's) on the CPU:

* ``korvane upscale in/ out/``: one process, the model loaded once, reading and writing
  on worker threads while the model runs;
* the floor: the same pictures read beforehand and run back to back through
  ``upscale_tiled`` in one process, with nothing read or written while they run;
* a loop in one process, as a user would write it: read, ``upscale_tiled``, write, one
  picture after the other;
* a shell loop: one ``korvane upscale`` process per picture.

Each round runs all three; the figures are medians over rounds, the ratios medians of
per-round ratios (this machine is shared and noisy).
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy
from tile_memory import network

FLOOR = """
import sys, time, numpy
from PIL import Image
from korvane.upscale import upscale_tiled
from korvane.upscale.onnx_model import OnnxModel
model = OnnxModel(sys.argv[1], provider="cpu")
images = [numpy.asarray(Image.open(p).convert("RGB")).astype(numpy.float32) / 255 for p in sys.argv[2:]]
started = time.perf_counter()
for image in images:
    upscale_tiled(image, model, tile_size=128, overlap=16, batch_size=8)
print(time.perf_counter() - started)
"""

LOOP = """
import os, sys, time, numpy
from PIL import Image
from korvane.upscale import upscale_tiled
from korvane.upscale.onnx_model import OnnxModel
started = time.perf_counter()
model = OnnxModel(sys.argv[1], provider="cpu")
for path in sys.argv[3:]:
    image = numpy.asarray(Image.open(path).convert("RGB")).astype(numpy.float32) / 255
    result = upscale_tiled(image, model, tile_size=128, overlap=16, batch_size=8)
    samples = numpy.rint(numpy.clip(result, 0, 1) * 255).astype(numpy.uint8)
    Image.fromarray(samples).save(os.path.join(sys.argv[2], os.path.basename(path)))
print(time.perf_counter() - started)
"""


def timed(argv):
    started = time.perf_counter()
    subprocess.run(argv, check=True, capture_output=True)
    return time.perf_counter() - started


def main(count=32, size=256, rounds=3):
    from PIL import Image

    python = sys.executable
    with tempfile.TemporaryDirectory() as folder:
        model = os.path.join(folder, "net.onnx")
        network(model, 64)
        source = os.path.join(folder, "in")
        os.mkdir(source)
        rng = numpy.random.default_rng(0)
        paths = []
        for k in range(count):
            paths.append(os.path.join(source, f"p{k:03}.png"))
            Image.fromarray(rng.integers(0, 256, (size, size, 3), dtype=numpy.uint8)).save(paths[-1])
        command = [python, "-m", "korvane", "upscale"]
        options = ["--onnx", model, "--provider", "cpu", "--no-progress"]
        figures = {"pipeline": [], "floor": [], "hand": [], "loop": []}
        for round_ in range(rounds):
            out = os.path.join(folder, f"out{round_}")
            figures["pipeline"].append(timed([*command, source, out, *options]))
            floor = subprocess.run([python, "-c", FLOOR, model, *paths], check=True, capture_output=True, text=True)
            figures["floor"].append(float(floor.stdout))
            hand = os.path.join(folder, f"hand{round_}")
            os.mkdir(hand)
            by_hand = subprocess.run(
                [python, "-c", LOOP, model, hand, *paths], check=True, capture_output=True, text=True
            )
            figures["hand"].append(float(by_hand.stdout))
            loop = os.path.join(folder, f"loop{round_}")
            os.mkdir(loop)
            started = time.perf_counter()
            for path in paths:
                subprocess.run([*command, path, os.path.join(loop, os.path.basename(path)), *options], check=True)
            figures["loop"].append(time.perf_counter() - started)
    rate = {name: [count / s for s in seconds] for name, seconds in figures.items()}
    print(f"{count} pictures of {size}x{size}, x2, 64-feature network, CPU, {rounds} rounds")
    labels = {
        "pipeline": "korvane upscale in/ out/",
        "floor": "preloaded, back to back",
        "hand": "read-run-write loop",
        "loop": "shell loop",
    }
    for name, label in labels.items():
        print(
            f"  {label:<26} {statistics.median(figures[name]):7.2f} s   {statistics.median(rate[name]):6.2f} pictures/s"
        )
    for name in ("floor", "hand", "loop"):
        ratio = statistics.median(p / f for p, f in zip(rate["pipeline"], rate[name]))
        print(f"  pipeline / {labels[name]} throughput: {ratio:.3f} (median of per-round ratios)")


if __name__ == "__main__":
    main(*map(int, sys.argv[1:4]))
