"""Picture files in and out for the command line, through Pillow.

A file is read as integer samples (uint8, or uint16 for 16-bit greyscale) in RGB or
greyscale, with its alpha plane apart; converting to float happens later, on the array
module that computes. Writing goes to a temporary file in the output's folder, renamed
over the output only once it is complete.
"""

import os
import secrets
import warnings
from pathlib import Path

import numpy

# Output formats by extension.
FORMATS = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG", ".tif": "TIFF", ".tiff": "TIFF"}
HAS_ALPHA = {"PNG": True, "JPEG": False, "TIFF": True}
HAS_16_BITS = {"PNG": True, "JPEG": False, "TIFF": True}
# Pillow's own saving options, chosen for quality: JPEG without chroma subsampling.
SAVE_OPTIONS = {"PNG": {}, "JPEG": {"quality": 95, "subsampling": 0}, "TIFF": {"compression": "tiff_deflate"}}

# Pillow's conversion to greyscale (ITU-R 601-2 luma), used to bring a 3-channel result back to grey.
LUMA = (0.299, 0.587, 0.114)


class PictureError(Exception):
    """A picture that cannot be read or written; the message names the file."""


def pillow():
    try:
        from PIL import Image, ImageOps
    except ImportError:
        raise PictureError('reading and writing pictures needs Pillow: pip install "korvane[onnx]"') from None
    return Image, ImageOps


