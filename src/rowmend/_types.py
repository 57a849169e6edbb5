"""Column types: the words of the ``dtypes`` option and what a decided type records.

A typed read decides each column's kind (see :mod:`rowmend._typed`); this
module holds only the values that decision produces and the checks of the
options that steer it, so that the options table and the layout can use
them without the conversion's imports.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple, Union

__all__ = [
    "COMPANION_SUFFIX",
    "DEFAULT_NULL_VALUES",
    "KINDS",
    "MISFIT_SHARE",
    "ColumnType",
    "MisfitRecord",
    "THOUSANDS",
    "check_decimal",
    "check_dtypes",
    "check_null_values",
    "check_thousands",
]

#: The kinds a column may be typed as, from narrowest to widest.
KINDS = ("string", "boolean", "integer", "decimal", "date", "time", "timestamp")

#: Spellings read as missing values in a typed column unless ``null_values`` says otherwise.
DEFAULT_NULL_VALUES = ("", "NA", "N/A", "n/a", "-", "--", "null", "NULL", "None", "#N/A", "nan")

#: The share of a column's values that may not fit its kind before it stays a string column.
MISFIT_SHARE = 0.01

#: A typed column with misfits gets a string column of their text, named ``NAME_raw``.
COMPANION_SUFFIX = "_raw"

#: The thousands separators ``thousands`` takes, as their words or the characters themselves.
THOUSANDS = {"none": "", "comma": ",", "point": ".", "space": " ", "apostrophe": "'", "nbsp": "\u00a0", "nnbsp": "\u202f"}

_DATE_ORDERS = {"date-dmy": ("date", True), "date-mdy": ("date", False), "timestamp-dmy": ("timestamp", True), "timestamp-mdy": ("timestamp", False)}


@dataclass(frozen=True)
class ColumnType:
    """The type a column was read as, and the format its text was written in.

    Attributes:
        kind: One of :data:`KINDS`.
        arrow: The Arrow type of the column (``"int64"``, ``"double"``,
            ``"decimal128(20, 2)"``, ``"date32[day]"``, ...); ``"string"``
            for a string column.
        decimal: A number's decimal mark, ``"."`` or ``","``; None for other kinds.
        thousands: A number's thousands separator (``""`` for none); None for other kinds.
        unit: A currency sign or ``"%"`` written on every number of the
            column and left out of its values; ``""`` for none.
        order: For dates written with the year last: ``"day-first"`` or
            ``"month-first"``; else None.
    """

    __module__ = "rowmend"

    kind: str
    arrow: str = "string"
    decimal: Optional[str] = None
    thousands: Optional[str] = None
    unit: str = ""
    order: Optional[str] = None

    def describe(self) -> str:
        """The type in a few words: ``decimal (decimal mark ',', thousands '.', unit '€')``."""
        parts = []
        if self.decimal is not None and self.kind in ("integer", "decimal"):
            if self.kind == "decimal":
                parts.append(f"decimal mark {self.decimal!r}")
            if self.thousands:
                parts.append(f"thousands {self.thousands!r}")
        if self.unit:
            parts.append(f"unit {self.unit!r}")
        if self.order is not None:
            parts.append(self.order)
        return self.kind + (f" ({', '.join(parts)})" if parts else "")

    def to_dict(self) -> Dict[str, Any]:
        """The type as plain data (``json.dumps`` takes it)."""
        return {
            "kind": self.kind,
            "arrow": self.arrow,
            "decimal": self.decimal,
            "thousands": self.thousands,
            "unit": self.unit,
            "order": self.order,
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> ColumnType:
        """The type from :meth:`to_dict`'s data; ValueError for a kind it does not know."""
        kind = data.get("kind")
        if kind not in KINDS:
            raise ValueError(f"a column type's kind must be one of {', '.join(KINDS)}, not {kind!r}")
        return cls(
            kind=str(kind),
            arrow=str(data.get("arrow", "string")),
            decimal=data.get("decimal"),
            thousands=data.get("thousands"),
            unit=str(data.get("unit") or ""),
            order=data.get("order"),
        )


