#!/usr/bin/env python3
"""The Debian package: cpack -G DEB builds it, dpkg-deb lists what it must hold, lintian (where
installed) finds no error, and the udev rule matches the device names the program looks for.

Usage: package_test.py --build DIR --source DIR --version V
"""
import argparse
import fnmatch
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

FAILURES = []


def check(ok, what, detail=""):
    if not ok:
        FAILURES.append(what)
        print("FAIL %s\n%s" % (what, detail), flush=True)


def device_tokens(source):
    """The two tokens the search looks for, as the code states them."""
    with open(os.path.join(source, "src/device/hid.h"), encoding="utf-8") as f:
        text = f.read()
    vendor = re.search(r'VENDOR_TOKEN\[\] = u"([^"]+)"', text).group(1)
    product = re.search(r'PRODUCT_TOKEN\[\] = u"([^"]+)"', text).group(1)
    return vendor, product


def check_rule(source):
    with open(os.path.join(source, "deploy/udev/70-tolvarin.rules"), encoding="utf-8") as f:
        rules = [l for l in f if l.strip() and not l.startswith("#")]
    check(len(rules) == 1, "one rule", rules)
    keys = dict(re.findall(r'(\S+?)==?"([^"]*)"', rules[0]))
    check('TAG+="uaccess"' in rules[0], "the rule gives the seat access", rules[0])
    check(keys.get("SUBSYSTEM") == "scsi_generic", "the rule is for SCSI generic devices", keys)
    vendor, product = device_tokens(source)
    # The inquiry fields as sysfs gives them, padded, in whatever case the device uses.
    for v, m in ((vendor.upper() + " ", product.upper() + "  "), (vendor.title(), product),
                 (vendor, "X" + product.upper())):
        check(fnmatch.fnmatchcase(v, keys["ATTRS{vendor}"]) and
              fnmatch.fnmatchcase(m, keys["ATTRS{model}"]), "the rule matches %r %r" % (v, m))
    check(not fnmatch.fnmatchcase("Generic ", keys["ATTRS{vendor}"]), "another disk is not matched")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()
    check_rule(args.source)

    out = tempfile.mkdtemp()
    try:
        subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config",
                        os.path.join(args.build, "CPackConfig.cmake")], check=True,
                       stdout=subprocess.DEVNULL)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        check(len(debs) == 1, "one package", debs)
        deb = os.path.join(out, debs[0])
        listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                                 text=True).stdout
        print(listing)
        entries = {line.split()[-1]: line.split()[0] for line in listing.splitlines()}
        expected = {
            "./usr/bin/tolvarin": "-rwxr-xr-x",
            "./usr/lib/udev/rules.d/70-tolvarin.rules": "-rw-r--r--",
            "./usr/share/man/man1/tolvarin.1.gz": "-rw-r--r--",
            "./usr/share/doc/tolvarin/copyright": "-rw-r--r--",
            "./usr/share/doc/tolvarin/changelog.gz": "-rw-r--r--",
        }
        for path, mode in expected.items():
            check(entries.get(path) == mode, "package holds " + path, entries.get(path))
        files = [p for p, m in entries.items() if not m.startswith("d")]
        check(sorted(files) == sorted(expected), "nothing else in the package", files)
        check(all(" root/root " in l for l in listing.splitlines()), "owned by root", listing)

        fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"],
                                check=True, capture_output=True, text=True).stdout
        check("Version: " + args.version in fields, "package version is the program's", fields)
        check("libudev1" in fields and "libcurl" in fields, "shared library dependencies", fields)

        unpacked = os.path.join(out, "root")
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        version = subprocess.run([os.path.join(unpacked, "usr/bin/tolvarin"), "--version"],
                                 capture_output=True, text=True)
        check(version.stdout.strip() == "tolvarin " + args.version, "the packaged program runs",
              version)
        with gzip.open(os.path.join(unpacked, "usr/share/man/man1/tolvarin.1.gz"), "rt",
                       encoding="utf-8") as f:
            page = f.read()
        check(".TH TOLVARIN 1" in page and args.version in page and r"70\-tolvarin.rules" in page,
              "manual page names the version and the rule")
        if shutil.which("man"):
            render = subprocess.run(["man", "--warnings", "-l", "-"], input=page,
                                    capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
            check(render.returncode == 0 and not render.stderr.strip(),
                  "manual page renders without warnings", render.stderr)

        if shutil.which("lintian"):
            lint = subprocess.run(["lintian", "--allow-root", deb], capture_output=True, text=True)
            print(lint.stdout + lint.stderr)
            errors = [l for l in lint.stdout.splitlines() if l.startswith("E:")]
            check(not errors, "lintian finds no error", "\n".join(errors))
        else:
            print("lintian not installed: skipped")
    finally:
        shutil.rmtree(out, ignore_errors=True)
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
