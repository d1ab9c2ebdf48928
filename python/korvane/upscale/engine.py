"""Tiled upscaling that streams: tiles go to the model in batches and are blended as they return.

:func:`upscale_tiled` is the whole road in one call. It is built from small parts:

* :class:`TileGrid` is the geometry only (corners, the last tile of each axis moved back
  inside the picture or the padding that reflects it, the scaled regions); it holds no
  arrays.
* a source reads the tiles of a batch out of the picture with one indexed copy, through
  index tables that already hold the reflection;
* a weighting (one per kind of window) weights a whole batch of model outputs at once;
* the bands keep the canvas of the result rows that tiles still touch (one row of tiles
  high), add each weighted tile into it, and hand every finished band of rows, normalised
  where the window needs it, to a writer: the result array, the caller's ``out``, or a
  caller's function;
* the loop in :func:`upscale_tiled` feeds the model, checks what it returned and shows
  progress. :mod:`korvane.upscale.dask` runs the same loop on blocks of tiles.

Array work runs on the array module of the input image (CuPy, the NumPy stand-ins for it,
or NumPy), into buffers allocated once per call; nothing in the per-tile loop copies an
array to the host or waits for the device, unless ``out`` lives on the host, which then
receives each band once. Per call, the host uploads a few small tables (window profiles,
index tables, weight sums) and, for an array window only, waits once for the check of
its weights.

Array operations per batch, fixed whatever the batch size: reading the tiles 3 (plus a
cast when the picture is not float32), weighting 4 for "hann", "gaussian" and "box", 1
for an array window, 1 for "merge_tiles" (plus a cast when the model does not return
float32); then one in-place add per tile. Per band of rows: a write per channel into an
array of the picture's module (or one copy to the host for a host ``out``), one copy of
the rows still open and one fill, and for an array window or "merge_tiles" a gather of
the weight sums and one division. On CuPy the per-tile adds could become one kernel per
batch that sums, for each canvas pixel, the batch's tiles covering it in tile order;
that kernel is not written yet.
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


def _reflected(positions, extent):
    """The source index of each padded position in ``positions`` (a NumPy int array); see ``reflection``."""
    if extent == 1:
        return numpy.zeros_like(positions)
    period = 2 * (extent - 1)
    folded = positions % period
    return numpy.where(folded < extent, folded, period - folded)


EDGES = ("inside", "reflect")


def check_edges(edges, window=None):
    """``edges`` as "inside" or "reflect"; None takes "reflect" for ``window="merge_tiles"``, else "inside"."""
    merge_tiles = isinstance(window, str) and window == "merge_tiles"
    if edges is None:
        return "reflect" if merge_tiles else "inside"
    if not isinstance(edges, str):
        raise TypeError(f"edges: expected 'inside' or 'reflect', got {describe(edges)}")
    if edges not in EDGES:
        raise ValueError(f"edges: expected 'inside' or 'reflect', got {edges!r}")
    if merge_tiles and edges == "inside":
        raise ValueError(
            "edges: window='merge_tiles' reproduces merge_tiles, whose grid pads the picture by reflection; "
            "give edges='reflect' or leave edges out"
        )
    return edges


class TileAxis:
    """The tiles along one axis: ``extent`` pixels cut into tiles of ``tile`` pixels, ``overlap`` apart.

    There are ``count`` = max(1, ceil((extent - overlap) / step)) tiles, ``step`` =
    ``tile`` - ``overlap``, and all but the last start at multiples of ``step``. ``edges``
    places the last one (see ``starts``):

    * ``edges="reflect"`` (``tile_image``'s rule, the default here): the last tile too
      starts at a multiple of ``step``, and the picture is padded by reflection at the end
      to ``padded`` = ``overlap`` + ``count`` * ``step``. A picture no longer than the
      overlap still gets one tile instead of none.
    * ``edges="inside"``: where the picture is at least a tile long, the last tile ends at
      the picture's end (it starts at ``extent`` - ``tile``, closer to the tile before it
      than ``step``) and nothing is padded; where it is shorter, its one tile is padded
      by reflection to ``tile``, as with "reflect".

    Each tile is read with ``context`` more pixels on both sides, reflected where they
    fall outside the picture.
    """

    __slots__ = ("context", "edges", "extent", "overlap", "tile")

    def __init__(self, extent, tile, overlap, context=0, *, edges="reflect"):
        self.extent, self.tile, self.overlap, self.context = extent, tile, overlap, context
        self.edges = check_edges(edges)

    def __repr__(self):
        return (
            f"TileAxis(extent={self.extent}, tile={self.tile}, overlap={self.overlap}, context={self.context}, "
            f"edges={self.edges!r})"
        )

    @property
    def step(self):
        return self.tile - self.overlap

    @property
    def count(self):
        return max(1, -(-(self.extent - self.overlap) // self.step))

    @property
    def shifted(self):
        """True if the last tile is moved back to end at the picture's end (``edges="inside"``)."""
        return self.edges == "inside" and self.extent >= self.tile

    @property
    def padded(self):
        if self.edges == "inside":
            return max(self.extent, self.tile)
        return self.overlap + self.count * self.step

    def start(self, index):
        """The first pixel of tile ``index``."""
        if self.shifted and index == self.count - 1:
            return self.extent - self.tile
        return index * self.step

    @property
    def starts(self):
        """Every tile's first pixel, ascending: a tuple of ints."""
        return tuple(self.start(k) for k in range(self.count))

    def inside(self, start):
        """True if the tile starting at ``start`` lies wholly inside the picture (no padding)."""
        return start + self.tile <= self.extent

    def reflection(self):
        """The source index of every padded position: NumPy's ``pad(mode="reflect")``.

        Reflection about the last pixel without repeating it, continued periodically
        (period 2 * (extent - 1)) where the padding is longer than the picture; a picture
        one pixel long repeats that pixel.
        """
        return _reflected(numpy.arange(self.padded), self.extent).tolist()

    def visible(self, start, scale):
        """Rows (or columns) of the tile at ``start``, enlarged by ``scale``, that fall inside the picture."""
        return min(self.tile * scale, (self.extent - start) * scale)

    def sources(self, tiles):
        """(len(tiles), tile + 2 * context) NumPy table: the picture index each position of each tile reads."""
        starts = numpy.asarray([self.start(k) for k in tiles], dtype=numpy.intp).reshape(-1) - self.context
        return _reflected(starts[:, None] + numpy.arange(self.tile + 2 * self.context), self.extent)

    def touching(self, lo, hi, scale):
        """The range of tiles whose enlarged extent meets the enlarged positions [lo, hi)."""
        starts = numpy.asarray(self.starts) * scale
        # Starts and ends both ascend: the tiles ending after lo, up to the last starting before hi.
        first = int(numpy.searchsorted(starts + self.tile * scale, lo, side="right"))
        return range(first, max(first, int(numpy.searchsorted(starts, hi, side="left"))))


