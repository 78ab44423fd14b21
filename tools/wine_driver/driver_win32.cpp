// tolvarin-driver: drives and reads the running program's window from another process, as a
// person would see and use it (for the end-to-end tests under Wine).
//
// Usage: tolvarin-driver COMMAND [ARGS]. Ids are decimal or 0x-hex; TEXT arguments are UTF-8 in
// hexadecimal (so that no code page stands between the test and the program); timeouts in ms.
//   state                   JSON: title, controls (text, enabled), version list, dialogs
//   select LINE             picks a line of the version list (CB_SETCURSEL, then the
//                           CBN_SELCHANGE notice a user's pick sends its window)
//   click ID                presses an enabled button (posted BM_CLICK); exit 3 when disabled
//   alt CHAR                types Alt+CHAR into the main window (system keyboard input)
//   escape                  types Esc into the About box
//   close-box               OK on the open message box (not the About box)
//   removal HEXNAME         the system's disk-interface removal notice naming HEXNAME
//   wait-text ID TEXT MS    until control ID's text contains TEXT
//   wait-enabled ID 0|1 MS  until control ID is disabled (0) or enabled (1)
//   wait-box MS             until a message box is open; prints the state
//   wait-about MS           until the About box is open
//   wait-gone MS            until the program's main window has gone
//   hold-window MS          suspends the window's thread for MS (a busy or late window)
//   execution-state         the simulated program's execution state, in hex (exit 4: no answer)
//   geometry                JSON: the main window's DPI, frame and client size, each control's
//                           id and rectangle (x, y, width, height in client pixels) in creation
//                           order, and the client size of each open box
// Exit status: 0 done, 1 usage, 2 no main window, 3 refused (disabled control), 4 timed out.
#include <windows.h>
// windows.h first: dbt.h builds on its types.
#include <dbt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/win32/device_watch.h"

namespace {

constexpr wchar_t MAIN_CLASS[] = L"k47Q";
constexpr wchar_t ABOUT_CAPTION[] = L"關於 k47Q";
constexpr int MESSAGE_TEXT_ID = 0xFFFF;  // the static that holds a message box's text
constexpr int COMBO_ID = 0x7d;
constexpr UINT CALL_TIMEOUT_MS = 2000;
constexpr DWORD POLL_MS = 50;
const int CONTROL_IDS[] = {0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x7d};

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring FromHexUtf8(const wchar_t* hex) {
  std::string bytes;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
    wchar_t pair[3] = {hex[i], hex[i + 1], 0};
    bytes += static_cast<char>(wcstoul(pair, nullptr, 16));
  }
  if (bytes.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0], n);
  return out;
}

void Print(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (char c : Utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

int ParseInt(const wchar_t* text) {
  return static_cast<int>(wcstol(text, nullptr, 0));
}

HWND MainWindow() {
  return FindWindowW(MAIN_CLASS, nullptr);
}

// The window's text through WM_GETTEXT, bounded in time (the program may be busy).
std::wstring WindowText(HWND window) {
  wchar_t buffer[1024] = {};
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG, CALL_TIMEOUT_MS, &result))
    return {};
  return buffer;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, CALL_TIMEOUT_MS,
                           &result))
    return -1;
  return static_cast<LRESULT>(result);
}

struct Dialogs {
  DWORD process;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM context) {
  auto* dialogs = reinterpret_cast<Dialogs*>(context);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  if (process == dialogs->process && wcscmp(className, L"#32770") == 0 && IsWindowVisible(window))
    dialogs->found.push_back(window);
  return TRUE;
}

// The program's open dialog windows: message boxes and the About box.
std::vector<HWND> ProgramDialogs(HWND main) {
  Dialogs dialogs = {0, {}};
  GetWindowThreadProcessId(main, &dialogs.process);
  EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&dialogs));
  return dialogs.found;
}

bool IsAbout(HWND dialog) {
  return WindowText(dialog) == ABOUT_CAPTION;
}

HWND FindDialog(HWND main, bool about) {
  for (HWND dialog : ProgramDialogs(main))
    if (IsAbout(dialog) == about) return dialog;
  return nullptr;
}

