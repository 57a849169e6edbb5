#!/usr/bin/env bash
# Installs what the tests need and runs every test of rowmend as named steps,
# one line each (the name is what selects a step):
#   format      C++ formatting (clang-format)
#   tidy        clang-tidy with .clang-tidy's checks over src/
#   engine      the C++ unit tests and fuzz-target replays (CTest), asserts on,
#               under ASan and UBSan
#   aarch64     the engine's tests cross-compiled for 64-bit ARM (the NEON
#               scan) and run under qemu-user; skipped, saying why, without
#               the cross compiler
#   python      the Python suites (tests/python, tests/package) on CPython
#   types       the stubs against the modules (mypy.stubtest), mypy --strict
#   docs        the docstring and documentation examples, the site
#               (mkdocs build --strict)
#   pypy        the bindings compiled against PyPy's C API, then the backend's
#               suite on PyPy (tests/pypy.sh)
#   sanitizers  the Python suites under ASan and UBSan (tests/sanitize.sh),
#               and the engine's when the engine step did not run
#   fuzz        a short run of each libFuzzer target (fuzz/run.sh)
#
# Usage: bash tests/run.sh            every step (from anywhere)
#        bash tests/run.sh engine tidy    only these steps, in this order
#        bash tests/run.sh --list     the steps' names
#
# What it touches, and where:
#   - system packages: the missing ones of the list below, with apt-get (as
#     root, else through sudo), named before they are installed;
#   - a virtual environment of its own, never the one you have active nor
#     the machine's packages: $ROWMEND_TEST_HOME/venv (by default
#     ~/.cache/rowmend-tests/<clone>/), with the build and check tools, and
#     for the steps that import it the package, its extras and the test
#     tools, installed into it from PyPI (pip's cache keeps them);
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
# ROWMEND_QUICK=1 skips the hardening steps (sanitizers, fuzz, and the suite
# on PyPy, not the compile) unless they are named; ROWMEND_FUZZ_SECONDS (default 10) is the fuzzing time per
# target: fuzz/run.sh alone runs them longer. Every step takes about 19
# minutes on two quiet cores with the builds to make (more when other builds
# share the cores), about 15 with ROWMEND_QUICK=1.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

all_steps=(format tidy engine aarch64 python types docs pypy sanitizers fuzz)
# ROWMEND_QUICK=1 leaves these out (and PyPy's suite, not its compile).
hardening=(sanitizers fuzz)
# Steps that import the installed package (and so need it built and installed).
package_steps=(python types docs sanitizers)

contains() {
    local wanted=$1 item
    shift
    for item in "$@"; do [ "$item" = "$wanted" ] && return 0; done
    return 1
}

if [ "${1:-}" = --list ]; then
    printf '%s\n' "${all_steps[@]}"
    exit 0
