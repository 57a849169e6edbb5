"""Column names: from the header row, or made up, and always unique.

Names are unique regardless of case, because DuckDB and SQL in general match
column names case-insensitively: ``id`` and ``ID`` would be one column there.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Set

__all__ = ["LINE_COLUMN", "column_names", "line_column_name"]

#: The name of the column that ``line_numbers=True`` adds, unless taken.
LINE_COLUMN = "_line"


def _fallback(position: int) -> str:
    return f"column_{position}"


class _Namer:
    """Hands out names that differ from every name handed out and reserved."""

    def __init__(self, reserved: Set[str]) -> None:
        self._reserved = reserved  # case-folded names that must stay free
        self._used: Set[str] = set()
        self._next_suffix: Dict[str, int] = {}

    def take(self, name: str, *, reserved_ok: bool) -> str:
        key = name.casefold()
        if key not in self._used and (reserved_ok or key not in self._reserved):
            self._used.add(key)
            return name
        suffix = self._next_suffix.get(key, 2)
        while True:
            candidate = f"{name}_{suffix}"
            suffix += 1
            folded = candidate.casefold()
            if folded not in self._used and folded not in self._reserved:
                break
        self._next_suffix[key] = suffix
        self._used.add(folded)
        return candidate


def column_names(header_row: Optional[Sequence[str]], width: int) -> List[str]:
    """Name ``width`` columns after a header row.

    Without a header row the columns are ``column_1`` to ``column_n``. With
    one, each column takes its header field, except that an empty field
    gives ``column_i`` (``i`` the column's 1-based position), a position past
    the end of the header row too, and a name already taken (ignoring case)
    gets ``_2``, ``_3``... A name that the header row itself holds is never
    given to another column: ``a, a, a_2`` names the columns ``a, a_3, a_2``.

    Args:
        header_row: The fields of the header row, or None.
        width: The number of columns; header fields past it are ignored.

    Returns:
        ``width`` distinct names.

    Examples:
        >>> column_names(None, 3)
        ['column_1', 'column_2', 'column_3']
        >>> column_names(["id", "", "Name", "name", "id"], 5)
        ['id', 'column_2', 'Name', 'name_2', 'id_2']
    """
    given = list(header_row or ())[:width]
    given += [""] * (width - len(given))
    namer = _Namer({name.casefold() for name in given if name})
    return [
        namer.take(name, reserved_ok=True) if name else namer.take(_fallback(position), reserved_ok=False)
        for position, name in enumerate(given, 1)
    ]


def line_column_name(names: Sequence[str]) -> str:
    """The name for the line-number column beside columns named ``names``.

    ``_line``, or ``_line_2``, ``_line_3``... when a column already has that
    name (ignoring case).

    Examples:
        >>> line_column_name(["a", "b"])
        '_line'
        >>> line_column_name(["_line", "_LINE_2"])
        '_line_3'
    """
    return _Namer({name.casefold() for name in names}).take(LINE_COLUMN, reserved_ok=False)
