"""Inputs named by URL, read through fsspec: file://, memory:// and a local HTTP server."""

import functools
import gzip
import http.server
import os
import threading

import fsspec
import pytest

import rowmend
from rowmend.cli import main

DATA = b"a,b\n1,2\n3\n"
ROWS = {"a": ["1", "3"], "b": ["2", ""]}


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """A folder served over HTTP on 127.0.0.1, and its base URL."""
    folder = tmp_path_factory.mktemp("served")
    (folder / "a.csv").write_bytes(DATA)
    (folder / "b.csv.gz").write_bytes(gzip.compress(DATA, mtime=0))
    (folder / "long.csv").write_bytes(b"n,x\n" + b"".join(b"%d,row %d\n" % (i, i) for i in range(400_000)))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=str(folder)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield folder, f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


def url_of(kind, served):
    folder, base = served
    if kind == "http":
        return base + "/a.csv"
    if kind == "http, gzip":
        return base + "/b.csv.gz"
    if kind == "file":
        return "file://" + str(folder / "a.csv")
    with fsspec.open("memory://rowmend-test/a.csv", "wb") as out:
        out.write(DATA)
    return "memory://rowmend-test/a.csv"


@pytest.mark.parametrize("kind", ["http", "http, gzip", "file", "memory"])
def test_read_arrow_takes_a_url(served, kind):
    assert rowmend.read_arrow(url_of(kind, served)).to_pydict() == ROWS


def test_a_long_file_streams_over_http(served):
    _, base = served
    stream = rowmend.stream(base + "/long.csv", batch_rows=65536)
    assert sum(batch.num_rows for batch in stream) == 400_000 == stream.report.salvaged_rows


@pytest.mark.parametrize("kind", ["http", "file"])
def test_the_command_line_cleans_a_url(served, tmp_path, kind):
    url = url_of(kind, served) + ("?v=1" if kind == "http" else "")  # a query is no glob pattern
    assert main(["clean", url, "-o", str(tmp_path / "out.csv")]) == 0
    assert (tmp_path / "out.csv").read_bytes() == b"a,b\n1,2\n3,\n"


@pytest.mark.parametrize(
    "path, error, message",
    [
        ("/missing.csv", FileNotFoundError, "missing.csv"),
        ("unreachable", FileNotFoundError, "not found or not reachable"),
    ],
)
def test_a_url_that_cannot_be_read_names_itself_and_the_cause(served, path, error, message):
    url = served[1] + path if path.startswith("/") else "http://127.0.0.1:1/a.csv"
    with pytest.raises(error, match=message) as info:
        rowmend.read_arrow(url)
    assert info.value.filename == url
