"""Image upscaling.

The native ``tile`` extension is installed into this package by the build; it is
not imported here so the package stays importable without it.

:func:`upscale_tiled` (from :mod:`korvane.upscale.engine`) upscales a picture tile by tile
with a model, streaming the tiles through in batches; it is loaded on first use.
:class:`TileSizeWarning` names the sizes its ``tile_size="auto"`` ran with.
"""

__all__ = ["TileSizeWarning", "TorchModel", "load_model", "upscale_tiled"]


def __getattr__(name):
    # Loaded on first use, so that importing the package stays cheap.
    if name == "upscale_tiled":
        from korvane.upscale.engine import upscale_tiled

        return upscale_tiled
    if name == "TileSizeWarning":
        from korvane.upscale._fitting import TileSizeWarning

        return TileSizeWarning
    if name == "TorchModel":
        from korvane.upscale.torch_model import TorchModel

        return TorchModel
    if name == "load_model":
        from korvane.upscale.loading import load_model

        return load_model
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + __all__)
