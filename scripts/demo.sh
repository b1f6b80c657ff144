#!/usr/bin/env bash
# The updater's whole job, on this machine: a private certificate authority and a vendor
# signing key, a release published and signed with the publishing tool and served over
# HTTPS by nginx on loopback, and the updater installing and starting it. Then a second
# start while Pellarin runs, which leaves at once, and a package replaced on the server
# after signing, which is refused. Everything it starts is stopped at the end; what it made stays in
# demo-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh

port=${DEMO_PORT:-8443}
run=$root/demo-run
rm -rf "$run"
mkdir -p "$run"
pids=()
www=""
cleanup() {
    pkill -f "$run/install/App/bin/PellarinApp.exe" 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -z "$www" ] || rm -rf "$www"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }

step "1. A private certificate authority, a certificate for localhost signed by it, and a
   throwaway vendor signing key (minisign, no password)"
sh tools/make-certificates.sh "$run/certs"
minisign -G -W -p "$run/certs/minisign.pub" -s "$run/certs/minisign.key" > /dev/null
ls "$run/certs"

step "2. Build the updater for https://localhost:$port, trusting that authority and
   requiring that key's signature"
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_RELEASE_SERVER="https://localhost:$port" \
    -DUPDATER_TRUSTED_CA="$run/certs/ca.pem" \
    -DUPDATER_SIGNING_KEY="$run/certs/minisign.pub" > "$run/cmake.log"
cmake --build build-demo > "$run/build.log"
echo "built build-demo/PellarinUpdater, build-demo/pellarin-publish and the demo application"

step "3. Publish and sign Pellarin 2.0 with the publishing tool"
mkdir -p "$run/app/bin" "$run/app/share" "$run/app/logs"
cp build-demo/demo-app/bin/PellarinApp.exe "$run/app/bin/"
echo "2.0" > "$run/app/share/version.txt"
build-demo/pellarin-publish --sign "$run/certs/minisign.key" \
    --public-key "$run/certs/minisign.pub" --output "$run/www/QVX/release" "$run/app" 2.0 \
    "https://localhost:$port/QVX/release/pellarin-2.0.zip"
cat "$run/www/QVX/release/latest.json"
echo "-- its signature, decoded:"
sed -n 's/.*"signature": "\([^"]*\)".*/\1/p' "$run/www/QVX/release/latest.json" | base64 -d

step "4. Serve the release folder over HTTPS with nginx on 127.0.0.1:$port"
# nginx's workers run as an unprivileged user, who may not enter this checkout (say,
# under /root): they serve a copy in a folder of their own.
www=$(mktemp -d /tmp/pellarin-demo-www.XXXXXX)
chmod 755 "$www"
cp -r "$run/www/." "$www/"
chmod -R a+rX "$www"
mkdir -p "$run/nginx/tmp"
cat > "$run/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $run/nginx/nginx.pid;
error_log $run/nginx/error.log;
events { worker_connections 64; }
http {
    access_log $run/nginx/access.log;
    client_body_temp_path $run/nginx/tmp/body;
    proxy_temp_path $run/nginx/tmp/proxy;
    fastcgi_temp_path $run/nginx/tmp/fastcgi;
    uwsgi_temp_path $run/nginx/tmp/uwsgi;
    scgi_temp_path $run/nginx/tmp/scgi;
    types { application/json json; application/zip zip; }
    server {
        listen 127.0.0.1:$port ssl;
        server_name localhost;
        ssl_certificate $run/certs/server.pem;
        ssl_certificate_key $run/certs/server.key;
        root $www;
    }
}
CONF
nginx -e "$run/nginx/error.log" -p "$run/nginx" -c "$run/nginx/nginx.conf" &
pids+=($!)
for _ in $(seq 50); do
    curl -sf --cacert "$run/certs/ca.pem" "https://localhost:$port/QVX/release/latest.json" \
        > /dev/null && break
    sleep 0.2
done
curl -sS --cacert "$run/certs/ca.pem" -o /dev/null \
    -w "GET /QVX/release/latest.json -> %{http_code}\n" \
    "https://localhost:$port/QVX/release/latest.json"
echo "-- the vendor's last step of a release: what this build's updater will get"
build-demo/pellarin-publish --check

step "5. A display"
if [ -n "${DISPLAY:-}" ]; then
    echo "using the display $DISPLAY"
