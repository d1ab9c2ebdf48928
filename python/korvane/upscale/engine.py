"""Tiled upscaling that streams: tiles go to the model in batches and are blended as they return.

:func:`upscale_tiled` is the whole road in one call. It is built from three small parts:

* :class:`TileGrid` is the geometry only (corners, padded extents, the reflection that
  fills the padding, the scaled regions); it holds no arrays.
* an accumulator owns the canvas, the window and the normalisation: ``add(batch, tiles)``
  weights a batch of model outputs and adds it in place, ``result()`` returns the picture.
* the loop in :func:`upscale_tiled` gathers each batch, calls the model, checks what it
  returned and shows progress.

Array work runs on the array module of the input image (CuPy, the NumPy stand-ins for it,
or NumPy), into buffers allocated once per call; nothing in the per-tile loop copies an
array to the host or waits for the device. Per call, the host uploads a few small tables
(window profiles, reflection maps) and, for an array window only, waits once for the
check of its weights; the result stays on the image's device.
"""

import numpy

from korvane._arrays import module_of
from korvane._checks import (
    LARGEST,
    ModelOutput,
    check_image,
    check_int,
    check_model,
    describe,
    host_flags,
    is_int,
    progress_bar,
    type_name,
)

__all__ = ["WINDOWS", "Tile", "TileAxis", "TileGrid", "upscale_tiled"]

WINDOWS = ("hann", "gaussian", "box", "merge_tiles")


# ---- the grid: geometry only ------------------------------------------------------------------