class Tile:
    """One grid position: its number in row-major order, its grid row and column, its corner."""

    __slots__ = ("col", "number", "row", "x", "y")

    def __init__(self, number, row, col, y, x):
        self.number, self.row, self.col, self.y, self.x = number, row, col, y, x

    def __repr__(self):
        return f"Tile(number={self.number}, row={self.row}, col={self.col}, y={self.y}, x={self.x})"


class TileGrid:
    """The tile grid over an (height, width) picture, per-axis sizes allowed: a :class:`TileAxis` each way.

    ``edges="reflect"`` (the default) is ``tile_image``'s grid; ``edges="inside"`` moves
    the last tile of each axis at least a tile long back to end at the picture's edge
    (what :func:`upscale_tiled` does by default).
    """

    def __init__(self, height, width, tile_size, overlap, context=0, *, edges="reflect"):
        self.rows = TileAxis(height, tile_size[0], overlap[0], context, edges=edges)
        self.cols = TileAxis(width, tile_size[1], overlap[1], context, edges=edges)

    @property
    def edges(self):
        return self.rows.edges

    @property
    def tile_size(self):
        return self.rows.tile, self.cols.tile

    @property
    def read_size(self):
        """A tile's extents with its context: what the model is given."""
        return self.rows.tile + 2 * self.rows.context, self.cols.tile + 2 * self.cols.context

    @property
    def padded_shape(self):
        return self.rows.padded, self.cols.padded

    def __len__(self):
        return self.rows.count * self.cols.count

    def __iter__(self):
        """Every tile in row-major order: left to right, then top to bottom."""
        return self.block(range(self.rows.count), range(self.cols.count))

    def block(self, rows, cols):
        """The tiles of grid rows ``rows`` and columns ``cols`` (ranges), in row-major order."""
        xs = [self.cols.start(col) for col in cols]
        for row in rows:
            y = self.rows.start(row)
            for col, x in zip(cols, xs):
                yield Tile(row * self.cols.count + col, row, col, y, x)

    def batches(self, batch_size, rows=None, cols=None):
        """The tiles in row-major order, in lists of at most ``batch_size``.

        Those of the block ``rows`` x ``cols`` (ranges of grid rows and columns), else all.
        """
        batch = []
        tiles = iter(self) if rows is None else self.block(rows, cols)
        for tile in tiles:
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


