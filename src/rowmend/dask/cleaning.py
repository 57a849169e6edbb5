"""Many files cleaned on the workers of the current Dask scheduler, their outputs written through fsspec."""

from __future__ import annotations

import os
import tempfile
import uuid
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Union

import fsspec
from dask.base import compute as _dask_compute
from dask.delayed import delayed as _dask_delayed

from rowmend._clean import clean as _clean_file
from rowmend._checks import check_character
from rowmend._options import resolve_options
from rowmend._outputs import (
    FileKey,
    Output,
    clean_format,
    clean_name,
    file_key,
    named,
    quarantine_name,
    refuse_clashes,
    set_aside_path,
)
from rowmend._report import Report
from rowmend.dask.files import File, Paths, close_source, is_local, open_inputs, read_source

__all__ = ["clean"]

# Dask's functions, as Any: some are untyped.
_delayed: Any = _dask_delayed
_compute: Any = _dask_compute

@dataclass(frozen=True)
class _CleanJob:
    """One file to clean: where it comes from, where its outputs go."""

    item: File
    fs: Any  # the output's fsspec file system
    clean_path: str
    quarantine_path: Optional[str]
    output_delimiter: Optional[str]
    format: str
    options: Dict[str, Any]


def _clean_one(job: _CleanJob) -> Report:
    """Clean one file on a worker.

    On a local file system rowmend.clean writes the outputs itself, each to a
    temporary file renamed into place once complete. Elsewhere they are
    written to a local temporary directory first and uploaded once complete,
    quarantine file first, each in one upload, which object stores make
    visible only when whole; a failed run uploads nothing.
    """
    source = read_source(job.item)
    arguments: Dict[str, Any] = {"output_delimiter": job.output_delimiter, "format": job.format, **job.options}
    try:
        if is_local(job.fs):
            for path in (job.clean_path, job.quarantine_path):
                if path is not None:
                    job.fs.makedirs(os.path.dirname(path), exist_ok=True)
            return _clean_file(source, job.clean_path, quarantine=job.quarantine_path, **arguments)
        with tempfile.TemporaryDirectory(prefix="rowmend-") as scratch:
            clean_local = os.path.join(scratch, "clean")
            quarantine_local = os.path.join(scratch, "quarantine") if job.quarantine_path is not None else None
            report = _clean_file(source, clean_local, quarantine=quarantine_local, **arguments)
            if quarantine_local is not None:
                assert job.quarantine_path is not None
                if os.path.exists(set_aside_path(quarantine_local)):
                    job.fs.put_file(set_aside_path(quarantine_local), set_aside_path(job.quarantine_path))
                job.fs.put_file(quarantine_local, job.quarantine_path)
            job.fs.put_file(clean_local, job.clean_path)
            return report
    except OSError as error:
        raise named(error, job.item.name) if error.filename is None else error from None
    finally:
        close_source(source)


