"""Hostile arguments, collaborators and callers.

Objects whose attributes raise or lie, comparisons that fail, collaborators that
raise, return the wrong thing or rebind the module's names in the middle of a
call, many threads at once and unbounded recursion: each ends in a Python
exception or a result, the same as the pure-Python reference gives, never in a
crash, a leak or damage to the caller's data.
"""

import gc
import os
import subprocess
import sys
import threading
import time
import traceback

import numpy as np
import pytest

from korvane.upscale import tile
from korvane.utils import dimention

import reference
from argtrees import arrays_in, clone
from leakcheck import assert_no_leak

MODULES = dict.fromkeys(reference.DIMENTION_FUNCTIONS, dimention)
MODULES.update(dict.fromkeys(reference.TILE_FUNCTIONS, tile))


class Boom(Exception):
    """Raised by the hostile objects, so that no other error is mistaken for it."""


# ---- running both sides -------------------------------------------------------------------


def summary(value, xp):
    if isinstance(value, xp.ndarray):
        host = xp.asnumpy(value)
        return ("array", host.shape, host.dtype.str, host.tobytes())
    if type(value) in (list, tuple):
        return (type(value).__name__, [summary(v, xp) for v in value])
    return ("value", type(value), value)


def run(func, xp, args, kwargs):
    args, kwargs = clone(args, xp), clone(kwargs, xp)
    inputs = arrays_in([args, kwargs], xp)
    try:
        outcome = ("returned", summary(func(*args, **kwargs), xp))
    except Exception as exc:  # compared with the other side's
        outcome = ("raised", type(exc), str(exc))
    return outcome, [summary(a, xp) for a in inputs]


def same_as_reference(xp, name, *args, **kwargs):
    """Run the native function and the reference on copies; both must end alike."""
    native = run(getattr(MODULES[name], name), xp, args, kwargs)
    expected = run(getattr(reference, name), xp, args, kwargs)
    assert native == expected
    return native[0]


@pytest.fixture
def namespaces(monkeypatch):
    """Restore both modules' (and the reference's) names afterwards in their original order.

    A name deleted and put back would otherwise move to the end of its module's dictionary.
    """
    saved = [(module, dict(vars(module))) for module in (dimention, tile, reference)]
    yield monkeypatch
    monkeypatch.undo()
    for module, names in saved:
        vars(module).clear()
        vars(module).update(names)


def patch_both(monkeypatch, name, value):
    """Replace a collaborator (or `cp`) in the native module and in the reference alike."""
    for module in (dimention, tile, reference):
        if hasattr(module, name):
            monkeypatch.setattr(module, name, value)


def traceback_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


# ---- hostile values ------------------------------------------------------------------------


class Raise:
    """A value that raises when used: a new exception like `exc` each time."""

    def __init__(self, exc):
        self.exc = exc

    def now(self):
        # A new instance each time: raising one instance again would extend its traceback.
        raise type(self.exc)(*self.exc.args)


class Fake:
    """An array-like reduced to `ndim` and `shape`; a callable shape is called at each read."""

    def __init__(self, ndim=3, shape=(8, 8, 3)):
        self._ndim, self._shape = ndim, shape

    @property
    def ndim(self):
        if isinstance(self._ndim, Raise):
            self._ndim.now()
        return self._ndim

    @property
    def shape(self):
        if isinstance(self._shape, Raise):
            self._shape.now()
        return self._shape() if callable(self._shape) else self._shape

    def __repr__(self):
        return "<fake>"


class BadEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __le__ = __gt__ = __lt__ = __ge__ = __ne__ = __eq__
    __hash__ = object.__hash__


class BadTruth:
    def __bool__(self):
        raise Boom("__bool__")


class BadTruthResults:
    """Compares to anything, but the results' truth cannot be told."""

    def __eq__(self, other):
        return BadTruth()

    __le__ = __gt__ = __lt__ = __ge__ = __ne__ = __mod__ = __eq__
    __hash__ = object.__hash__


def raising_iterator(*items):
    def shape():
        yield from items
        raise Boom("shape iteration")

    return shape


HOSTILE_LAYOUT_INPUTS = {
    "ndim raises": Fake(Raise(Boom("ndim"))),
    "ndim is text": Fake("3"),
    "ndim is a float": Fake(3.0, (3, 9, 9)),
    "ndim is None": Fake(None),
    "ndim compares by raising": Fake(BadEq()),
    "ndim's comparison has no truth": Fake(BadTruthResults()),
    "ndim huge": Fake(2**70),
    "ndim negative": Fake(-3),
    "shape raises": Fake(3, Raise(Boom("shape"))),
    "shape raises a KeyError": Fake(4, Raise(KeyError("shape"))),
    "shape is an int": Fake(3, 7),
    "shape is None": Fake(4, None),
    "shape is text": Fake(3, "abc"),
    "shape is a list": Fake(3, [3, 9, 9]),
    "shape is a mapping": Fake(3, {0: 2, -1: 9, 1: 9, 2: 9}),
    "shape is a generator": Fake(3, lambda: (n for n in (3, 9, 9))),
    "shape shorter than ndim": Fake(3, (2, 9)),
    "shape shorter than ndim, 4-D": Fake(4, (1, 3)),
    "shape longer than ndim": Fake(3, (9, 9, 3, 3)),
    "shape empty": Fake(4, ()),
    "extent huge": Fake(3, (2**70, 9, 9)),
    "extent huge and negative": Fake(3, (-(2**70), 9, 9)),
    "extents at the index limits": Fake(4, (2**63, 2**63 - 1, -(2**63), 9)),
    "extents negative": Fake(4, (-1, -3, 9, 9)),
    "extents are floats": Fake(3, (3.0, 9.5, 9)),
    "extents are NumPy integers": Fake(3, (np.int64(3), np.int64(9), np.uint8(9))),
    "extent compares by raising": Fake(3, (BadEq(), 9, 9)),
    "extent's comparison has no truth": Fake(4, (1, BadTruthResults(), 9, 9)),
    "extent not orderable": Fake(3, (object(), 9, 9)),
    "extent is text": Fake(4, (1, "3", 9, 9)),
}