@dataclass(frozen=True)
class MisfitRecord:
    """A cell that did not fit its column's type: null in the typed column, its text kept here.

    Attributes:
        line: The 1-based line of the input on which the cell's row begins.
        column: The column's name.
        text: The cell's text as it stood.
    """

    __module__ = "rowmend"

    line: int
    column: str
    text: str

    def to_dict(self) -> Dict[str, Any]:
        """The record as a dictionary with the keys ``line``, ``column`` and ``text``."""
        return {"line": self.line, "column": self.column, "text": self.text}


def _kind_word(name: str, value: object) -> Tuple[str, Optional[bool]]:
    """A per-column type as (kind, day_first); ValueError naming the column for any other word."""
    if isinstance(value, str):
        word = value.strip().lower()
        if word in KINDS:
            return word, None
        if word in _DATE_ORDERS:
            return _DATE_ORDERS[word]
    words = ", ".join(KINDS + tuple(_DATE_ORDERS))
    raise ValueError(f"dtypes[{name!r}] must be one of {words}, not {value!r}")


def check_dtypes(value: object) -> Union[None, str, Mapping[str, Tuple[str, Optional[bool]]]]:
    """The ``dtypes`` option: None (strings), ``"infer"``, or per-column kinds (the rest inferred).

    Per-column kinds come as a mapping of column names to kinds
    (``{"amount": "decimal"}``), or on the command line as
    ``"amount=decimal,when=date-dmy"``.

    Examples:
        >>> check_dtypes("amount=decimal, when=date-dmy")
        {'amount': ('decimal', None), 'when': ('date', True)}
        >>> check_dtypes("string") is None
        True
    """
    if value is None or value == "string":
        return None
    if value == "infer":
        return "infer"
    if isinstance(value, str) and "=" in value:
        pairs = [part.split("=", 1) for part in value.split(",") if part.strip()]
        value = {name.strip(): kind for name, kind in pairs}
    if isinstance(value, Mapping):
        overrides = {}
        for name, kind in value.items():
            if not isinstance(name, str):
                raise TypeError(f"dtypes' column names must be str, not {type(name).__name__}")
            overrides[name] = _kind_word(name, kind)
        return overrides
    if isinstance(value, str):
        raise ValueError(f"dtypes must be 'infer', 'string', None or a mapping of column names to kinds, not {value!r}")
    raise TypeError(f"dtypes must be 'infer', 'string', None or a mapping of column names to kinds, not {type(value).__name__}")


def check_null_values(value: object) -> Optional[Tuple[str, ...]]:
    """The ``null_values`` option: None for :data:`DEFAULT_NULL_VALUES`, or the spellings given.

    A str is a comma-separated list (the command line's form); an empty
    list means no text is missing, not even the empty cell.

    Examples:
        >>> check_null_values("NA,,-")
        ('NA', '', '-')
    """
    if value is None:
        return None
    spellings: Sequence[object]
    if isinstance(value, str):
        spellings = value.split(",")
    elif isinstance(value, (list, tuple, set, frozenset)):
        spellings = sorted(value) if isinstance(value, (set, frozenset)) else list(value)
    else:
        raise TypeError(f"null_values must be a list of str, a comma-separated str or None, not {type(value).__name__}")
    for spelling in spellings:
        if not isinstance(spelling, str):
            raise TypeError(f"null_values must hold str, not {type(spelling).__name__}")
    if len(spellings) > 32:
        raise ValueError(f"null_values takes at most 32 spellings, not {len(spellings)}")
    return tuple(str(spelling) for spelling in spellings)


def check_decimal(value: object) -> Optional[str]:
    """The ``decimal`` option: None to detect per column, or ``"."`` or ``","``."""
    if value is None or value == "auto":
        return None
    if value not in (".", ","):
        raise ValueError(f"decimal must be '.', ',' or 'auto', not {value!r}")
    return str(value)


def check_thousands(value: object) -> Optional[str]:
    """The ``thousands`` option: None to detect per column, or the separator (``""`` for none).

    Examples:
        >>> check_thousands("space"), check_thousands("none"), check_thousands("'")
        (' ', '', "'")
    """
    if value is None or value == "auto":
        return None
    if isinstance(value, str) and value in THOUSANDS:
        return THOUSANDS[value]
    if isinstance(value, str) and value in THOUSANDS.values():
        return value
    words = ", ".join(repr(word) for word in ("auto", *THOUSANDS))
    raise ValueError(f"thousands must be one of {words} or the separator itself, not {value!r}")
