from collections.abc import Callable
from types import ModuleType
from typing import Any, Final, Literal, TypeAlias, TypeVar

import cupy
import numpy

_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)
# torch's types, left open so that the stubs check without torch installed.
_Module: TypeAlias = Any
_Device: TypeAlias = Any
_DType: TypeAlias = Any
_DTypeName: TypeAlias = Literal["float32", "float16", "bfloat16"]

__all__ = ["DTYPES", "TorchModel", "import_torch"]

DTYPES: tuple[_DTypeName, ...]
INSTALL_HINT: Final[str]

def import_torch() -> ModuleType:
    """The ``torch`` module; ImportError saying what to install where it is missing."""

def check_descriptor(descriptor: Any, where: str) -> None:
    """Refuse (ModelError) a spandrel model that does not map an image to an image."""

class TorchModel:
    """A PyTorch image model (a ``torch.nn.Module`` or a spandrel ``ImageModelDescriptor``) on NCHW batches.

    Called with batches of NumPy, CuPy or a CPU stand-in for CuPy, it returns float32 results of
    the batch's module: NumPy through ``torch.from_numpy``, CuPy through DLPack on CuPy's current
    stream, a stand-in with one copy each way. ``scale``, ``channels`` and ``output_channels``
    come from spandrel's descriptor (None for a plain module). Threads may share a model; one
    made by ``load_model`` pickles as its file and options, one made from a plain module as the
    module, one made here from a spandrel descriptor not at all.
    """

    scale: int | None
    channels: int | None
    output_channels: int | None
    tile_size: None
    batch_size: None
    device: _Device
    dtype: _DType
    xp: ModuleType
    path: str | None
    def __init__(
        self,
        module: _Module,
        *,
        device: _Device | str | None = None,
        dtype: _DType | _DTypeName | None = None,
        channels_last: bool = False,
    ) -> None: ...
    def __reduce__(self) -> tuple[Callable[..., TorchModel], tuple[Any, ...]]: ...
    def __call__(self, batch: _ArrayT) -> _ArrayT:
        """Run an NCHW batch; the result is a float32 NCHW array of the batch's module.

        ValueError for a batch that is no 4-d array, has another channel count than the
        model takes, or lies on another GPU than the model; ModelRunError where the module fails.
        """
