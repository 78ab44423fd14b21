// DownloadToBuffer on WinINet, for the Windows build.
// windows.h comes first: the other platform headers rely on it.
#include <windows.h>

#include <mmsystem.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>

#include "files/download.h"
#include "platform/win32/system_library_win32.h"

namespace {

// WinINet and WINMM are no KnownDLLs: they are loaded from the system folder on first use, never
// imported (an import would be looked up beside the exe first).
struct WinInetApi {
  decltype(&::InternetGetConnectedState) InternetGetConnectedState;
  decltype(&::InternetOpenA) InternetOpenA;
  decltype(&::InternetSetOptionA) InternetSetOptionA;
  decltype(&::InternetOpenUrlA) InternetOpenUrlA;
  decltype(&::InternetReadFile) InternetReadFile;
  decltype(&::InternetCloseHandle) InternetCloseHandle;
  bool complete;
};

WinInetApi LoadWinInet() {
  WinInetApi api = {};
  HMODULE module = LoadSystemLibrary(L"wininet.dll");
  api.complete =
      ResolveSystemFunction(module, "InternetGetConnectedState", api.InternetGetConnectedState) &&
      ResolveSystemFunction(module, "InternetOpenA", api.InternetOpenA) &&
      ResolveSystemFunction(module, "InternetSetOptionA", api.InternetSetOptionA) &&
      ResolveSystemFunction(module, "InternetOpenUrlA", api.InternetOpenUrlA) &&
      ResolveSystemFunction(module, "InternetReadFile", api.InternetReadFile) &&
      ResolveSystemFunction(module, "InternetCloseHandle", api.InternetCloseHandle);
  return api;
}

// The table, loaded once (the two workers never download at the same time, and a function-local
// static is initialised once anyway); null when WinINet or one of its functions is missing.
const WinInetApi* WinInet() {
  static const WinInetApi api = LoadWinInet();
  return api.complete ? &api : nullptr;
}

// The millisecond counter of the user agent. Without WINMM the system's own uptime counter, which
// counts the same milliseconds: a missing WINMM is no reason to fail a download.
DWORD Milliseconds() {
  static const auto timeGetTimeEntry = [] {
    decltype(&::timeGetTime) entry = nullptr;
    ResolveSystemFunction(LoadSystemLibrary(L"winmm.dll"), "timeGetTime", entry);
    return entry;
  }();
  return timeGetTimeEntry != nullptr ? timeGetTimeEntry() : GetTickCount();
}

constexpr char ACCEPT_HEADERS[] = "Accept: */*\r\n\r\n";
constexpr DWORD OPEN_FLAGS =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(OPEN_FLAGS == 0x84000100, "open flags");
static_assert(sizeof(ACCEPT_HEADERS) - 1 == 15, "the extra headers are passed with length 15");
// How long a read may wait for the server's next byte.
constexpr DWORD DOWNLOAD_STALL_MS = 30000;

// Everything a download opened, closed in reverse order on every return.
struct Handles {
  const WinInetApi* api;
  HINTERNET root = nullptr;
  HINTERNET url = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handles() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (url != nullptr) api->InternetCloseHandle(url);
    if (root != nullptr) api->InternetCloseHandle(root);
  }
};

}  // namespace

int DownloadToBuffer(uint8_t* buffer, int capacity, const char* url, const WChar* fileName) {
  const WinInetApi* api = WinInet();
  // Without WinINet no Internet handle can be opened.
  if (api == nullptr) return ERR_OFFLINE;
  DWORD connection = 0;
  api->InternetGetConnectedState(&connection, 0);
  char agent[256];
  std::snprintf(agent, sizeof agent, "Agent%ld",
                static_cast<long>(static_cast<int32_t>(Milliseconds())));
  DWORD access = (connection & INTERNET_CONNECTION_PROXY)
                     ? INTERNET_OPEN_TYPE_PRECONFIG
                     : INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY;

  Handles h{api};
  h.root = api->InternetOpenA(agent, access, nullptr, nullptr, 0);
  if (h.root == nullptr) return ERR_OFFLINE;
  // A server that stops sending mid-body must fail the read, not hold the worker for ever: not
  // every WinINet has a receive time-out by default (Wine's has none), and some take it only on
  // the request handle. 30 s, as the native build allows.
  DWORD timeout = DOWNLOAD_STALL_MS;
  api->InternetSetOptionA(h.root, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  h.url =
      api->InternetOpenUrlA(h.root, url, ACCEPT_HEADERS, sizeof(ACCEPT_HEADERS) - 1, OPEN_FLAGS, 0);
  if (h.url == nullptr) return ERR_CONNECT;
  api->InternetSetOptionA(h.url, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  if (fileName != nullptr && fileName[0] != 0) {
    h.file = CreateFileW(reinterpret_cast<const wchar_t*>(fileName), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h.file == INVALID_HANDLE_VALUE) return ERR_CREATE_FILE;
  }

  static_assert(sizeof(WChar) == sizeof(wchar_t),
                "UTF-16 units are the platform's wide characters");
  uint8_t chunk[DOWNLOAD_CHUNK_SIZE];
  int total = 0;
  for (;;) {
    DWORD got = 0;
    if (!api->InternetReadFile(h.url, chunk, DOWNLOAD_CHUNK_SIZE, &got)) return ERR_READ;
    if (got == 0) return total;
    if (h.file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      if (!WriteFile(h.file, chunk, got, &written, nullptr) || written != got)
        return ERR_WRITE_FILE;
    }
    // A body longer than the caller's buffer fails the download; nothing goes past its end.
    if (got > static_cast<DWORD>(capacity - total)) return ERR_READ;
    std::memcpy(buffer + total, chunk, got);
    total += static_cast<int>(got);
  }
}
