"""OnnxModel: refusals, layouts, quiet failures, threads, pickling; its CUDA path simulated and on a GPU."""

import concurrent.futures
import ctypes
import math
import os
import pickle
import re
import subprocess
import sys
import time
import types

import numpy
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from onnx import TensorProto, helper, numpy_helper  # noqa: E402

from korvane.testing import cupy_is_usable  # noqa: E402
from korvane.upscale import onnx_model  # noqa: E402
from korvane.upscale.onnx_model import ModelError, OnnxModel  # noqa: E402

# The reason every GPU-only test skips with: scripts/gpu-check.sh fails where a GPU machine skips one.
NEEDS_GPU = "needs a GPU: onnxruntime-gpu's CUDA provider and CuPy with a usable device"


def save(path, nodes, shape, out_shape, elem=TensorProto.FLOAT, initializer=()):
    pixels, big = (helper.make_tensor_value_info(n, elem, s) for n, s in (("pixels", shape), ("big", out_shape)))
    graph = helper.make_graph(nodes, "g", [pixels], [big], initializer)
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), path)
    return str(path)


def weights(channels):
    return numpy.random.default_rng(channels).uniform(0.0, 0.5, (channels * 4, channels, 1, 1))


def x2(path, shape, layout="NCHW", elem=TensorProto.FLOAT):
    """A 1x1 convolution then DepthToSpace: x2, between Transposes (NHWC) or identities (NCHW)."""
    nhwc = layout == "NHWC"
    channels = shape[3] if nhwc else shape[1] if isinstance(shape[1], int) else 3
    into, back = ([0, 3, 1, 2], [0, 2, 3, 1]) if nhwc else ([0, 1, 2, 3], [0, 1, 2, 3])
    nodes = [
        helper.make_node("Transpose", ["pixels"], ["x"], perm=into),
        helper.make_node("Conv", ["x", "w"], ["f"]),
        helper.make_node("DepthToSpace", ["f"], ["y"], blocksize=2, mode="CRD"),
        helper.make_node("Transpose", ["y"], ["big"], perm=back),
    ]
    out = [shape[0], "H", "W", channels] if nhwc else [shape[0], channels, "H", "W"]
    w = weights(channels).astype(numpy.float16 if elem == TensorProto.FLOAT16 else numpy.float32)
    return save(path, nodes, shape, out, elem, [numpy_helper.from_array(w, "w")])


def reference(batch):
    """What x2 computes, in NumPy: (N, C, H, W) to (N, C, 2H, 2W)."""
    n, c, h, w = batch.shape
    mixed = numpy.einsum("oc,nchw->nohw", weights(c)[:, :, 0, 0], batch.astype(numpy.float64))
    return mixed.reshape(n, c, 2, 2, h, w).transpose(0, 1, 4, 2, 5, 3).reshape(n, c, 2 * h, 2 * w)


@pytest.fixture(scope="module")
def graphs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("graphs")
    return {
        "dynamic": x2(folder / "dynamic.onnx", ["n", 3, "h", "w"]),
        "fixed batch": x2(folder / "batch.onnx", [4, 3, "h", "w"]),
        "nhwc": x2(folder / "nhwc.onnx", ["n", "h", "w", 3], "NHWC"),
        "nhwc grey": x2(folder / "grey.onnx", [2, "h", "w", 1], "NHWC"),
        "float16": x2(folder / "half.onnx", ["n", 3, "h", "w"], elem=TensorProto.FLOAT16),
        "any channels": x2(folder / "any.onnx", ["n", "c", "h", "w"]),
    }


class Device:
    """CuPy's current device, simulated."""

    current = 0

    def __init__(self, device=None):
        self.id = Device.current if device is None else device

    def use(self):
        Device.current = self.id

    def __enter__(self):
        self.before = Device.current
        self.use()

    def __exit__(self, *exc):
        Device.current = self.before


class DeviceArray(numpy.ndarray):
    """Host memory posing as device memory: ``data.ptr``, ``device``, and ``ndarray(shape, dtype, memptr)``."""

    def __new__(cls, shape, dtype=float, memptr=None):
        if memptr is None:
            return numpy.empty(shape, dtype).view(cls)
        size = math.prod(shape) * numpy.dtype(dtype).itemsize
        array = numpy.frombuffer((ctypes.c_byte * size).from_address(memptr.ptr), dtype).reshape(shape).view(cls)
        array.owner = memptr.owner  # ONNX Runtime's value, kept alive as CuPy's UnownedMemory does
        return array

    def __array_finalize__(self, obj):
        self.on = getattr(obj, "on", Device.current)

    data = property(lambda self: types.SimpleNamespace(ptr=self.ctypes.data))
    device = property(lambda self: Device(self.on))


