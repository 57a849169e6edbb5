#!/usr/bin/env bash
# Builds _rowmend_backend for PyPy 3 (Debian's pypy3 and pypy3-dev) into
# build-pypy/, gives it a PyPy virtual environment with pytest and
# hypothesis (and pytest-xdist), and runs the whole Python suite there.
# Usage: bash tests/pypy.sh [extra pytest arguments]   (from anywhere)
# Installs what it lacks (apt for PyPy itself, pip inside the venv) and
# reuses what an earlier run left in build-pypy/ (under ROWMEND_BUILD_ROOT
# when that is set: tests/run.sh keeps its builds out of the clone).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
build="${ROWMEND_BUILD_ROOT:-$root}/build-pypy"
venv="$build/venv"

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

apt_install() {
    echo "installing with apt-get: $*"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# PyPy and its C headers.
has_pypy() {
    command -v pypy3 >/dev/null && pypy3 -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}
has_pypy || apt_install pypy3 pypy3-dev
pypy=$(command -v pypy3)

# The virtual environment: Debian ships venv and ensurepip for PyPy in
# pypy3-venv on some releases, inside pypy3-lib on others.
if [ ! -x "$venv/bin/python" ]; then
    rm -rf "$venv"
    if ! "$pypy" -m venv "$venv" 2>/dev/null; then
        rm -rf "$venv"
        apt_install pypy3-venv
        "$pypy" -m venv "$venv"
    fi
fi
if ! "$venv/bin/python" -c 'import pytest, hypothesis, xdist' 2>/dev/null; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "pytest>=7" "hypothesis>=6" "pytest-xdist>=3"
fi

# The module, built against PyPy's C API with the project's own CMake file.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$pypy" >/dev/null
cmake --build "$build" --target _rowmend_backend
"$venv/bin/python" -c "import sys; sys.path.insert(0, '$build'); import _rowmend_backend as m; print('built', m.__version__, m.__file__)"

# From a scratch directory, so that only the module just built is imported.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
# One worker per core (pytest-xdist), a test file to each.
PYTHONPATH="$build" "$venv/bin/python" -m pytest "$root/tests/python" -q -p no:cacheprovider \
    -n "${ROWMEND_BUILD_JOBS:-2}" --dist loadfile "$@"
