"""MkDocs hook: tables generated from the sources at build time.

A page asks for a table with a marker on a line of its own:

* ``<!-- table: options -->``: every reading option of the ``rowmend``
  package, from the one options table ``rowmend._options.OPTIONS`` (the same
  table the functions validate against), so the page can never drift from
  the code;
* ``<!-- table: streaming -->``: the bounded-memory and Ctrl-C measurements
  recorded by ``bench/streaming.py`` in ``docs/benchmarks/streaming.json``;
* ``<!-- table: dask -->``: the many-files timings recorded by
  ``bench/dask_files.py`` in ``docs/benchmarks/dask.json`` (a note instead
  while they have not been recorded).

The options are read from ``src/rowmend`` without running the package's
``__init__``, which imports the compiled ``rowmend._native``: the site builds
from a plain checkout.
"""

from __future__ import annotations

import importlib.util
import json
import re
import sys
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Dict, Iterable, List

ROOT = Path(__file__).resolve().parents[2]
_MARKER = re.compile(r"^<!-- table: (?P<name>[\w-]+) -->$", re.MULTILINE)


def _load_options_module() -> ModuleType:
    """``rowmend._options`` from the source tree, its package left uninitialised."""
    package_dir = ROOT / "src" / "rowmend"
    saved = {name: module for name, module in sys.modules.items() if name == "rowmend" or name.startswith("rowmend.")}
    for name in saved:
        del sys.modules[name]
    try:
        spec = importlib.util.spec_from_file_location(
            "rowmend", package_dir / "__init__.py", submodule_search_locations=[str(package_dir)]
        )
        assert spec is not None
        sys.modules["rowmend"] = importlib.util.module_from_spec(spec)  # __init__ is never executed
        return importlib.import_module("rowmend._options")
    finally:
        for name in [name for name in sys.modules if name == "rowmend" or name.startswith("rowmend.")]:
            del sys.modules[name]
        sys.modules.update(saved)


def _code(value: object) -> str:
    return f"`{value!r}`"


def _accepts(spec: Any) -> str:
    if spec.choices:
        return " or ".join(_code(value) for _, value in spec.choices)
    if spec.type is bool:
        accepted = "`True` or `False`"
    else:
        accepted = f"`{spec.type.__name__}`"
        if spec.minimum is not None:
            accepted += f" ≥ {spec.minimum}"
        if spec.type is str and spec.name in ("delimiter", "quote_char"):
            accepted = "one ASCII character"
        if spec.name == "layout":
            accepted = "a `rowmend.Layout` or the path of its JSON file"
    return accepted + (" or `None`" if spec.nullable else "")


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def _flags(spec: Any) -> str:
    """The option's spellings on the command line, as the command line makes them from the table."""
    if spec.kind == "choice":
        return f"`{spec.flag} {{{','.join(word for word, _ in spec.choices)}}}`"
    flags = [spec.flag]
    if spec.kind == "flag" or spec.none_flag:
        flags.append("--no-" + spec.flag[2:])
    return ", ".join(f"`{flag}`" for flag in flags)


def options_table() -> str:
    options = _load_options_module().OPTIONS
    rows = ["| option | command line | accepts | default | meaning |", "|---|---|---|---|---|"]
    for spec in options:
        meaning = spec.help[0].upper() + spec.help[1:] + "."
        rows.append(
            f"| [`{spec.name}`](#{spec.name}){{ #{spec.name} }} | {_cell(_flags(spec))} | {_cell(_accepts(spec))} "
            f"| {_cell(_code(spec.default))} | {_cell(meaning)} |"
        )
    return "\n".join(rows)


def _mib(bytes_: float) -> str:
    return f"{bytes_ / (1 << 20):,.0f} MiB"


def streaming_table() -> str:
    results = json.loads((ROOT / "docs" / "benchmarks" / "streaming.json").read_text("utf-8"))
    rows: List[str] = [
        "| input | size | time | peak memory above the interpreter's |",
        "|---|---|---|---|",
    ]
    for run in results["memory"]:
        rows.append(
            f"| `{run['file']}` | {run['bytes'] / 1e9:.2f} GB | {run['median_s']:.1f} s "
            f"| {run['peak_rss_above_base_mib']:,.1f} MiB |"
        )
    stops = results.get("ctrl_c", [])
    if stops:
        times = sorted(stop["response_ms"] for stop in stops)
        untouched = sum(1 for stop in stops if stop["input_untouched"])
        interrupted = sum(1 for stop in stops if stop["outcome"] == "interrupted")
        rows.append("")
        rows.append(
            f"Ctrl-C during an in-place salvage of `{stops[0]['file']}`: {interrupted} of {len(stops)} runs "
            f"ended with `KeyboardInterrupt`, {times[0]:.0f} to {times[-1]:.0f} ms after the signal, and the input "
            f"was left untouched in {untouched} of {len(stops)}."
        )
    return "\n".join(rows)


def dask_table() -> str:
    path = ROOT / "docs" / "benchmarks" / "dask.json"
    if not path.exists():
        return "*Not measured yet: run `python bench/dask_files.py` to record `docs/benchmarks/dask.json`.*"
    results = json.loads(path.read_text("utf-8"))
    rows: List[str] = ["| read | time | rows | rows dropped |", "|---|---|---|---|"]
    for name, run in results["results"].items():
        rows.append(f"| {_cell(name)} | {run['seconds']:.2f} s | {run['rows']:,} | {run.get('rows_dropped', 0):,} |")
    machine = results["machine"]
    rows.append("")
    rows.append(
        f"{results['files']} files of {results['mb_per_file']} MB ({results['total_bytes'] / 1e9:.2f} GB), "
        f"fastest of {results['reps']} runs, on {machine['cpus']} cores (Python {machine['python']}, "
        f"Dask {machine['dask']}, pandas {machine['pandas']}): {results['speedup_over_one_after_the_other']}x "
        f"the speed of one file after the other on {results['workers']} workers; the cluster took "
        f"{results['cluster_startup_seconds']} s to start."
    )
    return "\n".join(rows)


TABLES: Dict[str, Callable[[], str]] = {"options": options_table, "streaming": streaming_table, "dask": dask_table}


def on_page_markdown(markdown: str, page: Any, config: Any, files: Iterable[Any]) -> str:
    # Imported here: the package's tests render the tables without mkdocs.
    from mkdocs.exceptions import PluginError

    def replace(match: re.Match[str]) -> str:
        name = match["name"]
        if name not in TABLES:
            raise PluginError(f"{page.file.src_path}: no generated table named {name!r} (known: {sorted(TABLES)})")
        return TABLES[name]()

    return _MARKER.sub(replace, markdown)
