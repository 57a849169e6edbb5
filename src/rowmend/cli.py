"""The ``rowmend`` command: ``clean``, ``sniff`` and ``inspect`` CSV files from a shell.

Every reading option of the package is a flag of the same name, made from
the one options table (:data:`rowmend._options.OPTIONS`). The exit status is
one a scheduler can branch on: 0 when every row was kept, 1 when rows were
quarantined or a limit on quarantined, repaired or skipped rows was exceeded, 2 for
a command line that cannot be carried out, 3 when a file cannot be read or
written; over many files the highest of them. Errors are one line each on
standard error, naming the file and the cause. On a terminal a progress bar
and a summary table appear on standard error; in pipes, nothing but errors.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import shutil
import signal
import sys
import tempfile
import threading
import traceback
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, Tuple

from rich.console import Console

from rowmend import __version__
from rowmend._batch import (
    FAILED_CHECK,
    IO_FAILURE,
    OK,
    STDIO,
    STOP_SIGNALS,
    USAGE,
    Job,
    Outcome,
    UsageError,
    describe_error,
    expand_inputs,
    run_jobs,
)
from rowmend._display import ProgressDisplay, inspect_tables, json_line, summary_table, visible
from rowmend._errors import RowmendWarning
from rowmend._html import MissingExtraError, require_matplotlib, warm_up
from rowmend._layout import Layout, read_layout, settle_layout
from rowmend._many import POOL_BYTES, default_workers
from rowmend._options import OPTIONS, OptionError, OptionSpec, _check_character, resolve_options
from rowmend._outputs import (
    Output,
    NamedSink,
    OutputSet,
    clean_format,
    clean_name,
    file_key,
    is_compressed_name,
    quarantine_name,
    refuse_clashes,
    repairs_path,
    set_aside_path,
)
from rowmend._report import Report
from rowmend._run import Run
from rowmend._sources import open_source

__all__ = ["Limit", "build_parser", "main"]

# A single input smaller than this finishes too soon for a progress bar.
_LARGE_INPUT = 16 << 20


class _Parser(argparse.ArgumentParser):
    """argparse's parser, with usage errors on one line."""

    def error(self, message: str) -> NoReturn:
        """Print ``prog: error: message`` and exit with status 2."""
        self.exit(USAGE, visible(f"{self.prog}: error: {message} (see {self.prog} --help)") + "\n")


@dataclass(frozen=True)
class Limit:
    """A limit on rows: a count (``100``) or a share of the rows read (``5%``).

    Examples:
        >>> Limit.parse("5%").exceeded(6, 100), Limit.parse("5%").exceeded(5, 100)
        (True, False)
        >>> Limit.parse("0").exceeded(1, 10**9)
        True
    """

    value: float
    percent: bool
    text: str

    @classmethod
    def parse(cls, text: str) -> Limit:
        """Read ``N`` or ``P%``; raises ``argparse.ArgumentTypeError`` for anything else."""
        percent = text.endswith("%")
        try:
            value = float(text[:-1]) if percent else int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a count or a percentage such as 5%, not {text!r}") from None
        # Written as a range so that nan% is refused too.
        if not (value >= 0 and (not percent or value <= 100)):
            raise argparse.ArgumentTypeError(f"expected a count or a percentage from 0% to 100%, not {text!r}")
        return cls(value, percent, text)

    def exceeded(self, count: int, total: int) -> bool:
        """Whether ``count`` rows out of ``total`` are more than the limit allows."""
        return count * 100 > self.value * total if self.percent else count > self.value


def _character(text: str) -> str:
    # A tab is awkward to type in a shell: \t stands for one. The words
    # auto and none go on to the options, which know what each means.
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
            convert = _character
        shown: object = spec.cli_default or spec.default
        default_text = "" if shown is None else f" (default: {shown})"
        metavar = spec.metavar or ("N" if spec.type is int else spec.name.split("_")[0].upper())
        group.add_argument(spec.flag, type=convert, metavar=metavar, help=spec.help + default_text, **common)
        if spec.none_flag:
            group.add_argument(
                "--no-" + spec.flag[2:], action="store_const", const=None, help=f"no {spec.name.replace('_', ' ')}", **common
            )


