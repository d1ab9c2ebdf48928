"""Argument binding under random calls, against the reference binder.

Every function is called with random positional and keyword arguments (too many,
too few, duplicates, unknown names, keyword names that are str subclasses or equal
but not identical strings, keys that are not strings at all) through each calling
convention. The native function must raise what the reference raises, word for
word, with its traceback entry exactly for binding errors; and a call that fails
to bind must not run the body: every value a body could touch, `cp` and the
collaborators included, is a tripwire.
"""

import ctypes
import functools
import operator
import random
import traceback

import numpy as np
import pytest

from korvane.upscale import tile
from korvane.utils import dimention

import reference

CASES_PER_TEST = 400
FUNCTIONS = reference.DIMENTION_FUNCTIONS + reference.TILE_FUNCTIONS
CONVENTIONS = ("call", "partial", "operator.call", "tp_call", "vectorcall")
COLLABORATORS = {
    dimention: ("cp", "bgr_to_rgb", "rgb_to_bgr", "resize", "INTER_AUTO", "to_float32"),
    tile: ("cp", "to_float32"),
}


class BodyRan(Exception):
    """A function body touched one of the fuzzer's values."""


class Tripwire:
    """Any use but being passed around raises BodyRan and is logged."""

    def __init__(self, log):
        object.__setattr__(self, "_log", log)

    def _touch(self, *what):
        self._log.append(what)
        raise BodyRan("body ran")

    def __getattr__(self, name):
        self._touch("getattr", name)

    def __repr__(self):
        return "<tripwire>"


def _tripping(name):
    def method(self, *args):
        self._touch(name)

    return method


for _name in (
    "__eq__",
    "__ne__",
    "__lt__",
    "__le__",
    "__gt__",
    "__ge__",
    "__bool__",
    "__len__",
    "__iter__",
    "__getitem__",
    "__setitem__",
    "__contains__",
    "__index__",
    "__int__",
    "__float__",
    "__format__",
    "__call__",
    "__neg__",
    "__setattr__",
    "__add__",
    "__radd__",
    "__iadd__",
    "__sub__",
    "__rsub__",
    "__isub__",
    "__mul__",
    "__rmul__",
    "__imul__",
    "__truediv__",
    "__rtruediv__",
    "__floordiv__",
    "__rfloordiv__",
    "__mod__",
    "__rmod__",
    "__divmod__",
    "__rdivmod__",
    "__pow__",
    "__rpow__",
):
    setattr(Tripwire, _name, _tripping(_name))
Tripwire.__hash__ = object.__hash__


class KeyStr(str):
    """A keyword name of a str subclass (equal to, and hashing like, its text)."""


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


# Exact-type parameters: values that pass, values that fail (subclasses carry the note).
PASSING = {
    int: (0, 1, 2, 3, 4, 8, 16, 128, -1, 2**70),
    float: (None, 0.5, 2.0, float("nan")),
    list: ([], [0]),
    tuple: ((1, 2, 3), (4, 5, 6, 7), (1, 2), ()),
}
FAILING = {
    int: (True, False, 2.0, None, "3", IntSub(3), np.int64(3), [1]),
    float: (1, True, "2.0", FloatSub(2.0), np.float64(2.0), np.float32(2.0), 0j),
    list: ((), ListSub(), None, "ab", {}),
    tuple: ([1, 2, 3], TupleSub((1, 2, 3)), None, "abc", range(3)),
}
UNKNOWN_NAMES = ("bogus", "Image", "", "\u00edmage", "self", "args", "kwargs", "image_", "x" * 300)
NOT_STRINGS = (1, b"image", None, 2.5)


def native(name):
    return getattr(dimention if name in reference.DIMENTION_FUNCTIONS else tile, name)


def other_names(name):
    # Parameter names of the other functions: right words in the wrong place.
    return sorted({p for f in FUNCTIONS if f != name for p in getattr(reference, f).signature.params})


class CallMaker:
    """Draws random calls of one function; values are drawn per parameter."""

    def __init__(self, name, rng, log):
        self.signature = getattr(reference, name).signature
        self.rng, self.log = rng, log
        self.unknown = UNKNOWN_NAMES + tuple(other_names(name))

    def value(self, parameter):
        check = self.signature.checks.get(parameter)
        if check is None:
            return Tripwire(self.log)
        pool = PASSING if self.rng.random() < 0.75 else FAILING
        return self.rng.choice(pool[check[0]])

    def key(self, text, allow_non_strings):
        r = self.rng.random()
        if allow_non_strings and r < 0.04:
            return self.rng.choice(NOT_STRINGS)
        if r < 0.55:
            return text  # the interned literal
        if r < 0.8:
            return "".join(list(text))  # equal, not identical
        return KeyStr(text)

    def draw(self, allow_non_strings):
        params, rng = self.signature.params, self.rng
        k = len(params)
        if rng.random() < 0.35:
            # A binding that should succeed: a prefix by position, some of the rest by name.
            npos = rng.randint(0, k)
            chosen = [p for p in params[npos:] if rng.random() < 0.7]
            args = [self.value(p) for p in params[:npos]]
            pairs = [(self.key(p, False), self.value(p)) for p in chosen]
            rng.shuffle(pairs)
            return args, pairs
        npos = rng.randint(0, k + 2)
        args = [self.value(params[i]) if i < k else Tripwire(self.log) for i in range(npos)]
        pairs = []
        for _ in range(rng.randint(0, k + 1)):
            text = rng.choice(params) if rng.random() < 0.75 else rng.choice(self.unknown)
            value = self.value(text) if text in params else Tripwire(self.log)
            pairs.append((self.key(text, allow_non_strings), value))
        return args, pairs


