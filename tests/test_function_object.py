"""The function objects of korvane.utils.dimention as callers see them: attributes, signatures,
docstrings, pickling, method binding and repr."""

import copy
import inspect
import json
import os
import pickle
import subprocess
import sys
import textwrap
import types
import warnings

import pytest

import korvane.utils.dimention as dimention

SOURCE = "src/korvane_source/utils/dimention"
NDARRAY, FLOAT_OR_NONE, MEAN = "cp.ndarray", "float | None", "float | tuple[float, float, float] | None"
SIZE = "int | tuple[int, int] | None"

# name: (parameters with their annotations, return annotation, defaults, line)
FUNCTIONS = {
    "guess_image_layout": ({"image": NDARRAY}, "Layout", None, 1),
    "batch_to_images": (
        {"batch": NDARRAY, "scalefactor": FLOAT_OR_NONE, "mean": MEAN, "swap_rb": "bool", "layout": "Layout"},
        "list[cp.ndarray]",
        (None, None, True, "NCHW"),
        2,
    ),
    "images_to_batch": (
        {
            "images": "cp.ndarray | list[cp.ndarray]",
            "scalefactor": FLOAT_OR_NONE,
            "size": SIZE,
            "mean": MEAN,
            "swap_rb": "bool",
            "layout": "Layout",
        },
        NDARRAY,
        (None, None, None, True, "HWC"),
        3,
    ),
    "image_to_batch": (
        {
            "image": NDARRAY,
            "scalefactor": FLOAT_OR_NONE,
            "size": SIZE,
            "mean": MEAN,
            "swap_rb": "bool",
            "layout": "Layout",
        },
        NDARRAY,
        (None, None, None, True, "HWC"),
        4,
    ),
    "image_to_batch_pixelshift": (
        {"image": NDARRAY, "dim": "int", "scalefactor": FLOAT_OR_NONE, "mean": MEAN, "swap_rb": "bool"},
        NDARRAY,
        (4, None, None, True),
        5,
    ),
    "pixelshift_fuse": (
        {"preds": NDARRAY, "acc": NDARRAY, "hits": NDARRAY, "start_idx": "int", "dim": "int"},
        "None",
        None,
        6,
    ),
}

DOCSTRINGS = {
    "guess_image_layout": (
        "\n    Infer the layout of an image array.\n\n    Args:\n"
        "        image (cp.ndarray): The input image array.\n    Returns:\n"
        "        Layout: The inferred layout of the image array.\n    "
    ),
    "batch_to_images": (
        "\n    Convert a batch of images to a list of images.\n\n    Args:\n"
        "        batch (cp.ndarray): The input batch of images with shape (N, C, H, W) or (N, H, W, C).\n\n"
        "    Returns:\n        list[cp.ndarray]: A list of images, each with shape (H, W, C).\n    "
    ),
    "images_to_batch": "\n    Convert a list of images to batches.\n    ",
    "image_to_batch": "\n    Convert a single image to a batch.\n    ",
    "image_to_batch_pixelshift": (
        "\n    (H, W, C) 画像からサブピクセル位置ごとに dim² 枚を取り出し、\n"
        "    (dim², C, H/dim, W/dim) の CHW テンソルを返す。\n    "
    ),
    "pixelshift_fuse": (
        "\n    128²→4×Nearest→roll→accumulate だけを行い、\n    平均は最後に acc / hits で計算。\n"
        "    メモリ消費は acc+hits (~ 8 MiB for dim=8) と\n    バッチ分 (最大16枚) のみ。\n    "
    ),
}


