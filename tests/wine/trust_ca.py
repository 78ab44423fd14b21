#!/usr/bin/env python3
"""Makes a CA certificate trusted by one Wine prefix only: writes it as a .reg file under
HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\<SHA-1> and imports it with Wine's
regedit into WINEPREFIX. The host system's trust store is never touched.

    trust_ca.py CA_PEM      (WINEPREFIX set; prints the certificate's SHA-1)
"""
import hashlib
import os
import ssl
import struct
import subprocess
import sys
import tempfile

CERT_PROP_ID = 32  # the encoded certificate, in a store's serialized property list


def main():
    with open(sys.argv[1]) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    sha1 = hashlib.sha1(der).hexdigest().upper()
    blob = struct.pack("<III", CERT_PROP_ID, 1, len(der)) + der
    data = ",".join("%02x" % b for b in blob)
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as reg:
        reg.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root"
                  "\\Certificates\\%s]\n\"Blob\"=hex:%s\n" % (sha1, data))
    try:
        subprocess.run(["wine", "regedit", reg.name], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    finally:
        os.unlink(reg.name)
    print(sha1)


if __name__ == "__main__":
    main()