# ---- the calling conventions --------------------------------------------------------------

# A prototype of our own: the attribute ctypes.pythonapi.PyObject_Vectorcall is shared by every
# module that configures it.
_vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p)(
    ("PyObject_Vectorcall", ctypes.pythonapi)
)


def vectorcall(func, args, kwnames, kwvalues):
    """PyObject_Vectorcall with a keyword-name tuple of our own: repeats and non-strings included."""
    values = (ctypes.py_object * max(1, len(args) + len(kwvalues)))(*args, *kwvalues)
    names = tuple(kwnames) if kwnames else None
    return _vectorcall(func, ctypes.addressof(values), len(args), None if names is None else id(names))


def invoke(convention, func, args, pairs, rng_split):
    """Call `func` (native or reference) with positional `args` and keyword `pairs`."""
    is_reference = isinstance(func, reference.RefFunction)
    if convention == "vectorcall":
        names, values = [k for k, _ in pairs], [v for _, v in pairs]
        if is_reference:
            return func.call_vector(args, names, values)
        return vectorcall(func, args, names, values)
    kwargs = dict(pairs)
    if convention == "call":
        return func(*args, **kwargs)
    if convention == "operator.call":
        return operator.call(func, *args, **kwargs)
    if convention == "tp_call":
        if is_reference:
            return func.call_dict(args, kwargs)
        return type(func).__call__(func, *args, **kwargs)
    # partial: a prefix of the positional values and some keywords are bound in advance.
    split, keyword_split = rng_split
    bound = dict(pairs[:keyword_split])
    later = dict(pairs[keyword_split:])
    return functools.partial(func, *args[:split], **bound)(*args[split:], **later)


def outcome(call):
    try:
        call()
    except BodyRan as exc:
        return ("body", type(exc), str(exc), None, None)
    except Exception as exc:  # compared with the reference's below
        return ("raised", type(exc), str(exc), getattr(exc, "__notes__", None), exc)
    return ("returned", None, None, None, None)


def entries_named(exc, name):
    return [frame for frame in traceback.extract_tb(exc.__traceback__) if frame.name == name]


def classify(message):
    for marker, kind in (
        ("positional argument", "count"),
        ("multiple values", "multiple"),
        ("unexpected keyword", "unexpected"),
        ("keywords must be strings", "not a string"),
        ("has incorrect type", "type"),
    ):
        if marker in message:
            return kind
    return "body"


@pytest.fixture
def tripwired(monkeypatch):
    """Both modules' collaborators (and the reference's) replaced by tripwires sharing one log."""
    log = []
    for module, names in COLLABORATORS.items():
        for name in names:
            monkeypatch.setattr(module, name, Tripwire(log))
            monkeypatch.setattr(reference, name, Tripwire(log))
    return log


@pytest.mark.parametrize("convention", CONVENTIONS)
@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_matches_the_reference(tripwired, name, convention):
    log = tripwired
    rng = random.Random(f"{name}/{convention}")
    maker = CallMaker(name, rng, log)
    func, ref = native(name), getattr(reference, name)
    full_name = f"{func.__module__}.{name}"
    seen = set()
    allow_non_strings = convention in ("tp_call", "vectorcall", "call")
    for _ in range(CASES_PER_TEST):
        args, pairs = maker.draw(allow_non_strings)
        split = (rng.randint(0, len(args)), rng.randint(0, len(pairs)))
        # Each lambda is called at once, inside this iteration.
        expected = outcome(lambda: invoke(convention, ref, args, pairs, split))  # noqa: B023
        del log[:]
        got = outcome(lambda: invoke(convention, func, args, pairs, split))  # noqa: B023
        case = (name, convention, args, pairs)
        assert got[:4] == expected[:4], case
        kind = classify(expected[2] or "")
        seen.add(kind)
        if expected[0] == "raised" and kind != "body":
            assert log == [], f"the body ran for a call that does not bind: {case}"
            # A binding error adds the function's traceback entry; a failed type test, or a call
            # the interpreter refused before the function was reached, adds none.
            stage = getattr(expected[4], "korvane_stage", None)
            entries = entries_named(got[4], full_name)
            assert len(entries) == (1 if stage == "bind" else 0), case
            if entries:
                assert entries[0].filename == func.__code__.co_filename
    wanted = {"count", "multiple", "unexpected", "body"}
    if ref.signature.checks:
        wanted.add("type")
    if allow_non_strings:
        wanted.add("not a string")
    assert wanted <= seen, f"the fuzzer never produced {wanted - seen}"
