"""The command's entry point: parse the command line, run the command, turn failures into exit statuses."""

from __future__ import annotations

import errno
import os
import signal
import sys
from typing import Callable, Dict, Optional, Sequence

from rowmend._batch import INTERNAL, IO_FAILURE, USAGE, UsageError, describe_error
from rowmend._html import MissingExtraError
from rowmend._layout import read_layout
from rowmend._checks import OptionError, check_character
from rowmend._options import resolve_options
from rowmend.cli.arguments import build_parser, reading_options
from rowmend.cli.commands import clean, inspect, sniff
from rowmend.cli.plan import STDOUT_CLOSED
from rowmend.cli.printer import Printer
from rowmend.cli.signals import Stopped, stop_signals

__all__ = ["main"]

# The function that carries out each command, by its name on the command line.
COMMANDS: Dict[str, Callable[..., int]] = {"clean": clean, "sniff": sniff, "inspect": inspect}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``rowmend`` command with ``argv`` (default: ``sys.argv[1:]``) and return its exit status.

    Examples:
        >>> status = main(["clean", "in.csv", "-o", "clean.csv", "--quiet"])  # doctest: +SKIP
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    options = reading_options(args)
    # The command line draws its own bar; runs must not draw one each.
    printer = Printer.from_args(args, options.pop("progress", None))
    try:
        if "layout" in options:
            # Read once, here: every file and worker process gets the value.
            options["layout"] = read_layout(options["layout"])
        resolve_options(**options)
        check_character("output_delimiter", getattr(args, "output_delimiter", None), "leave {option} out to keep the input's delimiter")
    except OSError as error:
        return printer.error(*describe_error(error, "--layout"))
    except OptionError as error:
        # The option as typed, and its words as they are typed: --quote-char none.
        args.parser.error(error.render("--" + error.option.replace("_", "-"), ""))
    except (TypeError, ValueError) as error:
        args.parser.error(str(error))
    try:
        if sys.stdout is None and args.command != "clean":
            # sniff and inspect answer there; clean checks its own outputs
            raise OSError(errno.EBADF, STDOUT_CLOSED, "standard output")
        with stop_signals():
            status = COMMANDS[args.command](printer, args, options)
        return status
    except (UsageError, MissingExtraError) as error:
        return printer.error(USAGE, str(error))
    except KeyboardInterrupt as stop:
        signum = stop.signum if isinstance(stop, Stopped) else signal.SIGINT
        name = signal.Signals(signum).name
        printer.stopped("interrupted" if signum == signal.SIGINT else f"stopped by {name}")
        return 128 + signum
    except BrokenPipeError:
        # The reader of standard output went away (| head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return IO_FAILURE
    except Exception as error:
        if args.debug:
            raise
        return printer.error(*describe_error(error, "rowmend"))
    except BaseException as error:
        # The engine reports a broken invariant as a BaseException of its
        # own, which no handler of ordinary errors catches.
        if isinstance(error, (SystemExit, GeneratorExit)) or args.debug:
            raise
        return printer.error(
            INTERNAL, f"rowmend: internal error, {type(error).__name__}: {error} (a fault of rowmend: --debug shows where)"
        )
