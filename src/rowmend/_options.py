"""The reading options: one table, and their validation.

:data:`OPTIONS` is the single list of the options every reading function
takes: their names, types, defaults and help. The functions validate through
:func:`resolve_options`, and the command line derives its flags from the same
table (:attr:`OptionSpec.flag`), so a name means the same everywhere.
"""

from __future__ import annotations

import difflib
import operator
import os
import sys
import warnings
from dataclasses import dataclass, fields
from typing import Dict, Mapping, Optional, SupportsIndex, Tuple, Union, cast

from rowmend._encoding import check_replaces, normalize_encoding
from rowmend._checks import OptionError, check_character, check_distinct
from rowmend._errors import RowmendWarning
from rowmend._layout import Layout, read_layout
from rowmend._types import check_decimal, check_dtypes, check_null_values, check_thousands

__all__ = ["DEFAULT_MAX_RECORDS", "OPTIONS", "OptionSpec", "Options", "resolve_options"]

#: How many quarantined rows a report keeps unless told otherwise.
DEFAULT_MAX_RECORDS = 10_000


@dataclass(frozen=True)
class OptionSpec:
    """One reading option: what it is called, accepts and means.

    Attributes:
        name: The keyword argument's name.
        type: The Python type of a value: ``bool``, ``int`` or ``str``.
        default: The value when the option is not given.
        help: One line saying what the option does.
        kind: How the command line spells it: ``"flag"`` (``--x/--no-x``),
            ``"choice"`` (``--x word``, one of :attr:`choices`) or
            ``"value"`` (``--x VALUE``).
        nullable: Whether None is a value (meaning: detect, infer, or none).
        choices: For a choice: the words of the command line and the Python
            values they stand for.
        minimum: For an integer: the smallest value accepted.
        metavar: For a value: how the command line's help names it (by
            default, from the option's name).
        words: For a value: words it takes besides its type's values
            (``"auto"`` to detect, ``"none"`` to turn off).
        none_flag: For a nullable value whose None turns something off: the
            command line spells None as ``--no-NAME``.
        cli_default: How the command line's help tells the default, when
            the command line's own differs from the package's.
        native: Whether the native pass takes the option under its own
            name (the package's tests hold these against ``rowmend._native.OPTIONS``);
            the rest the package applies itself.
    """

    name: str
    type: type
    default: object
    help: str
    kind: str
    nullable: bool = False
    choices: Tuple[Tuple[str, object], ...] = ()
    minimum: Optional[int] = None
    metavar: Optional[str] = None
    words: Tuple[str, ...] = ()
    none_flag: bool = False
    cli_default: Optional[str] = None
    native: bool = True

    @property
    def flag(self) -> str:
        """The command line's spelling of the option: ``--fill-ragged-rows``."""
        return "--" + self.name.replace("_", "-")


