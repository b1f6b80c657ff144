#!/bin/sh
# Makes the fuzz targets' seed corpus from real archives, manifests and signatures:
#   make-corpus.sh <folder> <pellarin-publish>
# An archive by the zip tool (deflated and stored), by Python's zipfile with zip64 and
# with a stub before it, by the publishing tool; its manifests; minisign signatures.
set -eu
out=${1:?usage: make-corpus.sh <folder> <pellarin-publish>}
publish=${2:?usage: make-corpus.sh <folder> <pellarin-publish>}
[ -f "$out/complete" ] && { echo "1 passed, 0 failed"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
for target in zipdirectory preflight install signature manifest delta patch; do
    mkdir -p "$out/$target"
done

app=$work/app
mkdir -p "$app/bin" "$app/share/empty" "$app/lib"
printf '#!/bin/sh\necho Pellarin\n' > "$app/bin/PellarinApp.exe"
chmod 755 "$app/bin/PellarinApp.exe"
echo "Pellarin 2.0" > "$app/share/notes.txt"
seq 1 300 > "$app/lib/data.txt"

"$publish" --output "$work/www" "$app" 2.0 "https://updates.example/QVX/release/p.zip" > /dev/null
(cd "$app" && zip -qrX "$work/zip-tool.zip" . && zip -qrX0 "$work/zip-stored.zip" .)
# A patch file to a release with one file changed and one new.
seq 1 310 > "$app/lib/data.txt"
echo "new" > "$app/share/new.txt"
"$publish" --patch-from "$work/www/p.zip" --output "$work/next" "$app" 2.1 \
    "https://updates.example/QVX/release/p2.zip" > /dev/null
cp "$work/next/"*.patch "$out/patch/"
rm "$app/share/new.txt"
seq 1 300 > "$app/lib/data.txt"
python3 - "$work" "$app" <<'PY'
import os, sys, zipfile
work, app = sys.argv[1], sys.argv[2]
# zip64 records, a folder entry, a duplicate, and names that climb out or are links.
with zipfile.ZipFile(os.path.join(work, "zip64.zip"), "w", zipfile.ZIP_DEFLATED) as z:
    for name in ("bin/PellarinApp.exe", "share/notes.txt"):
        with open(os.path.join(app, name), "rb") as f, z.open(name, "w", force_zip64=True) as out:
            out.write(f.read())
    z.writestr("cache/", b"")
    z.writestr("share/notes.txt", b"the later one")
    z.writestr("../outside.txt", b"x")
    link = zipfile.ZipInfo("lib/link")
    link.external_attr = 0o120777 << 16
    z.writestr(link, "/etc/passwd")
# A stub before the archive, as a self-extracting one has.
with open(os.path.join(work, "zip64.zip"), "rb") as f:
    archive = f.read()
with open(os.path.join(work, "stub.zip"), "wb") as f:
    f.write(b"MZ" + b"\0" * 510 + archive)
PY
for archive in "$work/www/p.zip" "$work/zip-tool.zip" "$work/zip-stored.zip" \
    "$work/zip64.zip" "$work/stub.zip"; do
    for target in zipdirectory preflight install; do
        cp "$archive" "$out/$target/"
    done
done

# Pairs of an installed package and a new one, the first one's length in front.
python3 - "$work" "$out/delta" <<'PY'
import os, struct, sys
work, out = sys.argv[1], sys.argv[2]
names = ["www/p.zip", "zip-tool.zip", "zip-stored.zip"]
for i, a in enumerate(names):
    for j, b in enumerate(names):
        first = open(os.path.join(work, a), "rb").read()
        second = open(os.path.join(work, b), "rb").read()
        with open(os.path.join(out, "pair-%d-%d" % (i, j)), "wb") as f:
            f.write(struct.pack("<I", len(first)) + first + second)
PY

cp "$work/www/latest.json" "$out/manifest/published.json"
printf '{"version": "2.0", "url": "https://u.example/p.zip", "hash": "ab", "size": 12}' \
    > "$out/manifest/sized.json"
printf '{"version": 2, "url": null, "hash": ["x"], "size": 1.5e300, "signature": {}}' \
    > "$out/manifest/odd.json"
printf '["an", "array"]' > "$out/manifest/array.json"

# A real signature: key, signature text, the package's BLAKE2b-512 and its file name,
# with NUL bytes between them.
minisign -G -W -p "$work/minisign.pub" -s "$work/minisign.key" > /dev/null
"$publish" --sign "$work/minisign.key" --public-key "$work/minisign.pub" \
    --output "$work/signed" "$app" 2.0 "https://updates.example/QVX/release/p.zip" > /dev/null
python3 - "$work" "$out/signature/signed" <<'PY'
import base64, hashlib, sys
work, seed = sys.argv[1], sys.argv[2]
key = open(work + "/minisign.pub", "rb").read().split(b"\n")[1].strip()
signature = base64.b64encode(open(work + "/signed/p.zip.minisig", "rb").read())
digest = hashlib.blake2b(open(work + "/signed/p.zip", "rb").read(), digest_size=64).digest()
open(seed, "wb").write(b"\0".join([key, signature, digest, b"p.zip"]))
PY
touch "$out/complete"
echo "1 passed, 0 failed"
