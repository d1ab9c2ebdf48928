"""Check the package's type stubs against the installed modules with mypy's stubtest.

stubtest imports the modules, and the native ones import ``cupy`` when they load, so
the NumPy stand-in (or real CuPy, where a GPU is usable) is registered first. Extra
arguments go to stubtest; by default the whole ``korvane`` package is checked with the
settings in pyproject.toml.
"""

import sys
from pathlib import Path

from mypy import stubtest

import korvane.testing


def main():
    korvane.testing.use_numpy()
    root = Path(__file__).resolve().parent.parent
    args = sys.argv[1:] or [
        "korvane",
        "--mypy-config-file",
        str(root / "pyproject.toml"),
        "--allowlist",
        str(root / "scripts" / "stubtest-allowlist.txt"),
    ]
    return stubtest.test_stubs(stubtest.parse_options(args))


if __name__ == "__main__":
    sys.exit(main())