OPTIONS: Tuple[OptionSpec, ...] = (
    OptionSpec(
        "delimiter",
        str,
        None,
        "field delimiter, one ASCII character, or one and a blank as in ', ' ('auto': detected)",
        "value",
        nullable=True,
        words=("auto",),
        cli_default="auto",
    ),
    OptionSpec(
        "quote_char",
        str,
        "auto",
        "quote character, one ASCII character ('auto': the double quote or the apostrophe, as the data uses; "
        "'none': quotes are text)",
        "value",
        nullable=True,
        words=("auto", "none"),
    ),
    OptionSpec("fill_ragged_rows", bool, True, "pad rows with too few fields (else quarantine them)", "flag"),
    OptionSpec("merge_overflow", bool, True, "merge surplus fields into the last column (else quarantine)", "flag"),
    OptionSpec(
        "expected_columns",
        int,
        None,
        "number of columns (inferred when not given; 0 leaves rows as parsed)",
        "value",
        nullable=True,
        minimum=0,
    ),
    OptionSpec("repair_quotes", bool, True, "tell stray quotes inside quoted fields from closing ones", "flag"),
    OptionSpec(
        "repairs",
        str,
        "auto",
        "'auto': the package's own repairs too (a quote that opens a field running on for 64 lines or 1 MiB "
        "through lines that read as rows is read as text; a names line with a delimiter too many or too few, or "
        "a stray quote, is repaired to the table's width; a long or short row joined or filled where its "
        "columns' kinds place the repair); 'backend': repair exactly as _rowmend_backend does",
        "choice",
        choices=(("auto", "auto"), ("backend", "backend")),
    ),
    OptionSpec(
        "escape_char",
        str,
        "auto",
        "escape character, one ASCII character ('auto': the backslash when the data uses it; 'none': no escape)",
        "value",
        nullable=True,
        words=("auto", "none"),
    ),
    OptionSpec("encoding", str, "auto", "text encoding: 'auto' or any codec name Python knows", "value"),
    OptionSpec(
        "header",
        bool,
        "auto",
        "whether the first row names the columns ('auto': when it reads as names over the rows below, "
        "rows of group labels above it joined in: 'Sales' over 'Q1' names 'Sales Q1')",
        "choice",
        choices=(("auto", "auto"), ("yes", True), ("no", False)),
    ),
    OptionSpec("skip_blank_rows", bool, True, "set blank lines aside as skipped rather than data rows", "flag"),
    OptionSpec(
        "comment",
        str,
        "auto",
        "comment lines to set aside: 'auto' ('#' lines outside the table's shape), a prefix, or 'none'",
        "value",
        nullable=True,
        words=("auto", "none"),
        none_flag=True,
    ),
    OptionSpec(
        "skip_preamble",
        int,
        "auto",
        "leading lines to set aside: 'auto' (those narrower than the table) or a count (0: none)",
        "value",
        minimum=0,
        metavar="N",
        words=("auto",),
    ),
    OptionSpec(
        "skip_footer",
        int,
        "section",
        "set aside what trails the table: 'section', the rows after a blank line none of which has the "
        "table's width, a second table under its own names after a blank line, up to 8 narrow rows of "
        "words where the table holds values ('End of report'), and a last row labelled total whose numbers "
        "are the column sums; 'auto', also any trailing run of up to 8 narrower rows, except one last row "
        "that reads as data cut short; a count N, the last N rows (blank and comment lines among them); "
        "'none' (or 0), nothing",
        "value",
        minimum=0,
        metavar="MODE|N",
        words=("section", "auto", "none"),
    ),
    OptionSpec("line_numbers", bool, False, "add a _line column with each row's line in the input", "flag"),
    OptionSpec(
        "record_repairs", bool, False, "keep the first max_records repaired and skipped rows of each kind in the report, as read and as kept", "flag"
    ),
    OptionSpec(
        "threads",
        int,
        None,
        "threads one call may use (default: one per CPU); with two, a clean file is written by a thread of its own, "
        "and rows are read on them all unless an option judges rows by their neighbours (the output is the same)",
        "value",
        nullable=True,
        minimum=1,
    ),
    OptionSpec(
        "dtypes",
        str,
        None,
        "column types: 'string' (all text, as read), 'infer' (integers, decimals, booleans, dates, times and "
        "timestamps decided from every row; a cell that does not fit is null, its text kept in NAME_raw), "
        "or per-column kinds with the rest inferred: 'amount=decimal,when=date-dmy'",
        "value",
        nullable=True,
        metavar="infer|string|NAME=KIND,...",
        cli_default="string",
        native=False,
    ),
    OptionSpec(
        "null_values",
        str,
        None,
        "with dtypes: the spellings of a missing value in a typed column, comma-separated "
        "(default: empty, NA, N/A, n/a, -, --, null, NULL, None, #N/A, nan)",
        "value",
        nullable=True,
        metavar="A,B,...",
        native=False,
    ),
    OptionSpec(
        "decimal",
        str,
        None,
        "with dtypes: the decimal mark, '.' or ',' ('auto': decided per column from its numbers)",
        "value",
        nullable=True,
        words=("auto",),
        cli_default="auto",
        native=False,
    ),
    OptionSpec(
        "thousands",
        str,
        None,
        "with dtypes: the thousands separator: none, comma, point, space, apostrophe, nbsp, nnbsp or the "
        "character ('auto': decided per column)",
        "value",
        nullable=True,
        words=("auto",),
        cli_default="auto",
        native=False,
    ),
    OptionSpec(
        "nulls_in_text",
        bool,
        False,
        "with dtypes: a missing value's spelling (null_values) in a column that stays text is null too "
        "(else it is kept as the text it is)",
        "flag",
        native=False,
    ),
    OptionSpec(
        "max_records",
        int,
        DEFAULT_MAX_RECORDS,
        "quarantined rows, and repaired rows of each kind, the report keeps (its counters stay exact)",
        "value",
        minimum=0,
    ),
    OptionSpec(
        "progress",
        bool,
        False,
        "show a progress bar (bytes and rows per second) on a terminal or in a notebook",
        "flag",
        cli_default="on a terminal, for inputs of 16 MiB or more",
        native=False,
    ),
    OptionSpec(
        "layout",
        str,
        None,
        "a saved layout (rowmend.Layout or its JSON file) to apply instead of detecting",
        "value",
        nullable=True,
        metavar="FILE",
        native=False,
    ),
    OptionSpec(
        "on_drift",
        str,
        "error",
        "with a layout: what an input whose own layout differs from it does",
        "choice",
        choices=(("error", "error"), ("warn", "warn"), ("ignore", "ignore")),
        native=False,
    ),
    OptionSpec(
        "binary",
        bool,
        False,
        "read input that is not text (an executable, an image, an archive, over 5 percent control characters) "
        "as CSV instead of refusing it",
        "flag",
        native=False,
    ),
)