def _cover_patterns(axis, scale, lo, hi):
    """Which positions of which tiles cover each enlarged position in [lo, hi) of ``axis``.

    Returns ``patterns``, (P, M) ints: per distinct pattern, the position inside each
    covering tile in tile order, padded with ``tile * scale`` (a zero weight's index) up
    to the most tiles M that cover one position; and ``index``, (hi - lo,) ints: the
    pattern of each position. Few patterns exist (the grid repeats every step but for
    its last tile, which adds at most a tile's worth), so the weight sums of a whole
    picture are a small table of patterns by patterns.
    """
    length = axis.tile * scale
    starts = numpy.asarray(axis.starts) * scale
    position = numpy.arange(lo, hi)
    # The covering tiles of a position are consecutive: from the first ending after it
    # to the last starting at or before it.
    first = numpy.searchsorted(starts + length, position, side="right")
    stop = numpy.searchsorted(starts, position, side="right")
    most = int((stop - first).max(initial=1))
    tiles = first[:, None] + numpy.arange(most)  # ascending: tile order
    covered = tiles < stop[:, None]
    inside = numpy.where(covered, position[:, None] - starts[numpy.where(covered, tiles, 0)], length)
    patterns, index = numpy.unique(inside, axis=0, return_inverse=True)
    return patterns, index.reshape(-1)


class _WeightSums:
    """Per-pixel sums of a window that is the same for every tile, as tables of cover patterns.

    The sum at a pixel is a function of the pixel's row pattern and column pattern only
    (the covering tiles' positions, in tile order), so each distinct sum is computed once,
    with the float32 additions in the order a full (H*s, W*s) weight canvas would do them
    (a padded entry adds an exact 0), and a band gathers its sums from the table.
    """

    def __init__(self, xp, grid, scale, window, rows, cols, epsilon=None):
        # ``rows``, ``cols``: the enlarged positions [lo, hi) whose sums are needed.
        self.xp, self.rows, self.cols = xp, rows, cols
        row_patterns, row_index = _cover_patterns(grid.rows, scale, *rows)
        col_patterns, col_index = _cover_patterns(grid.cols, scale, *cols)
        padded = xp.zeros((window.shape[0] + 1, window.shape[1] + 1), dtype=window.dtype)
        padded[:-1, :-1] = window
        row_patterns, col_patterns = xp.asarray(row_patterns), xp.asarray(col_patterns)
        self.sums = xp.zeros((len(row_patterns), len(col_patterns)), dtype=xp.float32)
        for m in range(row_patterns.shape[1]):
            for n in range(col_patterns.shape[1]):
                self.sums += padded[row_patterns[:, m, None], col_patterns[None, :, n]]
        if epsilon is not None:
            self.sums += epsilon
        self.row_index, self.col_index = xp.asarray(row_index), xp.asarray(col_index)

    def divide(self, band, y0, x0):
        """Divide ``band`` (C', rows, columns from result row ``y0`` and column ``x0``) by its sums, in place."""
        rows = self.row_index[y0 - self.rows[0] : y0 - self.rows[0] + band.shape[1]]
        cols = self.col_index[x0 - self.cols[0] : x0 - self.cols[0] + band.shape[2]]
        self.xp.divide(band, self.sums[rows[:, None], cols[None, :]], out=band)


# ---- reading tiles ------------------------------------------------------------------------------


class _Source:
    """Reads the tiles of a block of the grid, a batch at a time, into float32 NCHW arrays.

    Index tables (each tile row's picture rows, each tile column's picture columns, the
    reflection included, so the padded picture is never made) are uploaded once; a batch
    is then one indexed copy. ``image`` may be a part of the picture, starting at the
    picture's row and column ``offset``. An array-like that is no array of the module
    (a zarr array, say) is read per batch: only the box of rows and columns the batch's
    tiles need, and that box is what is indexed.
    """

    def __init__(self, xp, image, grid, rows, cols, batch_size, offset=(0, 0), by_box=False):
        self.xp, self.image, self.by_box = xp, image, by_box
        th, tw = grid.read_size
        count = len(rows) * len(cols)
        # Host tables first: a box is found from them without touching the device.
        self.host_rows = grid.rows.sources(rows) - offset[0]
        self.host_cols = grid.cols.sources(cols) - offset[1]
        self.host_tile_rows = numpy.repeat(numpy.arange(len(rows)), len(cols))
        self.host_tile_cols = numpy.tile(numpy.arange(len(cols)), len(rows))
        self.tile_rows, self.tile_cols = xp.asarray(self.host_tile_rows), xp.asarray(self.host_tile_cols)
        self.row_table, self.col_table = xp.asarray(self.host_rows), xp.asarray(self.host_cols)
        self.channels = xp.arange(image.shape[2])[None, :, None, None]
        self.buffer = None
        if numpy.dtype(image.dtype) != numpy.float32:
            self.buffer = xp.empty((min(batch_size, count), image.shape[2], th, tw), dtype=xp.float32)

    def __call__(self, first, count):
        """The float32 (count, C, th, tw) batch of the block's tiles ``first`` to ``first + count - 1``."""
        span = slice(first, first + count)
        if self.by_box:
            tiles = self._from_box(self.host_tile_rows[span], self.host_tile_cols[span])
        else:
            rows = self.row_table[self.tile_rows[span]]
            cols = self.col_table[self.tile_cols[span]]
            tiles = self.image[rows[:, None, :, None], cols[:, None, None, :], self.channels]
        if self.buffer is None:
            return tiles
        batch = self.buffer[:count]
        batch[...] = tiles
        return batch

    def _from_box(self, tile_rows, tile_cols):
        rows, cols = self.host_rows[tile_rows], self.host_cols[tile_cols]
        y0, x0 = int(rows.min()), int(cols.min())
        box = self.xp.asarray(self.image[y0 : int(rows.max()) + 1, x0 : int(cols.max()) + 1])
        rows, cols = self.xp.asarray(rows - y0), self.xp.asarray(cols - x0)
        return box[rows[:, None, :, None], cols[:, None, None, :], self.channels]


