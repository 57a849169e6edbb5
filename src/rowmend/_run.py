"""One salvage run over a source: decoding, feeding the native pass, the report.

The table functions and :func:`rowmend.clean` differ only in where the rows
go; how the input is opened, decoded and fed, and how the run is reported,
is the same and lives here.
"""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from rowmend._binary import check_text
from rowmend._encoding import DETECT_BYTES, Transcoder, encoding_doubt, resolve_encoding, transcode
from rowmend._errors import RowmendWarning
from rowmend._native import Salvager
from rowmend._options import OPTIONS, Options
from rowmend._records import LineHistogram, Note, QuarantineRecord, RepairRecord
from rowmend._report import Report
from rowmend._sources import ByteSource

if TYPE_CHECKING:
    from rowmend._typed import TypingOutcome

__all__ = ["NATIVE_ENCODINGS", "RUN_KEYWORDS", "Progress", "Run"]

#: A progress callback: called after each chunk of input with the bytes taken
#: from the input so far, as stored (compressed, if it is), and the data rows
#: read so far.
Progress = Callable[[int, int], None]

# Encodings the native pass decodes itself, at the speed of a copy for ASCII;
# any other goes through Python's incremental decoders first.
NATIVE_ENCODINGS = frozenset({"utf-8", "iso8859-1", "cp1252", "utf-16-le", "utf-16-be"})

# What a detected UTF-8 input is decoded as: a file that is UTF-8 but for a
# few pasted bytes (an export with a Latin-1 name in it) keeps those letters,
# read as cp1252, instead of losing them to U+FFFD. The report then names it.
UTF8_OR_CP1252 = "utf-8+cp1252"

#: The native pass's keywords that are no reading option: what a run decides
#: (the dialect is always detected, the delimiter's blank, where the rows go).
RUN_KEYWORDS = frozenset(
    {"detect_dialect", "trim_blank", "batch_rows", "batch_bytes", "batches", "output_fd", "output_delimiter"}
    | {"quarantine_dir", "set_aside_dir", "range"}
)

# The lines a note about quotes read as text names; the rest it counts.
_NOTE_LINES = 5

# Input is read and fed in pieces of this size: large enough that Python's
# share of the work is negligible, small enough to keep memory bounded.
CHUNK = 1 << 20


def _views(first: bytes, source: ByteSource) -> Iterator[memoryview]:
    """The input as views of one reused buffer, each valid until the next is taken.

    The salvager copies what it is fed, so the input needs no bytes object
    of its own per chunk: making one cost a third of the time of the pass.
    """
    if first:
        yield memoryview(first)
    view = memoryview(bytearray(CHUNK))
    while True:
        count = source.readinto(view)
        if not count:
            return
        yield view[:count]


def _chunks(first: bytes, source: ByteSource) -> Iterator[bytes]:
    if first:
        yield first
    while True:
        chunk = source.read(CHUNK)
        if not chunk:
            return
        yield chunk


