"""Many files as one Dask DataFrame, and many files cleaned on a cluster's workers.

:func:`read_csv` reads a list, a glob or fsspec URLs of CSV files (local
paths, ``s3://``, ``gs://``, ``memory://`` and every other file system fsspec
knows; gzip, bz2, xz and zstd input is recognised by its first bytes) into a
:class:`dask.dataframe.DataFrame` of one partition per file (or, with
``blocksize``, per byte range of a big file), each partition read by rowmend
on a worker. :func:`reports` gives back each partition's
:class:`~rowmend.Report` and :func:`report` one merged for the whole read.
:func:`clean` writes a clean file and a quarantine file per input through
fsspec, on the workers.

Dask and fsspec are optional: ``pip install 'rowmend[dask]'``.

How the reports come back from the workers: the function that reads a
partition records the file's report as it finishes. On a
``dask.distributed`` cluster it stores the report (as plain data) in the
scheduler's metadata store, under the key of its collection and file, so
that any client of the cluster can fetch it whichever worker read the file
and whether or not that worker is still alive; under Dask's threaded or
synchronous scheduler the task runs in the client's own process and the
report stays there. :func:`reports` collects them, and reads (on the
cluster, keeping only the row counts) the files whose partitions were never
computed. Reports are small: the counters and at most ``max_records``
quarantined rows per file, so ``max_records`` bounds what the scheduler
holds.

The modules by concern: :mod:`~rowmend.dask.files` (the inputs through
fsspec), :mod:`~rowmend.dask.report_store` (reports recorded on the workers
and collected), :mod:`~rowmend.dask.read` (:func:`read_csv`,
:func:`reports`) and :mod:`~rowmend.dask.cleaning` (:func:`clean`).
"""

from __future__ import annotations

try:
    import dask.dataframe  # noqa: F401
    import fsspec  # noqa: F401
except ImportError as exc:  # pragma: no cover - exercised in a child process
    raise ImportError(
        f"rowmend.dask needs Dask and fsspec ({exc}); install them with: pip install 'rowmend[dask]'"
    ) from exc

from rowmend.dask.cleaning import clean
from rowmend.dask.read import read_csv, report, reports

__all__ = ["clean", "read_csv", "report", "reports"]
