"""A NumPy-backed module that stands in for ``cupy`` on machines without a GPU.

It covers the part of CuPy's API that korvane and its tests use, and copies the
CuPy behaviours that code written against NumPy tends to trip over:

* arrays are of the stand-in's own ``ndarray`` type, and stay so through
  arithmetic, methods, indexing and in-place operations;
* indexing a single element and reductions give 0-d arrays, not NumPy scalars;
* host arrays (``numpy.ndarray``) are refused as operands, with CuPy's message
  ``Unsupported type <class 'numpy.ndarray'>``; ufuncs also refuse lists and
  tuples, as CuPy's do. Only ``array``/``asarray`` copy host data in, and only
  ``asnumpy``/``ndarray.get`` copy it out.

NumPy's own functions called directly on stand-in arrays (``numpy.concatenate``
and so on) follow NumPy's rules, not CuPy's.
"""

import builtins
import importlib.machinery
import types

import numpy

# Not a CuPy release number: version 0 with a local label, so version checks against
# CuPy (``Version(cupy.__version__) >= Version("13")``) fail instead of passing.
VERSION = "0+korvane.numpy"

# CuPy's ufuncs take device arrays and these scalar types, nothing else.
_SCALAR_TYPES = (bool, int, float, complex, numpy.generic)


def _require_numpy2():
    # NumPy 1.x promotes Python scalars by value; CuPy follows NumPy 2's rules.
    if int(numpy.__version__.split(".")[0]) < 2:
        raise ImportError(f"the NumPy-backed cupy stand-in needs NumPy 2.0 or newer, found NumPy {numpy.__version__}")


def _unsupported(value):
    return TypeError(f"Unsupported type {type(value)}")


class ndarray(numpy.ndarray):
    """The stand-in's device array: a NumPy array that behaves like ``cupy.ndarray``."""

    __module__ = "cupy"

    def __array_ufunc__(self, ufunc, method, *inputs, out=None, **kwargs):
        for value in inputs:
            _check_operand(value)
        if out is not None:
            for value in out:
                if value is not None and not isinstance(value, ndarray):
                    raise _unsupported(value)
            kwargs["out"] = tuple(_plain(value) for value in out)
        result = getattr(ufunc, method)(*map(_plain, inputs), **kwargs)
        if method == "at":
            return None
        if out is None:
            return tuple(map(_wrap, result)) if isinstance(result, tuple) else _wrap(result)
        # Hand back the caller's own output arrays, not the plain views used above.
        results = result if isinstance(result, tuple) else (result,)
        merged = tuple(o if o is not None else _wrap(r) for o, r in zip(out, results))
        return merged if len(merged) > 1 else merged[0]

    def __getitem__(self, key):
        result = super().__getitem__(key)
        if isinstance(result, numpy.generic):
            # A trailing Ellipsis makes NumPy return a 0-d view instead of a scalar.
            key = key if isinstance(key, tuple) else (key,)
            result = super().__getitem__(key + (Ellipsis,))
        return result

    def get(self, stream=None, order="C"):
        """Copy to a host ``numpy.ndarray``, like ``cupy.ndarray.get``."""
        return numpy.array(self.view(numpy.ndarray), order=order, copy=True)


def _check_operand(value):
    if not isinstance(value, (ndarray,) + _SCALAR_TYPES):
        raise _unsupported(value)


def _device(value):
    """Refuse host arrays; strip the stand-in type so NumPy sees plain arrays."""
    if isinstance(value, numpy.ndarray) and not isinstance(value, ndarray):
        raise _unsupported(value)
    return _plain(value)


def _plain(value):
    return value.view(numpy.ndarray) if isinstance(value, ndarray) else value


def _wrap(value):
    if isinstance(value, ndarray):
        return value
    if isinstance(value, numpy.ndarray):
        return value.view(ndarray)
    if isinstance(value, numpy.generic):
        return numpy.asarray(value).view(ndarray)
    return value


def _elementwise(ufunc):
    def function(*args, **kwargs):
        for value in args:
            _check_operand(value)
        out = kwargs.get("out")
        for value in out if isinstance(out, tuple) else (out,):
            if value is not None and not isinstance(value, ndarray):
                raise _unsupported(value)
        return _wrap(ufunc(*args, **kwargs))

    function.__name__ = function.__qualname__ = ufunc.__name__
    function.__doc__ = f"Element-wise ``{ufunc.__name__}``, as ``cupy.{ufunc.__name__}``."
    return function


exp = _elementwise(numpy.exp)
sqrt = _elementwise(numpy.sqrt)
abs = _elementwise(numpy.absolute)
floor = _elementwise(numpy.floor)
rint = _elementwise(numpy.rint)
multiply = _elementwise(numpy.multiply)
divide = _elementwise(numpy.divide)
maximum = _elementwise(numpy.maximum)
minimum = _elementwise(numpy.minimum)


def array(obj, dtype=None, copy=True, order="K", ndmin=0):
    """Copy ``obj`` (host arrays included) into a new stand-in array."""
    return numpy.array(_plain(obj), dtype=dtype, copy=copy, order=order, ndmin=ndmin).view(ndarray)


def asarray(a, dtype=None, order=None):
    """Like ``cupy.asarray``: stand-in arrays pass through, host data is copied in."""
    if not isinstance(a, ndarray):
        # Host data never aliases a device array: CuPy copies it to the GPU.
        return numpy.array(a, dtype=dtype, order=order or "K", copy=True).view(ndarray)
    if (dtype is None or numpy.dtype(dtype) == a.dtype) and order is None:
        return a
    return numpy.asarray(_plain(a), dtype=dtype, order=order).view(ndarray)


