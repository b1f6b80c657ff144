#!/usr/bin/env bash
# Builds and runs every test suite twice: a normal build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer; then, where clang is, runs each fuzz
# target for 20 seconds (scripts/fuzz.sh).
#
#   bash scripts/test.sh [--debian13]
#
# When PELLARIN_WIN64_TOOLCHAIN names a Windows toolchain archive, the program and its
# suites are then cross-built for Windows and run under Wine (scripts/test-windows.sh).
# --debian13 then does the same as here on Debian 13 (Qt 6.8, GCC 14) in a chroot
# (scripts/test-debian13.sh; needs root). Every leg must pass.
set -euo pipefail
cd "$(dirname "$0")/.."
debian13=false
for option in "$@"; do
    case $option in
    --debian13) debian13=true ;;
    *) echo "usage: bash scripts/test.sh [--debian13]" >&2; exit 2 ;;
    esac
done
bash scripts/install-deps.sh

run() {
    local name=$1
    shift
    echo "=== $name build"
    cmake -S . -B "build-tests/$name" -G Ninja -DUPDATER_WERROR=ON "$@"
    cmake --build "build-tests/$name"
    (cd "build-tests/$name" && ctest --output-on-failure -j 2)
}

start=$SECONDS
run normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
run sanitized -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON
# The fuzz targets for a short while each, where clang is.
if command -v clang++ > /dev/null; then
    echo "=== fuzzing, 20 s a target"
    bash scripts/install-deps.sh libclang-rt-dev
    bash scripts/fuzz.sh all 20
else
    echo "=== no clang here: no fuzzing"
fi
echo "=== both builds passed ($(( SECONDS - start )) s)"
if [ -n "${PELLARIN_WIN64_TOOLCHAIN:-}" ]; then
    start=$SECONDS
    bash scripts/test-windows.sh
    echo "=== the Windows leg passed ($(( SECONDS - start )) s)"
fi
if $debian13; then
    start=$SECONDS
    bash scripts/test-debian13.sh
    echo "=== the Debian 13 leg passed ($(( SECONDS - start )) s)"
fi
