#!/bin/sh
# The project configured as a vendor does, with the current key and a spare in one
# UPDATER_SIGNING_KEY list: both end up in the updater's settings.
set -eu
source=${1:?usage: vendor-configure.sh <source> <build folder> <key.pub> <spare.pub>}
build=${2:?}
rm -rf "$build"
cmake -S "$source" -B "$build" -G Ninja -DUPDATER_BUILD_TESTS=OFF \
    "-DUPDATER_SIGNING_KEY=$3;$4" > "$build.log" 2>&1 || { cat "$build.log"; exit 1; }
config="$build/updater_release_config.cpp"
for key in "$3" "$4"; do
    grep -q "QByteArrayLiteral(\"$(sed -n 2p "$key")\")" "$config" \
        || { echo "$key is not in $config"; exit 1; }
done
echo "1 passed, 0 failed"
