"""What streaming changed for callers: the in-place path's faults, Ctrl-C,
other threads running during a long call, and files far larger than one
window giving what a single buffer gives."""

import os
import platform
import signal
import stat
import threading

import pytest

# PyPy installs its signal handlers with SA_RESTART, so a signal never breaks
# a blocking open() or read() out to the extension; and the big inputs here
# take minutes through its emulated C API.
on_pypy = pytest.mark.skipif(
    platform.python_implementation() == "PyPy", reason="signals restart system calls on PyPy; slow C API"
)

SAME = "quarantine_path names the same file as output_path"
ROWS = b"a,b,c\nd,e\nf,g,h,i\n" * 3


def test_quarantine_naming_the_clean_file_is_refused(rm, tmp_path):
    # (input, output, quarantine) as names in tmp_path; "in" holds ROWS.
    cases = [
        ("in", "in", "in"),  # every row would be in no file
        ("in", "out", "out"),  # the clean file would hold only the header
        ("in", "new", "./new"),  # neither exists yet: the same resolved path
        ("in", "out", "link_to_out"),  # same inode through a link
    ]
    for names in cases:
        for name in os.listdir(tmp_path):
            os.unlink(tmp_path / name)
        (tmp_path / "in").write_bytes(ROWS)
        (tmp_path / "out").write_bytes(b"old")
        os.symlink(tmp_path / "out", tmp_path / "link_to_out")
        paths = [os.path.join(tmp_path, n) for n in names]
        with pytest.raises(ValueError) as raised:
            rm.salvage_file(*paths, expected_columns=3, fill_ragged_rows=False)
        assert str(raised.value) == SAME, names
        assert (tmp_path / "in").read_bytes() == ROWS, names
        assert (tmp_path / "out").read_bytes() == b"old", names
        assert not (tmp_path / "new").exists(), names
    # The input's own errors come first.
    with pytest.raises(OSError) as raised:
        rm.salvage_file(str(tmp_path / "missing"), str(tmp_path / "o"), str(tmp_path / "o"))
    assert type(raised.value) is OSError and "os error 2" in str(raised.value)


def test_quarantine_naming_the_input_still_works(rm, tmp_path):
    source, out = tmp_path / "in", tmp_path / "out"
    source.write_bytes(ROWS)
    summary = rm.salvage_file(str(source), str(out), str(source), expected_columns=3,
                              fill_ragged_rows=False, merge_overflow=False)
    assert summary.quarantined_rows == 6
    assert out.read_bytes() == b"a,b,c\n" * 3
    assert source.read_bytes().count(b"\n") == 7


def test_fifo_in_place_is_written_not_replaced(rm, tmp_path):
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as writer:
            writer.write(b"a,b\nc,d\n")

    thread = threading.Thread(target=feed)
    thread.start()
    # Nobody reads the rows written back, so the write fails; what matters
    # is that the FIFO is still a FIFO, not a regular file renamed over it.
    with pytest.raises(OSError, match="Broken pipe"):
        rm.salvage_file(fifo, fifo)
    thread.join()
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert os.listdir(tmp_path) == ["pipe"]


@pytest.mark.skipif(os.geteuid() != 0, reason="writing /dev/null in place needs root to matter")
def test_dev_null_in_place_stays_a_device(rm):
    rm.salvage_file("/dev/null", "/dev/null", "/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


@pytest.mark.parametrize("length", [200, 240, 255])
def test_in_place_with_a_long_name(rm, tmp_path, length):
    path = tmp_path / ("n" * (length - 4) + ".csv")
    path.write_bytes(b"a,b\nc\n")
    rm.salvage_file(str(path), str(path))
    assert path.read_bytes() == b"a,b\nc,\n"
    assert os.listdir(tmp_path) == [path.name]


@on_pypy
def test_blocked_open_answers_ctrl_c_and_lets_threads_run(rm, tmp_path):
    # A FIFO with no writer blocks the open; another thread still runs (the
    # GIL is free) and its SIGINT ends the call with KeyboardInterrupt.
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    ticks = []

    def interrupt_later():
        for _ in range(20):
            ticks.append(1)
            threading.Event().wait(0.01)
        os.kill(os.getpid(), signal.SIGINT)

    # A process started in the background may inherit SIGINT ignored, and
    # Python then installs no handler of its own: install it here.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for call in (lambda: rm.salvage_file(fifo, str(tmp_path / "out")), lambda: rm.open(fifo)):
            ticks.clear()
            thread = threading.Thread(target=interrupt_later)
            thread.start()
            with pytest.raises(KeyboardInterrupt):
                call()
            thread.join()
            assert len(ticks) == 20
    finally:
        signal.signal(signal.SIGINT, previous)
    assert os.listdir(tmp_path) == ["pipe"]


@on_pypy
def test_interrupted_in_place_run_keeps_the_input(rm, tmp_path):
    path = tmp_path / "big.csv"
    data = b"alpha,beta,gamma\n1,2\n" * 2_000_000  # 44 MB, many windows
    path.write_bytes(data)
    previous = signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        try:
            rm.salvage_file(str(path), str(path))
        except KeyboardInterrupt:
            pass
        else:
            pytest.skip("the run ended before the timer fired")
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert path.read_bytes() == data
    assert os.listdir(tmp_path) == ["big.csv"]


@on_pypy
@pytest.mark.parametrize(
    "row",
    [
        b'"a ""quoted"" field",x,y\n',
        b'"stray " quote",x,y\n',
        b"plain,row,here\n",
        b"short,row\n",
        b'"line\nbreak",x,y,z\n',
        b'"no closing quote,x,y\n',
    ],
    ids=["quoted", "stray", "plain", "short", "multiline", "unterminated"],
)
def test_many_windows_match_one_buffer(rm, tmp_path, row):
    # Rows cut at every window boundary, a field longer than a window, and
    # the reader agreeing with the file.
    body = b"h1,h2,h3\n" + row * 400_000 + b'"' + b"x" * 5_000_000 + b'",y,z\n' + row * 10
    path = tmp_path / "in.csv"
    path.write_bytes(body)
    out, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    summary = rm.salvage_file(str(path), str(out), str(quarantine), fill_ragged_rows=False)
    reader = rm.open(str(out))
    assert reader.summary.total_rows == summary.salvaged_rows
    assert reader.summary.quarantined_rows == 0
    with rm.open(str(path), fill_ragged_rows=False) as again:
        assert again.summary.to_dict() == summary.to_dict()
        assert list(again) == list(reader)
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert quarantine.read_bytes().count(b"\n") >= summary.quarantined_rows
