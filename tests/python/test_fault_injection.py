"""I/O failures that ordinary files do not produce on demand: writes accepted
with zero bytes, read, write, fsync and rename errors injected by an
LD_PRELOAD shim, open failures of unusual paths, rewriting a file in place
under each failure, and signals interrupting reads and writes.

Each case runs the module in a child process and checks the exact exception
(class and text), that no summary came back, and every file left on disk
with its bytes."""

import errno
import hashlib
import json
import os
import pathlib
import platform
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest

SHIM_SOURCE = pathlib.Path(__file__).resolve().parent / "shims" / "io_fault.c"
HEADER = b"line,reason,raw_content\n"
BUFFERED = "failed to write the buffered data"
WHOLE = "failed to write whole buffer"
NOBODY = 65534


def os_text(code):
    return "%s (os error %d)" % (os.strerror(code), code)


def listing(directory):
    """Every entry below directory that is not a directory, as relative path
    -> its bytes (regular files), "-> target" (symbolic links) or its type
    letter as `ls -l` shows it (sockets, pipes)."""
    found = {}
    for root, dirs, files in os.walk(directory):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            full = os.path.join(root, name)
            mode = os.lstat(full).st_mode
            if stat.S_ISLNK(mode):
                entry = "-> " + os.readlink(full)
            elif stat.S_ISREG(mode):
                with open(full, "rb") as handle:
                    entry = handle.read()
            else:
                entry = stat.filemode(mode)[0]
            found[os.path.relpath(full, directory)] = entry
    return found


@pytest.fixture(scope="session")
def built_shim(tmp_path_factory):
    """The shim's shared library, or None without a C compiler."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    library = tmp_path_factory.mktemp("shim") / "io_fault.so"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(SHIM_SOURCE), "-ldl"],
        check=True,
        capture_output=True,
    )
    return library


@pytest.fixture
def fault_shim(built_shim):
    if built_shim is None:
        pytest.skip("needs a C compiler to build the fault-injection shim")
    return built_shim


@pytest.fixture
def work(tmp_path):
    """A fresh directory for the run, named by its real path: the shim matches
    the paths the kernel reports for descriptors, with links resolved."""
    path = pathlib.Path(os.path.realpath(tmp_path)) / "work"
    path.mkdir()
    return path


# ---------------------------------------------------------------------------
# Running the module in a child process
# ---------------------------------------------------------------------------

# Makes each call of the plan and describes how it ended. A child that is to
# run unprivileged imports the module first (an installed copy may live where
# nobody cannot read, such as root's home) and then drops to nobody.
CHILD = textwrap.dedent(
    """
    import json, os, sys
    plan = json.loads(sys.argv[1])
    import _rowmend_backend as rm
    if plan["drop"] and os.geteuid() == 0:
        try:
            os.setgroups([])
            os.setgid(%d)
            os.setuid(%d)
        except OSError as exc:
            print(json.dumps({"no-drop": str(exc)}))
            sys.exit(0)

    def describe(name, args, kwargs):
        try:
            made = getattr(rm, name)(*args, **kwargs)
        except BaseException as exc:
            return {
                "raised": type(exc).__module__ + "." + type(exc).__qualname__,
                "text": str(exc),
                "args": [repr(a) for a in exc.args],
                "attributes": [getattr(exc, a, "absent") for a in ("errno", "strerror", "filename")],
            }
        if name == "salvage_file":
            return {"returned": made.to_dict()}
        return {"returned": made.summary.to_dict(), "rows": list(made)}

    print(json.dumps({"outcomes": [describe(*call) for call in plan["calls"]]}))
    """
    % (NOBODY, NOBODY)
)


def module_environment(rm, **extra):
    """The environment for a child that imports the very module under test."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(rm.__file__))
    env["PYTHONPATH"] = here + os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else here
    env.update({key: str(value) for key, value in extra.items()})
    return env


