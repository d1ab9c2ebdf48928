"""The tile engine's array operations (a kernel launch each on CuPy): fixed per call and per batch, one per tile."""

import sys

import pytest

from korvane.testing import count_syncs, make_strict_cupy


def launches(cp, window, dtype, tiles, batch_size):
    """The engine's own launches, the x2 model's taken out, for one row of ``tiles`` tiles (16 pixels, overlap 4)."""
    from korvane.upscale import upscale_tiled

    model_launches = []

    def model(batch):
        with count_syncs() as counts:
            result = batch.repeat(2, axis=2).repeat(2, axis=3)
        model_launches.append(counts.launches)
        return result

    image = cp.ones((16, 12 * tiles + 4, 3), dtype=dtype)
    chosen = cp.ones((32, 32), dtype=cp.float32) if window == "array" else window
    with count_syncs() as counts:
        upscale_tiled(image, model, tile_size=16, overlap=4, batch_size=batch_size, window=chosen)
    return counts.launches - sum(model_launches)


@pytest.mark.parametrize("dtype", ["float32", "uint8"])
@pytest.mark.parametrize("window", ["hann", "gaussian", "box", "array", "merge_tiles"])
def test_launches_are_fixed_per_call_and_batch_and_at_most_one_per_tile(window, dtype, monkeypatch):
    cp = make_strict_cupy()  # the engine looks ``cupy`` up in sys.modules, the native tile module at each use
    monkeypatch.setitem(sys.modules, "cupy", cp)
    monkeypatch.setattr(pytest.importorskip("korvane.upscale.tile"), "cp", cp)
    # One row of tiles, so its one band of rows is part of the per-call count.
    one, two, three = (launches(cp, window, dtype, k * 3, 3) for k in (1, 2, 3))
    per_batch = two - one  # with its 3 tiles
    assert three == one + 2 * per_batch, "launches grow faster than the batches"
    per_tile = three - launches(cp, window, dtype, 8, 3)  # the last batch a tile short
    assert per_tile in (0, 1)
    assert launches(cp, window, dtype, 6, 2) == one + 2 * per_batch - 3 * per_tile
