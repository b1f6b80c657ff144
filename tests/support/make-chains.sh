#!/bin/sh
# Makes server certificates that a careful TLS client must refuse, and one it must
# accept, under an existing authority: make-chains.sh <folder with ca.pem and ca.key>.
# Each is <folder>/chains/<name>.pem (the leaf, then any intermediate) and <name>.key.
set -eu
dir=$(cd "${1:?usage: make-chains.sh <authority folder>}" && pwd)
out=$dir/chains
[ -s "$out/ip-only.pem" ] && exit 0
mkdir -p "$out.part"
cd "$out.part"

# leaf <name> <key options> <digest> <extensions...>: a leaf whose common name is
# 127.0.0.1 (or CN when set) under the authority (or under ISSUER when set).
leaf() {
    name=$1 keyopts=$2 digest=$3
    shift 3
    issuer=${ISSUER:-$dir/ca}
    openssl req -newkey $keyopts -nodes -keyout "$name.key" -out "$name.csr" \
        -subj "/CN=${CN:-127.0.0.1}" 2>/dev/null
    printf '%s\n' "basicConstraints=CA:FALSE" "$@" > "$name.ext"
    openssl x509 -req -"$digest" -days 3650 -in "$name.csr" -CA "$issuer.pem" \
        -CAkey "$issuer.key" -CAcreateserial -extfile "$name.ext" -out "$name.pem" 2>/dev/null
    rm -f "$name.csr" "$name.ext"
}

usage="keyUsage=digitalSignature,keyEncipherment"
server="extendedKeyUsage=serverAuth"
names="subjectAltName=DNS:localhost,IP:127.0.0.1"
leaf good rsa:2048 sha256 "$usage" "$server" "$names"
leaf client-only rsa:2048 sha256 "$usage" "extendedKeyUsage=clientAuth" "$names"
leaf crl-sign-only rsa:2048 sha256 "keyUsage=cRLSign" "$server" "$names"
leaf rsa-1024 rsa:1024 sha256 "$usage" "$server" "$names"
leaf sha1 rsa:2048 sha1 "$usage" "$server" "$names"
# The host is the common name, but the alternative names leave it out.
leaf other-name rsa:2048 sha256 "$usage" "$server" "subjectAltName=DNS:other.example"
# The host (localhost) is the common name, and the alternative names hold an address alone.
CN=localhost leaf ip-only rsa:2048 sha256 "$usage" "$server" "subjectAltName=IP:127.0.0.9"

# An intermediate that may only vouch for allowed.example, and a leaf under it that
# names the host in its common name alone.
openssl req -newkey rsa:2048 -nodes -keyout constrained.key -out constrained.csr \
    -subj "/CN=Constrained Intermediate" 2>/dev/null
printf '%s\n' "basicConstraints=critical,CA:TRUE" "keyUsage=critical,keyCertSign,cRLSign" \
    "nameConstraints=critical,permitted;DNS:allowed.example" > constrained.ext
openssl x509 -req -sha256 -days 3650 -in constrained.csr -CA "$dir/ca.pem" \
    -CAkey "$dir/ca.key" -CAcreateserial -extfile constrained.ext -out constrained.pem 2>/dev/null
ISSUER=$PWD/constrained leaf name-constraints rsa:2048 sha256 "$usage" "$server" \
    "subjectAltName=DNS:allowed.example"
cat constrained.pem >> name-constraints.pem
rm -f constrained.* "$dir"/ca.srl ./*.srl
cd ..
rm -rf "$out"
mv "$out.part" "$out"
