"""The rowmend command: flags from the options table, exit statuses, standard
input and output, folders and globs, JSON, quiet pipes, parallel jobs, and
what a real terminal shows."""

import bz2
import gzip
import json
import lzma
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import time
import uuid
from pathlib import Path

import pyarrow.parquet as pq
import pytest

import rowmend
import rowmend._run
from rowmend._display import inspect_tables
from rowmend._outputs import clean_name, quarantine_name
from rowmend._options import OPTIONS
from rowmend.cli import build_parser

MESSY = (Path(__file__).resolve().parents[2] / "examples" / "messy_export.csv").read_bytes()
SNAPSHOTS = Path(__file__).with_name("snapshots")

# Four data rows; the second is short, the third long: 1 quarantined or 2 repaired.
RAGGED = b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n10,11,12\n"


def rowmend_cli(*args, cwd, stdin=b""):
    """Run the command in a child process with pipes for all three streams."""
    env = {k: v for k, v in os.environ.items() if k not in ("FORCE_COLOR", "TTY_COMPATIBLE", "COLUMNS")}
    return subprocess.run([sys.executable, "-m", "rowmend", *map(str, args)], cwd=cwd, input=stdin,
                          capture_output=True, env=env, timeout=120)


def option_argv(spec):
    """Command-line words for a value other than the default, and that value."""
    if spec.kind == "flag":
        return [("--no-" if spec.default else "--") + spec.flag[2:]], not spec.default
    if spec.kind == "choice":
        word, value = next((w, v) for w, v in spec.choices if v != spec.default)
        return [spec.flag, word], value
    sample = {int: ("3", 3), str: ("|", "|")}[spec.type]
    if spec.name == "encoding":
        sample = ("latin-1", "latin-1")
    return [spec.flag, sample[0]], sample[1]


@pytest.mark.parametrize("command", ["clean", "sniff", "inspect"])
@pytest.mark.parametrize("spec", OPTIONS, ids=[spec.name for spec in OPTIONS])
def test_every_option_is_a_flag_of_every_command(command, spec):
    words, value = option_argv(spec)
    args = build_parser().parse_args([command, *words, "in.csv"])
    assert getattr(args, spec.name) == (words[-1] if spec.kind == "choice" else value)
    from rowmend.cli.arguments import reading_options

    assert reading_options(args) == {spec.name: value}
    assert reading_options(build_parser().parse_args([command, "in.csv"])) == {}  # unset: the package decides


def test_help_lists_every_option(tmp_path):
    text = rowmend_cli("clean", "--help", cwd=tmp_path).stdout.decode()
    assert all(spec.flag in text for spec in OPTIONS)
    assert "--no-merge-overflow" in text and "{auto,yes,no}" in text
    assert "\n  3    a file cannot be read or written\n  101  an internal error" in text


def files(tmp_path, **contents):
    for name, data in contents.items():
        path = tmp_path / name.replace("__", "/").replace("_", ".")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


TITLED = b"Quarterly export\n\na,b,c\n1,2,3\n4,5,6\n7,8,9\n"

