"""Outputs through rowmend.clean, the command line and rowmend.dask.clean: no
output over an input or over another output, the rows of an in-place clean
kept beside it, failures that change nothing and leave nothing behind, and
replaced files that keep their mode, owner, links."""

import csv
import gzip
import io
import os
import pickle
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import traceback
from pathlib import Path

import pytest

import rowmend
from rowmend.cli import main

dask = pytest.importorskip("rowmend.dask")
distributed = pytest.importorskip("distributed")

# Five data rows, one short: quarantined without filling.
DATA = b"a,b,c\n1,2,3\n4,5\n6,7,8\n9,10,11\n12,13,14\n"
CLEAN = b"a,b,c\n1,2,3\n6,7,8\n9,10,11\n12,13,14\n"
CLEAN_KEPT = b"a,b,c\n1,2,3\n4,5,\n6,7,8\n9,10,11\n12,13,14\n"  # the short row filled
STRICT = {"fill_ragged_rows": False}
# A title line (with a trailing blank and non-ASCII letters) above the table.
TITLED = "Quarterly export été \r\n\r\na,b,c\r\n1,2,3\r\n4,5,6\r\n7,8,9\r\n".encode()
NOBODY = pwd.getpwnam("nobody")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=1, processes=True, threads_per_worker=1, dashboard_address=None
    ) as local, distributed.Client(local) as client:
        yield client


def make(root, files):
    """Files by name: bytes, ("link", target) for a symbolic link, ("hard", target) for a hard link."""
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        elif content[0] == "link":
            os.symlink(content[1], path)
        else:
            os.link(root / content[1], path)


def snapshot(root):
    """Every entry under root: a link's target, a file's bytes, mode and inode."""
    seen = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            key = os.path.relpath(path, root)
            if stat.S_ISLNK(info.st_mode):
                seen[key] = ("link", os.readlink(path))
            else:
                with open(path, "rb") as file:
                    seen[key] = (file.read(), info.st_mode, info.st_ino, info.st_uid)
    return seen


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


class Open:
    """An input given as an open file rather than a path."""

    def __init__(self, name):
        self.name = name


def invoke(entry, args, kwargs, capsys):
    """Run one entry point; its exit status (2 for ValueError, 3 for OSError) and message."""
    if entry in ("sniff", "inspect"):
        return main([entry, *args]), capsys.readouterr().err
    if entry == "cli":
        status = main(["clean", *args, *(["--no-fill-ragged-rows"] if kwargs.get("fill_ragged_rows") is False else [])])
        return status, capsys.readouterr().err
    function = rowmend.clean if entry == "python" else dask.clean
    opened = [open(arg.name, "rb") if isinstance(arg, Open) else None for arg in args]
    try:
        function(*[file or arg for file, arg in zip(opened, args)], **kwargs)
    except ValueError as error:
        return 2, str(error)
    except OSError as error:
        return 3, f"{error.filename}: {error.strerror}" if error.filename else str(error)
    finally:
        for file in opened:
            if file is not None:
                file.close()
    return 0, ""