fi
selected=()
if [ $# -gt 0 ]; then
    for name in "$@"; do
        if ! contains "$name" "${all_steps[@]}"; then
            echo "tests/run.sh: no step named '$name'; the steps: ${all_steps[*]}" >&2
            exit 2
        fi
        selected+=("$name")
    done
else
    for name in "${all_steps[@]}"; do
        if [ "${ROWMEND_QUICK:-0}" = 1 ] && contains "$name" "${hardening[@]}"; then
            continue
        fi
        selected+=("$name")
    done
    [ "${ROWMEND_QUICK:-0}" = 1 ] && echo "ROWMEND_QUICK=1: ${hardening[*]} skipped"
fi
wants() { contains "$1" "${selected[@]}"; }
wants_package() {
    local name
    for name in "${package_steps[@]}"; do wants "$name" && return 0; done
    return 1
}

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
skipped=()
step_no=0

# run_step NAME DESCRIPTION FUNCTION [ARGS]: runs an exported function (or a
# command) in a shell of its own with errexit on, so a failing command
# inside fails the step; its output goes to a log of its own. Prints one
# line with the outcome and the time taken, and the log's end when it
# failed. A step that exits with 77 was skipped: its last line says why.
last_log=
run_step() {
    local name=$1 description=$2
    shift 2
    step_no=$((step_no + 1))
    last_log=$logs/$(printf '%02d' "$step_no")-$(printf '%s' "$name" | tr -c 'A-Za-z0-9+' '-' | tr -s '-' | sed 's/-$//').log
    local t0=$SECONDS status=0
    printf '%-11s %-46s ' "$name" "$description"
    bash -euo pipefail -c '"$@"' "$name" "$@" </dev/null >"$last_log" 2>&1 || status=$?
    local took=$((SECONDS - t0))
    if [ "$status" = 0 ]; then
        printf 'ok      %4ss\n' "$took"
    elif [ "$status" = 77 ]; then
        printf 'skipped       (%s)\n' "$(tail -n 1 "$last_log")"
        skipped+=("$name")
        status=0
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
# ("123 passed, 2 skipped in 45.6s"), CTest's and GoogleTest's, each on a
# line of its own.
closing_lines() {
    grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped|deselected)|^no tests ran|[0-9]+% tests passed|^\[  (PASSED|FAILED)  \]' \
        "$last_log" || true
}

echo "rowmend tests: ${selected[*]}; logs in $logs, builds in $build"

# --- system packages -------------------------------------------------------
# chromium renders the HTML report in the browser test; tmux gives the
# terminal test a real terminal; clang and its runtime build the fuzzers;
# pypy3 the PyPy runs; on x86-64, Debian's aarch64 cross compiler and
# qemu-user build and run the engine's tests for 64-bit ARM.
wanted=(g++ libgtest-dev pypy3 pypy3-dev clang libclang-rt-14-dev tmux chromium)
[ "$(uname -m)" = x86_64 ] && wanted+=(g++-aarch64-linux-gnu qemu-user)
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
    run_step setup "system packages (apt-get)" apt_install "${missing[@]}" || exit 1
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
    # clang-tidy pinned with clang-format: a newer one brings new checks.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check cmake ninja \
        clang-format==18.1.8 clang-tidy==18.1.8
}
export -f make_venv
install_package() {
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
export -f install_package
echo "installing into $venv: cmake, ninja, clang-format, clang-tidy"
run_step setup "virtual environment and the tools" make_venv || exit 1
if wants_package; then
    echo "installing into $venv: rowmend[test] (the package, every extra, the test tools)"
    run_step setup "the package (pip install .[test])" install_package || exit 1
fi
export PATH=$venv/bin:$PATH
export PYTHON=$venv/bin/python

# --- the steps --------------------------------------------------------------
in_scratch() { cd "$scratch" && "$@"; }
export -f in_scratch

step_format() { git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror; }

# The checks and their reasons are in .clang-tidy. The compile commands come
# from a configure-only build with both modules, so the bindings are read
# with the interpreter's headers; tests and fuzz targets are left out
# (GoogleTest's macros are not this project's code).
step_tidy() {
    cmake -S . -B "$build/tidy" -G Ninja -DROWMEND_DEVELOPER_MODE=OFF -DROWMEND_BUILD_MODULE=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
    clang-tidy --version
    git ls-files -z 'src/*.cpp' |
        xargs -0 -n 4 -P "$CMAKE_BUILD_PARALLEL_LEVEL" \
            clang-tidy -p "$build/tidy" --quiet --header-filter="^$root/src/"
}

# The engine's tests are built once, with the assertions on and under ASan
# and UBSan (tests/sanitize.sh's first stage, in its build folder): a plain
# build of the same tests would find nothing these do not, and the sanitizers
# step then builds only the modules on the same objects.
step_engine() { in_scratch bash "$root/tests/sanitize.sh" --engine; }

# The engine's unit tests built for aarch64 (NEON) with Debian's cross
# compiler (cmake/aarch64-linux-gnu.cmake) against GoogleTest built from
# Debian's sources, run in one process under qemu-user.
step_aarch64() {
    if [ "$(uname -m)" = aarch64 ]; then
        echo "the host is aarch64: the engine step runs the NEON scan natively"
        exit 77
    fi
    local tool
    for tool in aarch64-linux-gnu-g++ qemu-aarch64; do
        if ! command -v "$tool" >/dev/null; then
            echo "no $tool (Debian: apt-get install g++-aarch64-linux-gnu qemu-user)"
            exit 77
        fi
    done
    if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
        echo "no GoogleTest sources in /usr/src/googletest (Debian: libgtest-dev)"
        exit 77
    fi
    local toolchain=$root/cmake/aarch64-linux-gnu.cmake out=$build/aarch64
    if [ ! -f "$out/gtest/prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
        cmake -S /usr/src/googletest -B "$out/gtest" -G Ninja -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$out/gtest/prefix"
        cmake --build "$out/gtest"
        cmake --install "$out/gtest"
    fi
    cmake -S . -B "$out/engine" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DROWMEND_DEVELOPER_MODE=ON -DROWMEND_BUILD_MODULE=OFF -DROWMEND_ASSERTS=ON \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2 -DGTest_DIR="$out/gtest/prefix/lib/cmake/GTest"
    cmake --build "$out/engine" --target rowmend_engine_tests
    # Emulated, the tests take minutes on one core: one shard of them per
    # core (GoogleTest's sharding), each shard's report in turn.
    local shards=$CMAKE_BUILD_PARALLEL_LEVEL shard status=0
    local pids=()
    for ((shard = 0; shard < shards; shard++)); do
        GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$shard \
            qemu-aarch64 -L /usr/aarch64-linux-gnu "$out/engine/tests/cpp/rowmend_engine_tests" \
            --gtest_brief=1 >"$scratch/aarch64-shard-$shard.log" 2>&1 &
        pids+=($!)
    done
    for ((shard = 0; shard < shards; shard++)); do
        wait "${pids[$shard]}" || status=1
        echo "--- shard $((shard + 1)) of $shards"
        cat "$scratch/aarch64-shard-$shard.log"
    done
    return "$status"
}

# From the scratch folder, so that only the installed module is imported.
# One pytest worker per core (pytest-xdist), a test file to a worker: the
# suites wait on child processes, a JVM and a cluster's start as much as they
# compute, and a module's fixtures (a Spark session, a Dask cluster) start once.
step_python() {
    cd "$scratch" && "$PYTHON" -m pytest "$root/tests/python" "$root/tests/package" -q -p no:cacheprovider \
        -n "$CMAKE_BUILD_PARALLEL_LEVEL" --dist loadfile
}

step_types() {
    (cd "$scratch" && "$PYTHON" -m mypy.stubtest _rowmend_backend rowmend._native)
    "$PYTHON" -m mypy
}

# The docstrings' examples; every example of the documentation pages, run in
# a folder of their own (docs/conftest.py makes it) against the installed
# package; the site, with only the docs extra's requirements.
step_docs() {
    (cd "$scratch" && "$PYTHON" -m pytest --doctest-modules --pyargs rowmend -q -p no:cacheprovider)
    (cd "$scratch" && "$PYTHON" -m pytest "$root/docs" -q -p no:cacheprovider)
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

# Both modules' sources compiled against PyPy's headers (the wheels build
# for PyPy; only _rowmend_backend is built and tested there, as pyarrow has
# no PyPy builds), then the backend's suite on PyPy. From the scratch folder:
# what the runs leave in the working folder (Hypothesis' database) must not
# land in the clone.
step_pypy() {
    local include version
    include=$(pypy3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    # The version CMake compiles into rowmend._native, from project().
    version=$(sed -n 's/^project(rowmend VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$include" -Isrc \
        -DROWMEND_VERSION="\"$version\"" src/bindings/*.cpp src/bindings/native/*.cpp
    echo "both modules compile against $include"
    if [ "${ROWMEND_QUICK:-0}" = 1 ]; then
        echo "ROWMEND_QUICK=1: the suite on PyPy skipped"
    else
        in_scratch bash "$root/tests/pypy.sh"
    fi
}

# The engine's stage is the engine step's when that ran in this call.
step_sanitizers() {
    if [ "${ROWMEND_ENGINE_SANITIZED:-0}" = 1 ]; then
        echo "the engine's tests ran under ASan/UBSan in the engine step"
        in_scratch bash "$root/tests/sanitize.sh" --python
    else
        in_scratch bash "$root/tests/sanitize.sh"
    fi
}

step_fuzz() { in_scratch bash "$root/fuzz/run.sh" "${ROWMEND_FUZZ_SECONDS:-10}"; }

export -f step_format step_tidy step_engine step_aarch64 step_python step_types step_docs \
    step_pypy step_sanitizers step_fuzz

describe() {
    case $1 in
    format) echo "C++ formatting (clang-format)" ;;
    tidy) echo "C++ checks (clang-tidy, .clang-tidy)" ;;
    engine) echo "C++ unit tests, fuzz replays (asserts, ASan/UBSan)" ;;
    aarch64) echo "C++ unit tests on aarch64 (cross, qemu-user)" ;;
    python) echo "Python tests (CPython)" ;;
    types) echo "stubs (mypy.stubtest) and mypy --strict" ;;
    docs) echo "docstrings, documentation examples and site" ;;
    pypy) echo "PyPy: both modules compile, backend suite" ;;
    sanitizers) echo "ASan/UBSan: the Python suites (and engine)" ;;
    fuzz) echo "fuzzing (${ROWMEND_FUZZ_SECONDS:-10} s per target)" ;;
    esac
}

wants engine && export ROWMEND_ENGINE_SANITIZED=1
for name in "${selected[@]}"; do
    run_step "$name" "$(describe "$name")" "step_$name" || true
    closing_lines
done

# CI works on a fresh clone each time: nothing there would be reused, so
# the environment and the builds (a gigabyte or two) go; the logs stay.
if [ "${CI:-}" = true ] && [ "${ROWMEND_TEST_KEEP:-0}" != 1 ]; then
    rm -rf "$venv" "$build"
fi

took=$((SECONDS - started))
passed="every step passed"
[ ${#skipped[@]} -ne 0 ] && passed="every step passed but ${skipped[*]}, skipped (the reason is on its line)"
if [ ${#failed[@]} -ne 0 ]; then
    printf 'rowmend tests: %d step(s) failed in %dm%02ds: %s (logs in %s)\n' \
        "${#failed[@]}" $((took / 60)) $((took % 60)) "$(IFS=,; echo "${failed[*]}")" "$logs"
    exit 1
fi
printf 'rowmend tests: %s in %dm%02ds (logs in %s)\n' "$passed" $((took / 60)) $((took % 60)) "$logs"