def asnumpy(a, stream=None, order="C"):
    """Return a plain ``numpy.ndarray``: a copy of a stand-in array, else ``numpy.asarray(a)``."""
    if isinstance(a, ndarray):
        return a.get(order=order)
    return numpy.asarray(a, order=order)


def empty(shape, dtype=float, order="C"):
    return numpy.empty(shape, dtype=dtype, order=order).view(ndarray)


def zeros(shape, dtype=float, order="C"):
    return numpy.zeros(shape, dtype=dtype, order=order).view(ndarray)


def ones(shape, dtype=float, order="C"):
    return numpy.ones(shape, dtype=dtype, order=order).view(ndarray)


def arange(*args, **kwargs):
    return numpy.arange(*args, **kwargs).view(ndarray)


def linspace(start, stop, num=50, endpoint=True, retstep=False, dtype=None, axis=0):
    result = numpy.linspace(_device(start), _device(stop), num, endpoint, retstep, dtype, axis)
    return tuple(map(_wrap, result)) if retstep else _wrap(result)


def meshgrid(*xi, **kwargs):
    """Like ``cupy.meshgrid``: returns a list of stand-in arrays."""
    return [_wrap(grid) for grid in numpy.meshgrid(*map(_device, xi), **kwargs)]


def stack(tup, axis=0, out=None):
    """Like ``cupy.stack``: a new C-contiguous array (NumPy's keeps its inputs' memory order)."""
    if out is not None and not isinstance(out, ndarray):
        raise _unsupported(out)
    result = numpy.stack([_device(a) for a in tup], axis=axis, out=_plain(out))
    return out if out is not None else _wrap(numpy.ascontiguousarray(result))


def pad(array, pad_width, mode="constant", **kwargs):
    return _wrap(numpy.pad(_device(array), pad_width, mode=mode, **kwargs))


def roll(a, shift, axis=None):
    return _wrap(numpy.roll(_device(a), shift, axis=axis))


def ascontiguousarray(a, dtype=None):
    return _wrap(numpy.ascontiguousarray(_device(a), dtype=dtype))


def tensordot(a, b, axes=2):
    return _wrap(numpy.tensordot(_device(a), _device(b), axes=axes))


def einsum(*operands, **kwargs):
    return _wrap(numpy.einsum(*map(_device, operands), **kwargs))


def sum(a, axis=None, dtype=None, out=None, keepdims=False):
    """Like ``cupy.sum``: a full reduction gives a 0-d array, not a NumPy scalar."""
    if out is not None and not isinstance(out, ndarray):
        raise _unsupported(out)
    result = numpy.sum(_device(a), axis=axis, dtype=dtype, out=_plain(out), keepdims=keepdims)
    return out if out is not None else _wrap(result)


def allclose(a, b, rtol=1e-05, atol=1e-08, equal_nan=False):
    """Like ``cupy.allclose``: the answer is a 0-d boolean array."""
    return _wrap(numpy.bool_(numpy.allclose(_device(a), _device(b), rtol, atol, equal_nan)))


def array_equal(a1, a2, equal_nan=False):
    """Like ``cupy.array_equal``: the answer is a 0-d boolean array."""
    return _wrap(numpy.bool_(numpy.array_equal(_device(a1), _device(a2), equal_nan=equal_nan)))


def is_available():
    """False, as CuPy says on a machine without a usable GPU: the stand-in computes on the CPU."""
    return False


_EXPORTS = {
    function.__name__: function
    for function in (
        exp,
        sqrt,
        abs,
        floor,
        rint,
        multiply,
        divide,
        maximum,
        minimum,
        array,
        asarray,
        asnumpy,
        empty,
        zeros,
        ones,
        arange,
        linspace,
        meshgrid,
        stack,
        pad,
        roll,
        ascontiguousarray,
        tensordot,
        einsum,
        sum,
        allclose,
        array_equal,
        is_available,
    )
}
_EXPORTS["abs"] = abs  # CuPy offers both "abs" and "absolute"
_EXPORTS.update(
    ndarray=ndarray,
    newaxis=None,
    dtype=numpy.dtype,
    iinfo=numpy.iinfo,
    finfo=numpy.finfo,
    pi=numpy.pi,
    inf=numpy.inf,
    nan=numpy.nan,
)
# CuPy re-exports NumPy's scalar types, so these are the very same objects.
SCALAR_TYPE_NAMES = (
    "bool_",
    "int8",
    "int16",
    "int32",
    "int64",
    "uint8",
    "uint16",
    "uint32",
    "uint64",
    "float16",
    "float32",
    "float64",
    "complex64",
    "complex128",
)
for _name in SCALAR_TYPE_NAMES:
    _EXPORTS[_name] = getattr(numpy, _name)


def module_shell(doc, origin, exports):
    """A new, unregistered module named ``cupy`` holding ``exports``."""
    module = types.ModuleType("cupy", doc)
    # No loader: the import system cannot load or reload it. The origin says what it is.
    spec = importlib.machinery.ModuleSpec("cupy", None, origin=origin)
    # Marks the module as fully imported, so the import system takes no lock on it.
    spec._initializing = False
    module.__spec__ = spec
    module.__loader__ = None
    module.__package__ = ""
    module.__dict__.update(exports)
    return module


def make_module():
    """Build a new, unregistered stand-in module object named ``cupy``."""
    _require_numpy2()
    module = module_shell(f"{__doc__}\nThis stand-in runs on NumPy {numpy.__version__}.\n", __file__, _EXPORTS)
    module.__version__ = VERSION
    module.__korvane_stand_in__ = True
    module.__korvane_backend__ = "numpy"

    def get_array_module(*args):
        """Return this module if any argument is a stand-in array, else ``numpy``."""
        if builtins.any(isinstance(arg, ndarray) for arg in args):
            return module
        return numpy

    module.get_array_module = get_array_module
    return module
