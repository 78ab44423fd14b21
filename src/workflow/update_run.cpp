// The update run worker.
#include "workflow/update_run.h"

#include <cstdlib>
#include <cstring>

#include "app/app_state.h"
#include "app/messages.h"
#include "base/strings.h"
#include "device/device_ops.h"
#include "files/download.h"
#include "files/update_file.h"
#include "platform/power.h"
#include "workflow/program.h"
#include "workflow/publication_check.h"

namespace {

// Downloads, checks and programs entry i. Returns true to go on; false when the failure has been
// reported and the process told to end.
bool ApplyEntry(int i, const CatalogueEntry& entry, int32_t size) {
  WChar text[TEXT_CAPACITY];
  g_app.ui->LoadString(STR_DOWNLOADING, text, TEXT_CAPACITY);
  g_app.ui->SetControlText(ID_START_BUTTON, text);

  int capacity = size + IMAGE_BUFFER_EXTRA;
  uint8_t* image = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(capacity), 1));
  if (image == nullptr) {
    FatalErrorFormat(FORMAT_ERROR_NO_BUFFER, i);
    return false;
  }
  char url[LOCATION_CAPACITY];
  ImageFileLocation(url, sizeof url, g_app.baseUrl, g_app.poolDirectory, entry.name);
  int length = DownloadToBuffer(image, capacity, url, u"");
  if (length < 1) {
    std::free(image);
    ShowErrorCode(length);
    g_app.ui->EndProcess(0);
    return false;
  }
  // Checked on the bytes as downloaded, before anything reads them and before the first erase.
  char path[LOCATION_CAPACITY];
  ImageFileLocation(path, sizeof path, "", g_app.poolDirectory, entry.name);
  if (!AcceptSignedFile(path, image, length)) {
    std::free(image);
    return false;
  }
  char tag[5] = {entry.name[2], entry.name[3], entry.name[4], entry.name[5], 0};
  int result = CheckUpdateFile(length, image, tag, MODE_IMAGE_FILE);
  // Nothing is erased unless the file holds the page data of its whole sector range.
  if (result == CHECK_OK) result = CheckImageRange(length, image);
  if (result != CHECK_OK) {
    std::free(image);
    FatalErrorFormat(FORMAT_ERROR_IMAGE_CHECK, result);
    return false;
  }
  int32_t mismatches = ProgramAndVerify(image, ItemKindLetter(entry.kind));
  std::free(image);
  if (mismatches != 0) {
    FatalErrorFormat(FORMAT_ERROR_VERIFY, i, length, mismatches);
    return false;
  }
  return true;
}

// The bytes the run applies of `entry`, or 0 when it skips the entry. countdown counts the main
// images still to pass before the selected one (the selected line plus one at the start).
int32_t RunSize(const CatalogueEntry& entry, int* countdown) {
  int32_t size = (g_app.runFlags & FLAG_FORCE) ? entry.fullSize : entry.pendingSize;
  if (size == 0) return 0;
  // Of the main images only the one on the selected line is applied.
  if (entry.kind == KIND_C && --*countdown != 0) return 0;
  return size;
}

}  // namespace

int32_t RunSectorCount(int selectedLine) {
  int countdown = selectedLine + 1;
  int32_t sectors = 0;
  for (int i = 0; i < g_app.catalogue.entryCount; ++i) {
    int32_t size = RunSize(g_app.catalogue.entries[i], &countdown);
    if (size > UPDATE_HEADER_SIZE) sectors += (size - UPDATE_HEADER_SIZE) / SECTOR_BYTES_IN_FILE;
  }
  return sectors;
}

bool PowerAllowsRun() {
  if (!BatteryTooLow(ReadPowerStatus())) return true;
  g_app.ui->ShowMessage(TEXT_LOW_BATTERY, CAPTION_LOW_BATTERY, MB_STYLE_ICON_ERROR);
  return false;
}

int RunUpdate() {
  CUiPort* ui = g_app.ui;
  ui->HoldComputer(true);
  ui->EnableControl(ID_START_BUTTON, false);
  ui->EnableControl(ID_EXIT_BUTTON, false);
  int countdown = ui->ComboSelection() + 1;
  ui->EnableControl(ID_VERSION_COMBO, false);

  const UpdateCatalogue& catalogue = g_app.catalogue;
  for (int i = 0; i < catalogue.entryCount; ++i) {
    const CatalogueEntry& entry = catalogue.entries[i];
    int32_t size = RunSize(entry, &countdown);
    if (size == 0) continue;
    if (!ApplyEntry(i, entry, size)) return 0;
  }

  bool morePasses = (catalogue.flags & CATALOGUE_MORE_PASSES) != 0;
  DeviceSendCommand(morePasses ? CMD_UPDATE_AGAIN : CMD_UPDATE_DONE);
  ui->HoldComputer(false);  // the device's work is done: the closing box may wait for the user
  if (morePasses)
    ui->ShowMessage(TEXT_MORE_PASSES, CAPTION_MORE_PASSES, MB_STYLE_OK);
  else
    ui->ShowMessage(TEXT_DONE, CAPTION_DONE, MB_STYLE_OK);
  ui->EndProcess(0);
  return 0;
}
