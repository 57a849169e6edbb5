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
from rowmend.cli.printer import Session

__all__ = ["copy_out", "finish", "progress_display", "stored_size", "write_report"]


def stored_size(path: str) -> Optional[int]:
    if path == STDIO:
        return None
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def copy_out(path: str) -> None:
    with open(path, "rb") as result:
        shutil.copyfileobj(result, sys.stdout.buffer, 1 << 20)
    sys.stdout.buffer.flush()


def progress_display(session: Session, jobs: Sequence[Job]) -> Optional[ProgressDisplay]:
    """A progress bar on a terminal, for many inputs or a large one (or as --progress says)."""
    sizes = {job.index: stored_size(job.source) for job in jobs}
    stdin_terminal = any(job.source == STDIO for job in jobs) and sys.stdin.isatty()
    if not session.wants_bar(list(sizes.values()), stdin_terminal):
        return None
    return ProgressDisplay(session.console, sizes, {job.index: job.source for job in jobs})


def finish(session: Session, outcome: Outcome, args: argparse.Namespace, floor: int = OK) -> Tuple[int, str]:
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
    status, problem, label = check(outcome.report, args)
    status = max(status, floor)
    if problem:
        session.say(f"rowmend: {outcome.source}: {problem}")
    if args.json:
        session.emit({"path": outcome.source, **outcome.report.to_dict(), "status": status})
    return status, label


def write_report(session: Session, report: Report, path: str, source: str, rows: int) -> int:
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
