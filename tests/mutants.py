"""Damaged picture files: valid small files of several formats with a few bytes changed, cut or added."""

import io
import random

import numpy

# Header bytes decide most decoding paths, so most edits land there.
HEADER = 120


def seed_files():
    """One small valid file per format and option, by name."""
    from PIL import Image

    rgb = (numpy.random.default_rng(0).random((13, 17, 3)) * 255).astype(numpy.uint8)
    files = {}
    for fmt, options in [
        ("PNG", {}),
        ("JPEG", {}),
        ("GIF", {}),
        ("TIFF", {}),
        ("TIFF", {"compression": "tiff_deflate"}),
    ]:
        stream = io.BytesIO()
        Image.fromarray(rgb).save(stream, format=fmt, **options)
        files[f"{fmt.lower()}{len(files)}"] = stream.getvalue()
    return files


def mutants(count, seed=0):
    """``count`` (extension, bytes) pairs, the same ones for the same ``seed``."""
    rng = random.Random(seed)
    files = seed_files()
    names = sorted(files)
    for _ in range(count):
        name = rng.choice(names)
        data = bytearray(files[name])
        for _ in range(rng.randint(1, 6)):
            at = rng.randrange(min(len(data), HEADER)) if rng.random() < 0.7 else rng.randrange(len(data))
            edit = rng.random()
            if edit < 0.6:
                data[at] = rng.randrange(256)
            elif edit < 0.8:
                del data[at : at + rng.randint(1, 20)]
            else:
                data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        yield "." + name.rstrip("0123456789").replace("jpeg", "jpg").replace("tiff", "tif"), bytes(data)
