"""Turns the results.json that run.py writes into results.md and chart.png."""

from __future__ import annotations

MB = 1_000_000
KIND_TITLES = {
    "clean_narrow": "Clean narrow (5 short fields)",
    "messy": "Messy (5% of rows damaged: ragged, stray quotes, blank lines, invalid UTF-8)",
    "clean_wide": "Clean wide (50 fields)",
    "quote_heavy": "Quote-heavy (embedded delimiters, doubled quotes, line breaks)",
    "pathological_quotes": "Pathological: one 10 MB line full of stray quotes",
    "pathological_unterminated": "Pathological: one unterminated quoted field of 10 MB",
}
KIND_ORDER = list(KIND_TITLES)


def _fmt_s(s: float) -> str:
    return f"{s:.3f}" if s < 10 else f"{s:.1f}"


def _verdict(value: float | None, limit: float, at_most: bool) -> tuple[str, str]:
    if value is None:
        return "not measured", ""
    ok = value <= limit if at_most else value >= limit
    if at_most:
        margin = (limit - value) / limit * 100 if ok else (value - limit) / limit * 100
    else:
        margin = (value - limit) / limit * 100 if ok else (limit - value) / limit * 100
    word = "met" if ok else "**missed**"
    if ok:
        how = f"{margin:.0f}% headroom"
    else:
        how = f"{margin:.0f}% over the limit" if at_most else f"{margin:.0f}% below the target"
    return word, how


def _entries(res: dict) -> dict[tuple[str, int], dict]:
    return {(e["kind"], e["mb"]): e for e in res.get("files", [])}


def _ok(entry: dict | None, name: str) -> dict | None:
    if not entry:
        return None
    r = entry["results"].get(name)
    return r if r and r["status"] == "ok" else None


def _fastest(result: dict) -> float:
    return min(r["seconds"] for r in result["runs"] if r["status"] == "ok")


SHAPES = ("clean_narrow", "clean_wide", "quote_heavy", "messy")
DEFAULT_THREAD_PEERS = ["polars", "duckdb"]


