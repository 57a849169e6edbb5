"""The options page names every flag of the command line: the reading options
in the table the site generates from the options table, the commands' own
flags in the page's text."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from rowmend.cli import build_parser

DOCS = Path(__file__).resolve().parents[2] / "docs"


def generated_options_table() -> str:
    """The options table as the site's build hook renders it (mkdocs not needed).

    In a process of its own: the hook loads the package's options module
    afresh from the sources, and a second copy of the package's modules would
    re-register their codec hooks in this one.
    """
    code = "import sys; sys.path.insert(0, sys.argv[1]); import generated_tables; print(generated_tables.options_table())"
    return subprocess.run(
        [sys.executable, "-c", code, str(DOCS / "hooks")], capture_output=True, text=True, check=True, timeout=120
    ).stdout


@pytest.mark.parametrize("command", ["clean", "sniff", "inspect"])
def test_the_options_page_names_every_flag(command, capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "1000")  # no flag broken across lines
    with pytest.raises(SystemExit):
        build_parser().parse_args([command, "--help"])
    shown = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*[a-z]|-[a-z])(?![\w.-])", capsys.readouterr().out))
    page = (DOCS / "options.md").read_text("utf-8") + generated_options_table()
    missing = sorted(flag for flag in shown - {"-h", "--help"} if not re.search(re.escape(flag) + r"(?![\w-])", page))
    assert len(shown) > 10 and missing == []