LAYOUT_CALLS = {
    "guess_image_layout": lambda x: ((x,), {}),
    "image_to_batch": lambda x: ((x,), {"layout": None}),
    "images_to_batch": lambda x: (([x, x],), {"layout": "ambiguous"}),
    "batch_to_images": lambda x: ((x,), {"layout": None, "mean": 1.0}),
}


@pytest.mark.parametrize("function", LAYOUT_CALLS)
@pytest.mark.parametrize("label", HOSTILE_LAYOUT_INPUTS)
def test_hostile_ndim_and_shape_in_layout_inference(xp, function, label):
    args, kwargs = LAYOUT_CALLS[function](HOSTILE_LAYOUT_INPUTS[label])
    same_as_reference(xp, function, *args, **kwargs)


HOSTILE_PIXELSHIFT_SHAPES = {
    "raises": Raise(Boom("shape")),
    "an int": 7,
    "None": None,
    "a list": [8, 8, 3],
    "a generator": lambda: (n for n in (8, 8, 3)),
    "a short generator": lambda: (n for n in (8, 8)),
    "a long generator": lambda: (n for n in (8, 8, 3, 1)),
    "a generator that raises": raising_iterator(8),
    "a generator that raises after three": raising_iterator(8, 8, 3),
    "two items": (8, 8),
    "one item": (8,),
    "no items": (),
    "four items": (1, 8, 8, 3),
    "huge and divisible": (2**70, 8, 3),
    "huge and not divisible": (2**70 + 1, 8, 3),
    "negative": (-4, 8, 3),
    "floats": (8.0, 6.5, 3),
    "text": ("8", 8, 3),
    "remainder without truth": (BadTruthResults(), 8, 3),
}


@pytest.mark.parametrize("swap_rb", [True, False])
@pytest.mark.parametrize("label", HOSTILE_PIXELSHIFT_SHAPES)
def test_hostile_shape_in_pixelshift_split(xp, label, swap_rb):
    same_as_reference(
        xp, "image_to_batch_pixelshift", Fake(3, HOSTILE_PIXELSHIFT_SHAPES[label]), 4, None, None, swap_rb
    )


class Preds:
    """A stand-in for the network's results whose `shape` and items are the test's."""

    def __init__(self, shape, item):
        self.shape, self.item = shape, item

    def __getitem__(self, k):
        if isinstance(self.item, Raise):
            self.item.now()
        return self.item


FUSION_CASES = [
    ((), 0, 2),
    ((2**70,), 0, 2),
    (("3",), 0, 2),
    ((3.0,), 0, 2),
    ((-1,), 0, 2),
    ((2,), 2**70, 2),
    ((2,), -(2**70), 3),
    ((2,), 0, 2**70),
    ((2,), 0, -1),
    ((2,), 0, 0),
    ((0,), 0, 0),
]


# A valid result repeated 2**70 times would be a loop that does not end: that pair is left out.
@pytest.mark.parametrize(
    "item, shape, start_idx, dim",
    [
        (item, *case)
        for item in ("array", "raises", "not an array")
        for case in FUSION_CASES
        if not (item == "array" and case[0] == (2**70,))
    ],
)
def test_hostile_results_in_pixelshift_fusion(xp, item, shape, start_idx, dim):
    value = {"array": xp.ones((1, 2, 2), dtype=xp.float32), "raises": Raise(Boom("item")), "not an array": 5}[item]
    acc = xp.zeros((1, 4, 4), dtype=xp.float32)
    hits = xp.zeros((4, 4), dtype=xp.int32)
    same_as_reference(xp, "pixelshift_fuse", Preds(shape, value), acc, hits, start_idx, dim)


@pytest.mark.parametrize("function", ["add_padding", "tile_image"])
@pytest.mark.parametrize(
    "shape",
    [
        Raise(Boom("shape")),
        (),
        (8,),
        (2**70, 8, 3),
        (8, -(2**70), 3),
        (8.5, 8, 3),
        ("8", 8, 3),
        None,
        (BadTruthResults(), 8, 3),
    ],
)
def test_hostile_shape_in_padding(xp, function, shape):
    same_as_reference(xp, function, Fake(3, shape), 8, 2)


PADDED_RESULTS = {
    "two extents": lambda: Fake(2, (8, 8)),
    "four extents": lambda: Fake(4, (8, 8, 3, 1)),
    "shape raises": lambda: Fake(3, Raise(Boom("shape"))),
    "shape iterates and raises": lambda: Fake(3, raising_iterator(8, 8)),
    "None": lambda: None,
    "huge extents": lambda: Fake(3, (2**70, 2**70, 3)),
    "text extents": lambda: Fake(3, ("8", 8, 3)),
}


@pytest.mark.parametrize("label", PADDED_RESULTS)
def test_hostile_padding_result_in_tiling(monkeypatch, xp, label):
    patch_both(monkeypatch, "add_padding", lambda image, patch_size, overlap: PADDED_RESULTS[label]())
    same_as_reference(xp, "tile_image", xp.zeros((8, 8, 3)), 4, 1)


@pytest.mark.parametrize(
    "original, padded, scale",
    [
        (("a", 2, 3), (4, 4, 1), 2),
        ((4, 4, 1), ("a", 4, 1), 1),
        ((2**70, 4, 1), (4, 4, 1), 1),
        ((4, 4, 1), (2**70, 4, 1), 1),
        ((4, 4, 1), (4, 4, 1), 2**70),
        ((4, 4, 1), (4, 4, -1), 1),
        ((4, 4, 1), (4, 4, 1.5), 1),
        ((None, 4, 1), (4, 4, 1), 1),
        ((4, 4, 1), (BadTruthResults(), 4, 1), 1),
        ((-4, 4, 1), (4, 4, 1), 1),
        ((4, 4, 1), (-4, -4, 1), 1),
    ],
)
def test_hostile_shapes_in_merging(xp, original, padded, scale):
    same_as_reference(xp, "merge_tiles", [xp.ones((4, 4, 1))] * 4, original, padded, scale, 4, 2)


