"""The package's import graph: no module imports one that imports it back.

The contract is in pyproject.toml ([tool.importlinter]); by hand:
``lint-imports`` from the repository's root.
"""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("importlinter")

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_the_package_imports_without_a_cycle():
    code = (
        "import sys; from importlinter.cli import lint_imports; "
        "sys.exit(lint_imports(config_filename='pyproject.toml', no_cache=True, no_logo=True))"
    )
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "no import cycle among the package's modules KEPT" in result.stdout
