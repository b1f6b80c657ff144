#!/usr/bin/env bash
# Runs the test suites, the normal and the sanitized build, on Debian 13 (Qt 6.8, GCC 14):
# in a chroot made with debootstrap and kept between runs (PELLARIN_CACHE, by default
# ~/.cache/pellarin-updater), with its own network (loopback only), IPC and /tmp, so
# that its tests and this machine's cannot meet. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[ "$(id -u)" -eq 0 ] || exec sudo -E bash "$0" "$@"

cache=${PELLARIN_CACHE:-$HOME/.cache/pellarin-updater}
chroot=$cache/debian13
mirror=$(sed -n 's|^URIs: *\(\S*/debian\)$|\1|p' /etc/apt/sources.list.d/debian.sources \
    2>/dev/null | head -n 1)
mirror=${DEBIAN_MIRROR:-${mirror:-http://deb.debian.org/debian}}

bash scripts/install-deps.sh debootstrap iproute2

if [ ! -e "$chroot/etc/debian_version" ]; then
    echo "=== making a Debian 13 chroot in $chroot (once; a few minutes)"
    rm -rf "$chroot.part"
    mkdir -p "$cache"
    debootstrap --variant=minbase trixie "$chroot.part" "$mirror" > "$cache/debootstrap.log" \
        || { tail -n 20 "$cache/debootstrap.log"; exit 1; }
    mv "$chroot.part" "$chroot"
fi

# The working tree as it is, build folders aside; the chroot's own builds are kept.
mkdir -p "$chroot/src"
find "$chroot/src" -mindepth 1 -maxdepth 1 ! -name build-tests -exec rm -rf {} +
# Copied as new (-m): with the times of the checkout, sources older than the build kept
# from another tree's run would not be compiled again.
tar -C "$root" --exclude='./build*' --exclude=./demo-run --exclude=./bench-run --exclude=./.git \
    -cf - . | tar -C "$chroot/src" -xmf -
cp /etc/resolv.conf "$chroot/etc/resolv.conf"

# Runs a command in the chroot, in a mount namespace of its own so that nothing stays
# mounted; the arguments before "--" are more unshare options.
in_chroot() {
    local options=()
    while [ "$1" != "--" ]; do options+=("$1"); shift; done
    shift
    unshare --mount --fork "${options[@]}" bash -c '
        set -e
        chroot=$1; shift
        ip link set lo up
        mount -t proc proc "$chroot/proc"
        mount --rbind /dev "$chroot/dev"
        mount -t tmpfs tmpfs "$chroot/dev/shm"
        mount -t tmpfs tmpfs "$chroot/tmp"
        exec chroot "$chroot" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' \
        in-chroot "$chroot" "$@"
}

echo "=== Debian 13: the project's packages"
in_chroot -- bash /src/scripts/install-deps.sh
in_chroot -- sh -c 'dpkg-query -W -f "\${Package} \${Version}\n" qt6-base-dev libquazip1-qt6-dev g++ libssl-dev'
echo "=== Debian 13: the tests, cut off from the network and this machine's IPC"
in_chroot --net --ipc --pid -- bash /src/scripts/test.sh
