"""The plan of a clean: a job per input, with its outputs, or a usage error before any file is touched."""

from __future__ import annotations

import argparse
import errno
import os
import sys
from typing import Any, Dict, List, Optional

from rowmend._batch import STDIO, Job, UsageError
from rowmend._outputs import (
    Output,
    clean_format,
    clean_name,
    file_key,
    is_compressed_name,
    quarantine_name,
    refuse_clashes,
    repairs_path,
    set_aside_path,
)

__all__ = ["STDOUT_CLOSED", "plan", "refuse_over_inputs"]


def plan(args: argparse.Namespace, inputs: List[str], options: Dict[str, Any], scratch: str) -> List[Job]:
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
        raise OSError(errno.EBADF, STDOUT_CLOSED, "standard output")
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


def refuse_over_inputs(inputs: List[str], role: str, path: str) -> None:
    """A UsageError when a file the command writes names one of its inputs."""
    try:
        refuse_clashes([(name, file_key(name)) for name in inputs if name != STDIO], [Output(inputs[0], role, path)])
    except ValueError as error:
        raise UsageError(str(error)) from None


STDOUT_CLOSED = "closed when rowmend started: nothing written there would arrive"
