"""An ONNX graph as the ``model`` of :func:`korvane.upscale.upscale_tiled`, run by ONNX Runtime.

:class:`OnnxModel` reads what the graph says about itself (input and output names, shapes
and layout, which sizes are fixed, the element type) and runs NCHW batches:

* on the CPU provider, a NumPy batch goes to ONNX Runtime as it is (no copy for a float32
  NCHW model); a batch of a device module (CuPy, or a ``cupy`` stand-in) is copied to the
  host once, explicitly, with ``asnumpy``, and the result is copied back with ``asarray``;
* on the CUDA provider, CuPy batches stay on the GPU: ONNX Runtime reads the batch and
  writes its result through I/O binding on device pointers, into a new CuPy array.

A graph with a fixed batch size gets full batches: a shorter last batch is padded with
zeros and the padding's results are dropped. A channel-last (NHWC) graph gets its batches
transposed on the way in and its results on the way out, one copy each way.

A model keeps no buffers between calls, so threads may share one; it pickles as its file
and options, and the copy opens its own session.
"""

import contextlib
import functools
import importlib.metadata
import io
import math
import numbers
import sys
import warnings

import numpy

from korvane._arrays import array_module

__all__ = ["PROVIDERS", "ModelError", "ModelRunError", "OnnxModel", "import_onnxruntime"]

PROVIDERS = ("auto", "cpu", "cuda")

# How cuDNN picks a convolution algorithm; ONNX Runtime's own default is EXHAUSTIVE.
_CONV_SEARCHES = ("HEURISTIC", "EXHAUSTIVE", "DEFAULT")

# ONNX element types the adapter can feed, as ONNX Runtime names them.
_ELEMENT_TYPES = {"tensor(float)": numpy.float32, "tensor(float16)": numpy.float16, "tensor(double)": numpy.float64}

# ONNX Runtime's "fatal" level: below it, a failing kernel logs its own line on stderr before
# the exception that says the same reaches korvane.
_QUIET = 4

_CUDA = "CUDAExecutionProvider"

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


@functools.cache
def _preload(preload):
    """Load the CUDA and cuDNN libraries with ONNX Runtime's ``preload_dlls``; None, or what failed.

    The CUDA provider finds the libraries of the nvidia-* wheels (the ``cuda`` and ``cudnn``
    extras of onnxruntime-gpu) only once they are loaded. ``preload_dlls`` prints what it
    cannot load, and warns, instead of raising: both are kept for the message that reports
    a CUDA provider that does not start, not shown. Once per process.
    """
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed), warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            preload()
    except Exception as exc:
        return f"onnxruntime.preload_dlls() failed: {_first_line(exc)}"
    missing = []
    for line in printed.getvalue().splitlines():
        if line.startswith("Failed to load "):
            name = line.removeprefix("Failed to load ").split(":")[0].rsplit("/", 1)[-1]
            if name not in missing:
                missing.append(name)
    found = [f"cannot load {', '.join(missing)}"] if missing else []
    return "; ".join(found + [_first_line(w.message) for w in warned]) or None


def _open_session(ort, path, options, providers):
    # The one place a session is made: the tests put a simulated CUDA session here. Without
    # ONNX Runtime's own fallback, which retries on the CPU after printing to stdout.
    return ort.InferenceSession(path, sess_options=options, providers=providers, enable_fallback=0)


def _reopen(path, options):
    return OnnxModel(path, **options)


def _first_line(exc):
    text = " ".join(str(exc).split())
    return text if len(text) <= 300 else text[:297] + "..."


def _dims(shape):
    """ONNX Runtime's shape entries as ints, None for the dynamic ones (names, None, -1)."""
    return tuple(d if isinstance(d, int) and d > 0 else None for d in shape)


def _show(shape):
    return "[" + ", ".join("?" if d is None else str(d) for d in shape) + "]"


