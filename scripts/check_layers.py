#!/usr/bin/env python3
"""Fails when a source file under src/ includes from a layer above its own.

The layers, bottom to top, are LAYERS below: a file may include from its own folder and from the
layers beneath it; folders side by side in one layer (the two front ends) may not include each
other. Every folder under src/ must belong to a layer, so a new folder has to be placed here.
"""
import pathlib
import re
import sys

LAYERS = [
    ("base", "texts, UTF-8, the string table, error codes"),
    ("platform", "what the back ends and a front end share on one OS (the System32 loader), "
                 "the power state, the clock"),
    ("device", "the request block, the device classes, search rules, back ends, simulated device"),
    ("files", "update-file format and checks, the catalogue's format, downloads, server layout"),
    ("app", "the process state, the fixed user texts and error boxes, the UI seam"),
    ("workflow", "identification, update check, programming, the run, what both front ends do"),
    ("ui", "the front ends: the Windows window (win32/) and the terminal (term/)"),
]
RANK = {name: rank for rank, (name, _) in enumerate(LAYERS)}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    print("layers, bottom to top (a file includes only from its own folder or a lower layer):")
    for name, what in LAYERS:
        print(f"  {name:9} {what}")
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".c"):
            continue
        own = path.parent.relative_to(src)
        if own.parts[0] not in RANK:
            faults.append(f"{path}: folder {own} is in no layer")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match or not (src / match.group(1)).is_file():
                continue  # system, generated and resource headers sit outside the layers
            target = pathlib.PurePosixPath(match.group(1)).parent
            if target == own:
                continue
            upward = RANK.get(target.parts[0], len(LAYERS)) > RANK[own.parts[0]]
            # A folder's own header is shared by the platform folders beneath it
            # (platform/power.h by platform/win32 and platform/linux); siblings stay apart.
            sideways = target.parts[0] == own.parts[0] and target not in own.parents
            if upward or sideways:
                kind = "up a layer" if upward else "into a sibling folder"
                faults.append(f"{path}:{number}: includes \"{match.group(1)}\" ({kind})")
    for fault in faults:
        print(fault)
    print(f"layer check: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
