"""Small helpers shared across korvane (dtype conversion, image dimensions).

The native ``dimention`` extension is installed into this package by the build;
it is not imported here so the package stays importable without it.

:func:`pixelshift_infer` (from :mod:`korvane.utils.pixelshift`) runs the pixel-shift road
in one call; it is loaded on first use and imports ``dimention`` (and CuPy) only when called.
"""

__all__ = ["pixelshift_infer"]


def __getattr__(name):
    # Loaded on first use, so that importing the package stays cheap and needs no CuPy.
    if name == "pixelshift_infer":
        from korvane.utils.pixelshift import pixelshift_infer

        return pixelshift_infer
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + __all__)