# (case, files, arguments, status, what standard error says)
EXIT_CASES = [
    ("every row kept", {"a_csv": b"x,y\n1,2\n"}, ["a.csv", "-o", "out.csv"], 0, ""),
    ("repaired rows are kept", {"a_csv": RAGGED}, ["a.csv", "-o", "out.csv"], 0, ""),
    ("quarantined", {"a_csv": RAGGED}, ["a.csv", "-o", "out.csv", "--no-fill-ragged-rows"], 1,
     "a.csv: 1 of 4 rows quarantined\nrowmend: --quarantine FILE or --quarantine-dir DIR keeps"),
    ("quarantine allowed", {"a_csv": RAGGED}, ["a.csv", "-o", "o.csv", "--no-fill-ragged-rows", "--allow-quarantine"],
     0, ""),
    ("within --max-quarantined", {"a_csv": RAGGED},
     ["a.csv", "-o", "o.csv", "--no-fill-ragged-rows", "--max-quarantined", "25%"], 0, ""),
    ("over --max-quarantined", {"a_csv": RAGGED},
     ["a.csv", "-o", "o.csv", "--no-fill-ragged-rows", "--max-quarantined", "20%", "--quarantine", "q.csv"], 1,
     "a.csv: 1 of 4 rows quarantined, more than --max-quarantined 20%"),
    ("over --max-repaired", {"a_csv": RAGGED}, ["a.csv", "-o", "o.csv", "--max-repaired", "1"], 1,
     "a.csv: 2 of 4 rows repaired, more than --max-repaired 1"),
    ("within --max-repaired", {"a_csv": RAGGED}, ["a.csv", "-o", "o.csv", "--max-repaired", "50%"], 0, ""),
    ("several inputs, no --output-dir", {"a_csv": b"x\n", "b_csv": b"y\n"}, ["a.csv", "b.csv"], 2,
     "2 inputs need --output-dir"),
    ("unusable option", {"a_csv": b"x\n"}, ["a.csv", "--delimiter", ";;"], 2, "delimiter must be one character"),
    ("unusable limit", {"a_csv": b"x\n"}, ["a.csv", "--max-repaired", "lots"], 2, "--max-repaired"),
    *[(f"limit {limit}", {"a_csv": b"x\n"}, ["a.csv", "--max-quarantined", limit], 2,
       "--max-quarantined: expected a count or a percentage")
      for limit in ("nan%", "inf%", "NaN", "101%", "-1")],
    # A title and a blank line set aside, three data rows: 2 of 5 rows.
    ("within --max-skipped", {"a_csv": TITLED}, ["a.csv", "-o", "o.csv", "--max-skipped", "2"], 0, ""),
    ("over --max-skipped", {"a_csv": TITLED}, ["a.csv", "-o", "o.csv", "--max-skipped", "1"], 1,
     "a.csv: 2 of 5 rows set aside as not part of the table, more than --max-skipped 1"),
    ("within --max-skipped %", {"a_csv": TITLED}, ["a.csv", "-o", "o.csv", "--max-skipped", "40%"], 0, ""),
    ("over --max-skipped %", {"a_csv": TITLED}, ["a.csv", "-o", "o.csv", "--max-skipped", "39.5%"], 1,
     "more than --max-skipped 39.5%"),
    ("inspect over --max-skipped", {"a_csv": TITLED}, ["inspect", "a.csv", "--max-skipped", "0"], 1,
     "a.csv: 2 of 5 rows set aside"),
    ("--max-skipped not a count", {"a_csv": TITLED}, ["a.csv", "--max-skipped", "most"], 2,
     "--max-skipped: expected a count or a percentage such as 5%, not 'most'"),
    ("--max-skipped below 0", {"a_csv": TITLED}, ["a.csv", "--max-skipped", "-1"], 2, "--max-skipped"),
    ("--max-skipped over 100%", {"a_csv": TITLED}, ["a.csv", "--max-skipped", "101%"], 2, "from 0% to 100%"),
    ("--max-skipped nan%", {"a_csv": TITLED}, ["a.csv", "--max-skipped", "nan%"], 2, "not 'nan%'"),
    ("--json with rows on standard output", {"a_csv": b"x\n"}, ["a.csv", "--json"], 2, "--json"),
    ("pattern matching nothing", {}, ["*.csv", "--output-dir", "out"], 2, "*.csv: the pattern names no CSV file"),
    ("compressed file in place", {"a_csv_gz": gzip.compress(b"x\n", mtime=0)}, ["a.csv.gz", "--in-place"], 2,
     "a.csv.gz: --in-place cannot rewrite a compressed file"),
    ("two inputs, one output name", {"d1__a_csv": b"x\n", "d2__a_csv": b"y\n"}, ["d1", "d2", "--output-dir", "o"], 2,
     "d1/a.csv and d2/a.csv would both write o/a.csv"),
    ("missing input", {}, ["missing.csv", "-o", "out.csv"], 3, "missing.csv: No such file or directory"),
    ("output folder is a file", {"a_csv": b"x\n", "taken": b""}, ["a.csv", "--output-dir", "taken"], 3, "taken:"),
    ("corrupt gzip", {"a_csv_gz": gzip.compress(b"x,y\n" * 1000, mtime=0)[:-30]}, ["a.csv.gz", "-o", "out.csv"], 3,
     "'a.csv.gz' is a truncated gzip stream"),
    # Over several files the highest priority wins: 3, then 2, then 1.
    ("quarantined and a ZIP archive", {"a_csv": RAGGED, "b_zip": b"PK\x03\x04rest"},
     ["a.csv", "b.zip", "--output-dir", "o", "--no-fill-ragged-rows"], 2, "'b.zip' is a ZIP archive"),
    ("quarantined, ZIP and missing", {"a_csv": RAGGED, "b_zip": b"PK\x03\x04rest"},
     ["a.csv", "b.zip", "missing.csv", "--output-dir", "o", "--no-fill-ragged-rows"], 3, "missing.csv"),
    ("sniff of a missing file", {"a_csv": b"x\n"}, ["sniff", "a.csv", "missing.csv"], 3, "missing.csv"),
    ("inspect finds quarantined rows", {"a_csv": RAGGED}, ["inspect", "a.csv", "--no-merge-overflow"], 1,
     "a.csv: 1 of 4 rows quarantined"),
    # Each message names the flag as typed and the fix, in the command line's words.
    ("quotes as text", {"a_csv": b'a,b\n"x,y\n'}, ["a.csv", "-o", "o.csv", "--quote-char", "none"], 0, ""),
    ("an escape that is no word", {"a_csv": b"x\n"}, ["a.csv", "--escape-char", "nonee"], 2,
     "rowmend clean: error: --escape-char must be one character (auto to detect it or none for no escape), "
     "not 'nonee' (see rowmend clean --help)\n"),
    ("two output delimiter characters", {"a_csv": b"x\n"}, ["a.csv", "--output-delimiter", "ab"], 2,
     "--output-delimiter must be one character (leave --output-delimiter out to keep the input's delimiter), "
     "not 'ab'"),
    ("no delimiter at all", {"a_csv": b"x\n"}, ["a.csv", "--delimiter", "none"], 2,
     "--delimiter cannot be turned off: give one character, or auto to detect it"),
    ("a footer that is no count", {"a_csv": b"x\n"}, ["a.csv", "--skip-footer", "x"], 2,
     "argument --skip-footer: expected section, auto, none or a count, not 'x'"),
    ("types for a CSV file", {"a_csv": b"x\n"}, ["a.csv", "-o", "o.csv", "--dtypes", "infer"], 2,
     "--dtypes infer applies to Parquet output, and the clean file of a.csv (o.csv) is CSV: add --format parquet, "
     "or leave --dtypes infer out"),
    ("line numbers on standard output", {"a_csv": b"x\n"}, ["a.csv", "--line-numbers"], 2,
     "the clean file of a.csv (standard output) is CSV"),
    ("sniff of an empty file", {"e_csv": b""}, ["sniff", "e.csv"], 0, "rowmend: e.csv: note: no rows"),
]


