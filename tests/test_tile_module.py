"""korvane.upscale.tile as a module: names, signatures, argument checks, error reporting."""

import sys
import traceback

import pytest

import korvane.utils.dtypes
from korvane.upscale import tile

from leakcheck import assert_no_leak

SIGNATURES = {
    "tile_image": (
        ("input_image", "tile_size", "overlap"),
        ("cp.ndarray", "int", "int", "tuple[list[cp.ndarray], tuple]"),
    ),
    "add_padding": (("input_image", "patch_size", "overlap"), ("cp.ndarray", "int", "int", "cp.ndarray")),
    "merge_tiles": (
        ("tiles", "original_shape", "padded_shape", "scale", "tile_size", "overlap"),
        ("list[cp.ndarray]", "tuple[int, int, int]", "tuple[int, int, int]", "int", "int", "int", "cp.ndarray"),
    ),
    "create_gaussian_weights": (("size", "sigma"), ("int", "int", "cp.ndarray")),
}


def docstring(*lines):
    # Lines given without the four-space indent of the function body; "" is a truly empty line.
    return "\n" + "".join(f"    {line}\n" if line else "\n" for line in lines) + "    "


def entry_names(exc_info):
    return [frame.name for frame in traceback.extract_tb(exc_info.tb) if frame.name.startswith("korvane.")]


def test_module_publishes_its_names_in_body_order(xp):
    assert list(vars(tile))[-7:] == [
        "cp",
        "to_float32",
        "tile_image",
        "add_padding",
        "merge_tiles",
        "create_gaussian_weights",
        "__test__",
    ]
    assert tile.cp is sys.modules["cupy"] is xp
    assert tile.to_float32 is korvane.utils.dtypes.to_float32
    assert tile.__test__ == {} and tile.__doc__ is None and tile.__name__ == "korvane.upscale.tile"


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature(name):
    fn = getattr(tile, name)
    params, annotations = SIGNATURES[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "korvane.upscale.tile")
    assert fn.__annotations__ == dict(zip(params + ("return",), annotations))
    assert list(fn.__annotations__) == list(params) + ["return"]
    code = fn.__code__
    assert (code.co_argcount, code.co_varnames[: len(params)]) == (len(params), params)
    assert code.co_filename == "src/korvane_source/upscale/tile"
    assert fn.__globals__ is vars(tile) and fn.__kwdefaults__ is None


def test_defaults_are_one_shared_tuple():
    assert tile.tile_image.__defaults__ == (128, 16)
    assert tile.tile_image.__defaults__ is tile.add_padding.__defaults__ is tile.merge_tiles.__defaults__
    assert tile.create_gaussian_weights.__defaults__ is None


def test_docstrings():
    assert tile.add_padding.__doc__ is None and tile.merge_tiles.__doc__ is None
    assert tile.tile_image.__doc__ == docstring(
        "Split the input image into overlapping tiles.",
        "",
        "Parameters",
        "----------",
        "input_image : cp.ndarray",
        "    Input image in the shape (height, width, channel) in RGB format.",
        "tile_size : int, optional",
        "    Size of each tile, by default 128.",
        "overlap : int, optional",
        "    Overlap between tiles, by default 16.",
        "",
        "Returns",
        "-------",
        "list[cp.ndarray]",
        "    List of image tiles, each in the shape (tile_size, tile_size, channel) in RGB format.",
    )
    assert tile.create_gaussian_weights.__doc__ == docstring(
        "Create a Gaussian weight map for tile blending.",
        "",
        "Parameters",
        "----------",
        "size : int",
        "    Size of the weight map.",
        "sigma : int",
        "    Standard deviation for the Gaussian distribution.",
        "",
        "Returns",
        "-------",
        "cp.ndarray",
        "    Gaussian weight map in the shape (size, size, 1).",
    )


TYPE_ERRORS = [
    ("merge_tiles", ((), (1, 1, 1), (1, 1, 1), 1), "tiles", "list", "tuple"),
    ("merge_tiles", ([], [300, 500, 3], (1, 1, 1), 1), "original_shape", "tuple", "list"),
    ("merge_tiles", ([], (1, 1, 1), (1, 1, 1), 2.0), "scale", "int", "float"),
    ("merge_tiles", ([], (1, 1, 1), (1, 1, 1), 1, True), "tile_size", "int", "bool"),
    ("create_gaussian_weights", (64, 8.0), "sigma", "int", "float"),
    ("create_gaussian_weights", (64.0, 8.0), "size", "int", "float"),
    ("add_padding", (None, True), "patch_size", "int", "bool"),
    ("add_padding", (None, 128, 16.0), "overlap", "int", "float"),
    ("tile_image", (None, 128, False), "overlap", "int", "bool"),
]


