"""The command line's arguments: the commands, their flags, and every reading option as a flag.

Every reading option of the package is a flag of the same name, made from
the one options table (:data:`rowmend._options.OPTIONS`).
"""

from __future__ import annotations

import argparse
from typing import Any, Callable, Dict, NoReturn

from rowmend import __version__
from rowmend._batch import FAILED_CHECK, INTERNAL, INTERRUPTED, IO_FAILURE, OK, USAGE
from rowmend._display import visible
from rowmend._many import POOL_BYTES
from rowmend._options import OPTIONS, OptionSpec
from rowmend.cli.checks import Limit

__all__ = ["EXIT_STATUSES", "Parser", "build_parser", "character", "reading_options"]


#: The end of the help of the command and of each command: what its exit status means.
EXIT_STATUSES = f"""exit statuses:
  {OK:<4} every row was kept (repaired rows are kept)
  {FAILED_CHECK:<4} rows were quarantined, or a --max-... limit was exceeded, or the input
       differs from --layout
  {USAGE:<4} the command line cannot be carried out
  {IO_FAILURE:<4} a file cannot be read or written
  {INTERNAL:<4} an internal error: a fault of rowmend (--debug shows where), or memory ran out
  {INTERRUPTED:<4} stopped by Ctrl-C (SIGTERM: 143, SIGHUP: 129)
  over many files, the highest of them
"""