# (case, entry, files, arguments, keyword arguments, status, what the error says)
REFUSED = [
    ("quarantine is the input", "python", {}, ["in.csv", "c.csv"], {"quarantine": "in.csv"}, 2,
     "quarantine in.csv names the input in.csv"),
    ("quarantine links to the input", "python", {"ln.csv": ("link", "in.csv")}, ["in.csv", "c.csv"],
     {"quarantine": "ln.csv"}, 2, "quarantine ln.csv names the input in.csv"),
    ("quarantine is a hard link of an open input", "python", {"hl.csv": ("hard", "in.csv")},
     [Open("in.csv"), "c.csv"], {"quarantine": "hl.csv"}, 2, "quarantine hl.csv names the input in.csv"),
    ("quarantine is the clean file", "python", {}, ["in.csv", "c.csv"], {"quarantine": "./c.csv"}, 2,
     "quarantine ./c.csv names the same file as the clean file c.csv"),
    ("repairs are the clean file", "python", {}, ["in.csv", "q.repairs.csv"],
     {"quarantine": "q.csv", "record_repairs": True}, 2,
     "record of repairs q.repairs.csv names the same file as the clean file q.repairs.csv"),
    ("in place, the rows' file is the input", "python", {"in.quarantine.csv": ("link", "in.csv")},
     ["in.csv", "in.csv"], STRICT, 2, "quarantine in.quarantine.csv names the input in.csv"),
    ("--quarantine is the input", "cli", {}, ["in.csv", "-o", "c.csv", "--quarantine", "in.csv"], {}, 2,
     "quarantine in.csv names the input in.csv"),
    ("--quarantine is -o", "cli", {}, ["in.csv", "-o", "c.csv", "--quarantine", "c.csv"], {}, 2,
     "quarantine c.csv names the same file as the clean file c.csv"),
    ("--output-dir is the input's folder", "cli", {"d/a.csv": DATA}, ["d/a.csv", "--output-dir", "d/."], {}, 2,
     "--output-dir d/. is the folder of the input d/a.csv"),
    ("--quarantine-dir names an input", "cli", {"in.quarantine.csv": DATA},
     ["in.csv", "in.quarantine.csv", "--output-dir", "o", "--quarantine-dir", "."], {}, 2,
     "quarantine ./in.quarantine.csv names the input in.quarantine.csv"),
    ("--in-place, the rows' file is an input", "cli", {"in.quarantine.csv": DATA},
     ["in.csv", "in.quarantine.csv", "--in-place"], {}, 2,
     "quarantine in.quarantine.csv names the input in.quarantine.csv"),
    ("in place, the set-aside file is the input", "python", {"in.skipped.csv": ("link", "in.csv")},
     ["in.csv", "in.csv"], {}, 2, "rows set aside in.skipped.csv names the input in.csv"),
    ("--in-place, the set-aside file is an input", "cli", {"in.skipped.csv": DATA},
     ["in.csv", "in.skipped.csv", "--in-place"], {}, 2, "rows set aside in.skipped.csv names the input in.skipped.csv"),
    ("--quarantine-dir, the set-aside file is an input", "cli", {"in.skipped.csv": DATA},
     ["in.csv", "in.skipped.csv", "--output-dir", "o", "--quarantine-dir", "."], {}, 2,
     "rows set aside ./in.skipped.csv names the input in.skipped.csv"),
    ("set-aside file is the clean file", "python", {}, ["in.csv", "q.skipped.csv"], {"quarantine": "q.csv"}, 2,
     "rows set aside q.skipped.csv names the same file as the clean file q.skipped.csv"),
    ("--report is the input", "cli", {}, ["in.csv", "-o", "c.csv", "--report", "in.csv"], {}, 2,
     "HTML report in.csv names the input in.csv"),
    ("sniff --save-layout is the input", "sniff", {}, ["in.csv", "--save-layout", "in.csv"], {}, 2,
     "layout file in.csv names the input in.csv"),
    ("inspect --html is the input", "inspect", {}, ["in.csv", "--html", "in.csv"], {}, 2,
     "HTML report in.csv names the input in.csv"),
    ("output_dir is the inputs' folder", "dask", {"d/a.csv": DATA}, ["d/*.csv", "d"], {}, 2,
     "clean file", ),
    ("quarantine_dir names an input", "dask", {"d/a.csv": DATA, "d/a.quarantine.csv": DATA},
     [["d/a.csv", "d/a.quarantine.csv"], "o"], {"quarantine_dir": "d"}, 2, "names the input"),
    ("two inputs, one clean file", "dask", {"x/a.csv": DATA, "y/a.csv.gz": gzip.compress(DATA, mtime=0)},
     [["x/a.csv", "y/a.csv.gz"], "o"], {}, 2, "would both write"),
]


