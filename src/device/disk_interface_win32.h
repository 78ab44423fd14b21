// The device-interface class that the search enumerates and the window registers for.
#pragma once

#include <windows.h>

// {53F56308-B6BF-11D0-94F2-00A0C91EFB8B} is the value Windows' headers call the CD-ROM interface
// class (GUID_DEVINTERFACE_CDROM); their disk class (GUID_DEVINTERFACE_DISK) is {53F56307-...}.
// The program finds the detector under this one, so it stays: do not "correct" it to the disk
// class. Spelled out so that no translation unit needs initguid.h.
inline constexpr GUID CDROM_INTERFACE_CLASS = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
