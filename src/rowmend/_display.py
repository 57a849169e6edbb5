"""What people see while a run goes and after: progress bars and tables, drawn by rich.

Nothing here decides whether to show anything: the command line shows a
:class:`ProgressDisplay` and the tables only when its output is a terminal,
and the package a :class:`RunProgress` only with ``progress=True``.
"""

from __future__ import annotations

import importlib.util
import json
import re
from types import TracebackType
from typing import Dict, List, Optional, Sequence, Set, Tuple, Type

from rich.console import Console
from rich.progress import (
    BarColumn,
    DownloadColumn,
    Progress,
    ProgressColumn,
    Task,
    TaskID,
    TextColumn,
    TimeRemainingColumn,
    TransferSpeedColumn,
)
from rich.table import Table
from rich.text import Text

from rowmend._report import Report

__all__ = [
    "ProgressDisplay",
    "RowRateColumn",
    "RunProgress",
    "inspect_tables",
    "json_line",
    "progress_columns",
    "summary_table",
    "visible",
]


def _visible_table() -> Dict[int, str]:
    # A terminal obeys control characters in what it is sent: ESC starts
    # sequences that recolour it, set its title or worse, and some terminals
    # take C1 codes (U+0080 to U+009F) as ESC sequences too. Text from a
    # file (fields, names, file names) therefore never reaches one raw: C0
    # codes become their Unicode control pictures (ESC shows as U+241B),
    # DEL as U+2421, and C1 codes, bidirectional overrides (which reorder
    # what is shown) and lone surrogates are escaped. A surrogate from
    # U+DC80 to U+DCFF is a byte a file name held that was not UTF-8
    # (Python's surrogateescape): it shows as that byte, \xff.
    table = {code: chr(0x2400 + code) for code in range(0x20)}
    table[0x7F] = "\u2421"
    table.update({code: f"\\x{code:02x}" for code in range(0x80, 0xA0)})
    table.update({code: f"\\u{code:04x}" for code in (*range(0x202A, 0x202F), *range(0x2066, 0x206A))})
    table.update({code: f"\\u{code:04x}" for code in range(0xD800, 0xE000)})
    table.update({code: f"\\x{code - 0xDC00:02x}" for code in range(0xDC80, 0xDD00)})
    return table


_VISIBLE = _visible_table()


def visible(text: str) -> str:
    """``text`` safe to show on a terminal: control characters shown, never obeyed.

    Examples:
        >>> visible("a\\x1b[31mred\\x07 b\\tc")
        'a␛[31mred␇ b␉c'
        >>> visible("caf\\udce9.csv")  # a file name whose byte 0xE9 was not UTF-8
        'caf\\\\xe9.csv'
    """
    return text.translate(_VISIBLE)


# What JSON allows raw but a terminal or a strict reader does not: DEL and
# the C1 codes, the line separators JavaScript chokes on, and lone
# surrogates, which no UTF-8 encoder writes.
_JSON_ESCAPED = re.compile("[\x7f-\x9f\u2028\u2029\ud800-\udfff]")


def json_line(record: object) -> bytes:
    """``record`` as one line of UTF-8 JSON, ready for standard output.

    Text stays readable (``ensure_ascii=False``) but for the characters
    JSON escapes anyway and those above, written as ``\\uXXXX``. A file name
    whose bytes are not UTF-8 reaches Python with each such byte as a
    surrogate (U+DC80 + byte); it is written as that escape, as
    ``json.dumps`` writes it, so ``os.fsencode(json.loads(line)["path"])``
    gives the name's bytes back.

    Examples:
        >>> json_line({"path": "caf\\udce9.csv", "note": "\\x1b]2;x\\x07"})
        b'{"path": "caf\\\\udce9.csv", "note": "\\\\u001b]2;x\\\\u0007"}'
    """
    text = json.dumps(record, ensure_ascii=False)
    return _JSON_ESCAPED.sub(lambda match: f"\\u{ord(match.group()):04x}", text).encode("utf-8")


class RowRateColumn(ProgressColumn):
    """Rows read per second since the task started, from the task's ``rows`` field."""

    def render(self, task: Task) -> Text:
        """The rate as ``12,345 rows/s``, or ``? rows/s`` before there is one."""
        rows = int(task.fields.get("rows", 0))
        elapsed = task.finished_time if task.finished else task.elapsed
        if not elapsed or not rows:
            return Text("? rows/s", style="progress.data.speed")
        return Text(f"{rows / elapsed:,.0f} rows/s", style="progress.data.speed")


