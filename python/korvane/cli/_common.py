"""What every command shares: the error line, notes, option types, progress bars and signals."""

import argparse
import contextlib
import signal
import sys
import threading

PROG = "python -m korvane"
ERROR = "korvane: error: "
NOTE = "korvane: note: "
EXIT_FAILURE = 1
EXIT_USAGE = 2


class CommandError(Exception):
    """A problem with the user's input, options or installation: one line on stderr, no traceback."""

    def __init__(self, message, code=EXIT_FAILURE):
        super().__init__(message)
        self.code = code


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: raised where the program is, so that cleanup code runs."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _terminate(signum, frame):
    raise Terminated(signum)


@contextlib.contextmanager
def stopping_on_signals():
    """Turn SIGTERM and SIGHUP into :class:`Terminated` while the command runs.

    Only where the signal would otherwise kill the process at once (its default action),
    and only on the main thread, where Python runs signal handlers.
    """
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, getattr(signal, "SIGHUP", None)):
            if signum is not None and signal.getsignal(signum) is signal.SIG_DFL:
                previous[signum] = signal.signal(signum, _terminate)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def note(message):
    print(NOTE + message, file=sys.stderr)


class Parser(argparse.ArgumentParser):
    # One line for a bad option, with the prefix of every other error, not argparse's usage block.
    def error(self, message):
        raise CommandError(f"{message} (see {self.prog} --help)", EXIT_USAGE)


def count_type(name, minimum=1):
    """An argparse type: a whole number >= ``minimum``, with a message that names the option."""

    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{name} must be a whole number, got {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{name} must be at least {minimum}, got {value}")
        return value

    return parse


def size_type(name, minimum=1):
    """An argparse type: N, or HxW (height by width), each a whole number >= ``minimum``."""
    one = count_type(name, minimum)

    def parse(text):
        parts = text.lower().split("x")
        if len(parts) == 1:
            value = one(parts[0])
            return value, value
        if len(parts) != 2:
            raise argparse.ArgumentTypeError(f"{name} must be N or HxW (height x width), got {text!r}")
        return one(parts[0]), one(parts[1])

    return parse


def progress_bar(enabled, total, desc, unit):
    """A tqdm bar on stderr, or None: without tqdm, or when ``enabled`` is false.

    ``disable=None`` lets tqdm show the bar only on a terminal, so a file or a pipe gets
    no carriage-return frames.
    """
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=desc, unit=unit, file=sys.stderr, disable=None, leave=False, dynamic_ncols=True)


def positive_float_type(name):
    """An argparse type: a finite number > 0, with a message that names the option."""

    def parse(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{name} must be a number, got {text!r}") from None
        if not 0 < value < float("inf"):
            raise argparse.ArgumentTypeError(f"{name} must be a positive number, got {text}")
        return value

    return parse
