/* A DLL to plant beside the program under a system library's name: when any process loads it, it
   leaves <TOLVARIN_MARKER_DIR>\<its own file name>.<process id>.loaded naming the process's exe. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char folder[MAX_PATH];
  char own[MAX_PATH];
  char exe[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("TOLVARIN_MARKER_DIR", folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) return TRUE;
  DWORD ownLength = GetModuleFileNameA(self, own, sizeof own);
  DWORD exeLength = GetModuleFileNameA(NULL, exe, sizeof exe);
  if (ownLength == 0 || ownLength >= sizeof own || exeLength == 0 || exeLength >= sizeof exe)
    return TRUE;
  const char* name = own;
  for (const char* c = own; *c; ++c)
    if (*c == '\\' || *c == '/') name = c + 1;
  char path[3 * MAX_PATH];
  wsprintfA(path, "%s\\%s.%lu.loaded", folder, name, GetCurrentProcessId());
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(file, exe, exeLength, &written, NULL);
    CloseHandle(file);
  }
  return TRUE;
}