@pytest.fixture
def fn():
    """batch_to_images; its writable attributes are put back after the test."""
    f = dimention.batch_to_images
    names = ["__doc__", "__name__", "__qualname__", "__defaults__", "__kwdefaults__", "__annotations__", "__module__"]
    saved = {name: getattr(f, name) for name in names}
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for name, value in saved.items():
            setattr(f, name, value)
    f.__dict__ = {}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_definition(name):
    params, returns, defaults, line = FUNCTIONS[name]
    f = getattr(dimention, name)
    assert type(f).__name__ == "korvane_function"
    assert f.__name__ == f.func_name == f.__qualname__ == name
    assert f.__module__ == "korvane.utils.dimention"
    assert f.__globals__ is f.func_globals is vars(dimention)
    assert f.__closure__ is None and f.func_closure is None
    assert f._is_coroutine is False
    assert f.__defaults__ == defaults and f.func_defaults == f.__defaults__
    assert f.__kwdefaults__ is None
    assert list(f.__annotations__.items()) == list(params.items()) + [("return", returns)]
    assert all(type(text) is str for text in f.__annotations__.values())
    assert f.__doc__ == f.func_doc == DOCSTRINGS[name]
    code = f.__code__
    assert code is f.func_code
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, SOURCE, line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert code.co_varnames[: len(params)] == tuple(params)


def test_image_functions_share_one_defaults_tuple():
    assert dimention.image_to_batch.__defaults__ is dimention.images_to_batch.__defaults__
    assert type(dimention.image_to_batch_pixelshift.__defaults__[0]) is int


@pytest.mark.parametrize(
    "name, text",
    [
        ("guess_image_layout", "(image: 'cp.ndarray') -> 'Layout'"),
        (
            "image_to_batch_pixelshift",
            "(image: 'cp.ndarray', dim: 'int' = 4, scalefactor: 'float | None' = None, "
            "mean: 'float | tuple[float, float, float] | None' = None, swap_rb: 'bool' = True) -> 'cp.ndarray'",
        ),
        (
            "pixelshift_fuse",
            "(preds: 'cp.ndarray', acc: 'cp.ndarray', hits: 'cp.ndarray', start_idx: 'int', dim: 'int') -> 'None'",
        ),
    ],
)
def test_inspect_signature(name, text):
    assert str(inspect.signature(getattr(dimention, name))) == text


@pytest.mark.parametrize("name", FUNCTIONS)
def test_repr_and_pickling_by_name(name):
    f = getattr(dimention, name)
    assert repr(f) == f"<function {name} at {hex(id(f))}>"
    assert f.__reduce__() == name
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.deepcopy(f) is f


def test_renamed_function_shows_its_qualified_name(fn):
    fn.__qualname__ = "Outer.convert"
    assert repr(fn) == f"<function Outer.convert at {hex(id(fn))}>"
    assert fn.__reduce__() == "Outer.convert"
    assert fn.__name__ == "batch_to_images"


def test_binds_as_a_method_only_through_an_instance():
    class Image:
        ndim, shape = 3, (3, 480, 640)
        layout = dimention.guess_image_layout

    image = Image()
    bound = image.layout
    assert type(bound) is types.MethodType
    assert bound.__self__ is image and bound.__func__ is dimention.guess_image_layout
    assert image.layout() == bound() == "CHW"
    assert Image.layout is dimention.guess_image_layout
    assert dimention.guess_image_layout.__get__(None, Image) is dimention.guess_image_layout
    with pytest.raises(TypeError) as excinfo:
        image.layout(image)
    assert str(excinfo.value) == "guess_image_layout() takes exactly 1 positional argument (2 given)"


@pytest.mark.parametrize(
    "name", ["__globals__", "func_globals", "__closure__", "func_closure", "__code__", "func_code", "_is_coroutine"]
)
def test_read_only_attributes(fn, name):
    message = f"attribute '{name}' of 'korvane_function' objects is not writable"
    with pytest.raises(AttributeError) as excinfo:
        setattr(fn, name, None)
    assert str(excinfo.value) == message
    with pytest.raises(AttributeError) as excinfo:
        delattr(fn, name)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("name, alias", [("__name__", "func_name"), ("__qualname__", "__qualname__")])
