import os
from types import ModuleType
from typing import Any, Final, Literal, TypeAlias, TypeVar

import cupy
import numpy

_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)
_Provider: TypeAlias = Literal["auto", "cpu", "cuda"]

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
    """An ONNX graph with one NCHW input and one NCHW output, as the ``model`` of ``upscale_tiled``."""

    path: str
    session: Any
    provider: Literal["cpu", "cuda"]
    xp: ModuleType
    input_name: str
    output_name: str
    input_shape: tuple[int | None, ...]
    output_shape: tuple[int | None, ...]
    batch_size: int | None
    channels: int | None
    tile_size: tuple[int | None, int | None]
    dtype: numpy.dtype[Any]
    output_dtype: numpy.dtype[Any]
    def __init__(self, path: str | os.PathLike[str], provider: _Provider = "auto") -> None: ...
    def __call__(self, batch: _ArrayT) -> _ArrayT:
        """Run an NCHW batch; the result is an array of the batch's module.

        On the CUDA provider the result is a view of a buffer that the next call writes
        into: use it, or copy it, before calling again.
        """
