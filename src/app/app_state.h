// The one process-wide state record shared by the main thread and the two workers.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/ui_port.h"
#include "base/text.h"
#include "device/device_identity.h"
#include "device/hid.h"
#include "files/catalogue.h"
#include "files/publication_record.h"
#include "files/server_layout.h"

constexpr uint32_t FLAG_DEVICE_FOUND = 0x01;
constexpr uint32_t FLAG_FORCE = 0x04;
constexpr uint32_t FLAG_LONG_VERSION = 0x80;

struct AppState {
  AppState();

  uint32_t runFlags = 0;
  void* instance = nullptr;  // the platform's handles are opaque to the portable code
  WChar className[TEXT_CAPACITY] = {};
  WChar searchFormat[TEXT_CAPACITY] = {};
  // Scratch text for titles, captions and status lines. Shared without a lock: the order of the
  // user interface keeps its users apart (search ticks stop before identification starts, and
  // a run can only start once identification has enabled Start).
  WChar textBuffer[TEXT_CAPACITY] = {};
  void* mainWindow = nullptr;
  void* startButton = nullptr;
  void* exitButton = nullptr;
  void* deviceVersionLabel = nullptr;
  void* latestVersionLabel = nullptr;
  void* versionCombo = nullptr;
  int32_t searchCount = 0;
  CHidCmd hidCmd;
  UpdateCatalogue catalogue;
  DeviceIdentity identity;
  char poolDirectory[9];
  // UPDATE_BASE_URL of this program; tests point it at their own server.
  char baseUrl[LOCATION_CAPACITY];
  // The public keys publications are verified with: the compiled-in ones (tests give their own).
  // None: a keyless program, which fetches no publication record.
  const uint8_t (*publicKeys)[P256_PUBLIC_KEY_BYTES];
  int publicKeyCount;
  // The verified record of this device's model, filled before either index file is used, when
  // there are keys.
  PublicationRecord record;
  // Set once a run has been started; later presses of Start are ignored.
  std::atomic<int> runStarted{0};
  // The window behind the workers; a null port until the shell or a test installs one.
  CUiPort* ui;
};

extern AppState g_app;

// Puts the state back as it is at process start (tests run many workflows in one process). The
// device command object keeps its back end; its handles are closed.
void ResetAppState(CUiPort* ui, CDevicePlatform* platform);
