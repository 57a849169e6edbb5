"""Many inputs for the command line: finding the files, naming the outputs, cleaning them in processes.

:func:`expand_inputs` turns the command line's arguments (files, folders,
glob patterns) into files; :func:`run_jobs` cleans each :class:`Job` in this
process or in worker processes and hands back an :class:`Outcome` per job,
in the order of the jobs.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import glob
import itertools
import multiprocessing
import os
import queue
import signal
import sys
import time
import traceback
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from rowmend._clean import clean_into
from rowmend._errors import DecompressionError, LayoutDriftError, NotTextError, RowmendWarning
from rowmend._options import resolve_options
from rowmend._outputs import CSV_SUFFIXES, is_csv_name
from rowmend._report import Report
from rowmend._sources import is_url

__all__ = [
    "Job",
    "Outcome",
    "UsageError",
    "describe_error",
    "expand_inputs",
    "run_job",
    "run_jobs",
]

#: Exit statuses, lowest priority first after success: every row kept; rows
#: quarantined or a limit exceeded; a command line that cannot be carried out;
#: a file that cannot be read or written; a fault of rowmend itself (a bug,
#: or memory running out), numbered as Rust's panics and ty's are.
OK, FAILED_CHECK, USAGE, IO_FAILURE, INTERNAL = 0, 1, 2, 3, 101

#: The status of a command stopped by Ctrl-C: 128 + SIGINT, as a shell reports it.
INTERRUPTED = 128 + signal.SIGINT

#: The name standard input and output go by on the command line.
STDIO = "-"


class UsageError(Exception):
    """The command line asks for something that cannot be done (exit status 2)."""


def _csv_files_in(directory: str) -> List[str]:
    names = sorted(entry.name for entry in os.scandir(directory) if entry.is_file() and is_csv_name(entry.name))
    return [os.path.join(directory, name) for name in names]


def expand_inputs(arguments: Sequence[str]) -> List[str]:
    """The files the command line's inputs name, in order, each once.

    A folder stands for the CSV files in it (not in its subfolders), a glob
    pattern (``drop/*.csv.gz``, ``**`` reaching into subfolders) for the CSV
    files it matches; any other argument is taken as a file, whatever its
    name, so that a missing one is reported when it is opened.

    Raises:
        UsageError: A folder or pattern that names no CSV file.
    """
    files: List[str] = []
    for argument in arguments:
        if is_url(argument):
            found = [argument]  # read through fsspec as it stands: its ? and * are no glob
            what = ""
        elif argument != STDIO and os.path.isdir(argument):
            found = _csv_files_in(argument)
            what = "folder"
        elif argument != STDIO and not os.path.lexists(argument) and glob.has_magic(argument):
            found = []
            for match in sorted(glob.glob(argument, recursive=True)):
                if os.path.isdir(match):
                    found.extend(_csv_files_in(match))
                elif is_csv_name(match):
                    found.append(match)
            what = "pattern"
        else:
            found = [argument]
            what = ""
        if not found:
            raise UsageError(f"{argument}: the {what} names no CSV file ({', '.join(CSV_SUFFIXES)}, compressed or not)")
        files.extend(found)
    return list(dict.fromkeys(files))


@dataclass(frozen=True)
class Job:
    """One input to clean, and where its outputs go.

    Attributes:
        index: The job's place among the run's jobs.
        source: The input's path, or ``"-"`` for standard input.
        destination: The clean file's path.
        quarantine: The quarantine file's path, or None for none.
        format: ``"csv"``, ``"parquet"`` or None (from the destination's name).
        output_delimiter: The clean file's delimiter, or None for the input's.
        options: The reading options, by name.
        stream: Whether an output named ``"-"`` is written to standard
            output as the rows are cleaned, rather than as a file.
        quarantine_if_rows: Whether the quarantine file is written only
            when it holds rows (one the run named itself, in a folder the
            user gave), rather than always (one the user named).
    """

    index: int
    source: str
    destination: str
    quarantine: Optional[str] = None
    format: Optional[str] = None
    output_delimiter: Optional[str] = None
    options: Dict[str, Any] = field(default_factory=dict)
    stream: bool = False
    quarantine_if_rows: bool = False


@dataclass(frozen=True)
class Outcome:
    """What became of one :class:`Job`: its report, or the error that ended it.

    Attributes:
        index: The job's index.
        source: The job's input, as given.
        report: The run's report; None when it failed.
        status: For a failure, the exit status it calls for (1, 2, 3 or 101); else 0.
        error: For a failure, one line naming the file and the cause.
        details: For a failure, the traceback, shown with ``--debug``.
        warnings: The messages of the warnings rowmend gave, such as a
            layout's drift with ``on_drift="warn"``.
    """

    index: int
    source: str
    report: Optional[Report] = None
    status: int = OK
    error: str = ""
    details: str = ""
    warnings: Tuple[str, ...] = ()


def _one_line(message: str) -> str:
    # Messages from other libraries may span lines (pyarrow's schema
    # differences); a command line says one line per error.
    return " ".join(line.strip() for line in message.splitlines() if line.strip())


def describe_error(error: BaseException, source: str) -> Tuple[int, str]:
    """The exit status an error calls for and one line naming the file and the cause."""
    status, message = _describe(error, source)
    return status, _one_line(message)


def _describe(error: BaseException, source: str) -> Tuple[int, str]:
    if isinstance(error, OSError) and error.strerror:
        name = os.fsdecode(error.filename) if error.filename is not None else source
        return IO_FAILURE, f"{name}: {error.strerror}"
    if isinstance(error, NotTextError):
        return IO_FAILURE, f"{error.filename}: {error.kind}, not text; --binary reads it as CSV all the same"
    if isinstance(error, LayoutDriftError):
        return FAILED_CHECK, str(error)  # the input is readable, but not as the layout says
    if isinstance(error, DecompressionError) and error.compression == "zip":
        return USAGE, str(error)  # not a CSV file at all: the wrong input was named
    if isinstance(error, (OSError, DecompressionError)):
        message = str(error) or type(error).__name__
        return IO_FAILURE, message if source in message else f"{source}: {message}"
    if isinstance(error, (ValueError, TypeError, ImportError)):
        message = str(error)
        return USAGE, message if source in message else f"{source}: {message}"
    if isinstance(error, MemoryError):
        return INTERNAL, f"{source}: out of memory"
    return INTERNAL, f"{source}: internal error, {type(error).__name__}: {error} (a fault of rowmend: --debug shows where)"


#: Called as ``progress(job_index, bytes_read, rows_read)`` while a job runs.
JobProgress = Callable[[int, int, int], None]


def run_job(job: Job, progress: Optional[JobProgress] = None) -> Outcome:
    """Clean one input, turning any failure but an interrupt into its :class:`Outcome`."""

    def report_progress(done: int, rows: int) -> None:
        assert progress is not None
        progress(job.index, done, rows)

    callback = report_progress if progress is not None else None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RowmendWarning)
        try:
            source: Any = sys.stdin.buffer if job.source == STDIO else job.source
            report = clean_into(
                source,
                job.destination,
                job.quarantine,
                resolve_options(**job.options),
                job.output_delimiter,
                job.format,
                callback,
                streams={STDIO: sys.stdout.fileno()} if job.stream else {},
                quarantine_if_rows=job.quarantine_if_rows,
            )
        except Exception as error:
            if job.stream and isinstance(error, BrokenPipeError):
                raise  # the reader of standard output went away (| head): the command stops quietly
            status, message = describe_error(error, job.source)
            return Outcome(job.index, job.source, status=status, error=message, details=traceback.format_exc())
    said = tuple(str(warning.message) for warning in caught if issubclass(warning.category, RowmendWarning))
    # What the report notes is shown once, as its note.
    said = tuple(text for text in said if not any(text.endswith(note.message) for note in report.notes))
    for warning in caught:
        if not issubclass(warning.category, RowmendWarning):
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return Outcome(job.index, job.source, report=report, warnings=said)


# The queue a worker process sends its progress through, when someone watches.
_worker_progress: Optional[Any] = None
# Whether the worker is cleaning a file, and whether it was told to stop.
_worker_busy = False
_worker_stopped = False

#: The signals that stop a run: the parent stops its workers with the first.
STOP_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)

# How long stopped workers get to remove their temporary files and exit
# before they are killed.
_STOP_GRACE = 1.0


def _worker_signal(signum: int, frame: Any) -> None:
    # A worker told to stop (SIGTERM from the parent, or the terminal's
    # Ctrl-C reaching the whole process group) ends the file it is cleaning
    # as Ctrl-C would, so that the clean removes its temporary files, and then
    # starts no other; an idle worker just exits. Ctrl-C to the group brings
    # the parent's SIGTERM right after the worker's own SIGINT: a second
    # interrupt would cut the removal of the temporary files short.
    global _worker_stopped
    if _worker_busy:
        if not _worker_stopped:
            _worker_stopped = True
            raise KeyboardInterrupt
        return
    _worker_stopped = True
    os._exit(128 + signum)


def _start_worker(progress_queue: Optional[Any]) -> None:
    global _worker_progress
    _worker_progress = progress_queue
    for signum in STOP_SIGNALS:
        signal.signal(signum, _worker_signal)


def _send_progress(index: int, done: int, rows: int) -> None:
    assert _worker_progress is not None
    _worker_progress.put((index, done, rows))


def _run_in_worker(job: Job) -> Outcome:
    global _worker_busy
    if _worker_stopped:
        raise KeyboardInterrupt  # a job handed out before the stop: not started
    _worker_busy = True
    try:
        return run_job(job, _send_progress if _worker_progress is not None else None)
    finally:
        _worker_busy = False


def _pool_context() -> Any:
    # Not fork: the parent may run threads (the progress display's), which a
    # forked child would inherit in whatever state they were.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _remove_temporaries(jobs: Sequence[Job]) -> None:
    """Remove what a killed worker left of the outputs of ``jobs``: their temporary files."""
    # Named as the outputs module names them: ".NAME.XXXXXXXX.rowmend-tmp" beside the output.
    for job in jobs:
        for path in (job.destination, job.quarantine):
            if path is None or path == STDIO:
                continue
            folder, name = os.path.split(os.path.abspath(path))
            pattern = os.path.join(glob.escape(folder), glob.escape(f".{name[:200]}.") + "*.rowmend-tmp")
            for temporary in glob.glob(pattern):
                with contextlib.suppress(OSError):
                    os.unlink(temporary)


def _stop_workers(pool: concurrent.futures.ProcessPoolExecutor) -> bool:
    """Hand out no more work and end the workers within :data:`_STOP_GRACE` seconds; whether one was killed."""
    # The pool's own shutdown waits for the files being cleaned to finish;
    # a stop must not. SIGTERM makes a worker end its file as Ctrl-C would,
    # removing its temporary files; one still running after the grace
    # period is killed. The executor names no public way to its processes:
    # they are read before shutdown, which forgets them.
    workers: List[Any] = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for worker in workers:
        if worker.is_alive() and worker.pid is not None:
            with contextlib.suppress(OSError):
                os.kill(worker.pid, signal.SIGTERM)
    deadline = time.monotonic() + _STOP_GRACE
    for worker in workers:
        worker.join(max(0.0, deadline - time.monotonic()))
    killed = False
    for worker in workers:
        if worker.is_alive():
            worker.kill()
            worker.join()
            killed = True
    return killed


def run_jobs(jobs: Sequence[Job], workers: int, progress: Optional[JobProgress] = None) -> Iterator[Outcome]:
    """Run every job and yield its outcome, in the jobs' order.

    With ``workers`` above one and more than one job, the jobs run in that
    many worker processes; ``progress`` is still called in this process.
    An outcome is yielded as soon as it and every earlier one are done.
    A job is handed to a worker only when one is free, so an interrupt
    (any exception here, or the caller leaving the iteration) starts no
    other: the workers are stopped at once, the files they were cleaning
    left unwritten, and the outcomes already yielded stand.
    """
    if workers <= 1 or len(jobs) <= 1:
        for job in jobs:
            yield run_job(job, progress)
        return
    context = _pool_context()
    progress_queue = context.Queue() if progress is not None else None
    done: Dict[int, Outcome] = {}
    position = 0
    size = min(workers, len(jobs))
    pool = concurrent.futures.ProcessPoolExecutor(
        max_workers=size, mp_context=context, initializer=_start_worker, initargs=(progress_queue,)
    )
    running: Dict[Any, Job] = {}
    try:
        waiting = iter(jobs)
        for job in itertools.islice(waiting, size):
            running[pool.submit(_run_in_worker, job)] = job
        while running or position < len(jobs):
            finished, _ = concurrent.futures.wait(
                list(running), timeout=0.1, return_when=concurrent.futures.FIRST_COMPLETED
            )
            if progress_queue is not None and progress is not None:
                _drain(progress_queue, progress)
            for future in finished:
                outcome = future.result()
                del running[future]
                done[outcome.index] = outcome
                for job in itertools.islice(waiting, 1):
                    running[pool.submit(_run_in_worker, job)] = job
            while position < len(jobs) and jobs[position].index in done:
                yield done.pop(jobs[position].index)
                position += 1
    except BaseException:
        if _stop_workers(pool):
            _remove_temporaries(list(running.values()))
        raise
    pool.shutdown(wait=True)


def _drain(progress_queue: Any, progress: JobProgress) -> None:
    while True:
        try:
            index, done, rows = progress_queue.get_nowait()
        except queue.Empty:
            return
        progress(index, done, rows)
