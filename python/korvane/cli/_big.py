"""Pictures larger than memory: TIFF and zarr read a box at a time, TIFF and zarr written a band at a time.

Reading: a TIFF that holds what korvane reads (grey or RGB samples, 8 bits, or 16 for
grey, an optional unassociated alpha, no rotation) is opened with tifffile and read
through a memory map (uncompressed) or through its zarr store, a segment at a time; any
other TIFF goes to Pillow as before. A ``.zarr`` folder is a zarr array of (H, W) or
(H, W, C) samples, C = 1 to 4 (alpha last). :class:`UnitPicture` hands the model's
engine float32 boxes in [0, 1] converted from those samples, so no float copy of the
whole picture is ever made.

Writing: :class:`Bands` is ``upscale_tiled``'s ``out``: each float32 band of result rows
is checked for NaN and infinity, turned into samples of the picture's depth and passed
to a writer. The TIFF writer runs tifffile in a thread that pulls rows of tiles from a
small queue (tifffile pulls from an iterator, the engine pushes bands, and the engine
stays on the calling thread, where the model and Ctrl-C are); the zarr writer assigns
whole chunks. Both write beside the target under a temporary name and rename it once
complete, and remove it on any failure.
"""

import contextlib
import importlib
import io
import itertools
import os
import queue
import shutil
import threading
import weakref
from pathlib import Path

import numpy

from korvane import _pictures as pictures
from korvane.cli._common import EXIT_USAGE, CommandError

COMPRESSIONS = ("none", "deflate", "zstd", "lzw")
DEFAULT_COMPRESSION = "deflate"  # what the TIFFs korvane wrote through Pillow used
TILE = 256  # TIFF tiles of 256 x 256 samples: a size every tiled TIFF reader takes
ZARR_CHUNK_BYTES = 1 << 24  # zarr chunks of about 16 MB, whole rows each
WHOLE_SEGMENT_BYTES = 1 << 26  # a TIFF stored in larger segments is decoded once, whole, as samples
BAND_BYTES = 1 << 28  # float32 bytes of one band of result rows computed at a time on a cluster
QUEUE_DEPTH = 2  # rows of tiles waiting for the TIFF writer thread
_END = object()


def optional(name):
    """The module ``name``, or None where it is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def _reason(exc):
    return pictures._reason(exc)


# ---- reading ---------------------------------------------------------------------------------------


class Stored:
    """A picture's sample array in a file, opened once per process: pickles as its path, not its samples."""

    def __init__(self, path, kind):
        self.path, self.kind, self._array = str(path), kind, None

    def __getstate__(self):
        return {"path": self.path, "kind": self.kind}

    def __setstate__(self, state):
        self.path, self.kind, self._array = state["path"], state["kind"], None

    @property
    def array(self):
        if self._array is None:
            if self.kind == "zarr":
                self._array = importlib.import_module("zarr").open_array(self.path, mode="r")
            elif self.kind == "tiff-memmap":
                self._array = importlib.import_module("tifffile").memmap(self.path, page=0, mode="r")
            elif self.kind == "tiff-zarr":
                tifffile, zarr = importlib.import_module("tifffile"), importlib.import_module("zarr")
                store = tifffile.imread(self.path, key=0, aszarr=True)
                # The store holds the file open: closed when the picture is done with.
                weakref.finalize(self, store.close)
                self._array = zarr.open(store, mode="r")
            else:  # "tiff-whole": segments too large to read a box at a time
                self._array = importlib.import_module("tifffile").imread(self.path, key=0)
        return self._array


class Plane:
    """Samples of a stored picture read on demand: ``channels`` (a slice, or None for a 2-D array) of it.

    ``shape`` is (H, W) for one channel, else (H, W, C); indexing takes (rows, columns)
    slices and returns a NumPy array; NumPy's ``asarray`` reads the whole plane.
    """

    def __init__(self, stored, shape, dtype, channels):
        self.stored, self.channels = stored, channels
        count = 1 if channels is None else len(range(*channels.indices(4)))
        self.shape = tuple(shape[:2]) if count == 1 else (shape[0], shape[1], count)
        self.dtype, self.ndim = numpy.dtype(dtype), len(self.shape)

    def __getitem__(self, key):
        rows, cols = (tuple(key) + (slice(None), slice(None)))[:2]
        if self.channels is None:
            return numpy.asarray(self.stored.array[rows, cols])
        block = numpy.asarray(self.stored.array[rows, cols, self.channels])
        return block[:, :, 0] if self.ndim == 2 else block

    def __array__(self, dtype=None, copy=None):
        whole = self[:, :]
        return whole if dtype is None else whole.astype(dtype)


