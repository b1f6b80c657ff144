#!/usr/bin/env bash
# The setup program's step of the Windows leg: signs and makes PellarinSetup-<version>.exe
# with a code-signing certificate made here, checks both signatures, then in a fresh Wine
# prefix installs it silently, checks the files, the Start-menu shortcut and the
# uninstall key, runs the installed updater against a loopback release server, checks
# that neither the setup program nor the uninstaller changes anything while the updater
# runs, nor the uninstaller while Pellarin runs, and uninstalls it silently. Then the same
# for a self-updating build: the starter layout, an update of the updater from 1.0 to 1.1,
# a 1.2 that crashes at start and is left for 1.1 for good, and the uninstaller.
# Run by scripts/test-windows.sh with DISPLAY set:
#   bash scripts/test-setup.sh <Windows build> <Linux build> <toolchain's wine-run.sh>
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
linux=$(realpath "$2")
wine_run=$(realpath "$3")
work=$build/setup-test
rm -rf "$work"
mkdir -p "$work/www/QVX/release" "$work/app/bin"
version=$(sed -n 's/^project(PellarinUpdater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail() { echo "setup: $*" >&2; exit 1; }
# The release folder on the loopback release server, in the background as $server.
serve() {
    python3 - "$work/www" "$linux/tests/certs" <<'SERVE' > "$work/server.log" 2>&1 &
import functools, http.server, ssl, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 47443), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2] + "/server.pem", sys.argv[2] + "/server.key")
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
SERVE
    server=$!
}

echo "--- a code-signing certificate, and the signed setup program"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout "$work/ca.key" \
    -out "$work/ca.pem" -subj "/CN=Pellarin Test Code Signing CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2> /dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$work/sign.key" -out "$work/sign.csr" \
    -subj "/CN=Travik Software" 2> /dev/null
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" > "$work/sign.ext"
openssl x509 -req -sha256 -days 30 -in "$work/sign.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -extfile "$work/sign.ext" -out "$work/sign.pem" 2> /dev/null
openssl pkcs12 -export -inkey "$work/sign.key" -in "$work/sign.pem" -certfile "$work/ca.pem" \
    -passout pass:not-in-the-cache -out "$work/sign.p12"
# zlib: the leg's time, not the smallest file.
cmake -S . -B "$build" -DUPDATER_SIGN_PKCS12="$work/sign.p12" -DUPDATER_SETUP_COMPRESSOR=zlib \
    > /dev/null
# What a signing run that was stopped left behind goes at the start of the next.
mkdir -p "$build/sign-secret" && echo stale > "$build/sign-secret/password"
UPDATER_SIGN_PASSWORD=not-in-the-cache cmake --build "$build" --target setup > "$work/setup.log"
grep -q "not-in-the-cache" "$build/CMakeCache.txt" && fail "the password is in the cache"
[ ! -e "$build/sign-secret" ] || fail "the signing password was left in the build folder"
setup=$build/PellarinSetup-$version.exe
for signed in "$build/setup-staging/PellarinUpdater.exe" "$setup"; do
    osslsigncode verify -CAfile "$work/ca.pem" -in "$signed" > "$work/verify.log" 2>&1 \
        || { cat "$work/verify.log"; fail "$signed: signature not accepted"; }
done
echo "both signed; $(basename "$setup"): $(stat -c %s "$setup") bytes"

echo "--- installed silently in a fresh Wine prefix"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i > /dev/null 2>&1
wineserver -w
wine "$setup" /S
wineserver -w
user=$(wine cmd /c echo %USERNAME% 2> /dev/null | tr -d '\r')
profile=$WINEPREFIX/drive_c/users/$user
folder=$profile/AppData/Local/Programs/Pellarin
for file in PellarinUpdater.exe Uninstall.exe LICENSE THIRD-PARTY-NOTICES Qt6Core.dll \
    platforms/qwindows.dll tls/qopensslbackend.dll; do
    [ -f "$folder/$file" ] || fail "no $file in $folder"
done
shortcut="$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Pellarin.lnk"
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Pellarin'
wine reg query "$key" > "$work/key.txt" 2> /dev/null || fail "no uninstall key"
for value in DisplayName DisplayVersion Publisher DisplayIcon UninstallString EstimatedSize; do
    grep -q "$value" "$work/key.txt" || fail "no $value in the uninstall key"
done
echo "files, shortcut and uninstall key are there"

