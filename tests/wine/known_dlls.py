"""The system libraries Windows never looks up beside an exe, shared by the image check and the
planting test: the KnownDLLs of every Windows the program supports (7 and later)."""

KNOWN_DLLS = {"advapi32", "comdlg32", "gdi32", "imagehlp", "imm32", "kernel32", "msctf", "msvcrt",
              "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost", "shell32",
              "shlwapi", "user32", "wldap32", "ws2_32"}