def progress_columns() -> Tuple[ProgressColumn, ...]:
    """A bar's columns: name, bar, bytes read of the total, bytes and rows per second, time left."""
    return (
        # A description holds a file name: shown as it is, never as markup.
        TextColumn("{task.description}", markup=False),
        BarColumn(),
        DownloadColumn(),
        TransferSpeedColumn(),
        RowRateColumn(),
        TimeRemainingColumn(),
    )


class RunProgress:
    """The bar of one run in the package (``progress=True``), on standard error or in a notebook.

    It appears at the first :meth:`update`, so a run that reads nothing
    shows nothing, and stays, complete, after :meth:`close`.

    Args:
        name: The input's name, shown left of the bar.
        size: The input's size as stored; None leaves the bar without a total.
    """

    def __init__(self, name: str, size: Optional[int]) -> None:
        # rich's console finds a notebook by itself and draws there; a live
        # bar in a notebook needs ipywidgets, without which rich only warns
        # and shows nothing, so the bar is then drawn once, at the end.
        console = Console(stderr=True)
        self._live = not console.is_jupyter or importlib.util.find_spec("ipywidgets") is not None
        self._progress = Progress(*progress_columns(), console=console)
        self._task = self._progress.add_task(visible(name), total=size, rows=0)
        self._started = False

    def update(self, done: int, rows: int) -> None:
        """The run has read ``done`` bytes (as stored) and ``rows`` rows."""
        if not self._started:
            if self._live:
                self._progress.start()
            else:
                self._progress.start_task(self._task)
            self._started = True
        self._progress.update(self._task, completed=done, rows=rows)

    def close(self, done: Optional[int] = None, rows: Optional[int] = None) -> None:
        """Draw the last state (the whole input read, when it was) and stop drawing."""
        if not self._started:
            return
        if done is not None and rows is not None:
            self._progress.update(self._task, completed=done, rows=rows)
        if self._live:
            self._progress.stop()
        else:
            self._progress.stop_task(self._task)
            self._progress.console.print(self._progress.make_tasks_table(self._progress.tasks))
        self._started = False


class ProgressDisplay:
    """One progress bar over a run of one or many inputs, on ``console``.

    Use it as a context manager; call :meth:`update` as inputs are read and
    :meth:`finished` when one is done.

    Args:
        console: Where to draw (standard error's console).
        sizes: Each job's input size as stored, by job index; None where it
            is unknown (standard input), which leaves the bar without a total.
        names: Each job's input name, by job index.
    """

    def __init__(self, console: Console, sizes: Dict[int, Optional[int]], names: Dict[int, str]) -> None:
        self._sizes = sizes
        self._names = names
        self._done: Dict[int, int] = {}
        self._rows: Dict[int, int] = {}
        self._closed: Set[int] = set()
        known = [size for size in sizes.values() if size is not None]
        total = sum(known) if len(known) == len(sizes) else None
        self._progress = Progress(*progress_columns(), console=console)
        self._task: TaskID = self._progress.add_task(self._description(), total=total, rows=0)

    def _description(self) -> str:
        if len(self._sizes) == 1:
            return visible(next(iter(self._names.values())))
        return f"{len(self._closed)}/{len(self._sizes)} files"

    def __enter__(self) -> ProgressDisplay:
        self._progress.start()
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        self._progress.stop()

    @property
    def console(self) -> Console:
        """The console to print on while the bar is shown (lines appear above it)."""
        return self._progress.console

    def update(self, index: int, done: int, rows: int) -> None:
        """Job ``index`` has read ``done`` bytes (as stored) and ``rows`` rows so far."""
        if index in self._closed:
            return  # a late message from the worker that ran the job
        self._done[index] = done
        self._rows[index] = rows
        self._refresh()

    def finished(self, index: int, report: Optional[Report]) -> None:
        """Job ``index`` is done: its whole input counts as read."""
        size = self._sizes.get(index)
        self._done[index] = size if size is not None else self._done.get(index, 0)
        if report is not None:
            self._rows[index] = report.total_rows
        self._closed.add(index)
        self._refresh()

    def _refresh(self) -> None:
        self._progress.update(
            self._task,
            completed=sum(self._done.values()),
            rows=sum(self._rows.values()),
            description=self._description(),
        )


