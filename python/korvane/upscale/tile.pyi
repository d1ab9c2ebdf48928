# Types of the native module korvane.upscale.tile.
#
# Every int parameter must be exactly an int at call time (True is refused), `tiles`
# exactly a list and the two shapes exactly tuples.

import cupy as cp

__test__: dict[str, object]

# The padded shape is always three integers (height, width, channels), which the runtime
# annotation spells as a bare `tuple`.
def tile_image(
    input_image: cp.ndarray, tile_size: int = 128, overlap: int = 16
) -> tuple[list[cp.ndarray], tuple[int, int, int]]:
    """Split an (H, W, C) image into overlapping tiles (views) and return them with the padded shape."""

def add_padding(input_image: cp.ndarray, patch_size: int = 128, overlap: int = 16) -> cp.ndarray:
    """Pad an (H, W, C) image at the bottom and right by reflection to the tile grid's size.

    Patches of side ``patch_size`` start every ``patch_size - overlap`` pixels from row and
    column 0; each extent grows to the smallest ``overlap + k * (patch_size - overlap)``
    (k >= 0) that is not less than it, so the last patch ends on the last row and column.
    An extent of that form is kept. Returns a new array from ``cp.pad(..., mode="reflect")``
    with the input's dtype; the input is left alone.

    Raises ZeroDivisionError when ``patch_size == overlap``.
    """

# The shapes are read as (height, width, channels); longer tuples are accepted (the rest
# is ignored), so an image's `shape` can be passed as it is.
def merge_tiles(
    tiles: list[cp.ndarray],
    original_shape: tuple[int, ...],
    padded_shape: tuple[int, ...],
    scale: int,
    tile_size: int = 128,
    overlap: int = 16,
) -> cp.ndarray:
    """Blend upscaled tiles back into one image: the inverse of ``tile_image`` after upscaling.

    ``tiles`` are the tiles of ``tile_image`` in its order, each enlarged ``scale`` times to
    (tile_size * scale, tile_size * scale, C), any dtype ``to_float32`` accepts.
    ``original_shape`` is the shape of the image given to ``tile_image`` and
    ``padded_shape`` the shape it returned; ``tile_size`` and ``overlap`` are the values it
    was given (unscaled). Every tile is weighted with
    ``create_gaussian_weights(tile_size * scale, sigma=tile_size * scale // 4)``; tiles and
    weights are summed on two float32 canvases, which are divided (weights + 1e-8).

    Returns a float32 (H * scale, W * scale, C) view of the normalised canvas. The tiles are
    left alone. Raises IndexError when ``tiles`` has fewer entries than the grid.
    """

def create_gaussian_weights(size: int, sigma: int) -> cp.ndarray:
    """A normalised (size, size, 1) Gaussian blending map, in double precision."""