def _reading_options(args: argparse.Namespace) -> Dict[str, Any]:
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
    common = _Parser(add_help=False)
    common.add_argument("--json", action="store_true", help="print one JSON object per file on standard output")
    common.add_argument("--debug", action="store_true", help="show the traceback of an error")
    reading = common.add_argument_group("reading options (as in the Python package)")
    for spec in OPTIONS:
        _add_option(reading, spec)

    checks = _Parser(add_help=False)
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

    parser = _Parser(prog="rowmend", description="Rescue corrupted CSV files: every row kept, repaired or set aside.")
    parser.add_argument("--version", action="version", version=f"rowmend {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    clean = commands.add_parser(
        "clean",
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
        "--output-delimiter", type=_character, metavar="C", help="the clean CSV's delimiter (default: the input's)"
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
    clean.set_defaults(run=_clean, parser=clean)

    sniff = commands.add_parser(
        "sniff",
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
    sniff.set_defaults(run=_sniff, parser=sniff)

    inspect = commands.add_parser(
        "inspect",
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
    inspect.set_defaults(run=_inspect, parser=inspect)
    return parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, not {value}")
    return value


class _Session:
    """One command's output: messages on standard error, JSON on standard output, the terminal's display."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.console = Console(stderr=True)
        self.interactive = self.console.is_terminal
        self.display: Optional[ProgressDisplay] = None
        # --progress and --no-progress; None: a bar on a terminal for large inputs.
        self.progress: Optional[bool] = None

    def wants_bar(self, sizes: Sequence[Optional[int]], stdin_terminal: bool) -> bool:
        """Whether to show a progress bar for inputs of these sizes (None: unknown)."""
        if self.progress is not None:
            return self.progress
        if not self.interactive or stdin_terminal:
            return False
        return len(sizes) > 1 or sizes[0] is None or sizes[0] >= _LARGE_INPUT

    def say(self, line: str) -> None:
        """One line on standard error, above the progress bar when there is one.

        Control characters (from file names, fields) are shown, never sent
        raw, and a line break in them cannot start a line of its own.
        """
        line = visible(line)
        if self.interactive:
            console = self.display.console if self.display is not None else self.console
            console.print(line, markup=False, highlight=False, soft_wrap=True)
        else:
            print(line, file=sys.stderr, flush=True)

    def fail(self, status: int, message: str, details: str = "") -> int:
        """Report an error (and its traceback with ``--debug``); returns ``status``."""
        self.say(f"rowmend: error: {message}")
        if self.args.debug and details:
            for line in details.rstrip("\n").splitlines():
                self.say(line)
        return status

    def emit(self, record: Dict[str, Any]) -> None:
        """One JSON object on a line of standard output, in UTF-8 whatever its encoding."""
        # As bytes: a text stream with a strict encoding would stop at the
        # first name it cannot encode, and drop every later file's line.
        line = json_line(record) + b"\n"
        sys.stdout.flush()
        buffer = getattr(sys.stdout, "buffer", None)
        if buffer is None:  # a text-only stream put in its place (a notebook's)
            sys.stdout.write(line.decode("utf-8"))
            sys.stdout.flush()
            return
        buffer.write(line)
        buffer.flush()

    def warn(self, message: str) -> None:
        """One warning line on standard error."""
        self.say(f"rowmend: warning: {message}")

    @contextlib.contextmanager
    def warnings_said(self) -> Any:
        """Say rowmend's warnings given inside the block, one line each."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RowmendWarning)
            try:
                yield
            finally:
                for warning in caught:
                    if issubclass(warning.category, RowmendWarning):
                        self.warn(str(warning.message))
                    else:
                        warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)


def _check(report: Report, args: argparse.Namespace) -> Tuple[int, str, str]:
    """The exit status a report calls for, why (when it is not 0), and a word for the summary."""
    problems = []
    label = "ok"
    total = report.total_rows
    quarantined, repaired = report.quarantined_rows, report.repaired_rows
    limit: Optional[Limit] = args.max_quarantined
    if limit is not None and limit.exceeded(quarantined, total):
        problems.append(f"{quarantined:,} of {total:,} rows quarantined, more than --max-quarantined {limit.text}")
        label = "over limit"
    elif limit is None and quarantined and not args.allow_quarantine:
        problems.append(f"{quarantined:,} of {total:,} rows quarantined")
        label = "quarantined"
    limit = args.max_repaired
    if limit is not None and limit.exceeded(repaired, total):
        problems.append(f"{repaired:,} of {total:,} rows repaired, more than --max-repaired {limit.text}")
        label = "over limit"
    limit = args.max_skipped
    if limit is not None and limit.exceeded(report.skipped_rows, total):
        problems.append(
            f"{report.skipped_rows:,} of {total:,} rows set aside as not part of the table, "
            f"more than --max-skipped {limit.text}"
        )
        label = "over limit"
    return (FAILED_CHECK, "; ".join(problems), label) if problems else (OK, "", label)


def _plan(args: argparse.Namespace, inputs: List[str], options: Dict[str, Any], scratch: str) -> List[Job]:
    """A job per input with its outputs; raises UsageError for outputs that cannot be made.

    Output meant for standard output goes to a file in ``scratch`` first,
    unless ``--stream`` asks for it as it is written.
    """
    several = len(inputs) > 1
    if STDIO in inputs and (several or args.in_place):
        raise UsageError("- (standard input) must be the only input, and cannot be cleaned in place")
    if several and not (args.output_dir or args.in_place):
        raise UsageError(f"{len(inputs)} inputs need --output-dir (or --in-place)")
    if several and args.quarantine is not None:
        raise UsageError("--quarantine names the file of one input: with several, use --quarantine-dir")
    if args.output_delimiter is not None and args.format == "parquet":
        raise UsageError("--output-delimiter applies to CSV output only: leave it out for Parquet")
    if args.in_place and args.format == "parquet":
        raise UsageError("--in-place writes CSV: use --output-dir for Parquet")
    to_stdout = args.output == STDIO or (args.output is None and not args.output_dir and not args.in_place)
    if to_stdout and args.json:
        raise UsageError("--json writes to standard output, where the clean rows go: give -o or --output-dir")
    if (to_stdout or args.json) and sys.stdout is None:
        raise OSError(errno.EBADF, _STDOUT_CLOSED, "standard output")
    if to_stdout and args.quarantine == STDIO:
        raise UsageError("the clean rows and the quarantine cannot both go to standard output")
    if to_stdout and args.format == "parquet" and sys.stdout.isatty():
        raise UsageError("Parquet is binary: redirect standard output or give -o")
    if args.stream and not (to_stdout or args.quarantine == STDIO):
        raise UsageError("--stream is for output to standard output (-o - or --quarantine -)")
    if args.stream and to_stdout and args.format == "parquet":
        raise UsageError("--stream writes CSV rows as they come: Parquet is written whole")
    keys = [(source, file_key(source)) for source in inputs if source != STDIO]
    if args.output_dir:
        folder = file_key(args.output_dir)
        for source, _ in keys:
            if file_key(os.path.dirname(source) or ".") == folder:
                raise UsageError(
                    f"--output-dir {args.output_dir} is the folder of the input {source}, whose clean file would "
                    "replace it: give another folder, or --in-place to replace the inputs"
                )
    jobs = []
    checked: List[Output] = []
    in_place: List[str] = []
    for index, source in enumerate(inputs):
        if args.in_place:
            if is_compressed_name(source):
                raise UsageError(f"{source}: --in-place cannot rewrite a compressed file; use --output-dir")
            destination = source
        elif args.output_dir:
            destination = os.path.join(args.output_dir, clean_name(source, args.format))
        elif to_stdout:
            destination = STDIO if args.stream else os.path.join(
                scratch, "clean" + (".parquet" if args.format == "parquet" else ".csv")
            )
        else:
            destination = args.output
        quarantine = args.quarantine
        if args.quarantine_dir:
            quarantine = os.path.join(args.quarantine_dir, quarantine_name(source))
        elif quarantine == STDIO and not args.stream:
            quarantine = os.path.join(scratch, "quarantine.csv")
        _refuse_table_options(options, source, STDIO if to_stdout else destination, args.format)
        outputs = [("clean file", destination), ("quarantine", quarantine)]
        if source != STDIO and file_key(destination) == file_key(source):
            in_place.append(destination)
            if quarantine is None:
                # Where the run puts the rows it takes out of the only copy: it must not be an input.
                beside = os.path.join(os.path.dirname(source), quarantine_name(source))
                outputs += [("quarantine", beside), ("rows set aside", set_aside_path(beside))]
        beside_file = quarantine is not None and quarantine != STDIO and os.path.dirname(quarantine) != scratch
        if beside_file:
            assert quarantine is not None
            outputs.append(("rows set aside", set_aside_path(quarantine)))
            if options.get("record_repairs"):
                outputs.append(("record of repairs", repairs_path(quarantine)))
        checked += [
            Output(source, role, path)
            for role, path in outputs
            if path is not None and path != STDIO and os.path.dirname(path) != scratch
        ]
        jobs.append(
            Job(
                index,
                source,
                destination,
                quarantine,
                args.format,
                args.output_delimiter,
                options,
                args.stream,
                quarantine_if_rows=bool(args.quarantine_dir),
            )
        )
    if args.report is not None:
        checked.append(Output(inputs[0], "HTML report", args.report))
    try:
        refuse_clashes(keys, checked, in_place)
    except ValueError as error:
        raise UsageError(str(error)) from None
    return jobs


def _refuse_table_options(options: Dict[str, Any], source: str, destination: str, format: Optional[str]) -> None:
    """A UsageError for --dtypes infer or --line-numbers when the clean file is CSV, which holds neither."""
    typed = options.get("dtypes") not in (None, "string")
    given = [flag for flag, on in ((f"--dtypes {options.get('dtypes')}", typed), ("--line-numbers", options.get("line_numbers"))) if on]
    if given and clean_format(destination, format, None) == "csv":
        where = "standard output" if destination == STDIO else destination
        raise UsageError(
            f"{given[0]} applies to Parquet output, and the clean file of {source} ({where}) is CSV: "
            f"add --format parquet, or leave {given[0]} out"
        )


def _refuse_over_inputs(inputs: List[str], role: str, path: str) -> None:
    """A UsageError when a file the command writes names one of its inputs."""
    try:
        refuse_clashes([(name, file_key(name)) for name in inputs if name != STDIO], [Output(inputs[0], role, path)])
    except ValueError as error:
        raise UsageError(str(error)) from None


def _save_layout(layout: Layout, path: str) -> None:
    """Writes the layout as JSON, all or nothing, as every output is."""
    with OutputSet() as outputs:
        with os.fdopen(os.dup(outputs.add(path).fd), "w", encoding="utf-8") as saved:
            saved.write(layout.to_json() + "\n")
        outputs.commit()


_STDOUT_CLOSED = "closed when rowmend started: nothing written there would arrive"


def _stored_size(path: str) -> Optional[int]:
    if path == STDIO:
        return None
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _copy_out(path: str) -> None:
    with open(path, "rb") as result:
        shutil.copyfileobj(result, sys.stdout.buffer, 1 << 20)
    sys.stdout.buffer.flush()


def _progress_display(session: _Session, jobs: Sequence[Job]) -> Optional[ProgressDisplay]:
    """A progress bar on a terminal, for many inputs or a large one (or as --progress says)."""
    sizes = {job.index: _stored_size(job.source) for job in jobs}
    stdin_terminal = any(job.source == STDIO for job in jobs) and sys.stdin.isatty()
    if not session.wants_bar(list(sizes.values()), stdin_terminal):
        return None
    return ProgressDisplay(session.console, sizes, {job.index: job.source for job in jobs})


def _clean(session: _Session, args: argparse.Namespace, options: Dict[str, Any]) -> int:
    inputs = expand_inputs(args.inputs)
    if args.report is not None:
        if len(inputs) != 1:
            raise UsageError(f"--report writes the report of one input, not of {len(inputs)}")
        # The page shows --report-rows rows of each kind: keeping 10,000 of
        # each would cost more time than drawing the page.
        options = {"max_records": args.report_rows, **options, "record_repairs": True}
    # One process until the inputs are large enough to pay for a pool.
    workers = min(args.jobs or default_workers(inputs), len(inputs))
    if workers > 1:
        options = {**options, "threads": 1}
    status = OK
    dropped = False  # quarantined rows that no file keeps
    summary: List[Tuple[str, Optional[Report], str]] = []
    with tempfile.TemporaryDirectory(prefix="rowmend-") as scratch, contextlib.ExitStack() as stack:
        jobs = _plan(args, inputs, options, scratch)
        if args.report is not None:
            require_matplotlib()
            threading.Thread(target=warm_up, name="rowmend-warm-up", daemon=True).start()
        for folder in (args.output_dir, args.quarantine_dir):
            if folder:
                try:
                    os.makedirs(folder, exist_ok=True)
                except OSError as error:
                    return session.fail(*describe_error(error, folder))
        if args.stream:
            sys.stdout.flush()
        session.display = _progress_display(session, jobs)
        if session.display is not None:
            stack.enter_context(session.display)
        for outcome in run_jobs(jobs, workers, session.display.update if session.display else None):
            if session.display is not None:
                session.display.finished(outcome.index, outcome.report)
            job = jobs[outcome.index]
            in_place = job.source != STDIO and file_key(job.destination) == file_key(job.source)
            kept = job.quarantine is not None or in_place  # in place, the rows go beside the input
            # The page is written before the JSON line, whose status must count its failure.
            report_status = OK
            if outcome.report is not None and args.report is not None:
                report_status = _write_report(session, outcome.report, args.report, outcome.source, args.report_rows)
            file_status, label = _finish(session, outcome, args, report_status)
            quarantined = outcome.report is not None and outcome.report.quarantined_rows > 0
            dropped = dropped or (not kept and quarantined and file_status == FAILED_CHECK)
            if outcome.report is not None:
                # Standard output gets a file's content once the file is
                # complete, so that a failed run writes nothing there.
                for path in (job.destination, job.quarantine):
                    if path is not None and os.path.dirname(path) == scratch:
                        _copy_out(path)
            status = max(status, file_status)
            summary.append((outcome.source, outcome.report, label))
    if dropped:
        # Once per run, however many files lost rows this way.
        session.say("rowmend: --quarantine FILE or --quarantine-dir DIR keeps the quarantined rows")
    if session.interactive and summary:
        session.console.print(summary_table(summary))
    return status


def _finish(session: _Session, outcome: Outcome, args: argparse.Namespace, floor: int = OK) -> Tuple[int, str]:
    """Report one input's outcome (message, JSON); returns its exit status and a word for the summary.

    ``floor`` is the status of what was already done for the input (its HTML report).
    """
    if outcome.report is None:
        if args.json:
            session.emit({"path": outcome.source, "status": outcome.status, "error": outcome.error})
        return session.fail(outcome.status, outcome.error, outcome.details), "error"
    for warning in outcome.warnings:
        session.warn(warning)
    for note in outcome.report.notes:
        session.say(f"rowmend: {outcome.source}: note: {note.message}")
    status, problem, label = _check(outcome.report, args)
    status = max(status, floor)
    if problem:
        session.say(f"rowmend: {outcome.source}: {problem}")
    if args.json:
        session.emit({"path": outcome.source, **outcome.report.to_dict(), "status": status})
    return status, label


def _write_report(session: _Session, report: Report, path: str, source: str, rows: int) -> int:
    """Writes the HTML report all or nothing; the exit status of a failure (OK when written)."""
    try:
        page = report.to_html(None, rows=rows, title=f"rowmend: {source}").encode("utf-8")
        with OutputSet() as outputs:
            sink = NamedSink(outputs.add(path).fd, path)
            view = memoryview(page)
            while view:
                view = view[sink.write(view) :]
            outputs.commit()
    except OSError as error:
        return session.fail(*describe_error(error, path))
    except MissingExtraError as error:
        return session.fail(USAGE, str(error))
    return OK


def _open_input(path: str) -> Any:
    return open_source(sys.stdin.buffer if path == STDIO else path)


def _sniff_one(path: str, options: Dict[str, Any]) -> Tuple[Optional[Layout], Optional[str]]:
    """The layout of an input from its first rows (None when it holds none), and its compression."""
    with _open_input(path) as opened:
        return settle_layout(opened, resolve_options(**options)), opened.compression


def _sniff(session: _Session, args: argparse.Namespace, options: Dict[str, Any]) -> int:
    status = OK
    paths = expand_inputs(args.files)
    if args.save_layout is not None and len(paths) != 1:
        raise UsageError(f"--save-layout keeps the layout of one input, not of {len(paths)}")
    if args.save_layout is not None:
        _refuse_over_inputs(paths, "layout file", args.save_layout)
    for path in paths:
        try:
            with session.warnings_said():
                layout, compression = _sniff_one(path, options)
            if layout is None and args.save_layout is not None:
                raise UsageError(f"{path} holds no row, so --save-layout has no layout to save: sniff a file with rows")
            if layout is not None and args.save_layout is not None:
                _save_layout(layout, args.save_layout)
        except Exception as error:
            code, message = describe_error(error, path)
            if args.json:
                session.emit({"path": path, "status": code, "error": message})
            status = max(status, session.fail(code, message, traceback.format_exc()))
            continue
        if layout is None:
            # An empty file reads fine (as no rows): nothing failed.
            note = "no rows, so no layout to detect"
            if args.json:
                session.emit({"path": path, "status": OK, "note": note, "compression": compression})
            else:
                session.say(f"rowmend: {path}: note: {note}")
            continue
        if args.json:
            session.emit({"path": path, **layout.to_dict(), "compression": compression})
            continue
        parts = [
            f"delimiter={layout.delimiter!r}",
            "quote=none" if layout.quote_char == "none" else f"quote={layout.quote_char!r}",
            *([f"escape={layout.escape_char!r}"] if layout.escape_char else []),
            f"encoding={layout.encoding}",
            f"columns={layout.columns}",
            f"header={'yes' if layout.header else 'no'}",
        ]
        if compression:
            parts.append(f"compression={compression}")
        print(visible(f"{path}  " + "  ".join(parts)), flush=True)
    return status


def _inspect(session: _Session, args: argparse.Namespace, options: Dict[str, Any]) -> int:
    options.setdefault("max_records", args.rows)
    options.setdefault("record_repairs", True)
    resolved = resolve_options(**options)
    path: str = args.file
    if args.html is not None:
        _refuse_over_inputs([path], "HTML report", args.html)
        require_matplotlib()
        threading.Thread(target=warm_up, name="rowmend-warm-up", daemon=True).start()
    size = _stored_size(path)
    if session.wants_bar([size], path == STDIO and sys.stdin.isatty()):
        session.display = ProgressDisplay(session.console, {0: size}, {0: path})
    try:
        with session.warnings_said(), _open_input(path) as opened, open(os.devnull, "wb") as nowhere:
            run = Run(opened, resolved, output_fd=nowhere.fileno())
            if session.display is not None:
                display = session.display
                with display:
                    run.feed_all(lambda done, rows: display.update(0, done, rows))
            else:
                run.feed_all()
            report = run.report()
            header = run.salvager.header if resolved.header else None
            quote = "none" if resolved.quote_char == "none" else run.salvager.quote_char or '"'

    except Exception as error:
        code, message = describe_error(error, path)
        if args.json:
            session.emit({"path": path, "status": code, "error": message})
        return session.fail(code, message, traceback.format_exc())
    status, problem, _ = _check(report, args)
    if args.html is not None:
        status = max(status, _write_report(session, report, args.html, path, args.rows))
    if args.json:
        session.emit({"path": path, **report.to_dict(), "header": header, "status": status})
    else:
        console = Console(soft_wrap=False)
        for table in inspect_tables(path, report, header, quote, args.rows):
            console.print(table)
    if problem:
        session.say(f"rowmend: {path}: {problem}")
    return status


class _Stopped(KeyboardInterrupt):
    """A signal asking the command to stop (SIGTERM, SIGHUP), raised as Ctrl-C is."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_stopped(signum: int, frame: Any) -> None:
    raise _Stopped(signum)


@contextlib.contextmanager
def _stop_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP end the command as Ctrl-C does, in the main thread.

    By default they would end the process at once, leaving worker processes
    cleaning the files still queued and temporary files behind; raised as
    an interrupt, they stop the workers and remove those files.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    stop = [number for number in STOP_SIGNALS if number != signal.SIGINT]
    previous = {number: signal.signal(number, _raise_stopped) for number in stop}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``rowmend`` command with ``argv`` (default: ``sys.argv[1:]``) and return its exit status.

    Examples:
        >>> main(["--version"])  # doctest: +SKIP
        rowmend 0.4.0
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    session = _Session(args)
    options = _reading_options(args)
    # The command line draws its own bar; runs must not draw one each.
    session.progress = options.pop("progress", None)
    try:
        if "layout" in options:
            # Read once, here: every file and worker process gets the value.
            options["layout"] = read_layout(options["layout"])
        resolve_options(**options)
        _check_character("output_delimiter", getattr(args, "output_delimiter", None), "leave {option} out to keep the input's delimiter")
    except OSError as error:
        return session.fail(*describe_error(error, "--layout"))
    except OptionError as error:
        # The option as typed, and its words as they are typed: --quote-char none.
        args.parser.error(error.render("--" + error.option.replace("_", "-"), ""))
    except (TypeError, ValueError) as error:
        args.parser.error(str(error))
    try:
        if sys.stdout is None and args.run is not _clean:
            # sniff and inspect answer there; clean checks its own outputs
            raise OSError(errno.EBADF, _STDOUT_CLOSED, "standard output")
        with _stop_signals():
            status: int = args.run(session, args, options)
        return status
    except (UsageError, MissingExtraError) as error:
        return session.fail(USAGE, str(error))
    except KeyboardInterrupt as stop:
        signum = stop.signum if isinstance(stop, _Stopped) else signal.SIGINT
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