def output_format(path):
    """Pillow's format name for ``path``'s extension; PictureError for any other extension."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        known = ", ".join(FORMATS)
        raise PictureError(f"{path}: unknown output extension {suffix or '(none)'!r}; korvane writes {known}")
    return FORMATS[suffix]


def check_output_folder(path):
    path = Path(path)
    if path.is_dir():
        raise PictureError(f"{path} is a folder; give a file name for the output")
    folder = path.parent
    if not folder.is_dir():
        raise PictureError(f"cannot write {path}: there is no folder {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PictureError(f"cannot write {path}: the folder {folder} is not writable")


class Picture:
    """A picture's samples: ``values`` (H, W) grey or (H, W, 3) RGB, uint8 or uint16; ``alpha`` (H, W) or None.

    ``maximum`` is the value of full intensity (255 or 65535), ``mode`` Pillow's mode of the file,
    ``icc_profile`` the file's colour profile (bytes) or None.
    """

    __slots__ = ("alpha", "icc_profile", "maximum", "mode", "values")

    def __init__(self, values, alpha, maximum, mode, icc_profile=None):
        self.values, self.alpha, self.maximum, self.mode, self.icc_profile = values, alpha, maximum, mode, icc_profile

    @property
    def grey(self):
        return self.values.ndim == 2

    @property
    def bits(self):
        return 16 if self.maximum > 255 else 8

    def describe(self):
        height, width = self.values.shape[:2]
        kind = "greyscale" if self.grey else "RGB"
        return f"{width}x{height} {kind}{' with alpha' if self.alpha is not None else ''}, {self.bits}-bit"


def _open(path):
    Image, _ = pillow()
    path = Path(path)
    if not path.exists():
        raise PictureError(f"no such file: {path}")
    if path.is_dir():
        raise PictureError(f"{path} is a folder, not a picture file")
    try:
        with warnings.catch_warnings():
            # Large pictures are what this is for; Pillow's hard limit (DecompressionBombError) still holds.
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            picture = Image.open(path)
            try:
                picture.load()
            except BaseException:
                picture.close()
                raise
    except Image.DecompressionBombError as exc:
        raise PictureError(f"{path} is too large to read safely: {exc}") from None
    except OSError as exc:  # UnidentifiedImageError included
        raise PictureError(f"cannot read {path} as a picture: {exc}") from None
    return picture


def read_picture(path):
    """Read ``path`` with Pillow as a :class:`Picture`.

    Greyscale ("1", "L", "LA") stays greyscale; 16-bit greyscale ("I;16" and its byte
    orders) is read at full precision, and 32-bit integer greyscale ("I") as 16-bit,
    clipped to 0..65535. Palette pictures become RGB, or RGB with alpha where they have
    a transparent colour; CMYK, YCbCr, LAB and HSV become RGB. Colour is 8 bits per
    channel: Pillow reads 16-bit colour files at 8 bits. The EXIF orientation is applied.
    """
    _, ImageOps = pillow()
    with _open(path) as original:
        try:
            return _samples(path, ImageOps.exif_transpose(original) or original)
        except (OSError, ValueError) as exc:  # a truncated file found while converting, say
            raise PictureError(f"cannot read {path} as a picture: {exc}") from None


def _samples(path, picture):
    mode = picture.mode
    icc = picture.info.get("icc_profile")
    if mode == "F":
        raise PictureError(
            f"{path}: 32-bit floating-point pictures (mode F) are not supported; save it with 8 or 16 bits per sample"
        )
    if mode.startswith("I;16") or mode == "I":
        values = numpy.asarray(picture)
        if mode == "I":
            values = numpy.clip(values, 0, 65535)
        return Picture(values.astype(numpy.uint16), None, 65535, mode, icc)
    if mode in ("1", "L"):
        return Picture(numpy.asarray(picture.convert("L")), None, 255, mode, icc)
    if mode in ("LA", "La"):
        planes = numpy.asarray(picture.convert("LA"))
        return Picture(planes[..., 0].copy(), planes[..., 1].copy(), 255, mode, icc)
    if mode in ("RGBA", "RGBa", "PA") or (mode == "P" and "transparency" in picture.info):
        planes = numpy.asarray(picture.convert("RGBA"))
        return Picture(numpy.ascontiguousarray(planes[..., :3]), planes[..., 3].copy(), 255, mode, icc)
    return Picture(numpy.asarray(picture.convert("RGB")), None, 255, mode, icc)


def to_unit(xp, values, maximum):
    """Integer samples 0..maximum (host, any shape) as a new float32 array of module ``xp`` in [0, 1]."""
    array = xp.asarray(values).astype(xp.float32)
    array /= numpy.float32(maximum)
    return array


def to_samples(xp, array, maximum, dtype):
    """Float samples in [0, 1] (any shape, of module ``xp``) as integers 0..maximum; ``array`` is overwritten."""
    array.clip(0.0, 1.0, out=array)
    array *= maximum
    xp.rint(array, out=array)
    return array.astype(dtype)


def _temporary_name(path):
    path = Path(path)
    return path.with_name(f".{path.name}.{secrets.token_hex(4)}.part")


def write_picture(path, values, alpha=None, icc_profile=None):
    """Write host samples ``values`` (H, W) or (H, W, 3), uint8 or uint16, and ``alpha``, to ``path``.

    The format is the extension's (:data:`FORMATS`). 16-bit greyscale is written as 16-bit
    to PNG and TIFF; JPEG takes 8 bits and no alpha, so the caller reduces those first.
    The file appears complete or not at all: the samples go to a temporary file in the
    same folder, which is renamed over ``path`` once written and removed on any failure.
    """
    Image, _ = pillow()
    fmt = output_format(path)
    if alpha is not None:
        values = numpy.dstack([values, alpha.astype(values.dtype)])
    image = Image.fromarray(numpy.ascontiguousarray(values))
    options = dict(SAVE_OPTIONS[fmt])
    if icc_profile:
        options["icc_profile"] = icc_profile
    temporary = _temporary_name(path)
    try:
        # O_EXCL: never write through a file someone else made; 0o666 lets the umask decide, as for any new file.
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as exc:  # nothing was made here, so nothing is removed
        raise PictureError(f"cannot write {path}: {exc}") from None
    try:
        with os.fdopen(descriptor, "wb") as stream:
            image.save(stream, format=fmt, **options)
        os.replace(temporary, path)
    except BaseException as exc:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(exc, (OSError, ValueError)):
            raise PictureError(f"cannot write {path}: {exc}") from None
        raise
