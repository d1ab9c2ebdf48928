import os
from functools import cached_property
from typing import Any, Final

__all__ = ["LAYERS", "NcnnError", "NcnnGraph", "convert"]

MAGIC: Final[int]
FLOAT32_TAG: Final[int]
FLOAT16_TAG: Final[int]
BFLOAT16_TAG: Final[int]
OPSET: Final[int]
INSTALL_HINT: Final[str]
LAYERS: tuple[str, ...]

class NcnnError(ValueError):
    """A ``.param``/``.bin`` pair that is malformed, or uses a layer or option korvane does not convert."""

class NcnnGraph:
    """An ncnn model converted to an ONNX graph: ``onnx`` (a ModelProto), ``onnx_bytes``, ``scale``, ``context``.

    ``context`` is the model's margin in input pixels: a model of valid convolutions returns
    ``scale·(n − 2·context)`` pixels for ``n``; a padded one has context 0.
    """

    onnx: Any
    scale: int | None
    context: int
    channels: int
    name: str
    param_path: str
    bin_path: str
    def __init__(
        self, model: Any, scale: int | None, context: int, channels: int, name: str, param_path: str, bin_path: str
    ) -> None: ...
    @cached_property
    def onnx_bytes(self) -> bytes: ...

def read_geometry(param_path: str | os.PathLike[str]) -> tuple[int | None, int]:
    """The (scale, context) of the model in ``param_path``, from its ``.param`` file alone."""

def convert(param_path: str | os.PathLike[str], bin_path: str | os.PathLike[str] | None = None) -> NcnnGraph:
    """Read an ncnn model (its text ``.param`` and its ``.bin``) and build its ONNX graph in memory."""
