#!/usr/bin/env bash
# Signing a release: a throw-away CA and code-signing certificate, made here with openssl, sign
# copies of the exes through scripts/sign.sh; osslsigncode then verifies them against that CA.
#   sign_test.sh SIGN_SCRIPT OUT_DIR EXE...
# Leaves the signed exes in OUT_DIR for the Wine run of the signed release.
set -euo pipefail
sign=$(realpath "$1")
out=$(realpath -m "$2")
shift 2
exes=()
for exe in "$@"; do exes+=("$(realpath "$exe")"); done
set -- "${exes[@]}"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
rm -rf "$out" && mkdir -p "$out"

# A CA, a code-signing certificate it issued, and a server certificate it issued.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Tolvarin test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
issue() {  # name, extended key usage
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=Tolvarin $1" \
    2>/dev/null
  printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}
issue signer codeSigning
issue server serverAuth
printf 'release-pass' >password
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 \
  -passout file:password

verify() {
  osslsigncode verify -CAfile ca.pem -in "$1" >"$1.verify" 2>&1
}

# PKCS#12 through the options.
names=()
for exe in "$@"; do
  names+=("$(basename "$exe")")
  cp "$exe" "$out/"
done
"$sign" --pkcs12 signer.p12 --password-file password "${names[@]/#/$out/}" >sign.log 2>&1 ||
  fail "signing with a PKCS#12 failed: $(cat sign.log)"
for name in "${names[@]}"; do
  verify "$out/$name" || fail "$name does not verify after signing: $(tail -n 3 "$out/$name.verify")"
  grep -q "Message digest algorithm  : SHA256" "$out/$name.verify" || fail "$name is not signed with SHA-256"
  rm -f "$out/$name.verify"
done

# PEM certificate and key through the environment; the unsigned original does not verify.
cp "$1" pem.exe
TOLVARIN_SIGN_CERT=signer.pem TOLVARIN_SIGN_KEY=signer.key "$sign" pem.exe >sign.log 2>&1 ||
  fail "signing with PEM files from the environment failed: $(cat sign.log)"
verify pem.exe || fail "the PEM-signed exe does not verify"
cp "$1" unsigned.exe
verify unsigned.exe && fail "an unsigned exe verifies"

# One flipped byte in the signed code fails verification.
cp "$out/${names[0]}" tampered.exe
offset=4200
byte=$(od -An -tu1 -j "$offset" -N1 tampered.exe | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" |
  dd of=tampered.exe bs=1 seek="$offset" conv=notrunc status=none
cmp -s tampered.exe "$out/${names[0]}" && fail "the byte was not flipped"
verify tampered.exe && fail "a tampered exe verifies"
grep -q "MISMATCH" tampered.exe.verify || fail "verify does not name the damage"

# A certificate that is not for code signing is refused, and the exe is left as it was.
cp "$1" refused.exe
if "$sign" --cert server.pem --key server.key refused.exe >refuse.log 2>&1; then
  fail "a server certificate was accepted for code signing"
fi
grep -q "not for code signing" refuse.log || fail "no clear refusal: $(cat refuse.log)"
cmp -s refused.exe "$1" || fail "a refused signing changed the exe"

# No certificate at all is a usage error.
set +e
"$sign" refused.exe >usage.log 2>&1
status=$?
set -e
[ "$status" -eq 2 ] || fail "no certificate: exit status $status, not 2"

if [ "$failures" -ne 0 ]; then
  echo "$failures signing check(s) failed"
  exit 1
fi
echo "signed and verified: ${names[*]}"
