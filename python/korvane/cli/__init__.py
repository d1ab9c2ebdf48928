"""The command line, ``korvane COMMAND`` (or ``python -m korvane COMMAND``): a thin shell over the library.

    korvane upscale INPUT [INPUT...] OUTPUT --model MODEL [options]
    korvane models
    korvane demo [IMAGE] [options]
    korvane --version

Each command is a module of this package: :mod:`korvane.cli.upscale` (a picture, or many
through :mod:`korvane.cli.pipeline`), :mod:`korvane.cli.models` and :mod:`korvane.cli.demo`; what they share (the
error line, notes, option types, progress, signals) is in :mod:`korvane.cli._common`.

Every problem is one line on stderr starting with ``korvane: error:``, and a non-zero
exit status: 2 for bad options, 1 for anything else, 128 + N for signal N. Notes go to
stderr too, starting with ``korvane: note:``; stdout gets what was done.
"""

import os
import signal
import sys

from korvane.cli._common import (
    ERROR,
    EXIT_FAILURE,
    EXIT_USAGE,
    NOTE,
    CommandError,
    Parser,
    Terminated,
    count_type,
    note,
    progress_bar,
    size_type,
    stopping_on_signals,
)

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


def _prog():
    # The name the user typed: the console command, or the module.
    return "korvane" if os.path.basename(sys.argv[0] if sys.argv else "") == "korvane" else "python -m korvane"


def build_parser():
    import korvane
    from korvane.cli import demo, models, upscale

    parser = Parser(prog=_prog(), description="korvane on the command line: upscale pictures, or run the demo.")
    parser.add_argument("--version", action="version", version=f"korvane {korvane.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    upscale.add_command(sub)
    models.add_command(sub)
    demo.add_command(sub)
    return parser


def main(argv=None):
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    from korvane import _backend

    try:
        with stopping_on_signals():
            if _backend.environment_error is not None:
                raise CommandError(str(_backend.environment_error))
            args = build_parser().parse_args(argv)
            return args.run(args)
    except CommandError as exc:
        print(ERROR + str(exc), file=sys.stderr)
        return exc.code
    except SystemExit as exc:  # --help, --version
        return exc.code or 0
    except MemoryError:
        print(ERROR + "out of memory (try a smaller picture, tiles or batches)", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print("korvane: interrupted", file=sys.stderr)
        return 130
    except Terminated as exc:
        print(f"korvane: stopped by {signal.Signals(exc.signum).name}", file=sys.stderr)
        return 128 + exc.signum
    except BrokenPipeError:
        # The reader of stdout went away (``| head``): stop quietly, as other tools do.
        sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives until the process ends
        return EXIT_FAILURE


def console():
    """The ``korvane`` console command."""
    sys.exit(main())
