"""Command line: ``python -m korvane COMMAND [options]`` (``upscale``, ``demo``)."""

import sys

from korvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