echo "--- the installed updater against a loopback release server"
cp "$build/tests/launchreporter.exe" "$work/app/bin/PellarinApp.exe"
"$linux/pellarin-publish" --output "$work/www/QVX/release" "$work/app" "setup test" \
    https://127.0.0.1:47443/QVX/release/pellarin-setup-test.zip > /dev/null
serve
trap 'kill $server 2> /dev/null || true' EXIT
sleep 0.5
LAUNCH_REPORT="Z:$work/launched" WINEQT_FORCE_STDERR_LOGGING=1 timeout 60 \
    wine "$folder/PellarinUpdater.exe" > "$work/updater.log" 2>&1 || true
for _ in $(seq 100); do [ -f "$work/launched" ] && break; sleep 0.1; done
[ -f "$folder/App/bin/PellarinApp.exe" ] || { cat "$work/updater.log"; fail "App was not made"; }
[ -f "$work/launched" ] || { cat "$work/updater.log"; fail "the program did not start"; }
kill $server 2> /dev/null || true
echo "App made beside the installed updater, and its program started"

echo "--- while the updater runs, the setup program and the uninstaller change nothing"
rm "$folder/LICENSE"
# With no server, the updater waits in its error box.
(WINEQT_FORCE_STDERR_LOGGING=1 wine "$folder/PellarinUpdater.exe" > "$work/waiting.log" 2>&1 &)
for _ in $(seq 300); do grep -q "Error checking for update" "$work/waiting.log" && break; sleep 0.1; done
grep -q "Error checking for update" "$work/waiting.log" || { cat "$work/waiting.log"; fail "the updater did not wait"; }
wine "$setup" /S || true
[ ! -e "$folder/LICENSE" ] || fail "the setup program installed while the updater ran"
wine "$folder/Uninstall.exe" /S
sleep 5
[ -f "$folder/PellarinUpdater.exe" ] || fail "the uninstaller removed files while the updater ran"
wineserver -k
wineserver -w
# Once the updater is gone, the same setup program installs.
wine "$setup" /S
wineserver -w
[ -f "$folder/LICENSE" ] || fail "the setup program did not install once the updater had ended"
echo "both refused, and left everything in place; once it ended, the setup program installed"

echo "--- while Pellarin runs, the uninstaller removes nothing"
"$wine_run" "$build/demo-app/bin/PellarinApp.exe" > "$work/pellarin.log" 2>&1 &
for _ in $(seq 100); do grep -q "is running" "$work/pellarin.log" && break; sleep 0.1; done
wine "$folder/Uninstall.exe" /S
sleep 5
[ -f "$folder/PellarinUpdater.exe" ] || fail "the uninstaller removed files while Pellarin ran"
wineserver -k
wineserver -w
echo "it refused, and left everything in place"

echo "--- uninstalled silently"
wine "$folder/Uninstall.exe" /S
wineserver -w
[ ! -e "$folder" ] || fail "$folder is still there: $(cd "$folder" && find . | head)"
[ ! -e "$shortcut" ] || fail "the shortcut is still there"
wine reg query "$key" > /dev/null 2>&1 && fail "the uninstall key is still there"
wineserver -k 2> /dev/null || true
echo "folder, shortcut and key are gone"

echo "--- a self-updating build's setup program installs the starter and updater 1.0"
self=$build-self
cmake -S . -B "$self" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$(dirname "$wine_run")/mingw-w64-x86_64-posix.cmake" \
    -DUPDATER_SELF_UPDATE=ON -DUPDATER_VERSION=1.0 -DUPDATER_SETUP_COMPRESSOR=zlib \
    -DUPDATER_RELEASE_SERVER=https://127.0.0.1:47443 \
    -DUPDATER_TRUSTED_CA="$linux/tests/certs/ca.pem" > /dev/null
cmake --build "$self" --target setup > "$work/self-setup.log"
wine "$self/PellarinSetup-$version.exe" /S
wineserver -w
updater=$folder/updater
for file in PellarinUpdater.exe updater/1.0/PellarinUpdater.exe updater/1.0/.complete \
    updater/1.0/Qt6Core.dll updater/1.0/platforms/qwindows.dll; do
    [ -f "$folder/$file" ] || fail "no $file in $folder"
done
[ "$(cat "$updater/current")" = 1.0 ] || fail "updater/current does not name 1.0"
echo "the starter, updater/1.0/ and updater/current naming it"

