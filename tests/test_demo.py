"""The demo on the command line: the pictures it writes and how it refuses bad input."""

import re
import subprocess
import sys

import numpy
import pytest

from korvane.cli import main

Image = pytest.importorskip("PIL.Image")
pytest.importorskip("tqdm")

PICTURES = (
    "input",
    "tiles_hann",
    "tiles_merge_tiles",
    "tiles_seams",
    "pixelshift_subimages",
    "pixelshift_fused",
    "roundtrip",
)


def run(capsys, *argv):
    code = main(["demo", "--no-progress", *map(str, argv)])
    out, err = capsys.readouterr()
    return code, out, err


def read(path):
    with Image.open(path) as picture:
        assert picture.mode == "RGB"
        return numpy.asarray(picture)


def write_png(path, rgb):
    Image.fromarray(numpy.asarray(rgb, dtype=numpy.uint8), "RGB").save(path)
    return path


def test_sample_run_writes_every_picture_at_its_size(tmp_path, capsys):
    code, out, err = run(capsys, "--out", tmp_path / "o")
    assert code == 0, err
    sizes = {name: read(tmp_path / "o" / f"{name}.png").shape for name in PICTURES}
    assert sizes["input"] == (256, 384, 3)
    assert sizes["tiles_hann"] == sizes["tiles_merge_tiles"] == (512, 768, 3)  # default scale 2
    assert sizes["pixelshift_fused"] == (253, 381, 3)  # the wrapped top 3 rows and left 3 columns left out
    assert sizes["pixelshift_subimages"] == (4 * 64 + 3 * 2, 4 * 96 + 3 * 2, 3)  # 4 x 4 sub-images
    assert "bit for bit: yes" in out and "largest difference to the input" in out and "timings" in out
    if (tmp_path / "o" / "real_network.png").exists():  # with scikit-image and the waifu2x package
        ours, bicubic = map(float, re.search(r"photo ([\d.]+) dB, bicubic ([\d.]+) dB", out).groups())
        assert ours > bicubic + 1  # the network's fidelity, on a photo whose original is known


def test_previews_are_bounded_and_the_result_is_full_size(tmp_path, capsys):
    rgb = numpy.random.default_rng(4).integers(0, 256, (600, 1400, 3))
    wide = write_png(tmp_path / "wide.png", rgb)
    code, out, err = run(capsys, wide, "--out", tmp_path / "o", "--upscaler", "nearest")
    assert code == 0, err
    sizes = {name: read(tmp_path / "o" / f"{name}.png").shape for name in PICTURES}
    assert sizes["tiles_hann"] == (1200, 2800, 3)
    assert sizes["input"] == (439, 1024, 3)
    assert sizes["tiles_merge_tiles"] == (1024, 1024, 3)  # the top-left 512 x 512, at full resolution
    assert sizes["pixelshift_fused"] == (438, 1024, 3)  # 597 x 1397 after the fringe, then shrunk
    assert max(sizes["pixelshift_subimages"]) <= 1024 and max(sizes["roundtrip"]) <= 3 * 512 + 4 * 6
    assert "write tiles_hann.png (full size" in out  # writing is timed too


@pytest.mark.parametrize(
    "options, scale",
    [
        (["--upscaler", "nearest", "--tile-drift", "0", "--scale", "3", "--tile-size", "32", "--overlap", "4"], 3),
        (["--upscaler", "nearest", "--tile-drift", "0", "--overlap", "0", "--tile-size", "16"], 2),
    ],
)
def test_tile_road_on_a_file_gives_the_enlarged_picture_in_its_own_colours(tmp_path, capsys, options, scale):
    rng = numpy.random.default_rng(5)
    rgb = rng.integers(0, 256, (40, 56, 3))
    rgb[:10, :10] = (255, 0, 0)  # a red corner: a missing or doubled channel swap turns it blue
    code, _, err = run(capsys, write_png(tmp_path / "in.png", rgb), "--out", tmp_path, *options)
    assert code == 0, err
    numpy.testing.assert_array_equal(read(tmp_path / "input.png"), rgb)
    # A nearest-neighbour network without drift makes every tile agree, so each blend is exact.
    expected = rgb.repeat(scale, axis=0).repeat(scale, axis=1)
    for name in ("tiles_hann", "tiles_merge_tiles"):
        merged = read(tmp_path / f"{name}.png").astype(int)
        assert merged.shape == expected.shape
        assert numpy.abs(merged - expected).max() <= 1


