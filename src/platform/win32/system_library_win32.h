// System DLLs loaded from the system folder only, with their entry points resolved at run time.
//
// The program runs elevated and is often started from a downloads folder: a DLL named after a
// system library there, or in the working directory, must never be loaded. The exe therefore
// imports only libraries that Windows always takes from its own folder (KnownDLLs); every other
// system library goes through here.
#pragma once

#include <windows.h>

// Restricts this process's DLL search to the system folder and takes the current directory out
// of it. Call it first thing at process start, before any library is loaded on demand (the exe
// calls it from a TLS callback, before the C runtime starts).
void RestrictDllSearchToSystem();

// Loads `name` (a bare file name such as L"wininet.dll") from the system folder only, with its
// own dependencies searched there too. Returns the module, or null when it cannot be loaded. The
// module stays loaded for the life of the process.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Looks up `name` in `module` into `slot`, typed as the function it is. Returns false (slot null)
// when the module is null or lacks the function.
template <typename Function>
bool ResolveSystemFunction(HMODULE module, const char* name, Function& slot) {
  FARPROC entry = module != nullptr ? GetProcAddress(module, name) : nullptr;
  // Through void*: FARPROC and the real signature are unrelated function pointer types.
  slot = reinterpret_cast<Function>(reinterpret_cast<void*>(entry));
  return slot != nullptr;
}
