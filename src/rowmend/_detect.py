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
from typing import Any, Iterator, List, Optional, Tuple, Union

from rowmend._errors import LayoutDriftError, LayoutDriftWarning, RowmendWarning
from rowmend._layout import Layout
from rowmend._names import column_names, line_column_name
from rowmend._options import Options, resolve_options
from rowmend._run import Progress, Run
from rowmend._sources import ByteSource, Source, open_source

__all__ = ["DETECT_LIMIT", "check_drift", "detect", "settle_layout", "start_run"]

#: How many bytes of an input (decompressed) detection reads at most while
#: the layout is unsettled; it then decides on what it has read.
DETECT_LIMIT = 8 << 20

# The notes of a pass that found more than one table in what it read.
_SEVERAL_TABLES = ("stacked-tables", "later-table")


def start_run(source: ByteSource, options: Options, progress: Optional[Progress] = None, **native: Any) -> Run:
    """A :class:`~rowmend._run.Run` over ``source``, once the input was found to match the saved layout, if any.

    Raises:
        LayoutDriftError: The input's own layout differs from the one among
            ``options`` and ``on_drift`` is ``"error"``.
    """
    check_drift(source, options)
    return Run(source, options, progress, **native)


def feed_until_settled(run: Run, chunks: Iterator[Union[bytes, memoryview]]) -> bool:
    """Feed ``run`` from ``chunks`` until its layout is settled, or :data:`DETECT_LIMIT` bytes were read.

    Returns whether the layout settled; when it did not, the run is finished,
    so that the pass decides on what was read.
    """
    salvager = run.salvager
    fed = 0
    for chunk in chunks:
        salvager.feed(chunk)
        fed += len(chunk)
        if salvager.delimiter is not None and salvager.columns > 0:
            return True
        if fed >= DETECT_LIMIT:
            break
    salvager.finish()
    return False


def settle_layout(source: ByteSource, options: Options, warn_tables: bool = False) -> Optional[Layout]:
    """The layout of an opened input, from as much of its start as settles it.

    Feeds the salvage pass until its delimiter, column count and header row
    are known, or :data:`DETECT_LIMIT` bytes were read (it then decides on
    those). With a ``layout`` among ``options`` the input is first compared
    with it (:func:`check_drift`), and the values it fixes are kept. With
    ``warn_tables``, an input seen to hold several tables (stacked, or a later
    one under its own names) says so in a :class:`~rowmend.RowmendWarning`:
    the layout is the first table's, and reading sets the later ones aside.

    Returns:
        The layout, or None for an input with no row at all.
    """
    typed = options.dtypes is not None
    run = start_run(source, dataclasses.replace(options, line_numbers=True) if typed else options)
    salvager = run.salvager
    chunks = run.chunks()
    settled = feed_until_settled(run, chunks)
    if salvager.columns < 1:
        return None
    if warn_tables and any(code in _SEVERAL_TABLES for code, _ in salvager.notes):
        warnings.warn(
            f"{source.name}: holds several tables; the layout is the first's ({salvager.columns} columns), "
            "and reading it sets the later ones aside",
            RowmendWarning,
            stacklevel=3,
        )
    types = _prefix_types(run, chunks, settled, options) if typed else None
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
        types=types,
        trailing_delimiter=any(code == "trailing-column-dropped" for code, _ in salvager.notes),
    )


def _prefix_types(run: Run, chunks: Iterator[Union[bytes, memoryview]], going: bool, options: Options) -> Tuple[str, ...]:
    """The kinds of the columns over the input's first rows, as a typed read decides them."""
    import pyarrow as pa

    # Imported here: typing needs pyarrow, which detection alone does not.
    from rowmend._typed import PREFIX_ROWS, TableTyping

    salvager = run.salvager
    names = column_names(salvager.header if options.header else None, salvager.columns)
    line_column = line_column_name(names)  # the run was asked for lines, which place misfits

    def take() -> List[Any]:
        return [pa.record_batch(native) for native in salvager.take_batches([*names, line_column])]

    batches: List[Any] = []
    rows = 0
    if going:
        for chunk in chunks:
            salvager.feed(chunk)
            if salvager.ready:
                taken = take()
                batches.extend(taken)
                rows += sum(batch.num_rows for batch in taken)
                if rows >= PREFIX_ROWS:
                    break
        else:
            salvager.finish()
    batches.extend(take())
    if not batches:
        return tuple("string" for _ in range(salvager.columns))
    typing = TableTyping(names, options, run.source.name)
    for batch in batches:
        typing.add(batch)
    typing.decide()
    return tuple(typing.layout_kinds())


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
    own = dataclasses.replace(
        options,
        encoding="auto",
        delimiter=None,
        expected_columns=None,
        layout=None,
        dtypes="infer" if layout.types is not None else None,
    )
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
        The input's :class:`Layout`: of the first table, when the input holds
        several (a :class:`~rowmend.RowmendWarning` says so when they start
        within what was read).

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
        layout = settle_layout(opened, resolved, warn_tables=True)
        if layout is None:
            raise ValueError(f"{opened.name}: holds no row to detect a layout from")
        return layout
