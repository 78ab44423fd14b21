#!/usr/bin/python3
"""Checks what a Windows exe of ours promises before it runs anywhere: its imports, hardening and
version resource.

    check_image.py --version X.Y.Z EXE...

Fails (exit 1) when an exe
- imports or delay-imports any DLL but the few KnownDLLs it is allowed (the system loads those
  from its own folder only; any other name would be looked up beside the exe first, and a MinGW
  runtime DLL would be missing on a user's machine); delay imports are found by their
  descriptors, since GNU ld leaves MinGW's out of the image's delay import directory,
- has no embedded manifest, one whose processorArchitecture is not the image's machine, or one
  that depends on a side-by-side assembly (looked up beside the exe too),
- lacks ASLR (DYNAMIC_BASE, with its relocations kept) or DEP (NX_COMPAT),
- has a section that is both writable and executable,
- was linked without the stack protector's runtime,
- has no version resource holding X.Y.Z, the product name, a file description and a copyright,
- for i686, imports one of msvcrt's time functions whose time_t is 32 bits there (time() gives
  -1 from 2038-01-19 on, and a record's expiry would never pass).
Reads the files with pefile (Debian python3-pefile), not with the code that builds them.
"""
import argparse
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

from known_dlls import KNOWN_DLLS  # all the exe may import

# What libssp's handler prints; present only where the protector's runtime was linked in.
STACK_PROTECTOR_MARK = b"*** stack smashing detected ***"
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
RT_MANIFEST = 24
# msvcrt's functions of a time_t, which is 32 bits in i686 images (their 64-bit twins end in 64).
TIME32_FUNCTIONS = {"time", "_time32", "gmtime", "_gmtime32", "localtime", "_localtime32",
                    "mktime", "_mktime32", "difftime", "_difftime32", "ctime", "_ctime32"}
# A manifest's processorArchitecture for each image machine.
MANIFEST_ARCHITECTURES = {pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]: "x86",
                          pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]: "amd64"}


def delay_imported(pe):
    """The DLL names of every delay-load descriptor in the image, wherever it lies: the attributes
    word 1 (RVAs), then the RVAs of the name, the module handle, the IAT and the name table."""
    image = pe.get_memory_mapped_image()
    size = pe.OPTIONAL_HEADER.SizeOfImage
    names = {entry.dll.decode().lower()
             for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    for match in re.finditer(rb"\x01\0\0\0", image):
        if match.start() + 20 > len(image):
            break
        rvas = struct.unpack_from("<4I", image, match.start() + 4)
        if not all(0 < rva < size for rva in rvas):
            continue
        name = re.match(rb"([A-Za-z0-9_.-]{1,64}\.dll)\0", image[rvas[0]:rvas[0] + 70], re.I)
        if name:
            names.add(name.group(1).decode().lower())
    return sorted(names)


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            if entry.Key == b"StringFileInfo":
                for table in entry.StringTable:
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def tag(element):
    """An XML element's name without its namespace."""
    return element.tag.rsplit("}", 1)[-1]


def manifest_problems(pe):
    kinds = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    manifests = [pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
                 for kind in kinds if kind.id == RT_MANIFEST
                 for name in kind.directory.entries for language in name.directory.entries]
    if len(manifests) != 1:
        return ["%d embedded manifests, not one" % len(manifests)]
    found = []
    root = ElementTree.fromstring(manifests[0])
    identity = [e for e in root if tag(e) == "assemblyIdentity"]
    architecture = identity[0].get("processorArchitecture") if identity else None
    machine = MANIFEST_ARCHITECTURES.get(pe.FILE_HEADER.Machine, hex(pe.FILE_HEADER.Machine))
    if architecture != machine:
        found.append("manifest names processorArchitecture %r in an image for %s" %
                     (architecture, machine))
    for element in root.iter():
        if tag(element) == "dependentAssembly":
            names = [e.get("name") for e in element if tag(e) == "assemblyIdentity"]
            found.append("manifest depends on the assembly %s" % (names or ["?"])[0])
    return found


def problems(path, version):
    found = []
    with open(path, "rb") as f:
        data = f.read()
    pe = pefile.PE(data=data)

    imports = [entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    if not imports:
        found.append("no imports found")
    for dll in imports:
        if dll.removesuffix(".dll") not in KNOWN_DLLS:
            found.append("imports %s, which is no allowed KnownDLL" % dll)
    if pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
            for function in entry.imports:
                if function.name and function.name.decode() in TIME32_FUNCTIONS:
                    found.append("imports %s from %s: a 32-bit time_t" %
                                 (function.name.decode(), entry.dll.decode()))
    for dll in delay_imported(pe):
        if dll.removesuffix(".dll") not in KNOWN_DLLS:
            found.append("delay-imports %s, which is no allowed KnownDLL" % dll)
    found += manifest_problems(pe)

    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    if not characteristics & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]:
        found.append("no DYNAMIC_BASE (ASLR)")
    if not characteristics & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]:
        found.append("no NX_COMPAT (DEP)")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS[
            "IMAGE_FILE_RELOCS_STRIPPED"] or relocations.Size == 0:
        found.append("relocations stripped: the loader cannot move the image")

    for section in pe.sections:
        flags = section.Characteristics
        if flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE:
            found.append("section %s is writable and executable" %
                         section.Name.rstrip(b"\0").decode())

    if STACK_PROTECTOR_MARK not in data:
        found.append("no stack protector runtime linked in")

    strings = version_strings(pe)
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    major, minor, patch = (int(part) for part in version.split("."))
    if fixed is None or (fixed.FileVersionMS, fixed.FileVersionLS) != (major << 16 | minor,
                                                                         patch << 16):
        found.append("fixed file version is not %s" % version)
    for key in ("FileVersion", "ProductVersion"):
        if strings.get(key) != version:
            found.append("%s is %r, not %s" % (key, strings.get(key), version))
    for key in ("ProductName", "FileDescription", "LegalCopyright"):
        if not strings.get(key):
            found.append("no %s in the version resource" % key)
    return imports, strings, found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True, help="the build's version, X.Y.Z")
    parser.add_argument("exes", nargs="+")
    args = parser.parse_args()
    status = 0
    for exe in args.exes:
        imports, strings, found = problems(exe, args.version)
        print("%s: imports %s; %s %s, %s" % (exe, " ".join(imports), strings.get("ProductName"),
                                             strings.get("FileVersion"),
                                             strings.get("FileDescription")))
        for problem in found:
            print("  FAIL " + problem)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
