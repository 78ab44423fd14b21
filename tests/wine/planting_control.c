/* The planting test's control: an exe with the programs' static imports (KERNEL32, USER32,
   ADVAPI32, msvcrt) and no stack protector runtime. It restricts the DLL search as the programs
   do, then does what makes Wine's own libraries load more: it shows a window, and asks WinINet
   for the connection state and for the URL on its command line. What it still loads from beside
   itself is Wine's loader's doing, not a program's. */
#include <windows.h>

typedef BOOL(WINAPI* SetDefaultFunction)(DWORD);
typedef BOOL(WINAPI* ConnectedStateFunction)(DWORD*, DWORD);
typedef void*(WINAPI* OpenFunction)(const char*, DWORD, const char*, const char*, DWORD);
typedef void*(WINAPI* OpenUrlFunction)(void*, const char*, const char*, DWORD, DWORD, DWORD_PTR);

#define SEARCH_SYSTEM32 0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */

/* A marker has none of the functions its name's callers want: end at once, not in the debugger,
   and the test runs the control again without that name. */
static LONG WINAPI EndOnFault(EXCEPTION_POINTERS* fault) {
  (void)fault;
  TerminateProcess(GetCurrentProcess(), 4);
  return EXCEPTION_EXECUTE_HANDLER;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  SetUnhandledExceptionFilter(EndOnFault);
  SetDefaultFunction setDefault = (SetDefaultFunction)(void*)GetProcAddress(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (setDefault == NULL || !setDefault(SEARCH_SYSTEM32) || !SetDllDirectoryW(L"")) return 2;
  RegCloseKey(NULL); /* ADVAPI32 is imported, as by the programs */

  HWND window = CreateWindowExW(0, L"STATIC", L"control", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL,
                                NULL, instance, NULL);
  ShowWindow(window, show);
  for (DWORD end = GetTickCount() + 300; GetTickCount() < end; Sleep(10)) {
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  DestroyWindow(window);

  HMODULE wininet = LoadLibraryExW(L"wininet.dll", NULL, SEARCH_SYSTEM32);
  ConnectedStateFunction connected =
      (ConnectedStateFunction)(void*)GetProcAddress(wininet, "InternetGetConnectedState");
  OpenFunction open = (OpenFunction)(void*)GetProcAddress(wininet, "InternetOpenA");
  OpenUrlFunction openUrl = (OpenUrlFunction)(void*)GetProcAddress(wininet, "InternetOpenUrlA");
  if (connected == NULL || open == NULL || openUrl == NULL) return 3;
  DWORD state = 0;
  connected(&state, 0);
  /* INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY */
  openUrl(open("control", 4, NULL, NULL, 0), commandLine, NULL, 0, 0, 0);
  return 0;
}
