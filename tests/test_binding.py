"""Argument binding and exact-type validation of the dimention functions, by every call path:
the messages, the traceback entries they leave and the references they hold."""

import ctypes
import functools
import operator
import sys
import types

import numpy
import pytest

import korvane.utils.dimention as dimention

from leakcheck import assert_no_leak

SOURCE = "src/korvane_source/utils/dimention"
FUNCTION_NAMES = [
    "guess_image_layout",
    "batch_to_images",
    "images_to_batch",
    "image_to_batch",
    "image_to_batch_pixelshift",
    "pixelshift_fuse",
]

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(f, values, kwnames=()):
    """PyObject_Vectorcall from C: `values` are the positional values followed by the keyword values."""
    array = (ctypes.py_object * max(len(values), 1))(*values)
    return _vectorcall(f, array, len(values) - len(kwnames), id(kwnames) if kwnames else None)


CALL_STYLES = {
    "call": lambda f, *args, **kwargs: f(*args, **kwargs),
    "partial": lambda f, *args, **kwargs: functools.partial(f, *args, **kwargs)(),
    "operator.call": operator.call,
    "vectorcall from C": lambda f, *args, **kwargs: vectorcall(f, args + tuple(kwargs.values()), tuple(kwargs)),
    # The type's call slot, with an argument tuple and a keyword dictionary.
    "tuple and dict": lambda f, *args, **kwargs: f.__call__(*args, **kwargs),
}


def function_entries(exc):
    """(name, line, globals is the module dict) of each traceback entry in the module's source."""
    entries, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE:
            entries.append((code.co_name, tb.tb_lineno, tb.tb_frame.f_globals is vars(dimention)))
        tb = tb.tb_next
    return entries


class Untouchable:
    """Stands in for `cp`: binding and validation failures must not reach the array module."""

    def __init__(self):
        self.used = []

    def __getattr__(self, name):
        self.used.append(name)
        raise AssertionError(f"cp.{name} used")


@pytest.fixture
def cp_unused(monkeypatch):
    cp = Untouchable()
    monkeypatch.setattr(dimention, "cp", cp)
    yield
    assert cp.used == []


def raised(call, error=TypeError):
    with pytest.raises(error) as excinfo:
        call()
    return excinfo.value


BINDING_FAILURES = [
    ("guess_image_layout", (), {}, "guess_image_layout() takes exactly 1 positional argument (0 given)"),
    ("guess_image_layout", (1, 2), {}, "guess_image_layout() takes exactly 1 positional argument (2 given)"),
    ("guess_image_layout", (1, 2), {"bogus": 3}, "guess_image_layout() takes exactly 1 positional argument (2 given)"),
    ("guess_image_layout", (), {"imgae": 1}, "guess_image_layout() got an unexpected keyword argument 'imgae'"),
    ("pixelshift_fuse", tuple(range(6)), {}, "pixelshift_fuse() takes exactly 5 positional arguments (6 given)"),
    ("image_to_batch", tuple(range(7)), {}, "image_to_batch() takes at most 6 positional arguments (7 given)"),
    (
        "image_to_batch_pixelshift",
        tuple(range(6)),
        {},
        "image_to_batch_pixelshift() takes at most 5 positional arguments (6 given)",
    ),
    ("image_to_batch", (), {"scalefactor": 2.0}, "image_to_batch() takes at least 1 positional argument (0 given)"),
    ("batch_to_images", (), {"layout": "NCHW"}, "batch_to_images() takes at least 1 positional argument (0 given)"),
    # The first unbound required parameter is reported by its position.
    (
        "pixelshift_fuse",
        (1, 2),
        {"start_idx": 0, "dim": 1},
        "pixelshift_fuse() takes exactly 5 positional arguments (2 given)",
    ),
    ("pixelshift_fuse", (1, 2, 3), {"dim": 1}, "pixelshift_fuse() takes exactly 5 positional arguments (3 given)"),
    (
        "pixelshift_fuse",
        (),
        {"preds": 1, "hits": 3, "start_idx": 0, "dim": 1},
        "pixelshift_fuse() takes exactly 5 positional arguments (1 given)",
    ),
    ("images_to_batch", (1,), {"images": 2}, "images_to_batch() got multiple values for keyword argument 'images'"),
    (
        "image_to_batch",
        (1, 2.0),
        {"scalefactor": 3.0},
        "image_to_batch() got multiple values for keyword argument 'scalefactor'",
    ),
    ("image_to_batch", (1,), {"scalefacter": 2.0}, "image_to_batch() got an unexpected keyword argument 'scalefacter'"),
    # Keywords are checked in the order given.
    ("image_to_batch", (1,), {"zzz": 1, "image": 2}, "image_to_batch() got an unexpected keyword argument 'zzz'"),
    (
        "image_to_batch",
        (1,),
        {"image": 2, "zzz": 1},
        "image_to_batch() got multiple values for keyword argument 'image'",
    ),
    (
        "batch_to_images",
        (1,),
        {"swap_rb": False, "batch": 2},
        "batch_to_images() got multiple values for keyword argument 'batch'",
    ),
]


@pytest.mark.parametrize("style", CALL_STYLES)
@pytest.mark.parametrize("name, args, kwargs, message", BINDING_FAILURES)
def test_binding_failure(cp_unused, style, name, args, kwargs, message):
    f = getattr(dimention, name)
    exc = raised(lambda: CALL_STYLES[style](f, *args, **kwargs))
    assert str(exc) == message
    assert function_entries(exc) == [(f"korvane.utils.dimention.{name}", FUNCTION_NAMES.index(name) + 1, True)]


