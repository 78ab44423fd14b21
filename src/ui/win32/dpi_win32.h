// The display scale the window is shown at: its DPI, sizes at that DPI and the UI font for it.
#pragma once

#include "ui/win32/win32_api.h"

// The layout's numbers are for 96 DPI (100 %).
constexpr unsigned BASE_DPI = 96;

// `value` (a 96-DPI size or position) at `dpi`: value × dpi / 96, rounded to the nearest pixel.
// Always from the 96-DPI number, so that moving between scales never accumulates rounding.
int ScaleForDpi(int value, unsigned dpi);

// The DPI `window` is shown at: its own (Windows 10 1607 and later) or its monitor's (Windows 8.1
// to 10 1511), otherwise the system's DPI (Windows 7 and 8). Never 0.
unsigned WindowDpi(HWND window);

// The outer size of a window of `style` (no menu, no extended style) whose client area is
// `clientWidth` × `clientHeight`, with the frame metrics of `dpi` where the system has them per
// DPI, else the system's own.
SIZE FrameSizeForClient(int clientWidth, int clientHeight, DWORD style, unsigned dpi);

// Sizes `window` (keeping its place) so that its client area is exactly `clientWidth` ×
// `clientHeight`: `frame` first, the outer size expected for that client area, then corrected by
// what the client area came out as (where the frame metrics of a DPI differ from the system's).
void SizeClientArea(HWND window, int clientWidth, int clientHeight, SIZE frame);

// A new font for the controls at `dpi`: the system's message font for that DPI (the system's
// metrics scaled from its DPI where it cannot give them for another). The caller owns the font
// and deletes it with DeleteUiFont; null when no font could be made.
HFONT CreateUiFont(unsigned dpi);

// Deletes a font CreateUiFont made, once no control draws with it; null is ignored.
void DeleteUiFont(HFONT font);
