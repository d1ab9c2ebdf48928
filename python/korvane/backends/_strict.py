"""A strict, NumPy-backed module that stands in for ``cupy`` and fails where CuPy would.

The plain stand-in (:mod:`korvane.backends._numpy`) *is* NumPy, so code that
mixes host and device data passes on it and fails, or stalls, on a GPU. Here a
device array is a type of its own that holds a NumPy array and forwards to it,
with CuPy's refusals at the boundary:

* ``cupy.ndarray`` is not a ``numpy.ndarray``. NumPy will not convert one
  (``numpy.asarray``, ``numpy.array``, ``numpy.testing``), raising CuPy's
  "Implicit conversion to a NumPy array is not allowed" TypeError, and NumPy's
  functions and ufuncs called on one raise it too. (Real CuPy hands those to its
  own functions, NEP 13/18; refusing them makes code name its array module.)
* host arrays are refused as operands (``Unsupported type <class 'numpy.ndarray'>``)
  and ufuncs refuse lists and tuples too; only ``array``/``asarray``/``from_dlpack``
  bring host data in, and only ``get``/``asnumpy`` take it out;
* reductions and scalar indexing give 0-d arrays; ``float()``, ``int()``,
  ``bool()``, ``item()`` convert them and, as in CuPy, there is no ``__index__``.

Every point where the host waits for the device (a Python scalar, a copy to the
host, a data-dependent size, an explicit synchronize) and every copy to the
device is counted inside :func:`count_syncs`, and so is every array operation
that would launch work on the GPU (on CUDA, some 10 us of host time each), once
per call however many kernels CuPy uses for it, following what CuPy launches:

* one: a ufunc call, in-place operators and ``out=`` included, and a ufunc's
  ``reduce``, ``accumulate``, ``outer``, ``at``; an operator (``a + b``, ``-a``,
  ``a < b``); a reduction (``sum``, ``max``, ``allclose``, ...); indexing that
  gathers (advanced indexing: an array, a list or a boolean mask in the index);
  any slice or element assignment and ``fill``; ``copy``, ``astype`` and
  ``array``/``asarray`` of a device array where they copy (``asarray`` of a
  list of device arrays stacks them); ``zeros``, ``ones``, ``full`` and every
  other function whose result is new device memory, or that writes into a
  device argument and returns None (``copyto``, ``put``, ``ndarray.sort``);
* none: basic indexing (integers, slices, ``None``, ``...``) and every other
  view (``reshape`` where it needs no copy, ``transpose``, ``T``,
  ``broadcast_to``, ``view``, ``astype(copy=False)`` to the same dtype); ``empty``
  and ``empty_like``, which only allocate; ``from_dlpack``; copies between host
  and device, counted as ``to_device``/``to_host`` instead; answers about
  shapes and dtypes;
* an operation on zero elements launches nothing, as in CuPy, which returns
  before the launch when a ufunc's shape holds a 0.

What it exposes is what the plain stand-in exposes: NumPy's public namespace, and
its ``linalg``, ``fft`` and ``random``, less the names
:data:`korvane.backends._numpy.LEFT_OUT` lists (what CuPy does not offer, and
file input and output), so that asking for one of those is an AttributeError as on
CuPy; and ``cuda`` with ``Device`` and ``Stream``. Functions and ufuncs are NumPy's,
forwarded through one wrapper that unwraps device arrays, refuses host arrays (inside
lists and tuples too) and wraps results, 0-d arrays for scalars; a function whose
result size depends on the data (``nonzero``, ``unique``, ``argwhere``, ``where``
with one argument, ``compress``/``extract``/``delete`` decided by a device array, ...)
counts a wait, and ``array2string``/``array_repr``/``array_str`` a copy to the host.
Dtypes, scalar types, ``iinfo``, ``finfo`` and constants are NumPy's own objects, as
in CuPy.
"""

import builtins
import contextlib
import functools
import operator
import types
from typing import ClassVar

import numpy

from korvane.backends._numpy import (
    INDEX_MAKERS,
    KIND,
    IndexMaker,
    Vectorize,
    _require_numpy2,
    module_shell,
    namespace,
    random_makers,
    submodule,
)

