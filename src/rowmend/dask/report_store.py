"""Reports recorded where a partition was read, and collected by the client.

On a ``dask.distributed`` cluster a report travels as plain data through the
scheduler's metadata store; under the threaded or synchronous scheduler it
stays in this process.
"""

from __future__ import annotations

import sys
import threading
from typing import Any, Dict, List, Optional, Tuple

from rowmend._report import Report

__all__ = ["collect", "record"]

# The scheduler metadata key under which partition functions leave reports.
_REPORTS_KEY = "rowmend-reports"


_local_reports: Dict[Tuple[str, int], Report] = {}
_local_lock = threading.Lock()


def _worker_client() -> Any:
    """The distributed client of the worker running this task, or None outside a worker."""
    if "distributed" not in sys.modules:
        return None  # nothing imported distributed: no worker runs this process
    from distributed import get_client, get_worker

    try:
        get_worker()
    except ValueError:
        return None
    return get_client()


def record(token: str, index: int, report: Report) -> None:
    """Keep the report of file ``index`` of the read ``token``: in the scheduler on a cluster, else here."""
    client = _worker_client()
    if client is None:
        with _local_lock:
            _local_reports[(token, index)] = report
    else:
        client.set_metadata([_REPORTS_KEY, token, str(index)], report.to_dict(lines=True))


def collect(token: str, count: int) -> List[Optional[Report]]:
    """The reports of the ``count`` files of the read ``token`` recorded so far; None for those not read yet."""
    with _local_lock:
        found: List[Optional[Report]] = [_local_reports.get((token, index)) for index in range(count)]
    if None in found and "distributed" in sys.modules:
        from distributed import default_client

        try:
            client: Any = default_client()  # type: ignore[no-untyped-call]
        except ValueError:
            return found
        stored = client.get_metadata([_REPORTS_KEY, token], default=None) or {}
        for key, data in stored.items():
            if found[int(key)] is None:
                found[int(key)] = Report.from_dict(data)
    return found
