"""Detection above the run: an input's layout from its start, and the check of a saved layout against it.

:func:`detect` reads the start of an input (until the salvage pass has
settled its layout and the header row, at most :data:`DETECT_LIMIT` bytes)
and returns a :class:`~rowmend.Layout`. Every run that applies a saved
layout starts through :func:`start_run`, which first detects the input's own
layout and compares (:func:`check_drift`).
"""

from __future__ import annotations

import codecs
import dataclasses
import warnings
from typing import Any, Optional

from rowmend._errors import LayoutDriftError, LayoutDriftWarning
from rowmend._layout import Layout
from rowmend._names import column_names
from rowmend._options import Options, resolve_options
from rowmend._run import Progress, Run
from rowmend._sources import ByteSource, Source, open_source

__all__ = ["DETECT_LIMIT", "check_drift", "detect", "settle_layout", "start_run"]

#: How many bytes of an input (decompressed) detection reads at most while
#: the layout is unsettled; it then decides on what it has read.
DETECT_LIMIT = 8 << 20


def start_run(source: ByteSource, options: Options, progress: Optional[Progress] = None, **native: Any) -> Run:
    """A :class:`~rowmend._run.Run` over ``source``, once the input was found to match the saved layout, if any.

    Raises:
        LayoutDriftError: The input's own layout differs from the one among
            ``options`` and ``on_drift`` is ``"error"``.
    """
    check_drift(source, options)
    return Run(source, options, progress, **native)


def settle_layout(source: ByteSource, options: Options) -> Optional[Layout]:
    """The layout of an opened input, from as much of its start as settles it.

    Feeds the salvage pass until its delimiter, column count and header row
    are known, or :data:`DETECT_LIMIT` bytes were read (it then decides on
    those). With a ``layout`` among ``options`` the input is first compared
    with it (:func:`check_drift`), and the values it fixes are kept.

    Returns:
        The layout, or None for an input with no row at all.
    """
    run = start_run(source, options)
    salvager = run.salvager
    fed = 0
    settled = False
    for chunk in run.chunks():
        salvager.feed(chunk)
        fed += len(chunk)
        settled = salvager.delimiter is not None and salvager.columns > 0
        if settled or fed >= DETECT_LIMIT:
            break
    if not settled:
        salvager.finish()  # decide on what was read
    if salvager.columns < 1:
        return None
    header_row = salvager.header if options.header else None
    return Layout(
        encoding=run.encoding,
        delimiter=salvager.delimiter or options.delimiter or ",",
        quote_char="none" if options.quote_char == "none" else salvager.quote_char or '"',
        escape_char=salvager.escape_char,
        # A header option that is not True or False left the pass to decide.
        header=options.header if isinstance(options.header, bool) else header_row is not None,
        columns=salvager.columns,
        names=tuple(column_names(header_row, salvager.columns)),
        preamble=salvager.preamble_rows,
    )


def _keeps_ascii(encoding: str) -> bool:
    ascii_bytes = bytes(range(128))
    return codecs.decode(ascii_bytes, encoding, "replace") == ascii_bytes.decode("ascii")


def check_drift(source: ByteSource, options: Options) -> None:
    """Compare an input's own layout with the layout among ``options``, before it is read.

    Detects the input's layout from its start (recorded and then replayed,
    so that nothing of the input is lost, even from a pipe), with the quote
    character and header of the layout, and compares (:meth:`Layout.differences`).

    Raises:
        LayoutDriftError: They differ and ``on_drift`` is ``"error"``;
            with ``"warn"``, a :class:`~rowmend.LayoutDriftWarning` instead.
    """
    layout = options.layout
    if layout is None or options.on_drift == "ignore":
        return
    own = dataclasses.replace(options, encoding="auto", delimiter=None, expected_columns=None, layout=None)
    source.record()
    try:
        found = settle_layout(source, own)
    finally:
        start = source.replay()
    if found is None:
        return  # no row: nothing to compare
    if start.isascii() and _keeps_ascii(layout.encoding):
        found = dataclasses.replace(found, encoding=layout.encoding)
    differences = tuple(layout.differences(found))
    if not differences:
        return
    if options.on_drift == "error":
        raise LayoutDriftError(source.name, differences)
    warnings.warn(f"{source.name}: " + "; ".join(differences), LayoutDriftWarning, stacklevel=2)


def detect(source: Source, **options: Any) -> Layout:
    """Detect the layout of a CSV input from its start, without reading the rest.

    Reads until the salvage pass has settled the delimiter, the column count
    and the header row (usually the first hundred rows; at most
    :data:`DETECT_LIMIT` bytes), exactly as a full read starts. Options
    given (a ``delimiter``, an ``encoding``, ``header=False``...) are taken
    as they are instead of detected. Save the result with
    :meth:`Layout.to_json` and pass it as ``layout=`` to read later inputs
    the same way.

    Args:
        source: A path or a binary file object, compressed or not. A file
            object is left just past the bytes read.
        **options: The reading options (:data:`rowmend._options.OPTIONS`).
            With ``layout=``, the input is compared with it first (see
            ``on_drift``).

    Returns:
        The input's :class:`Layout`.

    Raises:
        TypeError, ValueError: An unknown option or an unusable value, or an
            input with no row to detect a layout from (the message names it).
        LayoutDriftError: With ``layout=``, the input's own layout differs.
        OSError: The input cannot be opened or read.

    Examples:
        >>> import io, rowmend
        >>> layout = rowmend.detect(io.BytesIO(b"id;name\\n1;Ana\\n2;Bo\\n"))
        >>> layout.delimiter, layout.columns, layout.names
        (';', 2, ('id', 'name'))
        >>> rowmend.read_arrow(io.BytesIO(b"id;name\\n3;Cy\\n"), layout=layout).to_pydict()
        {'id': ['3'], 'name': ['Cy']}
        >>> rowmend.read_arrow(io.BytesIO(b"id,name,x\\n3,Cy,1\\n"), layout=layout)
        Traceback (most recent call last):
        ...
        rowmend.LayoutDriftError: <BytesIO>: delimiter ',' where the layout has ';'; 3 columns where it has 2
    """
    resolved = resolve_options(**options)
    with open_source(source) as opened:
        layout = settle_layout(opened, resolved)
        if layout is None:
            raise ValueError(f"{opened.name}: holds no row to detect a layout from")
        return layout
