"""The ``rowmend`` command: ``clean``, ``sniff`` and ``inspect`` CSV files from a shell.

Every reading option of the package is a flag of the same name, made from
the one options table (:data:`rowmend._options.OPTIONS`). The exit status is
one a scheduler can branch on: 0 when every row was kept, 1 when rows were
quarantined or a limit on quarantined, repaired or skipped rows was exceeded, 2 for
a command line that cannot be carried out, 3 when a file cannot be read or
written, 101 for a fault of rowmend itself, 130 for Ctrl-C; over many files
the highest of them (:data:`~rowmend.cli.arguments.EXIT_STATUSES`). Errors are one line each on
standard error, naming the file and the cause. On a terminal a progress bar
and a summary table appear on standard error; in pipes, nothing but errors.

The modules by concern: :mod:`~rowmend.cli.arguments` (the parser),
:mod:`~rowmend.cli.checks` (limits and the status they give),
:mod:`~rowmend.cli.plan` (the jobs of a clean and their outputs),
:mod:`~rowmend.cli.jobs` (what clean does around each job),
:mod:`~rowmend.cli.commands` (the commands), :mod:`~rowmend.cli.printer`
(what a command says), :mod:`~rowmend.cli.signals` and
:mod:`~rowmend.cli.entry` (:func:`main`).
"""

from rowmend.cli.arguments import build_parser
from rowmend.cli.checks import Limit
from rowmend.cli.entry import main

__all__ = ["Limit", "build_parser", "main"]