_IMPLICIT = (
    "Implicit conversion to a NumPy array is not allowed. Please use `.get()` to construct a NumPy array explicitly."
)
# Operands CuPy accepts next to device arrays.
_SCALARS = (bool, int, float, complex, numpy.generic)


# ---- counting ---------------------------------------------------------------------------


class SyncCounts:
    """What a block of code made the host do for strict device arrays.

    ``scalars``: conversions to Python objects (``float()``, ``bool()``, ``item()``,
    formatting a 0-d array); ``to_host``: copies to the host (``get``, ``asnumpy``,
    ``tolist``, ``repr``); ``waits``: other waits on the device (a boolean-mask
    selection, ``nonzero``, ``unique`` and the other functions whose result size
    only the device knows, and explicit ``synchronize()``); ``to_device``: copies of host data to the device, which do
    not stall the host but cost a transfer each. ``syncs`` is those but the last. ``launches``: array operations,
    each a kernel launch on CuPy (see the module's notes for which count).
    """

    __slots__ = ("launches", "scalars", "to_device", "to_host", "waits")

    def __init__(self):
        self.scalars = self.to_host = self.waits = self.to_device = self.launches = 0

    @property
    def syncs(self):
        return self.scalars + self.to_host + self.waits

    def __repr__(self):
        fields = ", ".join(f"{name}={getattr(self, name)}" for name in self.__slots__)
        return f"SyncCounts({fields})"


_active: list[SyncCounts] = []


def _note(field):
    for counts in _active:
        setattr(counts, field, getattr(counts, field) + 1)


def _owner(array):
    # What holds the memory: NumPy points a view's ``base`` at the owner or at a non-array (DLPack's) holder.
    while isinstance(array.base, numpy.ndarray):
        array = array.base
    return array if array.base is None else array.base


def _new_memory(value, seen):
    """True if ``value`` (a NumPy result) holds a non-empty array that is neither an argument nor a view of one."""
    if isinstance(value, numpy.generic):
        return True
    if isinstance(value, numpy.ndarray):
        if id(value) in seen or not value.size:
            return False
        owner = _owner(value)
        return not builtins.any(owner is _owner(source._a) for source in seen.values())
    return isinstance(value, tuple | list) and builtins.any(_new_memory(item, seen) for item in value)


def _nonempty(value):
    if isinstance(value, numpy.ndarray):
        return value.size > 0
    return isinstance(value, tuple | list) and builtins.any(map(_nonempty, value))


def _note_launch(value, seen, kwargs, rule):
    """Note a launch for the NumPy result ``value`` of a call by ``rule``: "always", "computes" or "never"."""
    if rule == "computes":
        if value is None:
            launched = bool(seen)  # it wrote into a device argument: copyto, put, fill, sort, ...
        elif kwargs.get("out") is not None:
            launched = _nonempty(value)
        else:
            launched = _new_memory(value, seen)
    else:  # an empty array's launch is skipped
        launched = rule == "always" and not (isinstance(value, numpy.ndarray | tuple | list) and not _nonempty(value))
    if launched:
        _note("launches")


@contextlib.contextmanager
def count_syncs():
    """Count, inside the ``with`` block, the host's waits on and copies to strict arrays, and their launches."""
    counts = SyncCounts()
    _active.append(counts)
    try:
        yield counts
    finally:
        _active.remove(counts)


# ---- crossing the boundary -----------------------------------------------------------------


def _unsupported(value):
    return TypeError(f"Unsupported type {type(value)}")


def _call(function, args, kwargs, seen=None, launch="computes"):
    """Call a NumPy function on unwrapped arguments and wrap what it returns.

    Host arrays are refused wherever they appear in the arguments. A result that is
    an argument's own NumPy array (``out=``, a no-op ``ascontiguousarray``) comes back
    as that argument; a view of one gets it as its ``base``. ``launch`` is the rule that
    counts the call's launch (see :func:`_note_launch`).
    """
    seen = {} if seen is None else seen
    args = [_unwrap(value, seen) for value in args]
    kwargs = {key: _unwrap(value, seen) for key, value in kwargs.items()}
    value = function(*args, **kwargs)
    if _active:
        _note_launch(value, seen, kwargs, launch)
    return _wrap(value, seen)


