"""``tile_size="auto"``: the tile that fits, halved and started again on each kind of out-of-memory error."""

import numpy
import pytest

from korvane.upscale import TileSizeWarning, upscale_tiled
from korvane.upscale.onnx_model import ModelRunError

torch = pytest.importorskip("torch")


class OutOfMemoryError(MemoryError):
    """CuPy's class, by its name and module (the stand-ins have none)."""

    __module__ = "cupy.cuda.memory"


def nearest_x2(batch):
    return batch.repeat(2, axis=2).repeat(2, axis=3)


class Failing:
    """Nearest x2 that raises ``error()`` for tiles of more than 32x32 pixels once it has run ``after`` batches.

    Its estimate is huge, so that "auto" starts at the ladder's smallest side, 64.
    """

    bytes_per_pixel = float(2**40)

    def __init__(self, error, after=0, limit=32 * 32):
        self.error, self.after, self.limit, self.calls = error, after, limit, 0

    def __call__(self, batch):
        self.calls += 1
        if batch.shape[2] * batch.shape[3] > self.limit and self.calls > self.after:
            raise self.error()
        return nearest_x2(batch)


class TorchFailing(torch.nn.Module):
    """The same inside a torch module, so that TorchModel wraps torch's error in a ModelRunError."""

    def __init__(self, after):
        super().__init__()
        self.after, self.calls = after, 0

    def forward(self, x):
        self.calls += 1
        if x.shape[2] * x.shape[3] > 32 * 32 and self.calls > self.after:
            raise torch.OutOfMemoryError("CUDA out of memory. Tried to allocate 2.00 GiB")
        return x.repeat_interleave(2, dim=2).repeat_interleave(2, dim=3)


def torch_model(after):
    from korvane.upscale import TorchModel

    model = TorchModel(TorchFailing(after))
    model.bytes_per_pixel = Failing.bytes_per_pixel
    return model


ORT_MESSAGE = (
    "the model failed on a batch of shape (4, 3, 64, 64): [ONNXRuntimeError] : 6 : RUNTIME_EXCEPTION : "
    "bfc_arena.cc:376 onnxruntime::BFCArena::AllocateRawInternal Failed to allocate memory for requested buffer"
)

# Each kind of error, raised after ``after`` batches (a picture partly written into ``out``).
OUT_OF_MEMORY = [
    ("cupy", lambda after: Failing(lambda: OutOfMemoryError("Out of memory allocating 2,048 bytes"), after)),
    ("torch", lambda after: Failing(lambda: torch.OutOfMemoryError("CUDA out of memory."), after)),
    ("torch in TorchModel", torch_model),
    ("onnx runtime", lambda after: Failing(lambda: ModelRunError(ORT_MESSAGE), after)),
    ("host", lambda after: Failing(lambda: MemoryError("Unable to allocate 8.00 GiB"), after)),
]


@pytest.mark.parametrize("after", [0, 2])
@pytest.mark.parametrize("kind, make", OUT_OF_MEMORY, ids=[kind for kind, _ in OUT_OF_MEMORY])
def test_out_of_memory_halves_the_tile_and_gives_that_sizes_result(kind, make, after):
    image = numpy.random.default_rng(3).random((160, 200, 3), dtype=numpy.float32)
    out = numpy.full((320, 400, 3), numpy.nan, dtype=numpy.float32)
    with pytest.warns(TileSizeWarning, match="ran tiles of 32x32 with overlap 8x8, .* tiles of 64x64") as caught:
        result = upscale_tiled(image, make(after), tile_size="auto", overlap=8, batch_size=4, out=out)
    warning = caught[0].message
    assert (warning.tile_size, warning.overlap, warning.failed) == ((32, 32), (8, 8), ((64, 64),))
    expected = upscale_tiled(image, nearest_x2, tile_size=warning.tile_size, overlap=warning.overlap, batch_size=4)
    assert result is out and numpy.array_equal(result, expected)


