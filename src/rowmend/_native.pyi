"""Type stubs of rowmend._native: the salvage pass fed in chunks, its rows as Arrow batches."""

from typing import Dict, Final, List, Union, Optional, Sequence, Tuple, final

from typing_extensions import Buffer, Self

__version__: Final[str]
"""The package's version, CMake's project() version."""

OPTIONS: Final[Tuple[str, ...]]
"""Salvager's keywords, in order."""

#: (delimiter, quote, quoting, repair_quotes, escape, trim_after_delimiter, runaway_width)
_Grammar = Tuple[int, int, bool, bool, int, bool, int]
#: (next row start, lines, rows, pending)
_Exit = Tuple[int, int, int, bool]

def scan_range(data: Buffer, end: int, final: bool, input_start: bool, grammar: _Grammar, /) -> List[Tuple[int, _Exit]]:
    """data[:end] scanned from the row starts it may begin with: for each, where its rows leave."""

def walk_range(data: Buffer, entry: int, end: int, final: bool, input_start: bool, grammar: _Grammar, /) -> _Exit:
    """The rows of data[:end] walked from the known row start entry: where they leave."""

@final
class ArrowBatch:
    """One batch of salvaged rows in Arrow's memory layout."""

    @property
    def num_rows(self) -> int:
        """Rows in the batch."""
    @property
    def large(self) -> bool:
        """Whether a column outgrew 32-bit offsets and is a large_string column."""
    def __arrow_c_array__(self, requested_schema: Optional[object] = None) -> Tuple[object, object]:
        """The batch as a struct array: a pair of PyCapsules (arrow_schema, arrow_array)."""

@final
class ColumnTyper:
    """The running kinds of one column's cells, and the type decided from them."""

    def __new__(
        cls,
        *,
        null_values: Optional[Sequence[str]] = None,  # None: the common spellings
        decimal: Optional[str] = None,  # '.' or ','; None: decided from the cells
        thousands: Optional[str] = None,  # the separator, '' for none; None: decided
    ) -> Self: ...
    def add(self, offsets: Buffer, data: Buffer, offset: int, length: int, large: bool, /) -> None:
        """Count what the cells of a string array's buffers may be read as."""
    def decide(
        self, kind: Optional[str] = None, misfit_share: float = 0.01, day_first: Optional[bool] = None
    ) -> Dict[str, Union[str, bool, int, None]]:
        """Decide the column's type from the cells counted (or its best reading as kind) and describe it."""
    def build(
        self,
        offsets: Buffer,
        data: Buffer,
        offset: int,
        length: int,
        large: bool,
        precision: int = 0,
        scale: int = 0,
        max_digits: int = -1,
        count: bool = False,
        /,
    ) -> Tuple[bytearray, bytearray, bytes, int, int, bool]:
        """The cells as the decided type's Arrow values: (validity, values, misfits, whole_digits, scale, exponent); with count, their kinds counted as add() counts them."""
    @property
    def cells(self) -> int:
        """Cells counted so far."""

