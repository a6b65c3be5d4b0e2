#!/usr/bin/env bash
# Installs every Debian package Tarnwick builds, tests and benchmarks with.
# Idempotent: packages already present are left alone, apt is only asked for the rest.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # mail framework: IMAP and MIME
  libetpan-dev libgmime-3.0-dev libkainjow-mustache-dev
  # Qt: core, network, D-Bus, widgets, HTML engine, image formats
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-webengine-dev-tools
  qt6-image-formats-plugins qt6-tools-dev
  # PDF information, thumbnails
  libqpdf-dev libpoppler-qt6-dev
  # passwords, search index, property lists
  libsecret-1-dev libsqlite3-dev libplist-dev
  # fonts for CJK and emoji in PDFs
  fonts-noto-core fonts-noto-cjk fonts-noto-color-emoji
  # real services and inspection tools the tests start or call
  dbus dbus-daemon dbus-session-bus-common dbus-x11 gnome-keyring dovecot-imapd openssl
  poppler-utils qpdf attr xvfb procps python3 time
  # the baseline of the rendering benchmarks
  wkhtmltopdf
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# dovecot's package starts a system instance; the tests run their own on loopback.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet dovecot 2>/dev/null; then
  $SUDO systemctl stop dovecot || true
fi
echo "install-deps: installed ${#missing[@]} packages"
