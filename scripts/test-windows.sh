#!/usr/bin/env bash
# The Windows leg of the tests: cross-builds the program and its suites with the MinGW-w64
# toolchain archive that PELLARIN_WIN64_TOOLCHAIN names (unpacked once into
# PELLARIN_CACHE, by default ~/.cache/pellarin-updater), then, under Wine on an Xvfb
# display, runs the unit suites as Windows programs and the end-to-end cases with the
# Windows PellarinUpdater.exe against the Linux side's loopback release server. Expects
# the Linux build of scripts/test.sh in build-tests/normal (its certificates, its
# publishing tool, its end-to-end suite).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
archive=$(realpath "${PELLARIN_WIN64_TOOLCHAIN:?name the toolchain archive}")
cache=${PELLARIN_CACHE:-$HOME/.cache/pellarin-updater}
linux=$root/build-tests/normal
build=$root/build-tests/windows
[ -x "$linux/tests/tst_e2e" ] || { echo "run the Linux build first (scripts/test.sh)" >&2; exit 1; }

bash scripts/install-deps.sh mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    qt6-base-dev-tools wine wine64 fonts-wine binutils-mingw-w64-x86-64 nsis osslsigncode

# One unpacked copy for each archive.
sum=$(sha256sum "$archive" | cut -c1-16)
toolchain=$cache/win64-$sum/pellarin-win64
if [ ! -f "$toolchain/mingw-w64-x86_64-posix.cmake" ]; then
    echo "=== unpacking $archive into $cache/win64-$sum"
    rm -rf "$cache/win64-$sum"
    mkdir -p "$cache/win64-$sum.part"
    tar -C "$cache/win64-$sum.part" -xJf "$archive"
    mv "$cache/win64-$sum.part" "$cache/win64-$sum"
fi

echo "=== Windows build"
# The program itself is built for the tests' release server, so that its installed copy
# can run end to end.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain/mingw-w64-x86_64-posix.cmake" \
    -DUPDATER_BUILD_TESTS=ON -DUPDATER_WERROR=ON -DTEST_CERT_DIR="$linux/tests/certs" \
    -DUPDATER_RELEASE_SERVER=https://127.0.0.1:47443 \
    -DUPDATER_TRUSTED_CA="$linux/tests/certs/ca.pem"
cmake --build "$build"
rm -rf "$build/installed"
cmake --install "$build" --prefix "$build/installed" > /dev/null

echo "=== PellarinUpdater.exe: a GUI program with its icon"
headers=$(x86_64-w64-mingw32-objdump -p "$build/PellarinUpdater.exe")
grep -q "Subsystem.*(Windows GUI)" <<< "$headers" || { echo "not a GUI program" >&2; exit 1; }
# The group icon (resource type 14) named IDI_ICON1.
awk '/^[0-9a-f]+   Entry: ID: / { group = /ID: 0x00000e,/ }
     group && /Entry: name: .*: IDI_ICON1,/ { found = 1 } END { exit !found }' <<< "$headers" \
    || { echo "no group icon IDI_ICON1" >&2; exit 1; }
# Version information (resource type 16) naming the product and the project's version.
grep -q "Entry: ID: 0x000010," <<< "$headers" || { echo "no version information" >&2; exit 1; }
version=$(sed -n 's/^project(PellarinUpdater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
strings=$(x86_64-w64-mingw32-strings -el "$build/PellarinUpdater.exe")
for value in "Pellarin Updater" "$version"; do
    grep -qx "$value" <<< "$strings" || { echo "no \"$value\" in its version information" >&2; exit 1; }
done
echo "Windows GUI subsystem, group icon IDI_ICON1, version information $version"
echo "installed: $(cd "$build/installed" && find . -type f | sort | tr '\n' ' ')"

export WINEPREFIX=$cache/wineprefix
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$cache/xvfb-display" 2> /dev/null &
xvfb=$!
cleanup() {
    wineserver -k 2> /dev/null || true
    kill "$xvfb" 2> /dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$cache/xvfb-display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$cache/xvfb-display")
# A new Wine prefix takes a while to make; not inside a test's time limit.
"$toolchain/wine-run.sh" cmd /c exit > /dev/null 2>&1 || true

echo "=== Windows suites under Wine"
# One at a time: two Wine programs side by side have failed to start a third.
(cd "$build" && ctest --output-on-failure)

echo "=== the Windows program under Wine, end to end"
(cd "$linux/tests" && WINDOWS_BUILD=$build WINDOWS_INSTALLED=$build/installed \
    WINE_RUN=$toolchain/wine-run.sh ./tst_e2e)

echo "=== the setup program: signed, installed, run and uninstalled under Wine"
start=$SECONDS
bash scripts/test-setup.sh "$build" "$linux" "$toolchain/wine-run.sh"
echo "=== the setup program's step took $(( SECONDS - start )) s"