@final
class Salvager:
    """The salvage pass over input fed in chunks, its rows collected into Arrow batches."""

    def __new__(
        cls,
        *,
        delimiter: Optional[int] = None,
        quote_char: Optional[int] = None,  # None: detected, else '"'; 0: quotes are text
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: Optional[int] = None,
        repair_quotes: bool = True,
        batch_rows: int = 65536,
        header: Union[bool, str] = True,
        line_numbers: bool = False,
        max_records: int = 10000,
        encoding: str = "utf-8",
        output_fd: Optional[int] = None,
        output_delimiter: Optional[int] = None,
        quarantine_dir: Optional[str] = None,
        skip_blank_rows: bool = False,
        record_repairs: bool = False,
        comment: Optional[str] = None,
        skip_preamble: Union[int, str] = 0,
        skip_footer: Union[bool, int, str] = False,  # or "auto", "section", a count of rows
        detect_dialect: bool = False,
        escape_char: Optional[int] = None,
        trim_blank: bool = False,
        threads: int = 1,
        repairs: str = "backend",  # or "auto"
        set_aside_dir: Optional[str] = None,
        batch_bytes: int = 67108864,
        batches: bool = True,  # False: the report alone
        # (first_line, inside_table, more_follows, trailing_dropped[, (kinds, value_columns, header_text)])
        range: Optional[Tuple[object, ...]] = None,
    ) -> Self: ...
    def feed(self, data: Buffer, /) -> None:
        """Salvage the next chunk of input in the run's encoding, without the GIL."""
    def write_quarantine(self, fd: int, /) -> None:
        """Write the quarantine file (header and every set-aside row) to the descriptor fd."""
    def write_set_aside(self, fd: int, /) -> None:
        """Write every row set aside as not part of the table, blank ones aside, to fd as CSV."""
    def finish(self) -> None:
        """End the input: the last rows and the last batch complete."""
    def take_batches(self, names: Sequence[str], /) -> List[ArrowBatch]:
        """The batches completed since the last call, their columns named ``names``."""
    @property
    def delimiter(self) -> Optional[str]:
        """The separator, once settled (', ' when a blank follows every comma); else None."""
    @property
    def quote_char(self) -> Optional[str]:
        """The quote character, once settled; else None."""
    @property
    def escape_char(self) -> Optional[str]:
        """The escape character, once settled, or None when there is none."""
    @property
    def columns(self) -> int:
        """The table's column count; 0 until known."""
    @property
    def preamble_rows(self) -> Optional[int]:
        """The leading rows set aside as the preamble, once settled; else None."""
    @property
    def layout_columns(self) -> int:
        """The column count the pass settled on (0: rows left as parsed)."""
    @property
    def ready(self) -> int:
        """Completed batches not yet taken."""
    @property
    def range_unsure(self) -> bool:
        """With range: whether its rows may differ from those of one pass over the whole input."""
    @property
    def settled_columns(self) -> Optional[Tuple[bytes, bytes, bytes, bytes]]:
        """Once settled, what the layout says of the columns (kinds, value_columns, header_text, profiles); else None."""
    @property
    def parsed_rows(self) -> int:
        """Rows the parser has read, header, set-aside and held ones among them."""
    @property
    def header(self) -> Optional[List[str]]:
        """The header row's fields, or None."""
    @property
    def header_rows(self) -> int:
        """Rows taken as the header's names (in no other counter)."""
    @property
    def notes(self) -> List[Tuple[str, str]]:
        """Detection notes as (code, message): readings considered and not taken,
        rows set aside on what evidence."""
    @property
    def total_rows(self) -> int:
        """Data rows read."""
    @property
    def salvaged_rows(self) -> int:
        """Data rows kept, repaired ones included."""
    @property
    def repaired_rows(self) -> int:
        """Kept data rows that were padded or merged, or had a runaway quote read as text."""
    @property
    def quarantined_rows(self) -> int:
        """Data rows set aside."""
    @property
    def skipped_rows(self) -> int:
        """Rows set aside as not part of the table."""
    @property
    def skipped(self) -> Dict[str, int]:
        """Skipped rows per kind, every kind named."""
    @property
    def replaced_bytes(self) -> int:
        """Ill-formed UTF-8 bytes in the input, replaced by U+FFFD."""
    @property
    def repairs(self) -> List[Tuple[int, str, bytes, List[str], str]]:
        """With record_repairs, the first max_records rows of each action as
        (line, action, raw bytes, kept fields, placement: what was joined or where an
        empty field was put, '' for a repair at the row's end): 'filled', 'merged', 'quote repaired',
        'bytes replaced' or 'quote read as text' rows, and rows set aside as 'blank',
        'comment', 'preamble' or 'footer' (no fields)."""
    @property
    def quotes_read_as_text(self) -> Tuple[int, List[int]]:
        """Rows, a header row included, in which a quote that opened a runaway field
        was read as text: (how many, the lines of the first 100)."""
    @property
    def line_histogram(self) -> Tuple[int, int, Dict[str, List[int]]]:
        """Where the rows not kept as they stood sit: (lines per bin, last line,
        {action: counts per bin}), every action named."""
    @property
    def fallback_bytes(self) -> int:
        """With encoding 'utf-8+cp1252': the bytes that were not UTF-8, read as cp1252."""
    @property
    def c1_mapped(self) -> int:
        """With encoding 'utf-8+cp1252': the C1 controls read as the cp1252 characters of their bytes."""
    @property
    def quarantine(self) -> List[Tuple[int, str, bytes]]:
        """The first max_records set-aside rows as (line, reason, raw bytes)."""
