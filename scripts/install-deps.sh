#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
#   scripts/install-deps.sh          installs what is missing
#   scripts/install-deps.sh --list   prints the required packages, then the optional ones after "--"
# A package mirror in the middle of a sync fails some index downloads: apt retries, then once
# more after a pause, and then the install goes on with the lists apt has. The i386 packages are
# optional: they serve only the i686 Wine tests. When apt cannot give them (no i386 architecture,
# an index missing, amd64 and i386 versions out of step) the Wine tests and the demo take the
# x86-64 path (scripts/wine-tree.sh answers win64 without 32-bit Wine). A required package that
# cannot be installed ends the set-up, named with apt's reason.
set -euo pipefail

required=(
  cmake g++ make python3 clang-format
  libgtest-dev libgmock-dev libbenchmark-dev libcurl4-openssl-dev nlohmann-json3-dev
  g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine64 xvfb xauth fonts-wqy-microhei imagemagick xdotool
  nginx-light
  clang libclang-rt-14-dev valgrind time curl
  osslsigncode openssl python3-pefile
  libudev-dev libcli11-dev pkg-config tmux dpkg-dev lintian man-db locales
  qemu-system-x86 busybox-static udev kmod cpio
  libssl-dev python3-cryptography-vectors libgnutls30
  libsystemd-dev dbus-daemon python3-dbusmock
)
# 32-bit Wine, and the GnuTLS its CNG verifies signatures with.
optional_i386=(wine32:i386 libgnutls30:i386)

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${required[@]}" -- "${optional_i386[@]}"
  exit 0
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${required[@]}"; do installed "$p" || missing+=("$p"); done
missing_i386=()
for p in "${optional_i386[@]}"; do installed "$p" || missing_i386+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_i386[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
log=$(mktemp)
added_i386=""
cleanup() {
  # An architecture this run added and nothing was installed for stays out of apt's updates.
  if [ -n "$added_i386" ] && ! dpkg-query -W -f='${Status}\n' '*:i386' 2>/dev/null | grep -q "ok installed"; then
    $sudo dpkg --remove-architecture i386 || true
  fi
  rm -f "$log"
}
trap cleanup EXIT
apt_install() {  # PACKAGE...: apt's output in $log
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@" >"$log" 2>&1
}
apt_reason() { grep -E '^E:|^ .* : (Depends|Conflicts|Breaks|PreDepends):|has no installation candidate' "$log" | head -4; }

if [ ${#missing_i386[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  if $sudo dpkg --add-architecture i386; then
    added_i386=1
  else
    echo "no i386 architecture here: the Wine tests take the x86-64 path"
    missing_i386=()
  fi
fi
[ ${#missing[@]} -eq 0 ] && [ ${#missing_i386[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]} ${missing_i386[*]}"
# apt retries each download; a required package waiting on the lists is worth one more round.
rounds=1
[ ${#missing[@]} -gt 0 ] && rounds=2
for round in $(seq "$rounds"); do
  if $sudo apt-get update -q -o Acquire::Retries=3 >"$log" 2>&1; then
    break
  elif [ "$round" -lt "$rounds" ]; then
    sleep 20
  else
    echo "apt could not fetch every package list ($(grep -m1 '^E: Failed to fetch' "$log" ||
      echo 'see apt-get update')); going on with the lists apt has"
  fi
done

# All at once when apt can; else the required ones alone, so that the optional ones cannot hold
# them up.
if [ ${#missing[@]} -gt 0 ] && [ ${#missing_i386[@]} -gt 0 ] && apt_install "${missing[@]}" "${missing_i386[@]}"; then
  exit 0
fi
if [ ${#missing[@]} -gt 0 ] && ! apt_install "${missing[@]}"; then
  echo "the set-up cannot install every required package:"
  whole=$(apt_reason)
  named=0
  for p in "${missing[@]}"; do
    if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -s --no-install-recommends "$p" >"$log" 2>&1; then
      echo "  $p: $(apt_reason | tr '\n' ' ')"
      named=1
    fi
  done
  # Each installs alone but not together: apt's own words about the whole set.
  [ "$named" -eq 1 ] || echo "  ${missing[*]}: $whole"
  exit 1
fi
if [ ${#missing_i386[@]} -gt 0 ] && ! apt_install "${missing_i386[@]}"; then
  # Setting the security suite aside would line the versions up, but only by installing older
  # amd64 libraries than the security suite offers: the i386 packages wait for the mirror.
  echo "the i386 packages (${missing_i386[*]}) cannot be installed ($(grep -m1 '^E:' "$log" || echo "apt failed")):" \
    "the Wine tests take the x86-64 path; run scripts/install-deps.sh again once the mirror has them"
fi
