// Device identification from the information page, and the identification worker.
#include "workflow/identify.h"

#include <cstring>

#include "app/app_state.h"
#include "app/messages.h"
#include "device/device_ops.h"
#include "files/catalogue.h"
#include "files/server_layout.h"
#include "workflow/update_check.h"

IdentityResult DeriveIdentity(const uint8_t* page) {
  IdentityResult result;
  std::memset(&result, 0, sizeof result);
  DeviceIdentity& id = result.identity;

  for (int i = 0; i < 4; ++i) id.mainVersion[i] = NibbleToHexDigit(page[i]);
  result.longForm = (page[7] & 0x02) != 0 && page[20] != 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t byte = page[23 - i];
    id.longVersion[2 * i] = NibbleToHexDigit(static_cast<uint8_t>(byte >> 4));
    id.longVersion[2 * i + 1] = NibbleToHexDigit(byte);
  }
  CopyText(id.shownVersion, 16, result.longForm ? id.longVersion : id.mainVersion);
  id.modelCode = page[0];
  int32_t malformed = 0;
  for (int i = 0; i < 4; ++i)
    id.modelId[i] = CheckHexDigit(static_cast<char>(page[12 + i]), &malformed);
  result.malformed = malformed != 0;
  std::memcpy(id.stampV, page + 4, 3);
  for (int i = 0; i < 3; ++i) id.stampI[i] = NibbleToHexDigit(page[16 + i]);
  result.poolChar = id.modelId[2];
  return result;
}

bool IdentifyConnectedDevice() {
  uint8_t page[256];
  std::memset(page, 0, sizeof page);  // a failed read leaves an all-zero page, never stale bytes
  DeviceReadInfoPage(page);

  IdentityResult result = DeriveIdentity(page);
  g_app.identity = result.identity;
  if (result.longForm) g_app.runFlags |= FLAG_LONG_VERSION;
  g_app.poolDirectory[POOL_MODEL_CHAR_INDEX] = result.poolChar;

  FormatText(g_app.textBuffer, TEXT_CAPACITY, FORMAT_DEVICE_VERSION, g_app.identity.shownVersion);
  g_app.ui->SetControlText(ID_DEVICE_LABEL, g_app.textBuffer);

  if (result.malformed) {
    FatalError(TEXT_ERROR_BAD_MODEL);
    return false;
  }
  return true;
}

int IdentifyDevice() {
  if (IdentifyConnectedDevice()) CheckForUpdates();
  return 1;
}