# ---- weighting a batch ----------------------------------------------------------------------------


class _SeparableWeights:
    """A separable window on the product grid: weights pre-normalised per axis, no weight sums."""

    sums = None

    def __init__(self, xp, grid, scale, channels, rows, cols, batch_size, name):
        self.xp = xp
        th, tw = grid.rows.tile * scale, grid.cols.tile * scale

        def table(axis, length, tiles):
            # Computed on the host and uploaded once per call: (tiles along the axis, tile) floats.
            normalised = _normalised_profiles(_profile(name, length), axis, scale)[tiles.start : tiles.stop]
            return xp.asarray(normalised, dtype=xp.float32)

        self.row_weights, self.col_weights = table(grid.rows, th, rows), table(grid.cols, tw, cols)
        count = min(batch_size, len(rows) * len(cols))
        self.weights = xp.empty((count, 1, th, tw), dtype=xp.float32)
        self.weighted = xp.empty((count, channels, th, tw), dtype=xp.float32)

    def __call__(self, output, tile_rows, tile_cols):
        """``output`` (B, C', th*s, tw*s) times each tile's weights, as a float32 array of that shape."""
        count = len(output)
        weights = self.weights[:count]
        self.xp.multiply(
            self.row_weights[tile_rows, None, :, None], self.col_weights[tile_cols, None, None, :], out=weights
        )
        return self.xp.multiply(output, weights, out=self.weighted[:count])


class _ArrayWindowWeights:
    """A caller's window: the same weights for every tile; each band is divided by its weight sums."""

    def __init__(self, xp, window, channels, count, sums):
        self.xp, self.window, self.sums = xp, window, sums
        self.weighted = xp.empty((count, channels) + tuple(window.shape), dtype=xp.float32)

    def __call__(self, output, tile_rows, tile_cols):
        return self.xp.multiply(output, self.window, out=self.weighted[: len(output)])


class _MergeTilesWeights:
    """``merge_tiles``' arithmetic, bit for bit, a band at a time.

    Per pixel and in tile order, ``merge_tiles`` adds the float64 product of the float32
    tile and its Gaussian map into a float32 canvas, and the map into a float32 weight
    canvas, then divides by (weights + 1e-08). Every channel of its weight canvas holds
    the same sums and the padded border is cropped away, so one channel of the cropped
    size, kept as cover-pattern sums, gives the same values.
    """

    EPSILON = 1e-08  # merge_tiles' own

    def __init__(self, xp, gaussian, channels, count, sums):
        self.xp, self.gaussian, self.sums = xp, gaussian[:, :, 0], sums  # (n, n), float64
        n = gaussian.shape[0]
        self.product = xp.empty((count, channels, n, n), dtype=xp.float64)

    def __call__(self, output, tile_rows, tile_cols):
        if output.dtype != numpy.float32:
            output = output.astype(self.xp.float32)  # merge_tiles' to_float32 of each tile
        return self.xp.multiply(output, self.gaussian, out=self.product[: len(output)])


# ---- the bands ----------------------------------------------------------------------------------------


