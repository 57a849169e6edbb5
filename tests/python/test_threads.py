"""The module from several Python threads: independent salvage runs stay
independent, and threads sharing one reader split its rows between them."""

import threading

import pytest
from conftest import summary_counts as counts

THREADS = 6


def run_threads(count, work):
    """Starts count threads together on work(index) and re-raises the first failure."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as exc:  # reported to the main thread below
            failures.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def layout(index):
    """File number index: its own delimiter, width and length; every fifth row
    lacks its last field and every seventh has one field too many."""
    delimiter = ",;\t|"[index % 4]
    columns = 2 + index % 5
    row_count = 2000 + 250 * index
    lines, rows = [], []
    repaired = 0
    for r in range(row_count):
        fields = [f"t{index}r{r}c{c}" for c in range(columns)]
        if r % 5 == 1:
            lines.append(delimiter.join(fields[:-1]))
            rows.append(fields[:-1] + [""])
            repaired += 1
        elif r % 7 == 3:
            lines.append(delimiter.join(fields + ["more"]))
            rows.append(fields[:-1] + [fields[-1] + delimiter + "more"])
            repaired += 1
        else:
            lines.append(delimiter.join(fields))
            rows.append(fields)
    data = ("\r\n".join(lines) + "\r\n").encode()
    summary = (row_count, row_count, repaired, 0, delimiter, columns)
    return data, rows, summary


def clean_text(rows, delimiter):
    def written(field):
        return f'"{field}"' if delimiter in field else field

    return "".join(delimiter.join(written(f) for f in row) + "\n" for row in rows).encode()


def test_threads_salvaging_different_files(rm, tmp_path, write_bytes):
    cases = [layout(i) for i in range(THREADS)]
    inputs = [write_bytes(data) for data, _, _ in cases]

    def work(index):
        _, rows, summary = cases[index]
        for round_ in range(3):
            output = tmp_path / f"out_{index}_{round_}.csv"
            rejects = tmp_path / f"rejects_{index}_{round_}.csv"
            got = rm.salvage_file(inputs[index], str(output), str(rejects))
            assert counts(got) == summary
            assert output.read_bytes() == clean_text(rows, summary[4])
            assert rejects.read_bytes() == b"line,reason,raw_content\n"
            reader = rm.SalvageReader(inputs[index])
            assert counts(reader.summary) == summary
            assert list(reader) == rows

    run_threads(THREADS, work)


def test_threads_sniffing_concurrently(rm):
    samples = [(layout(i)[0].decode(), ",;\t|"[i % 4]) for i in range(THREADS)]

    def work(index):
        sample, delimiter = samples[index]
        for _ in range(50):
            assert rm.sniff(sample) == delimiter

    run_threads(THREADS, work)


@pytest.mark.parametrize("thread_count", [2, 4, 8])
def test_threads_sharing_one_reader(rm, write_bytes, thread_count):
    row_count = 30000
    data = "".join(f"{i},value {i}\n" for i in range(row_count)).encode()
    reader = rm.open(write_bytes(data))
    received = [[] for _ in range(thread_count)]

    def work(index):
        mine = received[index]
        for row in reader:
            mine.append(int(row[0]))
            assert row[1] == f"value {row[0]}"

    run_threads(thread_count, work)
    every = sorted(n for mine in received for n in mine)
    assert every == list(range(row_count))
    # Each thread saw its own rows in file order.
    for mine in received:
        assert mine == sorted(mine)
    with pytest.raises(StopIteration):
        next(reader)
    assert len(reader) == row_count
