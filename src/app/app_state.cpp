// The process-wide state record and its start values.
#include "app/app_state.h"

#include <cstring>

#include "base/strings.h"
#include "device/device_ops.h"
#include "files/public_keys.h"

namespace {
CNullUiPort g_nullUi;
}

AppState g_app;

AppState::AppState()
    : catalogue(EmptyCatalogue()),
      publicKeys(BUILT_IN_KEYS),
      publicKeyCount(BUILT_IN_KEY_COUNT),
      ui(&g_nullUi) {
  std::memset(&identity, 0, sizeof identity);
  std::memset(&record, 0, sizeof record);
  CopyText(poolDirectory, sizeof poolDirectory, POOL_DIRECTORY_TEMPLATE);
  CopyText(baseUrl, sizeof baseUrl, UPDATE_BASE_URL);
}

CHidCmd& GlobalHidCmd() {
  return g_app.hidCmd;
}

int CNullUiPort::LoadString(int id, WChar* dst, int capacity) {
  return LoadTableString(id, dst, capacity);
}

void ResetAppState(CUiPort* ui, CDevicePlatform* platform) {
  g_app.hidCmd.io.Close();
  g_app.hidCmd.io.platform = platform;
  g_app.runFlags = 0;
  g_app.searchCount = 0;
  g_app.textBuffer[0] = 0;
  g_app.catalogue = EmptyCatalogue();
  std::memset(&g_app.identity, 0, sizeof g_app.identity);
  CopyText(g_app.poolDirectory, sizeof g_app.poolDirectory, POOL_DIRECTORY_TEMPLATE);
  CopyText(g_app.baseUrl, sizeof g_app.baseUrl, UPDATE_BASE_URL);
  g_app.publicKeys = BUILT_IN_KEYS;
  g_app.publicKeyCount = BUILT_IN_KEY_COUNT;
  std::memset(&g_app.record, 0, sizeof g_app.record);
  g_app.runStarted = 0;
  g_app.ui = ui != nullptr ? ui : &g_nullUi;
}