def _out_of_bands(rows, band):
    pass


# What propagates: the error, how many batches the model ran, and the note added to it.
PROPAGATED = [
    (lambda: MemoryError("still"), 32 * 32 - 1, None, 2, "no side goes below 32"),
    (lambda: ValueError("not memory"), 0, None, 1, None),
    (lambda: RuntimeError("CUDA error: an illegal memory access"), 0, None, 1, None),
    (lambda: MemoryError("late"), 32 * 32, _out_of_bands, 3, "cannot take them back"),
]


@pytest.mark.parametrize("error, limit, out, calls, note", PROPAGATED)
def test_errors_past_the_floor_or_of_another_kind_propagate(error, limit, out, calls, note):
    image = numpy.zeros((160, 200, 3), dtype=numpy.float32)
    model = Failing(error, after=2 if out else 0, limit=limit)
    with pytest.raises(type(error())) as raised:
        upscale_tiled(image, model, tile_size="auto", overlap=8, batch_size=4, out=out)
    assert model.calls == calls
    assert (note is None) == (not getattr(raised.value, "__notes__", None))
    assert note is None or note in raised.value.__notes__[0]


def test_a_fixed_size_axis_keeps_its_size():
    image = numpy.random.default_rng(4).random((70, 90, 3), dtype=numpy.float32)
    model = Failing(lambda: MemoryError("big"), limit=16 * 40)
    model.tile_size = (16, None)
    with pytest.warns(TileSizeWarning) as caught:
        result = upscale_tiled(image, model, tile_size="auto", overlap=4)
    warning = caught[0].message
    assert warning.tile_size == (16, 32) and warning.failed == ((16, 64),)
    assert numpy.array_equal(result, upscale_tiled(image, nearest_x2, tile_size=(16, 32), overlap=warning.overlap))


# The tile ONNX Runtime's arena fails above (None: none), the sizes that ran, and their note.
CLI_RUNS = [
    (None, (100, 130), (16, 16), "tiles 100x130, overlap 16"),
    (4000, (50, 65), (12, 16), "tiles 50x65, overlap 12x16 (out of memory with tiles 100x130)"),
]


@pytest.mark.parametrize("limit, tile, overlap, noted", CLI_RUNS)
def test_the_command_line_runs_auto_and_notes_the_size(tmp_path, capsys, monkeypatch, limit, tile, overlap, noted):
    from test_cli import Image, mixing, run, x2_graph

    from korvane.upscale.onnx_model import OnnxModel

    graph = x2_graph(tmp_path / "x2.onnx", ["n", 3, "h", "w"], ["n", 3, "H", "W"], mixing())
    if limit is not None:
        call = OnnxModel.__call__

        def arena(self, batch):
            if batch.shape[2] * batch.shape[3] > limit:
                raise ModelRunError(ORT_MESSAGE)
            return call(self, batch)

        monkeypatch.setattr(OnnxModel, "__call__", arena)
    rgb = numpy.random.default_rng(5).integers(0, 256, (100, 130, 3), dtype=numpy.uint8)
    Image.fromarray(rgb).save(tmp_path / "in.png")
    code, out, err = run(capsys, tmp_path / "in.png", tmp_path / "out.png", "--onnx", graph, "--tile-size", "auto")
    assert (code, err) == (0, f"korvane: note: --tile-size auto: {noted}\n")
    assert f"({noted.split(' (')[0]}, batches of 8" in out  # the summary names the sizes that ran
    model = OnnxModel(graph, "cpu")
    expected = upscale_tiled(rgb.astype(numpy.float32) / 255, model, tile_size=tile, overlap=overlap, batch_size=8)
    written = numpy.asarray(Image.open(tmp_path / "out.png"))
    assert numpy.array_equal(written, numpy.rint(numpy.clip(expected, 0, 1) * 255).astype(numpy.uint8))
