// The disk device-interface class that the search enumerates and the window registers for.
#pragma once

#include <windows.h>

// GUID_DEVINTERFACE_DISK, spelled out so that no translation unit needs initguid.h.
inline constexpr GUID DISK_INTERFACE_CLASS = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
