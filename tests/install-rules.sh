#!/bin/sh
# cmake --install of a build into a fresh folder: the updater with its licence and
# notices, and the publishing tool only as the component of its own.
set -eu
build=${1:?usage: install-rules.sh <build folder> <prefix>}
prefix=${2:?usage: install-rules.sh <build folder> <prefix>}
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" > /dev/null
[ -x "$prefix/PellarinUpdater" ] && [ -s "$prefix/LICENSE" ] && [ -s "$prefix/THIRD-PARTY-NOTICES" ]
[ ! -e "$prefix/pellarin-publish" ]
cmake --install "$build" --prefix "$prefix" --component publishing > /dev/null
"$prefix/pellarin-publish" --version | grep -q '^pellarin-publish '
echo "1 passed, 0 failed"