def _unwrap(value, seen):
    # A plain function, not a closure over ``seen``: a self-referring closure would make
    # every call a reference cycle that keeps its arrays alive until the next collection.
    if isinstance(value, ndarray):
        seen[id(value._a)] = value
        return value._a
    if isinstance(value, numpy.ndarray):
        raise _unsupported(value)
    if type(value) in (list, tuple):
        return type(value)(_unwrap(item, seen) for item in value)
    return value


def _wrap(value, seen=None):
    if isinstance(value, numpy.ndarray):
        if seen:
            same = seen.get(id(value))
            if same is not None:
                return same
            return ndarray._of(value, _root(value, seen.values()))
        return ndarray._of(value)
    if isinstance(value, numpy.generic):
        return ndarray._of(numpy.asarray(value))
    if type(value) in (list, tuple):
        return type(value)(_wrap(item, seen) for item in value)
    if isinstance(value, tuple):  # a named tuple: unique_all, linalg.svd, ...
        return type(value)(*(_wrap(item, seen) for item in value))
    return value


def _root(view, sources):
    # NumPy points every view at the array that owns the memory, and so does CuPy's ``base``.
    if view.base is None:
        return None
    for source in sources:
        if view.base is source._a or (source._a.base is not None and view.base is source._a.base):
            return source._root if source._root is not None else source
    return None


def _index(key):
    """Unwrap device arrays in an index; note a boolean mask, whose result size waits on the device."""
    parts = key if type(key) is tuple else (key,)
    parts = tuple(part._a if isinstance(part, ndarray) else part for part in parts)
    if builtins.any(getattr(part, "dtype", None) == numpy.bool_ for part in parts):
        _note("waits")
    return parts if type(key) is tuple else parts[0]


# ---- the device array -------------------------------------------------------------------------


def _operand(value):
    if isinstance(value, ndarray):
        return value._a
    if isinstance(value, _SCALARS):
        return value
    if isinstance(value, (numpy.ndarray, list, tuple)):
        raise _unsupported(value)
    return NotImplemented


def _launched(value):
    # One elementwise kernel, unless it has no elements.
    if _active and (isinstance(value, numpy.generic) or _nonempty(value)):
        _note("launches")
    return value


def _operator(op):
    def method(self, other):
        other = _operand(other)
        return NotImplemented if other is NotImplemented else _wrap(_launched(op(self._a, other)))

    return method


def _operators(op, inplace_op):
    """The forward, reflected and in-place methods of one binary operator."""

    def reflected(self, other):
        other = _operand(other)
        return NotImplemented if other is NotImplemented else _wrap(_launched(op(other, self._a)))

    def inplace(self, other):
        other = _operand(other)
        if other is NotImplemented:
            return NotImplemented
        _launched(inplace_op(self._a, other))  # NumPy's in-place operators write into the array itself
        return self

    return _operator(op), reflected, inplace


def _unary(op):
    return lambda self: _wrap(_launched(op(self._a)))


# Attributes and views that CuPy's ndarray has, and methods forwarded as they are.
_ATTRIBUTES = frozenset(["shape", "dtype", "strides", "ndim", "size", "itemsize", "nbytes", "flags"])
_VIEWS = {"T": numpy.transpose, "real": numpy.real, "imag": numpy.imag}
_METHODS = frozenset(
    [
        "all",
        "any",
        "argmax",
        "argmin",
        "argsort",
        "astype",
        "clip",
        "conj",
        "conjugate",
        "copy",
        "cumprod",
        "cumsum",
        "diagonal",
        "dot",
        "fill",
        "flatten",
        "max",
        "mean",
        "min",
        "nonzero",
        "prod",
        "ptp",
        "put",
        "ravel",
        "repeat",
        "reshape",
        "round",
        "sort",
        "squeeze",
        "std",
        "sum",
        "swapaxes",
        "take",
        "trace",
        "transpose",
        "var",
    ]
)