@pytest.mark.parametrize("contents, argv, status, message", [case[1:] for case in EXIT_CASES],
                         ids=[case[0] for case in EXIT_CASES])
def test_exit_status_and_one_line_errors(tmp_path, contents, argv, status, message):
    files(tmp_path, **contents)
    command = [] if argv[0] in ("sniff", "inspect") else ["clean"]
    result = rowmend_cli(*command, *argv, cwd=tmp_path)
    stderr = result.stderr.decode()
    assert result.returncode == status, stderr
    assert message in stderr
    assert "Traceback" not in stderr
    if status >= 2:
        assert all(line.startswith("rowmend") for line in stderr.splitlines()), stderr
    if not message:
        assert stderr == ""


def test_debug_shows_the_traceback(tmp_path):
    result = rowmend_cli("clean", "missing.csv", "-o", "out.csv", "--debug", cwd=tmp_path)
    assert result.returncode == 3 and "Traceback" in result.stderr.decode()



@pytest.mark.parametrize("flags, said, answers", [
    ([], ["1 of 4 rows quarantined", "--quarantine FILE or --quarantine-dir DIR keeps"], 1),
    (["-q"], [], 1),
    (["-v"], ["cleaning 1 file in 1 process", "1 of 4 rows quarantined",
              "4 rows read: 3 kept (1 repaired), 1 quarantined, 0 set aside; delimiter ',', 3 columns, utf-8",
              "--quarantine FILE or --quarantine-dir DIR keeps"], 1),
    (["-q", "missing.csv"], ["error: missing.csv: No such file or directory"], 1),
    (["-q", "in.csv", "--layout", "missing.json"], ["error: missing.json: No such file or directory"], 0),
])
def test_one_printer_decides_what_each_level_says(tmp_path, flags, said, answers):
    """Errors whatever the level, the rest unless -q, a line per file with -v; the JSON answer always."""
    (tmp_path / "in.csv").write_bytes(RAGGED)
    inputs = [] if any(flag.endswith(".csv") for flag in flags) else ["in.csv"]
    result = rowmend_cli("clean", *inputs, *flags, "-o", "out.csv", "--no-fill-ragged-rows", "--json", cwd=tmp_path)
    lines = result.stderr.decode().splitlines()
    assert len(lines) == len(said) and all(text in line for text, line in zip(said, lines)), lines
    assert [json.loads(line)["status"] for line in result.stdout.splitlines()] == [result.returncode] * answers

