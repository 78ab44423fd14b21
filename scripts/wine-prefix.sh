#!/usr/bin/env bash
# Prepares a Wine prefix for the tests (virtual desktop, CJK fonts, the test CA trusted) and starts
# its wineserver. A 64-bit prefix (the 32-bit program runs under WoW64, as on most users' Windows)
# unless TOLVARIN_WINEARCH=win32.
# Usage: source scripts/wine-prefix.sh BUILD_DIR
#   exports WINEARCH, WINEPREFIX (BUILD_DIR/wineprefix-<arch>), WINEDEBUG, WINEDLLOVERRIDES and
#   TOLVARIN_WINEARCH; the test certificates are in BUILD_DIR/tls.
set -euo pipefail
build_dir=$(realpath "${1:?build dir}")
export TOLVARIN_WINEARCH=${TOLVARIN_WINEARCH:-win64}
case "$TOLVARIN_WINEARCH" in
  win64 | win32) ;;
  *) echo "TOLVARIN_WINEARCH is win64 or win32, not $TOLVARIN_WINEARCH" >&2; exit 2 ;;
esac
export WINEARCH=$TOLVARIN_WINEARCH
export WINEPREFIX="$build_dir/wineprefix-$WINEARCH"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
stamp="$WINEPREFIX/.tolvarin-ready"

if [ ! -f "$stamp" ]; then
  rm -rf "$WINEPREFIX"
  # Through `wine`, so that a `wine` first on PATH (the 64-bit loader) makes the prefix too.
  wine wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine could not make the $WINEARCH prefix $WINEPREFIX (does \`wine --version\` run here?)" >&2
    exit 1
  fi
  reg=$(mktemp --suffix=.reg)
  cat >"$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Microsoft JhengHei"="WenQuanYi Micro Hei"
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
"PMingLiU"="WenQuanYi Micro Hei"
"MingLiU"="WenQuanYi Micro Hei"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]
"Tahoma"=hex(7):77,00,71,00,79,00,2d,00,6d,00,69,00,63,00,72,00,6f,00,68,00,65,00,69,00,2e,00,74,00,74,00,63,00,2c,00,57,00,65,00,6e,00,51,00,75,00,61,00,6e,00,59,00,69,00,20,00,4d,00,69,00,63,00,72,00,6f,00,20,00,48,00,65,00,69,00,00,00,00,00
REG
  wine regedit "$reg" >/dev/null 2>&1
  rm -f "$reg"
  wineserver -w
  touch "$stamp"
fi
# The test CA, trusted by this prefix alone; again whenever the certificates were made anew.
"$(dirname "${BASH_SOURCE[0]}")/../tests/tls/make_certs.sh" "$build_dir/tls"
ca_sha1=$(openssl x509 -in "$build_dir/tls/ca.pem" -noout -fingerprint -sha1)
if [ "$(cat "$WINEPREFIX/.tolvarin-ca" 2>/dev/null)" != "$ca_sha1" ]; then
  python3 "$(dirname "${BASH_SOURCE[0]}")/../tests/wine/trust_ca.py" "$build_dir/tls/ca.pem" >/dev/null
  wineserver -w
  echo "$ca_sha1" >"$WINEPREFIX/.tolvarin-ca"
fi
# One persistent wineserver, detached from the caller's output, so that tests do not wait for it.
( wineserver -p >/dev/null 2>&1 </dev/null & ) ; wine cmd /c exit >/dev/null 2>&1 </dev/null || true