@pytest.mark.parametrize(
    "size, sigma", [(2**70, 1), (2**63, 1), (-(2**70), 1), (3, 2**70), (3, 10**200), (3, -(10**200)), (-1, 1)]
)
def test_huge_sizes_in_the_weight_map(xp, size, sigma):
    same_as_reference(xp, "create_gaussian_weights", size, sigma)


# ---- the mean ------------------------------------------------------------------------------


class ClaimsToBe:
    """Says through `__class__` that it is of another type, as mock objects do; isinstance (not a
    check of the real type) believes it. It converts to 0.5 and 4, has a length of 2 and iterates
    over three images."""

    def __init__(self, cls):
        self.cls = cls

    @property
    def __class__(self):
        return self.cls

    def __float__(self):
        return 0.5

    def __index__(self):
        return 4

    def __len__(self):
        return 2

    def __iter__(self):
        return iter([reference.cp.ones((4, 4, 3))] * 3)

    def __repr__(self):
        return "<claims>"


class LyingMean:
    """A sequence whose successive len() answers follow `lengths` (the last one repeats)."""

    def __init__(self, lengths, item=0.5):
        self.lengths, self.calls, self.item = list(lengths), 0, item

    def __len__(self):
        value = self.lengths[min(self.calls, len(self.lengths) - 1)]
        self.calls += 1
        if isinstance(value, Raise):
            value.now()
        return value

    def __getitem__(self, i):
        if isinstance(self.item, Raise):
            self.item.now()
        if not isinstance(i, int) or not 0 <= i < 3:
            raise IndexError(i)
        return self.item


MEANS = {
    "len raises": lambda: LyingMean([Raise(Boom("len"))]),
    "len huge": lambda: LyingMean([2**70]),
    "len negative": lambda: LyingMean([-1]),
    "len is text": lambda: LyingMean(["3"]),
    "len one, item raises": lambda: LyingMean([1], Raise(Boom("item"))),
    "len one, item is text": lambda: LyingMean([1], "x"),
    "len three, items raise": lambda: LyingMean([3], Raise(Boom("item"))),
    "len one then three": lambda: LyingMean([1, 3]),
    "len two then three": lambda: LyingMean([2, 3]),
    "len three then two": lambda: LyingMean([3, 2]),
    "no len": lambda: object(),
    "a string": lambda: "abc",
    "a one-character string": lambda: "a",
    "a set of three": lambda: {1.0, 2.0, 3.0},
    "a dict of one": lambda: {0: 1.0},
    "complex": lambda: 1j,
    "claims to be a float": lambda: ClaimsToBe(float),
    "claims to be an int": lambda: ClaimsToBe(int),
    "claims to be a tuple": lambda: ClaimsToBe(tuple),
}

MEAN_CALLS = {
    "image_to_batch": lambda xp, mean: ((xp.ones((5, 5, 3)),), {"mean": mean}),
    "batch_to_images": lambda xp, mean: ((xp.ones((2, 3, 5, 5)),), {"mean": mean}),
    "image_to_batch_pixelshift": lambda xp, mean: ((xp.ones((4, 4, 3)), 2), {"mean": mean}),
}


@pytest.mark.parametrize("function", MEAN_CALLS)
@pytest.mark.parametrize("label", MEANS)
def test_hostile_mean(xp, function, label):
    # A fresh mean for each side: the lying ones count how often they are asked.
    native_args, native_kwargs = MEAN_CALLS[function](xp, MEANS[label]())
    reference_args, reference_kwargs = MEAN_CALLS[function](xp, MEANS[label]())
    native = run(getattr(MODULES[function], function), xp, native_args, native_kwargs)
    expected = run(getattr(reference, function), xp, reference_args, reference_kwargs)
    assert native == expected


@pytest.mark.parametrize(
    "function, args, kwargs",
    [
        ("image_to_batch", lambda xp: (xp.ones((5, 5, 3)),), {"size": ClaimsToBe(int)}),
        ("images_to_batch", lambda xp: (ClaimsToBe(list),), {}),
        ("images_to_batch", lambda xp: (ClaimsToBe(tuple),), {}),
    ],
    ids=["size claims to be an int", "images claim to be a list", "images claim to be a tuple"],
)
def test_isinstance_tests_believe_what_class_says(xp, function, args, kwargs):
    same_as_reference(xp, function, *args(xp), **kwargs)


# ---- the order in which an expression reads its names --------------------------------------------


class Logged:
    """An array whose attribute reads are logged; arithmetic in place and indexing go to the array."""

    def __init__(self, array, log):
        self._array, self._log = array, log

    def __getattr__(self, name):
        self._log.append(name)
        return getattr(self._array, name)

    def __getitem__(self, key):
        return self._array[key]

    def __iadd__(self, other):
        self._array += other
        return self

    def __isub__(self, other):
        self._array -= other
        return self

    def __imul__(self, other):
        self._array *= other
        return self


class LoggingCupy:
    """The array module with its attribute reads logged; `roll` gives logged arrays."""

    def __init__(self, real, log):
        self._real, self._log = real, log

    def __getattr__(self, name):
        self._log.append("cp." + name)
        value = getattr(self._real, name)
        return (lambda *a, **k: Logged(value(*a, **k), self._log)) if name == "roll" else value


ORDER_CALLS = {
    "batch_to_images": ("rgb_to_bgr", lambda xp: ((xp.ones((2, 3, 4, 4)), 2.0, (1.0, 2.0, 3.0)), {})),
    "image_to_batch_pixelshift": ("bgr_to_rgb", lambda xp: ((xp.ones((4, 4, 3)), 2, 2.0, 1.0), {})),
    "pixelshift_fuse": (
        None,
        lambda xp: (
            (xp.ones((2, 1, 2, 2)), xp.zeros((1, 4, 4), dtype=xp.float32), xp.zeros((4, 4), dtype=xp.int32), 0, 2),
            {},
        ),
    ),
}


