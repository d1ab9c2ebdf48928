"""Padding, tiling, the Gaussian weight map and merging of korvane.upscale.tile."""

import math

import numpy as np
import pytest

import korvane.utils.dtypes
from korvane.upscale import tile

from leakcheck import assert_no_leak


class RecordingCupy:
    """Stands in for the module's `cp`: records each attribute read, in order."""

    def __init__(self, real, **overrides):
        self.real, self.overrides, self.reads = real, overrides, []

    def __getattr__(self, name):
        self.reads.append(name)
        return self.overrides.get(name) or getattr(self.real, name)


def image(xp, h, w, c=3, seed=0):
    return xp.array(np.random.default_rng(seed).integers(0, 256, (h, w, c), dtype=np.uint8))


def weight_sums(shape, size, step):
    # Σw per pixel from the closed form of the map, accumulated independently of the module.
    t = np.linspace(-1, 1, size)
    g = np.exp(-(t[None, :] ** 2 + t[:, None] ** 2) / (2.0 * (size // 4) ** 2))
    g /= g.sum()
    sums = np.zeros(shape[:2])
    for y in range(0, shape[0] - size + 1, step):
        for x in range(0, shape[1] - size + 1, step):
            sums[y : y + size, x : x + size] += g
    return sums[..., None]


@pytest.mark.parametrize(
    "extent, patch_size, overlap, amount",
    [
        (300, 128, 16, 52),
        (500, 128, 16, 76),
        (128, 128, 16, 0),
        (16, 128, 16, 0),
        (100, 128, 16, 28),
        (10, 128, 16, 6),
        (64, 64, 0, 0),
        (65, 64, 0, 63),
        (30, 8, -2, 8),
    ],
)
def test_pad_amounts(monkeypatch, xp, extent, patch_size, overlap, amount):
    monkeypatch.setattr(tile, "cp", RecordingCupy(xp))
    padded = tile.add_padding(image(xp, extent, extent), patch_size, overlap)
    assert padded.shape == (extent + amount, extent + amount, 3)
    assert tile.cp.reads == ["pad"]


def test_padding_reflects_without_repeating_the_edge(xp):
    src = image(xp, 300, 500, seed=1)
    before = xp.asnumpy(src)
    out = xp.asnumpy(tile.add_padding(src))
    assert out.shape == (352, 576, 3) and out.dtype == np.uint8
    np.testing.assert_array_equal(out[:300, :500], before)
    np.testing.assert_array_equal(out[300:302, :500], before[[298, 297]])
    np.testing.assert_array_equal(out[:300, 500:502], before[:, [498, 497]])
    np.testing.assert_array_equal(xp.asnumpy(src), before)


def test_negative_pad_amounts_go_to_cupy_unchanged(monkeypatch, xp):
    seen = []
    monkeypatch.setattr(tile, "cp", RecordingCupy(xp, pad=lambda *a, **k: seen.append((a[1:], k)) or a[0]))
    tile.add_padding(image(xp, 30, 31), 16, 20)  # step -4: (30 - 20) % -4 == -2
    assert seen == [((((0, -2), (0, -3), (0, 0)),), {"mode": "reflect"})]


@pytest.mark.parametrize(
    "h, w, tile_size, overlap, padded, corners",
    [
        (300, 500, 128, 16, (352, 576, 3), [(y, x) for y in (0, 112, 224) for x in (0, 112, 224, 336, 448)]),
        (128, 128, 128, 16, (128, 128, 3), [(0, 0)]),
        (100, 100, 128, 16, (128, 128, 3), [(0, 0)]),
        (10, 500, 128, 16, (16, 576, 3), []),
        (20, 20, 8, 0, (24, 24, 3), [(y, x) for y in (0, 8, 16) for x in (0, 8, 16)]),
        (30, 8, 8, -2, (38, 8, 3), [(0, 0), (10, 0), (20, 0), (30, 0)]),
    ],
)
def test_tile_grid(xp, h, w, tile_size, overlap, padded, corners):
    src = image(xp, h, w, seed=2)
    tiles, shape = tile.tile_image(src, tile_size, overlap)
    assert shape == padded and type(tiles) is list
    full = xp.asnumpy(tile.add_padding(src, tile_size, overlap))
    assert len(tiles) == len(corners)
    for t, (y, x) in zip(tiles, corners):
        np.testing.assert_array_equal(xp.asnumpy(t), full[y : y + tile_size, x : x + tile_size])


def test_tiles_are_views_of_one_padded_image(xp):
    tiles, _ = tile.tile_image(xp.zeros((300, 500, 3), dtype=xp.float32))
    tiles[0][0, 120] = 7.0  # column 120 lies in tiles 0 and 1 (corner 112)
    assert float(tiles[1][0, 8, 0]) == 7.0


@pytest.mark.parametrize(
    "shape, message",
    [
        ((12, 12, 1), None),
        ((12, 12), "need more than 2 values to unpack"),
        ((12, 12, 1, 1), "too many values to unpack (expected 3)"),
    ],
)
def test_tile_image_calls_add_padding_at_call_time(monkeypatch, xp, shape, message):
    seen, src = [], xp.zeros((3, 3, 1))
    monkeypatch.setattr(tile, "add_padding", lambda *a, **k: seen.append((a, k)) or xp.zeros(shape))
    if message is None:
        tiles, padded = tile.tile_image(src, 8, 2)
        assert padded == (12, 12, 1) and len(tiles) == 1
    else:
        with pytest.raises(ValueError) as info:
            tile.tile_image(src, 8, 2)
        assert str(info.value) == message
    assert seen == [((src,), {"patch_size": 8, "overlap": 2})]


@pytest.mark.parametrize("size, sigma", [(4, 1), (5, 1), (5, 2), (5, 4), (5, 128), (16, -3), (1, 1)])
def test_gaussian_weights(xp, size, sigma):
    w = tile.create_gaussian_weights(size, sigma)
    assert w.shape == (size, size, 1) and w.dtype == np.float64
    m = xp.asnumpy(w)[..., 0]
    assert np.all(m > 0) and math.isclose(m.sum(), 1.0)
    np.testing.assert_array_equal(m, m.T)
    np.testing.assert_allclose(m, m[::-1], rtol=1e-12)
    np.testing.assert_allclose(m, m[:, ::-1], rtol=1e-12)
    np.testing.assert_array_equal(m, xp.asnumpy(tile.create_gaussian_weights(size, -sigma))[..., 0])
    if size % 2 and size > 1:
        assert m.argmax() == m.size // 2
        assert math.isclose(m[0, 0] / m[size // 2, size // 2], math.exp(-1 / sigma**2), rel_tol=1e-12)
    if size == 4:
        assert np.allclose(m[1:3, 1:3], m.max()) and np.allclose(m[[0, 0, 3, 3], [0, 3, 0, 3]], m.min())


def test_gaussian_weights_edges(monkeypatch, xp):
    assert tile.create_gaussian_weights(0, 1).shape == (0, 0, 1)
    with pytest.raises(OverflowError):
        tile.create_gaussian_weights(4, 10**200)
    proxy = RecordingCupy(xp, meshgrid=lambda *a: [*xp.meshgrid(*a), a[0]])
    monkeypatch.setattr(tile, "cp", proxy)
    with pytest.raises(ValueError) as info:
        tile.create_gaussian_weights(4, 1)
    assert str(info.value) == "too many values to unpack (expected 2)"
    assert proxy.reads == ["meshgrid", "linspace", "linspace"]
    proxy.overrides.clear()
    tile.create_gaussian_weights(4, 1)
    assert proxy.reads[3:] == ["meshgrid", "linspace", "linspace", "sqrt", "exp", "sum", "newaxis"]


@pytest.mark.parametrize("scale", [1, 2])
def test_tiling_then_merging_restores_the_image(monkeypatch, xp, scale):
    src = image(xp, 300, 500, seed=3)
    tiles, padded = tile.tile_image(src)
    if scale > 1:
        tiles = [xp.array(np.repeat(np.repeat(xp.asnumpy(t), scale, 0), scale, 1)) for t in tiles]
    converted, weights = [], []
    monkeypatch.setattr(tile, "to_float32", lambda t: converted.append(t) or korvane.utils.dtypes.to_float32(t))
    real = tile.create_gaussian_weights
    monkeypatch.setattr(tile, "create_gaussian_weights", lambda *a, **k: weights.append((a, k)) or real(*a, **k))
    out = tile.merge_tiles(tiles, src.shape, padded, scale)
    assert out.shape == (300 * scale, 500 * scale, 3) and out.dtype == np.float32
    assert len(converted) == 15 and all(a is b for a, b in zip(converted, tiles))
    assert weights == [((128 * scale,), {"sigma": 32 * scale})]
    sums = weight_sums((352 * scale, 576 * scale), 128 * scale, 112 * scale)[: 300 * scale, : 500 * scale]
    big = np.repeat(np.repeat(xp.asnumpy(src).astype(np.float32), scale, 0), scale, 1)
    np.testing.assert_allclose(xp.asnumpy(out), big * (sums / (sums + 1e-08)), rtol=2e-6)


def test_merge_list_lengths_and_channels(monkeypatch, xp):
    tiles, padded = tile.tile_image(image(xp, 20, 20, seed=4), 8, 2)  # 3 x 3 grid
    exact = tile.merge_tiles(tiles, (20, 20, 3), padded, 1, 8, 2)
    longer = tile.merge_tiles(tiles + [xp.zeros((1, 1, 1))] * 2, (20, 20, 7, 0), padded, 1, 8, 2)
    np.testing.assert_array_equal(xp.asnumpy(exact), xp.asnumpy(longer))
    with pytest.raises(IndexError) as info:
        tile.merge_tiles(tiles[:-1], (20, 20, 3), padded, 1, 8, 2)
    assert str(info.value) == "list index out of range"
    monkeypatch.setattr(tile, "to_float32", None)  # must not be called without grid positions
    empty = tile.merge_tiles([], (10, 500, 3), (16, 576, 3), 1)
    assert empty.shape == (10, 500, 3) and empty.dtype == np.float32 and not xp.asnumpy(empty).any()


LEAK_CALLS = {
    "add_padding": lambda xp: tile.add_padding(xp.zeros((5, 7, 1)), 4, 1),
    "add_padding negative": lambda xp: tile.add_padding(xp.zeros((5, 7, 1)), 4, 6),
    "tile_image": lambda xp: tile.tile_image(xp.zeros((9, 9, 2)), 4, 1),
    "tile_image empty": lambda xp: tile.tile_image(xp.zeros((1, 9, 2)), 4, 1),
    "merge_tiles": lambda xp: tile.merge_tiles([xp.ones((8, 8, 1))] * 9, (9, 9, 1), (10, 10, 1), 2, 4, 1),
    "merge_tiles short": lambda xp: tile.merge_tiles([xp.ones((4, 4, 1))] * 8, (9, 9, 1), (10, 10, 1), 1, 4, 1),
    "merge_tiles bad tile": lambda xp: tile.merge_tiles([xp.ones((3, 4, 1))], (9, 9, 1), (10, 10, 1), 1, 4, 1),
    "create_gaussian_weights": lambda xp: tile.create_gaussian_weights(6, 2),
    "create_gaussian_weights overflow": lambda xp: tile.create_gaussian_weights(6, 10**200),
}


@pytest.mark.parametrize("name", LEAK_CALLS)
def test_no_leaks(xp, name):
    assert_no_leak(lambda: LEAK_CALLS[name](xp))
