# Types of the native module korvane.utils.dimention.
#
# The module refuses at call time what a type checker lets through: `scalefactor` must
# be exactly a float (an int such as 2 is refused, though a checker promotes int to
# float), and `dim` and `start_idx` exactly an int (True is refused).

from typing import Literal, TypeAlias

import cupy as cp

from korvane.transform.resize import INTER_AUTO as INTER_AUTO

Layout: TypeAlias = Literal["HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported"]

# A number, a one-element sequence or a three-element sequence: one value per channel,
# in the order of the channels the mean is taken from (RGB once swap_rb swapped them).
_Mean: TypeAlias = float | tuple[float] | tuple[float, float, float] | list[float]
# An integer n means (n, n); a pair is (width, height), as `dsize` of `resize`.
_Size: TypeAlias = int | tuple[int, int]

__test__: dict[str, object]

def guess_image_layout(image: cp.ndarray) -> Layout:
    """Infer the layout of an image array from its ``ndim`` and ``shape``."""

def batch_to_images(
    batch: cp.ndarray,
    scalefactor: float | None = None,
    mean: _Mean | None = None,
    swap_rb: bool = True,
    layout: Layout | None = "NCHW",
) -> list[cp.ndarray]:
    """Convert a batch of images to a list of (H, W, C) images.

    The scale and the mean are undone in place on views of ``batch``.
    """

def images_to_batch(
    images: cp.ndarray | list[cp.ndarray],
    scalefactor: float | None = None,
    size: _Size | None = None,
    mean: _Mean | None = None,
    swap_rb: bool = True,
    layout: Layout | None = "HWC",
) -> cp.ndarray:
    """Convert a list of images to batches: shape (N, 1, C, H, W) for a list of N images."""

def image_to_batch(
    image: cp.ndarray,
    scalefactor: float | None = None,
    size: _Size | None = None,
    mean: _Mean | None = None,
    swap_rb: bool = True,
    layout: Layout | None = "HWC",
) -> cp.ndarray:
    """Convert a single image to a (1, C, H, W) batch: swap, resize, minus mean, times scale."""

def image_to_batch_pixelshift(
    image: cp.ndarray,
    dim: int = 4,
    scalefactor: float | None = None,
    mean: _Mean | None = None,
    swap_rb: bool = True,
) -> cp.ndarray:
    """Split an (H, W, C) image into a (dim², C, H/dim, W/dim) batch, one per sub-pixel offset."""

def pixelshift_fuse(preds: cp.ndarray, acc: cp.ndarray, hits: cp.ndarray, start_idx: int, dim: int) -> None:
    """Enlarge, shift back and add a chunk of results into ``acc``, adding 1 to ``hits``."""