@pytest.mark.parametrize("function", ORDER_CALLS)
def test_names_are_read_in_the_order_the_expressions_are_written(monkeypatch, xp, function):
    # cp.array before image.dtype, cp.empty before image.dtype, up.astype before cp.float32.
    collaborator, make_args = ORDER_CALLS[function]
    logs = []
    for module in (MODULES[function], reference):
        log = []
        monkeypatch.setattr(module, "cp", LoggingCupy(xp, log))
        if collaborator:
            real = getattr(module, collaborator)
            monkeypatch.setattr(module, collaborator, lambda image, real=real, log=log: Logged(real(image), log))
        args, kwargs = make_args(xp)
        getattr(module, function)(*args, **kwargs)
        logs.append(log)
    assert logs[0] == logs[1] and len(set(logs[0])) >= 2


# ---- layout values -------------------------------------------------------------------------


class Layout:
    """A layout value: equal to the names in `equal_to`, formatted by `text`."""

    def __init__(self, equal_to=(), text="odd"):
        self.equal_to, self.text = equal_to, text

    def __eq__(self, other):
        if isinstance(self.equal_to, Raise):
            self.equal_to.now()
        return other in self.equal_to

    __hash__ = object.__hash__

    def __format__(self, spec):
        if isinstance(self.text, Raise):
            self.text.now()
        return self.text


class StrLayout(str):
    """A str subclass whose equality is its own business."""

    def __eq__(self, other):
        return str.__eq__(self.lower(), other.lower())

    __hash__ = str.__hash__


LAYOUT_VALUES = {
    "equality raises": Layout(Raise(Boom("__eq__"))),
    "equality without truth": BadTruthResults(),
    "equal to everything": Layout(("HWC", "HW", "CHW", "NHWC", "NCHW")),
    "equal to nothing": Layout(()),
    "equal only to CHW": Layout(("CHW",)),
    "equal only to HW": Layout(("HW",)),
    "str subclass, any case": StrLayout("hwc"),
    "format raises": Layout((), Raise(Boom("__format__"))),
    "format returns a non-string": Layout((), 3),
    "format returns a str subclass": Layout((), StrLayout("X")),
}


@pytest.mark.parametrize("function", ["image_to_batch", "images_to_batch", "batch_to_images"])
@pytest.mark.parametrize("label", LAYOUT_VALUES)
def test_hostile_layout_values(xp, function, label):
    image = xp.ones((2, 3, 5, 5)) if function == "batch_to_images" else xp.ones((5, 5, 3))
    same_as_reference(xp, function, image, mean=0.5, layout=LAYOUT_VALUES[label])


@pytest.mark.parametrize("function, image", [("image_to_batch", (5, 5, 3)), ("batch_to_images", (2, 3, 5, 5))])
@pytest.mark.parametrize("label", LAYOUT_VALUES)
def test_hostile_inferred_layouts(monkeypatch, xp, function, image, label):
    patch_both(monkeypatch, "guess_image_layout", lambda array: LAYOUT_VALUES[label])
    same_as_reference(xp, function, xp.ones(image), swap_rb=False, layout="inferred")


# ---- collaborators -------------------------------------------------------------------------


def raising(*args, **kwargs):
    raise Boom("collaborator")


def returning(value):
    return lambda *args, **kwargs: value


def wrong_shape(xp):
    return lambda *args, **kwargs: xp.ones((2, 2, 5))


BEHAVIOURS = {
    "raises": lambda xp: raising,
    "returns None": lambda xp: returning(None),
    "returns a list": lambda xp: returning([[1.0, 2.0, 3.0]]),
    "returns text": lambda xp: returning("HWC"),
    "returns a wrong shape": wrong_shape,
    "is not callable": lambda xp: 42,
}

COLLABORATOR_CALLS = {
    "bgr_to_rgb": [
        ("image_to_batch", lambda xp: ((xp.ones((5, 6, 3)), 2.0, None, 1.0), {})),
        ("image_to_batch_pixelshift", lambda xp: ((xp.ones((4, 4, 3)), 2, 2.0, 1.0), {})),
    ],
    "rgb_to_bgr": [("batch_to_images", lambda xp: ((xp.ones((2, 3, 4, 4)), 2.0, 1.0), {}))],
    "resize": [("image_to_batch", lambda xp: ((xp.ones((5, 6, 3)),), {"size": 4, "mean": 1.0, "swap_rb": False}))],
    "guess_image_layout": [
        ("image_to_batch", lambda xp: ((xp.ones((5, 6, 3)),), {"layout": None})),
        ("batch_to_images", lambda xp: ((xp.ones((2, 3, 5, 5)),), {"layout": None})),
    ],
    "image_to_batch": [("images_to_batch", lambda xp: (([xp.ones((5, 6, 3))] * 2,), {}))],
    "add_padding": [("tile_image", lambda xp: ((xp.ones((8, 8, 3)), 4, 1), {}))],
    "create_gaussian_weights": [
        ("merge_tiles", lambda xp: (([xp.ones((4, 4, 1))] * 4, (5, 5, 1), (6, 6, 1), 1, 4, 2), {}))
    ],
    "to_float32": [("merge_tiles", lambda xp: (([xp.ones((4, 4, 1))] * 4, (5, 5, 1), (6, 6, 1), 1, 4, 2), {}))],
}
COLLABORATOR_CASES = [
    (collaborator, function, make_args)
    for collaborator, calls in COLLABORATOR_CALLS.items()
    for function, make_args in calls
]


@pytest.mark.parametrize("behaviour", BEHAVIOURS)
@pytest.mark.parametrize(
    "collaborator, function, make_args", COLLABORATOR_CASES, ids=[f"{c}-{f}" for c, f, _ in COLLABORATOR_CASES]
)
def test_misbehaving_collaborators(monkeypatch, xp, collaborator, function, make_args, behaviour):
    patch_both(monkeypatch, collaborator, BEHAVIOURS[behaviour](xp))
    args, kwargs = make_args(xp)
    same_as_reference(xp, function, *args, **kwargs)


