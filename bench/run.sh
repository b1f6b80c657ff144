#!/usr/bin/env bash
# Measures the updater's whole job against the shell pipeline a vendor would otherwise
# script (curl, sha256sum -c, rm -rf App && unzip -q, start the program), on this
# machine, against a loopback HTTPS server, and the fixed cost of a run against the floor
# of a Qt program that makes one request; and the field options against the plain build.
# and release day: only what changed, a resumed download, the package on disk.
# Usage: bash bench/run.sh [runs] [tiny|large|field|release|patches] (one part alone)
# BENCH_BEFORE=<revision> also builds that revision of the updater, to compare the default
# build's memory and whole job with.
#
# The updater built without UPDATER_TRUSTED_CA, and the floor program, must find the
# benchmark's private authority among the system's: for the time of the run it stands
# in /usr/local/ssl/certs, a folder Qt looks in and Debian leaves empty (root or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh
command -v python3 > /dev/null || {
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y -qq python3
}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

port=${BENCH_PORT:-8543}
work=$root/bench-run
mkdir -p "$work"
# nginx's workers run as another user, who may not reach a clone in a private folder (root's
# home is 0700): the releases go to a folder of their own that anyone can read.
if [ ! -L "$work/www" ] || [ ! -d "$work/www" ]; then
    rm -rf "$work/www"
    www=$(mktemp -d /tmp/pellarin-bench-www.XXXXXX)
    chmod 755 "$www"
    ln -s "$www" "$work/www"
fi
sh tools/make-certificates.sh "$work/certs"
# A vendor authority that is not the server's: its chain ends at the system's.
sh tools/make-certificates.sh "$work/certs/other"
[ -f "$work/certs/minisign.pub" ] || minisign -G -W -f -p "$work/certs/minisign.pub" \
    -s "$work/certs/minisign.key" > /dev/null

build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF \
        -DUPDATER_RELEASE_SERVER="https://localhost:$port" "$@" > "$work/cmake.log"
    cmake --build "$dir" > "$work/build.log"
}
build build-bench -DUPDATER_TRUSTED_CA="$work/certs/ca.pem"
build build-bench-plain -DUPDATER_TRUSTED_CA= -DUPDATER_BUILD_BENCH=ON
build build-bench-other -DUPDATER_TRUSTED_CA="$work/certs/other/ca.pem"
build build-bench-signed -DUPDATER_TRUSTED_CA="$work/certs/ca.pem" \
    -DUPDATER_SIGNING_KEY="$work/certs/minisign.pub"
build build-bench-field -DUPDATER_TRUSTED_CA="$work/certs/ca.pem" -DUPDATER_SKIP_UNCHANGED=ON \
    -DUPDATER_OFFLINE_START=ON
build build-bench-offline -DUPDATER_TRUSTED_CA="$work/certs/ca.pem" -DUPDATER_OFFLINE_START=ON
build build-bench-delta -DUPDATER_TRUSTED_CA="$work/certs/ca.pem" -DUPDATER_DELTA_UPDATES=ON
before=()
if [ -n "${BENCH_BEFORE:-}" ]; then
    rm -rf "$work/before"
    git worktree prune
    git worktree add -f --detach "$work/before" "$BENCH_BEFORE" > /dev/null
    (cd "$work/before" && cmake -S . -B "$root/build-bench-before" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF \
        -DUPDATER_RELEASE_SERVER="https://localhost:$port" \
        -DUPDATER_TRUSTED_CA="$work/certs/ca.pem" > "$work/cmake.log" \
        && cmake --build "$root/build-bench-before" > "$work/build.log")
    before=(--before-build "$root/build-bench-before")
fi

hash=$(openssl x509 -hash -noout -in "$work/certs/ca.pem")
trusted=/usr/local/ssl/certs/$hash.0
made=""
[ -d /usr/local/ssl/certs ] || made=/usr/local/ssl
$sudo mkdir -p /usr/local/ssl/certs
$sudo cp "$work/certs/ca.pem" "$trusted"
untrust() {
    $sudo rm -f "$trusted"
    [ -z "$made" ] || $sudo rm -rf "$made"
}
trap untrust EXIT
python3 bench/bench.py --build "$root/build-bench" --plain-build "$root/build-bench-plain" \
    --signed-build "$root/build-bench-signed" --other-build "$root/build-bench-other" \
    --field-build "$root/build-bench-field" --offline-build "$root/build-bench-offline" \
    --delta-build "$root/build-bench-delta" "${before[@]}" \
    --key "$work/certs/minisign" \
    --work "$work" --port "$port" --runs "${1:-7}" ${2:+--only "$2"}
