#!/usr/bin/env bash
# Installs what the tests need and runs every test of rowmend:
#   C++ unit tests and fuzz-target replays (CTest), the Python suite on the
#   installed module, a compile of the bindings against PyPy's C API, and the
#   hardening runs (sanitizers, short fuzzing, PyPy) when their scripts exist.
# Usage: bash tests/run.sh            (from anywhere; needs root or sudo for apt)
# Set ROWMEND_QUICK=1 to skip the hardening runs.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=${PYTHON:-python3}

step() { printf '\n=== %s ===\n' "$*"; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

step "system packages"
# chromium renders the HTML report in the browser test.
wanted=(g++ libgtest-dev pypy3 pypy3-dev clang libclang-rt-14-dev tmux chromium)
missing=()
for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
echo "ok"

step "python packages and the module"
"$PY" -m pip install -q --disable-pip-version-check cmake ninja
"$PY" -m pip install -q --disable-pip-version-check ".[test]"
"$PY" -c "import _rowmend_backend as m; print('installed', m.__version__, m.__file__)"

step "C++ formatting"
"$PY" -m pip install -q --disable-pip-version-check clang-format==18.1.8
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror
echo "ok"

step "C++ unit tests and fuzz replays (CTest)"
cmake -S . -B build-tests -G Ninja -DROWMEND_DEVELOPER_MODE=ON -DROWMEND_BUILD_MODULE=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-tests
ctest --test-dir build-tests --output-on-failure -j2

step "bindings against PyPy's C API"
g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I/usr/include/pypy3.9 -Isrc src/bindings/*.cpp
echo "ok"

step "Python tests (CPython)"
# Run from a scratch directory so that only the installed module is imported.
(cd "$(mktemp -d)" && "$PY" -m pytest "$OLDPWD/tests/python" "$OLDPWD/tests/package" -q -p no:cacheprovider)
# The examples in the package's docstrings, run against the installed package.
(cd "$(mktemp -d)" && "$PY" -m pytest --doctest-modules --pyargs rowmend -q -p no:cacheprovider)

step "type stubs of _rowmend_backend (mypy.stubtest)"
(cd "$(mktemp -d)" && "$PY" -m mypy.stubtest _rowmend_backend rowmend._native)
"$PY" -m mypy

step "documentation site (mkdocs build --strict)"
# Only the docs extra's requirements: the package itself is already installed,
# and the site is built from the sources without it.
mapfile -t docs_requirements < <("$PY" -c '
try:
    import tomllib
except ImportError:  # Python < 3.11: the copy of the same parser that pip vendors
    from pip._vendor import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))
')
"$PY" -m pip install -q --disable-pip-version-check "${docs_requirements[@]}"
NO_MKDOCS_2_WARNING=1 "$PY" -m mkdocs build --strict --quiet --site-dir "$(mktemp -d)"
echo "ok"

if [ "${ROWMEND_QUICK:-0}" != 1 ]; then
    for extra in tests/sanitize.sh tests/pypy.sh; do
        if [ -f "$extra" ]; then
            step "$extra"
            bash "$extra"
        fi
    done
    if [ -f fuzz/run.sh ]; then
        step "fuzzing (bounded)"
        bash fuzz/run.sh "${ROWMEND_FUZZ_SECONDS:-30}"
    fi
fi