def targets(res: dict, single_peers: list[str], all_peers: list[str]) -> list[list[str]]:
    """One row per target and dataset: what, measured, verdict, margin."""
    rows = []
    ents = _entries(res)
    big = sorted({(k, mb) for (k, mb) in ents if k in SHAPES and mb >= 200}, key=lambda t: (t[1], SHAPES.index(t[0])))
    for kind, mb in big:
        e = ents[(kind, mb)]
        sf = _ok(e, "salvage_file")
        if not sf:
            rows.append([f"salvage_file on {kind} {mb} MB", "did not finish", "**missed**", ""])
            continue
        fl = _ok(e, "floor")
        if fl:
            # The floor is the noisiest contender (writes into the page cache),
            # so the ratio of the fastest runs is shown beside the medians'.
            for name in ("salvage_file", "clean"):
                r = _ok(e, name)
                if r:
                    v = r["seconds"] / fl["seconds"]
                    rows.append([f"{kind} {mb} MB: {name} <= 1.5x I/O floor",
                                 f"{v:.2f}x (fastest runs: {_fastest(r) / _fastest(fl):.2f}x)",
                                 *_verdict(v, 1.5, True)])
        def against_peers(peers: list[str], ours: dict, what: str) -> None:
            done = [(p, _ok(e, p)) for p in peers if _ok(e, p)]
            if done:
                p, best = min(done, key=lambda t: t[1]["seconds"])
                v = best["seconds"] / ours["seconds"]
                rows.append([f"{kind} {mb} MB: {what}", f"{v:.2f}x ({p})", *_verdict(v, 2.0, False)])

        against_peers(DEFAULT_THREAD_PEERS, sf, ">= 2x faster than the fastest peer at its default threads")
        one = _ok(e, "salvage_file_1t")
        if one:
            v = sf["seconds"] / one["seconds"]
            digest = sf["info"].get("digest")
            same = digest is not None and digest == one["info"].get("digest")
            rows.append([f"{kind} {mb} MB: two CPUs <= 0.6x the one-CPU time",
                         f"{v:.2f}x (fastest runs: {_fastest(sf) / _fastest(one):.2f}x); output "
                         + ("byte-identical" if same else "**differs**"),
                         *_verdict(v if same else 99.0, 0.6, True)])
            against_peers(single_peers, one, "one CPU >= 2x faster than the fastest single-thread peer")
        v = sf["peak_rss"] / e["bytes"]
        rows.append([f"{kind} {mb} MB: salvage_file peak RSS <= 2.5x input", f"{v:.2f}x",
                     *_verdict(v, 2.5, True)])
        rd = _ok(e, "reader")
        if rd:
            v = rd["peak_rss"] / e["bytes"]
            rows.append([f"{kind} {mb} MB: SalvageReader peak RSS <= 3x input", f"{v:.2f}x",
                         *_verdict(v, 3.0, True)])
    for kind in ("clean_narrow", "messy"):
        a, b = _ok(ents.get((kind, 200)), "salvage_file"), _ok(ents.get((kind, 1000)), "salvage_file")
        if a and b:
            v = b["seconds"] / a["seconds"]
            rows.append([f"{kind}: 1000 MB run <= 5.5x the 200 MB run", f"{v:.2f}x", *_verdict(v, 5.5, True)])
    for kind in ("pathological_quotes", "pathological_unterminated"):
        for (k, mb), e in sorted(ents.items()):
            if k != kind:
                continue
            clean = ents.get(("clean_narrow", mb))
            sp, sc = _ok(e, "salvage_file"), _ok(clean, "salvage_file")
            what = f"{kind} {mb} MB: time per byte <= 3x clean narrow {mb} MB"
            if sp and sc:
                v = (sp["seconds"] / e["bytes"]) / (sc["seconds"] / clean["bytes"])
                rows.append([what, f"{v:.2f}x", *_verdict(v, 3.0, True)])
            else:
                st = e["results"].get("salvage_file", {}).get("status", "missing")
                rows.append([what, st, "**missed**" if st != "missing" else "not measured", ""])
    rv = res.get("reader_vs_csv")
    if rv:
        rows.append([f"SalvageReader construct + iterate <= csv.reader ({rv['file']})",
                     f"{rv['total_ratio']:.2f}x", *_verdict(rv["total_ratio"], 1.0, True)])
        rows.append([f"SalvageReader iterate alone <= 0.5x csv.reader ({rv['file']})",
                     f"{rv['iterate_ratio']:.2f}x", *_verdict(rv["iterate_ratio"], 0.5, True)])
        v = rv["reader_peak_rss"] / rv["bytes"]
        rows.append([f"SalvageReader peak RSS <= 3x input ({rv['file']})", f"{v:.2f}x",
                     *_verdict(v, 3.0, True)])
    return rows