def clean(
    paths: Paths,
    output_dir: Union[str, "os.PathLike[str]"],
    *,
    quarantine: bool = True,
    quarantine_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    output_delimiter: Optional[str] = None,
    format: str = "csv",
    storage_options: Optional[Mapping[str, Any]] = None,
    output_storage_options: Optional[Mapping[str, Any]] = None,
    **options: Any,
) -> Dict[str, Report]:
    """Clean many CSV files on the workers of the current Dask scheduler.

    Each file is cleaned as :func:`rowmend.clean` cleans it (its own
    layout detected; the same bytes), on whichever worker Dask gives it,
    and its outputs are written through fsspec. In ``output_dir`` each file
    keeps its name without a compression suffix (``a.csv.gz`` gives
    ``a.csv``; ``a.parquet`` with ``format="parquet"``). Its quarantine file
    is ``a.quarantine.csv``, beside it or in ``quarantine_dir``, as the
    command line names it, and beside that ``a.skipped.csv`` holds the rows
    set aside as not part of the table (preamble, comments, footers). No output may name an input (there is no
    in-place clean here) or another output: that is refused before any
    file is cleaned.

    Outputs appear only when complete: on the local file system each is
    written to a temporary file beside it and renamed into place; on any
    other file system (``s3://``, ``gs://``, ``memory://``) each is written to
    a temporary file on the worker's disk and then uploaded in one piece, the
    quarantine files before the clean file. Local paths are paths on the
    workers' machines.

    Args:
        paths: A path, a glob, an fsspec URL or a list of them.
        output_dir: A directory or fsspec URL for the clean files; made if
            missing.
        quarantine: Whether to write the quarantine files.
        quarantine_dir: A directory or fsspec URL for the quarantine files
            instead of beside the clean ones.
        output_delimiter: The clean files' delimiter; None keeps each
            input's.
        format: ``"csv"`` or ``"parquet"``.
        storage_options: Passed to the inputs' fsspec file system.
        output_storage_options: Passed to the outputs' file system; by
            default ``storage_options``.
        **options: The reading options (:data:`rowmend._options.OPTIONS`).

    Returns:
        Each file's :class:`~rowmend.Report`, by the file's path (or URL,
        off the local file system), in the order of the inputs.

    Raises:
        TypeError, ValueError: An unknown option or an unusable value, an
            output that would be written over an input, or two outputs
            that would have the same name.
        FileNotFoundError: No file matches ``paths``.
        OSError: An input cannot be read or an output written; the message
            names the file. Files cleaned before the failure keep their
            outputs.

    Examples:
        >>> import fsspec, rowmend.dask
        >>> fs = fsspec.filesystem("memory")
        >>> fs.pipe("/in/a.csv", b"a,b\\n1,2\\n3,4,5\\n6,7\\n")
        >>> import dask
        >>> with dask.config.set(scheduler="sync"):
        ...     done = rowmend.dask.clean("memory://in/*.csv", "memory://out")
        >>> fs.cat("/out/a.csv")
        b'a,b\\n1,2\\n3,"4,5"\\n6,7\\n'
        >>> done["memory:///in/a.csv"].repaired_rows
        1
    """
    resolve_options(**options)
    check_character("output_delimiter", output_delimiter)
    format = clean_format("", format, output_delimiter)
    inputs = open_inputs(paths, storage_options)
    out_options = dict(output_storage_options if output_storage_options is not None else storage_options or {})
    out_fs, out_root = fsspec.core.url_to_fs(os.fspath(output_dir), **out_options)
    quarantine_root = out_root
    if quarantine_dir is not None:
        quarantine_fs, quarantine_root = fsspec.core.url_to_fs(os.fspath(quarantine_dir), **out_options)
        if type(quarantine_fs) is not type(out_fs):
            raise ValueError(
                f"quarantine_dir ({os.fspath(quarantine_dir)}) must be on the file system of "
                f"output_dir ({os.fspath(output_dir)})"
            )

    local = is_local(out_fs)

    def key_of(path: str) -> Optional[FileKey]:
        return file_key(path) if local else FileKey(resolved=out_fs.unstrip_protocol(path))

    jobs = []
    checked = []
    for item in inputs:
        clean_path = out_root.rstrip("/") + "/" + clean_name(item.name, format)
        quarantine_path = None
        if quarantine:
            quarantine_path = quarantine_root.rstrip("/") + "/" + quarantine_name(item.name)
            checked.append(Output(item.name, "quarantine", quarantine_path))
            checked.append(Output(item.name, "rows set aside", set_aside_path(quarantine_path)))
        checked.append(Output(item.name, "clean file", clean_path))
        jobs.append(_CleanJob(item, out_fs, clean_path, quarantine_path, output_delimiter, format, dict(options)))
    keys = [
        (item.name, file_key(item.file.path) if item.local else FileKey(resolved=item.name))
        for item in inputs
        if item.local == local
    ]
    refuse_clashes(keys, checked, key_of=key_of)
    out_fs.makedirs(out_root, exist_ok=True)
    if quarantine and quarantine_dir is not None:
        out_fs.makedirs(quarantine_root, exist_ok=True)

    token = uuid.uuid4().hex
    clean_one = _delayed(_clean_one, pure=False)
    done = _compute(*[clean_one(job, dask_key_name=f"rowmend-clean-{token}-{job.item.index}") for job in jobs])
    return {job.item.name: report for job, report in zip(jobs, done)}
