"""A signal to `rowmend clean --jobs N` stops the whole run: no worker left
cleaning queued files, no temporary file left, finished outputs kept, and the
exit status 128 + the signal."""

import os
import signal
import subprocess
import sys
import time

import pytest

# Slow enough per file (Parquet, 15 MB) that a signal lands while workers clean.
ROWS = b"".join(b'%d,name %d,"q,uo""te",%d.5,x\n' % (i, i, i) for i in range(400_000))
FILES = 12


def live_processes(session):
    listed = subprocess.run(["ps", "-s", str(session), "-o", "stat="], capture_output=True, text=True).stdout
    return [state for state in listed.split() if not state.startswith("Z")]


@pytest.mark.skipif(not hasattr(signal, "SIGHUP"), reason="POSIX signals")
@pytest.mark.parametrize(
    "signum, to_group",
    [(signal.SIGTERM, False), (signal.SIGHUP, False), (signal.SIGINT, False), (signal.SIGINT, True)],
    ids=["SIGTERM", "SIGHUP", "SIGINT", "Ctrl-C to the group"],
)
def test_a_signal_stops_every_worker_and_leaves_finished_outputs(tmp_path, signum, to_group):
    (tmp_path / "in").mkdir()
    first = tmp_path / "in" / "f00.csv"
    first.write_bytes(b"id,name,q,v,w\n" + ROWS)
    for index in range(1, FILES):
        os.link(first, tmp_path / "in" / f"f{index:02}.csv")
    out = tmp_path / "out"
    run = subprocess.Popen(
        [sys.executable, "-m", "rowmend", "clean", "in", "--output-dir", "out", "--jobs", "2", "--format", "parquet"],
        cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True,
    )
    try:
        deadline = time.monotonic() + 120
        while not (out.is_dir() and any(name.endswith(".parquet") for name in os.listdir(out))):
            assert run.poll() is None and time.monotonic() < deadline, "no file was cleaned"
            time.sleep(0.05)
        finished = {name for name in os.listdir(out) if name.endswith(".parquet")}
        if to_group:
            os.killpg(run.pid, signum)
        else:
            os.kill(run.pid, signum)
        _, stderr = run.communicate(timeout=60)  # the pipe closes only when the workers have gone too
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
    assert run.returncode == 128 + signum, stderr
    assert stderr.decode().endswith(
        "rowmend: interrupted\n" if signum == signal.SIGINT else f"rowmend: stopped by {signal.Signals(signum).name}\n"
    )
    deadline = time.monotonic() + 10
    while live_processes(run.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert live_processes(run.pid) == []
    left = sorted(os.listdir(out))
    assert not [name for name in left if not name.endswith(".parquet")], "temporary files left"
    # Every finished output stays; at most the two files being cleaned could finish as the signal came.
    assert finished <= set(left) and len(left) <= len(finished) + 2 < FILES
