"""The report of a run as HTML: one self-contained page, and the fragment a notebook shows.

The page holds everything it shows: styles inline, charts as inline SVG drawn
by matplotlib (text as paths, so no font is fetched), no script. Its size is
bounded whatever the input's: the charts draw a fixed number of bins, and
the table holds at most ``rows`` records per action, each cut to a length.
"""

from __future__ import annotations

import difflib
import html
import importlib.util
import io
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from rowmend._records import SKIP_KINDS

if TYPE_CHECKING:
    # For annotations only: the report draws itself through this module.
    from rowmend._report import Report

__all__ = ["MissingExtraError", "report_fragment", "report_page", "require_matplotlib", "warm_up"]

# Colours by what was done; a word this module does not know (a newer
# action) gets the generic one rather than failing.
_COLOURS = {
    "filled": "#4c78a8",
    "merged": "#72b7b2",
    "quote repaired": "#f58518",
    "bytes replaced": "#eeca3b",
    "quote read as text": "#9d755d",
    "quarantined": "#e45756",
    "too few fields": "#e45756",
    "too many fields": "#b03a48",
    "skipped": "#b0a08a",
}
_GENERIC = "#9467bd"

# Longer texts are cut in the table: a row may be megabytes long.
_MAX_TEXT = 300
_MAX_FIELD = 120
_MAX_FIELDS = 40

_STYLE = """
.rowmend-report { font-family: system-ui, -apple-system, "Segoe UI", sans-serif; color: #222; max-width: 1200px; }
.rowmend-report h1 { font-size: 1.5em; margin: 0.4em 0; }
.rowmend-report h2 { font-size: 1.15em; margin: 1.2em 0 0.4em; }
.rowmend-report table { border-collapse: collapse; margin: 0.3em 0; }
.rowmend-report th, .rowmend-report td { border: 1px solid #ddd; padding: 2px 8px; text-align: left; vertical-align: top; }
.rowmend-report th { background: #f3f3f3; }
.rowmend-report td.n { text-align: right; font-variant-numeric: tabular-nums; }
.rowmend-report table.summary td { text-align: right; font-variant-numeric: tabular-nums; }
.rowmend-report code, .rowmend-report .raw { font-family: ui-monospace, Menlo, Consolas, monospace; white-space: pre-wrap; word-break: break-all; }
.rowmend-report .fields span { display: inline-block; border: 1px solid #ccc; border-radius: 3px; padding: 0 4px; margin: 1px; }
.rowmend-report mark { background: #ffe08a; }
.rowmend-report mark.added { background: #cde8ff; }
.rowmend-report del { background: #ffd0d0; text-decoration: line-through; }
.rowmend-report .action { color: #fff; border-radius: 3px; padding: 0 5px; white-space: nowrap; }
.rowmend-report .note { color: #666; font-size: 0.9em; }
.rowmend-report .charts svg { max-width: 100%; height: auto; }
"""


class MissingExtraError(ImportError):
    """A feature needs an optional dependency that is not installed."""


def _group(action: str) -> str:
    """The chart's series an action belongs to."""
    if action in ("too few fields", "too many fields", "quarantined"):
        return "quarantined"
    if action in SKIP_KINDS:
        return "skipped"
    return action


def _colour(action: str) -> str:
    return _COLOURS.get(action, _COLOURS.get(_group(action), _GENERIC))


def _count(value: int) -> str:
    return f"{value:,}"


def _cut(text: str, limit: int) -> Tuple[str, bool]:
    return (text, False) if len(text) <= limit else (text[:limit], True)


def _parsed_fields(raw: str, fields: Sequence[str], delimiter: str) -> int:
    """How many fields the row had as read, as far as its text tells.

    A row without quotes splits at every delimiter. One with quotes may hold
    stray ones, so its count is taken from the kept fields instead: a filled
    row's padding is its trailing empty fields.
    """
    raw = raw.rstrip("\r\n")
    if '"' not in raw:
        return raw.count(delimiter) + 1
    padded = len(fields)
    while padded > 1 and not fields[padded - 1]:
        padded -= 1
    return padded


