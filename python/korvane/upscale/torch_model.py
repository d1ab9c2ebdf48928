"""A PyTorch module as the ``model`` of :func:`korvane.upscale.upscale_tiled` and ``pixelshift_infer``.

:class:`TorchModel` runs a ``torch.nn.Module`` (or a model that spandrel loaded, through its
``ImageModelDescriptor``) on NCHW batches of the engine's array module, and returns results of
the same module:

* a NumPy batch becomes a CPU tensor with ``torch.from_numpy`` and the result comes back
  with ``.numpy()``, no copy either way for a float32 model on the CPU;
* a CuPy batch goes to torch through DLPack, on its device, and the result comes back the
  same way: no copy, and torch queues its work on CuPy's current stream (see the class);
* a batch of a CPU stand-in for CuPy (or a CuPy batch for a model on the CPU) is copied to
  the host once with ``asnumpy`` and its result back once with ``asarray``.

torch is imported when a model is made, not with this module.
"""

import sys

import numpy

from korvane._arrays import array_module
from korvane.upscale.onnx_model import ModelError, ModelRunError

__all__ = ["DTYPES", "TorchModel", "import_torch"]

# The element types a model may run in, by name; the results are float32 whatever it is.
DTYPES = ("float32", "float16", "bfloat16")

# spandrel's purposes of image-to-image models (an inpainting model also needs a mask).
_IMAGE_PURPOSES = ("SR", "FaceSR", "Restoration")

INSTALL_HINT = "pip install torch (and spandrel safetensors to load model files)"


def import_torch():
    """Return the ``torch`` module; ImportError saying what to install when it is missing."""
    try:
        import torch
    except ImportError as exc:
        raise ImportError(f"running PyTorch models needs torch: {INSTALL_HINT}") from exc
    return torch


def _reason(exc):
    """One line for ``exc``: its message, with the type where the message alone says little."""
    text = " ".join(str(exc).split())
    if len(text) > 300:
        text = text[:297] + "..."
    if not text or isinstance(exc, KeyError):
        return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    return text


def _is_spandrel_model(value):
    # spandrel is imported by whoever made the descriptor: it is looked up, not imported.
    spandrel = sys.modules.get("spandrel")
    return spandrel is not None and isinstance(value, spandrel.ModelBase)


def check_descriptor(descriptor, where):
    """Refuse a spandrel model that does not map an image to an image; ``where`` starts the message."""
    import spandrel

    purpose = descriptor.purpose
    if not isinstance(descriptor, spandrel.ImageModelDescriptor) or purpose not in _IMAGE_PURPOSES:
        raise ModelError(
            f"{where}: {descriptor.architecture.name} is a {purpose} model ({type(descriptor).__name__}), "
            "not one that maps an image to an image (super-resolution or restoration)"
        )


def _torch_dtype(torch, dtype, default):
    if dtype is None:
        return default
    if isinstance(dtype, str) and dtype in DTYPES:
        return getattr(torch, dtype)
    if isinstance(dtype, torch.dtype) and str(dtype).removeprefix("torch.") in DTYPES:
        return dtype
    raise ValueError(f"dtype: expected None or one of torch.{', torch.'.join(DTYPES)} (or its name), got {dtype!r}")


def _first_tensor(net):
    """The module's first floating-point parameter or buffer, or None."""
    for tensor in (*net.parameters(), *net.buffers()):
        if tensor.is_floating_point():
            return tensor
    return None


def _torch_device(torch, device, tensor):
    if device is None:
        return tensor.device if tensor is not None else torch.device("cpu")
    try:
        device = torch.device(device)
    except (RuntimeError, TypeError):
        raise ValueError(f"device: expected None, 'cpu', 'cuda' or 'cuda:N', got {device!r}") from None
    if device.type not in ("cpu", "cuda"):
        raise ValueError(f"device: expected None, 'cpu', 'cuda' or 'cuda:N', got {device!r}")
    if device.type == "cuda":
        if not torch.cuda.is_available():
            raise RuntimeError(
                f"device: {str(device)!r} needs torch with CUDA and a GPU; torch {torch.__version__} sees none"
            )
        if device.index is None:  # the GPU that is current, as for OnnxModel
            cupy = _usable_cupy()
            device = torch.device("cuda", cupy.cuda.Device().id if cupy else torch.cuda.current_device())
    return device


def _usable_cupy():
    """Real CuPy with a GPU, or None; the NumPy stand-ins never count."""
    from korvane.testing import cupy_is_usable

    return sys.modules["cupy"] if cupy_is_usable() else None


def _rebuild(module, options):
    return TorchModel(module, **options)


