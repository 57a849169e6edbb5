#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each in turn for the
# given number of seconds (default 60), with the CSV dictionary, the seeds in
# fuzz/seeds and the shared corpus (ROWMEND_SEED_CORPUS, by default
# ../shared/corpus, read only). New inputs collect in build-fuzz/corpus/<target>,
# crashes in build-fuzz/artifacts/. Exits non-zero when any target fails.
#
#   fuzz/run.sh          # a minute per target
#   fuzz/run.sh 3600     # an hour per target
#
# ROWMEND_BUILD_ROOT puts build-fuzz/ in another folder (tests/run.sh keeps
# its builds out of the clone).
#
# One fuzzer process at a time, on purpose: the machine is shared.
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 [seconds-per-target]" >&2
    exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ROWMEND_BUILD_ROOT:-$root}/build-fuzz"
corpus="${ROWMEND_SEED_CORPUS:-$root/../shared/corpus}"
jobs="${ROWMEND_BUILD_JOBS:-2}"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DROWMEND_DEVELOPER_MODE=ON -DROWMEND_FUZZ=ON -DROWMEND_BUILD_MODULE=OFF >/dev/null
targets=(fuzz_parser fuzz_salvage fuzz_run fuzz_writers)
cmake --build "$build" --parallel "$jobs" --target "${targets[@]}"

seed_dirs=("$root/fuzz/seeds")
[ -d "$corpus" ] && seed_dirs+=("$corpus")
mkdir -p "$build/artifacts"
# fuzz_writers round-trips through real files: on tmpfs when there is one,
# which triples its speed, otherwise in the build tree.
scratch="$(mktemp -d /dev/shm/rowmend-fuzz.XXXXXX 2>/dev/null || mktemp -d "$build/tmp.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

failed=()
for target in "${targets[@]}"; do
    # The writers target needs lines longer than the 8192-byte output buffer.
    max_len=4096
    [ "$target" = fuzz_writers ] && max_len=10000
    mkdir -p "$build/corpus/$target"
    echo "== $target: ${seconds}s"
    if ! "$build/fuzz/$target" \
        -dict="$root/fuzz/csv.dict" \
        -max_total_time="$seconds" \
        -max_len="$max_len" \
        -timeout=20 \
        -rss_limit_mb=2048 \
        -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" \
        "$build/corpus/$target" "${seed_dirs[@]}"; then
        failed+=("$target")
    fi
done

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]} (inputs in $build/artifacts/)" >&2
    exit 1
fi
echo "fuzzing passed: ${targets[*]}"