def _raw_html(raw: str, kept: Optional[str]) -> str:
    """The original text, with what did not survive into the kept row struck through."""
    raw = raw.rstrip("\r\n")
    raw, more = _cut(raw, _MAX_TEXT)
    tail = "<span class=note>…</span>" if more else ""
    if kept is None:
        return html.escape(raw) + tail
    matcher = difflib.SequenceMatcher(None, raw, kept[: _MAX_TEXT * 2], autojunk=False)
    parts = []
    for op, a0, a1, _, _ in matcher.get_opcodes():
        piece = html.escape(raw[a0:a1])
        parts.append(piece if op in ("equal", "insert") else f"<del>{piece}</del>")
    return "".join(parts) + tail


def _fields_html(action: str, raw: str, fields: Sequence[str], delimiter: str) -> str:
    """The kept fields as boxes; the ones the repair made or changed are highlighted."""
    parsed = _parsed_fields(raw, fields, delimiter)
    boxes = []
    for index, text in enumerate(fields[:_MAX_FIELDS]):
        shown, more = _cut(text, _MAX_FIELD)
        body = html.escape(shown) + ("…" if more else "")
        if action == "filled":
            changed = index >= parsed
        elif action == "merged":
            changed = index == len(fields) - 1
        else:
            changed = text not in raw.split(delimiter)
        if changed and not text:
            body = '<mark class="added">∅</mark>'
        elif changed:
            body = f"<mark>{body}</mark>"
        boxes.append(f"<span>{body}</span>")
    if len(fields) > _MAX_FIELDS:
        boxes.append(f"<span class=note>… {len(fields) - _MAX_FIELDS} more</span>")
    return "".join(boxes)


def _repair_reason(action: str, raw: str, fields: Optional[Sequence[str]], report: Report) -> str:
    """Why a kept row was repaired, as far as its record tells."""
    if fields is None:
        return "not part of the table" if action in SKIP_KINDS else ""
    expected = report.columns or len(fields)
    if action == "filled":
        return f"{_parsed_fields(raw, fields, report.delimiter)} of {expected} fields, padded"
    if action == "merged":
        return f"more than {expected} fields, merged into the last"
    return ""


def action_totals(report: Report) -> Dict[str, int]:
    """Rows per action, exact: from the line histogram when there is one, else from the counters."""
    if report.lines is not None:
        return report.lines.totals()
    totals = {kind: count for kind, count in report.skipped.items() if count}
    if report.quarantined_rows:
        totals["quarantined"] = report.quarantined_rows
    if report.repaired_rows:
        totals["repaired"] = report.repaired_rows
    return totals


def _summary_html(report: Report) -> str:
    skipped = ", ".join(f"{kind} {_count(count)}" for kind, count in report.skipped.items() if count) or "none"
    header = ", ".join(report.header) if report.header is not None else "none (the first row is data)"
    preamble = report.skipped.get("preamble", 0)
    rows = [
        ("rows read", _count(report.total_rows), "rows-read"),
        ("kept", _count(report.salvaged_rows), "kept"),
        ("repaired", _count(report.repaired_rows), "repaired"),
        ("set aside (quarantined)", _count(report.quarantined_rows), "quarantined"),
        ("set aside (not part of the table)", _count(report.skipped_rows), "skipped"),
        ("skipped by kind", html.escape(skipped), "skipped-kinds"),
        ("delimiter", f"<code>{html.escape(repr(report.delimiter))}</code>", "delimiter"),
        ("columns", _count(report.columns), "columns"),
        ("encoding", html.escape(report.encoding), "encoding"),
        ("bytes replaced", _count(report.replaced_bytes), "replaced-bytes"),
        ("header", html.escape(header), "header"),
        ("preamble", f"{_count(preamble)} line{'s' if preamble != 1 else ''} set aside" if preamble else "none", "preamble"),
    ]
    body = "".join(
        f'<tr><th>{name}</th><td data-count="{key}">{value}</td></tr>' for name, value, key in rows
    )
    notes = "".join(
        f'<li data-note="{html.escape(note.code)}">{html.escape(note.message)}</li>' for note in report.notes
    )
    return f"<table class=summary>{body}</table>" + (f"<ul class=notes>{notes}</ul>" if notes else "")


