#!/usr/bin/env bash
# Writes the test certificates into DIR unless they are there: a test CA and a second CA that
# nobody trusts, and server certificates for localhost (good, expired, signed by the untrusted CA)
# and for another host name. Made at test time, never kept in the repository.
# Usage: tests/tls/make_certs.sh DIR
#   ca.pem                the test CA that the tests trust (native: given to libcurl; Wine: put
#                         into the prefix's ROOT store)
#   <name>.pem <name>.key server certificate and key, name one of:
#     localhost   DNS:localhost and IP:127.0.0.1, from the test CA
#     wronghost   DNS:wrong-host.invalid only, from the test CA
#     expired     DNS:localhost, from the test CA, valid only in January 2020
#     unknownca   DNS:localhost, from the untrusted CA
set -euo pipefail
dir=${1:?directory}
[ -f "$dir/complete" ] && exit 0
mkdir -p "$(dirname "$dir")"
work=$(mktemp -d "$dir.tmp.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# Wine's certificate checks refuse a P-256 signature whose r or s is shorter than 32 bytes (one
# signature in about 128): whichever certificate has one is signed again.
full_width() {  # CERT.pem: true when both halves of its signature are 32 bytes long
  openssl x509 -in "$1" -noout -text | python3 -c '
import sys
dump = sys.stdin.read().split("Signature Value:")[-1]
der = bytes.fromhex("".join(c for c in dump if c in "0123456789abcdef"))
at, widths = 2, []  # SEQUENCE { INTEGER r, INTEGER s }, each with its length in one byte
for _ in range(2):
    widths.append(len(der[at + 2:at + 2 + der[at + 1]].lstrip(b"\0")))
    at += 2 + der[at + 1]
sys.exit(widths != [32, 32])'
}

# A CA: self-signed, may sign server certificates only.
make_ca() {
  local name=$1 subject=$2
  key "$name.key"
  until [ -f "$name.pem" ] && full_width "$name.pem"; do
    openssl req -x509 -new -key "$name.key" -out "$name.pem" -days 3650 -subj "/CN=$subject" \
      -addext "basicConstraints=critical,CA:TRUE,pathlen:0" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  done
  mkdir -p "$name.db"
  : >"$name.db/index.txt"
  openssl rand -hex 8 >"$name.db/serial"
  cat >"$name.cnf" <<CNF
[ca]
default_ca = this
[this]
database = $work/$name.db/index.txt
serial = $work/$name.db/serial
new_certs_dir = $work/$name.db
certificate = $work/$name.pem
private_key = $work/$name.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = \$ENV::SAN
CNF
}

# A server certificate: name, CA, subject alternative names, then openssl ca's date options.
make_server() {
  local name=$1 ca=$2 san=$3
  shift 3
  local cn=${san%%,*}
  key "$name.key"
  openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=${cn#*:}" 2>/dev/null
  until [ -f "$name.pem" ] && full_width "$name.pem"; do
    SAN=$san openssl ca -batch -config "$ca.cnf" -extensions server -in "$name.csr" \
      -out "$name.pem" -notext "$@" 2>/dev/null
  done
}

make_ca ca "Tolvarin Test CA"
make_ca rogue "Tolvarin Untrusted CA"
# Valid from yesterday: a clock a little behind still accepts them.
since=$(date -u -d "1 day ago" +%Y%m%d%H%M%SZ)
make_server localhost ca "DNS:localhost,IP:127.0.0.1" -startdate "$since" -days 3650
make_server wronghost ca "DNS:wrong-host.invalid" -startdate "$since" -days 3650
make_server expired ca "DNS:localhost" -startdate 20200101000000Z -enddate 20200131000000Z
make_server unknownca rogue "DNS:localhost" -startdate "$since" -days 3650
chmod 644 ./*.pem ./*.key  # nginx reads them as root, the tests as whoever they run as
rm -rf ./*.db ./*.cnf ./*.csr ca.key rogue.key
touch complete
# Two runs at once: the first to finish wins, the other keeps its hands off.
mv -T "$work" "$dir" 2>/dev/null || true
