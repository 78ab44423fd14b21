// What both front ends do around the workers: the title, the search tick, the device's close at
// exit.
#include "workflow/session.h"

#include "app/app_state.h"
#include "app/messages.h"

void FormatTitle(WChar* dst, int capacity) {
  FormatText(dst, capacity, FORMAT_TITLE, '4', '7', 'Q');
  if (g_app.runFlags & FLAG_FORCE) AppendText(dst, capacity, TITLE_FORCE_SUFFIX);
}

void ShowSearchCount() {
  FormatText(g_app.textBuffer, TEXT_CAPACITY, g_app.searchFormat, g_app.searchCount);
  g_app.ui->SetControlText(ID_DEVICE_LABEL, g_app.textBuffer);
}

bool SearchTick() {
  if (g_app.hidCmd.FindDevice()) {
    g_app.runFlags |= FLAG_DEVICE_FOUND;
    return true;
  }
  ++g_app.searchCount;
  ShowSearchCount();
  return false;
}

void CloseDeviceAtExit() {
  g_app.hidCmd.io.Close();
}