def read_picture(path, max_pixels):
    """A :class:`pictures.Picture`: lazily from a zarr folder or a plain TIFF, else through Pillow."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".zarr":
        return _read_zarr(path, max_pixels)
    if suffix in (".tif", ".tiff"):
        picture = _read_tiff(path, max_pixels)
        if picture is not None:
            return picture
    return pictures.read_picture(path, max_pixels)


def _check_samples(path, shape, dtype, channels):
    if channels not in (1, 2, 3, 4):
        raise pictures.PictureError(f"{path}: expected 1 to 4 channels (grey, grey+alpha, RGB, RGBA), got {channels}")
    if dtype not in (numpy.uint8, numpy.uint16) or (dtype == numpy.uint16 and channels > 1):
        raise pictures.PictureError(
            f"{path}: expected uint8 samples, or uint16 for greyscale without alpha, got {dtype} with {channels} "
            "channels"
        )


def _lazy_picture(stored, shape, dtype, channels, icc, notes, mode):
    """A Picture whose values (and alpha) are Planes of ``stored``'s (H, W) or (H, W, channels) array."""
    if len(shape) == 2:
        values, alpha = Plane(stored, shape, dtype, None), None
    else:
        colour = 1 if channels <= 2 else 3
        values = Plane(stored, shape, dtype, slice(0, colour))
        alpha = Plane(stored, shape, dtype, slice(colour, colour + 1)) if channels in (2, 4) else None
    maximum = 65535 if dtype == numpy.uint16 else 255
    return pictures.Picture(values, alpha, maximum, mode, icc, notes)


def _read_zarr(path, max_pixels):
    zarr = optional("zarr")
    if zarr is None:
        raise pictures.PictureError(f'reading {path} needs zarr: pip install "korvane[big]"')
    if not path.is_dir():
        raise pictures.PictureError(f"no such zarr folder: {path}")
    try:
        array = zarr.open_array(str(path), mode="r")
    except Exception as exc:
        raise pictures.PictureError(f"cannot read {path} as a zarr array: {_reason(exc)}") from None
    shape, dtype = tuple(array.shape), numpy.dtype(array.dtype)
    if len(shape) not in (2, 3) or 0 in shape:
        raise pictures.PictureError(f"{path}: expected a zarr array of shape (H, W) or (H, W, C), got {shape}")
    channels = 1 if len(shape) == 2 else shape[2]
    _check_samples(path, shape, dtype, channels)
    pictures.check_pixels(path, shape[1], shape[0], max_pixels)
    mode = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}[channels] if dtype == numpy.uint8 else "I;16"
    return _lazy_picture(Stored(path, "zarr"), shape, dtype, channels, None, [], mode)


def _read_tiff(path, max_pixels):
    """A lazy Picture of a TIFF tifffile reads as korvane would through Pillow, else None (Pillow's turn)."""
    tifffile = optional("tifffile")
    if tifffile is None or optional("zarr") is None:
        return None
    try:
        with tifffile.TiffFile(path) as tif:
            frames, page = len(tif.pages), tif.pages[0]
            shape, dtype = tuple(page.shape), numpy.dtype(page.dtype)
            channels = 1 if len(shape) == 2 else shape[2]
            grey = page.photometric == tifffile.PHOTOMETRIC.MINISBLACK
            extra = tuple(page.extrasamples)
            plain = (
                (grey or page.photometric == tifffile.PHOTOMETRIC.RGB)
                and len(shape) in (2, 3)
                and page.planarconfig == tifffile.PLANARCONFIG.CONTIG
                and page.sampleformat == tifffile.SAMPLEFORMAT.UINT
                and page.bitspersample == dtype.itemsize * 8
                and channels == (1 if grey else 3) + len(extra)
                and extra in ((), (tifffile.EXTRASAMPLE.UNASSALPHA,))
                and page.tags.valueof("Orientation", 1) == 1
                and dtype in (numpy.uint8, numpy.uint16)
                and not (dtype == numpy.uint16 and channels > 1)
            )
            if not plain:
                return None
            if page.is_memmappable:
                kind = "tiff-memmap"
            elif numpy.prod(page.chunks) * dtype.itemsize > WHOLE_SEGMENT_BYTES:
                kind = "tiff-whole"
            else:
                kind = "tiff-zarr"
            icc = page.iccprofile
    except Exception:  # a damaged file: Pillow's reading says what is wrong in its own words
        return None
    pictures.check_pixels(path, shape[1], shape[0], max_pixels)
    notes = []
    icc = pictures._kept_profile(path, icc, channels <= 2, notes)
    if frames > 1:
        notes.insert(0, f"{path} has {frames} frames (or pages): only the first is upscaled")
    mode = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}[channels] if dtype == numpy.uint8 else "I;16"
    return _lazy_picture(Stored(path, kind), shape, dtype, channels, icc, notes, mode)