def _records_by_action(report: Report) -> Dict[str, List[Dict[str, Any]]]:
    grouped: Dict[str, List[Dict[str, Any]]] = {}
    for record in report.records():
        grouped.setdefault(record["action"], []).append(record)
    return grouped


def _records_html(report: Report, rows: int) -> str:
    totals = action_totals(report)
    totals["quarantined"] = report.quarantined_rows
    grouped = _records_by_action(report)
    parts = []
    if not report.repairs and report.repaired_rows + report.skipped_rows:
        parts.append(
            "<p class=note>Repaired and skipped rows are counted but not listed: "
            "read with record_repairs=True to list them.</p>"
        )
    elif not grouped:
        parts.append("<p class=note>No row was repaired or set aside.</p>")
    order = ["quarantined", "filled", "merged"]
    order += sorted(action for action in grouped if action not in order and action not in SKIP_KINDS)
    order += [kind for kind in SKIP_KINDS if kind in grouped]
    for action in order:
        records = grouped.get(action, [])
        if not records:
            continue
        shown = records[:rows]
        total = totals.get(action, report.skipped.get(action, len(records)))
        colour = _colour(action)
        parts.append(
            f'<h3><span class=action style="background:{colour}">{html.escape(action)}</span> '
            f'<span class=note>showing {_count(len(shown))} of {_count(total)}</span></h3>'
        )
        lines = []
        for record in shown:
            fields = record["fields"]
            kept = report.delimiter.join(fields) if fields is not None else None
            reason = html.escape(record["reason"] or _repair_reason(action, record["raw"], fields, report))
            rescued = (
                _fields_html(action, record["raw"], fields, report.delimiter)
                if fields is not None
                else "<span class=note>not kept</span>"
            )
            lines.append(
                f'<tr class=record data-action="{html.escape(action)}"><td class=n>{record["line"]}</td>'
                f"<td>{reason}</td><td class=raw>{_raw_html(record['raw'], kept)}</td>"
                f"<td class=fields>{rescued}</td></tr>"
            )
        parts.append(
            "<table class=records><tr><th>line</th><th>reason</th><th>original text</th><th>rescued fields</th></tr>"
            + "".join(lines)
            + "</table>"
        )
    return "".join(parts)


def _svg(figure: Any) -> str:
    out = io.StringIO()
    # Fixed margins rather than a tight box: that would draw every chart twice.
    figure.savefig(out, format="svg", metadata={"Date": None})
    text = out.getvalue()
    return text[text.index("<svg") :]


def warm_up() -> None:
    """Imports what drawing the charts needs, ahead of time (from a thread while a run reads).

    Importing matplotlib takes most of a second, as long as drawing the
    charts; a command that will write a report does it while the native
    pass works without the GIL.
    """
    try:
        import matplotlib.backends.backend_svg  # noqa: F401
        import matplotlib.figure  # noqa: F401
    except ImportError:
        pass  # require_matplotlib() says what is missing


def require_matplotlib() -> None:
    """Raises :class:`MissingExtraError` naming the extra to install when matplotlib is missing.

    Looks without importing, which takes long: see :func:`warm_up`.
    """
    try:
        found = importlib.util.find_spec("matplotlib") is not None
    except (ImportError, ValueError):
        found = False
    if not found:
        raise MissingExtraError(
            "the HTML report draws its charts with matplotlib, which is not installed: pip install 'rowmend[report]'"
        )


def _import_matplotlib() -> Any:
    require_matplotlib()
    try:
        import matplotlib
        import matplotlib.figure  # noqa: F401
        import matplotlib.ticker  # noqa: F401
    except ImportError as error:
        raise MissingExtraError(
            f"the HTML report draws its charts with matplotlib, which cannot be imported ({error}): "
            "pip install 'rowmend[report]'"
        ) from None
    return matplotlib


def _charts_html(report: Report) -> str:
    matplotlib = _import_matplotlib()
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    with matplotlib.rc_context({"svg.fonttype": "path", "svg.hashsalt": "rowmend", "font.size": 9}):
        return _where_chart(report, Figure, MaxNLocator) + _reasons_chart(report, Figure)


