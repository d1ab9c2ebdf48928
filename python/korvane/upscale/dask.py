"""Tiled upscaling of a dask array: a lazy result whose blocks are blocks of tiles of one grid.

:func:`upscale_tiled` takes what :func:`korvane.upscale.upscale_tiled` takes, for a picture
held as a dask array, and returns a lazy dask array of the result. The tile grid is the
one the single call uses over the whole picture. The result's chunks are bands and
columns of whole tiles of it: the chunk boundaries lie ``chunk_tiles`` tile steps apart,
on tile corners but past the corner of an axis's last tile (which ``edges="inside"``
moves back inside the picture: the chunks stay regular for ``to_zarr``, and a boundary
past that corner has one more tile across it). The task of a chunk reads the part of
the picture its tiles need, runs every tile that touches the chunk (those over its
edges too) in the grid's order, and keeps the chunk: each pixel is the sum of the
same weighted tiles in the same order, with the same global normalisation, so the result
equals the single call on the whole picture bit for bit, whatever the picture's chunks.
Tiles over a chunk's edge run in every task they touch: with tiles of 128, an overlap
of 16 and 8 x 8 tiles a chunk, about a quarter of the runs are repeats.

The model
---------
It runs once up front on the first tile (a batch of one), on the caller's machine, to
learn the scale and the channels the result needs for its shape; ``scale=`` and
``channels=`` together skip that run. In the tasks it gets batches of the chunk's tiles,
so it must give every tile the same values whatever the batch around it (for a network
on a GPU, fix the convolution algorithms).

It travels to the workers pickled (with cloudpickle, so a plain function or a lambda
travels as it is) once per graph, and each worker process unpickles it once: loaded
models are cached per process by their pickle bytes, so a model that pickles as its file
and options (korvane's ONNX model) is loaded once per process and reused by later graphs.
A model that does not pickle runs on the threaded and synchronous schedulers only.

GPUs
----
With dask-cuda, ``LocalCUDACluster()`` starts one worker per GPU, each pinned to its GPU
(``CUDA_VISIBLE_DEVICES``), so each worker's model loads onto its worker's device. Give
the picture as a dask array of CuPy blocks (``array.map_blocks(cupy.asarray)``) and each
task works on its worker's GPU; use one thread per worker (``threads_per_worker=1``) so
that one model runs per GPU at a time, and chunks large enough (``chunk_tiles``) to fill
the model's batches. Host pictures read from zarr stay on the host in this road: their
blocks arrive as NumPy arrays and the model gets NumPy batches.
"""

import itertools
import pickle
import threading

import numpy

from korvane._arrays import module_of
from korvane._checks import ModelOutput, check_int, check_model, describe
from korvane.upscale import engine

__all__ = ["upscale_tiled"]


def upscale_tiled(
    array,
    model,
    *,
    tile_size=128,
    overlap=16,
    batch_size=8,
    window="hann",
    context=None,
    edges=None,
    scale=None,
    channels=None,
    chunk_tiles=None,
):
    """Upscale the (H, W, C) dask array ``array`` tile by tile with ``model``; a lazy (H*s, W*s, C') result.

    Parameters
    ----------
    array : dask array, or anything ``dask.array.asarray`` takes
        The picture, any real dtype, its blocks NumPy or CuPy arrays (the module of its
        ``_meta``), chunked in any way.
    model, tile_size, overlap, batch_size, window, context, edges
        As for :func:`korvane.upscale.upscale_tiled`.
    scale, channels : int or None
        The model's scale s and output channels C'. Unless both are given (and there is no
        context, whose handling the first output shows), the model runs
        once now on the first tile to learn them.
    chunk_tiles : int or (rows, columns) pair of ints, optional
        The result's chunks in tile steps (tile_size - overlap, times s). By default the
        step count nearest the picture's first chunk along each axis.

    Returns
    -------
    dask array
        float32, of the picture's module, chunks ``chunk_tiles`` tile steps (the last
        ones smaller); ``result.compute()`` equals
        ``korvane.upscale.upscale_tiled`` of the whole picture bit for bit, and
        ``result.to_zarr(...)`` writes it chunk by chunk.

    Raises
    ------
    TypeError, ValueError
        As the single call, before the graph is made; ``scale`` or ``channels`` that do not
        match what the model returns are refused in the task that sees it.
    ImportError
        Without dask.
    """
    try:
        import cloudpickle
        import dask
        import dask.array as da
    except ImportError as exc:
        raise ImportError(f"korvane.upscale.dask needs dask: pip install 'dask[array]' ({exc})") from exc
    array = da.asarray(array)
    xp = _check_array(array)
    check_model(model)
    tile_size, overlap, batch_size, window, window_scale = engine._check_options(
        xp, tile_size, overlap, batch_size, window
    )
    context = engine.check_context(model, context)
    edges = engine.check_edges(edges, window)
    height, width = array.shape[:2]
    grid = engine.TileGrid(height, width, tile_size, overlap, context, edges=edges)
    engine._window_sums(xp, grid, window, window_scale)  # refuses a window that leaves pixels unweighted
    chunk_tiles = _chunk_tiles(chunk_tiles, array.chunks, grid)
    margin = 0
    if scale is None or channels is None or context:  # with a context, batch 0 also says whether it is kept
        scale, channels, margin = _probe(xp, array, model, grid, window, window_scale)
    else:
        scale, channels = check_int("scale", scale, 1), check_int("channels", channels, 1)
        if window_scale is not None:
            engine._check_window_scale(grid, window, window_scale, scale, "scale= gives")
        engine._check_merge_tiles_size(grid, window, scale, "scale=")
    try:
        shipped = cloudpickle.dumps(model)
    except Exception:  # it does not pickle: threads only, where the model is shared as it is
        shipped = model
    model_key = dask.delayed(shipped, pure=True)
    window_key = window if isinstance(window, str) else dask.delayed(window, pure=True)
    options = (tile_size, overlap, batch_size, scale, channels, context, margin, edges)
    row_edges = _edges(grid.rows, scale, chunk_tiles[0])
    col_edges = _edges(grid.cols, scale, chunk_tiles[1])
    meta = xp.empty((0, 0, 0), dtype=xp.float32)
    blocks = []
    for y0, y1 in itertools.pairwise(row_edges):
        rows = grid.rows.touching(y0, y1, scale)
        ys = grid.rows.sources(rows)
        line = []
        for x0, x1 in itertools.pairwise(col_edges):
            cols = grid.cols.touching(x0, x1, scale)
            xs = grid.cols.sources(cols)
            box = (int(ys.min()), int(ys.max()) + 1, int(xs.min()), int(xs.max()) + 1)
            part = array[box[0] : box[1], box[2] : box[3]]
            task = dask.delayed(_chunk, pure=True)(
                model_key, part, window_key, options, (height, width), rows, cols, (y0, y1, x0, x1), box[::2]
            )
            block = da.from_delayed(task, shape=(y1 - y0, x1 - x0, channels), dtype=numpy.float32, meta=meta)
            line.append([block])  # nested three deep: rows, columns, channels
        blocks.append(line)
    return da.block(blocks)