class OnnxModel:
    """An ONNX super-resolution graph with one 4-d image input and one 4-d image output.

    The model is called with NCHW batches and returns NCHW results, whatever the graph's
    layout: a channel-last graph (NHWC) gets its batches transposed on the way in and its
    results on the way out.

    Parameters
    ----------
    path : str or os.PathLike
        The ``.onnx`` file.
    provider : {"auto", "cpu", "cuda"}
        ``"cuda"``: ONNX Runtime's CUDA provider on CuPy arrays (needs onnxruntime-gpu and
        CuPy with a GPU), on the GPU that is current when the model is made. ``"cpu"``: the
        CPU provider on NumPy arrays. ``"auto"``: CUDA when both are usable and the provider
        starts, else the CPU, with the reason in ``provider_note``.
    gpu_mem_limit : int, optional
        The most bytes ONNX Runtime's CUDA memory arena may hold (its ``gpu_mem_limit``);
        None: no limit. The arena grows by what each allocation asks (``kSameAsRequested``),
        not by powers of two, so that it leaves room for CuPy's pool on the same GPU.
    cudnn_conv_algo_search : {"HEURISTIC", "EXHAUSTIVE", "DEFAULT"}
        How cuDNN chooses its convolution algorithms. HEURISTIC (the default here) asks
        cuDNN's heuristics; EXHAUSTIVE (ONNX Runtime's default) times every algorithm for
        every new input shape, which a dynamic graph meets at each new tile or batch size
        (a shorter last batch, say): seconds and extra memory each time. DEFAULT takes one
        fixed algorithm.

    Attributes
    ----------
    input_name, output_name : str
        As the graph names them.
    input_shape, output_shape : tuple of (int or None)
        As the graph states them, in its ``layout``, None where it leaves a size dynamic;
        ``output_shape`` may be empty when the graph does not say.
    layout : {"NCHW", "NHWC"}
        The graph's layout: NHWC where the input's last axis is 1, 3 or 4 and its second
        axis is dynamic, else NCHW. The output is taken to be in the same layout.
    batch_size, channels : int or None
        The graph's fixed batch size and input channel count, None when dynamic.
    output_channels : int or None
        The output's channel count (the C of its NCHW results), None where the graph does
        not fix it.
    tile_size : (int or None, int or None)
        The graph's fixed input height and width.
    dtype, output_dtype : numpy.dtype
        The input's and output's element types (float32, float16 or float64); batches are
        converted to ``dtype``, results come in ``output_dtype``.
    provider : {"cpu", "cuda"}
        The provider the session runs on.
    provider_note : str or None
        Why ``provider="auto"`` runs on the CPU where the CUDA road was on offer (ONNX
        Runtime has its CUDA provider) but could not be taken; None otherwise.
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
    ValueError
        ``provider``, ``gpu_mem_limit`` or ``cudnn_conv_algo_search`` out of range.
    RuntimeError
        ``provider="cuda"`` where the CUDA provider or CuPy with a GPU is missing, or the
        CUDA provider does not start.

    Notes
    -----
    Threads may share a model: every call makes its own buffers and, on the GPU, its own
    I/O binding. On the CUDA provider each call waits once for CuPy's current stream before
    ONNX Runtime reads the batch: ONNX Runtime computes on a stream of its own, fixed when
    the session is made (its ``user_compute_stream`` option), while CuPy's current stream
    belongs to the calling thread and may change between calls. ONNX Runtime's run returns
    once its stream is done, so the result is complete when the call returns.

    A model pickles as its file and options; unpickling opens a new session (on a worker
    with a GPU, ``provider="auto"`` may then choose CUDA).
    """

    def __init__(self, path, provider="auto", *, gpu_mem_limit=None, cudnn_conv_algo_search="HEURISTIC", graph=None):
        if provider not in PROVIDERS:
            raise ValueError(f"provider: expected one of {', '.join(PROVIDERS)}, got {provider!r}")
        if gpu_mem_limit is not None and (
            isinstance(gpu_mem_limit, bool) or not isinstance(gpu_mem_limit, numbers.Integral) or gpu_mem_limit < 1
        ):
            raise ValueError(f"gpu_mem_limit: expected a positive number of bytes or None, got {gpu_mem_limit!r}")
        if cudnn_conv_algo_search not in _CONV_SEARCHES:
            raise ValueError(
                f"cudnn_conv_algo_search: expected one of {', '.join(_CONV_SEARCHES)}, got {cudnn_conv_algo_search!r}"
            )
        ort = import_onnxruntime()
        self.path = str(path)
        # A graph made in memory (from an ncnn model, say): ``path`` names its source file.
        self._graph = graph
        self._reduce = None
        self._options = {
            "provider": provider,
            "gpu_mem_limit": None if gpu_mem_limit is None else int(gpu_mem_limit),
            "cudnn_conv_algo_search": cudnn_conv_algo_search,
        }
        with open(self.path, "rb"):  # FileNotFoundError, IsADirectoryError, PermissionError as they are
            pass
        self.provider_note = None
        cupy = self._cuda_module(ort, provider)
        self._device_id = cupy.cuda.Device().id if cupy is not None else None
        problem = None
        if cupy is not None and hasattr(ort, "preload_dlls"):  # ONNX Runtime 1.21 and later
            problem = _preload(ort.preload_dlls)
        self.session, failure = self._session(ort)
        if cupy is not None and _CUDA not in self.session.get_providers():
            why = failure or problem or "a CUDA or cuDNN library missing or of another version?"
            reason = f"ONNX Runtime could not start its CUDA provider ({why})"
            if provider == "cuda":
                raise RuntimeError(reason + _clash_note())
            self.provider_note = reason + ": running on the CPU" + _clash_note()
            cupy = self._device_id = None
        self.provider = "cuda" if cupy is not None else "cpu"
        self.xp = cupy if cupy is not None else numpy
        self._cupy = cupy
        self._read_graph()
        self._run_options = ort.RunOptions()
        self._run_options.log_severity_level = _QUIET
        # Output shape for each input shape seen on the GPU: later runs bind a new array of it.
        self._output_shapes = {}

    # ---- set-up --------------------------------------------------------------------------------

    def _cuda_module(self, ort, provider):
        """CuPy when the CUDA provider is to be tried, else None."""
        if provider == "cpu":
            return None
        available = ort.get_available_providers()
        if _CUDA not in available:
            if provider == "cuda":
                raise RuntimeError(
                    f"ONNX Runtime here has no CUDA provider (it has {', '.join(available)}): "
                    'install onnxruntime-gpu, e.g. pip install "korvane[cuda12]" or "korvane[cuda13]"' + _clash_note()
                )
            return None  # the CPU build: no CUDA road to note
        cupy = _usable_cupy()
        if cupy is None:
            if provider == "cuda":
                raise RuntimeError(
                    "provider 'cuda' needs CuPy with a usable GPU "
                    '(pip install "korvane[cuda12]" or "korvane[cuda13]")'
                )
            self.provider_note = "ONNX Runtime has its CUDA provider, but CuPy sees no usable GPU: running on the CPU"
        return cupy

    def _session(self, ort):
        """The session, and why a CUDA one failed to open (None where none was tried or it opened)."""
        options = ort.SessionOptions()
        options.log_severity_level = _QUIET  # failures come back as exceptions, reported once by korvane
        failure = None
        if self._device_id is not None:
            cuda = {
                "device_id": self._device_id,
                "arena_extend_strategy": "kSameAsRequested",
                "cudnn_conv_algo_search": self._options["cudnn_conv_algo_search"],
            }
            if self._options["gpu_mem_limit"] is not None:
                cuda["gpu_mem_limit"] = self._options["gpu_mem_limit"]
            try:
                return _open_session(ort, self._source(), options, [(_CUDA, cuda), "CPUExecutionProvider"]), None
            except Exception as exc:  # a bad file fails again below, on the CPU alone
                failure = _first_line(exc)
        try:
            return _open_session(ort, self._source(), options, ["CPUExecutionProvider"]), failure
        except Exception as exc:  # ONNX Runtime's own exception types (InvalidProtobuf, Fail, ...)
            raise ModelError(f"{self.path} is not a usable ONNX model: {_first_line(exc)}") from None

    def _source(self):
        return self.path if self._graph is None else self._graph

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
        self.input_shape, self.output_shape = _dims(source.shape or ()), _dims(result.shape or ())
        for role, arg, shape in (("input", source, self.input_shape), ("output", result, self.output_shape)):
            # ONNX Runtime shows a shape left out and a stated rank 0 alike, as []. Graphs often
            # leave the output's out, so only the input must have one.
            if len(shape) != 4 and (shape or role == "input"):
                got = f"of shape {_show(shape)}" if shape else "with no shape (none stated, or rank 0)"
                raise ModelError(f"{self.path}: expected an NCHW {role} of rank 4, got {role} {arg.name!r} {got}")
            if arg.type not in _ELEMENT_TYPES:
                raise ModelError(
                    f"{self.path}: expected a float, float16 or double {role}, got {role} "
                    f"{arg.name!r} of type {arg.type}"
                )
        batch, second, third, last = self.input_shape
        # A fixed second axis is NCHW's channel count, even where the last axis is 3 (a
        # fixed [1, 16, 16, 3] is refused below with a hint): only a dynamic one is a height.
        self.layout = "NHWC" if second is None and last in (1, 3, 4) else "NCHW"
        channels, height, width = (last, second, third) if self.layout == "NHWC" else (second, third, last)
        if channels not in (None, 1, 3):
            if self.layout == "NHWC":
                raise ModelError(
                    f"{self.path}: expected an input of 1 or 3 channels, got NHWC input "
                    f"{self.input_name!r} of shape {_show(self.input_shape)}"
                )
            hint = " (that looks like NHWC)" if width in (1, 3) else ""
            raise ModelError(
                f"{self.path}: expected an NCHW input of 1 or 3 channels, got input "
                f"{self.input_name!r} of shape {_show(self.input_shape)}{hint}"
            )
        self.batch_size, self.channels, self.tile_size = batch, channels, (height, width)
        out = self.output_shape
        self.output_channels = None if not out else out[3] if self.layout == "NHWC" else out[1]
        self.dtype = numpy.dtype(_ELEMENT_TYPES[source.type])
        self.output_dtype = numpy.dtype(_ELEMENT_TYPES[result.type])

    def __repr__(self):
        return (
            f"OnnxModel({self.path!r}, provider={self.provider!r}: {self.input_name} "
            f"{_show(self.input_shape)} -> {self.output_name} {_show(self.output_shape)})"
        )

    def __reduce__(self):
        # A session cannot be pickled: the copy opens the file again with the same options
        # (a graph made in memory, through whatever made it: see load_model).
        if self._reduce is not None:
            return self._reduce
        return _reopen, (self.path, dict(self._options))

    # ---- running -------------------------------------------------------------------------------

    def __call__(self, batch):
        """Run an NCHW batch; the result is a new NCHW array of the batch's module.

        ValueError for a batch that is no 4-d array, holds more rows than a fixed batch
        size, or lies on another GPU than the model; ModelRunError where ONNX Runtime fails.
        """
        ndim = getattr(batch, "ndim", None)
        if ndim != 4:
            got = type(batch).__name__ if ndim is None else f"shape {tuple(batch.shape)}"
            raise ValueError(f"batch: expected an NCHW array of rank 4, got {got}")
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

    def _feed(self, xp, batch):
        """The graph's input for ``batch``: in its layout, element type and batch size, contiguous.

        The batch itself where it already is that; else one new array of module ``xp``,
        made for this call only.
        """
        count = batch.shape[0]
        rows = self._full_batch(count) or count
        source = batch.transpose(0, 2, 3, 1) if self.layout == "NHWC" else batch
        if rows == count and source.dtype == self.dtype and source.flags.c_contiguous:
            return source
        feed = xp.empty((rows,) + tuple(source.shape[1:]), self.dtype)
        feed[:count] = source
        if rows > count:
            feed[count:] = 0
        return feed

    def _result(self, xp, result, count):
        """The graph's result as the NCHW batch of ``count`` rows that the caller gets."""
        if result.shape[0] > count:
            result = result[:count]
        if self.layout == "NHWC" and result.ndim == 4:
            result = xp.ascontiguousarray(result.transpose(0, 3, 1, 2))
        return result

    def _failed(self, feed, exc):
        return ModelRunError(f"the model failed on a batch of shape {tuple(feed.shape)}: {_first_line(exc)}")

    def _run_on_host(self, batch):
        feed = self._feed(numpy, batch)
        try:
            (result,) = self.session.run([self.output_name], {self.input_name: feed}, self._run_options)
        except Exception as exc:
            raise self._failed(feed, exc) from None
        return self._result(numpy, result, batch.shape[0])

    def _run_on_device(self, batch):
        cp = self._cupy
        if batch.device.id != self._device_id:
            raise ValueError(
                f"batch: expected an array on GPU {self._device_id}, where the model runs, got one on GPU "
                f"{batch.device.id}"
            )
        # The model's device for every allocation, stream and pointer of the call, whichever
        # device is current in the caller.
        with cp.cuda.Device(self._device_id):
            feed = self._feed(cp, batch)
            shape = tuple(feed.shape)
            out_shape = self._output_shapes.get(shape)
            out = None if out_shape is None else cp.empty(out_shape, self.output_dtype)
            # ONNX Runtime reads the batch on its own stream, perhaps while binding it: what
            # CuPy's current stream has queued (the batch, its copy) must be done first.
            cp.cuda.get_current_stream().synchronize()
            try:
                binding = self.session.io_binding()
                binding.bind_input(self.input_name, "cuda", self._device_id, self.dtype, shape, feed.data.ptr)
                if out is None:  # first run at this shape: ONNX Runtime allocates the result
                    binding.bind_output(self.output_name, "cuda", self._device_id)
                else:
                    binding.bind_output(
                        self.output_name, "cuda", self._device_id, self.output_dtype, out_shape, out.data.ptr
                    )
                self.session.run_with_iobinding(binding, self._run_options)
                binding.synchronize_outputs()  # the run waits for its stream already, unless configured not to
                if out is None:
                    out = self._adopt_output(binding.get_outputs()[0])
            except Exception as exc:
                raise self._failed(feed, exc) from None
            if out_shape is None:
                self._output_shapes[shape] = tuple(out.shape)
            return self._result(cp, out, batch.shape[0])

    def _adopt_output(self, value):
        """A new CuPy array holding ONNX Runtime's own result ``value`` (freed with it)."""
        cp = self._cupy
        shape = tuple(value.shape())
        nbytes = math.prod(shape) * self.output_dtype.itemsize
        memory = cp.cuda.UnownedMemory(value.data_ptr(), nbytes, value)
        out = cp.ndarray(shape, self.output_dtype, cp.cuda.MemoryPointer(memory, 0)).copy()
        # The copy is only queued: ONNX Runtime's buffer, released with value, must outlive it.
        cp.cuda.get_current_stream().synchronize()
        return out
