"""What one command says: messages on standard error, JSON on standard output, the terminal's display."""

from __future__ import annotations

import argparse
import contextlib
import sys
import warnings
from typing import Any, Dict, Optional, Sequence

from rich.console import Console

from rowmend._display import ProgressDisplay, json_line, visible
from rowmend._errors import RowmendWarning

__all__ = ["Session"]

# A single input smaller than this finishes too soon for a progress bar.
_LARGE_INPUT = 16 << 20


class Session:
    """One command's output: messages on standard error, JSON on standard output, the terminal's display."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.console = Console(stderr=True)
        self.interactive = self.console.is_terminal
        self.display: Optional[ProgressDisplay] = None
        # --progress and --no-progress; None: a bar on a terminal for large inputs.
        self.progress: Optional[bool] = None

    def wants_bar(self, sizes: Sequence[Optional[int]], stdin_terminal: bool) -> bool:
        """Whether to show a progress bar for inputs of these sizes (None: unknown)."""
        if self.progress is not None:
            return self.progress
        if not self.interactive or stdin_terminal:
            return False
        return len(sizes) > 1 or sizes[0] is None or sizes[0] >= _LARGE_INPUT

    def say(self, line: str) -> None:
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

    def fail(self, status: int, message: str, details: str = "") -> int:
        """Report an error (and its traceback with ``--debug``); returns ``status``."""
        self.say(f"rowmend: error: {message}")
        if self.args.debug and details:
            for line in details.rstrip("\n").splitlines():
                self.say(line)
        return status

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

    def warn(self, message: str) -> None:
        """One warning line on standard error."""
        self.say(f"rowmend: warning: {message}")

    @contextlib.contextmanager
    def warnings_said(self) -> Any:
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
