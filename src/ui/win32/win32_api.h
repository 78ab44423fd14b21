// The Windows API as the shell's files include it.
#pragma once

#include <windows.h>

// windows.h maps LoadString to LoadStringW, which would rename CUiPort::LoadString in the files
// that see both.
#undef LoadString