@pytest.mark.parametrize(
    "collaborator, function, make_args", COLLABORATOR_CASES, ids=[f"{c}-{f}" for c, f, _ in COLLABORATOR_CASES]
)
def test_collaborator_errors_pass_through_unchanged(monkeypatch, xp, collaborator, function, make_args):
    # The very exception object, with the function's traceback entry added after the collaborator's.
    error = Boom("from the collaborator")

    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(MODULES[function], collaborator, fail)
    args, kwargs = make_args(xp)
    originals = [xp.asnumpy(a) for a in arrays_in([args, kwargs], xp)]
    with pytest.raises(Boom) as info:
        getattr(MODULES[function], function)(*args, **kwargs)
    assert info.value is error and error.__context__ is None
    names = traceback_names(info.value)
    assert names[-1] == "fail" and names[-2] == f"{MODULES[function].__name__}.{function}"
    if collaborator not in ("create_gaussian_weights", "to_float32"):
        for before, after in zip(originals, arrays_in([args, kwargs], xp)):
            np.testing.assert_array_equal(xp.asnumpy(after), before)  # nothing was written yet


class HostileCupy:
    """Forwards to the real array module, except for the attributes given."""

    def __init__(self, real, **overrides):
        self._real, self._overrides = real, overrides

    def __getattr__(self, name):
        if name in self._overrides:
            value = self._overrides[name]
            if isinstance(value, Raise):
                value.now()
            return value
        return getattr(self._real, name)


CUPY_FUNCTIONS = {
    "image_to_batch": lambda xp: ((xp.ones((5, 6, 3)), 2.0, None, (1.0, 2.0, 3.0)), {}),
    "images_to_batch": lambda xp: (([xp.ones((5, 6, 3))],), {"mean": 1.0}),
    "batch_to_images": lambda xp: ((xp.ones((2, 3, 4, 4)), 2.0, 1.0), {}),
    "image_to_batch_pixelshift": lambda xp: ((xp.ones((4, 4, 3)), 2, 2.0, 1.0), {}),
    "pixelshift_fuse": lambda xp: (
        (xp.ones((2, 1, 2, 2)), xp.zeros((1, 4, 4), dtype=xp.float32), xp.zeros((4, 4), dtype=xp.int32), 0, 2),
        {},
    ),
    "add_padding": lambda xp: ((xp.ones((5, 5, 1)), 4, 1), {}),
    "tile_image": lambda xp: ((xp.ones((5, 5, 1)), 4, 1), {}),
    "merge_tiles": lambda xp: (([xp.ones((4, 4, 1))] * 4, (5, 5, 1), (6, 6, 1), 1, 4, 2), {}),
    "create_gaussian_weights": lambda xp: ((4, 1), {}),
}
HOSTILE_CUPY = {
    "None": lambda xp: None,
    "attributes raise": lambda xp: HostileCupy(
        xp,
        **{
            name: Raise(Boom(name))
            for name in (
                "array",
                "newaxis",
                "stack",
                "empty",
                "ascontiguousarray",
                "roll",
                "float32",
                "pad",
                "zeros",
                "meshgrid",
                "linspace",
                "sqrt",
                "exp",
                "sum",
            )
        },
    ),
    "functions return None": lambda xp: HostileCupy(
        xp,
        **{
            name: returning(None)
            for name in (
                "array",
                "stack",
                "empty",
                "ascontiguousarray",
                "roll",
                "pad",
                "zeros",
                "meshgrid",
                "linspace",
                "sqrt",
                "exp",
                "sum",
            )
        },
    ),
    "constants are wrong": lambda xp: HostileCupy(xp, newaxis="x", float32="no such type"),
    "meshgrid gives three grids": lambda xp: HostileCupy(xp, meshgrid=lambda *a: [a[0], a[0], a[0]]),
    "meshgrid gives one grid": lambda xp: HostileCupy(xp, meshgrid=lambda *a: [a[0]]),
    "meshgrid gives an iterator": lambda xp: HostileCupy(xp, meshgrid=lambda *a: iter(xp.meshgrid(*a))),
    "meshgrid gives no sequence": lambda xp: HostileCupy(xp, meshgrid=returning(3)),
    "empty gives a list": lambda xp: HostileCupy(xp, empty=lambda *a, **k: []),
    "pad gives a wrong rank": lambda xp: HostileCupy(xp, pad=lambda *a, **k: xp.ones((9, 9))),
}


@pytest.mark.parametrize("function", CUPY_FUNCTIONS)
@pytest.mark.parametrize("label", HOSTILE_CUPY)
def test_hostile_array_module(monkeypatch, xp, function, label):
    args, kwargs = CUPY_FUNCTIONS[function](xp)
    patch_both(monkeypatch, "cp", HOSTILE_CUPY[label](xp))
    same_as_reference(xp, function, *args, **kwargs)


@pytest.mark.parametrize("function", CUPY_FUNCTIONS)
def test_missing_array_module(namespaces, xp, function):
    args, kwargs = CUPY_FUNCTIONS[function](xp)
    for module in (MODULES[function], reference):
        namespaces.delattr(module, "cp")
    assert same_as_reference(xp, function, *args, **kwargs)[0] == "raised"
    with pytest.raises(NameError) as info:
        getattr(MODULES[function], function)(*args, **kwargs)
    assert str(info.value) == "name 'cp' is not defined"


def test_cached_builtins_are_not_looked_up_again(monkeypatch, xp):
    # ValueError and range were fetched when the modules were imported: module attributes of the
    # same names, and later changes to builtins, do not reach the bodies.
    import builtins

    value_error, image = ValueError, xp.ones((4, 4, 3))
    for module in (dimention, tile):
        monkeypatch.setattr(module, "range", raising, raising=False)
        monkeypatch.setattr(module, "ValueError", Boom, raising=False)
    assert len(tile.tile_image(xp.ones((8, 8, 3)), 4, 1)[0]) == 9
    with monkeypatch.context() as patched:
        patched.setattr(builtins, "range", raising)
        patched.setattr(builtins, "ValueError", Boom)
        try:
            dimention.image_to_batch_pixelshift(image, 0)
        except Exception as exc:  # checked below, with the real builtins back
            error = exc
        split = dimention.image_to_batch_pixelshift(image, 2, swap_rb=False)
    assert type(error) is value_error and str(error) == "dim must be \u2265 1"
    assert split.shape == (4, 3, 2, 2)


