#!/usr/bin/env bash
# scripts/install-deps.sh against a stand-in apt: a mirror in the middle of a sync (every update
# fails, the i386 packages are held broken) must still set the machine up on the x86-64 Wine path;
# a required package apt cannot find must end the set-up, named.
# Usage: install_deps_test.sh SCRIPT
set -uo pipefail
script=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # WHAT CONDITION...
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}

mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'SH'
#!/bin/sh
echo "$*" >>"$STATE/apt"
case " $* " in
  *" update "*)
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 151.101.2.132 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *":i386 "*) echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
  *" $UNKNOWN "*) echo "E: Unable to locate package $UNKNOWN"; exit 100 ;;
  *" -s "*) exit 0 ;;
esac
for p; do case $p in -* | install | *=*) ;; *) echo "$p" >>"$STATE/installed" ;; esac; done
SH
cat >"$work/bin/dpkg-query" <<'SH'
#!/bin/sh
for p; do :; done
grep -qxF "$p" "$STATE/installed" 2>/dev/null || exit 1
echo "install ok installed"
SH
# A fresh machine: no foreign architecture yet.
printf '#!/bin/sh\necho "$*" >>"$STATE/dpkg"\n' >"$work/bin/dpkg"
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
printf '#!/bin/sh\necho "$*" >>"$STATE/sleep"\n' >"$work/bin/sleep"
chmod +x "$work/bin"/*

run() {  # NAME UNKNOWN-PACKAGE: the script's output in $work/NAME/out, its status in $status
  export STATE=$work/$1 UNKNOWN=$2
  mkdir "$STATE"
  status=0
  PATH="$work/bin:$PATH" "$script" >"$STATE/out" 2>&1 || status=$?
}

# The mirror mid-sync: the lists fail, i386 is held broken, everything else installs.
run midsync none
check "exits 0 (it said: $(cat "$work/midsync/out"))" [ "$status" -eq 0 ]
check "tries the lists twice, a pause between" [ "$(grep -c '^update' "$work/midsync/apt")" -eq 2 ]
check "says it goes on with the lists apt has" grep -q "going on with the lists apt has" "$work/midsync/out"
check "says the Wine tests take the x86-64 path" grep -q "the Wine tests take the x86-64 path" "$work/midsync/out"
while read -r p; do
  [ "$p" = -- ] && break
  check "asked for $p" grep -qxF "$p" "$work/midsync/installed"
done < <(PATH="$work/bin:$PATH" "$script" --list)
check "takes back the i386 architecture it added" grep -qx -- "--remove-architecture i386" "$work/midsync/dpkg"

# A required package apt does not know: the set-up fails and names it with apt's reason.
run unknown nginx-light
check "fails without nginx-light" [ "$status" -ne 0 ]
check "names nginx-light and apt's reason (it said: $(cat "$work/unknown/out"))" \
  grep -q "nginx-light: E: Unable to locate package nginx-light" "$work/unknown/out"

[ "$failures" -eq 0 ] && echo "install-deps: all cases passed"
exit "$((failures > 0))"
