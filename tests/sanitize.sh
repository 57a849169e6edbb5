#!/usr/bin/env bash
# The test suites under AddressSanitizer and UndefinedBehaviorSanitizer (g++),
# built in build-asan/:
#   1. the engine's C++ tests (ctest -L engine) and the fuzz targets replaying
#      their seeds (ctest -L fuzz);
#   2. the Python suite (tests/python) against the module built with the same
#      flags, in an interpreter that preloads gcc's ASan and UBSan runtimes.
# Any sanitizer report fails the run. Each stage has a time limit, so a hang
# fails rather than stalls CI.
#
#   tests/sanitize.sh            # both stages
#   tests/sanitize.sh --engine   # stage 1 only
#
# ROWMEND_BUILD_ROOT puts build-asan/ in another folder (tests/run.sh keeps
# its builds out of the clone).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ROWMEND_BUILD_ROOT:-$root}/build-asan"
jobs="${ROWMEND_BUILD_JOBS:-2}"
python="${PYTHON:-$(command -v python3)}"
stages=all
case "${1:-}" in
"") ;;
--engine) stages=engine ;;
*)
    echo "usage: $0 [--engine]" >&2
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
    -DROWMEND_BUILD_MODULE="$([ "$stages" = all ] && echo ON || echo OFF)" \
    -DPython_EXECUTABLE="$python" >/dev/null
timeout 900 cmake --build "$build" --parallel "$jobs"

# A sanitizer report ends the process with an error instead of scrolling by.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

echo "== engine tests and fuzz replays under ASan/UBSan"
(cd "$build" && ASAN_OPTIONS="detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    ctest -L 'engine|fuzz' --output-on-failure --parallel "$jobs" --timeout 240)

[ "$stages" = all ] || exit 0

echo "== Python suite under ASan/UBSan"
# The interpreter is not built with ASan, so the runtimes must be loaded
# before it. It also never frees some objects at exit: no leak checking.
# Two files cannot run here and stay with the plain runs: the leak tests
# read the process's resident size, which ASan's quarantine of freed memory
# swamps; the fault-injection tests start children whose LD_PRELOAD holds
# only their own shim, so the sanitized module cannot load in them (the C++
# io-fault tests above take the engine through the same failures).
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
    timeout 300 "$python" -m pytest "$root/tests/python" -q -p no:cacheprovider \
    --ignore="$root/tests/python/test_leaks.py" \
    --ignore="$root/tests/python/test_fault_injection.py"