class Simulated:
    """A CPU session, or its I/O binding, posing as a CUDA one: "cuda" pointers are bound as host ones."""

    def __init__(self, inner, starts=True):
        self.inner, self.starts = inner, starts

    def __getattr__(self, name):
        def bind(what, where, device, *rest):
            assert (where, device, Device.current) == ("cuda", 0, 0), f"bound on {where} {device}"
            getattr(self.inner, name)(what, "cpu", 0, *rest)

        return bind if name.startswith("bind_") else getattr(self.inner, name)

    def get_providers(self):
        return ["CUDAExecutionProvider"] * (self.starts is True) + ["CPUExecutionProvider"]

    def io_binding(self):
        return Simulated(self.inner.io_binding())

    def run(self, *args):
        time.sleep(0.001)  # lets other threads in between the batch's copy and its run
        return self.inner.run(*args)

    def run_with_iobinding(self, binding, options=None):
        time.sleep(0.001)
        self.inner.run_with_iobinding(binding.inner, options)


@pytest.fixture
def simulated(monkeypatch):
    """A ``cupy`` of DeviceArrays on device 0, and OnnxModel's CUDA road led to a Simulated session."""
    space = types.SimpleNamespace
    cuda = space(Device=Device, get_current_stream=lambda: space(synchronize=lambda: None))
    cuda.UnownedMemory = lambda ptr, size, owner: space(ptr=ptr, owner=owner)
    cuda.MemoryPointer = lambda memory, offset: space(ptr=memory.ptr + offset, owner=memory.owner)
    cp = space(ndarray=DeviceArray, empty=DeviceArray, cuda=cuda, asnumpy=numpy.array, starts=True)
    cp.asarray = cp.ascontiguousarray = lambda a: numpy.array(a).view(DeviceArray)

    def session(ort, path, options, providers):
        if isinstance(cp.starts, Exception) and providers[0] != "CPUExecutionProvider":
            raise cp.starts
        return Simulated(ort.InferenceSession(path, options, providers=["CPUExecutionProvider"]), cp.starts)

    monkeypatch.setitem(sys.modules, "cupy", cp)
    monkeypatch.setattr(Device, "current", 0)
    monkeypatch.setattr(onnx_model, "_usable_cupy", lambda: cp)
    monkeypatch.setattr(onnx_model, "_open_session", session)
    monkeypatch.setattr(ort, "get_available_providers", lambda: ["CUDAExecutionProvider", "CPUExecutionProvider"])
    return cp


@pytest.fixture
def gpu():
    if "CUDAExecutionProvider" not in ort.get_available_providers() or not cupy_is_usable():
        pytest.skip(NEEDS_GPU)
    return sys.modules["cupy"]


@pytest.fixture(params=["cpu", "simulated", "gpu"])
def road(request):
    """The array module of each road: NumPy on the CPU provider, CuPy simulated, CuPy on a GPU."""
    return numpy if request.param == "cpu" else request.getfixturevalue(request.param)


def host(array):
    return array.get() if hasattr(array, "get") else numpy.array(array)


NO_SHAPE = "{p}: expected an NCHW input of rank 4, got input 'pixels' with no shape (none stated, or rank 0)"
FOUR = "{p}: expected an input of 1 or 3 channels, got NHWC input 'pixels' of shape [?, ?, ?, 4]"
LIMIT = "gpu_mem_limit: expected a positive number of bytes or None, got 0"
SEARCH = "cudnn_conv_algo_search: expected one of HEURISTIC, EXHAUSTIVE, DEFAULT, got 'x'"


@pytest.mark.parametrize(
    "shape, options, error, message",  # an Identity graph's input shape, keywords -> the error
    [
        (None, {}, ModelError, NO_SHAPE),
        ([], {}, ModelError, NO_SHAPE),
        (["n", "h", "w", 4], {}, ModelError, FOUR),
        ([1, 3, 4, 4], dict(gpu_mem_limit=0), ValueError, LIMIT),
        ([1, 3, 4, 4], dict(cudnn_conv_algo_search="x"), ValueError, SEARCH),
    ],
)
def test_graphs_and_options_that_cannot_work_are_refused(tmp_path, shape, options, error, message):
    path = save(tmp_path / "g.onnx", [helper.make_node("Identity", ["pixels"], ["big"])], shape, shape)
    with pytest.raises(error) as caught:
        OnnxModel(path, provider="cpu", **options)
    assert str(caught.value) == message.format(p=path)