class Fault(BaseException):
    """As the engine reports a broken invariant: no ordinary error."""


@pytest.mark.parametrize("raised, message", [
    (RuntimeError("boom"), "in.csv: internal error, RuntimeError: boom (a fault of rowmend: --debug shows where)"),
    (MemoryError(), "in.csv: out of memory"),
    (Fault("invariant"), "internal error, Fault: invariant"),
])
@pytest.mark.parametrize("command", [["clean", "in.csv", "-o", "out.csv"], ["inspect", "in.csv"]])
def test_a_fault_of_rowmend_is_told_apart_from_a_file_that_cannot_be_read(
    tmp_path, monkeypatch, capsys, raised, message, command
):
    from rowmend.cli import main

    (tmp_path / "in.csv").write_bytes(RAGGED)
    monkeypatch.chdir(tmp_path)

    def fail(run):
        raise raised

    monkeypatch.setattr(rowmend._run.Run, "finish", fail)
    assert main(command) == 101
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize("argv, stdin, want", [
    (["-"], MESSY, "clean"),                                         # standard input to standard output
    (["in.csv"], b"", "clean"),                                      # one input, no -o
    (["-", "-o", "-"], MESSY, "clean"),
    (["in.csv", "-o", "out.csv", "--quarantine", "-", "--no-fill-ragged-rows"], b"", "quarantine"),
])
def test_standard_input_and_output(tmp_path, argv, stdin, want):
    (tmp_path / "in.csv").write_bytes(MESSY)
    options = {"fill_ragged_rows": False} if "--no-fill-ragged-rows" in argv else {}
    rowmend.clean(tmp_path / "in.csv", tmp_path / "want.csv", quarantine=tmp_path / "want-q.csv", **options)
    result = rowmend_cli("clean", *argv, cwd=tmp_path, stdin=stdin)
    assert result.returncode == (1 if options else 0)
    expected = (tmp_path / ("want.csv" if want == "clean" else "want-q.csv")).read_bytes()
    assert result.stdout == expected
    assert "Göteborg".encode() in (tmp_path / "want.csv").read_bytes()


def compressed_tree(tmp_path):
    import zstandard

    data = {"a.csv": RAGGED, "b.csv.gz": gzip.compress(MESSY, mtime=0), "c.tsv.bz2": bz2.compress(b"p\tq\n1\t2\n"),
            "d.txt.xz": lzma.compress(b"k|v\n1|2\n"), "e.csv.zst": zstandard.compress(b"x,y\n1\n"),
            "notes.md": b"not a CSV", "sub/f.csv": b"f\n1\n"}
    for name, content in data.items():
        (tmp_path / "in" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "in" / name).write_bytes(content)


