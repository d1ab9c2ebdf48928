from korvane.upscale._fitting import TileSizeWarning as TileSizeWarning
from korvane.upscale.engine import upscale_tiled as upscale_tiled
from korvane.upscale.loading import load_model as load_model
from korvane.upscale.torch_model import TorchModel as TorchModel

__all__ = ["TileSizeWarning", "TorchModel", "load_model", "upscale_tiled"]

def __dir__() -> list[str]: ...