class TileAxis:
    """The tiles along one axis: ``extent`` pixels cut into tiles of ``tile`` pixels, ``overlap`` apart.

    Corners lie at multiples of ``step`` = ``tile`` - ``overlap``; the picture is padded at
    the end to ``padded`` = ``overlap`` + k * ``step`` for the smallest whole k >= 1 that
    covers ``extent``. That is ``tile_image``'s rule, except that a picture no longer than
    the overlap still gets one tile (k = 1) instead of none.
    """

    __slots__ = ("extent", "overlap", "tile")

    def __init__(self, extent, tile, overlap):
        self.extent, self.tile, self.overlap = extent, tile, overlap

    def __repr__(self):
        return f"TileAxis(extent={self.extent}, tile={self.tile}, overlap={self.overlap})"

    @property
    def step(self):
        return self.tile - self.overlap

    @property
    def count(self):
        return max(1, -(-(self.extent - self.overlap) // self.step))

    @property
    def padded(self):
        return self.overlap + self.count * self.step

    @property
    def starts(self):
        return range(0, self.count * self.step, self.step)

    def inside(self, start):
        """True if the tile starting at ``start`` lies wholly inside the picture (no padding)."""
        return start + self.tile <= self.extent

    def reflection(self):
        """The source index of every padded position: NumPy's ``pad(mode="reflect")``.

        Reflection about the last pixel without repeating it, continued periodically
        (period 2 * (extent - 1)) where the padding is longer than the picture; a picture
        one pixel long repeats that pixel.
        """
        if self.extent == 1:
            return [0] * self.padded
        period = 2 * (self.extent - 1)
        return [i % period if i % period < self.extent else period - i % period for i in range(self.padded)]

    def visible(self, start, scale):
        """Rows (or columns) of the tile at ``start``, enlarged by ``scale``, that fall inside the picture."""
        return min(self.tile * scale, (self.extent - start) * scale)


class Tile:
    """One grid position: its number in row-major order, its grid row and column, its corner."""

    __slots__ = ("col", "number", "row", "x", "y")

    def __init__(self, number, row, col, y, x):
        self.number, self.row, self.col, self.y, self.x = number, row, col, y, x

    def __repr__(self):
        return f"Tile(number={self.number}, row={self.row}, col={self.col}, y={self.y}, x={self.x})"


class TileGrid:
    """The tile grid over an (height, width) picture: ``tile_image``'s grid, per-axis sizes allowed."""

    def __init__(self, height, width, tile_size, overlap):
        self.rows = TileAxis(height, tile_size[0], overlap[0])
        self.cols = TileAxis(width, tile_size[1], overlap[1])

    @property
    def tile_size(self):
        return self.rows.tile, self.cols.tile

    @property
    def padded_shape(self):
        return self.rows.padded, self.cols.padded

    def __len__(self):
        return self.rows.count * self.cols.count

    def __iter__(self):
        """Every tile in row-major order: left to right, then top to bottom."""
        index = 0
        for row, y in enumerate(self.rows.starts):
            for col, x in enumerate(self.cols.starts):
                yield Tile(index, row, col, y, x)
                index += 1

    def batches(self, batch_size):
        """The tiles in row-major order, in lists of at most ``batch_size``."""
        batch = []
        for tile in self:
            batch.append(tile)
            if len(batch) == batch_size:
                yield batch
                batch = []
        if batch:
            yield batch

    def region(self, tile, scale):
        """The part of the enlarged tile inside the enlarged picture: (y, x, rows, cols)."""
        return (tile.y * scale, tile.x * scale, self.rows.visible(tile.y, scale), self.cols.visible(tile.x, scale))


# ---- windows ------------------------------------------------------------------------------------


def _profile(name, length):
    """The 1-D window ``name`` over ``length`` pixels, float64, sampled at pixel centres.

    Every sample is positive, so a pixel that only one tile covers (along the picture's
    outer border, where a tapering window is smallest) still divides by a weight that is
    not zero, and comes back exactly.
    """
    centres = numpy.arange(length, dtype=numpy.float64) + 0.5
    if name == "hann":
        return numpy.sin(numpy.pi * centres / length) ** 2
    if name == "gaussian":
        sigma = length / 8.0
        return numpy.exp(-0.5 * ((centres - length / 2.0) / sigma) ** 2)
    return numpy.ones(length)


def _normalised_profiles(profile, axis, scale):
    """Per tile along ``axis``, the 1-D window divided by the sum of all windows covering each pixel.

    On a product grid a separable window's weight sum is the outer product of the two
    axes' sums, so dividing each axis by its own sum normalises the 2-D weights exactly,
    with no weight canvas. Entries past the picture's end are 0 (they are never read).
    """
    length = axis.tile * scale
    extent = axis.extent * scale
    sums = numpy.zeros(extent)
    for start in axis.starts:
        n = axis.visible(start, scale)
        sums[start * scale : start * scale + n] += profile[:n]
    table = numpy.zeros((axis.count, length))
    for k, start in enumerate(axis.starts):
        n = axis.visible(start, scale)
        table[k, :n] = profile[:n] / sums[start * scale : start * scale + n]
    return table


# ---- accumulators ---------------------------------------------------------------------------------


class _Accumulator:
    """The (H*s, W*s, C') float32 canvas and the per-tile buffers shared by every window."""

    def __init__(self, xp, grid, scale, channels):
        self.xp, self.grid, self.scale, self.channels = xp, grid, scale, channels
        th, tw = grid.tile_size
        self.canvas = xp.zeros((grid.rows.extent * scale, grid.cols.extent * scale, channels), dtype=xp.float32)
        # One enlarged tile, weighted and turned to HWC before it is added to the canvas.
        self.weighted = xp.empty((th * scale, tw * scale, channels), dtype=xp.float32)

    def add(self, batch, tiles):
        """Weight every output of ``batch`` (B, C', th*s, tw*s) and add it into the canvas."""
        for b, tile in enumerate(tiles):
            y, x, h, w = self.grid.region(tile, self.scale)
            region = self.canvas[y : y + h, x : x + w]
            region += self._weight(batch[b, :, :h, :w], tile, h, w)

    def _weight(self, output, tile, h, w):
        """``output`` (C', h, w) times the tile's weights, as an (h, w, C') float32 view."""
        weights = self._weights(tile, h, w)
        weighted = self.weighted[:h, :w]
        # Channel by channel: each product is written once, straight into HWC order.
        for c in range(self.channels):
            self.xp.multiply(output[c], weights, out=weighted[:, :, c])
        return weighted

    def result(self):
        return self.canvas


class _SeparableAccumulator(_Accumulator):
    """A separable window on the product grid: weights pre-normalised per axis, no weight canvas."""

    def __init__(self, xp, grid, scale, channels, name):
        super().__init__(xp, grid, scale, channels)
        th, tw = grid.tile_size

        def table(axis, length):
            # Computed on the host and uploaded once per call: (tiles along the axis, tile) floats.
            return xp.asarray(_normalised_profiles(_profile(name, length), axis, scale), dtype=xp.float32)

        self.row_weights = table(grid.rows, th * scale)
        self.col_weights = table(grid.cols, tw * scale)
        self.tile_weights = xp.empty((th * scale, tw * scale), dtype=xp.float32)

    def _weights(self, tile, h, w):
        weights = self.tile_weights[:h, :w]
        self.xp.multiply(self.row_weights[tile.row, :h, None], self.col_weights[tile.col, None, :w], out=weights)
        return weights


class _ArrayWindowAccumulator(_Accumulator):
    """A caller's window: the same weights for every tile, divided at the end by their per-pixel sum."""

    def __init__(self, xp, grid, scale, channels, window, weight_sums):
        super().__init__(xp, grid, scale, channels)
        self.window, self.weight_sums = window, weight_sums

    def _weights(self, tile, h, w):
        return self.window[:h, :w]

    def result(self):
        for c in range(self.channels):
            self.xp.divide(self.canvas[:, :, c], self.weight_sums, out=self.canvas[:, :, c])
        return self.canvas


def _window_sums(xp, grid, scale, window):
    """The (H*s, W*s) float32 sum of ``window`` over every tile that covers each pixel."""
    sums = xp.zeros((grid.rows.extent * scale, grid.cols.extent * scale), dtype=xp.float32)
    for tile in grid:
        y, x, h, w = grid.region(tile, scale)
        region = sums[y : y + h, x : x + w]
        region += window[:h, :w]
    return sums


class _MergeTilesAccumulator(_Accumulator):
    """``merge_tiles``' arithmetic, bit for bit, on a canvas of the cropped size.

    Per pixel and in tile order, ``merge_tiles`` adds the float64 product of the float32
    tile and its Gaussian map into a float32 canvas, and the map into a float32 weight
    canvas, then divides by (weights + 1e-08). Every channel of its weight canvas holds
    the same sums and the padded border is cropped away, so one channel of the cropped
    size gives the same values.
    """

    EPSILON = 1e-08  # merge_tiles' own

    def __init__(self, xp, grid, scale, channels, gaussian):
        super().__init__(xp, grid, scale, channels)
        n = grid.rows.tile * scale
        self.gaussian = gaussian  # (n, n, 1), float64
        self.gaussian_2d = gaussian[:, :, 0]
        self.as_float32 = self.weighted  # the tile after to_float32
        self.product = xp.empty((n, n, channels), dtype=xp.float64)
        self.weight_sums = xp.zeros(self.canvas.shape[:2], dtype=xp.float32)

    def add(self, batch, tiles):
        for b, tile in enumerate(tiles):
            y, x, h, w = self.grid.region(tile, self.scale)
            as_float32 = self.as_float32[:h, :w]
            for c in range(self.channels):
                as_float32[:, :, c] = batch[b, c, :h, :w]
            product = self.product[:h, :w]
            self.xp.multiply(as_float32, self.gaussian[:h, :w], out=product)
            region = self.canvas[y : y + h, x : x + w]
            region += product
            sums = self.weight_sums[y : y + h, x : x + w]
            sums += self.gaussian_2d[:h, :w]

    def result(self):
        self.weight_sums += self.EPSILON
        for c in range(self.channels):
            self.xp.divide(self.canvas[:, :, c], self.weight_sums, out=self.canvas[:, :, c])
        return self.canvas


# ---- gathering tiles ------------------------------------------------------------------------------


class _Gather:
    """Copies the tiles of one batch out of the picture into a reused float32 NCHW buffer.

    Tiles that reach into the padding are read through the reflection maps instead, so the
    padded picture is never made.
    """

    def __init__(self, xp, image, grid, batch_size):
        self.image, self.grid = image, grid
        th, tw = grid.tile_size
        self.buffer = xp.empty((min(batch_size, len(grid)), image.shape[2], th, tw), dtype=xp.float32)
        # Uploaded once per call, and only for an axis that needs padding.
        self.row_map = self._map(xp, grid.rows)
        self.col_map = self._map(xp, grid.cols)

    @staticmethod
    def _map(xp, axis):
        if axis.padded == axis.extent:
            return None
        return xp.asarray(numpy.asarray(axis.reflection(), dtype=numpy.intp))

    def __call__(self, tiles):
        rows, cols = self.grid.rows, self.grid.cols
        for b, tile in enumerate(tiles):
            if rows.inside(tile.y) and cols.inside(tile.x):
                source = self.image[tile.y : tile.y + rows.tile, tile.x : tile.x + cols.tile]
            else:
                source = self._reflected(tile)
            for c in range(self.buffer.shape[1]):
                self.buffer[b, c] = source[:, :, c]
        return self.buffer if len(tiles) == len(self.buffer) else self.buffer[: len(tiles)]

    def _reflected(self, tile):
        rows, cols = self.grid.rows, self.grid.cols
        ys = slice(tile.y, tile.y + rows.tile)
        xs = slice(tile.x, tile.x + cols.tile)
        if not rows.inside(tile.y):
            ys = self.row_map[ys]
        if not cols.inside(tile.x):
            xs = self.col_map[xs]
        if isinstance(ys, slice) or isinstance(xs, slice):
            return self.image[ys, xs]
        return self.image[ys[:, None], xs[None, :]]


# ---- argument checks --------------------------------------------------------------------------------


def _pair(name, value):
    if is_int(value):
        return int(value), int(value)
    if isinstance(value, (tuple, list)) and len(value) == 2 and all(map(is_int, value)):
        return int(value[0]), int(value[1])
    raise TypeError(f"{name}: expected an int or a (height, width) pair of ints, got {describe(value)}")


def _check_sizes(tile_size, overlap):
    tile_size = _pair("tile_size", tile_size)
    overlap = _pair("overlap", overlap)
    if min(tile_size) < 1:
        raise ValueError(f"tile_size: expected positive sizes, got {tile_size}")
    if max(tile_size) > LARGEST:
        raise ValueError(f"tile_size: expected sizes <= {LARGEST}, got {tile_size}")
    if not all(0 <= o < t for o, t in zip(overlap, tile_size)):
        raise ValueError(
            f"overlap: expected 0 <= overlap < tile_size on each axis, got overlap {overlap} with tile_size {tile_size}"
        )
    return tile_size, overlap


def _check_window(xp, window, tile_size, overlap):
    """The window as a name, or as an (th*k, tw*k) float32 array of ``xp`` and its scale k."""
    if isinstance(window, str):
        if window not in WINDOWS:
            raise ValueError(f"window: expected 'hann', 'gaussian', 'box', 'merge_tiles' or an array, got {window!r}")
        if window == "merge_tiles" and (tile_size[0] != tile_size[1] or overlap[0] != overlap[1]):
            raise ValueError(
                "window: 'merge_tiles' needs square tiles and one overlap, got tile_size "
                f"{tile_size} and overlap {overlap}"
            )
        return window, None
    module = module_of(window)
    if module is None:
        raise TypeError(f"window: expected a window name or an array, got {describe(window)}")
    if module is not xp and module is not numpy:
        raise TypeError(
            f"window: expected an array of the image's module ({xp.__name__}) or a NumPy array, got {type_name(window)}"
        )
    th, tw = tile_size
    shape = tuple(window.shape)
    scale = shape[0] // th if len(shape) >= 2 else 0
    if (
        len(shape) not in (2, 3)
        or (len(shape) == 3 and shape[2] != 1)
        or scale < 1
        or shape[:2] != (th * scale, tw * scale)
    ):
        raise ValueError(
            f"window: expected shape (th*s, tw*s) or (th*s, tw*s, 1) for tile_size {tile_size} and a "
            f"whole scale s >= 1, got shape {shape}"
        )
    if window.dtype.kind not in "biuf":
        raise TypeError(f"window: expected a real dtype, got {window.dtype}")
    # A NumPy window for a device image is uploaded here, once per call (documented: it is
    # the caller's choice to keep the window on the host).
    window = xp.asarray(window.reshape(shape[:2]), dtype=xp.float32)
    return window, scale


def _check_window_weights(xp, window, weight_sums):
    """Refuse an array window with weights < 0 or not finite, or that leaves a pixel unweighted."""
    # Both facts are data on the device: they cross to the host together, one sync per
    # call, before the model is first called.
    finite, covering = host_flags(xp, ((window >= 0) & (window < numpy.inf)).all(), (weight_sums > 0).all())
    if not finite:
        raise ValueError("window: expected finite weights >= 0")
    if not covering:
        raise ValueError(
            "window: its weights add up to 0 at some pixels of the result (where only the "
            "edge of one tile covers the picture's border); use a window that is positive "
            "at its edges"
        )


def _merge_tiles_gaussian(xp, size):
    """``merge_tiles``' own map, ``create_gaussian_weights(size, sigma=size // 4)``."""
    from korvane.upscale import tile

    gaussian = tile.create_gaussian_weights(size, sigma=size // 4)
    if xp is numpy:
        # The native module makes device arrays only (the NumPy stand-in's are NumPy subclasses,
        # which it still refuses next to host arrays); a NumPy picture needs the map on the host:
        # one explicit (size, size, 1) copy per call.
        gaussian = tile.cp.asnumpy(gaussian)
    return gaussian


def _import_tile():
    try:
        from korvane.upscale import tile  # noqa: F401
    except ImportError as exc:
        raise ImportError(
            "window='merge_tiles' needs the native module korvane.upscale.tile, which needs CuPy "
            f"(or the NumPy stand-in from korvane.testing.use_numpy()): {exc}"
        ) from exc


# ---- the engine ---------------------------------------------------------------------------------------


def upscale_tiled(image, model, *, tile_size=128, overlap=16, batch_size=8, window="hann", progress=False):
    """Upscale ``image`` tile by tile with ``model``, streaming the tiles through in batches.

    Parameters
    ----------
    image : (H, W, C) array of CuPy (or the NumPy stand-in) or NumPy, any real dtype
        The picture. It is read, never modified.
    model : callable
        Takes a float32 (B, C, th, tw) batch, B <= ``batch_size``, and returns a
        (B, C', th*s, tw*s) array of the same array module for a whole number s >= 1.
        s and C' are taken from the first batch; every later batch must match them.
    tile_size, overlap : int or (height, width) pair of ints
        Tile extents and the overlap of neighbouring tiles, 0 <= overlap < tile_size on
        each axis. The grid is ``tile_image``'s: corners at multiples of tile_size - overlap,
        the picture reflected at its bottom and right up to overlap + k * (tile_size - overlap),
        tiles in row-major order. A picture no larger than the overlap gets one tile.
    batch_size : int
        Tiles per model call, at least 1; the last batch may be smaller.
    window : {"hann", "gaussian", "box", "merge_tiles"} or array
        How overlapping tiles are blended. ``"hann"`` tapers to the tile edges (sin² over
        the tile, sampled at pixel centres), ``"gaussian"`` has a standard deviation of an
        eighth of the tile, ``"box"`` averages. An array of shape (th*s, tw*s) or
        (th*s, tw*s, 1), finite and >= 0, weights every tile alike. For all of these the
        weights are normalised exactly (no epsilon): a model that repeats its input comes
        back within float32 rounding, borders and corners included. ``"merge_tiles"``
        (square tiles, one overlap) gives, bit for bit, what ``merge_tiles`` returns for the
        same tiles passed through ``model`` one at a time.
    progress : bool
        Show a tqdm bar over the tiles on stderr (needs tqdm), drawn only when stderr is a
        terminal.

    Returns
    -------
    (H*s, W*s, C') float32 array
        A new array of the image's array module.

    Notes
    -----
    The model's values are blended as they come: NaN or infinity in an output reach the
    result unchecked (checking would cost a device sync per batch); the command line
    checks the finished result once and refuses to write it.

    Every batch is weighted and added into the result as soon as the model returns it, so
    the call holds the result, one batch in, one batch out and a few tile-sized buffers.
    "hann", "gaussian" and "box" need no weight canvas; an array window and "merge_tiles"
    keep one single-channel (H*s, W*s) float32 canvas of weight sums.

    Raises
    ------
    TypeError, ValueError
        For bad arguments, before the model is first called; the message starts with the
        argument's name. For a bad model output, naming the batch and the expected and
        actual shapes.
    ImportError
        ``progress=True`` without tqdm; ``"merge_tiles"`` without the native module.
    """
    xp = check_image(image)
    check_model(model)
    tile_size, overlap = _check_sizes(tile_size, overlap)
    batch_size = check_int("batch_size", batch_size, 1)
    window, window_scale = _check_window(xp, window, tile_size, overlap)
    if isinstance(window, str) and window == "merge_tiles":
        _import_tile()
    grid = TileGrid(image.shape[0], image.shape[1], tile_size, overlap)
    weight_sums = None
    if window_scale is not None:
        weight_sums = _window_sums(xp, grid, window_scale, window)
        _check_window_weights(xp, window, weight_sums)
    gather = _Gather(xp, image, grid, batch_size)
    expected = ModelOutput(xp, tile_size, "tiles")
    bar = progress_bar(progress, len(grid), "tile")
    accumulator = None
    try:
        for index, tiles in enumerate(grid.batches(batch_size)):
            output = model(gather(tiles))
            expected.check(output, index, tiles[0].number, len(tiles))
            if accumulator is None:
                accumulator = _accumulator(xp, grid, expected, window, window_scale, weight_sums, index)
            accumulator.add(output, tiles)
            del output  # before the next model call: one output batch at a time
            if bar is not None:
                bar.update(len(tiles))
    finally:
        if bar is not None:
            bar.close()
    return accumulator.result()


def _accumulator(xp, grid, expected, window, window_scale, weight_sums, index):
    scale, channels = expected.scale, expected.channels
    if isinstance(window, str) and window == "merge_tiles":
        size = grid.rows.tile * scale
        if size < 4:
            raise ValueError(
                f"window: 'merge_tiles' needs tile_size * scale >= 4 (its map's sigma is a quarter of "
                f"that and must not be 0), got {grid.rows.tile} * {scale} for the model output of batch {index}"
            )
        gaussian = _merge_tiles_gaussian(xp, size)
        return _MergeTilesAccumulator(xp, grid, scale, channels, gaussian)
    if isinstance(window, str):
        return _SeparableAccumulator(xp, grid, scale, channels, window)
    if scale != window_scale:
        th, tw = grid.tile_size
        raise ValueError(
            f"window: shape {tuple(window.shape)} is for scale {window_scale}, but the model output "
            f"for batch {index} has scale {scale} (expected window shape ({th * scale}, {tw * scale}))"
        )
    return _ArrayWindowAccumulator(xp, grid, scale, channels, window, weight_sums)