def _check_array(array):
    """The array module of the dask array's blocks; refuse what the single call refuses."""
    xp = module_of(getattr(array, "_meta", None))
    if xp is None:
        raise TypeError(f"array: expected blocks of NumPy or CuPy arrays, got {describe(array._meta)}")
    shape = tuple(array.shape)
    if len(shape) != 3:
        raise ValueError(f"array: expected an (H, W, C) array, got shape {shape}")
    if array.dtype.kind not in "biuf":
        raise TypeError(f"array: expected a real dtype (bool, integer or floating point), got {array.dtype}")
    if 0 in shape or any(map(numpy.isnan, shape)):
        raise ValueError(f"array: expected a non-empty picture of known shape, got shape {shape}")
    return xp


def _chunk_tiles(chunk_tiles, chunks, grid):
    if chunk_tiles is None:
        return tuple(max(1, round(c[0] / a.step)) for c, a in zip(chunks, (grid.rows, grid.cols)))
    return tuple(check_int("chunk_tiles", n, 1) for n in engine._pair("chunk_tiles", chunk_tiles))


def _edges(axis, scale, tiles):
    """The chunk edges along ``axis`` of the result: every ``tiles`` tile steps, and its end.

    Regular, whatever ``edges``: ``to_zarr`` writes chunks that are all alike but for a
    smaller last one as they are, and rechunks anything else.
    """
    extent, every = axis.extent * scale, tiles * axis.step * scale
    return list(range(0, extent, every)) + [extent]


def _probe(xp, array, model, grid, window, window_scale):
    """The model's scale and channels, from one run on the first tile."""
    rows, cols = range(1), range(1)
    ys, xs = grid.rows.sources(rows), grid.cols.sources(cols)
    part = array[: int(ys.max()) + 1, : int(xs.max()) + 1].compute()
    source = engine._Source(xp, part, grid, rows, cols, 1)
    expected = ModelOutput(xp, grid.tile_size, "tiles", grid.rows.context)
    expected.check(model(source(0, 1)), 0, 0, 1)
    if window_scale is not None:
        engine._check_window_scale(grid, window, window_scale, expected.scale, "the model output for tile 0 has")
    engine._check_merge_tiles_size(grid, window, expected.scale, "the model output of tile 0")
    return expected.scale, expected.channels, expected.margin


def _chunk(model, part, window, options, shape, rows, cols, crop, offset):
    """One chunk of the result: the tiles ``rows`` x ``cols`` of the picture part ``part`` at ``offset``."""
    tile_size, overlap, batch_size, scale, channels, context, margin, edges = options
    model = _loaded(model)
    xp = module_of(part)
    window, window_scale = engine._check_window(xp, window, tile_size, overlap)
    grid = engine.TileGrid(shape[0], shape[1], tile_size, overlap, context, edges=edges)
    sums = engine._window_sums(xp, grid, window, window_scale, crop)
    source = engine._Source(xp, part, grid, rows, cols, batch_size, offset)
    expected = ModelOutput(xp, tile_size, "tiles", context)
    expected.scale, expected.channels, expected.margin = scale, channels, margin
    result = xp.empty((crop[1] - crop[0], crop[3] - crop[2], channels), dtype=xp.float32)

    def write(band_rows, band):
        for c in range(channels):
            result[band_rows, :, c] = band[c]

    engine._run(
        source, model, grid, expected, window, window_scale, sums, batch_size, rows, cols, crop, lambda s, c: write
    )
    return result


# ---- the model in the worker processes ---------------------------------------------------------


_models = {}
_models_lock = threading.Lock()
_MODELS_KEPT = 4  # loaded models per process; the oldest goes first


def _loaded(shipped):
    """The model from its pickle bytes, unpickled once per process (and thread-safely)."""
    if not isinstance(shipped, bytes):
        return shipped
    with _models_lock:
        model = _models.get(shipped)
        if model is None:
            model = pickle.loads(shipped)
            if len(_models) >= _MODELS_KEPT:
                del _models[next(iter(_models))]
            _models[shipped] = model
        return model
