#!/usr/bin/env bash
# The test suites under AddressSanitizer and UndefinedBehaviorSanitizer (g++),
# built in build-asan/ (or $ROWMEND_ASAN_BUILD):
#   1. the engine's C++ tests (ctest -L engine) and the fuzz targets replaying
#      their seeds (ctest -L fuzz);
#   2. the Python suite (tests/python) against the module built with the same
#      flags, in an interpreter that preloads gcc's ASan and UBSan runtimes,
#      then the package's tests that drive rowmend._native (see below)
#      against the package with its native module built the same way.
# Any sanitizer report fails the run. Each stage has a time limit, so a hang
# fails rather than stalls CI. The suites run on one pytest worker per build
# job (pytest-xdist), which inherit the sanitizer runtimes' preload.
#
#   tests/sanitize.sh            # both stages
#   tests/sanitize.sh --engine   # stage 1 only
#   tests/sanitize.sh --python   # stage 2 only (builds the modules alone)
#
# ROWMEND_BUILD_ROOT puts build-asan/ in another folder (tests/run.sh keeps
# its builds out of the clone); ROWMEND_ASAN_BUILD names the folder itself.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ROWMEND_ASAN_BUILD:-${ROWMEND_BUILD_ROOT:-$root}/build-asan}"
jobs="${ROWMEND_BUILD_JOBS:-2}"
python="${PYTHON:-$(command -v python3)}"
stages=all
case "${1:-}" in
"") ;;
--engine) stages=engine ;;
--python) stages=python ;;
*)
    echo "usage: $0 [--engine | --python]" >&2
    exit 2
    ;;
esac

# -O1 keeps the sanitized tests quick; no NDEBUG, so the engine's own
# invariant assertions are checked too.
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CC=gcc CXX=g++ cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DROWMEND_SANITIZE=ON -DROWMEND_DEVELOPER_MODE=ON \
    -DROWMEND_BUILD_MODULE="$([ "$stages" = engine ] && echo OFF || echo ON)" \
    -DPython_EXECUTABLE="$python" >/dev/null
targets=()
[ "$stages" = python ] && targets=(--target _rowmend_backend _native)
timeout 900 cmake --build "$build" --parallel "$jobs" "${targets[@]}"

# A sanitizer report ends the process with an error instead of scrolling by.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

if [ "$stages" != python ]; then
    echo "== engine tests and fuzz replays under ASan/UBSan"
    (cd "$build" && ASAN_OPTIONS="detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
        ctest -L 'engine|fuzz' --output-on-failure --parallel "$jobs" --timeout 240)
fi

[ "$stages" != engine ] || exit 0

preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"

# Both modules must come from this build. The package imports its native
# module as rowmend._native: a tree of links puts the sanitized build beside
# the package's sources. An editable install of rowmend puts an import hook
# ahead of the search path, which would load its own unsanitized modules
# instead: the tree's sitecustomize removes such hooks, and the check below
# proves which files load.
overlay="$build/package"
rm -rf "$overlay"
mkdir -p "$overlay/rowmend"
ln -s "$root"/src/rowmend/* "$overlay/rowmend/"
ln -sf "$build"/_native*.so "$overlay/rowmend/"
cat >"$overlay/sitecustomize.py" <<'PY'
import sys

sys.meta_path[:] = [finder for finder in sys.meta_path if not type(finder).__name__.startswith("ScikitBuild")]
PY
sanitized() {
    LD_PRELOAD="$preload" \
        ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
        PYTHONPATH="$overlay:$build${PYTHONPATH:+:$PYTHONPATH}" \
        "$@"
}
sanitized "$python" -c '
import sys, _rowmend_backend, rowmend._native
for module in (_rowmend_backend, rowmend._native):
    assert module.__file__.startswith(sys.argv[1]), f"{module.__name__} loads from {module.__file__}"
' "$build"

echo "== Python suite under ASan/UBSan"
# The interpreter is not built with ASan, so the runtimes must be loaded
# before it. It also never frees some objects at exit: no leak checking.
# Two files cannot run here and stay with the plain runs: the leak tests
# read the process's resident size, which ASan's quarantine of freed memory
# swamps; the fault-injection tests start children whose LD_PRELOAD holds
# only their own shim, so the sanitized module cannot load in them (the C++
# io-fault tests above take the engine through the same failures).
sanitized timeout 300 "$python" -m pytest "$root/tests/python" -q -p no:cacheprovider -n "$jobs" --dist loadfile \
    --ignore="$root/tests/python/test_leaks.py" \
    --ignore="$root/tests/python/test_fault_injection.py"

echo "== the package's tests of rowmend._native under ASan/UBSan"
# The files that drive the native pass and the Arrow batches with hostile and
# random input (its keywords, tables, sources, encodings, names, clean, the
# property tests); the command line, Dask, HTML and pollution tests start processes,
# browsers and clusters, reach the same native code through these paths, and
# stay with the plain runs.
package_tests=(test_native.py test_tables.py test_sources.py test_encoding.py test_names.py test_clean.py test_package_properties.py)
sanitized timeout 300 "$python" -m pytest "${package_tests[@]/#/$root/tests/package/}" -q -p no:cacheprovider \
    -n "$jobs" --dist loadfile
