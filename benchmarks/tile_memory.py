"""Peak memory of the command line against tile and batch size, with a convolutional network.

    python benchmarks/tile_memory.py [SIZE] [FEATURES]

The network is a small ESRGAN-like stack at random weights: 3x3 convolutions with FEATURES
(default 64) channels, then a x2 pixel shuffle. Each setting runs in a fresh process on
the CPU provider, on a SIZE x SIZE picture (default 1000), and reports the peak resident
memory (getrusage) next to the engine's own buffers (result, one batch in, one batch out).
"""

import os
import resource
import subprocess
import sys
import tempfile

import numpy

SETTINGS = [(128, 1), (128, 8), (256, 8), (512, 1), (512, 8)]


def network(path, features, layers=4):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = numpy.random.default_rng(0)
    nodes, weights, previous, channels = [], [], "x", 3
    for k in range(layers):
        out = 12 if k == layers - 1 else features
        name = f"w{k}"
        weights.append(numpy_helper.from_array(rng.normal(0, 0.05, (out, channels, 3, 3)).astype(numpy.float32), name))
        nodes.append(helper.make_node("Conv", [previous, name], [f"c{k}"], pads=[1, 1, 1, 1]))
        previous, channels = f"c{k}", out
        if k < layers - 1:
            nodes.append(helper.make_node("Relu", [previous], [f"r{k}"]))
            previous = f"r{k}"
    nodes.append(helper.make_node("DepthToSpace", [previous], ["y"], blocksize=2, mode="CRD"))
    graph = helper.make_graph(
        nodes,
        "net",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["n", 3, "H", "W"])],
        initializer=weights,
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), path)


def child(argv):
    from korvane.cli import main

    code = main(argv)
    print("peak", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
    return code


def main(size=1000, features=64):
    from PIL import Image

    with tempfile.TemporaryDirectory() as folder:
        model, picture = os.path.join(folder, "net.onnx"), os.path.join(folder, "in.png")
        network(model, features)
        rgb = numpy.random.default_rng(1).integers(0, 256, (size, size, 3), dtype=numpy.uint8)
        Image.fromarray(rgb).save(picture)
        result = (2 * size) ** 2 * 3 * 4
        print(f"{size}x{size} picture x2, {features} features: the float32 result is {result / 2**20:.0f} MiB")
        print("tile  batch  peak RSS  engine buffers")
        for tile, batch in SETTINGS:
            argv = ["upscale", picture, os.path.join(folder, "out.png"), "--onnx", model, "--no-progress"]
            argv += ["--tile-size", str(tile), "--batch-size", str(batch)]
            run = subprocess.run(
                [sys.executable, __file__, "--child", *argv], capture_output=True, text=True, check=True
            )
            peak = int(run.stdout.split("peak")[-1])
            buffers = result + batch * 3 * tile * tile * 4 * (1 + 4)
            print(f"{tile:4}  {batch:5}  {peak / 2**20:6.0f} MiB  {buffers / 2**20:6.0f} MiB")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        sys.exit(child(sys.argv[2:]))
    main(*map(int, sys.argv[1:3]))