@pytest.mark.parametrize("entry, files, args, kwargs, status, message", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_outputs_over_inputs_or_each_other_are_refused_before_anything_is_written(
    tmp_path, monkeypatch, capsys, entry, files, args, kwargs, status, message
):
    monkeypatch.chdir(tmp_path)
    make(tmp_path, {"in.csv": DATA, **files})
    before, fds = snapshot(tmp_path), open_fds()
    got, said = invoke(entry, args, kwargs, capsys)
    assert (got, message in said) == (status, True), said
    assert snapshot(tmp_path) == before
    assert open_fds() == fds


# (case, entry, files, arguments, keyword arguments, what the error names)
FAILED = [
    ("clean file is a folder", "python", {"d/x": b""}, ["in.csv", "d"], {"quarantine": "q.csv", **STRICT},
     "d: is a folder"),
    ("quarantine in a missing folder", "python", {}, ["in.csv", "c.csv"], {"quarantine": "no/q.csv"}, "no/q.csv"),
    ("Parquet on a full device", "python", {}, ["in.csv", "/dev/full"], {"format": "parquet"},
     "/dev/full: No space left on device"),
    ("CSV on a full device", "python", {}, ["in.csv", "/dev/full"], {"quarantine": "q.csv"},
     "/dev/full: No space left on device"),
    ("quarantine on a full device", "python", {}, ["in.csv", "c.csv"], {"quarantine": "/dev/full", **STRICT},
     "/dev/full: No space left on device"),
    ("a second in-place clean keeps the first one's rows", "python", {"in.quarantine.csv": b"earlier rows\n"},
     ["in.csv", "in.csv"], STRICT, "in.quarantine.csv: exists already"),
    ("-o is a folder", "cli", {"d/x": b""}, ["in.csv", "-o", "d", "--quarantine", "q.csv"], STRICT, "d: is a folder"),
    ("--quarantine in a missing folder", "cli", {}, ["in.csv", "-o", "c.csv", "--quarantine", "no/q.csv"], {},
     "no/q.csv: No such file"),
    ("Parquet -o /dev/full", "cli", {}, ["in.csv", "-o", "/dev/full", "--format", "parquet"], {},
     "/dev/full: No space left on device"),
    ("--in-place twice", "cli", {"in.quarantine.csv": b"earlier rows\n"}, ["in.csv", "--in-place"], STRICT,
     "in.quarantine.csv: exists already"),
    ("a second in-place clean keeps the first one's set-aside rows", "python",
     {"in.csv": TITLED, "in.skipped.csv": b"earlier rows\n"}, ["in.csv", "in.csv"], {}, "in.skipped.csv: exists already"),
    ("--in-place twice, rows set aside", "cli", {"in.csv": TITLED, "in.skipped.csv": b"earlier rows\n"},
     ["in.csv", "--in-place"], {}, "in.skipped.csv: exists already"),
]


@pytest.mark.parametrize("entry, files, args, kwargs, message", [case[1:] for case in FAILED],
                         ids=[case[0] for case in FAILED])
def test_a_failed_run_changes_nothing_and_names_the_destination(
    tmp_path, monkeypatch, capsys, entry, files, args, kwargs, message
):
    monkeypatch.chdir(tmp_path)
    make(tmp_path, {"in.csv": DATA, "q.csv": b"an earlier quarantine\n", "c.csv": b"an earlier clean file\n", **files})
    before, fds = snapshot(tmp_path), open_fds()
    status, said = invoke(entry, args, kwargs, capsys)
    assert (status, message in said) == (3, True), said
    assert ".rowmend-tmp" not in said
    assert snapshot(tmp_path) == before
    assert open_fds() == fds


def test_a_failed_dask_clean_changes_nothing_on_the_workers(cluster, tmp_path):
    make(tmp_path, {"in/a.csv": DATA, "out/a.quarantine.csv": b"earlier\n", "out/a.csv/x": b""})
    before = snapshot(tmp_path)
    with pytest.raises(IsADirectoryError, match="is a folder") as raised:
        dask.clean(str(tmp_path / "in" / "a.csv"), tmp_path / "out", **STRICT)
    assert raised.value.filename == f"{tmp_path}/out/a.csv"
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("entry", ["python", "cli", "dask"])
def test_quarantined_rows_are_never_dropped_and_are_named_alike(tmp_path, entry, request):
    # In place, the rows leave the only copy: they go beside it. Dask has no
    # in-place clean, but names the quarantine beside a clean file alike.
    source = tmp_path / ("src/in.csv" if entry == "dask" else "in.csv")
    make(tmp_path, {os.path.relpath(source, tmp_path): DATA})
    if entry == "python":
        report = rowmend.clean(source, source, **STRICT)
        assert [note.code for note in report.notes] == ["quarantine-beside-input"]
    elif entry == "cli":
        assert main(["clean", str(source), "--in-place", "--no-fill-ragged-rows"]) == 1
    else:
        request.getfixturevalue("cluster")
        dask.clean(str(source), tmp_path, **STRICT)
    assert (tmp_path / "in.csv").read_bytes() == CLEAN
    assert (tmp_path / "in.quarantine.csv").read_bytes() == (
        b'line,reason,raw_content\n3,"too few fields: 2 found, 3 expected","4,5"\n'
    )


def test_an_in_place_clean_without_quarantined_rows_leaves_no_quarantine(tmp_path):
    (tmp_path / "in.csv").write_bytes(CLEAN)
    report = rowmend.clean(tmp_path / "in.csv", tmp_path / "in.csv")
    assert os.listdir(tmp_path) == ["in.csv"] and report.notes == ()


SET_ASIDE = "line,kind,raw_content\n1,\"preamble\",\"Quarterly export été \"\n".encode()
# (case, input, what the in-place clean leaves, the set-aside file or None)
KEPT_BESIDE = [
    ("title line", TITLED, b"a,b,c\n1,2,3\n4,5,6\n7,8,9\n", SET_ASIDE),
    ("comments", b'a,b,c\n1,2,3\n# by "tool", v2\n4,5,6\n', b"a,b,c\n1,2,3\n4,5,6\n",
     b'line,kind,raw_content\n3,"comment","# by ""tool"", v2"\n'),
    ("footer after a blank line", b"a,b\n1,2\n3,4\n5,6\n\nRows: 3\nEnd\n", b"a,b\n1,2\n3,4\n5,6\n",
     b'line,kind,raw_content\n6,"footer","Rows: 3"\n7,"footer","End"\n'),
    ("blank lines only", b"a,b\n1,2\n\n\n3,4\n", b"a,b\n1,2\n3,4\n", None),
    ("nothing set aside", CLEAN, CLEAN, None),
]


@pytest.mark.parametrize("entry", ["python", "cli", "dask"])
@pytest.mark.parametrize("data, clean, set_aside", [case[1:] for case in KEPT_BESIDE],
                         ids=[case[0] for case in KEPT_BESIDE])
def test_rows_set_aside_are_kept_beside_the_input_with_their_bytes(tmp_path, entry, data, clean, set_aside, request):
    # Dask has no in-place clean; its set-aside file goes beside the quarantine alike.
    source = tmp_path / ("src/in.csv" if entry == "dask" else "in.csv")
    make(tmp_path, {os.path.relpath(source, tmp_path): data})
    if entry == "python":
        notes = [note.code for note in rowmend.clean(source, source).notes]
        assert notes == (["set-aside-beside-input"] if set_aside else [])
    elif entry == "cli":
        assert main(["clean", str(source), "--in-place"]) == 0
    else:
        request.getfixturevalue("cluster")
        dask.clean(str(source), tmp_path)
    assert (tmp_path / "in.csv").read_bytes() == clean
    written = tmp_path / "in.skipped.csv"
    assert (written.read_bytes() if written.exists() else None) == set_aside


def test_rows_set_aside_are_all_kept_past_max_records_and_the_spool(tmp_path):
    # Far more comment lines than max_records, and more bytes than are held in memory.
    comments = [f"# {i:07d} {'x' * 200}" for i in range(50_000)]
    data = "a,b\n1,2\n" + "".join(f"{line}\n3,4\n" for line in comments)
    (tmp_path / "in.csv").write_text(data)
    report = rowmend.clean(tmp_path / "in.csv", tmp_path / "c.csv", quarantine=tmp_path / "q.csv", max_records=10)
    assert report.skipped["comment"] == len(comments)
    with open(tmp_path / "q.skipped.csv", newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["line", "kind", "raw_content"]
    assert rows[1:] == [[str(3 + 2 * i), "comment", line] for i, line in enumerate(comments)]


def test_a_quarantine_file_replaces_an_earlier_runs_set_aside_rows(tmp_path):
    (tmp_path / "in.csv").write_bytes(CLEAN)
    (tmp_path / "q.skipped.csv").write_bytes(b"an earlier run's rows\n")
    rowmend.clean(tmp_path / "in.csv", tmp_path / "c.csv", quarantine=tmp_path / "q.csv")
    assert (tmp_path / "q.skipped.csv").read_bytes() == b"line,kind,raw_content\n"
    (tmp_path / "q.skipped.csv").unlink()
    rowmend.clean(tmp_path / "in.csv", tmp_path / "c.csv", quarantine=tmp_path / "q.csv")
    assert not (tmp_path / "q.skipped.csv").exists()


def replace_files(root, entry):
    """Clean into each kind of existing destination under root; the notes of the runs."""
    notes = []
    for name in ("owned.csv", "foreign.csv", "link.csv", "hard.csv"):
        if entry == "python":
            notes += rowmend.clean(root / "in.csv", root / name).notes
        else:
            assert main(["clean", str(root / "in.csv"), "-o", str(root / name), "--json"]) == 0
    return [note.code for note in notes]


@pytest.mark.parametrize("entry", ["python", "cli"])
@pytest.mark.parametrize("user", ["root", "nobody"])
def test_a_replaced_file_keeps_its_identity(entry, user, capsys):
    # Not in tmp_path: its parents are closed to other users.
    root = Path(tempfile.mkdtemp(prefix="rowmend-identity-"))
    try:
        make(root, {"in.csv": DATA, "owned.csv": b"o\n", "foreign.csv": b"f\n", "target.csv": b"t\n",
                    "link.csv": ("link", "target.csv"), "hard.csv": b"h\n", "other.csv": ("hard", "hard.csv")})
        owner = NOBODY.pw_uid if user == "root" else 0  # someone other than the one cleaning
        os.chown(root, NOBODY.pw_uid, NOBODY.pw_gid)
        os.chown(root / "in.csv", NOBODY.pw_uid, NOBODY.pw_gid)
        os.chown(root / "owned.csv", NOBODY.pw_uid if user == "nobody" else 0, NOBODY.pw_gid)
        os.chmod(root / "owned.csv", 0o640)
        os.chown(root / "foreign.csv", owner, owner)
        os.chmod(root / "foreign.csv", 0o604)
        os.chmod(root / "target.csv", 0o600)
        os.chown(root / "target.csv", NOBODY.pw_uid, NOBODY.pw_gid)
        os.chown(root / "hard.csv", NOBODY.pw_uid, NOBODY.pw_gid)
        owned, foreign = os.stat(root / "owned.csv"), os.stat(root / "foreign.csv")
        codes = run_as(user, lambda: replace_files(root, entry))
        capsys.readouterr()
        for name, was, mode in [("owned.csv", owned, 0o640), ("foreign.csv", foreign, 0o604)]:
            now = os.stat(root / name)
            assert stat.S_IMODE(now.st_mode) == mode
            kept = user == "root" or name == "owned.csv"
            assert ((now.st_uid, now.st_gid) == (was.st_uid, was.st_gid)) == kept
        assert os.readlink(root / "link.csv") == "target.csv"
        assert stat.S_IMODE(os.stat(root / "target.csv").st_mode) == 0o600
        assert (root / "target.csv").read_bytes() == (root / "owned.csv").read_bytes() == CLEAN_KEPT
        # A hard link's other names keep what they held: rename gives this name a new file.
        assert (root / "hard.csv").read_bytes() == CLEAN_KEPT and (root / "other.csv").read_bytes() == b"h\n"
        if entry == "python":
            assert codes == ["owner-not-kept"] * (user == "nobody") + ["hard-link-split"]
        assert not [name for name in os.listdir(root) if name.endswith(".rowmend-tmp")]
    finally:
        shutil.rmtree(root)


def run_as(user, function):
    """function() as root here, or as nobody in a forked child; its result."""
    if user == "root":
        return function()
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        status = 1
        try:
            os.close(read)
            os.setgroups([])
            os.setgid(NOBODY.pw_gid)
            os.setuid(NOBODY.pw_uid)
            with os.fdopen(write, "wb") as out:
                pickle.dump(function(), out)
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    os.close(write)
    with os.fdopen(read, "rb") as result:
        data = result.read()
    _, waited = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(waited) == 0
    return pickle.loads(data)


def test_dask_replaces_outputs_keeping_their_identity(cluster, tmp_path):
    make(tmp_path, {"in/a.csv": DATA, "out/a.csv": b"earlier\n"})
    os.chown(tmp_path / "out" / "a.csv", NOBODY.pw_uid, NOBODY.pw_gid)
    os.chmod(tmp_path / "out" / "a.csv", 0o600)
    dask.clean(str(tmp_path / "in" / "*.csv"), tmp_path / "out")
    now = os.stat(tmp_path / "out" / "a.csv")
    assert (stat.S_IMODE(now.st_mode), now.st_uid, now.st_gid) == (0o600, NOBODY.pw_uid, NOBODY.pw_gid)
    assert (tmp_path / "out" / "a.csv").read_bytes() == CLEAN_KEPT


@pytest.mark.parametrize("stream", [False, True])
def test_standard_output_is_all_or_nothing_unless_streamed(tmp_path, stream):
    # Enough rows to pass the first window, then a cut-off gzip stream.
    rows = b"".join(b"%d,x,y\n" % i for i in range(200_000))
    (tmp_path / "cut.csv.gz").write_bytes(gzip.compress(b"a,b,c\n" + rows, mtime=0)[:-2000])
    (tmp_path / "ok.csv").write_bytes(DATA)
    extra = ["--stream"] if stream else []
    for name, status in [("cut.csv.gz", 3), ("ok.csv", 0)]:
        done = subprocess.run([sys.executable, "-m", "rowmend", "clean", name, *extra], cwd=tmp_path,
                              capture_output=True, timeout=120)
        assert done.returncode == status, done.stderr
        if status == 0:
            assert done.stdout == CLEAN_KEPT
        else:
            assert (len(done.stdout) > 0) == stream
            assert b"truncated gzip" in done.stderr


def test_report_notes_reach_the_json(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    make(tmp_path, {"in.csv": DATA, "a.csv": b"a\n", "b.csv": ("hard", "a.csv")})
    assert main(["clean", "in.csv", "-o", "a.csv", "--json"]) == 0
    out = capsys.readouterr().out
    assert '"code": "hard-link-split"' in out
    assert rowmend.clean(io.BytesIO(DATA), tmp_path / "b.csv").notes == ()  # b.csv has one name now


@pytest.mark.parametrize("failing", ["c.csv", "q.csv", "q.repairs.csv"])
def test_a_rename_that_fails_puts_back_the_outputs_renamed_before_it(tmp_path, monkeypatch, failing):
    # A rename is refused (an immutable file, a full quota on the folder): no
    # way to make one on demand as root, so os.replace is made to refuse it.
    make(tmp_path, {"in.csv": DATA, "c.csv": b"earlier clean\n", "q.csv": b"earlier quarantine\n"})
    before, fds = snapshot(tmp_path), open_fds()
    replace = os.replace

    def refuse(source, target):
        if os.path.basename(target) == failing:
            raise PermissionError(1, "Operation not permitted")
        replace(source, target)

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(PermissionError) as raised:
        rowmend.clean(tmp_path / "in.csv", tmp_path / "c.csv", quarantine=tmp_path / "q.csv", record_repairs=True,
                      **STRICT)
    assert raised.value.filename == str(tmp_path / failing)
    assert snapshot(tmp_path) == before
    assert open_fds() == fds


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_data_is_synced_before_the_rename_and_the_folder_after(tmp_path):
    (tmp_path / "in.csv").write_bytes(DATA)
    (tmp_path / "out.csv").write_bytes(b"earlier\n")
    traced = subprocess.run(
        ["strace", "-f", "-y", "-e", "trace=fsync,rename", sys.executable, "-m", "rowmend", "clean", "in.csv",
         "-o", "out.csv", "--quarantine", "q.csv"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    if "ptrace" in traced.stderr and traced.returncode != 0:
        pytest.skip("strace may not trace here")
    calls = [line.split("] ", 1)[-1] for line in traced.stderr.splitlines() if "fsync(" in line or "rename(" in line]
    where = {kind: [i for i, call in enumerate(calls) if call.startswith(kind)] for kind in ("fsync", "rename")}
    synced = [i for i in where["fsync"] if ".rowmend-tmp>" in calls[i]]
    folder = [i for i in where["fsync"] if calls[i].endswith(f"<{tmp_path}>) = 0")]
    assert len(synced) == len(where["rename"]) == 2 and len(folder) == 1, calls
    assert max(synced) < min(where["rename"]) and max(where["rename"]) < folder[0]
