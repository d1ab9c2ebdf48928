import os
from typing import Any, Final, Literal, TypeAlias

from korvane.upscale.onnx_model import OnnxModel
from korvane.upscale.torch_model import TorchModel

_Device: TypeAlias = Literal["auto", "cpu", "cuda"]

__all__ = ["EXTENSIONS", "load_model"]

EXTENSIONS: tuple[str, ...]
LOAD_HINT: Final[str]

def load_model(
    path: str | os.PathLike[str], *, device: _Device = "auto", dtype: Any | None = None
) -> OnnxModel | TorchModel:
    """Open a model file with the adapter its extension names: ``.onnx`` as an ``OnnxModel``;
    ``.pth``, ``.pt``, ``.ckpt`` and ``.safetensors`` weights through spandrel as a ``TorchModel``.

    Never runs code from the file: pickles are read weights-only and TorchScript is refused.
    ``dtype`` ("float32", "float16", "bfloat16" or the torch dtype) is for PyTorch models only.
    ModelError for a file that does not load, naming why.
    """