_SPECS: Dict[str, OptionSpec] = {spec.name: spec for spec in OPTIONS}


@dataclass(frozen=True)
class Options:
    """Validated reading options, one field per entry of :data:`OPTIONS`.

    Made by :func:`resolve_options`. ``encoding`` holds ``"auto"`` or the
    canonical codec name; ``delimiter`` one ASCII character, one and a
    blank (``", "``: the blank after each delimiter is no part of a field),
    or None to detect; ``quote_char`` one ASCII character, ``"auto"`` or
    ``"none"`` (quotes are text); ``escape_char`` one ASCII character,
    ``"auto"``, or None for no escape; ``comment`` ``"auto"``, a prefix or
    None; ``skip_footer`` ``"section"``, ``"auto"``, or a count of trailing
    rows (0: none).
    With a ``layout``, the options it fixes hold its values.
    """

    delimiter: Optional[str]
    quote_char: str
    fill_ragged_rows: bool
    merge_overflow: bool
    expected_columns: Optional[int]
    repair_quotes: bool
    repairs: str
    escape_char: Optional[str]
    encoding: str
    header: Union[bool, str]
    skip_blank_rows: bool
    comment: Optional[str]
    skip_preamble: Union[int, str]
    skip_footer: Union[int, str]
    line_numbers: bool
    record_repairs: bool
    threads: Optional[int]
    dtypes: Union[None, str, Mapping[str, Tuple[str, Optional[bool]]]]
    null_values: Optional[Tuple[str, ...]]
    decimal: Optional[str]
    thousands: Optional[str]
    nulls_in_text: bool
    max_records: int
    progress: bool
    layout: Optional[Layout]
    on_drift: str
    binary: bool

    def engine_kwargs(self) -> Dict[str, Union[int, bool, None]]:
        """The salvage options as the engine takes them.

        The delimiter, quote and escape characters become their byte
        values; None means "detect", a quote or escape of 0 "none";
        ``trim_blank`` says the delimiter was given with a blank after it.

        Examples:
            >>> resolve_options(delimiter="; ", escape_char=None).engine_kwargs()
            {'delimiter': 59, 'trim_blank': True, 'quote_char': None, 'escape_char': 0, \
'fill_ragged_rows': True, 'merge_overflow': True, 'expected_columns': None, 'repair_quotes': True}
        """
        escape = self.escape_char
        return {
            "delimiter": None if self.delimiter is None else ord(self.delimiter[0]),
            "trim_blank": self.delimiter is not None and len(self.delimiter) == 2,
            "quote_char": None if self.quote_char == "auto" else 0 if self.quote_char == "none" else ord(self.quote_char),
            "escape_char": None if escape == "auto" else 0 if escape is None else ord(escape),
            "fill_ragged_rows": self.fill_ragged_rows,
            "merge_overflow": self.merge_overflow,
            "expected_columns": self.expected_columns,
            "repair_quotes": self.repair_quotes,
        }


