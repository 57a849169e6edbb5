"""Runs the examples of the documentation pages as tests (``pytest docs``).

Python blocks run in one namespace per page; a block that starts with
``>>>`` is a doctest, so the output a page shows is the output the code
gives. ``console`` blocks are shell sessions: each ``$ command`` runs, and
what it prints must match the lines below it. A page's examples run in a
scratch folder holding the repository's ``examples/`` and the files the
pages name (``broken.csv``, ``exports/monday.csv``, ...), copies of the
bundled messy export but for ``tuesday.csv``, which has drifted from it.
Other blocks (``sh``: installs, commands for a cluster or a terminal) are
for reading only. An example that needs what a test cannot have (a
cluster, a bucket) is preceded by ``<!-- skip: next -->`` with the reason.
"""

from __future__ import annotations

import doctest
import gzip
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import tempfile
from typing import Any, Dict, List, Optional

from sybil import Example, Sybil
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser, SkipParser

DOCS = pathlib.Path(__file__).resolve().parent
EXAMPLES = DOCS.parent / "examples"

# The names the pages use for "your file": each a copy of the messy export.
_STAND_INS = (
    "broken.csv",
    "broken.csv.gz",
    "sales.csv",
    "big.csv.gz",
    "orders.csv.gz",
    "exports/monday.csv",
    "exports/tuesday.csv",
    "exports/north.csv",
    "exports/south.csv.gz",
    "monday.csv",
    "drop/orders.csv",
    "drop/returns.csv.gz",
)
# The export of the next day, changed: commas, and a column more.
_TUESDAY = b"order_id,customer,city,amount,note,vat\n2001,Ana Lima,Lisboa,12.50,ok,0.23\n"


def _setup(namespace: Dict[str, Any]) -> None:
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="rowmend-docs-"))
    shutil.copytree(EXAMPLES, scratch / "examples")
    data = (EXAMPLES / "messy_export.csv").read_bytes()
    for name in _STAND_INS:
        path = scratch / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
    (scratch / "tuesday.csv").write_bytes(_TUESDAY)
    namespace["__scratch__"] = (os.getcwd(), scratch)
    os.chdir(scratch)


def _teardown(namespace: Dict[str, Any]) -> None:
    cwd, scratch = namespace["__scratch__"]
    os.chdir(cwd)
    shutil.rmtree(scratch, ignore_errors=True)


def _commands(source: str) -> List[tuple[str, str]]:
    """A console block's ``$ command`` lines, each with the lines shown below it."""
    sessions: List[tuple[str, List[str]]] = []
    for line in source.splitlines():
        if line.startswith("$ "):
            sessions.append((line[2:], []))
        elif sessions:
            sessions[-1][1].append(line)
    return [(command, "\n".join(shown).strip("\n")) for command, shown in sessions]


def _run_console(example: Example) -> Optional[str]:
    """Run each command of a console block; a difference from the page is the failure."""
    # The rowmend script of the interpreter running the tests.
    environment = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    environment["COLUMNS"] = "100"
    for command, shown in _commands(example.parsed):
        done = subprocess.run(
            shlex.split(command),
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            env=environment,
            timeout=120,
        )
        printed = done.stdout.decode("utf-8", "replace").strip("\n")
        checker = doctest.OutputChecker()
        if not checker.check_output(shown + "\n", printed + "\n", doctest.ELLIPSIS):
            return f"$ {command}\nthe page shows:\n{shown}\nthe command printed:\n{printed}"
    return None


pytest_collect_file = Sybil(
    parsers=[
        SkipParser(),
        PythonCodeBlockParser(doctest_optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE),
        CodeBlockParser(language="console", evaluator=_run_console),
    ],
    patterns=["*.md"],
    setup=_setup,
    teardown=_teardown,
).pytest()