def _count(value: int) -> str:
    return f"{value:,}"


def _plain(text: str) -> Text:
    # Text from a file goes into a table as Text: a str cell would be read
    # as rich markup ("[/x]" in a field raised MarkupError, "[red]" styled).
    return Text(visible(text))


def summary_table(rows: Sequence[Tuple[str, Optional[Report], str]]) -> Table:
    """The end-of-run table: one line per input (its name, report and outcome), and totals.

    ``rows`` holds ``(name, report, outcome)``; the report is None for an
    input that failed.
    """
    table = Table(title="rowmend clean", title_justify="left")
    table.add_column("file", overflow="fold")
    for heading in ("rows", "repaired", "quarantined"):
        table.add_column(heading, justify="right")
    table.add_column("outcome")
    totals = [0, 0, 0]
    for name, report, outcome in rows:
        style = "green" if outcome == "ok" else "yellow" if report is not None else "red"
        if report is None:
            table.add_row(_plain(name), "", "", "", Text(outcome, style=style))
            continue
        counts = (report.total_rows, report.repaired_rows, report.quarantined_rows)
        totals = [total + count for total, count in zip(totals, counts)]
        table.add_row(_plain(name), *map(_count, counts), Text(outcome, style=style))
    if len(rows) > 1:
        table.add_section()
        table.add_row(f"{len(rows)} files", *map(_count, totals), "")
    return table


def inspect_tables(name: str, report: Report, header: Optional[List[str]], quote_char: str, shown: int) -> List[Table]:
    """What ``rowmend inspect`` shows: the layout, the counts, the first quarantined and repaired rows."""
    layout = Table(title=_plain(name), title_justify="left", show_header=False)
    layout.add_column("", style="bold")
    layout.add_column("", overflow="fold")
    layout.add_row("delimiter", repr(report.delimiter))
    layout.add_row("quote", "none (quotes are text)" if quote_char == "none" else repr(quote_char))
    layout.add_row("encoding", report.encoding)
    layout.add_row("columns", str(report.columns))
    layout.add_row("header", _plain(", ".join(header)) if header is not None else "none")
    layout.add_row("rows", _count(report.total_rows))
    layout.add_row("kept", _count(report.salvaged_rows))
    layout.add_row("repaired", _count(report.repaired_rows))
    layout.add_row("quarantined", _count(report.quarantined_rows))
    layout.add_row("replaced bytes", _count(report.replaced_bytes))
    for note in report.notes:
        layout.add_row("note", note.message)
    tables = [layout]
    records = report.quarantine[:shown]
    if records:
        more = report.quarantined_rows - len(records)
        title = "quarantined rows" + (f" (first {len(records)} of {report.quarantined_rows:,})" if more else "")
        quarantine = Table(title=title, title_justify="left")
        quarantine.add_column("line", justify="right")
        quarantine.add_column("reason")
        quarantine.add_column("row as read", overflow="ellipsis", no_wrap=True, max_width=60)
        for record in records:
            quarantine.add_row(str(record.line), record.reason, _plain(record.raw.rstrip("\r\n")))
        tables.append(quarantine)
    repairs = report.repairs[:shown]
    if repairs:
        # Rows can be both repaired and skipped-kind records: never "first 4 of 3".
        total = max(report.repaired_rows + report.skipped_rows, len(report.repairs))
        more = total - len(repairs)
        title = "repaired and skipped rows" + (f" (first {len(repairs)} of {total:,})" if more else "")
        repaired = Table(title=title, title_justify="left")
        repaired.add_column("line", justify="right", no_wrap=True, min_width=4)
        repaired.add_column("action", no_wrap=True, min_width=6)
        repaired.add_column("row as read", overflow="ellipsis", no_wrap=True, max_width=28)
        repaired.add_column("fields kept", overflow="ellipsis", no_wrap=True, max_width=28)
        for fix in repairs:
            kept = " | ".join(fix.fields)
            repaired.add_row(str(fix.line), fix.action, _plain(fix.raw.rstrip("\r\n")), _plain(kept))
        tables.append(repaired)
    return tables
