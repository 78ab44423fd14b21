#!/usr/bin/env bash
# Signs Windows exes with Authenticode (SHA-256) through osslsigncode, in place.
#
#   scripts/sign.sh (--pkcs12 FILE | --cert FILE --key FILE) [--password-file FILE]
#                   [--timestamp URL] EXE...
#
# The certificate and its key belong to whoever makes the release and are never kept in the
# repository. Each option may come from the environment instead: TOLVARIN_SIGN_PKCS12,
# TOLVARIN_SIGN_CERT, TOLVARIN_SIGN_KEY, TOLVARIN_SIGN_PASSWORD_FILE (or the password itself in
# TOLVARIN_SIGN_PASSWORD) and TOLVARIN_SIGN_TIMESTAMP_URL (an RFC 3161 time-stamp server).
# A certificate that is not for code signing, or not valid now, is refused before anything is
# signed. An exe is replaced only by a signed copy that osslsigncode wrote in full; on any failure
# every exe stays as it was. Exit status: 0 signed, 1 refused or failed, 2 bad usage.
set -euo pipefail

usage() {
  sed -n '2,13s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

pkcs12=${TOLVARIN_SIGN_PKCS12:-}
cert=${TOLVARIN_SIGN_CERT:-}
key=${TOLVARIN_SIGN_KEY:-}
password_file=${TOLVARIN_SIGN_PASSWORD_FILE:-}
timestamp=${TOLVARIN_SIGN_TIMESTAMP_URL:-}
exes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --pkcs12) pkcs12=${2:?--pkcs12 needs a file}; shift 2 ;;
    --cert) cert=${2:?--cert needs a file}; shift 2 ;;
    --key) key=${2:?--key needs a file}; shift 2 ;;
    --password-file) password_file=${2:?--password-file needs a file}; shift 2 ;;
    --timestamp) timestamp=${2:?--timestamp needs a URL}; shift 2 ;;
    -h | --help) usage ;;
    -*) echo "sign.sh: unknown option $1" >&2; usage ;;
    *) exes+=("$1"); shift ;;
  esac
done

fail() {
  echo "sign.sh: $*" >&2
  exit 1
}

[ ${#exes[@]} -gt 0 ] || { echo "sign.sh: no exe to sign" >&2; usage; }
if [ -n "$pkcs12" ] && [ -n "$cert$key" ]; then
  echo "sign.sh: give either --pkcs12 or --cert and --key, not both" >&2
  usage
fi
if [ -z "$pkcs12" ] && { [ -z "$cert" ] || [ -z "$key" ]; }; then
  echo "sign.sh: no signing certificate: give --pkcs12 FILE, or --cert FILE and --key FILE" >&2
  usage
fi
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (apt-get install osslsigncode)"
for file in "${exes[@]}" "$pkcs12" "$cert" "$key" "$password_file"; do
  [ -z "$file" ] || [ -r "$file" ] || fail "cannot read $file"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The password travels in a file, never on a command line where other users could see it.
if [ -z "$password_file" ] && [ -n "${TOLVARIN_SIGN_PASSWORD:-}" ]; then
  password_file="$work/password"
  (umask 077 && printf '%s' "$TOLVARIN_SIGN_PASSWORD" >"$password_file")
fi

# The signing certificate itself (the first of a PEM chain, or the PKCS#12's own).
leaf="$work/leaf.pem"
if [ -n "$pkcs12" ]; then
  passin=(-passin "pass:")
  [ -n "$password_file" ] && passin=(-passin "file:$password_file")
  openssl pkcs12 -in "$pkcs12" -nokeys -clcerts "${passin[@]}" 2>"$work/err" |
    openssl x509 -out "$leaf" 2>>"$work/err" ||
    fail "cannot read the certificate in $pkcs12 (wrong password?): $(head -c 300 "$work/err")"
else
  openssl x509 -in "$cert" -out "$leaf" 2>"$work/err" ||
    fail "$cert holds no PEM certificate: $(head -c 300 "$work/err")"
fi
subject=$(openssl x509 -in "$leaf" -noout -subject)
if ! openssl x509 -in "$leaf" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing"; then
  fail "the certificate ($subject) is not for code signing: its extended key usage must include codeSigning"
fi
openssl x509 -in "$leaf" -noout -checkend 0 >/dev/null ||
  fail "the certificate ($subject) has expired or is not yet valid"

args=(-h sha256 -n "Tolvarin")
if [ -n "$pkcs12" ]; then
  args+=(-pkcs12 "$pkcs12")
else
  args+=(-certs "$cert" -key "$key")
fi
[ -n "$password_file" ] && args+=(-readpass "$password_file")
[ -n "$timestamp" ] && args+=(-ts "$timestamp")

# Every exe is signed into the work folder first, so that a failure leaves all of them unchanged.
for i in "${!exes[@]}"; do
  if ! osslsigncode sign "${args[@]}" -in "${exes[$i]}" -out "$work/signed-$i" >"$work/log" 2>&1; then
    fail "signing ${exes[$i]} failed: $(tail -n 5 "$work/log")"
  fi
done
for i in "${!exes[@]}"; do
  cp "$work/signed-$i" "${exes[$i]}.signing"
  chmod --reference="${exes[$i]}" "${exes[$i]}.signing"
  mv -f "${exes[$i]}.signing" "${exes[$i]}"
  echo "signed ${exes[$i]} ($subject)"
done
