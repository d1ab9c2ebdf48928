from collections.abc import Callable

import cupy as cp

from korvane.utils.dimention import _Mean

def pixelshift_infer(
    image: cp.ndarray,
    model: Callable[[cp.ndarray], cp.ndarray],
    dim: int = 4,
    batch_size: int = 16,
    scalefactor: float | None = None,
    mean: _Mean | None = None,
    swap_rb: bool = True,
    progress: bool = False,
) -> cp.ndarray:
    """Split into dim² sub-images, run ``model`` chunk by chunk, fuse: a (C', H*s, W*s) float32 array."""
