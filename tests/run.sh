#!/usr/bin/env bash
# Installs what the tests need and runs every test of rowmend:
#   C++ formatting, the C++ unit tests and fuzz-target replays (CTest), a
#   compile of the bindings against PyPy's C API, the Python suite, the
#   docstring and documentation examples on the installed package, the stub
#   check and mypy, the documentation site, and the hardening runs
#   (sanitizers, PyPy, short fuzzing).
#
# Usage: bash tests/run.sh            (from anywhere)
#
# What it touches, and where:
#   - system packages: the missing ones of the list below, with apt-get (as
#     root, else through sudo), named before they are installed;
#   - a virtual environment of its own, never the one you have active nor
#     the machine's packages: $ROWMEND_TEST_HOME/venv (by default
#     ~/.cache/rowmend-tests/<clone>/), with the package, its extras and the
#     test tools installed into it from PyPI (pip's cache keeps them);
#   - every build folder under $ROWMEND_TEST_HOME/build, so the clone is
#     left as it was (builds are reused by the next run; with CI=true the
#     environment and the builds are removed at the end, the logs kept,
#     unless ROWMEND_TEST_KEEP=1);
#   - one log per step under $ROWMEND_TEST_HOME/logs; stdout gets one line
#     per step, the closing line of each pytest run, and the end of the log
#     of a step that failed.
# Every step runs even when an earlier one failed (but for the installs);
# the script exits non-zero when any failed.
#
# ROWMEND_QUICK=1 skips the hardening runs (sanitizers, PyPy, fuzzing);
# ROWMEND_FUZZ_SECONDS (default 20) is the fuzzing time per target:
# fuzz/run.sh alone runs them longer. Under 20 minutes on two cores with
# the builds to make (19 measured on a shared machine), about 8 with
# ROWMEND_QUICK=1.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

