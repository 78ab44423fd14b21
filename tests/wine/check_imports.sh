#!/usr/bin/env bash
# Fails when a Windows exe imports any DLL outside the system's own (a MinGW runtime DLL such as
# libwinpthread-1.dll or libstdc++-6.dll would be missing next to the exe on a user's machine).
# Usage: check_imports.sh EXE...
set -euo pipefail
system='^(KERNEL32|USER32|GDI32|ADVAPI32|SHELL32|COMCTL32|msvcrt|SETUPAPI|WININET|WINMM|ntdll)\.dll$'
status=0
for exe in "$@"; do
  dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  [ -n "$dlls" ] || { echo "$exe: no imports found"; status=1; }
  while read -r dll; do
    if ! grep -qiE "$system" <<<"$dll"; then
      echo "$exe imports $dll, which is no system DLL"
      status=1
    fi
  done <<<"$dlls"
  echo "$(basename "$exe"): $(tr '\n' ' ' <<<"$dlls")"
done
exit $status