class _Bands:
    """The canvas of the result rows that tiles still touch, for a block of the grid.

    The canvas is channels first (C', rows, columns), so that weighting, adding and
    dividing run along rows of pixels; it is one enlarged tile row high and as wide as
    the block's tiles. When the tiles move on to the next grid row, the rows above its
    first row are final: they are normalised (where the window needs weight sums),
    cropped to ``crop`` = (y0, y1, x0, x1) and handed to ``write(rows, band)``, ``rows``
    counted from ``y0`` and ``band`` (C', rows, columns); the rows still open move to the
    top and the rest is cleared. Per pixel, the sums are those of a canvas of the whole
    result: zero plus each covering tile in tile order.
    """

    def __init__(self, xp, grid, scale, channels, rows, cols, crop, write, sums):
        self.xp, self.grid, self.scale, self.crop, self.write, self.sums = xp, grid, scale, crop, write, sums
        self.left = grid.cols.start(cols.start) * scale
        right = min((grid.cols.start(cols.stop - 1) + grid.cols.tile) * scale, grid.cols.extent * scale)
        self.height = grid.rows.tile * scale
        self.canvas = xp.zeros((channels, self.height, right - self.left), dtype=xp.float32)
        self.row = rows.start
        self.top = grid.rows.start(rows.start) * scale  # the result row of the canvas's first row
        self.done = crop[0]  # result rows above this are written (or not wanted)

    def add(self, weighted, tiles):
        """Add each tile's weighted output (B, C', th*s, tw*s), in the order of ``tiles``, into the canvas."""
        for b, tile in enumerate(tiles):
            if tile.row != self.row:
                self._next_row(tile.row)
            y, x, h, w = self.grid.region(tile, self.scale)
            region = self.canvas[:, y - self.top : y - self.top + h, x - self.left : x - self.left + w]
            region += weighted[b, :, :h, :w]

    def finish(self):
        self._flush(self.crop[1])

    def _next_row(self, row):
        top = self.grid.rows.start(row) * self.scale
        self._flush(top)
        shift, keep = top - self.top, self.top + self.height - top
        if keep > 0:
            source = self.canvas[:, shift : shift + keep]
            # A copy between overlapping rows of one array goes through a temporary.
            self.canvas[:, :keep] = source.copy() if keep > shift else source
        self.canvas[:, max(keep, 0) :] = 0
        self.row, self.top = row, top

    def _flush(self, stop):
        y0, y1, x0, x1 = self.crop
        start, stop = max(self.done, y0), min(stop, y1)
        if stop > start:
            band = self.canvas[:, start - self.top : stop - self.top, x0 - self.left : x1 - self.left]
            if self.sums is not None:
                self.sums.divide(band, start, x0)
            self.write(slice(start - y0, stop - y0), band)
        self.done = max(self.done, stop)


def _weights(xp, grid, expected, window, window_scale, sums, rows, cols, crop, batch_size, index):
    """The batch weighting for ``window`` once batch ``index`` has fixed the scale and the channels."""
    scale, channels = expected.scale, expected.channels
    count = min(batch_size, len(rows) * len(cols))
    where = f"the model output of batch {index}"
    if isinstance(window, str) and window == "merge_tiles":
        _check_merge_tiles_size(grid, window, scale, where)
        gaussian = _merge_tiles_gaussian(xp, grid.rows.tile * scale)
        sums = _WeightSums(xp, grid, scale, gaussian[:, :, 0], crop[:2], crop[2:], _MergeTilesWeights.EPSILON)
        return _MergeTilesWeights(xp, gaussian, channels, count, sums)
    if isinstance(window, str):
        return _SeparableWeights(xp, grid, scale, channels, rows, cols, batch_size, window)
    _check_window_scale(grid, window, window_scale, scale, f"the model output for batch {index} has")
    return _ArrayWindowWeights(xp, window, channels, count, sums)


def _check_window_scale(grid, window, window_scale, scale, where):
    """Refuse an array window made for another scale than the one ``where`` (a phrase) gives."""
    if scale != window_scale:
        th, tw = grid.tile_size
        raise ValueError(
            f"window: shape {tuple(window.shape)} is for scale {window_scale}, but {where} scale {scale} "
            f"(expected window shape ({th * scale}, {tw * scale}))"
        )


def _check_merge_tiles_size(grid, window, scale, where):
    if isinstance(window, str) and window == "merge_tiles" and grid.rows.tile * scale < 4:
        raise ValueError(
            f"window: 'merge_tiles' needs tile_size * scale >= 4 (its map's sigma is a quarter of "
            f"that and must not be 0), got {grid.rows.tile} * {scale} for {where}"
        )