@pytest.mark.parametrize(
    "fit, size, note",
    [("crop", (45, 53), "cropped 50x58 to 48x56"), ("pad", (47, 55), "padded 50x58 to 52x60")],
)
def test_pixelshift_road_fits_the_picture_to_dim_and_says_so(tmp_path, capsys, fit, size, note):
    rgb = numpy.full((50, 58, 3), (20, 140, 230))
    code, out, err = run(
        capsys,
        write_png(tmp_path / "in.png", rgb),
        "--out",
        tmp_path,
        "--dim",
        "4",
        "--fit",
        fit,
        "--tile-size",
        "32",
        "--overlap",
        "8",
        "--upscaler",
        "nearest",
    )
    assert code == 0, err
    assert err == f"korvane: note: {note} so that --dim 4 divides both sides\n"
    fused = read(tmp_path / "pixelshift_fused.png")
    assert fused.shape[:2] == size
    # A flat picture stays flat through the identity network and acc / hits.
    assert numpy.abs(fused.astype(int) - (20, 140, 230)).max() <= 1
    assert "hits 16 to 16 per pixel" in out


def test_blur_network_and_uneven_chunks_still_fuse_every_sub_image(tmp_path, capsys):
    code, out, err = run(
        capsys,
        "--out",
        tmp_path,
        "--dim",
        "3",
        "--chunk",
        "4",
        "--shift-net",
        "blur",
        "--fit",
        "crop",
        "--upscaler",
        "nearest",
    )
    assert code == 0, err
    assert "9 sub-images" in out and "hits 9 to 9 per pixel" in out
    # 256 rows cropped to 255 for --dim 3, then the wrapped 2 rows and columns left out.
    assert read(tmp_path / "pixelshift_fused.png").shape == (253, 382, 3)


def test_progress_bars_stay_off_a_file_or_pipe(tmp_path, capsys):
    code = main(["demo", "--out", str(tmp_path), "--upscaler", "nearest"])
    out, err = capsys.readouterr()
    assert code == 0
    assert err == "" and "\r" not in out


def _not_an_image(tmp_path):
    path = tmp_path / "notes.png"
    path.write_text("not a picture")
    return [path]


def _tiny_image(tmp_path):
    return [write_png(tmp_path / "tiny.png", numpy.zeros((10, 12, 3)))]


def _odd_size(tmp_path):
    return [write_png(tmp_path / "odd.png", numpy.zeros((30, 33, 3))), "--fit", "error"]


@pytest.mark.parametrize(
    "make_args, code, message",
    [
        (lambda t: [t / "missing.png"], 1, "no such file: "),
        (lambda t: [t], 1, "is a folder, not a picture file"),
        (_not_an_image, 1, "cannot read "),
        (_tiny_image, 1, "image size 10x12 needs both sides larger than --overlap 16"),
        (_odd_size, 1, "image size 30x33 is not divisible by --dim 4 (use --fit crop or --fit pad)"),
        (lambda t: ["--overlap", "128"], 2, "--overlap (128) must be smaller than --tile-size (128)"),
        (lambda t: ["--scale", "0"], 2, "--scale must be at least 1, got 0"),
        (
            lambda t: ["--tile-size", "2", "--overlap", "0", "--scale", "1"],
            2,
            "--tile-size x --scale must be at least 4, got 2 x 1",
        ),
        (lambda t: ["--dim", "four"], 2, "--dim must be a whole number, got 'four'"),
        (lambda t: ["--tile-drift", "80"], 2, "--tile-drift must be between 0 and 50 percent, got 80"),
        (lambda t: ["--backend", "tpu"], 2, "invalid choice: 'tpu'"),
        (lambda t: ["a.png", "b.png"], 2, "unrecognized arguments: b.png"),
    ],
)
def test_bad_input_is_one_line_on_stderr_and_a_nonzero_exit(tmp_path, capsys, make_args, code, message):
    got, _, err = run(capsys, "--out", tmp_path / "o", *make_args(tmp_path))
    assert got == code
    assert err.count("\n") == 1 and err.startswith("korvane: error: ") and message in err
    assert "Traceback" not in err
    assert not (tmp_path / "o").exists() or not any((tmp_path / "o").iterdir())


def test_output_folder_that_is_a_file_is_refused(tmp_path, capsys):
    (tmp_path / "taken").write_text("")
    code, _, err = run(capsys, "--out", tmp_path / "taken")
    assert code == 1 and "cannot create the output folder" in err and err.count("\n") == 1


def test_module_entry_point_reports_without_a_traceback(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "korvane", "demo", "--backend", "numpy", str(tmp_path / "missing.png")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 1
    assert result.stderr == f"korvane: error: no such file: {tmp_path / 'missing.png'}\n"


def test_missing_pillow_is_reported_before_any_output(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "PIL", None)  # from PIL import ... raises ImportError
    code, out, err = run(capsys, "--out", tmp_path / "o")
    assert (code, out) == (1, "")
    assert err == "korvane: error: the demo needs Pillow: pip install 'korvane[demo]'\n"
    assert not (tmp_path / "o").exists()
