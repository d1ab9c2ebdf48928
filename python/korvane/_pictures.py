"""Picture files in and out for the command line, through Pillow.

A file is read as integer samples (uint8, or uint16 for 16-bit greyscale) in RGB or
greyscale, with its alpha plane apart; converting to float happens later, on the array
module that computes. Writing goes to a temporary file in the output's folder, renamed
over the output only once it is complete.
"""

import contextlib
import os
import secrets
import stat
from pathlib import Path

import numpy

# Output formats by extension.
# ZARR is a folder of samples that only the command line's band writer writes (korvane.cli._big).
FORMATS = {
    ".png": "PNG",
    ".jpg": "JPEG",
    ".jpeg": "JPEG",
    ".tif": "TIFF",
    ".tiff": "TIFF",
    ".webp": "WEBP",
    ".zarr": "ZARR",
}
HAS_ALPHA = {"PNG": True, "JPEG": False, "TIFF": True, "WEBP": True, "ZARR": True}
HAS_16_BITS = {"PNG": True, "JPEG": False, "TIFF": True, "WEBP": False, "ZARR": True}
# Pillow's own saving options, chosen for quality: JPEG without chroma subsampling, lossless WebP.
SAVE_OPTIONS = {
    "PNG": {},
    "JPEG": {"quality": 95, "subsampling": 0},
    "TIFF": {"compression": "tiff_deflate"},
    "WEBP": {"lossless": True},
}

# Pillow's conversion to greyscale (ITU-R 601-2 luma), used to bring a 3-channel result back to grey.
LUMA = (0.299, 0.587, 0.114)


class PictureError(Exception):
    """A picture that cannot be read or written; the message names the file."""


# Pillow's own limit on a picture's pixels (twice its warning size), which korvane checks
# itself so that the refusal can name the option that lifts it.
DEFAULT_MAX_PIXELS = 2 * 89_478_485


def pillow():
    try:
        from PIL import Image, ImageOps
    except ImportError:
        raise PictureError('reading and writing pictures needs Pillow: pip install "korvane[onnx]"') from None
    # read_picture's max_pixels takes the place of Pillow's own guard.
    Image.MAX_IMAGE_PIXELS = None
    return Image, ImageOps


