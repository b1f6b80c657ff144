#!/usr/bin/env bash
# Builds and runs every test suite twice: a normal build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

run() {
    local name=$1
    shift
    echo "=== $name build"
    cmake -S . -B "build-tests/$name" -G Ninja "$@"
    cmake --build "build-tests/$name"
    (cd "build-tests/$name" && ctest --output-on-failure -j 2)
}

run normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
run sanitized -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON
echo "=== both builds passed"
