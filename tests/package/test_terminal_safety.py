"""What the command line prints never drives the terminal: control characters
from fields, names and file names are shown, on a real terminal (tmux) and
in pipes; JSON lines stay valid whatever the file names."""

import json
import os
import re
import shutil
import subprocess
import sys
import time
import uuid

import pytest

from rowmend._display import json_line, visible

# An xterm title (OSC 2 ... BEL), red text (CSI 31 m), a C1 CSI, and rich
# markup that does not close: each harmless only when shown as text.
TITLE = "\x1b]2;pwned\x07"
RED = "\x1b[31m"
HOSTILE = (
    f"id,na{TITLE}me,note\n"
    f"1,{RED}red,\x9b31m\n"
    f"2,[/x] not markup\n"  # short: quarantined without --fill-ragged-rows
).encode()
# A file name with the same title sequence and a byte that is not UTF-8.
HOSTILE_NAME = b"in\x1b]2;pwned\x07\xff.csv"


@pytest.mark.parametrize(
    "text, shown",
    [
        ("plain, é and 名", "plain, é and 名"),
        (TITLE, "␛]2;pwned␇"),
        (RED + "x\r\n", "␛[31mx␍␊"),
        ("\x7f\x9b\x85", "␡\\x9b\\x85"),
        ("\u202eevil", "\\u202eevil"),  # a right-to-left override would reorder the line
        ("caf\udce9\ud800", "caf\\xe9\\ud800"),  # a file name's undecodable byte; a lone surrogate
    ],
)
def test_visible_shows_control_characters(text, shown):
    assert visible(text) == shown


@pytest.mark.parametrize(
    "record",
    [
        {"path": "caf\udce9.csv"},
        {"path": "in\x1b]2;x\x07.csv", "raw": "\x9b31m\u2028"},
        {"names": ["a", "\udcff\udcfe"]},
    ],
)
def test_json_lines_are_valid_utf8_json_that_gives_the_names_back(record):
    line = json_line(record)
    text = line.decode("utf-8")  # strict: never raw surrogates
    assert not re.search("[\x00-\x1f\x7f-\x9f]", text)
    assert json.loads(text) == record


def run(tmp_path, *argv, env=None):
    return subprocess.run(
        [sys.executable, "-m", "rowmend", *argv], cwd=tmp_path, capture_output=True, timeout=120, env=env
    )


def test_pipes_get_visible_text_and_json_never_stops(tmp_path):
    (tmp_path / "a.csv").write_bytes(HOSTILE)
    (tmp_path / os.fsdecode(HOSTILE_NAME)).write_bytes(HOSTILE)
    names = ["a.csv", os.fsdecode(HOSTILE_NAME)]
    inspected = run(tmp_path, "inspect", "a.csv", "--no-fill-ragged-rows")
    assert inspected.returncode == 1, inspected.stderr
    assert b"\x1b" not in inspected.stdout + inspected.stderr and b"\xc2\x9b" not in inspected.stdout
    assert "[/x] not markup" in inspected.stdout.decode()
    sniffed = run(tmp_path, "sniff", *names)
    assert sniffed.returncode == 0 and b"\x1b" not in sniffed.stdout
    assert "in␛]2;pwned␇\\xff.csv  delimiter=','" in sniffed.stdout.decode()
    # A strict ASCII standard output once stopped at the first name it could not encode.
    env = dict(os.environ, PYTHONIOENCODING="ascii:strict")
    cleaned = run(tmp_path, "clean", *names, "--output-dir", "out", "--json", "--allow-quarantine",
                  "--no-fill-ragged-rows", env=env)
    assert cleaned.returncode == 0, cleaned.stderr
    records = [json.loads(line) for line in cleaned.stdout.decode("utf-8").splitlines()]
    assert [os.fsencode(record["path"]) for record in records] == [b"a.csv", HOSTILE_NAME]
    assert b"\x1b" not in cleaned.stdout + cleaned.stderr


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_a_real_terminal_keeps_its_title_and_colours(tmp_path):
    (tmp_path / "a.csv").write_bytes(HOSTILE)
    (tmp_path / os.fsdecode(HOSTILE_NAME)).write_bytes(HOSTILE)
    rowmend = f"{sys.executable} -m rowmend"
    name = "'" + os.fsdecode(HOSTILE_NAME) + "'"
    script = tmp_path / "session.sh"
    script.write_bytes(
        os.fsencode(
            f"{rowmend} inspect a.csv --no-fill-ragged-rows\n"
            f"{rowmend} clean {name} -o out.csv --no-fill-ragged-rows\n"
            f"{rowmend} sniff {name}\n"
            "echo session-done\nsleep 120\n"
        )
    )
    socket = f"rowmend-test-{uuid.uuid4().hex[:8]}"
    tmux = ["tmux", "-L", socket, "-f", os.devnull]
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES", "NO_COLOR", "FORCE_COLOR", "TMUX")}
    env["TERM"] = "xterm-256color"
    subprocess.run([*tmux, "new-session", "-d", "-x", "160", "-y", "60", "-c", str(tmp_path), f"sh {script}"],
                   env=env, check=True)
    try:
        title = subprocess.run([*tmux, "display-message", "-p", "#{pane_title}"], capture_output=True,
                               text=True, check=True).stdout.strip()
        deadline = time.monotonic() + 90
        while True:
            screen = subprocess.run([*tmux, "capture-pane", "-p", "-e", "-S", "-200"], capture_output=True,
                                    text=True, check=True).stdout
            if "session-done" in screen or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        title_after = subprocess.run([*tmux, "display-message", "-p", "#{pane_title}"], capture_output=True,
                                     text=True, check=True).stdout.strip()
    finally:
        subprocess.run([*tmux, "kill-server"], check=False)
    assert "session-done" in screen, screen
    assert title_after == title != "pwned"
    assert not re.search(r"\x1b\[(?:[0-9;]*;)?31m", screen), "red came from a field"
    text = re.sub(r"\x1b\[[0-9;]*m", "", screen)  # the terminal's own styling, as captured
    assert "na␛]2;pwned␇me" in text  # the header of inspect
    assert "[/x] not markup" in text  # a quarantined row, not read as markup
    assert "in␛]2;pwned␇\\xff.csv: 1 of 2 rows quarantined" in text  # clean's message
    assert "in␛]2;pwned␇\\xff.csv  delimiter=','" in text  # sniff's line
    assert "Traceback" not in text and "error" not in text