def test_name_attributes_take_strings_only(fn, name, alias):
    class Text(str):
        pass

    setattr(fn, name, Text("other"))
    assert getattr(fn, alias) == "other" and type(getattr(fn, alias)) is Text
    message = f"{name} must be set to a string object"
    for change in (lambda: setattr(fn, alias, b"other"), lambda: setattr(fn, name, None), lambda: delattr(fn, alias)):
        with pytest.raises(TypeError) as excinfo:
            change()
        assert str(excinfo.value) == message
    assert getattr(fn, name) == "other"


def test_doc_and_module_take_any_value(fn):
    fn.func_doc = 42
    assert fn.__doc__ == 42
    del fn.__doc__
    assert fn.__doc__ is None and fn.func_doc is None
    fn.__module__ = ("any", "value")
    assert fn.__module__ == ("any", "value")


def test_instance_dictionary(fn):
    assert fn.__dict__ == {} and fn.func_dict is fn.__dict__
    fn.tag = "mark"
    assert fn.__dict__ == {"tag": "mark"}
    replacement = {"other": 1}
    fn.func_dict = replacement
    assert fn.__dict__ is replacement and fn.other == 1 and not hasattr(fn, "tag")
    for name in ("__dict__", "func_dict"):
        with pytest.raises(TypeError) as excinfo:
            setattr(fn, name, [("other", 1)])
        assert str(excinfo.value) == "setting function's dictionary to a non-dict"
        with pytest.raises(TypeError) as excinfo:
            delattr(fn, name)
        assert str(excinfo.value) == "function's dictionary may not be deleted"
    assert fn.__dict__ is replacement


