"""TorchModel and load_model: small spandrel nets at random weights against the nets run by hand, refusals, threads."""

import concurrent.futures
import io
import os
import pickle
import shlex
import subprocess
import sys
import warnings

import numpy
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("spandrel")
safetensors_torch = pytest.importorskip("safetensors.torch")

from spandrel.architectures.Compact import Compact  # noqa: E402
from spandrel.architectures.ESRGAN import ESRGAN  # noqa: E402
from spandrel.architectures.SwinIR import SwinIR  # noqa: E402

from korvane.upscale import TorchModel, load_model, upscale_tiled  # noqa: E402
from korvane.upscale.onnx_model import ModelError, ModelRunError  # noqa: E402

# SwinIR builds its attention mask with torch.meshgrid without indexing=, which torch warns of.
pytestmark = pytest.mark.filterwarnings("ignore:torch.meshgrid:UserWarning")


def swinir():
    return SwinIR(
        img_size=16, embed_dim=12, depths=[2], num_heads=[2], window_size=4, upscale=2, upsampler="pixelshuffledirect"
    )


# One net of each family, x2, with the gain and bias given to its last convolution so that
# outputs spread inside [0, 1], where spandrel's clamp leaves them to compare.
NETS = {
    "compact": (lambda: Compact(num_feat=8, num_conv=2, upscale=2), 0.1, 0.0),
    "esrgan": (lambda: ESRGAN(num_filters=8, num_blocks=1, scale=2), 5.0, 0.5),
    "swinir": (swinir, 0.3, 0.0),
}


def make_net(name):
    torch.manual_seed(len(name))
    build, gain, bias = NETS[name]
    net = build().eval()
    last = [m for m in net.modules() if isinstance(m, torch.nn.Conv2d)][-1]
    with torch.no_grad():
        last.weight.mul_(gain)
        last.bias.fill_(bias)
    return net


def by_hand(net, batch):
    with torch.inference_mode():
        return net(torch.from_numpy(batch)).clamp(0, 1).numpy()


def batches(count, shape=(2, 3, 16, 16)):
    rng = numpy.random.default_rng(count)
    return [rng.uniform(0.2, 0.8, shape).astype(numpy.float32) for _ in range(count)]


@pytest.fixture(scope="module")
def nets(tmp_path_factory):
    folder = tmp_path_factory.mktemp("weights")
    made = {name: make_net(name) for name in NETS}
    for name, net in made.items():
        torch.save(net.state_dict(), folder / f"{name}.pth")
        safetensors_torch.save_file(net.state_dict(), folder / f"{name}.safetensors")
    return folder, made


@pytest.mark.parametrize("name", list(NETS))
@pytest.mark.parametrize("ext, backend", [(".pth", False), (".safetensors", True)])
def test_a_loaded_net_upscales_as_the_net_itself(nets, xp, name, ext, backend):
    folder, made = nets
    model = load_model(folder / f"{name}{ext}", device="cpu")
    facts = (model.scale, model.channels, model.output_channels, model.tile_size, model.batch_size, model.xp)
    assert facts == (2, 3, 3, None, None, numpy) and model.dtype == torch.float32
    (image,) = batches(1, (1, 3, 18, 20))
    module = xp if backend else numpy
    # One tile covers the picture, so the engine's result is the net's output, in HWC.
    got = upscale_tiled(module.asarray(image[0].transpose(1, 2, 0)), model, tile_size=(18, 20), overlap=0)
    got = xp.asnumpy(got) if backend else got
    numpy.testing.assert_allclose(got, by_hand(made[name], image)[0].transpose(1, 2, 0), atol=1e-5)


def _torch_on_a_gpu():
    from korvane.testing import cupy_is_usable

    if not cupy_is_usable():
        pytest.skip("needs a GPU: CuPy with a usable device")
    if not torch.cuda.is_available():
        pytest.skip("torch's CUDA build does not run on this machine's driver")


@pytest.mark.parametrize("dtype", [None, "float16"])
def test_cupy_batches_cross_to_torch_and_back_through_dlpack(nets, dtype):
    _torch_on_a_gpu()
    import cupy

    folder, made = nets
    model = load_model(folder / "compact.pth", device="cuda", dtype=dtype)
    (image,) = batches(1, (1, 3, 18, 20))
    got = upscale_tiled(cupy.asarray(image[0].transpose(1, 2, 0)), model, tile_size=(18, 20), overlap=0)
    assert type(got) is cupy.ndarray and got.dtype == cupy.float32
    expected = by_hand(made["compact"], image)[0].transpose(1, 2, 0)
    numpy.testing.assert_allclose(cupy.asnumpy(got), expected, atol=1e-5 if dtype is None else 1e-2)


@pytest.mark.parametrize("name", list(NETS))
def test_bfloat16_is_close_to_float32(nets, name):
    folder, _ = nets
    exact, half = (load_model(folder / f"{name}.pth", device="cpu", dtype=d) for d in (None, "bfloat16"))
    (batch,) = batches(1)
    got, want = half(batch), exact(batch)
    assert half.dtype == torch.bfloat16 and got.dtype == numpy.float32
    assert 0 < numpy.abs(got - want).max() < 0.05


@pytest.mark.parametrize("name", list(NETS))
def test_threads_get_what_serial_calls_get(nets, name):
    folder, made = nets
    model = load_model(folder / f"{name}.pth", device="cpu")
    work = batches(6)
    serial = [model(b) for b in work]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(model, work))
    for batch, one, other in zip(work, serial, threaded):
        numpy.testing.assert_array_equal(one, other)
        numpy.testing.assert_allclose(one, by_hand(made[name], batch), atol=1e-5)


