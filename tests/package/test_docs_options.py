"""The options page names every flag of the command line: the reading options
in the table the site generates from the options table, the commands' own
flags in the page's text."""

import importlib.util
import re
from pathlib import Path

import pytest

from rowmend.cli import build_parser

DOCS = Path(__file__).resolve().parents[2] / "docs"


def generated_options_table() -> str:
    """The options table as the site's build hook renders it (mkdocs not needed)."""
    spec = importlib.util.spec_from_file_location("generated_tables", DOCS / "hooks" / "generated_tables.py")
    assert spec is not None and spec.loader is not None
    hooks = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(hooks)
    return hooks.options_table()


@pytest.mark.parametrize("command", ["clean", "sniff", "inspect"])
def test_the_options_page_names_every_flag(command, capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "1000")  # no flag broken across lines
    with pytest.raises(SystemExit):
        build_parser().parse_args([command, "--help"])
    shown = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*[a-z]|-[a-z])\b", capsys.readouterr().out))
    page = (DOCS / "options.md").read_text("utf-8") + generated_options_table()
    missing = sorted(flag for flag in shown - {"-h", "--help"} if not re.search(re.escape(flag) + r"(?![\w-])", page))
    assert len(shown) > 10 and missing == []
