#!/usr/bin/env bash
# Runs a fuzz target, or each of them, for a while, and fails on any finding:
#
#   bash scripts/fuzz.sh <zipdirectory|preflight|install|signature|manifest|delta|patch|all> [seconds]
#
# Builds the targets with clang in build-tests/fuzz (UPDATER_FUZZ: libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer), makes the seed corpus, and fuzzes
# in build-tests/fuzz/work/<target>, which grows from run to run. A finding is copied
# into fuzz/regressions/<target>/, which the normal test build replays.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(zipdirectory preflight install signature manifest delta patch)
which=${1:?usage: bash scripts/fuzz.sh <target|all> [seconds]}
seconds=${2:-600}
[ "$which" = all ] || targets=("$which")
build=build-tests/fuzz
mkdir -p build-tests

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DUPDATER_FUZZ=ON -DUPDATER_WERROR=ON -DUPDATER_BUILD_TESTS=OFF > "$build.cmake.log" 2>&1 \
    || { cat "$build.cmake.log"; exit 1; }
cmake --build "$build" > "$build.build.log" 2>&1 || { tail -n 30 "$build.build.log"; exit 1; }
sh fuzz/make-corpus.sh "$build/corpus" "$build/pellarin-publish" > /dev/null

status=0
for target in "${targets[@]}"; do
    work=$build/work/$target
    findings=$build/findings/$target
    mkdir -p "$work" "$findings"
    # The installer's temporary folders go to memory.
    if TMPDIR=/dev/shm ASAN_OPTIONS=detect_leaks=0 "$build/fuzz/fuzz_$target" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$work" "$build/corpus/$target" \
        > "$build/$target.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log")
        coverage=$(grep -o 'cov: [0-9]*' "$build/$target.log" | tail -n 1)
        echo "fuzz_$target: no finding in $seconds s ($runs runs, $coverage)"
    else
        echo "fuzz_$target: a finding; its log:"
        tail -n 40 "$build/$target.log"
        mkdir -p "fuzz/regressions/$target"
        cp "$findings"/* "fuzz/regressions/$target/" 2> /dev/null || true
        echo "kept in fuzz/regressions/$target/"
        status=1
    fi
done
exit $status
