"""What detection settles for an input, kept as a value: :class:`Layout`, saved as JSON and read back.

:func:`rowmend.detect` makes one (:mod:`rowmend._detect`). A layout is
applied to later runs with ``layout=``, which fixes the encoding, delimiter,
quote character, header and column count instead of detecting them; each
input's own layout is still detected first and compared, so that an input
whose layout changed stops the run (``on_drift="error"``) or warns.
"""

from __future__ import annotations

import dataclasses
import json
import os
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

from rowmend._checks import check_character, check_distinct
from rowmend._encoding import normalize_encoding
from rowmend._types import check_dtypes

__all__ = ["LAYOUT_VERSION", "Layout", "read_layout"]

#: The newest layout format this package reads and the one it writes.
LAYOUT_VERSION = 5

_REQUIRED = ("version", "encoding", "delimiter", "columns")


@dataclass(frozen=True)
class Layout:
    """The layout of a CSV input: how to decode and split it, and its columns.

    Made by :func:`rowmend.detect`, or read back with :meth:`from_json`; given as
    ``layout=`` to any reading function, it is applied instead of detecting.
    A layout's ``"utf-8"`` reads stray bytes that are not UTF-8 as cp1252,
    as a detected UTF-8 input does.

    Attributes:
        version: The layout format's version (:data:`LAYOUT_VERSION`); later
            versions add fields, each with a default.
        encoding: The text encoding, as Python names the codec (``"utf-8"``,
            ``"cp1252"``, ``"utf-16-le"``...).
        delimiter: The field delimiter, one ASCII character, or one and
            a blank (``", "``) when a blank followed every delimiter.
        quote_char: The quote character, one ASCII character, or ``"none"``
            when quotes are text.
        escape_char: The escape character (version 2), or None for none.
        preamble: The lines above the table that are set aside (version 3;
            blank and comment lines among them counted); None to detect
            them in each input.
        header: Whether the first row names the columns.
        columns: The number of columns, at least 1.
        names: The columns' names as the tables take them (from the header
            row, or ``column_1``...), one per column; None when not known,
            and then not compared.
        types: With ``dtypes`` (version 4): each column's kind as ``dtypes``
            spells it (``"integer"``, ``"decimal"``, ``"date-dmy"``,
            ``"string"``...), decided from the first 65,536 rows; None when
            not typed, and then not compared.
        trailing_delimiter: Whether a delimiter ended every line and the
            empty column it opened was dropped (version 5): ``columns``
            leaves it out, and applying the layout drops it from each input
            the same way, detecting it there, rather than merging the empty
            field into the last column.

    Examples:
        >>> layout = Layout(encoding="utf-8", delimiter=";", columns=2, names=("id", "name"))
        >>> Layout.from_json(layout.to_json()) == layout
        True
        >>> layout.options()["expected_columns"]
        2
    """

    encoding: str
    delimiter: str
    columns: int
    quote_char: str = '"'
    escape_char: Optional[str] = None
    header: bool = True
    names: Optional[Tuple[str, ...]] = None
    preamble: Optional[int] = None
    types: Optional[Tuple[str, ...]] = None
    trailing_delimiter: bool = False
    version: int = LAYOUT_VERSION

    def __post_init__(self) -> None:
        _require(isinstance(self.version, int) and not isinstance(self.version, bool), "version must be an int")
        if not 1 <= self.version <= LAYOUT_VERSION:
            raise ValueError(
                f"layout version {self.version} is not one this rowmend reads (1 to {LAYOUT_VERSION}); "
                "a newer rowmend wrote it: upgrade rowmend"
            )
        _require(isinstance(self.encoding, str), "encoding must be a str")
        try:
            object.__setattr__(self, "encoding", normalize_encoding(self.encoding))
        except LookupError:
            raise ValueError(f"encoding {self.encoding!r} is no text encoding Python knows") from None
        for name in ("delimiter", "quote_char"):
            value = getattr(self, name)
            _require(isinstance(value, str), f"{name} must be a str")
            if not (name == "quote_char" and value == "none"):  # quotes read as text
                check_character(name, value)
        _require(self.escape_char is None or isinstance(self.escape_char, str), "escape_char must be a str or None")
        check_character("escape_char", self.escape_char)
        check_distinct({"delimiter": self.delimiter[0], "quote_char": self.quote_char, "escape_char": self.escape_char})
        _require(isinstance(self.header, bool), "header must be True or False")
        _require(isinstance(self.trailing_delimiter, bool), "trailing_delimiter must be True or False")
        _require(isinstance(self.columns, int) and not isinstance(self.columns, bool), "columns must be an int")
        if self.columns < 1:
            raise ValueError(f"columns must be at least 1, not {self.columns}")
        _require(
            self.preamble is None or (isinstance(self.preamble, int) and not isinstance(self.preamble, bool)),
            "preamble must be an int or None",
        )
        if self.preamble is not None and self.preamble < 0:
            raise ValueError(f"preamble must be at least 0, not {self.preamble}")
        if self.names is not None:
            _require(
                not isinstance(self.names, str) and all(isinstance(name, str) for name in self.names),
                "names must be a list of str or None",
            )
            object.__setattr__(self, "names", tuple(self.names))
            if len(self.names) != self.columns:
                raise ValueError(f"names holds {len(self.names)} names for {self.columns} columns")
        if self.types is not None:
            _require(
                not isinstance(self.types, str) and all(isinstance(kind, str) for kind in self.types),
                "types must be a list of str or None",
            )
            object.__setattr__(self, "types", tuple(self.types))
            if len(self.types) != self.columns:
                raise ValueError(f"types holds {len(self.types)} kinds for {self.columns} columns")
            for position, kind in enumerate(self.types, 1):
                check_dtypes({f"column {position}": kind})

    def options(self) -> Dict[str, Any]:
        """The reading options the layout fixes, by name.

        A layout whose lines ended with a delimiter leaves the column count
        to each input's detection, which drops that empty column as it was
        dropped where the layout was made; the count is still compared
        (:meth:`differences`), so an input that keeps the column drifts.

        Examples:
            >>> sorted(Layout(encoding="latin-1", delimiter="|", columns=3).options().items())
            [('delimiter', '|'), ('encoding', 'iso8859-1'), ('escape_char', None), ('expected_columns', 3), \
('header', True), ('quote_char', '"')]
        """
        options: Dict[str, Any] = {
            "encoding": self.encoding,
            "delimiter": self.delimiter,
            "quote_char": self.quote_char,
            "escape_char": self.escape_char,
            "header": self.header,
        }
        if not self.trailing_delimiter:
            options["expected_columns"] = self.columns
        if self.preamble is not None:
            options["skip_preamble"] = self.preamble
        return options

    def to_dict(self) -> Dict[str, Any]:
        """The layout as plain data (``names`` a list), as :meth:`to_json` writes it."""
        data = dataclasses.asdict(self)
        data["names"] = None if self.names is None else list(self.names)
        data["types"] = None if self.types is None else list(self.types)
        return {"version": data.pop("version"), **data}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Layout:
        """The layout ``data`` describes, as :meth:`to_dict` makes it.

        Fields missing from it that have a default take it; ``version``,
        ``encoding``, ``delimiter`` and ``columns`` are required.

        Raises:
            ValueError: ``data`` is not a mapping, lacks a required field,
                has a field this version of rowmend does not know (a layout
                written by a newer one), or holds an unusable value; the
                message names the field.
        """
        if not isinstance(data, Mapping):
            raise ValueError(f"a layout is a JSON object, not {type(data).__name__}")
        version = data.get("version")
        if isinstance(version, int) and not isinstance(version, bool) and version > LAYOUT_VERSION:
            raise ValueError(
                f"layout version {version} is newer than this rowmend reads ({LAYOUT_VERSION}): upgrade rowmend"
            )
        known = {field.name for field in dataclasses.fields(cls)}
        unknown = sorted(set(data) - known)
        if unknown:
            raise ValueError(
                f"unknown layout field(s) {', '.join(map(repr, unknown))}; "
                f"version {LAYOUT_VERSION} layouts have {', '.join(sorted(known))}"
            )
        missing = [name for name in _REQUIRED if name not in data]
        if missing:
            raise ValueError(f"the layout lacks the field(s) {', '.join(map(repr, missing))}")
        try:
            return cls(**data)
        except TypeError as error:
            raise ValueError(f"unusable layout: {error}") from None

    def to_json(self) -> str:
        """The layout as a JSON object, one field a line.

        Examples:
            >>> print(Layout(encoding="utf-8", delimiter=",", columns=1, names=["id"]).to_json())
            {
              "version": 5,
              "encoding": "utf-8",
              "delimiter": ",",
              "columns": 1,
              "quote_char": "\\"",
              "escape_char": null,
              "header": true,
              "names": [
                "id"
              ],
              "preamble": null,
              "types": null,
              "trailing_delimiter": false
            }
        """
        return json.dumps(self.to_dict(), ensure_ascii=False, indent=2)

    @classmethod
    def from_json(cls, text: Union[str, bytes]) -> Layout:
        """The layout a JSON text holds, as :meth:`to_json` writes it.

        Raises:
            ValueError: The text is not JSON, or does not describe a layout
                (see :meth:`from_dict`).
        """
        try:
            data = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"not JSON: {error}") from None
        return cls.from_dict(data)

    def differences(self, found: Layout) -> List[str]:
        """How an input's own layout ``found`` differs from this one, a phrase per difference.

        Only what detection settles is compared: encoding, delimiter,
        column count and names, and a delimiter ending every line of the
        input where the layout has none. An input whose start is plain ASCII reads
        the same in any encoding that keeps ASCII, and the delimiter of a
        single column is never seen, so neither is a difference.

        Examples:
            >>> saved = Layout(encoding="utf-8", delimiter=",", columns=2, names=("id", "name"))
            >>> saved.differences(Layout(encoding="utf-8", delimiter=";", columns=3))
            ["delimiter ';' where the layout has ','", '3 columns where it has 2']
        """
        differences = []
        if found.encoding != self.encoding:
            differences.append(f"encoding {found.encoding} where the layout has {self.encoding}")
        if found.delimiter != self.delimiter and not found.columns == self.columns == 1:
            differences.append(f"delimiter {found.delimiter!r} where the layout has {self.delimiter!r}")
        if found.preamble is not None and self.preamble is not None and found.preamble != self.preamble:
            differences.append(f"a preamble of {found.preamble} lines where the layout has {self.preamble}")
        # Read with the layout's column count, such an input would have its
        # empty last field merged into every row. A layout older than the
        # field never said.
        if found.trailing_delimiter and not self.trailing_delimiter and self.version >= 5:
            differences.append("a delimiter ends every line where the layout has none")
        if found.columns != self.columns:
            differences.append(f"{found.columns} columns where it has {self.columns}")
        elif found.names is not None and self.names is not None and found.names != self.names:
            renamed = [
                f"column {position} is {new!r} where the layout has {old!r}"
                for position, (new, old) in enumerate(zip(found.names, self.names), 1)
                if new != old
            ]
            more = len(renamed) - 3
            differences.extend(renamed[:3] + ([f"{more} more columns renamed"] if more > 0 else []))
        if found.types is not None and self.types is not None and found.columns == self.columns:
            names = self.names or tuple(f"column {position}" for position in range(1, self.columns + 1))
            changed = [
                f"column {name!r} reads as {new} where the layout has {old}"
                for name, new, old in zip(names, found.types, self.types)
                if new != old
            ]
            more = len(changed) - 3
            differences.extend(changed[:3] + ([f"{more} more columns of another type"] if more > 0 else []))
        return differences


def _require(condition: bool, message: str) -> None:
    if not condition:
        raise TypeError(message)


def read_layout(path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> Layout:
    """The layout saved as JSON in the file ``path``.

    Raises:
        OSError: The file cannot be read (its ``filename`` is set).
        ValueError: The file holds no layout; the message names the file.
    """
    name = os.fsdecode(path)
    with open(path, "rb") as file:
        text = file.read()
    try:
        return Layout.from_json(text)
    except ValueError as error:
        raise ValueError(f"{name}: not a rowmend layout: {error}") from None