def test_literal_keyword_call():
    exc = raised(lambda: dimention.image_to_batch(scalefactor=2.0))
    assert str(exc) == "image_to_batch() takes at least 1 positional argument (0 given)"


def test_keyword_names_must_be_strings():
    f = dimention.guess_image_layout
    # A keyword dictionary is checked by the interpreter's own rule, on either path.
    assert str(raised(lambda: f(**{1: 2}))) == "keywords must be strings"
    exc = raised(lambda: f.__call__(**{1: 2}))
    assert str(exc) == "keywords must be strings"
    assert function_entries(exc) == [("korvane.utils.dimention.guess_image_layout", 1, True)]
    exc = raised(lambda: vectorcall(dimention.image_to_batch, (None, 2.0), (1,)))
    assert str(exc) == "image_to_batch() keywords must be strings"
    assert function_entries(exc) == [("korvane.utils.dimention.image_to_batch", 4, True)]


class Key(str):
    pass


@pytest.mark.parametrize("style", CALL_STYLES)
@pytest.mark.parametrize("key", [Key("image"), "".join(["ima", "ge"])], ids=["str subclass", "equal string"])
def test_keyword_names_match_by_equality(style, key):
    assert key is not sys.intern("image")
    call = CALL_STYLES[style]
    image = types.SimpleNamespace(ndim=2)
    assert call(dimention.guess_image_layout, **{key: image}) == "HW"
    exc = raised(lambda: call(dimention.image_to_batch, image, **{key: image}))
    assert str(exc) == "image_to_batch() got multiple values for keyword argument 'image'"


class Int(int):
    pass


def note(param, expected, actual):
    return f"Subclasses of built-in types are rejected here: '{param}' needs an exact {expected}, not a {actual}."


def incorrect(param, expected, actual):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {actual})"


VALIDATION_FAILURES = [
    ("image_to_batch", (None,), {"scalefactor": 255}, incorrect("scalefactor", "float", "int"), None),
    (
        "images_to_batch",
        ([],),
        {"scalefactor": numpy.float64(2.0)},
        incorrect("scalefactor", "float", "numpy.float64"),
        note("scalefactor", "float", "numpy.float64"),
    ),
    ("batch_to_images", (None, True), {}, incorrect("scalefactor", "float", "bool"), None),
    ("image_to_batch_pixelshift", (None,), {"dim": 4.0}, incorrect("dim", "int", "float"), None),
    ("image_to_batch_pixelshift", (None,), {"dim": True}, incorrect("dim", "int", "bool"), note("dim", "int", "bool")),
    ("image_to_batch_pixelshift", (None, Int(2)), {}, incorrect("dim", "int", "Int"), note("dim", "int", "Int")),
    # Parameters are validated in order; the first failure is reported.
    ("image_to_batch_pixelshift", (None, 2.0), {"scalefactor": 1}, incorrect("dim", "int", "float"), None),
    ("image_to_batch_pixelshift", (None, 2), {"scalefactor": 1}, incorrect("scalefactor", "float", "int"), None),
    ("pixelshift_fuse", (None, None, None, 0.0, 2.0), {}, incorrect("start_idx", "int", "float"), None),
    ("pixelshift_fuse", (None, None, None, numpy.int64(0), 2), {}, incorrect("start_idx", "int", "numpy.int64"), None),
    ("pixelshift_fuse", (None, None, None, 0, None), {}, incorrect("dim", "int", "NoneType"), None),
    (
        "pixelshift_fuse",
        (None, None, None, 0),
        {"dim": False},
        incorrect("dim", "int", "bool"),
        note("dim", "int", "bool"),
    ),
]


@pytest.mark.parametrize("style", CALL_STYLES)
@pytest.mark.parametrize("name, args, kwargs, message, added_note", VALIDATION_FAILURES)
def test_validation_failure(cp_unused, style, name, args, kwargs, message, added_note):
    exc = raised(lambda: CALL_STYLES[style](getattr(dimention, name), *args, **kwargs))
    assert str(exc) == message
    assert getattr(exc, "__notes__", None) == (None if added_note is None else [added_note])
    # A failed type test adds no entry for the function.
    assert function_entries(exc) == []


def leak_cases():
    for name in FUNCTION_NAMES:
        f = getattr(dimention, name)
        params = f.__code__.co_varnames[: f.__code__.co_argcount]
        yield name + " too many", lambda f=f, k=len(params): f(*range(k + 1))
        yield name + " missing", lambda f=f: f()
        yield name + " missing by dict", lambda f=f, p=params: f.__call__(**{p[-1]: 0})
        yield name + " multiple", lambda f=f, p=params: f(0, **{p[0]: 0})
        yield name + " unexpected", lambda f=f: f(0, bogus=0)
        yield name + " unexpected by dict", lambda f=f: f.__call__(0, bogus=0)
        yield name + " non-string key by dict", lambda f=f: f.__call__(**{1: 2})
        yield name + " non-string key by vectorcall", lambda f=f: vectorcall(f, (0, 1), (1,))
    for i, (name, args, kwargs, _, _) in enumerate(VALIDATION_FAILURES):
        f = getattr(dimention, name)
        yield f"{name} incorrect type {i}", lambda f=f, a=args, k=kwargs: f(*a, **k)
        yield f"{name} incorrect type {i} by dict", lambda f=f, a=args, k=kwargs: f.__call__(*a, **k)


LEAK_CASES = dict(leak_cases())


@pytest.mark.parametrize("case", LEAK_CASES)
def test_failed_calls_do_not_leak(case):
    assert_no_leak(LEAK_CASES[case])