assert [f.name for f in fields(Options)] == list(_SPECS), "Options and OPTIONS list the same names in order"

_TYPE_WORDS = {bool: "True or False", int: "an int", str: "a str"}


def _is_numpy_bool(value: object) -> bool:
    kind = type(value)
    return kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool")


def _check_type(spec: OptionSpec, value: object) -> object:
    """The value converted to the option's type, or TypeError naming the option."""
    if value is None and spec.nullable:
        return None
    # A choice may stand for a word of another type: header="auto".
    if isinstance(value, str) and any(isinstance(c, str) and value == c for _, c in spec.choices):
        return value
    if isinstance(value, str) and value in spec.words:
        return value
    if spec.type is bool:
        if isinstance(value, bool):
            return value
        if _is_numpy_bool(value):
            return bool(value)
    elif spec.type is int:
        # bool is an int to Python, but True columns is always a mistake.
        if not isinstance(value, bool) and hasattr(type(value), "__index__"):
            return operator.index(cast(SupportsIndex, value))
    elif isinstance(value, spec.type):
        return spec.type(value)
    alternatives = [_TYPE_WORDS[spec.type], *map(repr, spec.words), *(["None"] if spec.nullable else [])]
    expected = " or ".join([", ".join(alternatives[:-1]), alternatives[-1]] if len(alternatives) > 1 else alternatives)
    actual = "None" if value is None else type(value).__name__
    raise TypeError(f"{spec.name} must be {expected}, not {actual}")


def _check_value(spec: OptionSpec, value: object) -> None:
    if spec.choices and value not in [choice for _, choice in spec.choices]:
        allowed = " or ".join(repr(choice) for _, choice in spec.choices)
        raise ValueError(f"{spec.name} must be {allowed}, not {value!r}")
    if spec.minimum is not None and isinstance(value, int) and value < spec.minimum:
        raise OptionError(spec.name, f"{{option}} must be at least {spec.minimum}, not {{value}}", value)


def _caller_level() -> int:
    """The stack level of the first caller outside this package, for warnings."""
    package = os.path.dirname(__file__)
    frame = sys._getframe(1)
    level = 1
    while frame.f_back is not None and os.path.dirname(frame.f_code.co_filename) == package:
        frame = frame.f_back
        level += 1
    return level


def _words_to_values(values: Dict[str, object]) -> None:
    """The words ``"auto"`` and ``"none"`` as the values the run takes; None for a quote warns."""
    if values["quote_char"] is None:
        warnings.warn(
            "quote_char=None detects the quote, as 'auto' does, and will be refused in a later release: "
            "write quote_char='auto' to detect it or quote_char='none' to read quotes as text",
            RowmendWarning,
            stacklevel=_caller_level(),
        )
        values["quote_char"] = "auto"
    if values["delimiter"] == "auto":
        values["delimiter"] = None
    for name in ("escape_char", "comment"):
        if values[name] == "none":
            values[name] = None
    if values["skip_footer"] == "none":
        values["skip_footer"] = 0


def _check_encoding(value: str) -> str:
    if value.lower() == "auto":
        return "auto"
    try:
        name = normalize_encoding(value)
    except LookupError as exc:
        raise ValueError(f"encoding must be 'auto' or a text encoding Python knows, not {value!r}") from exc
    check_replaces(name)
    return name


def _load_layout(value: object) -> Optional[Layout]:
    """The ``layout`` option as a :class:`~rowmend.Layout`: given as one, or read from its JSON file."""
    if value is None or isinstance(value, Layout):
        return value
    if isinstance(value, (str, bytes, os.PathLike)):
        return read_layout(value)
    raise TypeError(f"layout must be a rowmend.Layout, a path to its JSON file or None, not {type(value).__name__}")