class Run:
    """A native salvage pass set up for one opened source.

    Iterate :meth:`chunks` and hand each to :meth:`feed`; then call
    :meth:`finish` and :meth:`report`. What the stages after the pass
    have to tell (a header field that had to change to be a name) goes into
    :attr:`notes`, which the report ends with.

    The run draws nothing: ``progress``, when given, hears how far it is
    after each chunk and at the end (a bar is one such listener, made by
    whoever shows it). A saved layout among ``options`` is applied as it
    stands; comparing the input with it first is detection's part
    (:func:`rowmend._detect.start_run`).
    """

    def __init__(self, source: ByteSource, options: Options, progress: Optional[Progress] = None, **native: Any) -> None:
        self.source = source
        self.options = options
        self.notes: List[Note] = []
        self._progress = progress
        #: Set by a typed read: the columns' types and misfits, for the report.
        self.typing: Optional[TypingOutcome] = None
        head = source.read(DETECT_BYTES)
        self.encoding, bom = resolve_encoding(options.encoding, head, len(head) < DETECT_BYTES)
        if not options.binary:
            check_text(head, self.encoding, source.name)
        self._chosen = options.encoding.lower() != "auto"
        if self._chosen:
            doubt = encoding_doubt(head, self.encoding, len(head) < DETECT_BYTES)
            if doubt is not None:
                # The table may come out empty or as nonsense without one
                # byte replaced: say why, in the report and as it happens.
                self.notes.append(Note("encoding-doubtful", doubt))
                warnings.warn(f"{source.name}: {doubt}", RowmendWarning, stacklevel=3)
        # The pass itself skips one UTF-8 byte-order mark at the start, as the
        # backend does: skipping it here too would drop a U+FEFF that follows.
        self._head = head if self.encoding == "utf-8" else head[bom:]
        self._python_decoder: Optional[Transcoder] = None
        # Every native option by its own name; the characters as the engine
        # takes them, and what this run decided.
        engine: Dict[str, Any] = {spec.name: getattr(options, spec.name) for spec in OPTIONS if spec.native}
        engine.update(options.engine_kwargs(), encoding=self.native_encoding(), threads=options.threads or 0)
        self.salvager = Salvager(detect_dialect=True, **engine, **native)

    def native_encoding(self) -> str:
        """The encoding as the engine decodes it (UTF-8 with stray bytes read as cp1252, when detected)."""
        # A layout's UTF-8 is the detected one, and reads stray bytes the same way.
        detected = self.options.encoding.lower() == "auto" or self.options.layout is not None
        if self.encoding == "utf-8" and detected:
            return UTF8_OR_CP1252
        return self.encoding if self.encoding in NATIVE_ENCODINGS else "utf-8"

    def chunks(self) -> Iterator[Union[bytes, memoryview]]:
        """The input's bytes after the byte-order mark, ready for ``feed``."""
        if self.encoding in NATIVE_ENCODINGS:
            return _views(self._head, self.source)
        self._python_decoder = transcode(_chunks(self._head, self.source), self.encoding)
        return self._python_decoder

    def feed(self, chunk: Union[bytes, memoryview]) -> None:
        """Feeds one chunk from :meth:`chunks`, then tells the progress listener how far the run is."""
        self.salvager.feed(chunk)
        if self._progress is not None:
            self._progress(self.source.consumed, self.salvager.total_rows)

    def finish(self) -> None:
        """Ends the input: the pass completes its last rows, and the progress listener hears the end."""
        self.salvager.finish()
        if self._progress is not None:
            self._progress(self.source.consumed, self.salvager.total_rows)

    def feed_all(self) -> None:
        """Feeds the whole input and finishes the pass."""
        for chunk in self.chunks():
            self.feed(chunk)
        self.finish()

    def report(self) -> Report:
        """The report of the finished run."""
        salvager = self.salvager
        replaced = salvager.replaced_bytes
        if self._python_decoder is not None:
            replaced += self._python_decoder.replaced_bytes
        notes = list(self.notes)
        if salvager.c1_mapped:
            mapped = salvager.c1_mapped
            notes.append(
                Note(
                    "c1-mapped",
                    f"{mapped} C1 control {'character' if mapped == 1 else 'characters'} (U+0080 to U+009F), "
                    "which text never holds, were read as the cp1252 punctuation their bytes stand for "
                    "(dashes, quotes, the bullet), the trace of a wrong conversion; encoding='utf-8' keeps them",
                )
            )
        if self._chosen and replaced:
            notes.append(
                Note(
                    "bytes-replaced",
                    f"{replaced} {'byte' if replaced == 1 else 'bytes'} could not be decoded as {self.encoding} "
                    "and became U+FFFD",
                )
            )
        return Report(
            total_rows=salvager.total_rows,
            salvaged_rows=salvager.salvaged_rows,
            repaired_rows=salvager.repaired_rows,
            quarantined_rows=salvager.quarantined_rows,
            skipped_rows=salvager.skipped_rows,
            skipped=salvager.skipped,
            delimiter=salvager.delimiter or self.options.delimiter or ",",
            columns=salvager.columns,
            encoding=UTF8_OR_CP1252 if salvager.fallback_bytes else self.encoding,
            replaced_bytes=replaced,
            quarantine=tuple(
                QuarantineRecord(line, reason, raw.decode("utf-8", "replace"))
                for line, reason, raw in salvager.quarantine
            ),
            repairs=tuple(
                RepairRecord(line, action, raw.decode("utf-8", "replace"), tuple(kept), placement)
                for line, action, raw, kept, placement in salvager.repairs
            ),
            lines=self._histogram(),
            header=tuple(names) if (names := salvager.header) is not None else None,
            header_rows=salvager.header_rows,
            notes=tuple(notes)
            + tuple(Note(code, message) for code, message in salvager.notes)
            + self._quote_notes()
            + (tuple(self.typing.notes) if self.typing is not None else ()),
            column_types=self.typing.types if self.typing is not None else {},
            misfits=self.typing.misfits if self.typing is not None else {},
            misfit_records=tuple(self.typing.records) if self.typing is not None else (),
        )

    def _quote_notes(self) -> Tuple[Note, ...]:
        """A note naming the lines where a quote that opened a runaway field was read as text."""
        count, lines = self.salvager.quotes_read_as_text
        if not count:
            return ()
        shown = ", ".join(f"{line:,}" for line in lines[:_NOTE_LINES])
        more = f" and {count - min(count, _NOTE_LINES):,} more" if count > _NOTE_LINES else ""
        where = f"line {shown}" if count == 1 else f"lines {shown}{more}"
        return (
            Note(
                "quote-read-as-text",
                f"{where}: a quote opening a field was read as text, because the field it opened ran on "
                "through lines that read as rows; with repairs set to 'backend' it opens one value that runs on",
            ),
        )

    def _histogram(self) -> LineHistogram:
        bin_lines, last_line, counts = self.salvager.line_histogram
        used = -(-last_line // bin_lines)  # the bins that reach the last line
        return LineHistogram(bin_lines, last_line, {name: tuple(bins[:used]) for name, bins in counts.items()})
