"""The one place that picks a model adapter for a file: :func:`load_model`.

* ``.onnx``: :class:`~korvane.upscale.onnx_model.OnnxModel`;
* ``.pth``, ``.pt``, ``.ckpt``, ``.safetensors``: PyTorch weights, whose architecture spandrel
  recognises, as a :class:`~korvane.upscale.torch_model.TorchModel`;
* ``.param`` (with its ``.bin``): an ncnn model, converted to ONNX in memory
  (:mod:`korvane.upscale.ncnn`) and run as an ``OnnxModel`` with the model's ``scale`` and
  ``context`` (its margin) set;
* the name of a model in an installed model package (:mod:`korvane.upscale.named`).

Loading never runs code from the file. A ``.safetensors`` file holds tensors only. A pickled
file (``.pth``, ``.pt``, ``.ckpt``) is read by ``torch.load(weights_only=True)``, whose
unpickler builds tensors and plain containers and refuses every other global; spandrel's own
file loader is not used for these, since it unpickles with a list of its own and opens a
``.pt`` as TorchScript first, which runs the archive's code. A TorchScript archive is refused.
"""

import os
import pickle
import zipfile

from korvane.upscale.onnx_model import PROVIDERS, ModelError, OnnxModel
from korvane.upscale.torch_model import TorchModel, _reason, check_descriptor, import_torch

__all__ = ["EXTENSIONS", "load_model"]

LOAD_HINT = "pip install torch spandrel safetensors"


def _load_onnx(path, device, dtype):
    if dtype is not None:
        raise ValueError(f"dtype: an ONNX model runs in its graph's own element type, got dtype={dtype!r}")
    return OnnxModel(path, provider=device)


def _load_torch(path, device, dtype):
    torch = import_torch()
    try:
        import spandrel
    except ImportError as exc:
        raise ImportError(f"loading PyTorch model files needs spandrel: {LOAD_HINT}") from exc
    with open(path, "rb"):  # FileNotFoundError, IsADirectoryError, PermissionError as they are
        pass
    state = _read_weights(torch, path)
    if not isinstance(state, dict):
        raise ModelError(f"{path}: expected a state dict (a dict of tensors), got {type(state).__name__}")
    try:
        descriptor = spandrel.ModelLoader().load_from_state_dict(state)
    except spandrel.UnsupportedModelError:
        keys = ", ".join(map(str, list(state)[:3])) + (f", ... ({len(state)} in all)" if len(state) > 3 else "")
        raise ModelError(f"{path}: spandrel recognises no architecture in these weights (keys: {keys})") from None
    except Exception as exc:  # an architecture detected, its weights not as it expects
        raise ModelError(f"{path}: spandrel could not load these weights: {_reason(exc)}") from None
    check_descriptor(descriptor, path)
    if device == "auto":
        device = "cuda" if torch.cuda.is_available() else "cpu"
    model = TorchModel(descriptor, device=device, dtype=dtype)
    model.path = path
    return model


def _read_weights(torch, path):
    """The file's tensors, read without running anything the file holds."""
    if path.lower().endswith(".safetensors"):
        import safetensors.torch

        try:
            return safetensors.torch.load_file(path, device="cpu")
        except Exception as exc:  # safetensors' SafetensorError, from Rust
            raise ModelError(f"{path} is not a readable safetensors file: {_reason(exc)}") from None
    if _is_torchscript(path):
        raise ModelError(_refusal(path, "it is a TorchScript archive"))
    try:
        return torch.load(path, map_location="cpu", weights_only=True)
    except pickle.UnpicklingError as exc:
        reason = _unpickling_reason(str(exc))
        if "GLOBAL" in str(exc):  # a global beyond tensors and containers: a call the pickle would make
            raise ModelError(_refusal(path, reason)) from None
        raise ModelError(f"{path} is not a readable PyTorch file: {reason}") from None
    except Exception as exc:  # what a file that is no pickle makes torch raise: EOFError, KeyError, ...
        raise ModelError(f"{path} is not a readable PyTorch file: {_reason(exc)}") from None


def _refusal(path, why):
    return (
        f"{path}: load_model refuses to run code from the file: {why} "
        "(only weights load: save them with torch.save(model.state_dict(), path) or as .safetensors)"
    )