class ndarray:
    """A device array of the strict stand-in: a NumPy array behind CuPy's boundary."""

    __module__ = "cupy"
    __slots__ = ("__weakref__", "_a", "_root")

    def __init__(self, shape, dtype=float, memptr=None, strides=None, order="C"):
        if memptr is not None or strides is not None:
            raise NotImplementedError("the strict stand-in cannot wrap device memory")
        self._a = numpy.empty(shape, dtype=dtype, order=order)
        self._root = None

    @classmethod
    def _of(cls, array, root=None):
        self = object.__new__(cls)
        self._a, self._root = array, root
        return self

    __add__, __radd__, __iadd__ = _operators(operator.add, operator.iadd)
    __sub__, __rsub__, __isub__ = _operators(operator.sub, operator.isub)
    __mul__, __rmul__, __imul__ = _operators(operator.mul, operator.imul)
    __truediv__, __rtruediv__, __itruediv__ = _operators(operator.truediv, operator.itruediv)
    __floordiv__, __rfloordiv__, __ifloordiv__ = _operators(operator.floordiv, operator.ifloordiv)
    __mod__, __rmod__, __imod__ = _operators(operator.mod, operator.imod)
    __pow__, __rpow__, __ipow__ = _operators(operator.pow, operator.ipow)
    __matmul__, __rmatmul__, __imatmul__ = _operators(operator.matmul, operator.imatmul)
    __and__, __rand__, __iand__ = _operators(operator.and_, operator.iand)
    __or__, __ror__, __ior__ = _operators(operator.or_, operator.ior)
    __xor__, __rxor__, __ixor__ = _operators(operator.xor, operator.ixor)
    __lshift__, __rlshift__, __ilshift__ = _operators(operator.lshift, operator.ilshift)
    __rshift__, __rrshift__, __irshift__ = _operators(operator.rshift, operator.irshift)
    __divmod__, __rdivmod__ = _operators(divmod, divmod)[:2]
    __lt__, __le__, __gt__, __ge__ = map(_operator, (operator.lt, operator.le, operator.gt, operator.ge))
    __eq__, __ne__ = _operator(operator.eq), _operator(operator.ne)
    __neg__, __pos__, __abs__, __invert__ = map(_unary, (operator.neg, operator.pos, operator.abs, operator.invert))

    @property
    def base(self):
        return self._root

    @property
    def device(self):
        return Device(0)

    def __getattr__(self, name):
        # Reached only for names the class does not define (and "_a" before it is set).
        if name in _ATTRIBUTES:
            return getattr(self._a, name)
        if name in _VIEWS:
            return _call(_VIEWS[name], (self,), {})
        if name not in _METHODS:
            raise AttributeError(f"'cupy.ndarray' object has no attribute {name!r}")
        method = getattr(self._a, name)

        def forwarded(*args, **kwargs):
            if name == "nonzero":
                _note("waits")
            return _call(method, args, kwargs, {id(self._a): self})

        forwarded.__name__ = name
        return forwarded

    # -- explicit crossings, each counted
    def get(self, stream=None, order="C", out=None, blocking=True):
        """Copy to the host: a new ``numpy.ndarray``, or into ``out``."""
        _note("to_host")
        if out is None:
            return numpy.array(self._a, order=order, copy=True)
        numpy.copyto(out, self._a)
        return out

    def set(self, arr, stream=None):
        """Copy the host array ``arr`` (same shape and dtype) into this array."""
        if not isinstance(arr, numpy.ndarray) or arr.shape != self.shape or arr.dtype != self.dtype:
            raise ValueError("set() needs a numpy.ndarray of the same shape and dtype")
        _note("to_device")
        numpy.copyto(self._a, arr)

    def item(self, *args):
        _note("scalars")
        return self._a.item(*args)

    def tolist(self):
        _note("to_host")
        return self._a.tolist()

    def __bool__(self):
        _note("scalars")
        return bool(self._a)

    def __int__(self):
        _note("scalars")
        return int(self._a)

    def __float__(self):
        _note("scalars")
        return float(self._a)

    def __complex__(self):
        _note("scalars")
        return complex(self._a)

    def __format__(self, spec):
        _note("scalars" if self._a.ndim == 0 else "to_host")
        return format(self._a, spec)

    def __repr__(self):
        _note("to_host")
        return repr(self._a)

    def __str__(self):
        _note("to_host")
        return str(self._a)

    # -- what NumPy would use to take the data to the host
    def __array__(self, dtype=None, copy=None):
        raise TypeError(_IMPLICIT)

    def __array_function__(self, func, types, args, kwargs):
        raise TypeError(_IMPLICIT)

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        operands = inputs + tuple(kwargs.get("out", ()))
        for value in operands:
            if isinstance(value, numpy.ndarray) and value.ndim:
                raise _unsupported(value)  # ``host + device``: NumPy's operator defers here
        if (
            method == "__call__"
            and not kwargs
            and builtins.any(isinstance(value, (numpy.generic, numpy.ndarray)) for value in inputs)
        ):
            # ``numpy.float32(2) * a``: NumPy's scalar defers here (comparisons pass it as
            # a 0-d array); CuPy computes that on the device.
            scalars = [v[()] if isinstance(v, numpy.ndarray) else v for v in inputs]
            return _call(ufunc, scalars, {}, launch="always")
        raise TypeError(_IMPLICIT)

    # -- DLPack: zero-copy, and on the host, which is where the data really is
    def __dlpack__(self, *, stream=None, max_version=None, dl_device=None, copy=None):
        options = {"max_version": max_version, "dl_device": dl_device, "copy": copy}
        return self._a.__dlpack__(**{k: v for k, v in options.items() if v is not None})

    def __dlpack_device__(self):
        return self._a.__dlpack_device__()

    # -- containers and indexing
    def __len__(self):
        return len(self._a)

    def __iter__(self):
        if self._a.ndim == 0:
            raise TypeError("iteration over a 0-d array")
        return (self[i] for i in range(len(self._a)))

    def __getitem__(self, key):
        key = _index(key)
        result = self._a[key]
        if isinstance(result, numpy.generic):
            # A trailing Ellipsis gives a 0-d view instead of a NumPy scalar, as CuPy does.
            result = self._a[(key if type(key) is tuple else (key,)) + (Ellipsis,)]
        seen = {id(self._a): self}
        if _active and _new_memory(result, seen):
            _note("launches")  # advanced indexing gathers into new memory; basic indexing is a view
        return _wrap(result, seen)

    def __setitem__(self, key, value):
        if isinstance(value, ndarray):
            value = value._a
        elif isinstance(value, numpy.ndarray):
            if value.ndim:
                raise ValueError("non-scalar numpy.ndarray cannot be used for fill")
        elif not isinstance(value, _SCALARS):
            raise _unsupported(value)
        key = _index(key)
        self._a[key] = value
        if _active and self._a[key].size:
            _note("launches")  # a copy or fill kernel into the selection

    def view(self, dtype=None):
        dtype = self._a.dtype if dtype is None else numpy.dtype(dtype)
        return _wrap(self._a.view(dtype), {id(self._a): self})

    def __copy__(self):
        return ndarray._of(_launched(self._a.copy()))

    def __deepcopy__(self, memo):
        return ndarray._of(_launched(self._a.copy()))

    def __reduce__(self):
        # The data alone: an unpickled array owns its memory, a view included.
        return _unpickle, (self._a,)