class UnitPicture:
    """(H, W, channels) float32 in [0, 1] on module ``xp``, converted from integer samples a box at a time.

    ``values`` is (H, W) or (H, W, C) samples (a NumPy array, an array of ``xp`` or a
    :class:`Plane`) of full intensity ``maximum``; a grey picture is repeated into
    ``channels``. ``upscale_tiled`` reads it as an array-like, one box per batch, so a box
    of a host store goes to the device once per batch.
    """

    def __init__(self, xp, values, maximum, channels):
        self.xp, self.values, self.maximum = xp, values, maximum
        self.shape = (values.shape[0], values.shape[1], channels)
        self.dtype, self.ndim = numpy.dtype(numpy.float32), 3

    def __getstate__(self):  # for the workers of a cluster: the module by name
        return {"xp": self.xp.__name__, "values": self.values, "maximum": self.maximum, "shape": self.shape}

    def __setstate__(self, state):
        self.xp, self.values, self.maximum = importlib.import_module(state["xp"]), state["values"], state["maximum"]
        self.shape, self.dtype, self.ndim = state["shape"], numpy.dtype(numpy.float32), 3

    def __getitem__(self, key):
        key = key if isinstance(key, tuple) else (key,)
        rows, cols = (key + (slice(None), slice(None)))[:2]
        unit = pictures.to_unit(self.xp, self.values[rows, cols], self.maximum)
        if unit.ndim == 2:
            unit = unit[:, :, None]
        if unit.shape[2] != self.shape[2]:  # a grey picture for an RGB model
            unit = unit.repeat(self.shape[2], axis=2)
        return unit[(slice(None), slice(None), *key[2:])] if len(key) > 2 else unit


# ---- writing -----------------------------------------------------------------------------------------


def streams(path):
    """True if ``path``'s format is written band by band (TIFF with tifffile, zarr)."""
    suffix = Path(path).suffix.lower()
    return suffix == ".zarr" or (suffix in (".tif", ".tiff") and optional("tifffile") is not None)


def check_options(args, outputs):
    """Refuse, before any work, --compress that cannot be written and outputs the installation cannot write."""
    suffixes = {Path(path).suffix.lower() for path in outputs}
    if ".zarr" in suffixes and optional("zarr") is None:
        raise CommandError('writing zarr needs zarr: pip install "korvane[big]"')
    compress = getattr(args, "compress", None)
    if compress is None:
        return
    if optional("tifffile") is None:
        raise CommandError(f'--compress {compress} needs tifffile: pip install "korvane[big]"', EXIT_USAGE)
    if compress == "none":
        return
    tifffile = optional("tifffile")
    try:
        tifffile.imwrite(io.BytesIO(), numpy.zeros((1, 1), numpy.uint8), compression=compress)
    except Exception:  # tifffile has deflate through zlib; zstd and LZW come from imagecodecs
        raise CommandError(f"--compress {compress} needs imagecodecs: pip install imagecodecs", EXIT_USAGE) from None


def _compression(args):
    compress = getattr(args, "compress", None) or DEFAULT_COMPRESSION
    return None if compress == "none" else compress