# ---- names rebound in the middle of a call -----------------------------------------------------


class Recorder:
    """The array module seen through a label: records (label, attribute) for every read."""

    def __init__(self, real, label, log, on_read=None):
        self._real, self._label, self._log, self._on_read = real, label, log, on_read

    def __getattr__(self, name):
        self._log.append((self._label, name))
        if self._on_read is not None:
            self._on_read(name)
        return getattr(self._real, name)


def rebinding_run(monkeypatch, xp, module, function, args, kwargs, trigger):
    """Call `function` with `cp` = recorder A; reading `trigger` from A rebinds `cp` to recorder B.

    Returns which recorder served each read, so that the native side and the reference can be
    compared: every use of `cp` must look the name up again.
    """
    log = []
    second = Recorder(xp, "B", log)

    def on_read(name):
        if name == trigger:
            module.cp = second

    monkeypatch.setattr(module, "cp", Recorder(xp, "A", log, on_read))
    getattr(module, function)(*clone(args, xp), **clone(kwargs, xp))
    return log


@pytest.mark.parametrize(
    "function, trigger",
    [
        ("image_to_batch_pixelshift", "ascontiguousarray"),
        ("image_to_batch_pixelshift", "array"),
        ("pixelshift_fuse", "roll"),
        ("image_to_batch", "array"),
        ("images_to_batch", "newaxis"),
        ("batch_to_images", "array"),
        ("merge_tiles", "zeros"),
        ("create_gaussian_weights", "linspace"),
        ("create_gaussian_weights", "exp"),
    ],
)
def test_cp_is_looked_up_at_each_use(monkeypatch, xp, function, trigger):
    args, kwargs = CUPY_FUNCTIONS[function](xp)
    native = rebinding_run(monkeypatch, xp, MODULES[function], function, args, kwargs, trigger)
    expected = rebinding_run(monkeypatch, xp, reference, function, args, kwargs, trigger)
    assert native == expected


def test_collaborators_rebound_while_a_list_is_converted(monkeypatch, xp):
    # Each element's conversion finds the image_to_batch of that moment; one of them empties the list.
    def run_side(module):
        calls = []
        real = module.image_to_batch

        def first(image, **options):
            calls.append("first")
            module.image_to_batch = second
            return real(image, **options)

        def second(image, **options):
            calls.append("second")
            images.clear()
            return real(image, **options)

        monkeypatch.setattr(module, "image_to_batch", first)
        images = [xp.ones((5, 5, 3)), xp.ones((5, 5, 3)), xp.ones((5, 5, 3))]
        return module.images_to_batch(images).shape, calls

    assert run_side(dimention) == run_side(reference) == ((2, 1, 3, 5, 5), ["first", "second"])


@pytest.mark.parametrize(
    "function, collaborator, name",
    [
        ("image_to_batch", "bgr_to_rgb", "cp"),
        ("image_to_batch", "resize", "INTER_AUTO"),
        ("image_to_batch_pixelshift", "bgr_to_rgb", "cp"),
        ("batch_to_images", "rgb_to_bgr", "rgb_to_bgr"),
        ("merge_tiles", "create_gaussian_weights", "to_float32"),
        ("merge_tiles", "to_float32", "to_float32"),
        ("tile_image", "add_padding", "cp"),
    ],
)
def test_names_deleted_in_the_middle_of_a_call(namespaces, xp, function, collaborator, name):
    # The collaborator deletes a module name that the rest of the call needs.
    args, kwargs = {
        "image_to_batch": lambda: ((xp.ones((5, 6, 3)), None, 4, 1.0), {}),
        "image_to_batch_pixelshift": lambda: ((xp.ones((4, 4, 3)), 2, None, 1.0), {}),
        "batch_to_images": lambda: ((xp.ones((2, 3, 4, 4)),), {}),
        "merge_tiles": lambda: CUPY_FUNCTIONS["merge_tiles"](xp),
        "tile_image": lambda: ((xp.ones((5, 5, 1)), 4, 1), {}),
    }[function]()
    for module in (MODULES[function], reference):
        real = getattr(module, collaborator)

        def deleting(*a, __module=module, __real=real, **k):
            if name in vars(__module):
                delattr(__module, name)
            return __real(*a, **k)

        setattr(module, collaborator, deleting)
    same_as_reference(xp, function, *args, **kwargs)


def test_module_namespace_cleared_in_the_middle_of_a_call(xp):
    # Everything the module body bound disappears while a body runs: the next global it needs
    # is a NameError, and the function objects work again once the names are back.
    saved = dict(vars(dimention))

    def clearing(image):
        vars(dimention).clear()
        return saved["bgr_to_rgb"](image)

    dimention.bgr_to_rgb = clearing
    try:
        with pytest.raises(NameError) as info:
            saved["image_to_batch"](xp.ones((5, 6, 3)), mean=1.0)
        assert str(info.value) == "name 'cp' is not defined"
    finally:
        vars(dimention).clear()
        vars(dimention).update(saved)
    assert dimention.image_to_batch(xp.ones((5, 6, 3)), mean=1.0).shape == (1, 3, 5, 6)


# ---- keyword dictionaries that change under the binder ------------------------------------------


class KeyName(str):
    """A keyword name of a str subclass."""


class ChangingKey(str):
    """A keyword name equal to its text; comparing it adds a key that is not a string."""

    def __eq__(self, other):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and 1 not in holder and any(k is self for k in holder):
                holder[1] = "not a keyword"
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def outcome_of(call):
    try:
        call()
    except Exception as exc:  # compared by the caller
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize("name", reference.DIMENTION_FUNCTIONS + reference.TILE_FUNCTIONS)
def test_keyword_dict_changed_during_binding(name):
    # The argument-tuple-and-dictionary call: the dictionary's keys were all strings when checked,
    # and one that is not appears while the parameters are looked up in it.
    func, ref = getattr(MODULES[name], name), getattr(reference, name)
    first = ref.signature.params[0]
    native = outcome_of(lambda: type(func).__call__(func, **{ChangingKey(first): 0}))
    expected = outcome_of(lambda: ref.call_dict((), {ChangingKey(first): 0}))
    assert native == expected == (TypeError, "keywords must be strings")