class TorchModel:
    """A PyTorch image model (a ``torch.nn.Module`` or a spandrel ``ImageModelDescriptor``) on NCHW batches.

    Parameters
    ----------
    module : torch.nn.Module or spandrel.ImageModelDescriptor
        Takes a (B, C, H, W) tensor and returns a (B, C', H*s, W*s) one. A spandrel model is
        run through its descriptor, as spandrel runs it: the batch padded to the model's
        size requirements, its own call, the output clamped to [0, 1]. It must be of purpose
        "SR", "FaceSR" or "Restoration". The module is moved, cast and put in eval mode in
        place, as ``Module.to`` and ``Module.eval`` do.
    device : None, str or torch.device
        None: where the module's tensors are (the CPU for a module without any). "cpu",
        "cuda" (the GPU current in CuPy, else torch's current one) or "cuda:N".
    dtype : None, torch.float32, torch.float16 or torch.bfloat16 (or its name)
        The element type the module runs in, cast once here; each batch is cast to it and
        each result back to float32. None: the module's own. float16 is refused on the CPU,
        and both half types where spandrel says the architecture does not support them.
    channels_last : bool
        Run the module and its batches in torch's channels-last memory format (a copy of each
        batch; faster for convolutions on some GPUs).

    Attributes
    ----------
    scale, channels, output_channels : int or None
        From spandrel's descriptor; None for a plain module.
    tile_size, batch_size : None
        A PyTorch model fixes neither.
    device : torch.device
    dtype : torch.dtype
    xp : module
        CuPy for a model on a GPU where CuPy is usable, else NumPy. The model takes batches
        of any module and returns results of the batch's module.
    path : str or None
        The file, for a model made by :func:`korvane.upscale.load_model`.

    Raises
    ------
    ImportError
        torch is not installed.
    TypeError
        ``module`` is no torch module or spandrel model.
    ModelError
        A spandrel model that is not image-to-image.
    ValueError
        ``device`` or ``dtype`` out of range, float16 on the CPU, or a half type that the
        architecture does not support.
    RuntimeError
        A CUDA device where torch has no GPU.

    Notes
    -----
    Threads may share a model: a call holds its own tensors only, and torch runs concurrent
    forward passes of one module under ``torch.inference_mode`` safely (the module is in
    eval mode from the start, so nothing about it changes on a call).

    On a GPU each call makes CuPy's current stream torch's current stream for its duration
    (``torch.cuda.ExternalStream`` of its pointer; torch's default stream for CuPy's null
    stream): the batch's DLPack handover, the forward pass and the result's handover are all
    queued on that one stream, after whatever CuPy queued there and before whatever it queues
    next, so neither side waits for the device or needs an event. The result's memory belongs
    to torch's caching allocator and returns to it, for that stream, when the CuPy array is
    freed: use it on the stream of the call (or synchronise first). CuPy's per-thread default
    stream is refused: torch's DLPack export does not accept it.

    Pickling: a model made by ``load_model`` pickles as its file and options and the copy
    loads the file again. A model made from a plain module pickles the module as torch does
    (its tensors on their device; unpickling it runs that pickle, so only unpickle your own).
    A model made here from a spandrel descriptor is refused (the descriptors do not pickle):
    make it with ``load_model``.
    """

    def __init__(self, module, *, device=None, dtype=None, channels_last=False):
        torch = import_torch()
        descriptor = module if _is_spandrel_model(module) else None
        if descriptor is not None:
            check_descriptor(descriptor, "module")
            net = descriptor.model
        elif isinstance(module, torch.nn.Module):
            net = module
        else:
            raise TypeError(
                f"module: expected a torch.nn.Module or a spandrel ImageModelDescriptor, got {type(module).__name__}"
            )
        if not isinstance(channels_last, bool):
            raise TypeError(f"channels_last: expected a bool, got {type(channels_last).__name__}")
        first = _first_tensor(net)
        self.dtype = _torch_dtype(torch, dtype, first.dtype if first is not None else torch.float32)
        if str(self.dtype).removeprefix("torch.") not in DTYPES:
            raise ValueError(f"dtype: the module is {self.dtype}: pass dtype=torch.float32 (or a half type) to cast it")
        if descriptor is not None:
            supported = {torch.float16: descriptor.supports_half, torch.bfloat16: descriptor.supports_bfloat16}
            if not supported.get(self.dtype, True):
                raise ValueError(f"dtype: spandrel's {descriptor.architecture.name} does not support {self.dtype}")
        self.device = _torch_device(torch, device, first)
        if self.device.type == "cpu" and self.dtype == torch.float16:
            raise ValueError("dtype: torch.float16 is not supported on the CPU: use torch.bfloat16 there")
        self._torch, self._module, self._descriptor = torch, module, descriptor
        self._memory_format = torch.channels_last if channels_last else torch.contiguous_format
        net.to(device=self.device, dtype=self.dtype)
        if channels_last:
            net.to(memory_format=torch.channels_last)
        net.eval()
        # The descriptor pads, calls and clamps as spandrel means its models to run.
        self._forward = descriptor if descriptor is not None else net
        self._options = {"device": device, "dtype": dtype, "channels_last": channels_last}
        self._source = None  # (path, load_model's options) when made by load_model
        self.path = None
        self.scale = descriptor.scale if descriptor is not None else None
        self.channels = descriptor.input_channels if descriptor is not None else None
        self.output_channels = descriptor.output_channels if descriptor is not None else None
        self.tile_size = self.batch_size = None
        self._cupy = _usable_cupy() if self.device.type == "cuda" else None
        self.xp = self._cupy or numpy

    def __repr__(self):
        d = self._descriptor
        name = d.architecture.name if d is not None else type(self._module).__name__
        where = f"{self.path!r}, " if self.path else ""
        return f"TorchModel({where}{name}, device={str(self.device)!r}, dtype={self.dtype}, scale={self.scale})"

    def __reduce__(self):
        if self._source is not None:
            return _reload, self._source
        if self._descriptor is not None:
            raise TypeError(
                "cannot pickle a TorchModel made from a spandrel descriptor (spandrel's descriptors do not pickle): "
                "make it with korvane.upscale.load_model(path) to pickle it as its file and options"
            )
        return _rebuild, (self._module, dict(self._options))

    # ---- running -------------------------------------------------------------------------------

    def __call__(self, batch):
        """Run an NCHW batch; the result is a float32 NCHW array of the batch's module.

        ValueError for a batch that is no 4-d array, has another channel count than the
        model takes, or lies on another GPU than the model; ModelRunError where the module fails.
        """
        ndim = getattr(batch, "ndim", None)
        if ndim != 4:
            got = type(batch).__name__ if ndim is None else f"shape {tuple(batch.shape)}"
            raise ValueError(f"batch: expected an NCHW array of rank 4, got {got}")
        if self.channels is not None and batch.shape[1] != self.channels:
            raise ValueError(f"batch: the model takes {self.channels} channels, got shape {tuple(batch.shape)}")
        xp = array_module(batch)
        if xp is numpy:
            return self._run_on_host(batch)
        if xp is self._cupy:
            return self._run_on_device(batch)
        # A CPU stand-in's batch, or a CuPy batch for a model off the GPU: one copy each way.
        return xp.asarray(self._run_on_host(xp.asnumpy(batch)))

    def _run(self, tensor):
        """The module's float32 result for ``tensor``, on the model's device."""
        torch = self._torch
        feed = tensor.to(device=self.device, dtype=self.dtype).contiguous(memory_format=self._memory_format)
        try:
            with torch.inference_mode():
                result = self._forward(feed)
        except Exception as exc:
            raise ModelRunError(f"the model failed on a batch of shape {tuple(feed.shape)}: {_reason(exc)}") from None
        if not isinstance(result, torch.Tensor) or result.ndim != 4:
            got = f"shape {tuple(result.shape)}" if isinstance(result, torch.Tensor) else type(result).__name__
            raise ModelRunError(f"the model returned {got} for a batch of shape {tuple(feed.shape)}: expected NCHW")
        return result.to(torch.float32)

    def _run_on_host(self, batch):
        if not batch.flags.writeable:  # torch.from_numpy warns of, and could write through, read-only memory
            batch = batch.copy()
        return self._run(self._torch.from_numpy(batch)).cpu().numpy()

    def _run_on_device(self, batch):
        torch, cp = self._torch, self._cupy
        if batch.device.id != self.device.index:
            raise ValueError(
                f"batch: expected an array on GPU {self.device.index}, where the model runs, got one on GPU "
                f"{batch.device.id}"
            )
        pointer = cp.cuda.get_current_stream().ptr
        if pointer == cp.cuda.Stream.ptds.ptr:
            raise ValueError(
                "batch: CuPy's per-thread default stream is current, and torch cannot share it: use another"
            )
        stream = (
            torch.cuda.default_stream(self.device)
            if pointer == 0
            else torch.cuda.ExternalStream(pointer, device=self.device)
        )
        # Both handovers happen inside, on the same stream: neither DLPack export adds an event.
        with torch.cuda.device(self.device), torch.cuda.stream(stream):
            return cp.from_dlpack(self._run(torch.from_dlpack(batch)))


def _reload(path, options):
    from korvane.upscale.loading import load_model

    return load_model(path, **options)
