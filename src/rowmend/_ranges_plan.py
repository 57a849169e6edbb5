"""The partitions of a read of many files, some of them cut into byte ranges: what Dask and Spark map over."""

from __future__ import annotations

from dataclasses import dataclass
from functools import partial
from typing import Any, List, Mapping, Optional, Sequence

from rowmend._inputs import File, head, opened, size
from rowmend._options import resolve_options
from rowmend._range_read import range_layout
from rowmend._ranges import NativeScanner, RangeLayout, RangeRead, RunScans, range_reads

__all__ = ["FilePart", "file_parts"]


@dataclass(frozen=True)
class FilePart:
    """One partition: a whole file (``read`` None), or one byte range of it read with the file's ``layout``."""

    index: int
    file: File
    read: Optional[RangeRead] = None
    layout: Optional[RangeLayout] = None


def file_parts(files: Sequence[File], blocksize: Optional[int], options: Mapping[str, Any], run_scans: RunScans) -> List[FilePart]:
    """Each file as one partition, or, with ``blocksize``, cut into ranges where it can be (see :func:`rowmend._ranges.range_reads`).

    ``options`` are the partitions' reading options, the layout fixed; a
    file's ranges are read with the layout its own start settles under
    them. ``run_scans`` runs the scans (as a cluster's tasks).
    """
    parts: List[FilePart] = []
    for item in files:
        reads: List[RangeRead] = []
        layout: Optional[RangeLayout] = None
        if blocksize is not None:
            total = size(item)
            made: List[Optional[NativeScanner]] = []

            def scanner(item: File = item, total: int = total) -> Optional[NativeScanner]:
                with opened(item) as source:
                    found = range_layout(source, resolve_options(**{k: v for k, v in options.items() if k != "layout"}))
                made.append(None if found is None else NativeScanner(item.file, found, total))
                return made[-1]

            reads = range_reads(item.name, total, partial(head, item), blocksize, scanner, run_scans)
            layout = made[-1].layout if made and made[-1] is not None else None
        if len(reads) <= 1 or layout is None:
            parts.append(FilePart(len(parts), item))
        else:
            base = len(parts)
            parts.extend(FilePart(base + k, item, read, layout) for k, read in enumerate(reads))
    return parts