def output_format(path):
    """Pillow's format name for ``path``'s extension; PictureError for any other extension."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        known = ", ".join(FORMATS)
        raise PictureError(f"{path}: unknown output extension {suffix or '(none)'!r}; korvane writes {known}")
    return FORMATS[suffix]


def _name_max(folder):
    try:
        return os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError, AttributeError):
        return 255


def check_output_folder(path):
    """Refuse an output path that cannot be written, before any work is done."""
    path = Path(path)
    folder = path.parent
    limit = _name_max(folder)
    if len(os.fsencode(path.name)) > limit:
        raise PictureError(f"cannot write {path}: the file name is longer than {limit} bytes")
    try:
        if path.suffix.lower() == ".zarr" and path.exists():
            raise PictureError(
                f"{path} exists: korvane does not replace a zarr folder; remove it or give --skip-existing"
            )
        if path.is_dir():
            raise PictureError(f"{path} is a folder; give a file name for the output")
        if not folder.is_dir():
            raise PictureError(f"cannot write {path}: there is no folder {folder}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise PictureError(f"cannot write {path}: the folder {folder} is not writable")
    except OSError as exc:  # a path too long for the system, say
        raise PictureError(f"cannot write {path}: {exc.strerror or exc}") from None


def same_file(first, second):
    """True if the two paths name one file (a link or another spelling included)."""
    try:
        return os.path.samefile(first, second)
    except (OSError, ValueError):
        return False


class Picture:
    """A picture's samples: ``values`` (H, W) grey or (H, W, 3) RGB, uint8 or uint16; ``alpha`` (H, W) or None.

    Each is a NumPy array, or for a TIFF or zarr read lazily an array-like that reads the
    rows and columns it is sliced by (``numpy.asarray`` reads it whole).

    ``maximum`` is the value of full intensity (255 or 65535), ``mode`` Pillow's mode of the file,
    ``icc_profile`` the file's colour profile (bytes) where it describes ``values``' colour space
    (RGB or greyscale), else None. ``notes`` says what reading left out (later frames, a
    transparent colour, a colour profile), one sentence each.
    """

    __slots__ = ("alpha", "icc_profile", "maximum", "mode", "notes", "values")

    def __init__(self, values, alpha, maximum, mode, icc_profile=None, notes=()):
        self.values, self.alpha, self.maximum, self.mode, self.icc_profile = values, alpha, maximum, mode, icc_profile
        self.notes = list(notes)

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


def check_pixels(path, width, height, max_pixels):
    """Refuse a picture of more than ``max_pixels`` pixels (0: any number), naming the option that lifts it."""
    if max_pixels and width * height > max_pixels:
        raise PictureError(
            f"{path} has {width}x{height} = {width * height} pixels, more than the {max_pixels} read "
            f"without asking (a guard against decompression bombs); lift it with --max-pixels "
            f"{width * height} or --max-pixels 0"
        )


def _open(path, max_pixels):
    Image, _ = pillow()
    path = Path(path)
    try:
        exists, folder = path.exists(), path.is_dir()
    except OSError as exc:  # a name too long for the system, say
        raise PictureError(f"cannot read {path}: {exc.strerror or exc}") from None
    if not exists:
        raise PictureError(f"no such file: {path}")
    if folder:
        raise PictureError(f"{path} is a folder, not a picture file")
    try:
        picture = Image.open(path)  # the header only: the size is known before anything is decoded
        try:
            check_pixels(path, *picture.size, max_pixels)
            picture.load()
        except BaseException:
            picture.close()
            raise
    except PictureError:
        raise
    except MemoryError:
        raise
    except Exception as exc:
        # Damaged files fail in many ways inside Pillow's decoders: OSError, but also
        # SyntaxError (a broken PNG chunk), ValueError (bad dimensions, a tile outside
        # the picture) and others. Each is the file's fault, so each is one line.
        raise PictureError(f"cannot read {path} as a picture: {_reason(exc)}") from None
    return picture


def _reason(exc):
    text = " ".join(str(exc).split()) or type(exc).__name__
    return text if len(text) <= 200 else text[:197] + "..."


def read_picture(path, max_pixels=DEFAULT_MAX_PIXELS):
    """Read ``path`` with Pillow as a :class:`Picture`; refuse more than ``max_pixels`` pixels (0: any number).

    Greyscale ("1", "L", "LA") stays greyscale; 16-bit greyscale ("I;16" and its byte
    orders) is read at full precision, and 32-bit integer greyscale ("I") as 16-bit,
    clipped to 0..65535. Palette pictures become RGB, or RGB with alpha where they have
    a transparent colour (greyscale and RGB with a transparent colour likewise); LAB, and
    CMYK with its own colour profile, are converted to sRGB through that profile; other
    CMYK, YCbCr and HSV become RGB by Pillow's conversion. Colour is 8 bits per channel:
    Pillow reads 16-bit colour files at 8 bits. The EXIF orientation is applied. Only the
    first frame of an animation or the first page of a multi-page file is read, and
    :attr:`Picture.notes` says so.
    """
    _, ImageOps = pillow()
    with _open(path, max_pixels) as original:
        try:
            frames = getattr(original, "n_frames", 1)
            picture = _samples(path, ImageOps.exif_transpose(original) or original)
        except PictureError:
            raise
        except MemoryError:
            raise
        except Exception as exc:  # a truncated file found while converting, say
            raise PictureError(f"cannot read {path} as a picture: {_reason(exc)}") from None
    if frames > 1:
        picture.notes.insert(0, f"{path} has {frames} frames (or pages): only the first is upscaled")
    return picture


# ICC colour-space signatures (bytes 16 to 19 of a profile's header) of what korvane writes.
_GREY_SPACE, _RGB_SPACE = b"GRAY", b"RGB "
_SPACE_NAMES = {b"CMYK": "CMYK", b"Lab ": "Lab", b"XYZ ": "XYZ", b"YCbr": "YCbCr", b"HSV ": "HSV", b"GRAY": "grey"}


def profile_space(icc):
    """The colour-space signature of an ICC profile (b"RGB ", b"GRAY", b"CMYK", ...), or None."""
    return bytes(icc[16:20]) if icc and len(icc) >= 128 else None


def _kept_profile(path, icc, grey, notes):
    """``icc`` if it describes the samples korvane writes (greyscale or RGB), else None and a note."""
    if not icc:
        return None
    space = profile_space(icc)
    if space == (_GREY_SPACE if grey else _RGB_SPACE):
        return icc
    shown = _SPACE_NAMES.get(space, repr(space)) if space is not None else "an unreadable"
    kind = "greyscale" if grey else "RGB"
    notes.append(f"the colour profile of {path} describes {shown} colour, not {kind}: the result has no profile")
    return None


def _to_srgb(picture, icc):
    """LAB, or CMYK with its own profile, through ImageCms to sRGB; None where that cannot be done."""
    try:
        import io

        from PIL import ImageCms
    except ImportError:
        return None
    try:
        if picture.mode == "LAB":
            source = ImageCms.createProfile("LAB")
        elif picture.mode == "CMYK" and profile_space(icc) == b"CMYK":
            source = ImageCms.ImageCmsProfile(io.BytesIO(icc))
        else:
            return None
        transform = ImageCms.buildTransform(source, ImageCms.createProfile("sRGB"), picture.mode, "RGB")
        return ImageCms.applyTransform(picture, transform)
    except (ImageCms.PyCMSError, OSError, ValueError):
        return None


def _samples(path, picture):
    mode = picture.mode
    icc = picture.info.get("icc_profile")
    transparent = "transparency" in picture.info
    notes = []
    if mode == "F":
        raise PictureError(
            f"{path}: 32-bit floating-point pictures (mode F) are not supported; save it with 8 or 16 bits per sample"
        )
    if mode.startswith("I;16") or mode == "I":
        values = numpy.asarray(picture)
        if mode == "I":
            values = numpy.clip(values, 0, 65535)
        if transparent:
            # A colour key does not survive resampling, and Pillow has no 16-bit grey with alpha.
            notes.append(f"the transparent colour of {path} (16-bit greyscale) is left out")
        return Picture(values.astype(numpy.uint16), None, 65535, mode, _kept_profile(path, icc, True, notes), notes)
    if mode in ("LA", "La") or (mode in ("1", "L") and transparent):
        planes = numpy.asarray(picture.convert("LA"))
        alpha = planes[..., 1].copy()
        return Picture(planes[..., 0].copy(), alpha, 255, mode, _kept_profile(path, icc, True, notes), notes)
    if mode in ("1", "L"):
        return Picture(numpy.asarray(picture.convert("L")), None, 255, mode, _kept_profile(path, icc, True, notes))
    if mode in ("RGBA", "RGBa", "PA") or (mode in ("P", "RGB") and transparent):
        planes = numpy.asarray(picture.convert("RGBA"))
        values, alpha = numpy.ascontiguousarray(planes[..., :3]), planes[..., 3].copy()
        return Picture(values, alpha, 255, mode, _kept_profile(path, icc, False, notes), notes)
    converted = _to_srgb(picture, icc) if mode in ("LAB", "CMYK") else None
    if converted is not None:
        return Picture(numpy.asarray(converted), None, 255, mode, None, notes)
    return Picture(
        numpy.asarray(picture.convert("RGB")), None, 255, mode, _kept_profile(path, icc, False, notes), notes
    )


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
    """A hidden name beside ``path`` that fits the folder's limit on name length."""
    path = Path(path)
    suffix = f".{secrets.token_hex(4)}.part"
    room = _name_max(path.parent) - len(os.fsencode(suffix)) - 1
    name = os.fsencode(path.name)[: max(room, 1)]
    # Cut on a whole character: a partial UTF-8 sequence would not decode back.
    return path.with_name("." + name.decode(errors="ignore") + suffix)


