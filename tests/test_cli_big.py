"""``korvane upscale`` with TIFF and zarr read a box at a time and written a band at a time."""

import io

import numpy
import pytest

tifffile = pytest.importorskip("tifffile")
zarr = pytest.importorskip("zarr")

import test_cli  # noqa: E402
from test_cli import Image, _log_of_negatives, run, smooth  # noqa: E402

from korvane.cli import _big  # noqa: E402

graphs = test_cli.graphs  # the small ONNX graphs, a fixture


def _can_compress(name):
    try:
        tifffile.imwrite(io.BytesIO(), numpy.zeros((1, 1), numpy.uint8), compression=name)
    except Exception:
        return False
    return True


def picture(mode, height=45, width=58):
    """Samples of ``mode`` (L, LA, I;16, RGB, RGBA): (H, W) or (H, W, C)."""
    maximum = 65535 if mode == "I;16" else 255
    colour = smooth(height, width, 1 if mode in ("L", "LA", "I;16") else 3, maximum)
    if mode in ("LA", "RGBA"):
        # Different on every row and column: a band's alpha must come from the rows around it.
        alpha = ((numpy.arange(height)[:, None] * 23 + numpy.arange(width) * 5) % 256).astype(numpy.uint8)
        return numpy.dstack([colour, alpha])
    return colour


def read(path):
    if path.suffix == ".zarr":
        values = zarr.open_array(str(path), mode="r")[:]
        return values[:, :, 0] if values.shape[2] == 1 else values
    if path.suffix == ".png":
        with Image.open(path) as image:
            return numpy.asarray(image)
    return tifffile.imread(path)


def upscaled(capsys, tmp_path, source, target, model, *options, noted=""):
    code, _, err = run(capsys, source, tmp_path / target, "--onnx", model, "--tile-size", "16", *options)
    assert (code, err) == (0, noted), err
    return read(tmp_path / target)


COMPRESSED = [
    pytest.param(
        "RGB", ".tif", ["--compress", name], marks=pytest.mark.skipif(not _can_compress(name), reason="no codec")
    )
    for name in ("zstd", "lzw")
]


@pytest.mark.parametrize(
    "mode, suffix, options",
    [
        ("RGB", ".tif", ["--compress", "none"]),
        ("RGB", ".tif", []),  # deflate, through zlib
        ("RGBA", ".tiff", []),
        ("L", ".tif", []),  # a grey picture through an RGB model: luma, band by band
        ("LA", ".tif", []),
        ("I;16", ".tif", []),
        ("RGB", ".zarr", []),
        ("RGBA", ".zarr", []),
        ("I;16", ".zarr", []),
        *COMPRESSED,
    ],
)
def test_band_written_results_equal_the_whole_png_path(tmp_path, capsys, graphs, mode, suffix, options):
    from PIL import ImageCms

    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes() if mode == "RGB" else None
    Image.fromarray(picture(mode)).save(tmp_path / "in.png", **({"icc_profile": icc} if icc else {}))
    whole = upscaled(capsys, tmp_path, tmp_path / "in.png", "whole.png", graphs["dynamic"])
    dropped = icc is not None and suffix == ".zarr"
    left_out = f"the ICC profile of the picture is left out of {tmp_path / 'out.zarr'}"
    noted = f"korvane: note: zarr holds no colour profile: {left_out}\n"
    banded = upscaled(
        capsys,
        tmp_path,
        tmp_path / "in.png",
        f"out{suffix}",
        graphs["dynamic"],
        *options,
        noted=noted if dropped else "",
    )
    assert banded.dtype == whole.dtype
    numpy.testing.assert_array_equal(banded, whole)
    if suffix != ".zarr":
        with tifffile.TiffFile(tmp_path / f"out{suffix}") as tif:
            assert tif.pages[0].iccprofile == icc and tif.pages[0].is_tiled
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["in.png", "whole.png", f"out{suffix}"])


def _tiled(path, values):
    tifffile.imwrite(path, values, tile=(16, 16), compression="deflate", photometric=_photometric(values))


def _plain(path, values):  # uncompressed strips: read through a memory map
    tifffile.imwrite(path, values, photometric=_photometric(values))


def _pillow(path, values):  # Pillow's one deflate strip
    Image.fromarray(values).save(path, compression="tiff_deflate")


def _zarr(path, values):
    zarr.create_array(str(path), data=values if values.ndim == 3 else values[:, :, None], chunks=(16, 16, 1))


def _photometric(values):
    return "rgb" if values.ndim == 3 and values.shape[2] >= 3 else "minisblack"