std::string State(HWND main) {
  // The boxes first: a program shows its texts before it opens a box, so texts read after a box
  // was seen are the ones that stand beside it (read the other way round, a box could come up
  // between the two reads, beside older texts than it ever stood by).
  std::string dialogs = ",\"dialogs\":[";
  bool first = true;
  for (HWND dialog : ProgramDialogs(main)) {
    dialogs += first ? "" : ",";
    first = false;
    HWND text = GetDlgItem(dialog, MESSAGE_TEXT_ID);
    dialogs += "{\"caption\":" + Json(WindowText(dialog)) +
               ",\"text\":" + Json(text ? WindowText(text) : L"") +
               ",\"about\":" + (IsAbout(dialog) ? "true" : "false") + "}";
  }
  std::string out = "{\"title\":" + Json(WindowText(main)) + ",\"controls\":{";
  first = true;
  for (int id : CONTROL_IDS) {
    HWND control = GetDlgItem(main, id);
    if (control == nullptr) continue;
    out += first ? "" : ",";
    first = false;
    out += "\"" + std::to_string(id) + "\":{\"text\":" + Json(WindowText(control)) +
           ",\"enabled\":" + (IsWindowEnabled(control) ? "true" : "false") + "}";
  }
  HWND combo = GetDlgItem(main, COMBO_ID);
  out += "},\"lines\":[";
  LRESULT count = combo ? Send(combo, CB_GETCOUNT, 0, 0) : 0;
  for (LRESULT i = 0; i < count; ++i) {
    wchar_t line[512] = {};
    if (Send(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 511)
      Send(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line));
    out += (i ? "," : "") + Json(line);
  }
  out += "],\"selection\":" + std::to_string(combo ? Send(combo, CB_GETCURSEL, 0, 0) : -1);
  return out + dialogs + "]}\n";
}

// USER32's newer functions, looked up: the driver is built for the same Windows 7 headers as the
// program. Null where the system lacks one.
template <typename Function>
Function User32(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// What a person's display shows of the window, in physical pixels (the driver is DPI-aware):
// the DPI, frame and client size, then per control (creation order) its id and rectangle in
// client pixels, then each open box's client size. Wine 8 keeps one DPI for the whole system and
// answers GetDpiForWindow for another process's window with 96, so the driver's own DPI is the
// window's there. (Fonts are checked by the window's in-process tests: Wine answers WM_GETFONT
// from another process with 0.)
std::string Geometry(HWND main) {
  auto dpiForSystem = User32<UINT(WINAPI*)()>("GetDpiForSystem");
  UINT dpi = dpiForSystem ? dpiForSystem() : 96;
  RECT frame, client;
  GetWindowRect(main, &frame);
  GetClientRect(main, &client);
  char head[200];
  std::snprintf(head, sizeof head,
                "{\"dpi\":%u,\"frame\":[%ld,%ld,%ld,%ld],\"client\":[%ld,%ld],\"controls\":[", dpi,
                frame.left, frame.top, frame.right, frame.bottom, client.right, client.bottom);
  std::string out = head;
  // Children come in z-order, which is their creation order.
  for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&rect), 2);
    char row[120];
    std::snprintf(row, sizeof row, "%s{\"id\":%d,\"rect\":[%ld,%ld,%ld,%ld]}",
                  out.back() == '[' ? "" : ",", GetDlgCtrlID(child), rect.left, rect.top,
                  rect.right - rect.left, rect.bottom - rect.top);
    out += row;
  }
  // The boxes the system lays out itself: each open one's client size.
  out += "],\"dialogs\":[";
  for (HWND dialog : ProgramDialogs(main)) {
    GetClientRect(dialog, &client);
    char size[40];
    std::snprintf(size, sizeof size, "%s[%ld,%ld]", out.back() == '[' ? "" : ",", client.right,
                  client.bottom);
    out += size;
  }
  return out + "]}\n";
}

// Calls `done` every POLL_MS until it is true or `timeout` ms have passed.
template <typename Condition>
bool WaitFor(int timeout, Condition done) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (static_cast<int>(GetTickCount() - start) >= timeout) return false;
    Sleep(POLL_MS);
  }
}

