import os
from collections.abc import Callable
from types import ModuleType
from typing import Any, Final, Literal, TypeAlias, TypeVar

import cupy
import numpy

_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)
_Provider: TypeAlias = Literal["auto", "cpu", "cuda"]
_ConvAlgoSearch: TypeAlias = Literal["HEURISTIC", "EXHAUSTIVE", "DEFAULT"]

__all__ = ["PROVIDERS", "ModelError", "ModelRunError", "OnnxModel", "import_onnxruntime"]

PROVIDERS: tuple[_Provider, ...]
INSTALL_HINT: Final[str]

class ModelError(ValueError):
    """The file is no ONNX graph, or a graph this adapter cannot feed (arity, rank, layout, type)."""

class ModelRunError(RuntimeError):
    """ONNX Runtime failed while running a batch."""

def import_onnxruntime() -> ModuleType:
    """The ``onnxruntime`` module; ImportError naming ``korvane[onnx]`` where it is missing."""

class OnnxModel:
    """An ONNX graph with one 4-d image input and one 4-d image output, as the ``model`` of ``upscale_tiled``.

    Called with NCHW batches, it returns NCHW results whatever the graph's ``layout`` (an NHWC
    graph's batches and results are transposed, one copy each way). ``input_shape`` and
    ``output_shape`` are as the graph states them, in its layout; ``output_channels`` is the
    output's channel count (None where the graph leaves it open); ``provider_note`` says why
    ``provider="auto"`` runs on the CPU where ONNX Runtime has its CUDA provider. Threads may
    share a model; it pickles as its file and options.
    """

    path: str
    session: Any
    provider: Literal["cpu", "cuda"]
    provider_note: str | None
    xp: ModuleType
    input_name: str
    output_name: str
    input_shape: tuple[int | None, ...]
    output_shape: tuple[int | None, ...]
    layout: Literal["NCHW", "NHWC"]
    batch_size: int | None
    channels: int | None
    output_channels: int | None
    tile_size: tuple[int | None, int | None]
    dtype: numpy.dtype[Any]
    output_dtype: numpy.dtype[Any]
    def __init__(
        self,
        path: str | os.PathLike[str],
        provider: _Provider = "auto",
        *,
        gpu_mem_limit: int | None = None,
        cudnn_conv_algo_search: _ConvAlgoSearch = "HEURISTIC",
        graph: bytes | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Callable[..., OnnxModel], tuple[Any, ...]]: ...
    def __call__(self, batch: _ArrayT) -> _ArrayT:
        """Run an NCHW batch; the result is a new NCHW array of the batch's module.

        ValueError for a batch that is no 4-d array, holds more rows than a fixed batch
        size, or lies on another GPU than the model; ModelRunError where ONNX Runtime fails.
        """