@pytest.mark.parametrize("inputs, names", [
    (["in"], ["a.csv", "b.csv", "c.tsv", "d.txt", "e.csv"]),
    (["in/*.gz", "in/*.bz2"], ["b.csv", "c.tsv"]),
    (["in/**/*.csv"], ["a.csv", "f.csv"]),
    (["in/sub", "in/a.csv"], ["f.csv", "a.csv"]),
])
def test_folders_and_globs_expand_to_csv_files(tmp_path, inputs, names):
    compressed_tree(tmp_path)
    result = rowmend_cli("clean", *inputs, "--output-dir", "out", "--quarantine-dir", "q", "--json",
                         "--no-fill-ragged-rows", "--jobs", "1", cwd=tmp_path)
    reports = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert sorted(os.listdir(tmp_path / "out")) == sorted(names)
    # A quarantine file in --quarantine-dir only for an input with rows set aside.
    quarantined = [clean_name(r["path"], None) for r in reports if r["quarantined_rows"]]
    assert quarantined and sorted(os.listdir(tmp_path / "q")) == sorted(map(quarantine_name, quarantined))
    assert [clean_name(record["path"], None) for record in reports] == names  # in the order given
    for record, name in zip(reports, names):
        want = rowmend.clean(tmp_path / record["path"], tmp_path / "want.csv", fill_ragged_rows=False)
        assert (tmp_path / "out" / name).read_bytes() == (tmp_path / "want.csv").read_bytes()
        assert record == {"path": record["path"], **want.to_dict(), "status": 1 if want.quarantined_rows else 0}
    warned = [record["path"] for record in reports if record["quarantined_rows"]]
    assert result.returncode == 1 and result.stderr.decode().count("quarantined") == len(warned) > 0


@pytest.mark.parametrize("quarantine, hints", [([], 1), (["--quarantine-dir", "q"], 0)])
def test_the_quarantine_hint_comes_once_a_run(tmp_path, quarantine, hints):
    files(tmp_path, **{f"in__{name}_csv": RAGGED for name in "abc"})
    result = rowmend_cli("clean", "in", "--output-dir", "out", "--no-fill-ragged-rows", *quarantine, cwd=tmp_path)
    stderr = result.stderr.decode()
    assert result.returncode == 1 and stderr.count("rows quarantined") == 3
    assert stderr.count("--quarantine-dir DIR keeps") == hints


def test_quiet_in_pipes_and_jobs_write_what_one_job_writes(tmp_path):
    compressed_tree(tmp_path)
    for jobs in ("1", "2"):
        result = rowmend_cli("clean", "in", "in/sub", "--output-dir", f"out{jobs}", "--quarantine-dir", f"q{jobs}",
                             "--json", "--jobs", jobs, "--allow-quarantine", cwd=tmp_path)
        assert result.returncode == 0 and result.stderr == b""  # no bar, no table, no message
        (tmp_path / f"json{jobs}").write_bytes(result.stdout)
    for name in ("json", "out", "q"):
        one, two = tmp_path / f"{name}1", tmp_path / f"{name}2"
        if one.is_dir():
            assert sorted(os.listdir(one)) == sorted(os.listdir(two))
            assert all((one / n).read_bytes() == (two / n).read_bytes() for n in os.listdir(one))
        else:
            assert one.read_bytes() == two.read_bytes()


