from collections.abc import Callable
from typing import Any

__all__ = [
    "CPU_BUDGET",
    "DEFAULT_BYTES_PER_PIXEL",
    "FLOOR",
    "LADDER",
    "SHARE",
    "Plan",
    "TileSizeWarning",
    "is_out_of_memory",
    "release_memory",
    "upscale_auto",
]

LADDER: tuple[int, ...]
FLOOR: int
SHARE: float
CPU_BUDGET: int
DEFAULT_BYTES_PER_PIXEL: int

class TileSizeWarning(UserWarning):
    """The sizes ``tile_size="auto"`` ran with (``tile_size``, ``overlap``) and those that ``failed`` first."""

    tile_size: tuple[int, int]
    overlap: tuple[int, int]
    failed: tuple[tuple[int, int], ...]
    def __init__(
        self, message: str, tile_size: tuple[int, int], overlap: tuple[int, int], failed: Any = ()
    ) -> None: ...

class Plan:
    """The tile sizes ``tile_size="auto"`` tries for one picture."""

    extents: tuple[int, int]
    fixed: tuple[int | None, int | None]
    overlap: tuple[int, int]
    padded_batch: int | None
    batch: int
    context: int
    square: bool
    bytes_per_pixel: float
    free: int | None
    canvas_row: int
    result: int
    def __init__(
        self,
        xp: Any,
        shape: tuple[int, ...],
        model: Any,
        overlap: int | tuple[int, int],
        batch_size: int,
        window: Any,
        context: int | None,
        out: Any = None,
        image: Any = None,
    ) -> None: ...
    def overlap_for(self, tile: tuple[int, int]) -> tuple[int, int]: ...
    def cut(self, side: int) -> tuple[int, int]: ...
    def need(self, tile: tuple[int, int]) -> float: ...
    def budget(self) -> float: ...
    def first(self) -> tuple[int, int]: ...
    def halved(self, tile: tuple[int, int]) -> tuple[int, int] | None: ...

def is_out_of_memory(exc: BaseException) -> bool: ...
def release_memory() -> None: ...
def upscale_auto(
    image: Any,
    model: Callable[[Any], Any],
    *,
    tile_size: str = "auto",
    overlap: int | tuple[int, int] = 16,
    batch_size: int = 8,
    window: Any = "hann",
    out: Any = None,
    context: int | None = None,
    progress: bool = False,
    notes: Callable[[TileSizeWarning], object] | None = None,
    sizing: Any = None,
    **options: Any,
) -> Any:
    """``upscale_tiled`` with ``tile_size="auto"``."""
