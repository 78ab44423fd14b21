#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

packages=(
  cmake g++ make python3 clang-format
  libgtest-dev libgmock-dev libbenchmark-dev libcurl4-openssl-dev nlohmann-json3-dev
  g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine32:i386 wine64 xvfb xauth fonts-wqy-microhei imagemagick xdotool
  nginx-light
  clang libclang-rt-14-dev valgrind time curl
  osslsigncode openssl python3-pefile
  libudev-dev libcli11-dev pkg-config tmux dpkg-dev lintian man-db locales
  qemu-system-x86 busybox-static udev kmod cpio
  libssl-dev python3-cryptography-vectors libgnutls30 libgnutls30:i386
  libsystemd-dev dbus-daemon python3-dbusmock
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
