# Types of the native module korvane.upscale.tile.
#
# Every int parameter must be exactly an int at call time (True is refused), `tiles`
# exactly a list and the two shapes exactly tuples.

import cupy as cp

__test__: dict[str, object]

def tile_image(
    input_image: cp.ndarray, tile_size: int = 128, overlap: int = 16
) -> tuple[list[cp.ndarray], tuple[int, int, int]]:
    """Split an (H, W, C) image into overlapping tiles (views) and return them with the padded shape."""

def add_padding(input_image: cp.ndarray, patch_size: int = 128, overlap: int = 16) -> cp.ndarray: ...

# The shapes are read as (height, width, channels); longer tuples are accepted (the rest
# is ignored), so an image's `shape` can be passed as it is.
def merge_tiles(
    tiles: list[cp.ndarray],
    original_shape: tuple[int, ...],
    padded_shape: tuple[int, ...],
    scale: int,
    tile_size: int = 128,
    overlap: int = 16,
) -> cp.ndarray: ...
def create_gaussian_weights(size: int, sigma: int) -> cp.ndarray:
    """A normalised (size, size, 1) Gaussian blending map, in double precision."""