@pytest.mark.parametrize("name, args, param, expected, got", TYPE_ERRORS)
def test_validated_parameters(name, args, param, expected, got):
    fn = getattr(tile, name)
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert bool(getattr(info.value, "__notes__", None)) == (got == "bool")
    assert entry_names(info) == []  # a failed type test adds no entry
    assert_no_leak(lambda: fn(*args))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tile.tile_image(), "tile_image() takes at least 1 positional argument (0 given)"),
        (lambda: tile.add_padding(1, 2, 3, 4), "add_padding() takes at most 3 positional arguments (4 given)"),
        (lambda: tile.merge_tiles(*range(7)), "merge_tiles() takes at most 6 positional arguments (7 given)"),
        (
            lambda: tile.create_gaussian_weights(4),
            "create_gaussian_weights() takes exactly 2 positional arguments (1 given)",
        ),
        (lambda: tile.add_padding(None, tile_size=4), "add_padding() got an unexpected keyword argument 'tile_size'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert_no_leak(call)


@pytest.mark.parametrize(
    "original, padded, message",
    [
        ((300, 500), (352, 576, 3), "original_shape must have at least three items (height, width, channels), got 2"),
        ((), (), "original_shape must have at least three items (height, width, channels), got 0"),
        ((300, 500, 3), (352,), "padded_shape must have at least three items (height, width, channels), got 1"),
    ],
)
def test_short_shape_tuples_are_refused_before_any_work(monkeypatch, original, padded, message):
    calls = []
    monkeypatch.setattr(tile, "create_gaussian_weights", lambda *a, **k: calls.append(a))
    monkeypatch.delattr(tile, "cp")  # any use of cp would raise NameError instead
    with pytest.raises(ValueError) as info:
        tile.merge_tiles([], original, padded, 1)
    assert str(info.value) == message and calls == []
    assert entry_names(info) == ["korvane.upscale.tile.merge_tiles"]
    assert_no_leak(lambda: tile.merge_tiles([], original, padded, 1))


def test_sigma_zero_is_refused_for_a_map_that_would_hold_nan(xp):
    # An empty map holds no NaN: it comes back as for any other sigma.
    assert tile.create_gaussian_weights(0, 0).shape == tile.create_gaussian_weights(0, 3).shape == (0, 0, 1)
    for size in (1, 4):
        with pytest.raises(ValueError) as info:
            tile.create_gaussian_weights(size, 0)
        assert str(info.value) == "sigma must not be 0"
    assert entry_names(info) == ["korvane.upscale.tile.create_gaussian_weights"]
    # A scaled tile size below 4 gives sigma 0 inside a merge.
    tiles, padded = tile.tile_image(xp.zeros((4, 4, 1)), 1, 0)
    with pytest.raises(ValueError) as info:
        tile.merge_tiles(tiles, (4, 4, 1), padded, 3, 1, 0)
    assert str(info.value) == "sigma must not be 0"
    assert entry_names(info) == ["korvane.upscale.tile.merge_tiles", "korvane.upscale.tile.create_gaussian_weights"]
    assert_no_leak(lambda: tile.merge_tiles(tiles, (4, 4, 1), padded, 3, 1, 0))


@pytest.mark.parametrize(
    "call, error, entries",
    [
        (lambda xp: tile.add_padding(xp.zeros((4, 4, 1)), 16, 16), ZeroDivisionError, ["add_padding"]),
        (lambda xp: tile.tile_image(xp.zeros((4, 4, 1)), 16, 16), ZeroDivisionError, ["tile_image", "add_padding"]),
        (lambda xp: tile.add_padding(object()), AttributeError, ["add_padding"]),
        (lambda xp: tile.create_gaussian_weights(-1, 1), ValueError, ["create_gaussian_weights"]),
        (
            lambda xp: tile.merge_tiles([xp.zeros((8, 8, 1))], (8, 8, 1), (8, 8, 1), 1, 8, 0, x=1),
            TypeError,
            ["merge_tiles"],
        ),
    ],
)
def test_errors_from_bodies_carry_the_function_entry(xp, call, error, entries):
    with pytest.raises(error) as info:
        call(xp)
    assert entry_names(info) == [f"korvane.upscale.tile.{name}" for name in entries]
    assert_no_leak(lambda: call(xp))