@pytest.mark.parametrize(
    "graph, layout, batch_size, shape, dtype",
    [
        ("dynamic", "NCHW", None, (2, 3, 8, 10), numpy.float32),
        ("fixed batch", "NCHW", 4, (3, 3, 8, 8), numpy.float32),  # padded
        ("nhwc", "NHWC", None, (2, 3, 6, 8), numpy.float64),  # converted and transposed
        ("nhwc grey", "NHWC", 2, (1, 1, 6, 8), numpy.float32),  # padded and transposed
        ("float16", "NCHW", None, (2, 3, 8, 8), numpy.float32),
    ],
)
def test_graphs_of_both_layouts_give_their_results_on_nchw_batches(
    road, graphs, graph, layout, batch_size, shape, dtype
):
    cp = road
    model = OnnxModel(graphs[graph], provider="cpu" if cp is numpy else "cuda")
    facts = model.layout, model.channels, model.output_channels, model.batch_size, model.tile_size
    assert facts == (layout, shape[1], shape[1], batch_size, (None, None))
    batches = [numpy.random.default_rng(seed).random(shape).astype(dtype) for seed in range(3)]
    arrays = [cp.asarray(batch) for batch in batches]
    if isinstance(cp, types.SimpleNamespace):  # another device current: the model binds on its own, refuses one there
        cp.cuda.Device(1).use()
        with pytest.raises(ValueError, match=r"^batch: expected an array on GPU 0, where .* got one on GPU 1$"):
            model(cp.asarray(batches[0]))
    results = [model(array) for array in arrays]  # the first at a shape binds ONNX Runtime's own memory
    tolerance = 1e-2 if graph == "float16" else 3e-3  # cuDNN may compute float32 in TF32
    for batch, result in zip(batches, results):  # none written over by a later call
        assert type(result) is type(arrays[0]) and result.shape == reference(batch).shape
        numpy.testing.assert_allclose(host(result), reference(batch), rtol=tolerance, atol=tolerance)


def test_a_failing_run_shows_only_korvanes_error(graphs):
    code = (
        "import sys, numpy\nfrom korvane.upscale.onnx_model import OnnxModel, ModelRunError\n"
        "try:\n    OnnxModel(sys.argv[1], provider='cpu')(numpy.zeros((1, 4, 8, 8), numpy.float32))\n"
        "except ModelRunError as exc:\n    print(exc)"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    argv = [sys.executable, "-c", code, graphs["any channels"]]
    ran = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=120, check=False)
    assert ran.stdout.startswith("the model failed on a batch of shape (1, 4, 8, 8): [ONNXRuntimeError]")
    assert ran.stderr == ""


def test_threads_sharing_a_model_get_their_own_results(road, graphs):
    cp, rng = road, numpy.random.default_rng(5)
    model = OnnxModel(graphs["fixed batch"], provider="cpu" if cp is numpy else "cuda")
    if cp is numpy:  # Simulated runs wait a little: a buffer shared between calls shows
        model.session = Simulated(model.session)
    batches = [cp.asarray(rng.random((1 + i % 3, 3, 8, 8), dtype=numpy.float32)) for i in range(200)]  # padded
    alone = [host(model(batch)) for batch in batches]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        together = list(pool.map(lambda batch: host(model(batch)), batches))
    for one, other in zip(alone, together):
        numpy.testing.assert_allclose(one, other, rtol=1e-6)


def test_a_model_pickles_as_its_file_and_options(graphs):
    model = OnnxModel(graphs["nhwc"], provider="cpu")
    copy = pickle.loads(pickle.dumps(model))
    batch = numpy.random.default_rng(2).random((2, 3, 5, 7), dtype=numpy.float32)
    assert copy.session is not model.session and repr(copy) == repr(model)
    numpy.testing.assert_array_equal(copy(batch), model(batch))


@pytest.mark.parametrize(
    "provider, starts, reason",  # a CUDA session that opens without CUDA, or fails to open
    [("cuda", False, "cannot load libcublasLt.so.12"), ("auto", OSError("no CUDA device"), "no CUDA device")],
)
def test_a_cuda_provider_that_does_not_start_is_named(simulated, graphs, monkeypatch, provider, starts, reason):
    simulated.starts = starts
    failed = "Failed to load /lib/libcublasLt.so.12: gone\nFailed to load libcublasLt.so.12: gone\n"
    monkeypatch.setattr(ort, "preload_dlls", lambda: print(failed, end=""), raising=False)  # as it reports
    monkeypatch.setattr(onnx_model, "_clash_note", lambda: "")
    message = f"ONNX Runtime could not start its CUDA provider ({reason})"
    if provider == "cuda":
        with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
            OnnxModel(graphs["dynamic"], provider=provider)
        return
    model = OnnxModel(graphs["dynamic"], provider=provider)
    assert (model.provider, model.provider_note) == ("cpu", message + ": running on the CPU")
