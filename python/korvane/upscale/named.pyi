import os
import pathlib
from typing import Final

from korvane.upscale.ncnn import NcnnGraph

__all__ = ["ENTRY_POINT_GROUP", "NamedModel", "find", "installed"]

ENTRY_POINT_GROUP: Final[str]
DISTRIBUTION_PREFIX: Final[str]
INSTALL_HINT: Final[str]

class NamedModel:
    """One installed ncnn model: its name, scale (None where unknown), source distribution and ``.param`` path."""

    name: str
    scale: int | None
    source: str
    path: pathlib.Path
    def __init__(self, name: str, scale: int | None, source: str, path: str | os.PathLike[str]) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def convert(self) -> NcnnGraph:
        """The model as an ONNX graph: :func:`korvane.upscale.ncnn.convert` of its files."""

def installed() -> list[NamedModel]:
    """Every named model of the installed packages, sorted by name, then source."""

def find(name: str) -> NamedModel:
    """The installed model called ``name`` (its name, or its file's stem, in any case); LookupError where none is."""