def _where_chart(report: Report, figure_class: Any, MaxNLocator: Any) -> str:
    histogram = report.lines
    if histogram is None or not histogram.totals():
        return "<p class=note>No row was repaired or set aside: nothing to place.</p>"
    series: Dict[str, List[int]] = {}
    for action, bins in histogram.counts.items():
        group = series.setdefault(_group(action), [0] * histogram.bins)
        for index, count in enumerate(bins):
            group[index] += count
    edges = [index * histogram.bin_lines + 1 for index in range(histogram.bins + 1)]
    edges[-1] = max(edges[-2] + 1, histogram.last_line + 1)
    figure = figure_class(figsize=(9, 2.8))
    figure.subplots_adjust(left=0.07, right=0.98, bottom=0.18, top=0.9)
    axes = figure.subplots()
    base = [0] * histogram.bins
    for name, counts in series.items():
        if not any(counts):
            continue
        top = [b + c for b, c in zip(base, counts)]
        axes.stairs(top, edges, baseline=base, fill=True, color=_colour(name), label=f"{name} ({_count(sum(counts))})")
        base = top
    # A rug under the axis, so that a lone row in a long file still shows;
    # where problems are everywhere, the bars show them well enough.
    peak = max(base)
    for offset, (name, counts) in enumerate((n, c) for n, c in series.items() if any(c)):
        where = [edges[i] + histogram.bin_lines / 2 for i, count in enumerate(counts) if count]
        if len(where) > 32:
            continue
        axes.plot(where, [-peak * (0.06 + 0.05 * offset)] * len(where), "|", color=_colour(name), markersize=6)
    axes.axhline(0, color="#999", linewidth=0.5)
    span = edges[-1] - 1
    axes.set_xlim(1 - span * 0.01, edges[-1] + span * 0.01)
    axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_yticks([tick for tick in axes.get_yticks() if 0 <= tick <= peak * 1.05])
    axes.set_xlabel(f"line in the input ({_count(histogram.bin_lines)} lines per bar)")
    axes.set_ylabel("rows")
    axes.set_title("Where the problems sit", loc="left")
    axes.legend(loc="lower right", bbox_to_anchor=(1, 1), ncol=4, frameon=False, borderaxespad=0.2)
    return _svg(figure)


def _reasons_chart(report: Report, figure_class: Any) -> str:
    totals = action_totals(report)
    if not totals:
        return ""
    names = sorted(totals, key=lambda name: totals[name])
    height = 1.1 + 0.3 * len(names)
    figure = figure_class(figsize=(9, height))
    figure.subplots_adjust(left=0.16, right=0.98, bottom=0.5 / height + 0.05, top=1 - 0.3 / height)
    axes = figure.subplots()
    bars = axes.barh(names, [totals[name] for name in names], color=[_colour(name) for name in names])
    axes.bar_label(bars, labels=[_count(totals[name]) for name in names], padding=3)
    axes.set_xlabel("rows")
    axes.set_title("What was done, and why", loc="left")
    axes.margins(x=0.12)
    return _svg(figure)


def report_page(report: Report, *, rows: int = 100, title: str = "rowmend report") -> str:
    """The report as a complete, self-contained HTML page.

    Raises:
        MissingExtraError: matplotlib is not installed.
        ValueError: ``rows`` is negative.
    """
    if rows < 0:
        raise ValueError(f"rows must be at least 0, not {rows}")
    charts = _charts_html(report)
    escaped = html.escape(title)
    return (
        "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{escaped}</title><style>body{{margin:1.5em;background:#fff}}{_STYLE}</style></head>"
        f'<body><div class="rowmend-report"><h1>{escaped}</h1>'
        f"<h2>Summary</h2>{_summary_html(report)}"
        f"<h2>Where and why</h2><div class=charts>{charts}</div>"
        f"<h2>Rows repaired and set aside</h2>{_records_html(report, rows)}"
        "</div></body></html>\n"
    )


def report_fragment(report: Report, *, rows: int = 5) -> str:
    """The summary and the first ``rows`` records of each action, for a notebook's output cell."""
    return (
        f'<div class="rowmend-report"><style>{_STYLE}</style><strong>rowmend report</strong>'
        f"{_summary_html(report)}{_records_html(report, rows)}</div>"
    )