def _unpickle(data):
    return ndarray._of(numpy.array(data))


# ---- module functions -------------------------------------------------------------------------


class ufunc:
    """A NumPy ufunc behind the boundary: device arrays and scalars only, as CuPy's ufuncs take."""

    __module__ = "cupy"

    def __init__(self, numpy_ufunc):
        self._ufunc = numpy_ufunc
        self.__name__ = numpy_ufunc.__name__

    def __call__(self, *args, **kwargs):
        for value in args:
            if isinstance(value, (list, tuple)):
                raise _unsupported(value)
        return _call(self._ufunc, args, kwargs, launch="always")

    def __getattr__(self, name):
        attribute = getattr(self._ufunc, name)
        if name in ("reduce", "accumulate", "reduceat", "outer", "at"):
            return lambda *args, **kwargs: _call(attribute, args, kwargs, launch="always")
        return attribute  # nin, nout, identity, types

    def __repr__(self):
        return f"<ufunc '{self.__name__}'>"


# Functions whose result size the values of one argument decide (position, keyword): a wait
# when that argument is on the device, none when the host gave it.
_SIZE_FROM = {"compress": (0, "condition"), "extract": (0, "condition"), "delete": (1, "obj")}
# New memory that nothing is written into: no launch.
_ALLOCATE_ONLY = frozenset(["empty", "empty_like"])