def _existing_mode(path):
    """The permission bits of the file ``path`` replaces, or None when there is none."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return stat.S_IMODE(status.st_mode) if stat.S_ISREG(status.st_mode) else None


def write_picture(path, values, alpha=None, icc_profile=None):
    """Write host samples ``values`` (H, W) or (H, W, 3), uint8 or uint16, and ``alpha``, to ``path``.

    The format is the extension's (:data:`FORMATS`). 16-bit greyscale is written as 16-bit
    to PNG and TIFF; JPEG takes 8 bits and no alpha, so the caller reduces those first.
    The file appears complete or not at all: the samples go to a temporary file in the
    same folder, which is renamed over ``path`` once written and removed on any failure
    (an interruption included). A file that is replaced keeps its permission bits.
    """
    Image, _ = pillow()
    fmt = output_format(path)
    if fmt not in SAVE_OPTIONS:
        raise PictureError(f"cannot write {path}: korvane writes {fmt} band by band, not through Pillow")
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
        mode = _existing_mode(path)
        with os.fdopen(descriptor, "wb") as stream:
            if mode is not None:
                os.fchmod(stream.fileno(), mode)
            image.save(stream, format=fmt, **options)
        os.replace(temporary, path)
    except BaseException as exc:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        if isinstance(exc, (OSError, ValueError)):
            raise PictureError(f"cannot write {path}: {exc}") from None
        raise
