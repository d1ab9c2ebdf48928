"""An ONNX graph as the ``model`` of :func:`korvane.upscale.upscale_tiled`, run by ONNX Runtime.

:class:`OnnxModel` reads what the graph says about itself (input and output names, NCHW
shapes, which sizes are fixed, the element type) and runs batches:

* on the CPU provider, a NumPy batch goes to ONNX Runtime as it is (no copy for a float32
  model); a batch of a device module (CuPy, or a ``cupy`` stand-in) is copied to the host
  once, explicitly, with ``asnumpy``, and the result is copied back with ``asarray``;
* on the CUDA provider, CuPy batches stay on the GPU: ONNX Runtime reads the batch and
  writes its result through I/O binding on device pointers, into a CuPy buffer.

A graph with a fixed batch size gets full batches: a shorter last batch is padded with
zeros and the padding's results are dropped.
"""

import importlib.metadata
import sys

import numpy

from korvane._arrays import array_module

__all__ = ["PROVIDERS", "ModelError", "ModelRunError", "OnnxModel", "import_onnxruntime"]

PROVIDERS = ("auto", "cpu", "cuda")

# ONNX element types the adapter can feed, as ONNX Runtime names them.
_ELEMENT_TYPES = {"tensor(float)": numpy.float32, "tensor(float16)": numpy.float16, "tensor(double)": numpy.float64}

INSTALL_HINT = 'pip install "korvane[onnx]" (or "korvane[cuda12]" / "korvane[cuda13]" for the GPU)'


class ModelError(ValueError):
    """The file is no ONNX graph, or a graph this adapter cannot feed (arity, rank, layout, type)."""


class ModelRunError(RuntimeError):
    """ONNX Runtime failed while running a batch."""


def import_onnxruntime():
    """Return the ``onnxruntime`` module; ImportError naming the extra to install when it is missing."""
    try:
        import onnxruntime
    except ImportError as exc:
        raise ImportError(f"running ONNX models needs ONNX Runtime: {INSTALL_HINT}") from exc
    return onnxruntime


def _installed_runtimes():
    found = []
    for name in ("onnxruntime", "onnxruntime-gpu"):
        try:
            importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            continue
        found.append(name)
    return found


def _clash_note():
    # Both wheels install the same "onnxruntime" folder; whichever came last owns the files.
    if len(_installed_runtimes()) < 2:
        return ""
    return (
        "; onnxruntime and onnxruntime-gpu are both installed and overwrite each other's files: "
        "pip uninstall -y onnxruntime onnxruntime-gpu, then pip install onnxruntime-gpu"
    )


def _usable_cupy():
    """Real CuPy with a GPU, or None; the NumPy stand-ins never count."""
    from korvane.testing import cupy_is_usable

    return sys.modules["cupy"] if cupy_is_usable() else None


def _first_line(exc):
    text = " ".join(str(exc).split())
    return text if len(text) <= 300 else text[:297] + "..."


def _dims(shape):
    """ONNX Runtime's shape entries as ints, None for the dynamic ones (names, None, -1)."""
    return tuple(d if isinstance(d, int) and d > 0 else None for d in shape)


def _show(shape):
    return "[" + ", ".join("?" if d is None else str(d) for d in shape) + "]"


