#!/usr/bin/env bash
# Measures the updater's whole job against the shell pipeline a vendor would otherwise
# script (curl, sha256sum -c, rm -rf App && unzip -q, start the program), on this
# machine, against one loopback nginx over HTTPS. Usage: bash bench/run.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh
command -v python3 > /dev/null || {
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y -qq python3
}

port=${BENCH_PORT:-8543}
work=$root/bench-run
mkdir -p "$work"
sh tools/make-certificates.sh "$work/certs"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_RELEASE_SERVER="https://localhost:$port" \
    -DUPDATER_TRUSTED_CA="$work/certs/ca.pem" > "$work/cmake.log"
cmake --build build-bench > "$work/build.log"
# The same updater, built to require a vendor signature on every package.
[ -f "$work/certs/minisign.pub" ] || minisign -G -W -f -p "$work/certs/minisign.pub" \
    -s "$work/certs/minisign.key" > /dev/null
cmake -S . -B build-bench-signed -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_RELEASE_SERVER="https://localhost:$port" \
    -DUPDATER_TRUSTED_CA="$work/certs/ca.pem" \
    -DUPDATER_SIGNING_KEY="$work/certs/minisign.pub" > "$work/cmake-signed.log"
cmake --build build-bench-signed > "$work/build-signed.log"
exec python3 bench/bench.py --build "$root/build-bench" --work "$work" --port "$port" \
    --runs "${1:-5}" --signed-build "$root/build-bench-signed" --key "$work/certs/minisign"
