#!/usr/bin/env bash
# Builds the updater and starts it: the splash window appears (under Xvfb when there is
# no display) and stays for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF
cmake --build build-demo
if [ -z "${DISPLAY:-}" ]; then
    Xvfb :77 -screen 0 800x600x24 >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb' EXIT
    export DISPLAY=:77
    sleep 1
fi
./build-demo/PellarinUpdater &
updater=$!
sleep 3
kill $updater 2>/dev/null || true