# One start of the starter; its log in $work/<name>.log.
start() {
    LAUNCH_REPORT="Z:$work/launched" WINEQT_FORCE_STDERR_LOGGING=1 timeout 120 \
        wine "$folder/PellarinUpdater.exe" > "$work/$1.log" 2>&1 || true
    wineserver -w
    [ -f "$work/launched" ] || { cat "$work/$1.log"; fail "$1: the program did not start"; }
    rm "$work/launched"
}
# `folder` as the updater version `version`, beside the release.
publish_updater() {
    "$linux/pellarin-publish" --updater windows-x86_64 --output "$work/www/QVX/release" "$1" "$2" \
        "https://127.0.0.1:47443/QVX/release/updater-$2.zip" > /dev/null
}
mkdir -p "$work/next" "$work/crashing"
(cd "$updater/1.0" && cp -r PellarinUpdater.exe *.dll platforms tls styles "$work/next/")
cp "$build/tests/under-test-next/PellarinUpdater.exe" "$work/next/PellarinUpdater.exe"
publish_updater "$work/next" 1.1
serve
sleep 0.5
start update
grep -q "Updater 1.1 is now current" "$work/update.log" || { cat "$work/update.log"; fail "1.0 did not update itself to 1.1"; }
[ "$(cat "$updater/current")" = 1.1 ] && [ "$(cat "$updater/previous")" = 1.0 ] \
    || fail "current and previous do not name 1.1 and 1.0"
[ "$(ls "$updater" | tr '\n' ' ')" = "1.0 1.1 current previous " ] \
    || fail "updater/ holds more: $(ls "$updater")"
start updated
grep -q "Updater version: 1.1" "$work/updated.log" || { cat "$work/updated.log"; fail "1.1 did not run"; }
echo "1.0 updated itself to 1.1 once the program had started, and 1.1 ran at the next start"

cp "$build/tests/version_standin.exe" "$work/crashing/PellarinUpdater.exe"
echo crash > "$work/crashing/behaviour"
publish_updater "$work/crashing" 1.2
start crashing-update
[ "$(cat "$updater/current")" = 1.2 ] || { cat "$work/crashing-update.log"; fail "1.2 was not installed"; }
start fallback
[ -f "$updater/1.2/.failed" ] || fail "1.2 crashed at start and was not marked"
grep -q "Updater version: 1.1" "$work/fallback.log" || { cat "$work/fallback.log"; fail "1.1 did not run after 1.2 crashed"; }
ran=$(wc -l < "$folder/ran.txt")
start after-fallback
[ "$(wc -l < "$folder/ran.txt")" = "$ran" ] || fail "1.2 was chosen again: $(cat "$folder/ran.txt")"
grep -q "Updater 1.2 not installed: it failed to start before" "$work/after-fallback.log" \
    || { cat "$work/after-fallback.log"; fail "1.1 did not leave 1.2 alone"; }
kill $server 2> /dev/null || true
echo "1.2 crashed at start, 1.1 ran in the same start, and 1.2 was never chosen again"

echo "--- a later setup program installs beside, the uninstaller waits for any version"
wine "$self/PellarinSetup-$version.exe" /S
wineserver -w
# The version that failed is never made previous.
[ "$(cat "$updater/current")" = 1.0 ] && [ "$(cat "$updater/previous")" = 1.1 ] \
    || fail "the setup program did not switch to 1.0"
[ -f "$updater/1.1/.complete" ] || fail "the setup program removed another version"
# Version 1.1 on its own, in its error box with no server.
(WINEQT_FORCE_STDERR_LOGGING=1 wine "$updater/1.1/PellarinUpdater.exe" > "$work/waiting-self.log" 2>&1 &)
for _ in $(seq 300); do grep -q "Error checking for update" "$work/waiting-self.log" && break; sleep 0.1; done
grep -q "Error checking for update" "$work/waiting-self.log" || { cat "$work/waiting-self.log"; fail "1.1 did not wait"; }
wine "$folder/Uninstall.exe" /S
sleep 5
[ -f "$updater/1.1/PellarinUpdater.exe" ] || fail "the uninstaller removed files while 1.1 ran"
wineserver -k
wineserver -w
# What the stand-in for 1.2 noted is no file of the installation's.
rm "$folder/ran.txt"
wine "$folder/Uninstall.exe" /S
wineserver -w
[ ! -e "$folder" ] || fail "$folder is still there: $(cd "$folder" && find . | head)"
echo "1.0 current and 1.1 previous; the uninstaller waited for 1.1, then removed every version"
