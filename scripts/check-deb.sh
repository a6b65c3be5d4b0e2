#!/usr/bin/env bash
# Checks that the Debian package installs and runs on a fresh Debian 12: builds the
# package, makes a minimal bookworm tree with debootstrap, installs the package there with
# apt (which brings its declared dependencies) and archives the sample mailbox as a new
# user. Needs root and Debian's package archive. Usage: scripts/check-deb.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
root=$(mktemp -d /var/tmp/tarnwick-deb12.XXXXXX)
chmod 755 "$root" # mktemp makes it 0700: the new user must reach /
command -v debootstrap >/dev/null || apt-get install -y debootstrap
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/tarnwick_*_amd64.deb | head -1)
debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
cleanup() { umount -l "$root/dev/shm" "$root/dev/pts" "$root/dev" "$root/proc" 2>/dev/null || true; rm -rf "$root"; }
trap cleanup EXIT
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t tmpfs tmpfs "$root/dev/shm"
cp "$deb" "$root/tmp/tarnwick.deb"
cp -r samples/mailbox "$root/tmp/mailbox"
chroot "$root" apt-get update -qq
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /tmp/tarnwick.deb >/dev/null
chroot "$root" useradd -m anna
chroot "$root" su anna -c 'cd && tarnwick --version && tarnwick archive --dest archive /tmp/mailbox'
echo "PDFs: $(find "$root/home/anna/archive" -name '*.pdf' -not -path '*(attachments)*' | wc -l)"