def _run(source, model, grid, expected, window, window_scale, sums, batch_size, rows, cols, crop, opened, bar=None):
    """Run the tiles of the block ``rows`` x ``cols`` through ``model`` in grid order and write the result.

    ``crop`` is (y0, y1, x0, x1) in result pixels, or None for the whole result (known
    once batch 0 has fixed the scale); ``opened(scale, channels)`` is called then, before
    anything is written, and returns ``write(rows, band)``. ``sums`` are an array
    window's weight sums over ``crop``, computed before the model first runs.
    """
    bands = weigh = None
    first = 0
    for index, tiles in enumerate(grid.batches(batch_size, rows, cols)):
        output = model(source(first, len(tiles)))
        expected.check(output, index, tiles[0].number, len(tiles))
        if bands is None:
            s = expected.scale
            crop = crop or (0, grid.rows.extent * s, 0, grid.cols.extent * s)
            xp, channels = source.xp, expected.channels
            weigh = _weights(xp, grid, expected, window, window_scale, sums, rows, cols, crop, batch_size, index)
            bands = _Bands(xp, grid, s, channels, rows, cols, crop, opened(s, channels), weigh.sums)
        span = slice(first, first + len(tiles))
        weighted = weigh(expected.core(output), source.tile_rows[span], source.tile_cols[span])
        del output  # before the next model call: one output batch at a time
        bands.add(weighted, tiles)
        first += len(tiles)
        if bar is not None:
            bar.update(len(tiles))
    bands.finish()


# ---- argument checks --------------------------------------------------------------------------------


def _pair(name, value):
    if is_int(value):
        return int(value), int(value)
    if isinstance(value, (tuple, list)) and len(value) == 2 and all(map(is_int, value)):
        return int(value[0]), int(value[1])
    raise TypeError(f"{name}: expected an int or a (height, width) pair of ints, got {describe(value)}")


def check_context(model, context):
    """``context`` as an int >= 0; None takes the model's own (0 where it has none)."""
    if context is None:
        context = getattr(model, "context", None) or 0
    return check_int("context", context, 0)


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
    # call, before the model is first called. Every pixel's sum is one of the table's.
    finite, covering = host_flags(xp, ((window >= 0) & (window < numpy.inf)).all(), (weight_sums.sums > 0).all())
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


def _check_source(image):
    """The array module of the picture, and whether it is an array-like to read a box at a time.

    An array of NumPy or CuPy (a NumPy memmap included) is indexed as it is. Anything
    else with ``shape``, ``dtype`` and slicing (a zarr array, say) is an array-like: its
    module is that of its slices, read from a one-pixel slice.
    """
    xp = module_of(image)
    if xp is not None or not all(hasattr(image, name) for name in ("shape", "dtype", "__getitem__")):
        return check_image(image), False
    if type(image).__module__.split(".")[0] == "dask":
        raise TypeError(f"image: a dask array goes to korvane.upscale.dask.upscale_tiled, got {describe(image)}")
    shape = tuple(image.shape)
    if len(shape) != 3:
        raise ValueError(f"image: expected an (H, W, C) array, got shape {shape}")
    dtype = numpy.dtype(image.dtype)
    if dtype.kind not in "biuf":
        raise TypeError(f"image: expected a real dtype (bool, integer or floating point), got {dtype}")
    if 0 in shape:
        raise ValueError(f"image: expected a non-empty picture, got shape {shape}")
    xp = module_of(image[:1, :1])
    if xp is None:
        raise TypeError(
            f"image: expected an array, or an array-like whose slices are arrays of NumPy or CuPy; slices of "
            f"{type_name(image)} are {type_name(image[:1, :1])}"
        )
    return xp, True


class _Target:
    """Where the finished bands go: a new result array, the caller's ``out``, or the caller's function."""

    def __init__(self, xp, out, height, width):
        self.xp, self.out, self.height, self.width = xp, out, height, width
        if out is None or callable(out):
            return
        if not (hasattr(out, "shape") and hasattr(out, "__setitem__")):
            raise TypeError(
                f"out: expected an array-like with shape and slice assignment, or a function write(rows, band), "
                f"got {describe(out)}"
            )
        shape = tuple(out.shape)
        if not (len(shape) == 3 and all(map(is_int, shape))) or not _whole_scale(shape, height, width):
            raise ValueError(f"out: expected shape ({height}*s, {width}*s, C') for a whole number s >= 1, got {shape}")

    def open(self, scale, channels):
        """``write(rows, band)`` for the result of ``scale`` and ``channels``: checked before anything is written."""
        xp, out = self.xp, self.out
        expected = (self.height * scale, self.width * scale, channels)
        if out is None:
            self.out = out = xp.empty(expected, dtype=xp.float32)
        elif callable(out):
            return lambda rows, band: out(rows, band.transpose(1, 2, 0))
        elif tuple(out.shape) != expected:
            raise ValueError(f"out: expected shape {expected}, got {tuple(out.shape)}")
        module = module_of(out)
        if module is xp or (module is not None and xp is numpy):
            # An array of the image's module, or of a device for a host picture: channel by
            # channel, each a strided write along rows (a host picture's go up one at a time).
            convert = (lambda band: band) if module is xp else module.asarray

            def write(rows, band):
                for c in range(len(band)):
                    out[rows, :, c] = convert(band[c])

            return write
        into = out if isinstance(out, numpy.ndarray) else None

        def write_host(rows, band):
            band = band if xp is numpy else xp.asnumpy(band)  # one explicit copy to the host per band
            pixels = into[rows] if into is not None else numpy.empty(band.shape[1:] + band.shape[:1], band.dtype)
            for c in range(len(band)):
                pixels[:, :, c] = band[c]
            if into is None:
                out[rows] = pixels  # an array-like gets one assignment per band

        return write_host


