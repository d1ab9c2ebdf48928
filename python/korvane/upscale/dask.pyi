from collections.abc import Callable
from typing import Any, Literal, TypeAlias

import cupy
import numpy

_Size: TypeAlias = int | tuple[int, int]
_Window: TypeAlias = Literal["hann", "gaussian", "box", "merge_tiles"]
_Edges: TypeAlias = Literal["inside", "reflect"]

__all__ = ["upscale_tiled"]

# The picture is a dask array (or what dask.array.asarray takes) and so is the result;
# dask's array type is left as Any so that the stubs do not need dask installed.
def upscale_tiled(
    array: Any,
    model: Callable[[Any], Any],
    *,
    tile_size: _Size = 128,
    overlap: _Size = 16,
    batch_size: int = 8,
    window: _Window | numpy.ndarray[Any, Any] | cupy.ndarray = "hann",
    context: int | None = None,
    edges: _Edges | None = None,
    scale: int | None = None,
    channels: int | None = None,
    chunk_tiles: _Size | None = None,
) -> Any:
    """Upscale an (H, W, C) dask array tile by tile; a lazy (H*s, W*s, C') float32 dask array."""
