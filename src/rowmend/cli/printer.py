"""Everything the command writes, and whether it is written: :class:`Printer`.

In the manner of uv's printer, one value made from the command line
(``-q``, ``-v``, ``--progress``/``--no-progress``, ``--debug``) decides what
each kind of line does: errors always show; warnings, notes and the checks
that failed show unless ``-q``; ``-v`` adds a line per file; the progress bar
and the summary table show on a terminal only. What a command answers with
(clean rows, ``--json`` objects, ``sniff``'s lines, ``inspect``'s tables) goes
to standard output whatever the level. Text from files never reaches a
terminal raw (:func:`rowmend._display.visible`).
"""

from __future__ import annotations

import argparse
import contextlib
import enum
import sys
import warnings
from typing import Any, Dict, Iterable, Iterator, Optional, Sequence

from rich.console import Console, RenderableType

from rowmend._display import ProgressDisplay, json_line, visible
from rowmend._errors import RowmendWarning

__all__ = ["Level", "Printer"]

# A single input smaller than this finishes too soon for a progress bar.
_LARGE_INPUT = 16 << 20


class Level(enum.IntEnum):
    """How much the command says on standard error besides its errors."""

    #: Errors only (``-q``).
    QUIET = 0
    #: Errors, warnings, notes and failed checks; on a terminal the bar and the summary.
    DEFAULT = 1
    #: Also a line per file saying what it came to (``-v``).
    VERBOSE = 2


class Printer:
    """One command's output: messages on standard error, answers on standard output, the terminal's display.

    Args:
        level: How much to say besides errors.
        progress: ``--progress`` (True) or ``--no-progress`` (False); None
            shows a bar on a terminal for large or many inputs, unless quiet.
        debug: Whether an error is followed by its traceback.
    """

    def __init__(self, level: Level = Level.DEFAULT, progress: Optional[bool] = None, debug: bool = False) -> None:
        self.level = level
        self.progress = progress
        self.debug = debug
        self.console = Console(stderr=True)
        self.interactive = self.console.is_terminal
        self.display: Optional[ProgressDisplay] = None

    @classmethod
    def from_args(cls, args: argparse.Namespace, progress: Optional[bool]) -> Printer:
        """The printer the parsed command line asks for; ``progress`` is the ``--progress`` option's value."""
        level = Level.QUIET if args.quiet else Level.VERBOSE if args.verbose else Level.DEFAULT
        return cls(level, progress, args.debug)

    def wants_bar(self, sizes: Sequence[Optional[int]], stdin_terminal: bool) -> bool:
        """Whether to show a progress bar for inputs of these sizes (None: unknown)."""
        if self.progress is not None:
            return self.progress
        if self.level is Level.QUIET or not self.interactive or stdin_terminal:
            return False
        return len(sizes) > 1 or sizes[0] is None or sizes[0] >= _LARGE_INPUT

    def progress_display(
        self, sizes: Dict[int, Optional[int]], names: Dict[int, str], stdin_terminal: bool
    ) -> Optional[ProgressDisplay]:
        """The bar over these inputs (sizes and names by job), when one is wanted; lines are then said above it."""
        if not self.wants_bar(list(sizes.values()), stdin_terminal):
            return None
        self.display = ProgressDisplay(self.console, sizes, names)
        return self.display

    def _say(self, line: str) -> None:
        """One line on standard error, above the progress bar when there is one.

        Control characters (from file names, fields) are shown, never sent
        raw, and a line break in them cannot start a line of its own.
        """
        line = visible(line)
        if self.interactive:
            console = self.display.console if self.display is not None else self.console
            console.print(line, markup=False, highlight=False, soft_wrap=True)
        else:
            print(line, file=sys.stderr, flush=True)

    def error(self, status: int, message: str, details: str = "") -> int:
        """Say an error (and its traceback with ``--debug``), whatever the level; returns ``status``."""
        self._say(f"rowmend: error: {message}")
        if self.debug and details:
            for line in details.rstrip("\n").splitlines():
                self._say(line)
        return status

    def stopped(self, message: str) -> None:
        """Say why the command stops short (an interrupt), whatever the level."""
        self._say(f"rowmend: {message}")

    def warn(self, message: str) -> None:
        """One warning line, unless quiet."""
        if self.level >= Level.DEFAULT:
            self._say(f"rowmend: warning: {message}")

    def note(self, source: str, message: str) -> None:
        """What a run has to tell about one input (a report's note), unless quiet."""
        if self.level >= Level.DEFAULT:
            self._say(f"rowmend: {source}: note: {message}")

    def problem(self, source: str, message: str) -> None:
        """Why an input gives a status above 0 though it was read (rows quarantined, a limit), unless quiet."""
        if self.level >= Level.DEFAULT:
            self._say(f"rowmend: {source}: {message}")

    def hint(self, message: str) -> None:
        """Advice about the command line, unless quiet."""
        if self.level >= Level.DEFAULT:
            self._say(f"rowmend: {message}")

    def detail(self, message: str) -> None:
        """A line only ``-v`` shows."""
        if self.level >= Level.VERBOSE:
            self._say(f"rowmend: {message}")

    def summary(self, table: RenderableType) -> None:
        """The table of a run's files, on a terminal, unless quiet."""
        if self.interactive and self.level >= Level.DEFAULT:
            self.console.print(table)

    def emit(self, record: Dict[str, Any]) -> None:
        """One JSON object on a line of standard output, in UTF-8 whatever its encoding."""
        # As bytes: a text stream with a strict encoding would stop at the
        # first name it cannot encode, and drop every later file's line.
        line = json_line(record) + b"\n"
        sys.stdout.flush()
        buffer = getattr(sys.stdout, "buffer", None)
        if buffer is None:  # a text-only stream put in its place (a notebook's)
            sys.stdout.write(line.decode("utf-8"))
            sys.stdout.flush()
            return
        buffer.write(line)
        buffer.flush()

    def out(self, line: str) -> None:
        """One line of a command's answer on standard output (``sniff``'s layout), shown, never obeyed."""
        print(visible(line), flush=True)

    def tables(self, tables: Iterable[RenderableType]) -> None:
        """A command's answer as tables on standard output (``inspect``)."""
        console = Console(soft_wrap=False)
        for table in tables:
            console.print(table)

    @contextlib.contextmanager
    def warnings_said(self) -> Iterator[None]:
        """Say rowmend's warnings given inside the block, one line each."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RowmendWarning)
            try:
                yield
            finally:
                for warning in caught:
                    if issubclass(warning.category, RowmendWarning):
                        self.warn(str(warning.message))
                    else:
                        warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
