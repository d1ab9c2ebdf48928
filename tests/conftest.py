"""Test configuration: the array backend is chosen before any korvane module loads.

Real CuPy is used when it imports and sees a GPU; otherwise the NumPy stand-in is
registered as ``cupy``. ``KORVANE_BACKEND=numpy`` forces the stand-in and
``KORVANE_BACKEND=numpy-strict`` the strict one, whose arrays refuse implicit host
conversion as CuPy's do.
"""

import pytest

# With KORVANE_BACKEND set, importing korvane has registered that backend already.
import korvane.testing

cp = korvane.testing.use_numpy()
ON_STAND_IN = bool(getattr(cp, "__korvane_stand_in__", False))


def pytest_report_header(config):
    if ON_STAND_IN:
        return f"korvane array backend: NumPy stand-in ({cp.__korvane_backend__})"
    return f"korvane array backend: CuPy {cp.__version__}"


@pytest.fixture(scope="session")
def xp():
    """The array module the extension modules import as ``cp``."""
    return cp