def _forwarded(name, function, kind=None, module="cupy"):
    """NumPy's ``function`` behind the boundary, as ``cupy.<name>``; ``kind`` says what else it does.

    "waits" and "to_host" are counted; "0-d" and "draw" (one random value) answers become
    0-d arrays, "list" answers lists; "host_in" functions compute on the host and copy in.
    """
    if kind == "host_in":

        def forwarded(*args, **kwargs):
            return asarray(function(*args, **kwargs))

    else:
        # "0-d" answers and random draws are computed even where NumPy answers with a Python scalar.
        launch = "never" if name in _ALLOCATE_ONLY else "always" if kind in ("0-d", "draw") else "computes"

        def forwarded(*args, **kwargs):
            if kind in ("waits", "to_host"):
                _note(kind)
            elif name in _SIZE_FROM and module == "cupy":
                position, keyword = _SIZE_FROM[name]
                decider = args[position] if len(args) > position else kwargs.get(keyword)
                if isinstance(decider, ndarray):
                    _note("waits")
            value = _call(function, args, kwargs, launch=launch)
            if kind == "0-d" or (kind == "draw" and isinstance(value, (bool, int, float, complex))):
                return value if isinstance(value, ndarray) else ndarray._of(numpy.asarray(value))
            return list(value) if kind == "list" else value

    functools.update_wrapper(forwarded, function)
    forwarded.__name__ = forwarded.__qualname__ = name
    forwarded.__module__ = module
    return forwarded


def _where(condition, *xy):
    if not xy:
        _note("waits")  # where(condition) is nonzero(condition)
    return _call(numpy.where, (condition,) + xy, {})


def array(obj, dtype=None, copy=True, order="K", subok=False, ndmin=0):
    """A device array from ``obj``; host data is copied to the device."""
    if isinstance(obj, ndarray):
        result = numpy.array(obj._a, dtype=dtype, copy=copy, order=order, ndmin=ndmin)
        return obj if result is obj._a else ndarray._of(_copied(result, obj))
    return ndarray._of(numpy.array(_to_device(obj), dtype=dtype, copy=True, order=order, ndmin=ndmin))


def asarray(a, dtype=None, order=None, *, blocking=False):
    """Like ``cupy.asarray``: device arrays pass through, host data is copied to the device."""
    if isinstance(a, ndarray):
        result = numpy.asarray(a._a, dtype=dtype, order=order)
        return a if result is a._a else ndarray._of(_copied(result, a))
    return ndarray._of(numpy.array(_to_device(a), dtype=dtype, order=order or "K", copy=True))


def asarray_chkfinite(a, dtype=None, order=None):
    """Like ``asarray``, then a ValueError if anything is infinite or NaN; the check waits for the answer."""
    result = asarray(a, dtype, order)
    _launched(result._a)  # the check itself
    _note("scalars")
    numpy.asarray_chkfinite(result._a)
    return result


def _to_device(data):
    # A sequence of device arrays is stacked on the device; any other data is host data,
    # and NumPy refuses (through __array__) device arrays mixed into it.
    if type(data) in (list, tuple) and data and builtins.all(isinstance(x, ndarray) for x in data):
        return _launched(numpy.stack([x._a for x in data]))
    _note("to_device")
    return data


def _copied(result, source):
    # A copy or cast of the device array ``source`` is a kernel; a view of it (``ndmin``) is not.
    if _active and _new_memory(result, {id(source._a): source}):
        _note("launches")
    return result


def asnumpy(a, stream=None, order="C", out=None, *, blocking=True):
    """A host copy of a device array; anything else goes through ``numpy.asarray``."""
    if isinstance(a, ndarray):
        return a.get(stream, order, out)
    return numpy.asarray(a, order=order)


