from collections.abc import Callable, Iterator
from typing import Any, Literal, TypeAlias, TypeVar

import cupy
import numpy

_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)

# An int n means (n, n); a pair is (height, width).
_Size: TypeAlias = int | tuple[int, int]
_Window: TypeAlias = Literal["hann", "gaussian", "box", "merge_tiles"]

__all__ = ["WINDOWS", "Tile", "TileAxis", "TileGrid", "upscale_tiled"]

WINDOWS: tuple[_Window, ...]

class TileAxis:
    """The tiles along one axis: corners ``step`` apart, the picture padded to ``padded``."""

    extent: int
    tile: int
    overlap: int
    def __init__(self, extent: int, tile: int, overlap: int) -> None: ...
    @property
    def step(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def padded(self) -> int: ...
    @property
    def starts(self) -> range: ...
    def inside(self, start: int) -> bool: ...
    def reflection(self) -> list[int]:
        """The source index of every padded position, as NumPy's ``pad(mode="reflect")``."""
    def visible(self, start: int, scale: int) -> int: ...

class Tile:
    """One grid position: its number in row-major order, its grid row and column, its corner."""

    number: int
    row: int
    col: int
    y: int
    x: int
    def __init__(self, number: int, row: int, col: int, y: int, x: int) -> None: ...

class TileGrid:
    """``tile_image``'s grid over an (height, width) picture, with per-axis sizes."""

    rows: TileAxis
    cols: TileAxis
    def __init__(self, height: int, width: int, tile_size: tuple[int, int], overlap: tuple[int, int]) -> None: ...
    @property
    def tile_size(self) -> tuple[int, int]: ...
    @property
    def padded_shape(self) -> tuple[int, int]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Tile]: ...
    def batches(self, batch_size: int) -> Iterator[list[Tile]]: ...
    def region(self, tile: Tile, scale: int) -> tuple[int, int, int, int]: ...

def upscale_tiled(
    image: _ArrayT,
    model: Callable[[_ArrayT], _ArrayT],
    *,
    tile_size: _Size = 128,
    overlap: _Size = 16,
    batch_size: int = 8,
    window: _Window | numpy.ndarray[Any, Any] | cupy.ndarray = "hann",
    progress: bool = False,
) -> _ArrayT:
    """Upscale an (H, W, C) picture tile by tile with ``model``; a new (H*s, W*s, C') float32 array."""
