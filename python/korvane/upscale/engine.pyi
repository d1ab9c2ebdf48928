from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal, Protocol, TypeAlias, TypeVar

import cupy
import numpy

_ArrayT = TypeVar("_ArrayT", numpy.ndarray[Any, Any], cupy.ndarray)

class _Assignable(Protocol):
    """An ``out`` that takes slice assignment: a NumPy array or memmap, a device array, a zarr array."""

    @property
    def shape(self) -> tuple[int, ...]: ...
    def __setitem__(self, key: Any, value: Any, /) -> None: ...

# ``out`` as a function: called with a slice of result rows and that band, (rows, W*s, C') float32.
_Writer: TypeAlias = Callable[[slice, Any], object]

# An int n means (n, n); a pair is (height, width).
_Size: TypeAlias = int | tuple[int, int]
_Window: TypeAlias = Literal["hann", "gaussian", "box", "merge_tiles"]
_Edges: TypeAlias = Literal["inside", "reflect"]

__all__ = ["WINDOWS", "Tile", "TileAxis", "TileGrid", "upscale_tiled"]

WINDOWS: tuple[_Window, ...]

class TileAxis:
    """The tiles along one axis: corners ``step`` apart but for the last one, which ``edges`` places."""

    extent: int
    tile: int
    overlap: int
    context: int
    edges: _Edges
    def __init__(
        self, extent: int, tile: int, overlap: int, context: int = 0, *, edges: _Edges = "reflect"
    ) -> None: ...
    @property
    def step(self) -> int: ...
    @property
    def count(self) -> int: ...
    @property
    def shifted(self) -> bool: ...
    @property
    def padded(self) -> int: ...
    def start(self, index: int) -> int: ...
    @property
    def starts(self) -> tuple[int, ...]: ...
    def inside(self, start: int) -> bool: ...
    def reflection(self) -> list[int]:
        """The source index of every padded position, as NumPy's ``pad(mode="reflect")``."""
    def visible(self, start: int, scale: int) -> int: ...
    def sources(self, tiles: Iterable[int]) -> numpy.ndarray[Any, Any]:
        """(len(tiles), tile + 2 * context) NumPy table: the picture index each position of each tile reads."""
    def touching(self, lo: int, hi: int, scale: int) -> range:
        """The tiles whose enlarged extent meets the enlarged positions [lo, hi)."""

class Tile:
    """One grid position: its number in row-major order, its grid row and column, its corner."""

    number: int
    row: int
    col: int
    y: int
    x: int
    def __init__(self, number: int, row: int, col: int, y: int, x: int) -> None: ...

class TileGrid:
    """The tile grid over an (height, width) picture, with per-axis sizes: ``tile_image``'s, or "inside"."""

    rows: TileAxis
    cols: TileAxis
    def __init__(
        self,
        height: int,
        width: int,
        tile_size: tuple[int, int],
        overlap: tuple[int, int],
        context: int = 0,
        *,
        edges: _Edges = "reflect",
    ) -> None: ...
    @property
    def edges(self) -> _Edges: ...
    @property
    def tile_size(self) -> tuple[int, int]: ...
    @property
    def read_size(self) -> tuple[int, int]: ...
    @property
    def padded_shape(self) -> tuple[int, int]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Tile]: ...
    def block(self, rows: range, cols: range) -> Iterator[Tile]: ...
    def batches(
        self, batch_size: int, rows: range | None = None, cols: range | None = None
    ) -> Iterator[list[Tile]]: ...
    def region(self, tile: Tile, scale: int) -> tuple[int, int, int, int]: ...

# One signature, no overloads (so that a wrong argument is reported as that argument's
# error), and the picture's array type decides the model's. The picture may also be an
# array-like read by slicing (a zarr array, say); the stub leaves that
# out, since it would let a model's type decide alone: cast such a picture to the array
# type of its slices. With ``out`` the call returns ``out`` itself, typed here as the
# picture's array type: keep using the ``out`` you passed.
def upscale_tiled(
    image: _ArrayT,
    model: Callable[[_ArrayT], _ArrayT],
    *,
    tile_size: _Size | Literal["auto"] = 128,
    overlap: _Size = 16,
    batch_size: int = 8,
    window: _Window | numpy.ndarray[Any, Any] | cupy.ndarray = "hann",
    out: _Assignable | _Writer | None = None,
    context: int | None = None,
    edges: _Edges | None = None,
    progress: bool = False,
) -> _ArrayT:
    """Upscale an (H, W, C) picture tile by tile with ``model``; a new (H*s, W*s, C') float32 array, or ``out``."""