else
    display=:$((90 + RANDOM % 100))
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp > "$run/xvfb.log" 2>&1 &
    pids+=($!)
    export DISPLAY=$display
    for _ in $(seq 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.1; done
    echo "no display here: started Xvfb on $DISPLAY"
fi

step "6. Start the updater with --silent, beside an older installation"
: > "$run/nginx/access.log"
mkdir -p "$run/install/App/bin"
cp build-demo/PellarinUpdater "$run/install/"
echo "Pellarin 1.0" > "$run/install/App/release-1.0.txt"
cd "$run/install"
start=$(date +%s.%N)
status=0
timeout 120 ./PellarinUpdater --silent > "$run/updater.out" 2> "$run/updater.log" || status=$?
end=$(date +%s.%N)
cd "$root"
echo "the updater ended with exit status $status after $(awk "BEGIN { printf \"%.2f\", $end - $start }") s"
echo "-- its standard output:"
cat "$run/updater.out"
echo "-- its log:"
cat "$run/updater.log"
echo "-- the installed App folder:"
(cd "$run/install" && find App | sort | while read -r path; do
    if [ -d "$path" ]; then echo "  $path/"; else echo "  $path ($(stat -c '%A, %s bytes' "$path"))"; fi
done)
echo "-- the started application:"
for _ in $(seq 50); do pgrep -f "$run/install/App/bin/PellarinApp.exe" > /dev/null && break; sleep 0.1; done
sleep 1
pgrep -a -f "$run/install/App/bin/PellarinApp.exe" || { echo "  not running"; exit 1; }
grep "is running" "$run/updater.out" || true
import -window root "$run/screen.png" 2>/dev/null && echo "screenshot: $run/screen.png" || true
requests=$(wc -l < "$run/nginx/access.log")
echo "-- the release server saw $requests requests from it:"
cut -d'"' -f2,3 "$run/nginx/access.log" | sed 's/^/  /'

step "7. Start the updater again while Pellarin runs"
cd "$run/install"
status=0
timeout 20 ./PellarinUpdater > "$run/second.out" 2> "$run/second.log" || status=$?
cd "$root"
echo "it ended at once with exit status $status; standard output:"
cat "$run/second.out"
echo "requests to the release server since: $(( $(wc -l < "$run/nginx/access.log") - requests ))"

step "8. Someone who controls the server replaces the package after signing, and rewrites
   the manifest's digest and size to match; Pellarin has ended"
pkill -f "$run/install/App/bin/PellarinApp.exe" || true
sleep 0.5
mkdir -p "$run/evil/bin"
printf '#!/bin/sh\necho "not from the vendor"\n' > "$run/evil/bin/PellarinApp.exe"
chmod +x "$run/evil/bin/PellarinApp.exe"
build-demo/pellarin-publish --output "$run/evil-www" "$run/evil" 2.0 \
    "https://localhost:$port/QVX/release/pellarin-2.0.zip" > /dev/null
cp "$run/evil-www/pellarin-2.0.zip" "$www/QVX/release/pellarin-2.0.zip"
hash=$(sha256sum "$run/evil-www/pellarin-2.0.zip" | cut -d' ' -f1)
size=$(stat -c %s "$run/evil-www/pellarin-2.0.zip")
sed -i -e "s/\"hash\": \"[0-9a-f]*\"/\"hash\": \"$hash\"/" \
    -e "s/\"size\": [0-9]*/\"size\": $size/" "$www/QVX/release/latest.json"
cd "$run/install"
status=0
# The error box waits for the user: answer it when it comes up.
( for _ in $(seq 100); do
    box=$(xdotool search --onlyvisible --name '^Erreur$' 2>/dev/null | head -n 1) && [ -n "$box" ] \
        && { sleep 1; import -window root "$run/refused.png" 2>/dev/null || true;
             xdotool windowfocus --sync "$box" key Return; break; }
    sleep 0.2
  done ) &
timeout 60 ./PellarinUpdater > /dev/null 2> "$run/refused.log" || status=$?
wait $! 2>/dev/null || true
cd "$root"
echo "the updater ended with exit status $status; its log:"
cat "$run/refused.log"
echo "-- App still holds the signed release:"
cat "$run/install/App/share/version.txt"
[ -f "$run/refused.png" ] && echo "screenshot of the box: $run/refused.png"

step "9. The vendor checks the live release again, as every user's updater would take it"
status=0
build-demo/pellarin-publish --check || status=$?
echo "pellarin-publish --check ended with exit status $status"

step "10. Stop Pellarin, nginx and the display"
cleanup
trap - EXIT
echo "done: nothing left running"
