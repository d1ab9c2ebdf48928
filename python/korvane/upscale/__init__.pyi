from korvane.upscale.engine import upscale_tiled as upscale_tiled

__all__ = ["upscale_tiled"]

def __dir__() -> list[str]: ...
