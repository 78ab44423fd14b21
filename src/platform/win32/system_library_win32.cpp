// Loading system DLLs from the system folder only.
#include "platform/win32/system_library_win32.h"

#include <cwchar>

namespace {

// Not declared by every SDK this builds with, and not exported by an unpatched Windows 7.
constexpr DWORD SEARCH_SYSTEM32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Whether the process-wide search is restricted, so that a bare name with the search flag finds
// only the system folder's copy.
bool g_searchRestricted = false;

}  // namespace

void RestrictDllSearchToSystem() {
  SetDefaultDllDirectoriesFunction setDefault = nullptr;
  ResolveSystemFunction(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories", setDefault);
  g_searchRestricted = setDefault != nullptr && setDefault(SEARCH_SYSTEM32);
  // An empty text removes the current directory from the search.
  SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  if (g_searchRestricted) return LoadLibraryExW(name, nullptr, SEARCH_SYSTEM32);
  // Without the restriction: the full path, whose folder is then searched first for the
  // library's own dependencies.
  wchar_t path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  size_t nameLength = wcslen(name);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  wcscpy(path + length + 1, name);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
