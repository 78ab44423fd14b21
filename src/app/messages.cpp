// The two error boxes every reported failure ends in.
#include "app/messages.h"

#include "app/app_state.h"

int ShowErrorCode(int code) {
  g_app.ui->HoldComputer(false);
  return g_app.ui->ShowMessage(ErrorTextFor(code), ErrorCaptionFor(code), MB_STYLE_ICON_ERROR);
}

void FatalError(const WChar* text) {
  g_app.ui->HoldComputer(false);
  g_app.ui->ShowMessage(text, CAPTION_FATAL, MB_STYLE_ICON_ERROR);
  g_app.ui->EndProcess(0);
}

void FatalErrorFormat(const WChar* format, int a, int b, int c) {
  WChar text[TEXT_CAPACITY];
  FormatText(text, TEXT_CAPACITY, format, a, b, c);
  FatalError(text);
}
