"""The progress a package call shows: its caller's callback, and with ``progress=True`` a bar.

A run only calls one listener (:data:`rowmend._run.Progress`); this module
makes that listener for a call of the package and owns the bar's lifetime,
so that a run that fails or is left stops the bar where it stood.
"""

from __future__ import annotations

import contextlib
from typing import Iterator, Optional

from rowmend._options import Options
from rowmend._run import Progress
from rowmend._sources import ByteSource

__all__ = ["run_progress"]


@contextlib.contextmanager
def run_progress(options: Options, source: ByteSource, callback: Optional[Progress] = None) -> Iterator[Optional[Progress]]:
    """The listener of one run over ``source``: ``callback``, and a bar when ``options.progress`` asks for one.

    The bar appears at the first report of progress and is stopped when the
    block ends, complete when the run finished and where it stood otherwise.
    """
    if not options.progress:
        yield callback
        return
    # Imported only for a bar: rich costs an import that most calls never need.
    from rowmend._display import RunProgress

    bar = RunProgress(source.name, source.size_hint)

    def told(done: int, rows: int) -> None:
        if callback is not None:
            callback(done, rows)
        bar.update(done, rows)

    try:
        yield told
    finally:
        bar.close()
