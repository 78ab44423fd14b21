// The display scale of the main window: DPI, scaled sizes, the frame and the UI font per DPI.
#include "ui/win32/dpi_win32.h"

#include "platform/win32/system_library_win32.h"

namespace {

// Windows 10 1607 and later only: resolved at run time, so that the exe still starts on every
// Windows it runs on (a missing static import would stop the loader).
struct PerMonitorDpiFunctions {
  UINT(WINAPI* getDpiForWindow)(HWND);
  BOOL(WINAPI* adjustWindowRectExForDpi)(RECT*, DWORD, BOOL, DWORD, UINT);
  BOOL(WINAPI* systemParametersInfoForDpi)(UINT, UINT, void*, UINT, UINT);
};

// GDI32, for the font and the system's DPI. USER32 loads it anyway; resolved at run time all the
// same, so that the exe's static imports stay KERNEL32, USER32, ADVAPI32 and msvcrt.
struct GdiFunctions {
  int(WINAPI* getDeviceCaps)(HDC, int);
  HFONT(WINAPI* createFontIndirect)(const LOGFONTW*);
  BOOL(WINAPI* deleteObject)(HGDIOBJ);
};

const GdiFunctions& Gdi() {
  static const GdiFunctions functions = [] {
    GdiFunctions found = {};
    HMODULE gdi32 = LoadSystemLibrary(L"gdi32.dll");
    ResolveSystemFunction(gdi32, "GetDeviceCaps", found.getDeviceCaps);
    ResolveSystemFunction(gdi32, "CreateFontIndirectW", found.createFontIndirect);
    ResolveSystemFunction(gdi32, "DeleteObject", found.deleteObject);
    return found;
  }();
  return functions;
}

// GetDpiForMonitor's MDT_EFFECTIVE_DPI: the scale the user picked for that display.
constexpr int EFFECTIVE_DPI = 0;

const PerMonitorDpiFunctions& PerMonitorDpi() {
  static const PerMonitorDpiFunctions functions = [] {
    PerMonitorDpiFunctions found = {};
    // USER32 is a static import: already loaded, from the system folder.
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    ResolveSystemFunction(user32, "GetDpiForWindow", found.getDpiForWindow);
    ResolveSystemFunction(user32, "AdjustWindowRectExForDpi", found.adjustWindowRectExForDpi);
    ResolveSystemFunction(user32, "SystemParametersInfoForDpi", found.systemParametersInfoForDpi);
    return found;
  }();
  return functions;
}

// Windows 8.1's per-monitor DPI (SHCore, loaded from the system folder only where the newer
// per-window call is missing): 0 where there is none.
unsigned MonitorDpi(HWND window) {
  static HRESULT(WINAPI* const getDpiForMonitor)(HMONITOR, int, UINT*, UINT*) = [] {
    HRESULT(WINAPI * found)(HMONITOR, int, UINT*, UINT*) = nullptr;
    ResolveSystemFunction(LoadSystemLibrary(L"shcore.dll"), "GetDpiForMonitor", found);
    return found;
  }();
  UINT x = 0, y = 0;
  if (getDpiForMonitor == nullptr ||
      getDpiForMonitor(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), EFFECTIVE_DPI, &x,
                       &y) != S_OK)
    return 0;
  return y;
}

unsigned SystemDpi() {
  auto getDeviceCaps = Gdi().getDeviceCaps;
  HDC screen = getDeviceCaps != nullptr ? GetDC(nullptr) : nullptr;
  int dpi = screen != nullptr ? getDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<unsigned>(dpi) : BASE_DPI;
}

}  // namespace

int ScaleForDpi(int value, unsigned dpi) {
  return MulDiv(value, static_cast<int>(dpi), static_cast<int>(BASE_DPI));
}

unsigned WindowDpi(HWND window) {
  const PerMonitorDpiFunctions& system = PerMonitorDpi();
  UINT dpi =
      system.getDpiForWindow != nullptr ? system.getDpiForWindow(window) : MonitorDpi(window);
  return dpi != 0 ? dpi : SystemDpi();
}

SIZE FrameSizeForClient(int clientWidth, int clientHeight, DWORD style, unsigned dpi) {
  RECT frame = {0, 0, clientWidth, clientHeight};
  const PerMonitorDpiFunctions& system = PerMonitorDpi();
  if (system.adjustWindowRectExForDpi == nullptr ||
      !system.adjustWindowRectExForDpi(&frame, style, FALSE, 0, dpi))
    AdjustWindowRect(&frame, style, FALSE);
  return {frame.right - frame.left, frame.bottom - frame.top};
}

void SizeClientArea(HWND window, int clientWidth, int clientHeight, SIZE frame) {
  SetWindowPos(window, nullptr, 0, 0, frame.cx, frame.cy,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  RECT client;
  GetClientRect(window, &client);
  int dx = clientWidth - (client.right - client.left);
  int dy = clientHeight - (client.bottom - client.top);
  if (dx != 0 || dy != 0)
    SetWindowPos(window, nullptr, 0, 0, frame.cx + dx, frame.cy + dy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HFONT CreateUiFont(unsigned dpi) {
  if (Gdi().createFontIndirect == nullptr) return nullptr;
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  const PerMonitorDpiFunctions& system = PerMonitorDpi();
  if (system.systemParametersInfoForDpi == nullptr ||
      !system.systemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                         dpi)) {
    // The system's metrics are for its own DPI.
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
      return nullptr;
    LONG& height = metrics.lfMessageFont.lfHeight;
    height = MulDiv(height, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
  }
  return Gdi().createFontIndirect(&metrics.lfMessageFont);
}

void DeleteUiFont(HFONT font) {
  if (font != nullptr && Gdi().deleteObject != nullptr) Gdi().deleteObject(font);
}
