#!/bin/sh
# Makes a private certificate authority and a server certificate signed by it for the
# host names and addresses given (localhost and 127.0.0.1 when none are), for a release
# server that is not vouched for by a public one.
# Usage: make-certificates.sh <folder> [host...]   (writes ca.pem, ca.key, server.pem,
# server.key; an existing pair is kept)
set -eu
dir=${1:?usage: make-certificates.sh <folder> [host...]}
shift
[ $# -gt 0 ] || set -- localhost 127.0.0.1
names=""
for host in "$@"; do
    case $host in
    *[!0-9.]* | "") case $host in *:*) kind=IP ;; *) kind=DNS ;; esac ;;
    *) kind=IP ;;
    esac
    names="$names${names:+,}$kind:$host"
done
mkdir -p "$dir"
cd "$dir"
[ -s ca.pem ] && [ -s server.pem ] && [ -s server.key ] && exit 0
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -keyout ca.key -out ca.pem -subj "/CN=Pellarin Release CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 \
    -keyout server.key -out server.csr -subj "/CN=$1" 2>/dev/null
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth" "subjectAltName=$names" > server.ext
openssl x509 -req -sha256 -days 3650 -in server.csr -CA ca.pem -CAkey ca.key \
    -CAcreateserial -extfile server.ext -out server.pem 2>/dev/null
rm -f server.csr server.ext ca.srl