def shim_environment(shim, report, fault=None, watch=None):
    extra = {"LD_PRELOAD": shim, "ROWMEND_FAULT_REPORT": report}
    if fault is not None:
        extra.update({"ROWMEND_FAULT_" + key.upper(): value for key, value in fault.items()})
    if watch is not None:
        extra["ROWMEND_WATCH_PATH"] = watch
    return extra


def read_report(report):
    """(calls made to fail, interrupted calls seen) as the shim wrote them."""
    if not report.exists():
        return 0, 0
    injected, interrupted = report.read_text().split()
    return int(injected), int(interrupted)


def run_calls(rm, calls, cwd, fault=None, shim=None, drop=False):
    """Runs the calls [(name, args, kwargs)] in a child and returns their
    outcomes and how many calls the shim made fail."""
    report = pathlib.Path(tempfile.mkdtemp(prefix="rowmend-fault-")) / "report"
    extra = shim_environment(shim, report, fault) if fault is not None else {}
    plan = json.dumps({"calls": [list(call) for call in calls], "drop": drop})
    try:
        done = subprocess.run(
            [sys.executable, "-c", CHILD, plan],
            cwd=cwd,
            env=module_environment(rm, **extra),
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, done.stderr
        answer = json.loads(done.stdout)
        if "no-drop" in answer:
            pytest.skip("cannot drop privileges here: " + answer["no-drop"])
        injected, _ = read_report(report)
    finally:
        shutil.rmtree(report.parent)
    return answer["outcomes"], injected


def assert_raised(outcome, exception_class, text):
    """The call raised exactly exception_class, built from the one str text,
    so an OSError's errno, strerror and filename are None; no summary came
    back."""
    assert "returned" not in outcome, outcome
    attributes = [None] * 3 if issubclass(exception_class, OSError) else ["absent"] * 3
    assert outcome == {
        "raised": "builtins." + exception_class.__name__,
        "text": text,
        "args": [repr(text)],
        "attributes": attributes,
    }


def reference(rm, directory, data, options):
    """The summary, clean and quarantine bytes of an undisturbed run."""
    directory.mkdir()
    source = directory / "data.csv"
    source.write_bytes(data)
    summary = rm.salvage_file(str(source), str(directory / "out.csv"), str(directory / "q.csv"), **options)
    return summary.to_dict(), (directory / "out.csv").read_bytes(), (directory / "q.csv").read_bytes()


# ---------------------------------------------------------------------------
# Writes the OS accepts with zero bytes, and write errors
# ---------------------------------------------------------------------------

OPTIONS = {"delimiter": ",", "expected_columns": 2, "merge_overflow": False}

# Short rows only: the clean file spans several 8192-byte buffers, and every
# seventh row (three fields) goes to the quarantine file, which spans two.
SHORT = b"".join((b"%d,row %d,extra\n" if i % 7 == 3 else b"%d,row %d\n") % (i, i) for i in range(4000))

# A short row, then a row far longer than the write buffer, written directly;
# the same for the quarantine file.
LONG_FIELD = b"x" * 9000
LONG = b"a,b\n" + LONG_FIELD + b",c\nd,e\n" + LONG_FIELD + b",f,g\nh,i,j\n"
LONG_CLEAN = b"a,b\n" + LONG_FIELD + b",c\nd,e\n"
LONG_QUARANTINE = (
    HEADER
    + b'4,"Row has extra columns (expected 2)","' + LONG_FIELD + b',f,g"\n'
    + b'5,"Row has extra columns (expected 2)","h,i,j"\n'
)

# Which file fails: the clean file written directly, the quarantine file, or
# the temporary file of an in-place run.
# (id, input, failing file, bytes that still get through (counted from the
#  file's end when negative), errno (0 for a zero-byte write), exception text)
WRITE_FAULTS = [
    ("clean_first_buffer_zero", SHORT, "out", 0, 0, BUFFERED),
    ("clean_after_one_buffer_zero", SHORT, "out", 8192, 0, BUFFERED),
    ("clean_mid_buffer_zero", SHORT, "out", 10000, 0, BUFFERED),
    ("clean_near_the_end_zero", SHORT, "out", -3000, 0, BUFFERED),
    ("clean_buffer_before_long_line_zero", LONG, "out", 0, 0, BUFFERED),
    ("clean_long_line_zero", LONG, "out", 4, 0, WHOLE),
    ("clean_long_line_cut_short_zero", LONG, "out", 4 + 5000, 0, WHOLE),
    ("clean_flush_after_long_line_zero", LONG, "out", 4 + 9003, 0, BUFFERED),
    ("clean_io_error", SHORT, "out", 10000, errno.EIO, os_text(errno.EIO)),
    ("clean_disk_full_on_long_line", LONG, "out", 4 + 5000, errno.ENOSPC, os_text(errno.ENOSPC)),
    ("quarantine_first_buffer_zero", SHORT, "q", 0, 0, BUFFERED),
    ("quarantine_mid_buffer_zero", SHORT, "q", 9000, 0, BUFFERED),
    ("quarantine_header_before_long_record_zero", LONG, "q", 0, 0, BUFFERED),
    ("quarantine_long_record_zero", LONG, "q", len(HEADER), 0, WHOLE),
    ("quarantine_long_record_cut_short_zero", LONG, "q", len(HEADER) + 3000, 0, WHOLE),
    ("quarantine_final_flush_zero", LONG, "q", -10, 0, BUFFERED),
    ("quarantine_io_error", SHORT, "q", 100, errno.EIO, os_text(errno.EIO)),
]


def written_files(data, clean, quarantine, failing, after):
    """What a run failing after `after` bytes of `failing` leaves: the bytes
    that got through, never more; a quarantine file only once the clean file
    is complete."""
    if failing == "out":
        return {"data.csv": data, "out.csv": clean[:after]}
    return {"data.csv": data, "out.csv": clean, "q.csv": quarantine[:after]}


@pytest.mark.parametrize(
    "data, failing, after, code, text", [c[1:] for c in WRITE_FAULTS], ids=[c[0] for c in WRITE_FAULTS]
)
def test_write_faults(rm, fault_shim, tmp_path, work, data, failing, after, code, text):
    _, clean, quarantine = reference(rm, tmp_path / "reference", data, OPTIONS)
    if data is LONG:  # the offsets of the table are counted on these bytes
        assert (clean, quarantine) == (LONG_CLEAN, LONG_QUARANTINE)
    target = clean if failing == "out" else quarantine
    if after < 0:
        after += len(target)
    assert 0 <= after < len(target)
    (work / "data.csv").write_bytes(data)
    fault = {"call": "write", "path": str(work / (failing + ".csv")), "after": after, "errno": code}
    (outcome,), injected = run_calls(
        rm, [("salvage_file", ["data.csv", "out.csv", "q.csv"], OPTIONS)], work, fault, fault_shim
    )
    assert_raised(outcome, OSError, text)
    assert injected >= 1
    assert listing(work) == written_files(data, clean, quarantine, failing, after)


@pytest.mark.parametrize("failing", ["out", "q"])
@pytest.mark.parametrize("data", [SHORT, LONG], ids=["short", "long"])
def test_writes_up_to_the_limit_succeed(rm, fault_shim, tmp_path, work, data, failing):
    # The shim lets exactly the whole file through, so the failures above come
    # from the limit and not from the shim being loaded.
    summary, clean, quarantine = reference(rm, tmp_path / "reference", data, OPTIONS)
    (work / "data.csv").write_bytes(data)
    limit = len(clean if failing == "out" else quarantine)
    fault = {"call": "write", "path": str(work / (failing + ".csv")), "after": limit, "errno": 0}
    (outcome,), injected = run_calls(
        rm, [("salvage_file", ["data.csv", "out.csv", "q.csv"], OPTIONS)], work, fault, fault_shim
    )
    assert outcome == {"returned": summary}
    assert injected == 0
    assert listing(work) == {"data.csv": data, "out.csv": clean, "q.csv": quarantine}


# ---------------------------------------------------------------------------
# Read errors: the reader picks the class from the kind of error,
# salvage_file always raises plain OSError
# ---------------------------------------------------------------------------

# (errno, reader exception class)
READ_ERRORS = [
    (errno.EIO, OSError),
    (errno.ENOENT, FileNotFoundError),
    (errno.EACCES, PermissionError),
    (errno.EPERM, PermissionError),
    (errno.ECONNREFUSED, ConnectionRefusedError),
    (errno.ECONNRESET, ConnectionResetError),
    (errno.ECONNABORTED, ConnectionAbortedError),
    (errno.EPIPE, BrokenPipeError),
    (errno.EEXIST, FileExistsError),
    (errno.EAGAIN, BlockingIOError),
    (errno.ENOTDIR, NotADirectoryError),
    (errno.EISDIR, IsADirectoryError),
    (errno.ETIMEDOUT, TimeoutError),
    (errno.ENOMEM, MemoryError),
    (errno.ENOSPC, OSError),
    (errno.EOVERFLOW, OSError),
]


@pytest.mark.parametrize("after", [0, 1000], ids=["first_read", "part_way"])
@pytest.mark.parametrize("code, reader_class", READ_ERRORS, ids=[errno.errorcode[c] for c, _ in READ_ERRORS])
def test_read_errors(rm, fault_shim, work, code, reader_class, after):
    (work / "data.csv").write_bytes(SHORT)
    fault = {"call": "read", "path": str(work / "data.csv"), "after": after, "errno": code}
    calls = [
        ("open", ["data.csv"], {}),
        ("SalvageReader", ["data.csv"], {}),
        ("salvage_file", ["data.csv", "out.csv", "q.csv"], {}),
        ("salvage_file", ["data.csv", "data.csv", "q.csv"], {}),
    ]
    outcomes, injected = run_calls(rm, calls, work, fault, fault_shim)
    text = os_text(code)
    assert_raised(outcomes[0], reader_class, text)
    assert_raised(outcomes[1], reader_class, text)
    assert_raised(outcomes[2], OSError, text)
    assert_raised(outcomes[3], OSError, text)
    assert injected >= 4
    # The input is read completely before any output is created.
    assert listing(work) == {"data.csv": SHORT}


# ---------------------------------------------------------------------------
# Paths that cannot be opened or created
# ---------------------------------------------------------------------------


def make_paths(root):
    (root / "data.csv").write_bytes(SHORT)
    (root / "loop").symlink_to("loop")
    (root / "dangling").symlink_to("nowhere/out.csv")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(str(root / "sock"))
    return sock


LOOP = os_text(errno.ELOOP)
TOO_LONG = os_text(errno.ENAMETOOLONG)
NOT_DIR = os_text(errno.ENOTDIR)
IS_DIR = os_text(errno.EISDIR)
NOT_FOUND = os_text(errno.ENOENT)
NO_DEVICE = os_text(errno.ENXIO)
LONG_NAME = "n" * 300

# Input paths: (id, path, reader class, text). salvage_file raises plain
# OSError with the same text and creates nothing.
OPEN_FAILURES = [
    ("symlink_loop", "loop", OSError, LOOP),
    ("name_too_long", LONG_NAME, OSError, TOO_LONG),
    ("unix_socket", "sock", OSError, NO_DEVICE),
    ("trailing_slash_on_file", "data.csv/", NotADirectoryError, NOT_DIR),
]


@pytest.mark.parametrize("path, reader_class, text", [c[1:] for c in OPEN_FAILURES], ids=[c[0] for c in OPEN_FAILURES])
def test_input_open_failures(rm, tmp_path, path, reader_class, text):
    sock = make_paths(tmp_path)
    try:
        before = listing(tmp_path)
        outcomes, _ = run_calls(
            rm,
            [("open", [path], {}), ("SalvageReader", [path], {}), ("salvage_file", [path, "out.csv", "q.csv"], {})],
            tmp_path,
        )
    finally:
        sock.close()
    assert_raised(outcomes[0], reader_class, text)
    assert_raised(outcomes[1], reader_class, text)
    assert_raised(outcomes[2], OSError, text)
    assert listing(tmp_path) == before


# Output and quarantine paths: (id, output, quarantine, text, files created)
CREATE_FAILURES = [
    ("output_symlink_loop", "loop", "q.csv", LOOP, {}),
    ("output_name_too_long", LONG_NAME, "q.csv", TOO_LONG, {}),
    ("output_below_a_file", "data.csv/out.csv", "q.csv", NOT_DIR, {}),
    ("output_trailing_slash", "out.csv/", "q.csv", IS_DIR, {}),
    ("output_dangling_symlink", "dangling", "q.csv", NOT_FOUND, {}),
    ("quarantine_symlink_loop", "out.csv", "loop", LOOP, {"out.csv": None}),
    ("quarantine_name_too_long", "out.csv", LONG_NAME, TOO_LONG, {"out.csv": None}),
    ("quarantine_below_a_file", "out.csv", "data.csv/q.csv", NOT_DIR, {"out.csv": None}),
    ("quarantine_trailing_slash", "out.csv", "q.csv/", IS_DIR, {"out.csv": None}),
    ("quarantine_unix_socket", "out.csv", "sock", NO_DEVICE, {"out.csv": None}),
]


@pytest.mark.parametrize(
    "output, quarantine, text, created", [c[1:] for c in CREATE_FAILURES], ids=[c[0] for c in CREATE_FAILURES]
)
def test_output_create_failures(rm, tmp_path, work, output, quarantine, text, created):
    _, clean, _ = reference(rm, tmp_path / "reference", SHORT, OPTIONS)
    sock = make_paths(work)
    try:
        before = listing(work)
        (outcome,), _ = run_calls(rm, [("salvage_file", ["data.csv", output, quarantine], OPTIONS)], work)
    finally:
        sock.close()
    assert_raised(outcome, OSError, text)
    # A failure at the quarantine step leaves a complete clean file.
    expected = dict(before, **{name: clean for name in created})
    assert listing(work) == expected


# ---------------------------------------------------------------------------
# Rewriting the input in place: every failure leaves the input untouched and
# no temporary file behind
# ---------------------------------------------------------------------------

TEMP = ".data.csv.rowmend-*"

# (id, input, fault (call, file, bytes through, errno), quarantine path,
#  text, quarantine file left (None: none, "all": complete, n: first n bytes))
IN_PLACE_FAULTS = [
    ("temp_zero_write", SHORT, ("write", TEMP, 100, 0), "q.csv", BUFFERED, None),
    ("temp_zero_write_long_line", LONG, ("write", TEMP, 4, 0), "q.csv", WHOLE, None),
    ("temp_write_error", SHORT, ("write", TEMP, 9000, errno.EIO), "q.csv", os_text(errno.EIO), None),
    ("temp_disk_full", SHORT, ("write", TEMP, 0, errno.ENOSPC), None, os_text(errno.ENOSPC), None),
    ("temp_fsync_fails", SHORT, ("fsync", TEMP, 0, errno.EIO), "q.csv", os_text(errno.EIO), "all"),
    ("temp_fsync_fails_without_quarantine", SHORT, ("fsync", TEMP, 0, errno.EIO), None, os_text(errno.EIO), None),
    ("rename_fails", SHORT, ("rename", TEMP, 0, errno.EXDEV), "q.csv", os_text(errno.EXDEV), "all"),
    ("rename_denied", SHORT, ("rename", TEMP, 0, errno.EACCES), None, os_text(errno.EACCES), None),
    ("quarantine_zero_write", SHORT, ("write", "q.csv", 50, 0), "q.csv", BUFFERED, 50),
    ("quarantine_write_error", SHORT, ("write", "q.csv", 0, errno.EIO), "q.csv", os_text(errno.EIO), 0),
    ("quarantine_long_record_zero", LONG, ("write", "q.csv", len(HEADER), 0), "q.csv", WHOLE, len(HEADER)),
    ("quarantine_cannot_be_created", SHORT, None, "nowhere/q.csv", NOT_FOUND, None),
    ("input_read_error", SHORT, ("read", "data.csv", 10, errno.EIO), "q.csv", os_text(errno.EIO), None),
]


@pytest.mark.parametrize("through_link", [False, True], ids=["same_path", "symlink"])
@pytest.mark.parametrize(
    "data, fault, quarantine, text, quarantine_left",
    [c[1:] for c in IN_PLACE_FAULTS],
    ids=[c[0] for c in IN_PLACE_FAULTS],
)
def test_in_place_failures_keep_the_input(rm, fault_shim, tmp_path, work, data, fault, quarantine, text,
                                          quarantine_left, through_link):
    _, _, reference_quarantine = reference(rm, tmp_path / "reference", data, OPTIONS)
    source = work / "data.csv"
    source.write_bytes(data)
    source.chmod(0o640)
    before = os.stat(source)
    output = "data.csv"
    if through_link:
        (work / "link.csv").symlink_to("data.csv")
        output = "link.csv"
    plan = None
    if fault is not None:
        call, name, after, code = fault
        plan = {"call": call, "path": str(work / name), "after": after, "errno": code}
    (outcome,), injected = run_calls(
        rm, [("salvage_file", ["data.csv", output, quarantine], OPTIONS)], work, plan, fault_shim
    )
    assert_raised(outcome, OSError, text)
    assert injected >= (1 if fault else 0)
    expected = {"data.csv": data}
    if through_link:
        expected["link.csv"] = "-> data.csv"
    if quarantine_left is not None:
        expected["q.csv"] = reference_quarantine if quarantine_left == "all" else reference_quarantine[:quarantine_left]
    assert listing(work) == expected
    after = os.stat(source)
    assert (after.st_ino, stat.S_IMODE(after.st_mode)) == (before.st_ino, 0o640)


def test_in_place_temporary_file_denied(rm, tmp_path):
    # The file itself is writable but its directory is not, so the temporary
    # file cannot be made: the run fails before touching anything.
    root = pathlib.Path(tempfile.mkdtemp(prefix="rowmend-fault-"))
    try:
        root.chmod(0o755)
        locked = root / "locked"
        locked.mkdir()
        source = locked / "data.csv"
        source.write_bytes(SHORT)
        source.chmod(0o666)
        open_dir = root / "open"
        open_dir.mkdir()
        open_dir.chmod(0o777)
        locked.chmod(0o555)
        calls = [
            ("salvage_file", [str(source), str(source), str(open_dir / "q.csv")], OPTIONS),
            ("salvage_file", [str(source), str(source)], OPTIONS),
        ]
        outcomes, _ = run_calls(rm, calls, root, drop=os.geteuid() == 0)
        for outcome in outcomes:
            assert_raised(outcome, OSError, os_text(errno.EACCES))
        assert listing(locked) == {"data.csv": SHORT}
        assert listing(open_dir) == {}
    finally:
        for directory in (root / "locked", root / "open"):
            if directory.exists():
                directory.chmod(0o755)
        shutil.rmtree(root)


# ---------------------------------------------------------------------------
# Signals interrupting reads and writes
# ---------------------------------------------------------------------------

# A SIGALRM handler installed through signal.signal (no SA_RESTART) and a
# timer firing every half millisecond, so that blocking reads and writes
# keep returning EINTR or stopping short while the module works.
SIGNAL_CHILD = textwrap.dedent(
    """
    import hashlib, json, signal, sys
    import _rowmend_backend as rm
    plan = json.loads(sys.argv[1])
    alarms = 0

    def on_alarm(signum, frame):
        global alarms
        alarms += 1

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    try:
        summary = rm.salvage_file(plan["input"], plan["output"], plan["quarantine"], **plan["options"])
        reader = rm.open(plan["reader_input"], **plan["options"])
        digest = hashlib.sha256()
        for row in reader:
            digest.update(json.dumps(row).encode())
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
    print(json.dumps({
        "salvage": summary.to_dict(),
        "reader": reader.summary.to_dict(),
        "rows": digest.hexdigest(),
        "alarms": alarms,
    }))
    """
)


def big_input():
    """About 24 MB of messy CSV: quoted and multi-line fields, stray and
    doubled quotes, CR LF and lone CR, short and long rows, invalid UTF-8 and
    lines longer than the write buffer."""
    import random

    rng = random.Random(20240611)
    pieces = []
    for i in range(6000):
        kind = rng.randrange(12)
        if kind == 0:
            pieces.append(b'%d,"multi\nline ""quoted"" %d",tail\r\n' % (i, i))
        elif kind == 1:
            pieces.append(b'%d,"He said "hi" there",x\n' % i)
        elif kind == 2:
            pieces.append(b"%d,short\r" % i)
        elif kind == 3:
            pieces.append(b"%d,a,b,c,d,e\n" % i)
        elif kind == 4:
            pieces.append(b"%d,bad \xff\xfe bytes,\xc3\n" % i)
        elif kind == 5:
            pieces.append(b"%d,%s,long\n" % (i, b"y" * rng.randrange(8000, 20000)))
        elif kind == 6:
            pieces.append(b"\n")
        else:
            pieces.append(b"%d,plain value %d,%d\n" % (i, rng.randrange(10**9), i))
    block = b"".join(pieces)
    return b"id,text,more\n" + block * max(1, (24 << 20) // len(block))


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.csv"
    path.write_bytes(big_input())
    return path


def reader_digest(reader):
    digest = hashlib.sha256()
    for row in reader:
        digest.update(json.dumps(row).encode())
    return digest.hexdigest()


def helper(command):
    return subprocess.Popen(["sh", "-c", command, "sh"], stdin=subprocess.DEVNULL)


@pytest.mark.parametrize("through_fifos", [False, True], ids=["regular_files", "fifos"])
def test_signals_interrupting_reads_and_writes(rm, built_shim, tmp_path, work, big_file, through_fifos):
    options = {"fill_ragged_rows": False, "merge_overflow": False}
    clean = tmp_path / "clean.csv"
    quarantine = tmp_path / "q.csv"
    expected_summary = rm.salvage_file(str(big_file), str(clean), str(quarantine), **options).to_dict()
    reader = rm.open(str(big_file), **options)
    expected = {"salvage": expected_summary, "reader": reader.summary.to_dict(), "rows": reader_digest(reader)}
    assert expected_summary["quarantined_rows"] > 0

    plan = {
        "input": str(big_file),
        "reader_input": str(big_file),
        "output": str(work / "clean.csv"),
        "quarantine": str(work / "q.csv"),
        "options": options,
    }
    helpers = []
    if through_fifos:
        # Other processes feed the inputs and drain the outputs through
        # pipes, so reads and writes block, come back short and get
        # interrupted. Each helper ends once the module closes its end.
        for name in ("in.fifo", "reader.fifo", "clean.fifo", "q.fifo"):
            os.mkfifo(work / name)
        helpers = [
            helper('exec cat "%s" > "%s"' % (big_file, work / "in.fifo")),
            helper('exec cat "%s" > "%s"' % (big_file, work / "reader.fifo")),
            helper('exec cat "%s" > "%s"' % (work / "clean.fifo", work / "clean.csv")),
            helper('exec cat "%s" > "%s"' % (work / "q.fifo", work / "q.csv")),
        ]
        plan.update(
            input=str(work / "in.fifo"),
            reader_input=str(work / "reader.fifo"),
            output=str(work / "clean.fifo"),
            quarantine=str(work / "q.fifo"),
        )
    # Where the shim can be built it counts the interrupted calls on the
    # pipes, to show that the signals really cut into the module's I/O.
    report = tmp_path / "report"
    extra = {}
    if built_shim is not None:
        extra = shim_environment(built_shim, report, watch=str(work / "*.fifo"))
    try:
        done = subprocess.run(
            [sys.executable, "-c", SIGNAL_CHILD, json.dumps(plan)],
            env=module_environment(rm, **extra),
            capture_output=True,
            text=True,
            timeout=240,
        )
        for process in helpers:
            assert process.wait(timeout=60) == 0
    finally:
        for process in helpers:
            if process.poll() is None:
                process.kill()
                process.wait()
    assert done.returncode == 0, done.stderr
    answer = json.loads(done.stdout)
    assert answer.pop("alarms") >= 1
    assert answer == expected
    assert (work / "clean.csv").read_bytes() == clean.read_bytes()
    assert (work / "q.csv").read_bytes() == quarantine.read_bytes()
    # PyPy may restart an interrupted call itself, after its own handler,
    # so the shim cannot count on seeing the interruptions there.
    if through_fifos and built_shim is not None and not IS_PYPY:
        _, interrupted = read_report(report)
        assert interrupted >= 1


# ---------------------------------------------------------------------------
# Memory running out part-way
# ---------------------------------------------------------------------------

IS_PYPY = platform.python_implementation() == "PyPy"

# Caps the child's address space at its current size plus a headroom, makes
# the calls, lifts the cap again and describes how each call ended.
MEMORY_CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import _rowmend_backend as rm
    plan = json.loads(sys.argv[1])
    with open("/proc/self/status") as status:
        size = [int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:")][0]
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (size + plan["headroom"], hard))
    outcomes = []
    for name, args, kwargs in plan["calls"]:
        try:
            made = getattr(rm, name)(*args, **kwargs)
            outcomes.append(["returned", made.to_dict() if name == "salvage_file" else made.summary.to_dict()])
        except BaseException as exc:
            outcomes.append(["raised", type(exc).__module__ + "." + type(exc).__qualname__])
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(json.dumps(outcomes))
    """
)


def test_memory_running_out_raises_memory_error(rm, tmp_path):
    # Over a range of caps, from one too small to read the input to one
    # large enough for everything, each call either does its whole work or
    # raises MemoryError, and the process carries on. Half of the rows are
    # quarantined, so memory keeps growing while the clean file is written;
    # a failed in-place run leaves the input as it was and no temporary file.
    data = b"abc,def,ghi\r\nabc,def\r\n" * 2_000_000
    options = {"delimiter": ",", "expected_columns": 3, "fill_ragged_rows": False}
    summary, clean, quarantine = reference(rm, tmp_path / "reference", data, options)
    reader_summary = rm.open(str(tmp_path / "reference" / "data.csv"), **options).summary.to_dict()
    source = tmp_path / "reference" / "data.csv"
    seen = set()
    for headroom in [10, 50, 100, 150, 200, 250, 300, 500]:
        work = tmp_path / ("cap%d" % headroom)
        work.mkdir()
        (work / "data.csv").write_bytes(data)
        plan = {
            "headroom": headroom << 20,
            "calls": [
                ("open", [str(source)], options),
                ("salvage_file", [str(source), "out.csv", "q.csv"], options),
                ("salvage_file", ["data.csv", "data.csv", "q_in_place.csv"], options),
            ],
        }
        done = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, json.dumps(plan)],
            cwd=work, env=module_environment(rm), capture_output=True, text=True, timeout=300,
        )
        if IS_PYPY and done.returncode != 0 and "out of memory" in done.stderr:
            # PyPy's collector ends the process when its own heap cannot
            # grow under the cap, whatever the code was doing.
            shutil.rmtree(work)
            continue
        assert done.returncode == 0, done.stderr
        reader, to_file, in_place = json.loads(done.stdout)
        for outcome, expected in [(reader, reader_summary), (to_file, summary), (in_place, summary)]:
            assert outcome in (["returned", expected], ["raised", "builtins.MemoryError"])
            seen.add(outcome[0])
        files = listing(work)
        # What a failed run wrote is a beginning of what a whole run writes.
        assert clean.startswith(files.get("out.csv", b""))
        assert quarantine.startswith(files.get("q.csv", b""))
        assert quarantine.startswith(files.get("q_in_place.csv", b""))
        assert files["data.csv"] == (clean if in_place[0] == "returned" else data)
        assert set(files) <= {"data.csv", "out.csv", "q.csv", "q_in_place.csv"}
        shutil.rmtree(work)
    assert seen == {"raised", "returned"}