def _apply_layout(values: Dict[str, object], layout: Layout, given: Mapping[str, object]) -> None:
    """Set the options a layout fixes; ValueError for one given explicitly with another value."""
    for name, value in layout.options().items():
        if name in given and values[name] != value:
            raise ValueError(
                f"{name}={given[name]!r} contradicts the layout, which has {value!r}: "
                f"leave {name} out to take the layout's, or detect anew without layout"
            )
        values[name] = value


# The options of typed columns take more than one type of value (a mapping,
# a list); their own checks convert them.
_TYPE_OPTIONS = {
    "dtypes": check_dtypes,
    "null_values": check_null_values,
    "decimal": check_decimal,
    "thousands": check_thousands,
}


def _unknown_option(name: str) -> TypeError:
    close = difflib.get_close_matches(name, list(_SPECS), n=1)
    hint = f"; did you mean {close[0]!r}?" if close else ""
    return TypeError(f"unexpected option {name!r}{hint}")


def resolve_options(**options: object) -> Options:
    """Check reading options and fill in the defaults.

    Args:
        **options: Any of the options in :data:`OPTIONS`, by name.

    Returns:
        The validated :class:`Options`.

    Raises:
        TypeError: An unknown option, or a value of the wrong type; the
            message names the option.
        ValueError: A value of the right type that cannot be used (an
            :class:`OptionError` for the values of one option): a
            delimiter or quote character that is not one ASCII character, is
            a line break, or equals the other; an encoding Python does not
            know; a negative column count; fewer than one thread; a layout
            file that holds no layout, or an option that contradicts the
            layout given.
        OSError: The layout's JSON file cannot be read.

    Examples:
        >>> options = resolve_options(delimiter=";", encoding="latin-1")
        >>> options.delimiter, options.encoding, options.header
        (';', 'iso8859-1', 'auto')
        >>> try:
        ...     resolve_options(delimiter="§")
        ... except ValueError as error:
        ...     print(error)
        delimiter must be an ASCII character, not '§' (U+00A7)
    """
    for name in options:
        if name not in _SPECS:
            raise _unknown_option(name)
    if options.get("skip_footer") is False:
        options["skip_footer"] = 0  # False has always meant: set nothing aside
    values: Dict[str, object] = {}
    for spec in OPTIONS:
        if spec.name == "layout":
            values["layout"] = _load_layout(options.get("layout"))
            continue
        if spec.name in _TYPE_OPTIONS:
            values[spec.name] = _TYPE_OPTIONS[spec.name](options.get(spec.name, spec.default))
            continue
        value = _check_type(spec, options.get(spec.name, spec.default))
        _check_value(spec, value)
        values[spec.name] = value
    _words_to_values(values)
    delimiter, quote_char, escape_char = values["delimiter"], values["quote_char"], values["escape_char"]
    assert delimiter is None or isinstance(delimiter, str)
    assert isinstance(quote_char, str) and (escape_char is None or isinstance(escape_char, str))
    if delimiter == "none":
        raise OptionError("delimiter", "{option} cannot be turned off: give one character, or {auto} to detect it", delimiter)
    check_character("delimiter", delimiter)
    given = {"delimiter": None if delimiter is None else delimiter[0]}
    for name, value in (("quote_char", quote_char), ("escape_char", escape_char)):
        if value not in ("auto", "none"):
            check_character(name, value)
            if value is not None:
                given[name] = value
    check_distinct(given)
    comment = values["comment"]
    if comment is not None and (not comment or "\n" in str(comment) or "\r" in str(comment)):
        raise OptionError(
            "comment", "{option} must be {auto}, a prefix on one line, or {none} to keep every line, not {value}", comment
        )
    values["encoding"] = _check_encoding(str(values["encoding"]))
    if values["dtypes"] is None:
        for name in ("null_values", "decimal", "thousands", "nulls_in_text"):
            if values[name] not in (None, False):
                raise ValueError(f"{name} applies to typed columns: give dtypes='infer' (or per-column kinds) with it")
    layout = values["layout"]
    if layout is not None:
        _apply_layout(values, cast("Layout", layout), options)
    return Options(**values)  # type: ignore[arg-type]