class _Writer:
    """Rows of samples in order, gathered into blocks of ``block_rows`` rows; written beside the target."""

    def __init__(self, path):
        self.path, self.temporary, self.buffer, self.filled, self.start = Path(path), None, None, 0, 0

    def open(self, height, width, channels, dtype):
        self.height, self.width, self.channels, self.dtype = height, width, channels, numpy.dtype(dtype)
        self.temporary = pictures._temporary_name(self.path)
        self._begin()

    def write(self, samples):
        """Append rows of samples, (rows, width) or (rows, width, channels)."""
        samples = samples.reshape(samples.shape[0], self.width, self.channels)
        done = 0
        while done < len(samples):
            if self.buffer is None:
                self.buffer = numpy.empty(
                    (min(self.block_rows, self.height - self.start), self.width, self.channels), self.dtype
                )
            n = min(len(self.buffer) - self.filled, len(samples) - done)
            self.buffer[self.filled : self.filled + n] = samples[done : done + n]
            self.filled, done = self.filled + n, done + n
            if self.filled == len(self.buffer):
                self._emit(self.buffer, self.start)
                self.start += self.filled
                self.buffer, self.filled = None, 0

    def finish(self):
        if self.start != self.height:
            raise CommandError(f"cannot write {self.path}: {self.start} of {self.height} rows came")
        self._end()
        try:
            os.replace(self.temporary, self.path)
        except OSError as exc:
            self.abort()
            raise CommandError(f"cannot write {self.path}: {exc.strerror or exc}") from None
        self.temporary = None

    def abort(self):
        if self.temporary is not None:
            self._stop()
            self._remove(self.temporary)
            self.temporary = None