# ---- threads -----------------------------------------------------------------------------------


def thread_cases(xp):
    rng = np.random.default_rng(11)
    image = rng.integers(0, 64, (8, 8, 3)).astype(np.float32)
    batch = rng.integers(0, 64, (3, 3, 6, 6)).astype(np.float32)
    tiles_image = rng.integers(0, 255, (13, 11, 3)).astype(np.uint8)

    def merge():
        tiles, padded = tile.tile_image(xp.asarray(tiles_image), 4, 1)
        return tile.merge_tiles(tiles, tiles_image.shape, padded, 1, 4, 1)

    def fuse():
        acc = xp.zeros((3, 8, 8), dtype=xp.float32)
        hits = xp.zeros((8, 8), dtype=xp.int32)
        split = dimention.image_to_batch_pixelshift(xp.asarray(image), 2, 0.5, (1.0, 2.0, 3.0), True)
        dimention.pixelshift_fuse(split, acc, hits, 0, 2)
        return acc / hits

    def failing(call):
        def run_it():
            try:
                call()
            except Exception as exc:
                return f"{type(exc).__name__}: {exc} {getattr(exc, '__notes__', '')}"
            return "no error"

        return run_it

    return [
        lambda: dimention.guess_image_layout(xp.asarray(batch)),
        lambda: dimention.image_to_batch(xp.asarray(image), 0.5, 4, (1.0, 2.0, 3.0), True, None),
        lambda: dimention.images_to_batch([xp.asarray(image)] * 3, 2.0, None, 1.0, False),
        lambda: dimention.batch_to_images(xp.asarray(batch), 0.25, (1.0, 2.0, 3.0)),
        fuse,
        merge,
        lambda: tile.create_gaussian_weights(16, 3),
        failing(lambda: dimention.image_to_batch(xp.asarray(image), 1)),
        failing(lambda: dimention.pixelshift_fuse(1, 2, 3, True, 4)),
        failing(lambda: tile.merge_tiles([], (1, 2), (3, 4, 5), 1)),
        failing(lambda: dimention.image_to_batch_pixelshift(xp.asarray(image), 3)),
        failing(lambda: dimention.batch_to_images(xp.asarray(image), layout=None)),
    ]


def host(value, xp):
    if isinstance(value, xp.ndarray):
        return ("array", value.shape, str(value.dtype), xp.asnumpy(value).tobytes())
    if isinstance(value, (list, tuple)):
        return [host(v, xp) for v in value]
    return value


@pytest.mark.parametrize("yield_in_collaborators", [False, True])
def test_many_threads_at_once(monkeypatch, xp, yield_in_collaborators):
    if yield_in_collaborators:
        # Hand the interpreter to another thread in the middle of each call.
        for module, name in ((dimention, "bgr_to_rgb"), (dimention, "rgb_to_bgr"), (tile, "to_float32")):
            real = getattr(module, name)
            monkeypatch.setattr(module, name, lambda a, __real=real: time.sleep(0) or __real(a))
    cases = thread_cases(xp)
    expected = [host(case(), xp) for case in cases]
    failures, start = [], threading.Barrier(8)

    def worker(offset):
        try:
            start.wait()
            for round_ in range(15):
                for i in range(len(cases)):
                    k = (i + offset + round_) % len(cases)
                    if host(cases[k](), xp) != expected[k]:
                        failures.append((offset, k))
        except Exception as exc:  # reported below, in the main thread
            failures.append((offset, repr(exc)))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []


# ---- recursion -----------------------------------------------------------------------------------
#
# Each case runs in a child interpreter: a recursion that overflows the C stack kills the process,
# and the rest of the suite must still run. A case is a setup that closes a cycle through a
# collaborator, and the call that enters it; the child enters it on three stacks in turn.

RECURSIONS = {
    "guess_image_layout as a partial of image_to_batch": (
        "dimention.guess_image_layout = functools.partial(dimention.image_to_batch, layout=None)",
        "dimention.image_to_batch(xp.ones((5, 5, 3)), layout=None)",
    ),
    "guess_image_layout calling batch_to_images": (
        "dimention.guess_image_layout = lambda batch: dimention.batch_to_images(batch, layout=None)",
        "dimention.batch_to_images(xp.ones((2, 3, 5, 5)), layout=None)",
    ),
    "image_to_batch as a partial of images_to_batch": (
        "dimention.image_to_batch = functools.partial(dimention.images_to_batch)",
        "dimention.images_to_batch([xp.ones((5, 5, 3))])",
    ),
    "bgr_to_rgb as a partial of image_to_batch_pixelshift": (
        "dimention.bgr_to_rgb = functools.partial(dimention.image_to_batch_pixelshift, dim=1)",
        "dimention.image_to_batch_pixelshift(xp.ones((2, 2, 3)), 1)",
    ),
    "rgb_to_bgr calling batch_to_images": (
        "dimention.rgb_to_bgr = lambda image: dimention.batch_to_images(image[None].transpose(0, 3, 1, 2))[0]",
        "dimention.batch_to_images(xp.ones((1, 3, 2, 2)))",
    ),
    "add_padding calling tile_image": (
        "tile.add_padding = lambda image, patch_size, overlap: tile.tile_image(image, patch_size, overlap)[0][0]",
        "tile.tile_image(xp.ones((4, 4, 1)), 4, 1)",
    ),
    "create_gaussian_weights calling merge_tiles": (
        "tile.create_gaussian_weights = lambda size, sigma: tile.merge_tiles([], (4, 4, 1), (4, 4, 1), 1, 4, 1)",
        "tile.merge_tiles([], (4, 4, 1), (4, 4, 1), 1, 4, 1)",
    ),
    "to_float32 as a partial of merge_tiles": (
        "tiles = []; tiles.append(tiles)\n"
        "tile.to_float32 = functools.partial(tile.merge_tiles, original_shape=(4, 4, 1), padded_shape=(4, 4, 1),"
        " scale=1, tile_size=4, overlap=1)",
        "tile.merge_tiles(tiles, (4, 4, 1), (4, 4, 1), 1, 4, 1)",
    ),
}

