"""Both roads of korvane with type annotations; ``make test`` checks this file with ``mypy --strict``.

Run it as well: ``python examples/typed_usage.py`` (real CuPy when a GPU is usable,
else the NumPy stand-in).
"""

import numpy

import korvane.testing

korvane.testing.use_numpy()  # must come before anything imports cupy

import cupy as cp  # noqa: E402

from korvane.cli import main as command_line  # noqa: E402
from korvane.upscale import tile, upscale_tiled  # noqa: E402
from korvane.upscale.onnx_model import OnnxModel  # noqa: E402
from korvane.utils import dimention as dm  # noqa: E402
from korvane.utils import pixelshift_infer  # noqa: E402
from korvane.utils.dimention import Layout  # noqa: E402

MEAN = (0.485, 0.456, 0.406)


def upscale_by_tiles(image: cp.ndarray, scale: int, tile_size: int = 64, overlap: int = 8) -> cp.ndarray:
    """Tile, enlarge every tile (nearest neighbour stands in for a network), merge."""
    tiles, padded_shape = tile.tile_image(image, tile_size, overlap)
    enlarged = [t.repeat(scale, axis=0).repeat(scale, axis=1) for t in tiles]
    return tile.merge_tiles(enlarged, image.shape, padded_shape, scale, tile_size, overlap)


def pixel_shift(image: cp.ndarray, dim: int = 4, chunk: int = 4) -> cp.ndarray:
    """Split into dim² sub-images, fuse them back chunk by chunk (identity network), average."""
    subs = dm.image_to_batch_pixelshift(image.copy(), dim)
    channels, height, width = subs.shape[1], image.shape[0], image.shape[1]
    acc = cp.zeros((channels, height, width), dtype=cp.float32)
    hits = cp.zeros((1, height, width), dtype=cp.float32)
    for start in range(0, dim * dim, chunk):
        dm.pixelshift_fuse(subs[start : start + chunk], acc, hits, start, dim)
    return acc / hits


def enlarge(batch: cp.ndarray) -> cp.ndarray:
    """A stand-in network for both engines: nearest-neighbour x2 on an NCHW batch."""
    return batch.repeat(2, axis=2).repeat(2, axis=3)


def engines(image: cp.ndarray) -> tuple[cp.ndarray, cp.ndarray]:
    """upscale_tiled with rectangular tiles and the exact merge_tiles mode; pixelshift_infer."""
    tiled = upscale_tiled(image, enlarge, tile_size=(64, 48), overlap=(8, 6), batch_size=4)
    exact = upscale_tiled(image, enlarge, tile_size=64, overlap=8, window="merge_tiles")
    del exact
    return tiled, pixelshift_infer(image, enlarge, dim=2, batch_size=2)


def with_onnx(image: cp.ndarray, path: str) -> cp.ndarray:
    """An ONNX graph as the engine's model, with the tile and batch sizes the graph fixes (else the defaults)."""
    model = OnnxModel(path, provider="auto")
    height, width = model.tile_size
    return upscale_tiled(image, model, tile_size=(height or 128, width or 128), batch_size=model.batch_size or 8)


def round_trip(image: cp.ndarray) -> float:
    """image_to_batch then batch_to_images with the same mean and scale: the largest difference."""
    batch = dm.image_to_batch(image.copy(), scalefactor=2.0, mean=MEAN)
    restored: list[cp.ndarray] = dm.batch_to_images(batch, scalefactor=2.0, mean=MEAN)
    return float(abs(restored[0] - image).max())


def _refused_by_the_checker(image: cp.ndarray) -> None:
    # Never called. Each line is a mistake the stubs must report: under --strict an
    # ignore comment that silences nothing is an error, so a stub that let one of
    # these through would fail the check.
    tile.tile_image(image, 64.0)  # type: ignore[arg-type]
    tile.merge_tiles((image,), image.shape, image.shape, 2)  # type: ignore[arg-type]
    dm.image_to_batch(image, layout="CWH")  # type: ignore[arg-type]
    dm.image_to_batch(image, mean="0.5")  # type: ignore[arg-type]
    dm.pixelshift_fuse(image, image, image, 0)  # type: ignore[call-arg]
    count: int = dm.guess_image_layout(image)  # type: ignore[assignment]
    upscale_tiled(image, enlarge, window="tukey")  # type: ignore[arg-type]
    upscale_tiled(image, enlarge, 64)  # type: ignore[call-arg]
    pixelshift_infer(image, enlarge, dim=2.0)  # type: ignore[arg-type]
    OnnxModel("x4.onnx", provider="tensorrt")  # type: ignore[arg-type]
    code: str = command_line(["upscale", "in.png", "out.png", "--onnx", "x4.onnx"])  # type: ignore[assignment]
    del count, code


def main() -> None:
    host = numpy.random.default_rng(0).random((96, 128, 3), dtype=numpy.float32)
    image = cp.asarray(host)  # HWC, BGR
    layout: Layout = dm.guess_image_layout(image)
    upscaled = upscale_by_tiles(image, scale=2)
    fused = pixel_shift(image)
    tiled, shifted = engines(image)
    print(
        f"layout {layout}; tiles -> {upscaled.shape}; pixel-shift -> {fused.shape}; "
        f"upscale_tiled -> {tiled.shape}; pixelshift_infer -> {shifted.shape}; "
        f"round trip largest difference {round_trip(image):.2g}"
    )


if __name__ == "__main__":
    main()