# One state folder per clone, so that two clones never share a CMake cache.
clone_id="$(basename "$root")-$(printf '%s' "$root" | sha1sum | cut -c1-8)"
home=${ROWMEND_TEST_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/rowmend-tests/$clone_id}
venv=$home/venv
build=$home/build
logs=$home/logs
mkdir -p "$build" "$logs"
rm -f "$logs"/*.log
scratch=$(mktemp -d "${TMPDIR:-/tmp}/rowmend-tests.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Nothing the runs write lands in the clone: no bytecode beside the tests,
# mypy's cache and the hardening scripts' builds in the state folder.
export PYTHONDONTWRITEBYTECODE=1
export MYPY_CACHE_DIR=$build/mypy-cache
export ROWMEND_BUILD_ROOT=$build
export CMAKE_BUILD_PARALLEL_LEVEL=${ROWMEND_BUILD_JOBS:-2}
# What the steps, each in a shell of its own, need to know.
export root home venv build logs scratch

started=$SECONDS
failed=()
step_no=0

# run_step NAME FUNCTION [ARGS]: runs an exported function (or a command)
# in a shell of its own with errexit on, so a failing command inside fails
# the step; its output goes to a log of its own. Prints one line with the
# outcome and the time taken, and the log's end when it failed.
last_log=
run_step() {
    local name=$1
    shift
    step_no=$((step_no + 1))
    last_log=$logs/$(printf '%02d' "$step_no")-$(printf '%s' "$name" | tr -c 'A-Za-z0-9+' '-' | tr -s '-' | sed 's/-$//').log
    local t0=$SECONDS status=0
    printf '%-52s ' "$name"
    bash -euo pipefail -c '"$@"' "$name" "$@" </dev/null >"$last_log" 2>&1 || status=$?
    local took=$((SECONDS - t0))
    if [ "$status" = 0 ]; then
        printf 'ok      %4ss\n' "$took"
    else
        printf 'FAILED  %4ss  (exit %s; log: %s)\n' "$took" "$status" "$last_log"
        echo "--- the end of $last_log:"
        tail -n 40 "$last_log"
        echo "---"
        failed+=("$name")
    fi
    return "$status"
}

# The closing lines of the runners in the last step's log: pytest's
# ("123 passed, 2 skipped in 45.6s") and CTest's, each on a line of its own.
closing_lines() {
    grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped|deselected)|^no tests ran|[0-9]+% tests passed' \
        "$last_log" || true
}

echo "rowmend tests: logs in $logs, builds in $build"

# --- system packages -------------------------------------------------------
# chromium renders the HTML report in the browser test; tmux gives the
# terminal test a real terminal; clang and its runtime build the fuzzers;
# pypy3 the PyPy runs.
wanted=(g++ libgtest-dev pypy3 pypy3-dev clang libclang-rt-14-dev tmux chromium)
missing=()
for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo -n "$@"; fi; }
export -f as_root
apt_install() {
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}
export -f apt_install
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing with apt-get: ${missing[*]}"
    run_step "system packages (apt-get)" apt_install "${missing[@]}" || exit 1
else
    echo "system packages: all present (${wanted[*]})"
fi

# --- the virtual environment and the package --------------------------------
make_venv() {
    # Isolated from the machine's packages: an editable install of another
    # checkout there would be imported in place of the one built here.
    if [ ! -x "$venv/bin/python" ]; then
        "${PYTHON:-python3}" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check cmake ninja clang-format==18.1.8
    # The wheel's build folder goes to the state folder (the project's
    # default, build/<tag>, is in the clone).
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        -Cbuild-dir="$build/wheel" ".[test]"
    # What the tests import must be what was just installed.
    (cd "$scratch" && "$venv/bin/python" -c '
import os, sys, _rowmend_backend, rowmend
for module in (_rowmend_backend, rowmend):
    assert os.path.realpath(module.__file__).startswith(os.path.realpath(sys.prefix)), module.__file__
    print("installed", module.__name__, module.__file__)
')
}
export -f make_venv
echo "installing into $venv: cmake, ninja, clang-format and rowmend[test] (the package, every extra, the test tools)"
run_step "virtual environment and the package" make_venv || exit 1
export PATH=$venv/bin:$PATH
export PYTHON=$venv/bin/python

# --- checks -----------------------------------------------------------------
in_scratch() { cd "$scratch" && "$@"; }
export -f in_scratch
check_format() { git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror; }
export -f check_format
run_step "C++ formatting (clang-format)" check_format || true

ctest_run() {
    cmake -S . -B "$build/tests" -G Ninja -DROWMEND_DEVELOPER_MODE=ON -DROWMEND_BUILD_MODULE=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build/tests"
    ctest --test-dir "$build/tests" --output-on-failure -j2
}
export -f ctest_run
run_step "C++ unit tests and fuzz replays (CTest)" ctest_run || true
closing_lines

pypy_syntax() { g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I/usr/include/pypy3.9 -Isrc src/bindings/*.cpp; }
export -f pypy_syntax
run_step "bindings against PyPy's C API (syntax)" pypy_syntax || true

# From the scratch folder, so that only the installed module is imported.
python_suite() {
    cd "$scratch" && "$PYTHON" -m pytest "$root/tests/python" "$root/tests/package" -q -p no:cacheprovider
}
export -f python_suite
run_step "Python tests (CPython)" python_suite || true
closing_lines

docstrings() { cd "$scratch" && "$PYTHON" -m pytest --doctest-modules --pyargs rowmend -q -p no:cacheprovider; }
export -f docstrings
run_step "docstring examples" docstrings || true
closing_lines

# Every example of the documentation pages, run in a folder of their own
# (docs/conftest.py makes it) against the installed package.
docs_examples() { cd "$scratch" && "$PYTHON" -m pytest "$root/docs" -q -p no:cacheprovider; }
export -f docs_examples
run_step "documentation examples" docs_examples || true
closing_lines

typing() {
    (cd "$scratch" && "$PYTHON" -m mypy.stubtest _rowmend_backend rowmend._native)
    "$PYTHON" -m mypy
}
export -f typing
run_step "type stubs (mypy.stubtest) and mypy --strict" typing || true

# Only the docs extra's requirements: the site is built from the sources.
docs_site() {
    local requirements
    mapfile -t requirements < <("$PYTHON" -c '
try:
    import tomllib
except ImportError:  # Python < 3.11: the copy of the same parser that pip vendors
    from pip._vendor import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))
')
    "$PYTHON" -m pip install -q --disable-pip-version-check "${requirements[@]}"
    NO_MKDOCS_2_WARNING=1 "$PYTHON" -m mkdocs build --strict --quiet --site-dir "$scratch/site"
}
export -f docs_site
run_step "documentation site (mkdocs build --strict)" docs_site || true

if [ "${ROWMEND_QUICK:-0}" != 1 ]; then
    for extra in tests/sanitize.sh tests/pypy.sh; do
        if [ -f "$extra" ]; then
            # From the scratch folder: what the runs leave in the working
            # folder (Hypothesis' database) must not land in the clone.
            run_step "$extra" in_scratch bash "$root/$extra" || true
            closing_lines
        fi
    done
    if [ -f fuzz/run.sh ]; then
        run_step "fuzzing (${ROWMEND_FUZZ_SECONDS:-20} s per target)" \
            in_scratch bash "$root/fuzz/run.sh" "${ROWMEND_FUZZ_SECONDS:-20}" || true
    fi
else
    echo "ROWMEND_QUICK=1: sanitizers, PyPy and fuzzing skipped"
fi

# CI works on a fresh clone each time: nothing there would be reused, so
# the environment and the builds (a gigabyte or two) go; the logs stay.
if [ "${CI:-}" = true ] && [ "${ROWMEND_TEST_KEEP:-0}" != 1 ]; then
    rm -rf "$venv" "$build"
fi

took=$((SECONDS - started))
if [ ${#failed[@]} -ne 0 ]; then
    printf 'rowmend tests: %d step(s) failed in %dm%02ds: %s (logs in %s)\n' \
        "${#failed[@]}" $((took / 60)) $((took % 60)) "$(IFS=,; echo "${failed[*]}")" "$logs"
    exit 1
fi
printf 'rowmend tests: every step passed in %dm%02ds (logs in %s)\n' $((took / 60)) $((took % 60)) "$logs"