class TiffWriter(_Writer):
    """A tiled TIFF, written by tifffile in a thread from rows of tiles on a bounded queue."""

    block_rows = TILE

    def __init__(self, path, compression, icc, alpha):
        super().__init__(path)
        self.compression, self.icc, self.alpha = compression, icc, alpha
        self.queue, self.thread, self.error, self.stopped = queue.Queue(QUEUE_DEPTH), None, None, threading.Event()

    def _begin(self):
        try:
            # "x": O_EXCL, never writing through a file someone else made; the umask sets the mode of a new file.
            self.stream = open(self.temporary, "xb")  # noqa: SIM115 (closed by the writer thread)
        except OSError as exc:
            self.temporary = None
            raise CommandError(f"cannot write {self.path}: {exc.strerror or exc}") from None
        mode = pictures._existing_mode(self.path)
        if mode is not None:
            os.fchmod(self.stream.fileno(), mode)
        self.thread = threading.Thread(target=self._run, name="korvane-tiff", daemon=True)
        self.thread.start()

    def _run(self):
        tifffile = importlib.import_module("tifffile")
        colour = self.channels - (1 if self.alpha else 0)
        size = self.height * self.width * self.channels * self.dtype.itemsize
        try:
            # BigTIFF once the file may pass 4 GB: the samples, what compression may add, and the tables.
            with tifffile.TiffWriter(self.stream, bigtiff=size + size // 64 + (1 << 24) >= 1 << 32) as tif:
                tif.write(
                    self._tiles(),
                    shape=(self.height, self.width, self.channels) if self.channels > 1 else (self.height, self.width),
                    dtype=self.dtype,
                    photometric="rgb" if colour == 3 else "minisblack",
                    extrasamples=["unassalpha"] if self.alpha else None,
                    tile=(TILE, TILE),
                    compression=self.compression,
                    iccprofile=self.icc or None,
                    metadata=None,
                )
        except BaseException as exc:
            self.error = exc
        finally:
            self.stream.close()

    def _tiles(self):
        while True:
            item = self.queue.get()
            if item is _END:
                if self.stopped.is_set():
                    raise _Stopped
                return
            for x in range(0, self.width, TILE):
                yield item[:, x : x + TILE] if self.channels > 1 else item[:, x : x + TILE, 0]

    def _emit(self, block, start):
        while True:
            if self.error is not None or not self.thread.is_alive():
                raise CommandError(f"cannot write {self.path}: {_reason(self.error)}")
            try:
                self.queue.put(block, timeout=0.1)
                return
            except queue.Full:
                continue

    def _end(self):
        self._emit(_END, None)
        self.thread.join()
        if self.error is not None:
            self.abort()
            raise CommandError(f"cannot write {self.path}: {_reason(self.error)}")

    def _stop(self):
        if self.thread is not None and self.thread.is_alive():
            self.stopped.set()
            with contextlib.suppress(queue.Empty):
                while True:
                    self.queue.get_nowait()
            self.queue.put(_END)
            self.thread.join()

    @staticmethod
    def _remove(path):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


class _Stopped(Exception):
    """The run stopped before the picture was complete: tifffile's write is abandoned."""


class ZarrWriter(_Writer):
    """A zarr (v3) array (H, W, C) of samples in chunks of whole rows, assigned a chunk at a time."""

    def _begin(self):
        zarr = importlib.import_module("zarr")
        row = self.width * self.channels * self.dtype.itemsize
        self.block_rows = max(1, min(self.height, ZARR_CHUNK_BYTES // row))
        try:
            self.array = zarr.create_array(
                store=str(self.temporary),
                shape=(self.height, self.width, self.channels),
                chunks=(self.block_rows, self.width, self.channels),
                dtype=self.dtype,
                zarr_format=3,
            )
        except Exception as exc:
            self._remove(self.temporary)
            self.temporary = None
            raise CommandError(f"cannot write {self.path}: {_reason(exc)}") from None

    def _emit(self, block, start):
        try:
            self.array[start : start + len(block)] = block
        except Exception as exc:
            raise CommandError(f"cannot write {self.path}: {_reason(exc)}") from None

    def _end(self):
        pass

    def _stop(self):
        pass

    @staticmethod
    def _remove(path):
        shutil.rmtree(path, ignore_errors=True)


def writer_for(args, path, picture):
    """The writer of ``path``'s format for ``picture``'s samples."""
    if Path(path).suffix.lower() == ".zarr":
        return ZarrWriter(path)
    return TiffWriter(path, _compression(args), picture.icc_profile, picture.alpha is not None)


def write_samples(args, path, values, alpha, picture):
    """Write whole host samples (H, W) or (H, W, 3) and ``alpha`` with the band writers (one band)."""
    if alpha is not None:
        values = numpy.dstack([values, alpha.astype(values.dtype)])
    writer = writer_for(args, path, picture)
    channels = 1 if values.ndim == 2 else values.shape[2]
    try:
        writer.open(values.shape[0], values.shape[1], channels, values.dtype)
        writer.write(values)
        writer.finish()
    except BaseException:
        writer.abort()
        raise


def _luma(xp, band):
    grey = band[:, :, 0] * numpy.float32(pictures.LUMA[0])
    grey += band[:, :, 1] * numpy.float32(pictures.LUMA[1])
    grey += band[:, :, 2] * numpy.float32(pictures.LUMA[2])
    return grey


def _host(xp, array):
    return array if xp is numpy else xp.asnumpy(array)


class Bands:
    """``upscale_tiled``'s ``out``: float32 bands of result rows, as samples of ``picture``'s depth, to ``writer``.

    Each band is refused if it holds NaN or infinity (the partial file is then removed by
    the caller's ``abort``); a grey picture's 3-channel result becomes luma; the alpha
    plane is enlarged a band at a time, from the rows of the picture around the band.
    ``shape`` is that of the rows written so far.
    """

    def __init__(self, xp, picture, writer):
        self.xp, self.picture, self.writer, self.rows, self.width, self.channels = xp, picture, writer, 0, 0, 0
        self.notes = []
        if isinstance(writer, ZarrWriter) and picture.icc_profile:
            self.notes.append(
                f"zarr holds no colour profile: the ICC profile of the picture is left out of {writer.path}"
            )

    @property
    def shape(self):
        return self.rows, self.width, self.channels

    def __call__(self, rows, band):
        from korvane._checks import host_flags

        xp, picture = self.xp, self.picture
        (good,) = host_flags(xp, xp.isfinite(band).all())
        if not good:
            bad = int(_host(xp, xp.count_nonzero(~xp.isfinite(band))))
            raise CommandError(
                f"the model returned NaN or infinity in {bad} of the {band.size} samples of result rows "
                f"{rows.start} to {rows.stop - 1}; nothing was written"
            )
        height, width = picture.values.shape[:2]
        dtype = picture.values.dtype
        if self.rows == 0:
            self.scale = band.shape[1] // width
            self.width, self.channels = band.shape[1], 1 if picture.grey else 3
            stored = self.channels + (picture.alpha is not None)
            self.writer.open(height * self.scale, self.width, stored, dtype)
        if band.shape[2] == 3 and picture.grey:
            values = _luma(xp, band)
        else:
            # The engine reuses the band's memory once this returns: converting it in place saves a copy.
            values = band[:, :, 0] if band.shape[2] == 1 else band
        samples = _host(xp, pictures.to_samples(xp, values, picture.maximum, dtype))
        if picture.alpha is not None:
            samples = numpy.dstack([samples, self._alpha(rows, dtype)])
        self.writer.write(samples)
        self.rows = rows.stop

    def _alpha(self, rows, dtype):
        """The alpha of result ``rows``: the picture's rows around them, enlarged bilinearly, cut to the band."""
        from korvane.transform.resize import INTER_LINEAR, resize

        xp, s, alpha = self.xp, self.scale, self.picture.alpha
        first = max(0, rows.start // s - 1)  # a row of margin each side: the taps of the band's edge rows
        last = min(alpha.shape[0], -(-rows.stop // s) + 1)
        plane = pictures.to_unit(xp, alpha[first:last], self.picture.maximum)
        big = resize(plane, (self.width, (last - first) * s), interpolation=INTER_LINEAR)
        part = big[rows.start - first * s : rows.stop - first * s]
        return _host(xp, pictures.to_samples(xp, part, self.picture.maximum, dtype))

    def finish(self):
        self.writer.finish()

    def abort(self):
        self.writer.abort()


def open_bands(args, xp, picture, target):
    """:class:`Bands` for ``target`` where its format is written band by band (and no --outscale), else None."""
    if args.outscale is not None or not streams(target):
        return None
    return Bands(xp, picture, writer_for(args, target, picture))


# ---- on a dask cluster -------------------------------------------------------------------------------


def check_cluster(args, plan, target):
    """Refuse what --scheduler and --workers do not take, before any work."""
    if args.scheduler is None and args.workers is None:
        return
    option = "--scheduler" if args.scheduler is not None else "--workers"
    if not plan.single:
        raise CommandError(f"{option} takes one INPUT picture and an OUTPUT file, not a folder", EXIT_USAGE)
    if Path(target).suffix.lower() not in (".tif", ".tiff", ".zarr"):
        raise CommandError(f"{option} writes .tif, .tiff or .zarr OUTPUTs only, got {target}", EXIT_USAGE)
    if args.outscale is not None:
        raise CommandError(f"{option} does not take --outscale", EXIT_USAGE)
    if optional("dask") is None or optional("distributed") is None or optional("tifffile") is None:
        raise CommandError(f'{option} needs dask and distributed: pip install "korvane[dask,big]"')


def _client(args):
    import logging

    from distributed import Client, LocalCluster

    if args.scheduler is not None:
        try:
            return Client(args.scheduler, timeout=30), None
        except Exception as exc:
            raise CommandError(f"--scheduler {args.scheduler}: cannot connect: {_reason(exc)}") from None
    cluster = LocalCluster(
        n_workers=args.workers,
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",  # any free port: a second run or another cluster is no clash
        silence_logs=logging.CRITICAL,
    )
    return Client(cluster), cluster


def run_on_cluster(args, model, prepared, target, channels):
    """Upscale the prepared picture on a dask cluster and write ``target`` a band of chunks at a time.

    Returns the result's scale. Two bands are computed ahead of the one being written.
    """
    import dask.array as da

    from korvane.upscale.dask import upscale_tiled

    picture = prepared.picture
    tile, overlap, batch = prepared.sizes
    context = args.context if args.context is not None else getattr(model, "context", None) or 0
    height, width = picture.values.shape[:2]
    step = (tile[0] - overlap[0], tile[1] - overlap[1])
    cols = max(1, 1024 // step[1])  # input chunks of about 1024 columns
    unit = UnitPicture(numpy, picture.values, picture.maximum, channels)
    array = da.from_array(
        unit,
        chunks=(step[0] * 8, step[1] * cols, channels),
        meta=numpy.empty((0, 0, 0), numpy.float32),
        name=f"korvane-picture-{os.getpid()}-{id(unit)}",
        asarray=False,
    )
    options = dict(tile_size=tile, overlap=overlap, batch_size=batch, window=args.window, context=context)
    client, cluster = _client(args)
    bands = Bands(numpy, picture, writer_for(args, target, picture))
    try:
        probe = upscale_tiled(array, model, chunk_tiles=(1, cols), **options)
        scale, out = probe.shape[0] // height, probe.shape[2]
        rows = max(1, BAND_BYTES // (step[0] * scale * width * scale * out * 4))
        result = upscale_tiled(array, model, chunk_tiles=(rows, cols), scale=scale, channels=out, **options)
        edges = numpy.cumsum((0, *result.chunks[0])).tolist()
        pending = []
        for y0, y1 in itertools.pairwise(edges):
            pending.append((slice(y0, y1), client.compute(result[y0:y1])))
            if len(pending) > 2:
                bands(*_fetched(pending.pop(0)))
        while pending:
            bands(*_fetched(pending.pop(0)))
        bands.finish()
    except BaseException as exc:
        bands.abort()
        if isinstance(exc, (ValueError, TypeError)):
            raise CommandError(f"cannot upscale: {_reason(exc)}") from None
        raise
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return bands.scale


def _fetched(item):
    span, future = item
    return span, future.result()
