"""Shared fixtures for the Python tests of _rowmend_backend."""

import os
import pathlib

import pytest

CORPUS_DIR = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


@pytest.fixture(scope="session")
def rm():
    import _rowmend_backend

    return _rowmend_backend


@pytest.fixture
def write_bytes(tmp_path):
    """Writes bytes to a fresh file under tmp_path and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(data, name=None):
        path = tmp_path / (name or f"input_{next(counter)}.csv")
        path.write_bytes(data)
        return str(path)

    return write


def corpus_files():
    if not CORPUS_DIR.is_dir():
        return []
    return sorted(
        p for p in CORPUS_DIR.rglob("*") if p.is_file() and p.name not in ("README.md", "MANIFEST.tsv")
    )


running_as_root = os.geteuid() == 0


NOBODY = 65534


def run_in_child(func, drop_privileges=False, file_size_limit=None):
    """Runs func() in a forked child and reports how it ended.

    Returns ("returned", value) or ("raised", exception class, str(exception)).
    With drop_privileges a root child becomes the user and group nobody first,
    so that file permission bits bind it as they bind any ordinary user; the
    test is skipped when the switch is refused. file_size_limit caps the size
    of any file the child writes, with SIGXFSZ ignored so that a write past
    the cap fails with EFBIG instead of killing the child. The parent keeps
    its own privileges and limits whatever happens in the child.
    """
    import pickle
    import resource
    import signal

    if not hasattr(os, "fork"):
        pytest.skip("needs os.fork")
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        # The child never returns into pytest: whatever happens ends in _exit.
        try:
            os.close(read_end)
            try:
                if drop_privileges and os.geteuid() == 0:
                    os.setgroups([])
                    os.setgid(NOBODY)
                    os.setuid(NOBODY)
            except OSError as exc:
                answer = ("no-drop", str(exc))
            else:
                if file_size_limit is not None:
                    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                    resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
                try:
                    answer = ("returned", func())
                except BaseException as exc:
                    answer = ("raised", type(exc), str(exc))
            try:
                payload = pickle.dumps(answer)
            except Exception:  # an exception class that does not pickle
                payload = pickle.dumps((answer[0], repr(answer[1]), answer[2]))
            while payload:
                payload = payload[os.write(write_end, payload):]
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child ended with status {status}"
    answer = pickle.loads(b"".join(chunks))
    if answer[0] == "no-drop":
        pytest.skip(f"cannot drop privileges here: {answer[1]}")
    return answer


@pytest.fixture
def open_dir():
    """A scratch directory that every user may enter and read.

    pytest's own tmp_path sits below a directory only its owner may enter,
    which would hide the files from a child that has dropped privileges.
    """
    import shutil
    import tempfile

    path = pathlib.Path(tempfile.mkdtemp(prefix="rowmend-test-"))
    path.chmod(0o755)
    yield path
    # Restore write access so that locked subdirectories can be removed.
    for root, dirs, _ in os.walk(path):
        for name in dirs:
            os.chmod(os.path.join(root, name), 0o755)
    shutil.rmtree(path)


def summary_counts(summary):
    """The six values of a SalvageSummary, in attribute order."""
    return (
        summary.total_rows,
        summary.salvaged_rows,
        summary.repaired_rows,
        summary.quarantined_rows,
        summary.detected_delimiter,
        summary.inferred_columns,
    )
