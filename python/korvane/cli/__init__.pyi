import argparse
from collections.abc import Callable, Sequence
from typing import Any, Final

__all__ = [
    "ERROR",
    "EXIT_FAILURE",
    "EXIT_USAGE",
    "NOTE",
    "CommandError",
    "build_parser",
    "count_type",
    "main",
    "note",
    "progress_bar",
    "size_type",
]

ERROR: Final[str]
NOTE: Final[str]
EXIT_FAILURE: Final[int]
EXIT_USAGE: Final[int]

class CommandError(Exception):
    """A problem with the user's input, options or installation: one line on stderr, no traceback."""

    code: int
    def __init__(self, message: str, code: int = 1) -> None: ...

class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: raised where the program is, so that cleanup code runs."""

    signum: int
    def __init__(self, signum: int) -> None: ...

def note(message: str) -> None: ...
def count_type(name: str, minimum: int = 1) -> Callable[[str], int]: ...
def size_type(name: str, minimum: int = 1) -> Callable[[str], tuple[int, int]]: ...
def progress_bar(enabled: bool, total: int, desc: str, unit: str) -> Any:
    """A tqdm bar on stderr that shows only on a terminal, or None (disabled, or no tqdm)."""

def build_parser() -> argparse.ArgumentParser: ...
def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status."""

def console() -> None:
    """The ``korvane`` console command."""