class OnnxModel:
    """An ONNX super-resolution graph with one NCHW input and one NCHW output.

    Parameters
    ----------
    path : str or os.PathLike
        The ``.onnx`` file.
    provider : {"auto", "cpu", "cuda"}
        ``"cuda"``: ONNX Runtime's CUDA provider on CuPy arrays (needs onnxruntime-gpu and
        CuPy with a GPU). ``"cpu"``: the CPU provider on NumPy arrays. ``"auto"``: CUDA when
        both are usable and the provider starts, else the CPU.

    Attributes
    ----------
    input_name, output_name : str
        As the graph names them.
    input_shape, output_shape : tuple of (int or None)
        NCHW, None where the graph leaves a size dynamic; ``output_shape`` may be empty
        when the graph does not say.
    batch_size, channels : int or None
        The graph's fixed batch size and input channel count, None when dynamic.
    tile_size : (int or None, int or None)
        The graph's fixed input height and width.
    dtype : numpy.dtype
        The input's element type (float32, float16 or float64); batches are converted to it.
    provider : {"cpu", "cuda"}
        The provider the session runs on.
    xp : module
        The array module the model prefers: CuPy on CUDA, NumPy on the CPU. It takes
        batches of any module and returns results in the batch's module.

    Raises
    ------
    ImportError
        ONNX Runtime is not installed.
    FileNotFoundError
        No such file.
    ModelError
        Not a loadable ONNX graph, or not one input and one output of rank 4 in a
        supported element type.
    RuntimeError
        ``provider="cuda"`` where the CUDA provider or CuPy with a GPU is missing.
    """

    def __init__(self, path, provider="auto"):
        if provider not in PROVIDERS:
            raise ValueError(f"provider: expected one of {', '.join(PROVIDERS)}, got {provider!r}")
        ort = import_onnxruntime()
        self.path = str(path)
        with open(self.path, "rb"):  # FileNotFoundError, IsADirectoryError, PermissionError as they are
            pass
        cupy = self._cuda_module(ort, provider)
        self.session = self._session(ort, cupy)
        running = self.session.get_providers()
        if cupy is not None and "CUDAExecutionProvider" not in running:
            if provider == "cuda":
                raise RuntimeError(
                    "ONNX Runtime could not start its CUDA provider (a CUDA or cuDNN library "
                    "missing or of another version?)" + _clash_note()
                )
            cupy = None
        self.provider = "cuda" if cupy is not None else "cpu"
        self.xp = cupy if cupy is not None else numpy
        self._cupy = cupy
        self._read_graph()
        self._host_batch = self._device_batch = self._device_out = self._binding = None
        self._device_out_for = None  # the input shape (less the batch) _device_out was made for
        self._device_id = cupy.cuda.Device().id if cupy is not None else 0

    # ---- set-up --------------------------------------------------------------------------------

    @staticmethod
    def _cuda_module(ort, provider):
        """CuPy when the CUDA provider is to be tried, else None."""
        if provider == "cpu":
            return None
        available = ort.get_available_providers()
        if "CUDAExecutionProvider" not in available:
            if provider == "cuda":
                raise RuntimeError(
                    f"ONNX Runtime here has no CUDA provider (it has {', '.join(available)}): "
                    'install onnxruntime-gpu, e.g. pip install "korvane[cuda12]" or "korvane[cuda13]"' + _clash_note()
                )
            return None
        cupy = _usable_cupy()
        if cupy is None and provider == "cuda":
            raise RuntimeError(
                'provider \'cuda\' needs CuPy with a usable GPU (pip install "korvane[cuda12]" or "korvane[cuda13]")'
            )
        return cupy

    def _session(self, ort, cupy):
        options = ort.SessionOptions()
        options.log_severity_level = 3  # errors only: a provider that does not start is reported here
        if cupy is not None:
            providers = [("CUDAExecutionProvider", {"device_id": cupy.cuda.Device().id}), "CPUExecutionProvider"]
        else:
            providers = ["CPUExecutionProvider"]
        try:
            return ort.InferenceSession(self.path, sess_options=options, providers=providers)
        except Exception as exc:  # ONNX Runtime's own exception types (InvalidProtobuf, Fail, ...)
            raise ModelError(f"{self.path} is not a usable ONNX model: {_first_line(exc)}") from None

    def _read_graph(self):
        inputs, outputs = self.session.get_inputs(), self.session.get_outputs()
        if len(inputs) != 1 or len(outputs) != 1:
            raise ModelError(
                f"{self.path}: expected a graph with 1 input and 1 output, got {len(inputs)} input(s) "
                f"({', '.join(i.name for i in inputs)}) and {len(outputs)} output(s) "
                f"({', '.join(o.name for o in outputs)})"
            )
        source, result = inputs[0], outputs[0]
        self.input_name, self.output_name = source.name, result.name
        self.input_shape, self.output_shape = _dims(source.shape), _dims(result.shape or ())
        for role, arg, shape in (("input", source, self.input_shape), ("output", result, self.output_shape)):
            if shape and len(shape) != 4:
                raise ModelError(
                    f"{self.path}: expected an NCHW {role} of rank 4, got {role} {arg.name!r} of shape {_show(shape)}"
                )
            if arg.type not in _ELEMENT_TYPES:
                raise ModelError(
                    f"{self.path}: expected a float, float16 or double {role}, got {role} "
                    f"{arg.name!r} of type {arg.type}"
                )
        batch, channels, height, width = self.input_shape
        if channels not in (None, 1, 3):
            hint = " (that looks like NHWC)" if width in (1, 3) else ""
            raise ModelError(
                f"{self.path}: expected an NCHW input of 1 or 3 channels, got input "
                f"{self.input_name!r} of shape {_show(self.input_shape)}{hint}"
            )
        self.batch_size, self.channels, self.tile_size = batch, channels, (height, width)
        self.dtype = numpy.dtype(_ELEMENT_TYPES[source.type])
        self.output_dtype = numpy.dtype(_ELEMENT_TYPES[result.type])

    def __repr__(self):
        return (
            f"OnnxModel({self.path!r}, provider={self.provider!r}: {self.input_name} "
            f"{_show(self.input_shape)} -> {self.output_name} {_show(self.output_shape)})"
        )

    # ---- running -------------------------------------------------------------------------------

    def __call__(self, batch):
        """Run an NCHW batch; the result is an array of the batch's module.

        On the CUDA provider the result is a view of a buffer that the next call writes
        into: use it, or copy it, before calling again.
        """
        xp = array_module(batch)
        if self.provider == "cuda" and xp is self._cupy:
            return self._run_on_device(batch)
        if xp is numpy:
            return self._run_on_host(batch)
        # A device array on the CPU provider: one explicit copy each way.
        return xp.asarray(self._run_on_host(xp.asnumpy(batch)))

    def _full_batch(self, count):
        """The graph's fixed batch size when ``count`` must be padded to it, else None."""
        if self.batch_size is None or count == self.batch_size:
            return None
        if count > self.batch_size:
            raise ValueError(f"batch: the model takes batches of exactly {self.batch_size}, got {count}")
        return self.batch_size

    def _run_on_host(self, batch):
        count = batch.shape[0]
        full = self._full_batch(count)
        feed = batch
        if full is not None:
            if self._host_batch is None or self._host_batch.shape[1:] != tuple(batch.shape[1:]):
                self._host_batch = numpy.zeros((full,) + tuple(batch.shape[1:]), self.dtype)
            feed = self._host_batch
            feed[:count] = batch
            feed[count:] = 0
        elif batch.dtype != self.dtype:
            feed = batch.astype(self.dtype)
        try:
            (result,) = self.session.run([self.output_name], {self.input_name: feed})
        except Exception as exc:
            raise ModelRunError(
                f"the model failed on a batch of shape {tuple(feed.shape)}: {_first_line(exc)}"
            ) from None
        return result if full is None else result[:count]

    def _run_on_device(self, batch):
        cp = self._cupy
        count = batch.shape[0]
        full = self._full_batch(count)
        rows = full or count
        feed = batch
        if full is not None or batch.dtype != self.dtype or not batch.flags.c_contiguous:
            shape = (self.batch_size or count,) + tuple(batch.shape[1:])
            if (
                self._device_batch is None
                or self._device_batch.shape[1:] != shape[1:]
                or self._device_batch.shape[0] < rows
            ):
                self._device_batch = cp.zeros(shape, self.dtype)
            feed = self._device_batch[:rows]
            feed[:count] = batch
            if full is not None:
                feed[count:] = 0
        if self._binding is None:
            self._binding = self.session.io_binding()
        binding = self._binding
        binding.bind_input(self.input_name, "cuda", self._device_id, self.dtype, tuple(feed.shape), feed.data.ptr)
        out = self._device_out
        if out is not None and self._device_out_for == tuple(feed.shape[1:]) and out.shape[0] >= rows:
            out = out[:rows]
            binding.bind_output(
                self.output_name, "cuda", self._device_id, self.output_dtype, tuple(out.shape), out.data.ptr
            )
        else:
            out = None
            binding.bind_output(self.output_name, "cuda", self._device_id)
        # ONNX Runtime works on its own stream: the batch must be written, and the last
        # result read, before it starts. Its run returns once the result is complete.
        cp.cuda.get_current_stream().synchronize()
        try:
            self.session.run_with_iobinding(binding)
        except Exception as exc:
            raise ModelRunError(
                f"the model failed on a batch of shape {tuple(feed.shape)}: {_first_line(exc)}"
            ) from None
        if out is None:
            out = self._adopt_output(binding.get_outputs()[0], rows)
            self._device_out_for = tuple(feed.shape[1:])
        return out if full is None else out[:count]

    def _adopt_output(self, value, rows):
        """Copy ONNX Runtime's own first result into a CuPy buffer that later runs write into."""
        cp = self._cupy
        shape = tuple(value.shape())
        nbytes = int(numpy.prod(shape)) * self.output_dtype.itemsize
        memory = cp.cuda.UnownedMemory(value.data_ptr(), nbytes, value)
        view = cp.ndarray(shape, self.output_dtype, cp.cuda.MemoryPointer(memory, 0))
        self._device_out = cp.empty((max(rows, self.batch_size or rows),) + shape[1:], self.output_dtype)
        out = self._device_out[:rows]
        out[...] = view
        return out