def from_dlpack(array, *, device=None, copy=None):
    """Import through DLPack: a device array shares its memory, host data is copied in."""
    if isinstance(array, ndarray):
        return ndarray._of(numpy.from_dlpack(array))
    _note("to_device")
    return ndarray._of(numpy.array(numpy.from_dlpack(array), copy=True))


def apply_along_axis(func1d, axis, arr, *args, **kwargs):
    """Like ``cupy.apply_along_axis``: ``func1d`` is given device arrays."""

    def on_device(row):
        value = func1d(ndarray._of(row), *args, **kwargs)
        return value._a if isinstance(value, ndarray) else value

    return _call(numpy.apply_along_axis, (on_device, axis, arr), {})


class vectorize(Vectorize):
    """Like ``cupy.vectorize``: ``pyfunc`` applied element by element, device arrays in and out."""

    __module__ = "cupy"

    def __call__(self, *args, **kwargs):
        return _call(self._vectorized, args, kwargs)


def is_available():
    """False: no GPU stands behind this module (check ``__korvane_stand_in__``)."""
    return False


# ---- cupy.cuda ----------------------------------------------------------------------------------


class Device:
    """The one pretend device; ``synchronize`` counts as a wait."""

    __module__ = "cupy.cuda"

    def __init__(self, device=None):
        self.id = 0 if device is None else operator.index(device)

    def synchronize(self):
        _note("waits")

    def use(self):
        return None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def __eq__(self, other):
        return isinstance(other, Device) and other.id == self.id

    __hash__ = object.__hash__

    def __repr__(self):
        return f"<CUDA Device {self.id}>"


class Stream:
    """A stream that never has pending work; ``synchronize`` counts as a wait."""

    __module__ = "cupy.cuda"
    null: "Stream"
    _current: ClassVar[list["Stream"]] = []

    def __init__(self, null=False, non_blocking=False, ptds=False):
        self.ptr = 0 if null else id(self)

    @property
    def done(self):
        return True

    def synchronize(self):
        _note("waits")

    def use(self):
        Stream._current[:] = [self]
        return self

    def __enter__(self):
        Stream._current.append(self)
        return self

    def __exit__(self, *exc):
        Stream._current.pop()

    def __repr__(self):
        return f"<Stream {self.ptr}>"


Stream.null = Stream(null=True)


def get_current_stream():
    return Stream._current[-1] if Stream._current else Stream.null


def _cuda():
    cuda = types.ModuleType("cupy.cuda", "CUDA stand-ins that do nothing but count waits.")
    cuda.Device, cuda.Stream, cuda.get_current_stream = Device, Stream, get_current_stream
    return cuda


# ---- the module --------------------------------------------------------------------------------

_SPECIALS: dict[str, object] = {
    function.__name__: function for function in (array, asarray, asarray_chkfinite, from_dlpack, apply_along_axis)
}
_SPECIALS.update(
    where=_where,
    asanyarray=asarray,
    ndarray=ndarray,
    ufunc=ufunc,
    vectorize=vectorize,
    exceptions=numpy.exceptions,
    fft=submodule("fft", _forwarded, ufunc),
    linalg=submodule("linalg", _forwarded, ufunc),
    random=submodule("random", _forwarded, ufunc, random_makers(_forwarded, "device arrays")),
    **{name: IndexMaker(name, _call) for name in INDEX_MAKERS},
)
_EXPORTS = namespace("", lambda name, function: _forwarded(name, function, KIND.get(name)), ufunc, _SPECIALS)
_EXPORTS.update(asnumpy=asnumpy, is_available=is_available, __version__=f"0.0.0+strict.numpy.{numpy.__version__}")


def make_module():
    """Build a new, unregistered strict stand-in module named ``cupy``."""
    _require_numpy2()
    module = module_shell(__doc__, __file__, _EXPORTS)
    module.cuda = _cuda()
    module.__korvane_stand_in__ = True
    module.__korvane_strict__ = True
    module.__korvane_backend__ = "numpy-strict"  # the name korvane's backend table knows it by

    def get_array_module(*args):
        """Return this module if any argument is a strict device array, else ``numpy``."""
        return module if builtins.any(isinstance(arg, ndarray) for arg in args) else numpy

    module.get_array_module = get_array_module
    return module
