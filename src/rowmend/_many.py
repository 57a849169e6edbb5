"""Cleaning many files: :func:`clean_many`, and how many processes a batch is worth.

The command line's ``clean`` over many inputs and :func:`clean_many` run the
same jobs through :func:`rowmend._batch.run_jobs`, with the same default
number of processes (:func:`default_workers`).
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

from rowmend._batch import Job, UsageError, expand_inputs, run_jobs
from rowmend._errors import CleanManyError
from rowmend._options import resolve_options
from rowmend._outputs import (
    Output,
    clean_name,
    file_key,
    is_compressed_name,
    quarantine_name,
    refuse_clashes,
    set_aside_path,
)
from rowmend._report import Report

__all__ = ["POOL_BYTES", "clean_many", "default_workers"]

#: Input bytes below which one process cleans a batch faster than a pool:
#: each worker process first spends a few tenths of a second importing
#: pyarrow and rowmend, which is what a quarter of a GiB takes to clean.
#: bench/jobs.py measures where a pool starts to pay.
POOL_BYTES = 256 << 20

# A compressed input costs about as much as this many times its size.
_COMPRESSED_WEIGHT = 4


def _core_count() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def default_workers(sources: Sequence[str], pool_bytes: int = POOL_BYTES) -> int:
    """How many processes to clean ``sources`` with: one until the work pays for a pool.

    The work is the inputs' stored size, a compressed one counted at four
    times its size; from ``pool_bytes`` on, one process per core (at most
    one per input).

    Examples:
        >>> default_workers(["/dev/null"] * 50)
        1
    """
    work = 0
    for source in sources:
        try:
            size = os.stat(source).st_size
        except (OSError, ValueError):
            continue  # a missing input fails in its job, a pipe is read as it comes
        work += size * (_COMPRESSED_WEIGHT if is_compressed_name(source) else 1)
        if work >= pool_bytes:
            return max(1, min(_core_count(), len(sources)))
    return 1


def clean_many(
    sources: Union[str, os.PathLike[str], Iterable[Union[str, os.PathLike[str]]]],
    output_dir: Union[str, os.PathLike[str]],
    *,
    quarantine_dir: Union[str, os.PathLike[str], None] = None,
    format: Optional[str] = None,
    output_delimiter: Optional[str] = None,
    jobs: Optional[int] = None,
    **options: Any,
) -> Dict[str, Report]:
    """Clean many files into a folder, in one process or a pool of them.

    Each input is cleaned as :func:`rowmend.clean` cleans it, with the same
    guarantees: every output is written beside its destination and put in
    place only when all of that input's outputs are complete, and no output
    is written over an input or over another output (refused before any
    file is read). One input that fails does not stop the others.

    Args:
        sources: A folder (its CSV files, compressed too, not its subfolders),
            a glob pattern (``"drop/*.csv.gz"``, ``**`` reaching into
            subfolders), a file, or a list of them.
        output_dir: The folder of the clean files, made when missing; each is
            named as its input without a compression suffix (``.parquet``
            with ``format="parquet"``). Not the folder of an input.
        quarantine_dir: A folder for the quarantined rows, as
            ``NAME.quarantine.csv``, written only for an input that had some;
            None keeps them in the reports only. The rows set aside as not
            part of the table go there too, as ``NAME.skipped.csv``.
        format: ``"csv"`` (the default) or ``"parquet"``.
        output_delimiter: The clean CSV files' delimiter; None keeps each
            input's.
        jobs: Processes to clean with; None decides by the inputs' size
            (:func:`rowmend._many.default_workers`): one process for small
            batches, whose pool would cost more than it saves.
        **options: The reading options (:data:`rowmend._options.OPTIONS`).

    Returns:
        Each input's :class:`Report`, by its path, in the inputs' order.

    Raises:
        TypeError, ValueError: An unknown option or an unusable value, inputs
            that name no CSV file, or outputs that would be written over an
            input or over each other.
        CleanManyError: Some inputs could not be cleaned; it holds their
            errors and the other inputs' reports.

    Examples:
        >>> import pathlib, tempfile
        >>> folder = pathlib.Path(tempfile.mkdtemp())
        >>> _ = (folder / "a.csv").write_bytes(b"x,y\\n1,2\\n")
        >>> reports = clean_many(folder, folder / "clean")
        >>> [(pathlib.Path(name).name, report.salvaged_rows) for name, report in reports.items()]
        [('a.csv', 1)]
    """
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a whole number of at least 1 or None, not {jobs!r}")
    if format not in (None, "csv", "parquet"):
        raise ValueError(f"format must be 'csv' or 'parquet', not {format!r}")
    given = [sources] if isinstance(sources, (str, os.PathLike)) else list(sources)
    try:
        inputs = expand_inputs([os.fspath(source) for source in given])
    except UsageError as error:
        raise ValueError(str(error)) from None
    resolve_options(**options)  # refuse unusable options before any output exists
    workers = min(jobs or default_workers(inputs), len(inputs))
    if workers > 1:
        options = {**options, "threads": 1}  # the pool's processes share the cores
    folder = os.fspath(output_dir)
    quarantines = os.fspath(quarantine_dir) if quarantine_dir is not None else None
    jobs_list = _plan(inputs, folder, quarantines, format, output_delimiter, options)
    for path in (folder, quarantines):
        if path is not None:
            os.makedirs(path, exist_ok=True)
    reports: Dict[str, Report] = {}
    failures: Dict[str, str] = {}
    for outcome in run_jobs(jobs_list, workers):
        if outcome.report is not None:
            reports[outcome.source] = outcome.report
        else:
            failures[outcome.source] = outcome.error
    if failures:
        raise CleanManyError(failures, reports)
    return reports


def _plan(
    inputs: List[str],
    folder: str,
    quarantines: Optional[str],
    format: Optional[str],
    output_delimiter: Optional[str],
    options: Dict[str, Any],
) -> List[Job]:
    """A job per input; ValueError for outputs that would land on an input or on each other."""
    keys = [(source, file_key(source)) for source in inputs]
    destination_key = file_key(folder)
    outputs: List[Output] = []
    jobs: List[Job] = []
    for index, (source, _) in enumerate(keys):
        if file_key(os.path.dirname(source) or ".") == destination_key:
            raise ValueError(
                f"output_dir {folder} is the folder of the input {source}, whose clean file would replace it: "
                "give another folder"
            )
        destination = os.path.join(folder, clean_name(source, format))
        quarantine = os.path.join(quarantines, quarantine_name(source)) if quarantines is not None else None
        outputs.append(Output(source, "clean file", destination))
        if quarantine is not None:
            outputs.append(Output(source, "quarantine", quarantine))
            outputs.append(Output(source, "rows set aside", set_aside_path(quarantine)))
        jobs.append(
            Job(index, source, destination, quarantine, format, output_delimiter, options, quarantine_if_rows=True)
        )
    refuse_clashes(keys, outputs)
    return jobs