@pytest.mark.parametrize(
    "store, mode, suffix",
    [
        (_tiled, "RGB", ".tif"),
        (_tiled, "RGBA", ".tif"),
        (_tiled, "I;16", ".tif"),
        (_plain, "L", ".tiff"),
        (_pillow, "RGB", ".tif"),
        (_zarr, "RGB", ".zarr"),
        (_zarr, "LA", ".zarr"),
    ],
)
def test_lazily_read_pictures_upscale_as_the_same_samples_read_whole(tmp_path, capsys, graphs, store, mode, suffix):
    values = picture(mode)
    if store is not _zarr and values.ndim == 3 and values.shape[2] == 4:
        tifffile.imwrite(
            tmp_path / f"in{suffix}", values, tile=(16, 16), photometric="rgb", extrasamples=["unassalpha"]
        )
    else:
        store(tmp_path / f"in{suffix}", values)
    assert isinstance(_big.read_picture(tmp_path / f"in{suffix}", 0).values, _big.Plane)  # not through Pillow
    Image.fromarray(values).save(tmp_path / "in.png")
    expected = upscaled(capsys, tmp_path, tmp_path / "in.png", "whole.png", graphs["dynamic"])
    numpy.testing.assert_array_equal(
        upscaled(capsys, tmp_path, tmp_path / f"in{suffix}", "out.png", graphs["dynamic"]), expected
    )


@pytest.mark.parametrize("suffix", [".tif", ".zarr"])
def test_a_band_with_nan_stops_the_run_and_leaves_no_file(tmp_path, capsys, suffix):
    Image.fromarray(picture("RGB")).save(tmp_path / "in.png")
    code, out, err = run(capsys, tmp_path / "in.png", tmp_path / f"out{suffix}", "--onnx", _log_of_negatives(tmp_path))
    assert (code, out) == (1, "") and err.count("\n") == 1
    assert err.startswith("korvane: error: the model returned NaN or infinity in ") and "nothing was written" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.png", "nan.onnx"]


def test_a_local_cluster_writes_the_samples_of_the_plain_run(tmp_path, capsys, graphs):
    Image.fromarray(picture("RGBA", 70, 90)).save(tmp_path / "in.png")
    plain = upscaled(capsys, tmp_path, tmp_path / "in.png", "plain.tif", graphs["dynamic"])
    code, out, err = run(
        capsys, tmp_path / "in.png", tmp_path / "out.zarr", "--onnx", graphs["dynamic"], "--tile-size", "16",
        "--workers", "2",
    )  # fmt: skip
    assert code == 0 and "on the dask cluster of 2 local workers" in out, err
    numpy.testing.assert_array_equal(read(tmp_path / "out.zarr"), plain)


@pytest.mark.parametrize(
    "source, target, options, code, message",
    [
        ("in.png", "out.png", ["--workers", "2"], 2, "--workers writes .tif, .tiff or .zarr OUTPUTs only"),
        ("in.png", "out.tif", ["--workers", "2", "--outscale", "1.5"], 2, "--workers does not take --outscale"),
        ("folder", "out", ["--scheduler", "tcp://127.0.0.1:1"], 2, "--scheduler takes one INPUT picture"),
        ("in.png", "out.tif", ["--workers", "2", "--scheduler", "x"], 2, "argument --scheduler: not allowed with"),
        ("in.png", "there.zarr", [], 1, "{t}/there.zarr exists: korvane does not replace a zarr folder"),
        ("five.zarr", "out.tif", [], 1, "{t}/five.zarr: expected 1 to 4 channels"),
        ("in.tif", "out.tif", ["--max-pixels", "100"], 1, "{t}/in.tif has 58x45 = 2610 pixels, more than the 100"),
        ("in.zarr", "out.tif", ["--max-pixels", "100"], 1, "{t}/in.zarr has 58x45 = 2610 pixels, more than the 100"),
        pytest.param(
            "in.png", "out.tif", ["--compress", "lzw"], 2, "--compress lzw needs imagecodecs: pip install imagecodecs",
            marks=pytest.mark.skipif(_can_compress("lzw"), reason="imagecodecs is here"),
        ),
    ],
)  # fmt: skip
def test_bad_combinations_are_refused_in_one_line(tmp_path, capsys, graphs, source, target, options, code, message):
    values = picture("RGB")
    Image.fromarray(values).save(tmp_path / "in.png")
    (tmp_path / "folder").mkdir()
    Image.fromarray(values).save(tmp_path / "folder" / "a.png")
    _tiled(tmp_path / "in.tif", values)
    _zarr(tmp_path / "in.zarr", values)
    zarr.create_array(str(tmp_path / "five.zarr"), shape=(4, 4, 5), dtype="uint8")
    zarr.create_array(str(tmp_path / "there.zarr"), shape=(4, 4, 3), dtype="uint8")
    before = sorted(p.name for p in tmp_path.iterdir())
    got, out, err = run(capsys, tmp_path / source, tmp_path / target, "--onnx", graphs["dynamic"], *options)
    assert (got, out) == (code, "")
    assert err.startswith("korvane: error: " + message.format(t=tmp_path)) and err.count("\n") == 1, err
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    if target == "there.zarr":  # what --skip-existing leaves alone
        assert run(capsys, tmp_path / source, tmp_path / target, "--onnx", graphs["dynamic"], "--skip-existing")[0] == 0