CHILD = """
import functools, os, sys, threading
import korvane.testing  # registers the parent's KORVANE_BACKEND, if it names one
xp = korvane.testing.use_numpy()
from korvane.upscale import tile
from korvane.utils import dimention
{setup}
sys.setrecursionlimit({limit})
def enter(outcome):
    try:
        {call}
    except BaseException as exc:
        outcome.append(f"{{type(exc).__name__}}: {{exc}}")
    else:
        outcome.append("returned")
for stack in {stacks}:
    print(f"stack {{stack}}: ", end="", flush=True)
    outcome = []
    if stack is None:
        enter(outcome)
    else:
        threading.stack_size(stack)
        worker = threading.Thread(target=enter, args=(outcome,))
        worker.start()
        worker.join()
    print(outcome[0], flush=True)
print(dimention.image_to_batch_pixelshift(xp.ones((2, 2, 3)), 1, swap_rb=False).shape)
"""

# The smallest stack first: the first overflow of a process is the deepest (lazily made objects
# such as the traceback entries' code objects are made then).
STACKS = (2 * 1024 * 1024, 0, None)


# The interpreter's own limit, or one so high that only the C stack itself ends the recursion: in
# the calling thread, in a thread with the platform's default stack and in one of 2 MiB (where
# CPython's own C recursion, repr of nested lists for one, still stops cleanly).
@pytest.mark.parametrize("limit", [1000, 10**6])
@pytest.mark.parametrize("label", RECURSIONS)
def test_unbounded_recursion_through_a_collaborator(label, limit):
    setup, call = RECURSIONS[label]
    program = CHILD.format(setup=setup, call=call, limit=limit, stacks=STACKS)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, env=env, timeout=300)
    assert child.returncode == 0, (
        f"the interpreter died (exit status {child.returncode}) after {child.stdout!r}: {child.stderr[-2000:]}"
    )
    lines = child.stdout.splitlines()
    assert len(lines) == 4, child.stdout
    for line, stack in zip(lines, STACKS):
        assert line.startswith(f"stack {stack}: RecursionError: maximum recursion depth exceeded"), child.stdout
    assert lines[3] == "(1, 3, 2, 2)"  # the interpreter carries on


# ---- no leaks on the hostile paths ---------------------------------------------------------------


def leak_cases(xp):
    image = xp.ones((5, 6, 3))
    return {
        "ndim raises": lambda: dimention.guess_image_layout(HOSTILE_LAYOUT_INPUTS["ndim raises"]),
        "extent compares by raising": lambda: dimention.image_to_batch(
            HOSTILE_LAYOUT_INPUTS["extent compares by raising"], layout=None
        ),
        "shape shorter than ndim": lambda: dimention.batch_to_images(
            HOSTILE_LAYOUT_INPUTS["shape shorter than ndim, 4-D"], layout=None
        ),
        "pixelshift shape generator raises": lambda: dimention.image_to_batch_pixelshift(
            Fake(3, raising_iterator(8, 8)), 2
        ),
        "pixelshift huge extents": lambda: dimention.image_to_batch_pixelshift(Fake(3, (2**70 + 1, 8, 3)), 4),
        "fusion items raise": lambda: dimention.pixelshift_fuse(Preds((2,), Raise(Boom("item"))), 0, 0, 0, 2),
        "mean length raises": lambda: dimention.image_to_batch(image, mean=LyingMean([Raise(Boom("len"))])),
        "mean item raises": lambda: dimention.batch_to_images(
            xp.ones((1, 3, 2, 2)), mean=LyingMean([1], Raise(Boom("item")))
        ),
        "layout equality raises": lambda: dimention.image_to_batch(image, layout=LAYOUT_VALUES["equality raises"]),
        "padding shape raises": lambda: tile.tile_image(Fake(3, Raise(Boom("shape"))), 4, 1),
        "merge with short shapes": lambda: tile.merge_tiles([], (1,), (1, 2, 3), 1),
        "keyword named by a str subclass": lambda: type(dimention.guess_image_layout).__call__(
            dimention.guess_image_layout, 1, **{KeyName("image"): 0}
        ),
        "subclass argument": lambda: tile.create_gaussian_weights(True, 2),
        "unexpected keyword by dict": lambda: type(tile.tile_image).__call__(tile.tile_image, image, bogus=1),
    }


@pytest.mark.parametrize("label", list(leak_cases(np)))
def test_hostile_paths_do_not_leak(xp, label):
    call = leak_cases(xp)[label]
    assert_no_leak(call)


@pytest.mark.parametrize("label", ["mean length raises", "layout equality raises", "pixelshift huge extents"])
def test_hostile_arguments_keep_their_reference_counts(xp, label):
    # The arguments themselves: a missed release on an error path shows in their own counts.
    hostile = {
        "mean length raises": LyingMean([Raise(Boom("len"))]),
        "layout equality raises": Layout(Raise(Boom("__eq__"))),
        "pixelshift huge extents": Fake(3, (2**70 + 1, 8, 3)),
    }[label]
    image = xp.ones((5, 6, 3))
    call = {
        "mean length raises": lambda: dimention.image_to_batch(image, mean=hostile),
        "layout equality raises": lambda: dimention.images_to_batch([image], layout=hostile),
        "pixelshift huge extents": lambda: dimention.image_to_batch_pixelshift(hostile, 4),
    }[label]
    before = sys.getrefcount(hostile), sys.getrefcount(image)
    for _ in range(100):
        with pytest.raises(Exception):  # noqa: B017 - each case fails its own way; only the counts matter
            call()
    assert (sys.getrefcount(hostile), sys.getrefcount(image)) == before