def _table(header: list[str], rows: list[list[str]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out) + "\n"


def markdown(res: dict, labels: dict, single_peers: list[str], all_peers: list[str]) -> str:
    m = res["machine"]
    v = m["versions"]
    q = res.get("quiet", {})
    if q.get("quiet") is True:
        quiet = f"started once the 1-minute load had stayed below 0.7 for two 30 s polls (waited {q['waited_minutes']:.0f} min)"
    elif q.get("quiet") is False:
        quiet = (f"**the machine did not go quiet in time**: the 1-minute load never stayed below 0.7 for "
                 f"two 30 s polls in a row, so the run gave up waiting after {q['waited_minutes']:.0f} min "
                 f"(last poll {q['load']:.2f}) and measured anyway; other people's builds and tests may have "
                 "run alongside, so absolute times carry some noise (ratios, taken from alternating runs, "
                 "less so)")
    else:
        quiet = "no wait for a quiet machine (development run)"
    la, lb = res.get("load_at_start", [0, 0, 0]), res.get("load_at_end", [0, 0, 0])
    parts = [
        "# Benchmarks\n\n",
        "Generated by `bench/run.py` (inputs from `bench/generate.py`); see the end of this page to reproduce.\n\n",
        "## Machine and run\n\n",
        _table(["", ""], [
            ["CPU", f"{m['cpu']}, {m['cores']} cores"],
            ["RAM", f"{m['ram_bytes'] / 2**30:.1f} GiB"],
            ["Kernel", f"Linux {m['kernel']}"],
            ["Python", v.get("python", "")],
            ["Peers", ", ".join(f"{k} {v[k]}" for k in ("polars", "duckdb", "pandas", "clevercsv") if k in v)],
            ["Module", f"_rowmend_backend {v.get('_rowmend_backend', '')} (Release build, commit {m['commit']})"],
            ["When", f"{res['started']} to {res.get('finished', '')}"],
            ["Load", f"{quiet}; load average at start {la[0]:.2f}, at end {lb[0]:.2f}"],
            ["Method", f"one fresh process per measurement, contenders alternating, {res['reps']} repetitions, "
                       "median; page cache warmed before each round; time measured inside the child around "
                       "the work (imports excluded); peak RSS = the child's own high-water mark (VmHWM, read by the "
                       "child as it ends; the ru_maxrss that wait4() returns is recorded too, in results.json, "
                       "but Linux carries it over from the parent across exec(), so it reports the runner's "
                       "own peak for small children)"],
        ]),
        "\nHow to read the tables: **ratio = contender time / salvage_file time** on the same file in the same "
        "run, so 2.00x means the contender took twice as long as `salvage_file`; below 1 it was faster. "
        "Peak RSS is per process and includes the interpreter and the contender's own imports "
        "(about 10 MB for plain Python, 60 to 120 MB with pandas, Polars or DuckDB loaded).\n",
        "\nContenders:\n\n",
    ]
    desc = {
        "salvage_file": "`salvage_file(input, output)` with default options (sniffed delimiter, inferred columns, "
                        "ragged rows filled, overflow merged, quotes repaired, no quarantine file).",
        "salvage_file_1t": "the same call in a process pinned to one CPU (`os.sched_setaffinity`, as "
                           "`taskset -c 0`), so it writes on its own thread.",
        "clean": "`rowmend.clean(input, output)` with the package's defaults (detected encoding and layout, "
                 "blank and comment lines set aside), written atomically.",
        "floor": "a copy of the file through one 1 MiB buffer (`readinto`, `write`) into a new file: what any "
                 "tool must at least pay.",
        "polars": "`pl.read_csv(p, infer_schema=False)` (all columns as strings) then `write_csv`; on messy and "
                  "pathological inputs also `truncate_ragged_lines=True, ignore_errors=True, encoding='utf8-lossy'`. "
                  "Default thread pool (both cores).",
        "polars_1t": "the same with `POLARS_MAX_THREADS=1`.",
        "polars_noquote_1t": "messy data only: the 1-thread Polars call plus `quote_char=None`, the way past "
                             "Polars' \"not properly escaped\" refusal, which `ignore_errors=True` does not "
                             "lift; quote characters then stay in the fields as literal bytes, so its output "
                             "differs from the others'.",
        "duckdb": "`COPY (SELECT * FROM read_csv(p, all_varchar=true)) TO out (FORMAT csv, HEADER true)`, "
                  "plus `ignore_errors=true, null_padding=true` on messy and pathological inputs (DuckDB refuses "
                  "`null_padding` together with quoted line breaks in its parallel reader, so the quote-heavy "
                  "file runs without it); default threads (both cores).",
        "duckdb_1t": "the same after `SET threads = 1`.",
        "pandas": "`pd.read_csv(p, dtype=str, keep_default_na=False, on_bad_lines='skip', "
                  "encoding_errors='replace')` then `to_csv(index=False)`.",
        "csv": "`csv.writer(out).writerows(csv.reader(f))`, text opened as UTF-8 with `errors='replace'`.",
        "reader": "`for row in SalvageReader(p): pass`: construction plus full iteration, no output file "
                  "(run on clean narrow and messy for its memory target).",
    }
    parts.append("\n".join(f"- **{labels[k]}**: {desc[k]}" for k in desc) + "\n")
    parts.append("\nThe peers skip or truncate what they cannot parse, so their output can be smaller than "
                 "`salvage_file`'s (see the output sizes under each table); `salvage_file` keeps every row.\n")

    parts.append("\n## Targets\n\n")
    parts.append("Targets apply to every generated shape at 200 MB and up, warm cache. `salvage_file` and "
                 "`rowmend.clean` run with their defaults, which use both CPUs (the clean file is written by "
                 "a thread of its own); they are judged against the I/O floor and against Polars and DuckDB "
                 "at their default thread counts. `salvage_file` pinned to one CPU (as `taskset -c 0`) is "
                 "judged against the two-CPU run (same output bytes, compared by hash) and against the "
                 "single-thread peers.\n\n")
    parts.append(_table(["Target", "Measured", "Verdict", "Margin"], targets(res, single_peers, all_peers)))

    spread = []
    for e in res.get("files", []):
        fl = _ok(e, "floor")
        sf = _ok(e, "salvage_file")
        if fl and sf and e["mb"] >= 100:
            f_runs = [r["seconds"] for r in fl["runs"] if r["status"] == "ok"]
            s_runs = [r["seconds"] for r in sf["runs"] if r["status"] == "ok"]
            spread.append(f"{e['kind']} {e['mb']} MB: floor {min(f_runs):.2f} to {max(f_runs):.2f} s, "
                          f"salvage_file {min(s_runs):.2f} to {max(s_runs):.2f} s")
    if spread:
        parts.append("\nThe I/O floor is by far the noisiest measurement on this virtual machine: a copy of the "
                     "file into a new file goes at the speed the page cache takes dirty pages, which varies a "
                     "lot between repetitions and sizes (fast for 200 MB, slow and uneven for 1 GB). Its median "
                     "can therefore land above `salvage_file`'s time. Spread of the repetitions:\n\n"
                     + "\n".join(f"- {x}" for x in spread) + "\n")

    rv = res.get("reader_vs_csv")
    if rv:
        parts.append("\n## SalvageReader against csv.reader\n\n")
        parts.append(f"`bench/reader_vs_csv.py` over `{rv['file']}` ({rv['bytes'] / MB:.0f} MB, {rv['rows']:,} rows), "
                     f"one fresh process per measurement, alternating, median of {rv['reps']}.\n\n")
        parts.append(_table(["Measurement", "Seconds", "Ratio to csv.reader", "Peak RSS"], [
            ["`csv.reader` (open with newline='', iterate all rows)", _fmt_s(rv["csv_seconds"]), "1.00x",
             f"{rv['csv_peak_rss'] / MB:.0f} MB"],
            ["`SalvageReader(p)` construction + full iteration", _fmt_s(rv["reader_total_seconds"]),
             f"{rv['total_ratio']:.2f}x", f"{rv['reader_peak_rss'] / MB:.0f} MB"],
            ["  of which construction (read + salvage)", _fmt_s(rv["reader_construct_seconds"]),
             f"{rv['reader_construct_seconds'] / rv['csv_seconds']:.2f}x", ""],
            ["  of which iteration alone", _fmt_s(rv["reader_iterate_seconds"]), f"{rv['iterate_ratio']:.2f}x", ""],
        ]))

    parts.append("\n## File salvage, side by side\n")
    ents = _entries(res)
    kinds = [k for k in KIND_ORDER if any(e["kind"] == k for e in res["files"])]
    for kind in kinds:
        rows_e = sorted((e for e in res["files"] if e["kind"] == kind), key=lambda e: e["mb"])
        names = [n for n in labels if any(n in e["results"] for e in rows_e)]
        parts.append(f"\n### {KIND_TITLES[kind]}\n\n")
        trows, mrows, notes = [], [], []
        for e in rows_e:
            sf = _ok(e, "salvage_file")
            t, mm = [f"{e['mb']} MB"], [f"{e['mb']} MB"]
            for n in names:
                r = e["results"].get(n)
                if not r:
                    t.append("")
                    mm.append("")
                elif r["status"] == "ok":
                    ratio = f"{r['seconds'] / sf['seconds']:.2f}x " if sf and n != "salvage_file" else ""
                    t.append(f"{ratio}({_fmt_s(r['seconds'])} s)")
                    mm.append(f"{r['peak_rss'] / MB:.0f} MB ({r['peak_rss'] / e['bytes']:.1f}x)")
                else:
                    word = {"skipped": "skipped", "timeout": f"timed out (> {e.get('timeout', res['timeout']):.0f} s)",
                            "error": "failed"}[r["status"]]
                    t.append(word)
                    mm.append(word)
                    if r.get("error") and r["status"] != "timeout":
                        # Error texts quote the input back; keep them from breaking the markup.
                        err = r["error"].replace("`", "'").replace("|", "\\|")
                        notes.append(f"{e['mb']} MB, {labels[n]}: {err}")
            trows.append(t)
            mrows.append(mm)
        hdr = ["Size"] + [labels[n] for n in names]
        parts.append("Time: ratio to salvage_file (median seconds)\n\n" + _table(hdr, trows))
        parts.append("\nPeak RSS (multiple of the input size)\n\n" + _table(hdr, mrows))
        last = rows_e[-1]
        outs = [f"{labels[n]} {last['results'][n]['out_bytes'] / MB:.1f} MB"
                for n in names if _ok(last, n) and n != "reader"]
        if outs:
            parts.append(f"\nOutput written at {last['mb']} MB: " + "; ".join(outs) + ".\n")
        sf = _ok(last, "salvage_file")
        if sf:
            i = sf["info"]
            parts.append(f"\n`salvage_file` summary at {last['mb']} MB: {i.get('total_rows', '?'):,} rows, "
                         f"{i.get('repaired_rows', 0):,} repaired, {i.get('quarantined_rows', 0):,} quarantined, "
                         f"{i.get('inferred_columns', '?')} columns.\n")
        if notes:
            parts.append("\n" + "\n".join(f"- {n}" for n in notes) + "\n")

    sn = res.get("sniff")
    if sn:
        parts.append("\n## sniff\n\n")
        parts.append(f"Every file of the messy corpus ({sn['files']} files), the first {sn['chars']:,} characters "
                     "of each (decoded as UTF-8 with replacement) handed to each sniffer; one process per sniffer "
                     f"and repetition, {sn['reps']} repetitions alternating, median per file. \"Gave up\" counts "
                     "exceptions (csv.Sniffer's \"Could not determine delimiter\") and empty answers. The corpus "
                     "manifest's delimiter column is a rough guess by a script, not ground truth; agreement with it "
                     "is shown only as a second opinion.\n\n")
        rows = []
        base = sn["sniffers"]["rowmend"]["mean_seconds"]
        names = {"rowmend": "`_rowmend_backend.sniff`", "csv": "`csv.Sniffer().sniff`",
                 "clevercsv": "CleverCSV `Sniffer().sniff`"}
        for k, s in sn["sniffers"].items():
            rows.append([names[k], f"{s['mean_seconds'] * 1e6:,.0f} µs", f"{s['median_seconds'] * 1e6:,.0f} µs",
                         f"{s['max_seconds'] * 1e3:,.1f} ms", f"{s['mean_seconds'] / base:.1f}x",
                         f"{s['agrees_with_rowmend']} / {sn['files']}", str(s["gave_up"]),
                         f"{s['agrees_with_manifest']} / {s['manifest_files']}"])
        parts.append(_table(["Sniffer", "Mean per file", "Median per file", "Slowest file", "Mean ratio to rowmend",
                             "Agrees with rowmend", "Gave up", "Agrees with manifest guess"], rows))

    parts.append("\n## Chart\n\n![salvage_file against peers](chart.png)\n")
    parts.append("\n## Reproduce\n\n```sh\npip install -r bench/requirements.txt\n"
                 "cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release && ninja -C build-bench _rowmend_backend\n"
                 "python bench/generate.py                      # about 2.7 GB in bench/data/\n"
                 "PYTHONPATH=build-bench python bench/run.py --wait-quiet\n"
                 "PYTHONPATH=build-bench python bench/reader_vs_csv.py --mb 100\n```\n")
    return "".join(parts)


COLORS = {
    "salvage_file": "black", "salvage_file_1t": "#555555", "clean": "#8c564b", "floor": "#999999", "polars": "#1f77b4", "polars_1t": "#aec7e8",
    "polars_noquote_1t": "#17becf", "duckdb": "#ff7f0e", "duckdb_1t": "#ffbb78", "pandas": "#2ca02c",
    "csv": "#d62728", "reader": "#9467bd",
}


def chart(res: dict, labels: dict, path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    ents = _entries(res)
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(16, 6.5), gridspec_kw={"width_ratios": [1.3, 1]})
    kinds = [k for k in KIND_ORDER if any(k == e["kind"] for e in res["files"])]
    largest = [max((e for e in res["files"] if e["kind"] == k), key=lambda e: e["mb"]) for k in kinds]
    peers = ["salvage_file_1t", "clean", "floor", "polars", "polars_1t", "polars_noquote_1t", "duckdb",
             "duckdb_1t", "pandas", "csv"]
    width = 0.8 / len(peers)
    for i, n in enumerate(peers):
        xs, ys = [], []
        for j, e in enumerate(largest):
            sf, r = _ok(e, "salvage_file"), _ok(e, n)
            if sf and r:
                xs.append(j + (i - len(peers) / 2 + 0.5) * width)
                ys.append(r["seconds"] / sf["seconds"])
        if xs:
            ax1.bar(xs, ys, width, label=labels[n], color=COLORS[n])
    ax1.axhline(1.0, color="black", linewidth=1)
    ax1.set_yscale("log")
    ax1.set_xticks(range(len(largest)))
    ax1.set_xticklabels([f"{e['kind'].replace('pathological_', 'patho. ').replace('_', ' ')}\n{e['mb']} MB"
                         for e in largest], fontsize=8)
    ax1.set_ylabel("time / salvage_file time (log scale; above 1 = slower than salvage_file)")
    ax1.set_title("Ratio to salvage_file at the largest size of each input\n(missing bar: failed, timed out or skipped)",
                  fontsize=10)
    ax1.legend(fontsize=7, loc="upper left")

    shown = []
    for n in ["salvage_file", "salvage_file_1t", "clean", "floor", "reader", "polars_1t", "duckdb_1t", "polars", "duckdb", "pandas", "csv"]:
        for kind, ls in (("clean_narrow", "-"), ("messy", "--")):
            pts = sorted((mb, _ok(e, n)["seconds"]) for (k, mb), e in ents.items() if k == kind and _ok(e, n))
            if len(pts) > 1:
                ax2.plot([p[0] for p in pts], [p[1] for p in pts], ls, marker="o", markersize=3, color=COLORS[n],
                         linewidth=2.5 if n == "salvage_file" else 1.2)
                if n not in shown:
                    shown.append(n)
    handles = [Line2D([], [], color=COLORS[n], linewidth=2.5 if n == "salvage_file" else 1.2, label=labels[n])
               for n in shown]
    handles += [Line2D([], [], color="black", linestyle="-", label="clean narrow"),
                Line2D([], [], color="black", linestyle="--", label="messy")]
    ax2.legend(handles=handles, fontsize=7, loc="upper left")
    ax2.set_xscale("log")
    ax2.set_yscale("log")
    ax2.set_xlabel("input size (MB)")
    ax2.set_ylabel("median seconds")
    ax2.set_title("Scaling on clean narrow (solid) and messy (dashed) data", fontsize=10)
    ax2.grid(True, which="both", alpha=0.3)
    m = res["machine"]
    fig.suptitle(f"rowmend benchmarks: {m['cpu']}, {m['cores']} cores, Python {m['versions'].get('python', '')}, "
                 f"{res['started']}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
