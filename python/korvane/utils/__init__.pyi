from korvane.utils.pixelshift import pixelshift_infer as pixelshift_infer

__all__ = ["pixelshift_infer"]

def __dir__() -> list[str]: ...