def _whole_scale(shape, height, width):
    scale = shape[0] // height
    return scale >= 1 and shape[:2] == (height * scale, width * scale) and shape[2] >= 1


def _check_options(xp, tile_size, overlap, batch_size, window):
    """The checked options: (tile_size, overlap, batch_size, window, window's scale or None)."""
    tile_size, overlap = _check_sizes(tile_size, overlap)
    batch_size = check_int("batch_size", batch_size, 1)
    window, window_scale = _check_window(xp, window, tile_size, overlap)
    if isinstance(window, str) and window == "merge_tiles":
        _import_tile()
    return tile_size, overlap, batch_size, window, window_scale


def _window_sums(xp, grid, window, window_scale, crop=None):
    """An array window's checked weight sums over ``crop`` (result pixels; None: all), else None."""
    if window_scale is None:
        return None
    s = window_scale
    y0, y1, x0, x1 = crop or (0, grid.rows.extent * s, 0, grid.cols.extent * s)
    sums = _WeightSums(xp, grid, s, window, (y0, y1), (x0, x1))
    _check_window_weights(xp, window, sums)
    return sums


# ---- the engine ---------------------------------------------------------------------------------------


def upscale_tiled(
    image,
    model,
    *,
    tile_size=128,
    overlap=16,
    batch_size=8,
    window="hann",
    out=None,
    context=None,
    edges=None,
    progress=False,
):
    """Upscale ``image`` tile by tile with ``model``, streaming the tiles through in batches.

    Parameters
    ----------
    image : (H, W, C) array of CuPy (or the NumPy stand-in) or NumPy, or an array-like; any real dtype
        The picture. It is read, never modified. An array-like (anything with ``shape``,
        ``dtype`` and slicing whose slices are arrays, such as a zarr array) is read a box
        of rows and columns per batch, and its array module is that of its slices (NumPy
        for zarr). A NumPy memmap is read tile by tile through indexing. The picture is
        never converted to float32 as a whole.
    model : callable
        Takes a float32 (B, C, th, tw) batch, B <= ``batch_size``, and returns a
        (B, C', th*s, tw*s) array of the same array module for a whole number s >= 1.
        s and C' are taken from the first batch; every later batch must match them.
    tile_size, overlap : int or (height, width) pair of ints; tile_size may also be "auto"
        Tile extents and the overlap of neighbouring tiles, 0 <= overlap < tile_size on
        each axis. Tiles go in row-major order, their corners at multiples of
        tile_size - overlap but for the last tile of each axis, which ``edges`` places.

        ``"auto"`` chooses the tile (see :mod:`korvane.upscale._fitting`): the largest side
        of 1024, 768, 512, 384, 256, 192, 128, 96, 64, cut to the picture's extents, whose
        estimate fits 75% of the memory free on the GPU (torch's ``mem_get_info`` for a
        TorchModel on CUDA, else CuPy's ``memGetInfo``, the free blocks of CuPy's pool and
        torch's cache counted as free, less a new result's size), or keeps the activations
        of one batch under 1 GiB on the host. The estimate is ``batch_size`` times the
        model's ``bytes_per_pixel`` per input pixel where it has that attribute, else
        16 KiB (8 KiB for a float16 or bfloat16 model), plus the canvas on a GPU. An axis
        the model fixes (``model.tile_size``) keeps its size. Each axis keeps ``overlap``
        while it is at most a quarter of the tile, else takes a quarter. Where a run
        runs out of memory (a MemoryError, CuPy's OutOfMemoryError among them, torch's
        OutOfMemoryError, or an ONNX Runtime or CUDA error, or a ModelRunError wrapping
        one, that says so), CuPy's pool and torch's cache are emptied, each side the
        model leaves open is halved, down to 32 pixels, and the picture starts again:
        an array ``out`` is then written again in full, and a function ``out`` is only
        started again while it has been handed no band (else the error is raised, as
        it is below 32, with a note added). Any other error is raised at once. The
        result is, bit for bit, that of a call with the sizes used, which a
        :class:`korvane.upscale.TileSizeWarning` names (its ``tile_size`` and
        ``overlap``), once per call.
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
    out : None, array-like of shape (H*s, W*s, C'), or callable
        Where the result goes, a band of rows at a time, as soon as no later tile touches
        those rows. None: a new float32 array of the image's module. An array-like that
        takes slice assignment (a NumPy array or memmap, an array of the image's module,
        a zarr array, ...) gets ``out[rows] = band`` for each band; the assignment casts,
        so a float32 ``out`` holds exactly the result of ``out=None`` and another dtype
        holds the float32 values cast by that assignment (for NumPy: truncated toward
        zero for integers, with no clipping or rounding; convert in a function instead).
        A device picture's bands go to a host ``out`` with one explicit copy each. A
        callable is called as ``out(rows, band)`` for each band in order, ``rows`` a
        ``slice`` of result rows and ``band`` the float32 (rows, W*s, C') array of the
        image's module; ``band`` is reused once the call returns, so copy or convert it
        there. ``out`` must not share memory with ``image``.
    context : int or None
        Pixels of the picture around each tile that the model is given as well: each tile
        is read as (th + 2*context, tw + 2*context), reflected at the picture's border as
        the padding is, and the model may return either s*(th + 2*context) rows, whose
        s*context border is dropped, or s*th rows (a model with unpadded convolutions that
        eats that margin itself). None takes ``model.context`` where the model has one (an
        ncnn model from ``load_model``, say), else 0.
    edges : {"inside", "reflect"} or None
        Where the last tile of each axis goes. ``"inside"``: along an axis where the
        picture is at least a tile long, the last tile ends at the picture's edge (it
        overlaps the one before it by more than ``overlap``), so every tile is the picture
        itself and the model sees the picture's true border, as on the whole picture;
        along a shorter axis the one tile is padded by reflection. ``"reflect"``:
        ``tile_image``'s grid, the last tile at a multiple of tile_size - overlap too and the
        picture reflected at its bottom and right up to overlap + k * (tile_size - overlap)
        (a picture no larger than the overlap gets one tile). Both give the same number of
        tiles. None (the default): ``"inside"``, but ``"reflect"`` for ``"merge_tiles"``,
        which only takes ``"reflect"``.
    progress : bool
        Show a tqdm bar over the tiles on stderr (needs tqdm), drawn only when stderr is a
        terminal.

    Returns
    -------
    (H*s, W*s, C') float32 array, or ``out``
        With ``out=None``, a new array of the image's array module; else ``out`` itself.

    Notes
    -----
    The model's values are blended as they come: NaN or infinity in an output reach the
    result unchecked (checking would cost a device sync per batch); the command line
    checks the finished result once and refuses to write it.

    Every batch is weighted and added as soon as the model returns it into a canvas of
    the rows tiles still touch, one enlarged tile row high ((tile + overlap) * s rows
    while a band is written), so besides ``out`` the call holds that canvas, one batch
    in, one batch out and its weighted copy, whatever the picture's height. An array
    window and "merge_tiles" divide each band by weight sums kept as a small table of
    the grid's cover patterns.

    Raises
    ------
    TypeError, ValueError
        For bad arguments, before the model is first called; the message starts with the
        argument's name. For a bad model output, naming the batch and the expected and
        actual shapes; for an ``out`` of the wrong shape for the model's scale and
        channels, at batch 0, before anything is written.
    ImportError
        ``progress=True`` without tqdm; ``"merge_tiles"`` without the native module.
    """
    if isinstance(tile_size, str) and tile_size == "auto":
        arguments = dict(locals())  # every argument, whatever this signature grows
        from korvane.upscale._fitting import upscale_auto

        return upscale_auto(**arguments)
    xp, by_box = _check_source(image)
    check_model(model)
    tile_size, overlap, batch_size, window, window_scale = _check_options(xp, tile_size, overlap, batch_size, window)
    context = check_context(model, context)
    edges = check_edges(edges, window)
    height, width = image.shape[0], image.shape[1]
    target = _Target(xp, out, height, width)
    grid = TileGrid(height, width, tile_size, overlap, context, edges=edges)
    sums = _window_sums(xp, grid, window, window_scale)
    rows, cols = range(grid.rows.count), range(grid.cols.count)
    source = _Source(xp, image, grid, rows, cols, batch_size, by_box=by_box)
    expected = ModelOutput(xp, tile_size, "tiles", context)
    bar = progress_bar(progress, len(grid), "tile")
    try:
        _run(source, model, grid, expected, window, window_scale, sums, batch_size, rows, cols, None, target.open, bar)
    finally:
        if bar is not None:
            bar.close()
    return target.out