def _is_torchscript(path):
    # torch.load would hand such an archive to torch.jit.load, after a warning; its code is
    # compiled and run. torch tells one by the constants.pkl that only TorchScript writes.
    try:
        with zipfile.ZipFile(path) as archive:
            return any(name.rsplit("/", 1)[-1] == "constants.pkl" for name in archive.namelist())
    except zipfile.BadZipFile:  # a legacy (not zipped) torch file, or none: torch.load says which
        return False


def _unpickling_reason(message):
    """The gist of torch's weights-only refusal: its last paragraph but the pointer to the docs."""
    paragraphs = [p for p in message.split("\n\n") if p.strip() and not p.startswith("Check the documentation")]
    line = paragraphs[-1].strip().splitlines()[-1].strip() if paragraphs else message
    return line.removeprefix("WeightsUnpickler error: ").split(" Please use ")[0].rstrip(".")


def _load_ncnn(path, device, dtype):
    """An ncnn model, converted to an ONNX graph in memory and run by ONNX Runtime."""
    from korvane.upscale import ncnn

    if dtype is not None:
        raise ValueError(f"dtype: an ncnn model runs in float32 through ONNX Runtime, got dtype={dtype!r}")
    with open(path, "rb"):  # FileNotFoundError, IsADirectoryError, PermissionError as they are
        pass
    converted = ncnn.convert(path)
    model = OnnxModel(path, provider=device, graph=converted.onnx_bytes)
    model.scale, model.context = converted.scale, converted.context
    model._reduce = (_reload_ncnn, (path, device))
    return model


def _reload_ncnn(path, device):
    return _load_ncnn(path, device, None)


# The adapter for each file extension; a name that is no file is looked up among the
# installed model packages (korvane.upscale.named).
_LOADERS = {
    ".onnx": _load_onnx,
    ".param": _load_ncnn,
    ".pth": _load_torch,
    ".pt": _load_torch,
    ".ckpt": _load_torch,
    ".safetensors": _load_torch,
}

EXTENSIONS = tuple(_LOADERS)


def load_model(path, *, device="auto", dtype=None):
    """Open a model file with the adapter its extension names.

    Parameters
    ----------
    path : str or os.PathLike
        A ``.onnx`` graph; PyTorch weights in a ``.pth``, ``.pt``, ``.ckpt`` (state dicts,
        possibly wrapped as training code saves them) or ``.safetensors`` file, of an
        architecture that spandrel recognises; an ncnn ``.param`` file with its ``.bin``
        beside it; or the name of an installed model (``korvane models`` lists them).
    device : {"auto", "cpu", "cuda"}
        ONNX: ``OnnxModel``'s ``provider``. PyTorch: "cuda" runs on the GPU current in CuPy
        (else torch's current one); "auto" does that where torch sees a GPU, else the CPU.
    dtype : None, "float32", "float16" or "bfloat16" (or the torch dtype)
        PyTorch only: the element type the model runs in (None: float32, as stored models
        are). float16 is refused on the CPU and where spandrel says the architecture does
        not support it.

    Returns
    -------
    OnnxModel or TorchModel
        A model for ``upscale_tiled``; it pickles as ``path`` and these options.

    Raises
    ------
    ImportError
        The runtime the file needs is not installed.
    FileNotFoundError
        No such file.
    ModelError
        An extension of no known kind; a file that does not load: not readable, a pickle
        that would run code (a global other than tensors and containers, or TorchScript), an
        architecture spandrel does not recognise, or a model that is not image-to-image.
    TypeError, ValueError
        ``path``, ``device`` or ``dtype`` out of range.
    """
    try:
        path = os.fspath(path)
    except TypeError:
        raise TypeError(f"path: expected a str or os.PathLike, got {type(path).__name__}") from None
    if not isinstance(path, str):
        raise TypeError(f"path: expected a str or os.PathLike, got {type(path).__name__}")
    if device not in PROVIDERS:
        raise ValueError(f"device: expected one of {', '.join(PROVIDERS)}, got {device!r}")
    loader = _LOADERS.get(os.path.splitext(path)[1].lower())
    if loader is None and not os.path.exists(path) and os.sep not in path:
        from korvane.upscale import named

        path, loader = str(named.find(path).path), _load_ncnn  # LookupError naming close names
    if loader is None:
        raise ModelError(
            f"path: expected a model file ending in {', '.join(EXTENSIONS)} or the name of an installed model "
            f"(korvane models lists them), got {path!r}"
        )
    model = loader(path, device, dtype)
    if isinstance(model, TorchModel):
        model._source = (path, {"device": device, "dtype": dtype})
    return model
