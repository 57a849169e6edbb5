"""The commands: ``clean``, ``sniff`` and ``inspect``, each given the printer, the arguments and the reading options."""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import sys
import tempfile
import threading
import traceback
from typing import Any, Dict, List, Optional, Tuple


from rowmend._batch import FAILED_CHECK, OK, STDIO, UsageError, describe_error, expand_inputs, run_jobs
from rowmend._display import inspect_tables, summary_table
from rowmend._html import require_matplotlib, warm_up
from rowmend._detect import settle_layout, start_run
from rowmend._layout import Layout
from rowmend._many import default_workers
from rowmend._options import resolve_options
from rowmend._outputs import OutputSet, file_key
from rowmend._report import Report
from rowmend._sources import open_source
from rowmend.cli.checks import check
from rowmend.cli.jobs import copy_out, finish, progress_display, stored_size, write_report
from rowmend.cli.plan import plan, refuse_over_inputs
from rowmend.cli.printer import Printer

__all__ = ["clean", "inspect", "sniff"]


def _save_layout(layout: Layout, path: str) -> None:
    """Writes the layout as JSON, all or nothing, as every output is."""
    with OutputSet() as outputs:
        with os.fdopen(os.dup(outputs.add(path).fd), "w", encoding="utf-8") as saved:
            saved.write(layout.to_json() + "\n")
        outputs.commit()


def clean(printer: Printer, args: argparse.Namespace, options: Dict[str, Any]) -> int:
    """``rowmend clean``: a job per input, in this process or a pool; returns the highest status of its files."""
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
        jobs = plan(args, inputs, options, scratch)
        if args.report is not None:
            require_matplotlib()
            threading.Thread(target=warm_up, name="rowmend-warm-up", daemon=True).start()
        for folder in (args.output_dir, args.quarantine_dir):
            if folder:
                try:
                    os.makedirs(folder, exist_ok=True)
                except OSError as error:
                    return printer.error(*describe_error(error, folder))
        if args.stream:
            sys.stdout.flush()
        display = progress_display(printer, jobs)
        if display is not None:
            stack.enter_context(display)
        files = f"{len(jobs)} {'file' if len(jobs) == 1 else 'files'}"
        printer.detail(f"cleaning {files} in {workers} {'process' if workers == 1 else 'processes'}")
        for outcome in run_jobs(jobs, workers, display.update if display else None):
            if display is not None:
                display.finished(outcome.index, outcome.report)
            job = jobs[outcome.index]
            in_place = job.source != STDIO and file_key(job.destination) == file_key(job.source)
            kept = job.quarantine is not None or in_place  # in place, the rows go beside the input
            # The page is written before the JSON line, whose status must count its failure.
            report_status = OK
            if outcome.report is not None and args.report is not None:
                report_status = write_report(printer, outcome.report, args.report, outcome.source, args.report_rows)
            file_status, label = finish(printer, outcome, args, report_status)
            quarantined = outcome.report is not None and outcome.report.quarantined_rows > 0
            dropped = dropped or (not kept and quarantined and file_status == FAILED_CHECK)
            if outcome.report is not None:
                # Standard output gets a file's content once the file is
                # complete, so that a failed run writes nothing there.
                for path in (job.destination, job.quarantine):
                    if path is not None and os.path.dirname(path) == scratch:
                        copy_out(path)
            status = max(status, file_status)
            summary.append((outcome.source, outcome.report, label))
    if dropped:
        # Once per run, however many files lost rows this way.
        printer.hint("--quarantine FILE or --quarantine-dir DIR keeps the quarantined rows")
    if summary:
        printer.summary(summary_table(summary))
    return status


def _open_input(path: str) -> Any:
    return open_source(sys.stdin.buffer if path == STDIO else path)


def _sniff_one(path: str, options: Dict[str, Any]) -> Tuple[Optional[Layout], Optional[str]]:
    """The layout of an input from its first rows (None when it holds none), and its compression."""
    with _open_input(path) as opened:
        return settle_layout(opened, resolve_options(**options)), opened.compression


def sniff(printer: Printer, args: argparse.Namespace, options: Dict[str, Any]) -> int:
    """``rowmend sniff``: each input's layout from its first rows, a line or a JSON object each; returns the status."""
    status = OK
    paths = expand_inputs(args.files)
    if args.save_layout is not None and len(paths) != 1:
        raise UsageError(f"--save-layout keeps the layout of one input, not of {len(paths)}")
    if args.save_layout is not None:
        refuse_over_inputs(paths, "layout file", args.save_layout)
    for path in paths:
        try:
            with printer.warnings_said():
                layout, compression = _sniff_one(path, options)
            if layout is None and args.save_layout is not None:
                raise UsageError(f"{path} holds no row, so --save-layout has no layout to save: sniff a file with rows")
            if layout is not None and args.save_layout is not None:
                _save_layout(layout, args.save_layout)
        except Exception as error:
            code, message = describe_error(error, path)
            if args.json:
                printer.emit({"path": path, "status": code, "error": message})
            status = max(status, printer.error(code, message, traceback.format_exc()))
            continue
        if layout is None:
            # An empty file reads fine (as no rows): nothing failed.
            note = "no rows, so no layout to detect"
            if args.json:
                printer.emit({"path": path, "status": OK, "note": note, "compression": compression})
            else:
                printer.note(path, note)
            continue
        if args.json:
            printer.emit({"path": path, **layout.to_dict(), "compression": compression})
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
        printer.out(f"{path}  " + "  ".join(parts))
    return status


def inspect(printer: Printer, args: argparse.Namespace, options: Dict[str, Any]) -> int:
    """``rowmend inspect``: one input read as clean would read it, writing nothing; returns the status clean would."""
    options.setdefault("max_records", args.rows)
    options.setdefault("record_repairs", True)
    resolved = resolve_options(**options)
    path: str = args.file
    if args.html is not None:
        refuse_over_inputs([path], "HTML report", args.html)
        require_matplotlib()
        threading.Thread(target=warm_up, name="rowmend-warm-up", daemon=True).start()
    size = stored_size(path)
    display = printer.progress_display({0: size}, {0: path}, path == STDIO and sys.stdin.isatty())
    try:
        with printer.warnings_said(), _open_input(path) as opened:
            progress = None if display is None else functools.partial(display.update, 0)
            # The report alone: no batches, no clean file.
            run = start_run(opened, resolved, progress, batches=False)
            with display if display is not None else contextlib.nullcontext():
                run.feed_all()
            report = run.report()
            header = run.salvager.header if resolved.header else None
            quote = "none" if resolved.quote_char == "none" else run.salvager.quote_char or '"'

    except Exception as error:
        code, message = describe_error(error, path)
        if args.json:
            printer.emit({"path": path, "status": code, "error": message})
        return printer.error(code, message, traceback.format_exc())
    status, problem, _ = check(report, args)
    if args.html is not None:
        status = max(status, write_report(printer, report, args.html, path, args.rows))
    if args.json:
        printer.emit({"path": path, **report.to_dict(), "header": header, "status": status})
    else:
        printer.tables(inspect_tables(path, report, header, quote, args.rows))
    if problem:
        printer.problem(path, problem)
    return status