@pytest.mark.parametrize(
    "name, alias, value, refused, message",
    [
        ("__defaults__", "func_defaults", (1.0, 2), [1.0, 2], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", "__kwdefaults__", {"mean": 1}, [("mean", 1)], "__kwdefaults__ must be set to a dict object"),
    ],
)
def test_defaults_assignment_warns(fn, name, alias, value, refused, message):
    warning = f"^changes to {name} of a korvane function"
    with pytest.warns(RuntimeWarning, match=warning) as record:
        setattr(fn, alias, value)
    assert len(record) == 1 and record[0].filename == __file__
    assert getattr(fn, name) is value
    with pytest.raises(TypeError) as excinfo:
        setattr(fn, name, refused)
    assert str(excinfo.value) == message
    with pytest.warns(RuntimeWarning, match=warning):
        setattr(fn, name, None)
    assert getattr(fn, name) is None
    with pytest.warns(RuntimeWarning, match=warning):
        setattr(fn, name, value)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        delattr(fn, name)
    assert getattr(fn, name) is None


def test_defaults_warning_raised_as_error_refuses_the_assignment(fn):
    # The test run turns warnings into errors.
    with pytest.raises(RuntimeWarning):
        fn.__defaults__ = (1.0,)
    assert fn.__defaults__ == (None, None, True, "NCHW")


def test_assigned_defaults_are_not_used_by_calls(xp):
    f = dimention.image_to_batch_pixelshift
    saved = f.__defaults__
    try:
        with pytest.warns(RuntimeWarning):
            f.__defaults__ = None
        # The required count still comes from the defaults the function was defined with.
        with pytest.raises(TypeError) as excinfo:
            f()
        assert str(excinfo.value) == "image_to_batch_pixelshift() takes at least 1 positional argument (0 given)"
        with pytest.warns(RuntimeWarning):
            f.__defaults__ = (4.0, 2, None, True)
        # Had calls used these, `dim` and `scalefactor` would fail validation.
        try:
            f(xp.zeros((8, 8, 3), dtype=xp.float32))
        except NotImplementedError:
            pass
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            f.__defaults__ = saved


def test_annotations_assignment(fn):
    replacement = {"batch": "array"}
    fn.__annotations__ = replacement
    assert fn.__annotations__ is replacement
    with pytest.raises(TypeError) as excinfo:
        fn.__annotations__ = [("batch", "array")]
    assert str(excinfo.value) == "__annotations__ must be set to a dict object"
    assert fn.__annotations__ is replacement
    for clear in (lambda: setattr(fn, "__annotations__", None), lambda: delattr(fn, "__annotations__")):
        clear()
        created = fn.__annotations__
        assert created == {} and created is not replacement
        assert fn.__annotations__ is created


# A finaliser that runs during a collection can hand out an object of a reference cycle again
# after the collector cleared it. Every field that can close a cycle refers back to the
# function here (a str-subclass name too), so the clear slot has to drop or replace all of them.
RESURRECTED = """
import gc, json, sys, warnings, weakref
import korvane.testing
xp = korvane.testing.use_numpy()
from korvane.upscale import tile
from korvane.utils import dimention
warnings.simplefilter("ignore")
module, name, args = {module}, {name!r}, {args}
fn = getattr(module, name)
delattr(module, name)

class Finaliser:
    # Runs before the clear slots; when the holder is freed, by then, the function comes back.
    def __del__(self):
        again = weakref.ref(self.fn)
        keep.append(weakref.ref(self.holder, lambda _: saved.append(again())))

class Name(str):
    pass

saved, keep = [], []
finaliser = Finaliser()
finaliser.fn, finaliser.holder = fn, type("Holder", (), {{}})()
fn.__dict__.update(finaliser=finaliser, holder=finaliser.holder)
fn.__name__ = fn.__qualname__ = Name("renamed")
fn.__name__.fn = fn.__qualname__.fn = fn
fn.__doc__ = fn.__module__ = [fn]
fn.__defaults__ = (fn,)
fn.__kwdefaults__ = fn.__annotations__ = {{"fn": fn}}
del fn, finaliser
gc.collect()
(f,) = saved

def outcome(call):
    try:
        value = call()
    except Exception as exc:
        return [type(exc).__name__, str(exc)]
    return repr(value) if isinstance(value, (str, bool, type(None), dict)) else type(value).__name__

calls = {{
    "repr": lambda: repr(f) == f"<function {{name}} at {{hex(id(f))}}>",
    "reduce": lambda: f.__reduce__(),
    "code": lambda: f.__code__.co_name,
    "call": lambda: f(*args),
    "call with a dict": lambda: type(f).__call__(f, *args, **{{}}),
    "call with too many": lambda: f(*args, *args, *args, *args),
    "bound call": lambda: f.__get__(object())(),
}}
out = {{label: outcome(call) for label, call in calls.items()}}
out.update((a, outcome(lambda: getattr(f, a))) for a in vars(type(f)))
print(json.dumps(out))
"""

CLEARED = {
    "image_to_batch": ("dimention", "(xp.ones((4, 4, 3)),)"),
    "create_gaussian_weights": ("tile", "(4, 1)"),
}


@pytest.mark.parametrize("name", CLEARED)
def test_function_handed_out_again_after_the_collector_cleared_it(name):
    module, args = CLEARED[name]
    program = RESURRECTED.format(module=module, name=name, args=args)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(program)], capture_output=True, text=True, env=env, timeout=120
    )
    assert child.returncode == 0, f"the interpreter died (exit status {child.returncode}): {child.stderr[-2000:]}"
    out = json.loads(child.stdout)
    refused = ["RuntimeError", f"{name}() was cleared by the garbage collector and can no longer be called"]
    # What can close a cycle is gone (None, or a new empty dictionary); the rest still works.
    assert {label: out.pop(label) for label in ("repr", "reduce", "code", "__name__", "__qualname__", "func_name")} == {
        "repr": "True",
        "reduce": repr(name),
        "code": repr(name),
        "__name__": repr(name),
        "__qualname__": repr(name),
        "func_name": repr(name),
    }
    assert {
        label: out.pop(label) for label in ("call", "call with a dict", "call with too many", "bound call")
    } == dict.fromkeys(["call", "call with a dict", "call with too many", "bound call"], refused)
    assert out.pop("__code__") == out.pop("func_code") == "code"
    assert out.pop("__dict__") == out.pop("func_dict") == out.pop("__annotations__") == "{}"
    # Everything else reads as None, False or a method: nothing dangles.
    assert set(out.values()) <= {"None", "False", "builtin_function_or_method", "method-wrapper"}, out
