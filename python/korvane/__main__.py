"""Command line: ``python -m korvane demo [options]``."""

import sys

from korvane.demo import main

if __name__ == "__main__":
    sys.exit(main())
