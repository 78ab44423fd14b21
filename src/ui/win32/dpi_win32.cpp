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

unsigned SystemDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<unsigned>(dpi) : BASE_DPI;
}

}  // namespace

int ScaleForDpi(int value, unsigned dpi) {
  return MulDiv(value, static_cast<int>(dpi), static_cast<int>(BASE_DPI));
}

unsigned WindowDpi(HWND window) {
  const PerMonitorDpiFunctions& system = PerMonitorDpi();
  UINT dpi = system.getDpiForWindow != nullptr ? system.getDpiForWindow(window) : 0;
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

HFONT CreateUiFont(unsigned dpi) {
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
  return CreateFontIndirectW(&metrics.lfMessageFont);
}
