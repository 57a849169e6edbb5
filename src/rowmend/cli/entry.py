"""The command's entry point: parse the command line, run the command, turn failures into exit statuses."""

from __future__ import annotations

import errno
import os
import signal
import sys
from typing import Callable, Dict, Optional, Sequence

from rowmend._batch import IO_FAILURE, USAGE, UsageError, describe_error
from rowmend._html import MissingExtraError
from rowmend._layout import read_layout
from rowmend._options import OptionError, check_character, resolve_options
from rowmend.cli.arguments import build_parser, reading_options
from rowmend.cli.commands import clean, inspect, sniff
from rowmend.cli.plan import STDOUT_CLOSED
from rowmend.cli.printer import Session
from rowmend.cli.signals import Stopped, stop_signals

__all__ = ["main"]

# The function that carries out each command, by its name on the command line.
COMMANDS: Dict[str, Callable[..., int]] = {"clean": clean, "sniff": sniff, "inspect": inspect}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``rowmend`` command with ``argv`` (default: ``sys.argv[1:]``) and return its exit status.

    Examples:
        >>> main(["--version"])  # doctest: +SKIP
        rowmend 0.4.0
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    session = Session(args)
    options = reading_options(args)
    # The command line draws its own bar; runs must not draw one each.
    session.progress = options.pop("progress", None)
    try:
        if "layout" in options:
            # Read once, here: every file and worker process gets the value.
            options["layout"] = read_layout(options["layout"])
        resolve_options(**options)
        check_character("output_delimiter", getattr(args, "output_delimiter", None), "leave {option} out to keep the input's delimiter")
    except OSError as error:
        return session.fail(*describe_error(error, "--layout"))
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
            status = COMMANDS[args.command](session, args, options)
        return status
    except (UsageError, MissingExtraError) as error:
        return session.fail(USAGE, str(error))
    except KeyboardInterrupt as stop:
        signum = stop.signum if isinstance(stop, Stopped) else signal.SIGINT
        name = signal.Signals(signum).name
        session.say("rowmend: interrupted" if signum == signal.SIGINT else f"rowmend: stopped by {name}")
        return 128 + signum
    except BrokenPipeError:
        # The reader of standard output went away (| head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return IO_FAILURE
    except Exception as error:
        if args.debug:
            raise
        return session.fail(*describe_error(error, "rowmend"))