// The notice the system sends when a disk interface goes away, naming `name`.
int SendRemoval(HWND main, const std::wstring& name) {
  size_t bytes =
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> record(bytes);
  auto* notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
  notice->dbcc_size = static_cast<DWORD>(bytes);
  notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  notice->dbcc_classguid = {
      0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
  memcpy(notice->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  DWORD_PTR result = 0;
  SendMessageTimeoutW(main, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                      reinterpret_cast<LPARAM>(notice), SMTO_ABORTIFHUNG, CALL_TIMEOUT_MS, &result);
  return 0;
}

// Presses the keys in order and releases them in reverse, as system keyboard input.
int Type(const std::vector<WORD>& keys) {
  std::vector<INPUT> inputs;
  for (size_t i = 0; i < keys.size() * 2; ++i) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    bool release = i >= keys.size();
    input.ki.wVk = keys[release ? keys.size() * 2 - 1 - i : i];
    input.ki.dwFlags = release ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(input);
  }
  UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  return sent == inputs.size() ? 0 : 4;
}

int Usage() {
  Print("usage: tolvarin-driver state|select|click|alt|escape|close-box|removal|wait-... \n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  // Physical pixels, as the per-monitor aware program lays them out (Wine's processes are already).
  auto setAwareness = User32<BOOL(WINAPI*)(HANDLE)>("SetProcessDpiAwarenessContext");
  const HANDLE PER_MONITOR_AWARE_V2 = reinterpret_cast<HANDLE>(-4);
  if (setAwareness == nullptr || !setAwareness(PER_MONITOR_AWARE_V2)) SetProcessDPIAware();
  std::wstring command = argv[1];
  auto arg = [&](int i) -> const wchar_t* { return i < argc ? argv[i] : L"0"; };

  if (command == L"wait-gone") {
    return WaitFor(ParseInt(arg(2)), [] { return MainWindow() == nullptr; }) ? 0 : 4;
  }
  if (command == L"wait-window") {
    return WaitFor(ParseInt(arg(2)), [] { return MainWindow() != nullptr; }) ? 0 : 4;
  }
  HWND main = MainWindow();
  if (main == nullptr) {
    Print("{\"window\":false}\n");
    return 2;
  }
  if (command == L"state") {
    Print(State(main));
    return 0;
  }
  if (command == L"geometry") {
    Print(Geometry(main));
    return 0;
  }
  if (command == L"select") {
    HWND combo = GetDlgItem(main, COMBO_ID);
    Send(combo, CB_SETCURSEL, static_cast<WPARAM>(ParseInt(arg(2))), 0);
    Send(main, WM_COMMAND, MAKEWPARAM(COMBO_ID, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return 0;
  }
  if (command == L"click") {
    HWND button = GetDlgItem(main, ParseInt(arg(2)));
    if (button == nullptr || !IsWindowEnabled(button) || !IsWindowVisible(button)) return 3;
    // Posted: a click that opens a modal box would otherwise block the driver.
    PostMessageW(button, BM_CLICK, 0, 0);
    return 0;
  }
  if (command == L"alt") {
    // Typed on the keyboard: TranslateAccelerator looks at the real Alt key state.
    SetForegroundWindow(main);
    SHORT key = VkKeyScanW(arg(2)[0]);
    if (key == -1) return 1;
    std::vector<WORD> down = {VK_MENU};
    if (key & 0x100) down.push_back(VK_SHIFT);
    down.push_back(static_cast<WORD>(key & 0xFF));
    return Type(down);
  }
  if (command == L"escape") {
    HWND about = FindDialog(main, true);
    if (about == nullptr) return 4;
    SetForegroundWindow(about);
    return Type({VK_ESCAPE});
  }
  if (command == L"close-box") {
    HWND box = FindDialog(main, false);
    if (box == nullptr) return 4;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
  }
  if (command == L"removal") {
    return SendRemoval(main, FromHexUtf8(arg(2)));
  }
  if (command == L"wait-text") {
    HWND control = GetDlgItem(main, ParseInt(arg(2)));
    std::wstring wanted = FromHexUtf8(arg(3));
    bool ok = WaitFor(ParseInt(arg(4)), [&] {
      return IsWindow(control) && WindowText(control).find(wanted) != std::wstring::npos;
    });
    return ok ? 0 : 4;
  }
  if (command == L"wait-enabled") {
    HWND control = GetDlgItem(main, ParseInt(arg(2)));
    bool wanted = ParseInt(arg(3)) != 0;
    bool ok = WaitFor(ParseInt(arg(4)), [&] {
      return IsWindow(control) && (IsWindowEnabled(control) != FALSE) == wanted;
    });
    return ok ? 0 : 4;
  }
  if (command == L"hold-window") {
    HANDLE thread =
        OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetWindowThreadProcessId(main, nullptr));
    if (thread == nullptr || SuspendThread(thread) == static_cast<DWORD>(-1)) return 4;
    Sleep(static_cast<DWORD>(ParseInt(arg(2))));
    ResumeThread(thread);
    CloseHandle(thread);
    return 0;
  }
  if (command == L"execution-state") {
    DWORD_PTR state = 0;
    if (!SendMessageTimeoutW(main, RegisterWindowMessageW(EXECUTION_STATE_QUERY), 0, 0,
                             SMTO_ABORTIFHUNG, CALL_TIMEOUT_MS, &state))
      return 4;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lx\n", static_cast<unsigned long>(state));
    Print(hex);
    return 0;
  }
  if (command == L"wait-box" || command == L"wait-about") {
    bool about = command == L"wait-about";
    bool ok = WaitFor(ParseInt(arg(2)),
                      [&] { return !IsWindow(main) || FindDialog(main, about) != nullptr; });
    if (IsWindow(main)) Print(State(main));
    return ok && IsWindow(main) ? 0 : 4;
  }
  return Usage();
}