class Parser(argparse.ArgumentParser):
    """argparse's parser, with usage errors on one line and, given ``statuses=True``, the exit statuses in its help."""

    def __init__(self, *args: Any, statuses: bool = False, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.statuses = statuses

    def format_help(self) -> str:
        """argparse's help, then the table of exit statuses as it is written (argparse would refill its lines)."""
        text = super().format_help()
        return text + "\n" + EXIT_STATUSES if self.statuses else text

    def error(self, message: str) -> NoReturn:
        """Print ``prog: error: message`` and exit with status 2."""
        self.exit(USAGE, visible(f"{self.prog}: error: {message} (see {self.prog} --help)") + "\n")


def character(text: str) -> str:
    """A character flag's value: ``\\t`` stands for a tab, which is awkward to type in a shell.

    The words ``auto`` and ``none`` go on to the options, which know what each means.
    """
    return "\t" if text == "\\t" else text


def _count_or_word(spec: OptionSpec) -> Callable[[str], object]:
    """The converter of a count that also takes words: ``--skip-footer auto``, ``--skip-footer 3``."""
    words = ", ".join(spec.words)

    def convert(text: str) -> object:
        if text == "no" and "none" in spec.words:
            return "none"  # the word this flag's choices had before it took a count
        if text in spec.words:
            return text
        try:
            return int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {words} or a count, not {text!r}") from None

    return convert


def _add_option(group: Any, spec: OptionSpec) -> None:
    """One reading option as a flag, its spelling and meaning from the options table."""
    common: Dict[str, Any] = {"dest": spec.name, "default": argparse.SUPPRESS}
    if spec.kind == "flag":
        default = spec.cli_default or ("yes" if spec.default else "no")
        group.add_argument(
            spec.flag, action=argparse.BooleanOptionalAction, help=f"{spec.help} (default: {default})", **common
        )
    elif spec.kind == "choice":
        words = [word for word, _ in spec.choices]
        default_word = next(word for word, value in spec.choices if value == spec.default)
        group.add_argument(spec.flag, choices=words, help=f"{spec.help} (default: {default_word})", **common)
    else:
        convert: Callable[[str], object] = str
        if spec.type is int:
            # A count may also take a word: --skip-preamble auto.
            convert = int if not spec.words else _count_or_word(spec)
        elif spec.name in ("delimiter", "quote_char", "escape_char"):
            convert = character
        shown: object = spec.cli_default or spec.default
        default_text = "" if shown is None else f" (default: {shown})"
        metavar = spec.metavar or ("N" if spec.type is int else spec.name.split("_")[0].upper())
        group.add_argument(spec.flag, type=convert, metavar=metavar, help=spec.help + default_text, **common)
        if spec.none_flag:
            group.add_argument(
                "--no-" + spec.flag[2:], action="store_const", const=None, help=f"no {spec.name.replace('_', ' ')}", **common
            )


def reading_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The reading options given on the command line, the choices' words turned into values."""
    options: Dict[str, Any] = {}
    for spec in OPTIONS:
        if hasattr(args, spec.name):
            value = getattr(args, spec.name)
            if spec.kind == "choice":
                value = dict(spec.choices)[value]
            options[spec.name] = value
    return options


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser: the commands, their flags and every reading option."""
    common = Parser(add_help=False)
    common.add_argument("--json", action="store_true", help="print one JSON object per file on standard output")
    common.add_argument("--debug", action="store_true", help="show the traceback of an error")
    said = common.add_mutually_exclusive_group()
    said.add_argument(
        "-q", "--quiet", action="store_true", help="say nothing on standard error but errors: no warning, note or bar"
    )
    said.add_argument("-v", "--verbose", action="store_true", help="also say what each file came to, in a line")
    reading = common.add_argument_group("reading options (as in the Python package)")
    for spec in OPTIONS:
        _add_option(reading, spec)

    checks = Parser(add_help=False)
    group = checks.add_argument_group("exit status")
    group.add_argument("--allow-quarantine", action="store_true", help="exit with 0, not 1, when rows were quarantined")
    group.add_argument(
        "--max-quarantined",
        type=Limit.parse,
        metavar="N|P%",
        help="exit with 1 only when more rows than this were quarantined (a count or a percentage)",
    )
    group.add_argument(
        "--max-repaired",
        type=Limit.parse,
        metavar="N|P%",
        help="exit with 1 when more rows than this were repaired: a layout guessed wrong repairs every row",
    )
    group.add_argument(
        "--max-skipped",
        type=Limit.parse,
        metavar="N|P%",
        help="exit with 1 when more rows than this were set aside as not part of the table (preamble, "
        "comments, footers, blank lines): a run that sets most of a file aside is not a clean one",
    )

    parser = Parser(
        prog="rowmend", description="Rescue corrupted CSV files: every row kept, repaired or set aside.", statuses=True
    )
    parser.add_argument("--version", action="version", version=f"rowmend {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)

    clean = commands.add_parser(
        "clean",
        statuses=True,
        parents=[common, checks],
        help="write clean files and set aside the rows that cannot be repaired",
        description="Clean CSV files. With one input and no -o, the clean rows go to standard output. "
        "Every output is written beside its destination and put in place only when all of a file's outputs are "
        "complete; no output is ever written over an input (but with --in-place) or over another output.",
    )
    clean.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="CSV files (compressed too), folders, glob patterns; - reads standard input",
    )
    outputs = clean.add_mutually_exclusive_group()
    outputs.add_argument("-o", "--output", metavar="OUTPUT", help="the clean file of one input; - is standard output")
    outputs.add_argument(
        "--output-dir",
        metavar="DIR",
        help="a folder for the clean files, each named as its input without a compression suffix "
        "(not an input's own folder: use --in-place)",
    )
    outputs.add_argument(
        "--in-place",
        action="store_true",
        help="replace each input by its clean file, keeping its mode and owner; without --quarantine or "
        "--quarantine-dir, quarantined rows go to NAME.quarantine.csv beside it, and rows set aside as not part "
        "of the table (preamble, comments, footers) to NAME.skipped.csv (never over an existing file)",
    )
    quarantines = clean.add_mutually_exclusive_group()
    quarantines.add_argument(
        "--quarantine", metavar="PATH", help="the quarantine file of one input; - is standard output"
    )
    quarantines.add_argument(
        "--quarantine-dir",
        metavar="DIR",
        help="a folder for the quarantine files, each NAME.quarantine.csv; the rows set aside as not part of "
        "the table go beside each quarantine file as NAME.skipped.csv",
    )
    clean.add_argument(
        "--stream",
        action="store_true",
        help="write the rows to standard output as they are cleaned; by default nothing is written there "
        "unless the run succeeds, and with --stream a failed run leaves a partial output",
    )
    clean.add_argument(
        "--format", choices=["csv", "parquet"], help="the clean files' format (default: from -o's name, else csv)"
    )
    clean.add_argument(
        "--output-delimiter", type=character, metavar="C", help="the clean CSV's delimiter (default: the input's)"
    )
    clean.add_argument(
        "--report",
        metavar="HTML",
        help="write an HTML report of the one input: counts, where the problems sit, the rows changed "
        "(implies --record-repairs, and --max-records of --report-rows; needs rowmend[report])",
    )
    clean.add_argument(
        "--report-rows", type=_positive, default=100, metavar="N", help="rows of each kind in --report (default: 100)"
    )
    clean.add_argument(
        "--jobs",
        type=_positive,
        metavar="N",
        help=f"files cleaned at once, in processes (default: one for less than {POOL_BYTES >> 20} MiB of input, "
        "where a pool costs more than it saves, else the core count)",
    )
    clean.set_defaults(parser=clean)

    sniff = commands.add_parser(
        "sniff",
        statuses=True,
        parents=[common],
        help="tell each file's delimiter, encoding, columns and header",
        description="Detect the layout of CSV files from their first rows, one line per file.",
    )
    sniff.add_argument(
        "files", nargs="+", metavar="FILE", help="CSV files, folders or glob patterns; - reads standard input"
    )
    sniff.add_argument(
        "--save-layout", metavar="FILE", help="write the layout of the one input as JSON, for --layout in later runs"
    )
    sniff.set_defaults(parser=sniff)

    inspect = commands.add_parser(
        "inspect",
        statuses=True,
        parents=[common, checks],
        help="show what cleaning a file would do, writing nothing",
        description="Read a file as clean would and show its layout, its counts and the first quarantined rows.",
    )
    inspect.add_argument("file", metavar="FILE", help="a CSV file, compressed or not; - reads standard input")
    inspect.add_argument(
        "--rows", type=_positive, default=10, metavar="N", help="rows of each kind shown and kept for --html (default: 10)"
    )
    inspect.add_argument(
        "--html",
        metavar="REPORT",
        help="also write an HTML report: counts, where the problems sit, the rows changed (needs rowmend[report])",
    )
    inspect.set_defaults(parser=inspect)
    return parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, not {value}")
    return value