class Payload:
    """Unpickled by a full unpickler, it would create the file ``marker``."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return os.system, (f"touch {shlex.quote(str(self.marker))}",)


def torchscript():
    """A TorchScript archive's bytes."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # torch.jit is deprecated, its files are still about
        buffer = io.BytesIO()
        torch.jit.save(torch.jit.trace(torch.nn.Conv2d(3, 3, 1), torch.zeros(1, 3, 4, 4)), buffer)
    return buffer.getvalue()


CODE = "{}: load_model refuses to run code from the file: "
M, V = ModelError, ValueError


@pytest.mark.parametrize(
    "file, content, options, error, message",
    [
        ("payload.pth", lambda m, k: {"w": Payload(k)}, {}, M, CODE + "Trying to load unsupported GLOBAL posix.system"),
        ("whole.pth", lambda m, k: m["compact"], {}, M, CODE + "Unsupported global: GLOBAL spandrel.architectures"),
        ("script.pt", lambda m, k: torchscript(), {}, M, CODE + "it is a TorchScript archive (only weights load"),
        ("junk.pth", lambda m, k: b"not a pickle", {}, M, "{} is not a readable PyTorch file: "),
        ("junk.safetensors", lambda m, k: b"\xff" * 16, {}, M, "{} is not a readable safetensors file: "),
        ("list.pth", lambda m, k: [torch.zeros(1)], {}, M, "{}: expected a state dict (a dict of tensors), got list"),
        ("odd.pth", lambda m, k: {"c.weight": torch.zeros(1)}, {}, M, "{}: spandrel recognises no architecture in "
         "these weights (keys: c.weight)"),
        ("swinir.pth", None, {"dtype": "float16"}, V, "dtype: spandrel's SwinIR does not support torch.float16"),
        ("compact.pth", None, {"dtype": torch.float16}, V, "dtype: torch.float16 is not supported on the CPU: use "
         "torch.bfloat16 there"),
        ("compact.pth", None, {"device": "gpu"}, V, "device: expected one of auto, cpu, cuda, got 'gpu'"),
        ("weights.bin", lambda m, k: b"", {}, M, "path: expected a model file ending in .onnx, .param, .pth, .pt, "
         ".ckpt, .safetensors or the name of an installed model (korvane models lists them), got '{}'"),
    ],
)  # fmt: skip
def test_refusals_in_one_line(nets, tmp_path, file, content, options, error, message):
    folder, made = nets
    path, marker = (folder if content is None else tmp_path) / file, tmp_path / "ran"
    if content is not None:
        value = content(made, marker)
        if isinstance(value, bytes):
            path.write_bytes(value)
        else:
            torch.save(value, path)
    with pytest.raises(error) as caught:
        load_model(path, **{"device": "cpu", **options})
    assert str(caught.value).startswith(message.format(path)) and "\n" not in str(caught.value)
    assert not marker.exists()


def test_pickles_as_file_and_options_or_as_module(nets):
    folder, _ = nets
    loaded, conv = load_model(folder / "esrgan.pth", device="cpu"), TorchModel(torch.nn.Conv2d(3, 3, 3, padding=1))
    (batch,) = batches(1)
    assert len(pickle.dumps(loaded)) < 500  # the file's name, not its weights
    for model in (loaded, conv):
        numpy.testing.assert_array_equal(pickle.loads(pickle.dumps(model))(batch), model(batch))
    with pytest.raises(TypeError, match=r"^cannot pickle a TorchModel made from a spandrel descriptor"):
        pickle.dumps(TorchModel(loaded._descriptor))


@pytest.mark.parametrize("dtype, writeable", [(numpy.uint8, True), (numpy.float64, True), (numpy.float32, False)])
def test_a_plain_module_runs_in_eval_mode_on_any_real_dtype(dtype, writeable):
    net = torch.nn.Sequential(torch.nn.Conv2d(3, 4, 3, padding=1), torch.nn.Dropout(0.5))
    batch = numpy.random.default_rng(3).integers(0, 255, (2, 3, 8, 8)).astype(dtype)
    batch.flags.writeable = writeable
    got = TorchModel(net)(batch)
    with torch.inference_mode():
        want = net.eval()(torch.from_numpy(batch.astype(numpy.float32))).numpy()
    assert got.dtype == numpy.float32 and got.shape == (2, 4, 8, 8)
    numpy.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-4)


BAD = numpy.zeros((1, 4, 8, 8), numpy.float32)


@pytest.mark.parametrize(
    "module, batch, error, message",
    [
        ("compact", BAD[0], V, "batch: expected an NCHW array of rank 4, got shape (4, 8, 8)"),
        ("compact", BAD, V, "batch: the model takes 3 channels, got shape (1, 4, 8, 8)"),
        ("conv", BAD, ModelRunError, "the model failed on a batch of shape (1, 4, 8, 8): Given groups=1"),
    ],
)
def test_bad_batches(nets, module, batch, error, message):
    conv = TorchModel(torch.nn.Conv2d(3, 3, 1))
    model = conv if module == "conv" else load_model(nets[0] / "compact.pth", device="cpu")
    with pytest.raises(error) as caught:
        model(batch)
    assert str(caught.value).startswith(message)


def test_the_exports_import_no_runtime():
    code = "import sys, korvane.upscale as u; u.load_model, u.TorchModel; print(*sorted(sys.modules))"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert {"torch", "onnxruntime", "spandrel", "korvane.upscale.loading"} & set(loaded.stdout.split()) == {
        "korvane.upscale.loading"
    }
