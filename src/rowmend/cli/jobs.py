"""What clean does around each job: the progress bar, the outcome told, the HTML report, the output copied out."""

from __future__ import annotations

import argparse
import os
import shutil
import sys
from typing import Optional, Sequence, Tuple

from rowmend._batch import OK, STDIO, USAGE, Job, Outcome, describe_error
from rowmend._display import ProgressDisplay
from rowmend._html import MissingExtraError
from rowmend._outputs import NamedSink, OutputSet
from rowmend._report import Report
from rowmend.cli.checks import check
from rowmend.cli.printer import Printer

__all__ = ["copy_out", "finish", "progress_display", "stored_size", "told", "write_report"]


def stored_size(path: str) -> Optional[int]:
    """An input's size as stored, for the bar: None for standard input, 0 for a file that cannot be read yet."""
    if path == STDIO:
        return None
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def copy_out(path: str) -> None:
    """Copy a complete output from the scratch folder to standard output."""
    with open(path, "rb") as result:
        shutil.copyfileobj(result, sys.stdout.buffer, 1 << 20)
    sys.stdout.buffer.flush()


def progress_display(printer: Printer, jobs: Sequence[Job]) -> Optional[ProgressDisplay]:
    """A progress bar on a terminal, for many inputs or a large one (or as --progress says)."""
    sizes = {job.index: stored_size(job.source) for job in jobs}
    stdin_terminal = any(job.source == STDIO for job in jobs) and sys.stdin.isatty()
    return printer.progress_display(sizes, {job.index: job.source for job in jobs}, stdin_terminal)


def told(report: Report) -> str:
    """What a run came to, in a line: the rows read and what became of them, and the layout read.

    Examples:
        >>> told(Report(total_rows=3, salvaged_rows=2, repaired_rows=1, quarantined_rows=1, delimiter=";",
        ...             columns=2, encoding="utf-8", replaced_bytes=0))
        "3 rows read: 2 kept (1 repaired), 1 quarantined, 0 set aside; delimiter ';', 2 columns, utf-8"
        >>> told(Report(total_rows=5, salvaged_rows=2, repaired_rows=0, quarantined_rows=0, skipped_rows=3,
        ...             skipped={"blank": 1, "footer": 0, "section": 2}, delimiter=",", columns=2,
        ...             encoding="utf-8", replaced_bytes=0))
        "5 rows read: 2 kept (0 repaired), 0 quarantined, 3 set aside (blank 1, section 2); delimiter ',', 2 columns, utf-8"
    """
    kinds = ", ".join(f"{kind} {count:,}" for kind, count in report.skipped.items() if count)
    return (
        f"{report.total_rows:,} {'row' if report.total_rows == 1 else 'rows'} read: {report.salvaged_rows:,} kept "
        f"({report.repaired_rows:,} repaired), {report.quarantined_rows:,} quarantined, "
        f"{report.skipped_rows:,} set aside{f' ({kinds})' if kinds else ''}; delimiter {report.delimiter!r}, "
        f"{report.columns} "
        f"{'column' if report.columns == 1 else 'columns'}, {report.encoding}"
    )


def finish(printer: Printer, outcome: Outcome, args: argparse.Namespace, floor: int = OK) -> Tuple[int, str]:
    """Report one input's outcome (message, JSON); returns its exit status and a word for the summary.

    ``floor`` is the status of what was already done for the input (its HTML report).
    """
    if outcome.report is None:
        if args.json:
            printer.emit({"path": outcome.source, "status": outcome.status, "error": outcome.error})
        return printer.error(outcome.status, outcome.error, outcome.details), "error"
    for warning in outcome.warnings:
        printer.warn(warning)
    for note in outcome.report.notes:
        printer.note(outcome.source, note.message)
    status, problem, label = check(outcome.report, args)
    status = max(status, floor)
    if problem:
        printer.problem(outcome.source, problem)
    printer.detail(f"{outcome.source}: {told(outcome.report)}")
    if args.json:
        printer.emit({"path": outcome.source, **outcome.report.to_dict(), "status": status})
    return status, label


def write_report(printer: Printer, report: Report, path: str, source: str, rows: int) -> int:
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
        return printer.error(*describe_error(error, path))
    except MissingExtraError as error:
        return printer.error(USAGE, str(error))
    return OK