def test_in_place_and_parquet(tmp_path):
    files(tmp_path, a_csv=b"n,x\n1,a\n2\n", b_csv=b"n;x\n3;b\n")
    result = rowmend_cli("clean", "a.csv", "b.csv", "--in-place", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "a.csv").read_bytes() == b"n,x\n1,a\n2,\n"
    result = rowmend_cli("clean", "b.csv", "a.csv", "--output-dir", "pq", "--format", "parquet", "--dtypes", "infer",
                         cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path / "pq")) == ["a.parquet", "b.parquet"]
    assert pq.read_table(tmp_path / "pq" / "b.parquet").to_pydict() == {"n": [3], "x": ["b"]}
    files(tmp_path, c_csv=b"n,x\n1,a\n2,NA\n")
    result = rowmend_cli("clean", "c.csv", "-o", "c.parquet", "--dtypes", "infer", "--nulls-in-text", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert pq.read_table(tmp_path / "c.parquet").to_pydict() == {"n": [1, 2], "x": ["a", None]}


def test_sniff_and_inspect_report_the_layout(tmp_path):
    (tmp_path / "m.csv.gz").write_bytes(gzip.compress(MESSY, mtime=0))
    sniffed = rowmend_cli("sniff", "m.csv.gz", "--json", cwd=tmp_path)
    assert json.loads(sniffed.stdout) == {
        "path": "m.csv.gz", "version": 5, "delimiter": ";", "quote_char": '"', "escape_char": None, "encoding": "utf-8",
        "compression": "gzip", "columns": 5, "header": True, "names": ["order_id", "customer", "city", "amount", "note"],
        "preamble": 0, "types": None, "trailing_delimiter": False}
    line = rowmend_cli("sniff", "m.csv.gz", "--header", "no", cwd=tmp_path).stdout.decode()
    want = "m.csv.gz  delimiter=';'  quote='\"'  encoding=utf-8  columns=5  header=no  compression=gzip\n"
    assert line == want
    inspected = rowmend_cli("inspect", "m.csv.gz", "--json", "--no-fill-ragged-rows", "--rows", "2", cwd=tmp_path)
    stream = rowmend.stream(tmp_path / "m.csv.gz", fill_ragged_rows=False, max_records=2, record_repairs=True)
    list(stream)
    assert json.loads(inspected.stdout) == {"path": "m.csv.gz", **stream.report.to_dict(), "status": 1,
                                            "header": ["order_id", "customer", "city", "amount", "note"]}
    text = rowmend_cli("inspect", "m.csv.gz", "--no-fill-ragged-rows", cwd=tmp_path).stdout.decode()
    assert "order_id, customer, city, amount, note" in text and "1003;Chen Wei;Shanghai;15,75" in text


def test_console_script_and_module_run_the_same_command(tmp_path):
    script = os.path.join(sysconfig.get_path("scripts"), "rowmend")
    version = subprocess.run([script, "--version"], capture_output=True, check=True).stdout
    assert version == rowmend_cli("--version", cwd=tmp_path).stdout == f"rowmend {rowmend.__version__}\n".encode()


def normalise(screen):
    """A terminal's text with the run's rates and times made constant."""
    screen = re.sub(r"[\d.,]+ ?(?:[kMGT]?B|bytes)/s|\? ?[kMGT]?B/s", "<bytes/s>", screen)  # a slow machine: 950 bytes/s
    screen = re.sub(r"[\d,?]+ rows/s", "<rows/s>", screen)
    screen = re.sub(r"-?\d+:\d\d:\d\d|-:--:--", "<time>", screen)
    lines = [re.sub(r" +", " ", line).rstrip() for line in screen.splitlines()]
    return "\n".join(lines).strip("\n") + "\n"


TERMINAL_CASES = {
    "many_files": ["in", "--output-dir", "out", "--no-fill-ragged-rows", "--jobs", "2"],
    "large_file": ["big.csv", "-o", "big-clean.csv"],
}


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
@pytest.mark.parametrize("case", TERMINAL_CASES)
def test_terminal_shows_progress_and_summary(tmp_path, case):
    files(tmp_path, in__a_csv=MESSY, in__b_csv_gz=gzip.compress(RAGGED, mtime=0), in__c_tsv=b"p\tq\n1\t2\n")
    if case == "large_file":  # large enough for a bar: 20 MB
        (tmp_path / "big.csv").write_bytes(b"id,name\n" + b"".join(b"%d,row %d\n" % (i, i) for i in range(1_300_000)))
    socket = f"rowmend-test-{uuid.uuid4().hex[:8]}"
    command = " ".join([sys.executable, "-m", "rowmend", "clean", *TERMINAL_CASES[case]])
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES", "NO_COLOR", "FORCE_COLOR", "TMUX")}
    tmux = ["tmux", "-L", socket, "-f", os.devnull]
    subprocess.run([*tmux, "new-session", "-d", "-x", "100", "-y", "40", "-c", str(tmp_path),
                    f"{command}; echo exit $?; sleep 120"], env=env, check=True)
    try:
        deadline = time.monotonic() + 60
        while True:
            screen = subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True, check=True).stdout
            if re.search(r"^exit \d", screen, re.MULTILINE) or time.monotonic() > deadline:
                break
            time.sleep(0.2)
    finally:
        subprocess.run([*tmux, "kill-server"], check=False)
    snapshot = SNAPSHOTS / f"clean_{case}.txt"
    if os.environ.get("ROWMEND_UPDATE_SNAPSHOTS"):
        snapshot.write_text(normalise(screen))
    assert normalise(screen) == snapshot.read_text()


@pytest.mark.parametrize(
    "argv, status, message",
    [
        # Parquet names columns after a header field holding NUL: noted, nothing ignored
        (["a.csv", "-o", "o.parquet"], 0, "rowmend: a.csv: note: the header's field for column 1 holds NUL"),
        (["a.csv", "-o", "-"], 3, "rowmend: error: standard output: closed when rowmend started"),
        (["a.csv", "-o", "o.csv", "--json"], 3, "rowmend: error: standard output: closed when rowmend started"),
        (["sniff", "a.csv"], 3, "rowmend: error: standard output: closed when rowmend started"),
        (["inspect", "a.csv"], 3, "rowmend: error: standard output: closed when rowmend started"),
    ],
)
def test_hostile_names_and_a_closed_standard_output(tmp_path, argv, status, message):
    (tmp_path / "a.csv").write_bytes(b"a\0b,c\n1,2\n")
    verb = [] if argv[0] in ("sniff", "inspect") else ["clean"]
    command = " ".join(f"'{word}'" for word in [sys.executable, "-m", "rowmend", *verb, *argv])
    result = subprocess.run(["sh", "-c", f"exec {command} >&-"], cwd=tmp_path, capture_output=False,
                            stderr=subprocess.PIPE, timeout=120)
    lines = result.stderr.decode().splitlines()
    assert result.returncode == status
    assert len(lines) == 1 and lines[0].startswith(message), lines


def test_a_named_quarantine_is_always_written_one_in_a_folder_only_with_rows(tmp_path):
    files(tmp_path, in__ok_csv=b"a,b\n1,2\n", in__bad_csv=b"a,b,c\n1,2,3\n4,5,6,7\n", q_csv=b"stale\n",
          qd__ok_quarantine_csv=b"earlier\n")
    rowmend_cli("clean", "in/ok.csv", "-o", "ok.csv", "--quarantine", "q.csv", cwd=tmp_path)
    assert (tmp_path / "q.csv").read_bytes() == b"line,reason,raw_content\n"  # nothing stale survives
    rowmend_cli("clean", "in", "--output-dir", "out", "--quarantine-dir", "qd", "--no-merge-overflow", cwd=tmp_path)
    assert (tmp_path / "qd" / "ok.quarantine.csv").read_bytes() == b"earlier\n"  # not written: no rows
    assert (tmp_path / "qd" / "bad.quarantine.csv").read_bytes() == (
        b'line,reason,raw_content\n3,"too many fields: 4 found, 3 expected","4,5,6,7"\n'
    )


def test_inspect_never_shows_more_rows_than_it_counts():
    # Rows repaired in two ways have a record for each: the title counts the records then.
    repairs = tuple(rowmend.RepairRecord(line, action, "a,b", ("a", "b")) for line in (2, 3)
                    for action in ("filled", "quote repaired"))
    report = rowmend.Report(total_rows=4, salvaged_rows=4, repaired_rows=2, quarantined_rows=0, delimiter=",",
                            columns=2, encoding="utf-8", replaced_bytes=0, repairs=repairs)
    titles = {shown: inspect_tables("f.csv", report, None, '"', shown)[-1].title for shown in (3, 10)}
    assert titles == {3: "repaired and skipped rows (first 3 of 4)", 10: "repaired and skipped rows"}
