// The update run worker.
#include "workflow/update_run.h"

#include "app/app_state.h"
#include "app/messages.h"
#include "base/strings.h"
#include "device/device_ops.h"
#include "files/update_file.h"
#include "platform/power.h"
#include "workflow/program.h"
#include "workflow/publication_check.h"
#include "workflow/run_images.h"

namespace {

// Shows the box of a failed fetch of entry i, as each step's own failure has always been shown,
// and asks the process to end.
void ReportImageFailure(int i, const ImageOutcome& outcome) {
  switch (outcome.stage) {
    case IMAGE_NO_BUFFER:
      FatalErrorFormat(FORMAT_ERROR_NO_BUFFER, i);
      break;
    case IMAGE_DOWNLOAD_FAILED:
      ShowErrorCode(outcome.code);
      g_app.ui->EndProcess(0);
      break;
    case IMAGE_NOT_SIGNED:
      ReportSignedFileRefused(outcome.code);
      break;
    default:
      FatalErrorFormat(FORMAT_ERROR_IMAGE_CHECK, outcome.code);
      break;
  }
}

// Has every image of the run in hand and checked, in catalogue order, before anything is erased:
// a network failure or a bad file found halfway would otherwise leave the device with part of
// two releases. Shows string 140 while it has to wait or fetch. Returns false when the first
// failure has been reported (the images in hand let go) and the process told to end.
bool GatherImages(const RunEntry* entries, int count) {
  ClaimRunImages(entries, count);
  bool captionShown = false;
  for (int k = 0; k < count; ++k) {
    if (!captionShown && !RunImageReady(entries[k].index)) {
      WChar text[TEXT_CAPACITY];
      g_app.ui->LoadString(STR_DOWNLOADING, text, TEXT_CAPACITY);
      g_app.ui->SetControlText(ID_START_BUTTON, text);
      captionShown = true;
    }
    ImageOutcome outcome = GatherRunImage(entries[k]);
    if (outcome.stage != IMAGE_READY) {
      ReleaseRunImages();
      ReportImageFailure(entries[k].index, outcome);
      return false;
    }
  }
  return true;
}

// Programs and verifies entry i's image in hand, then lets it go. Returns true to go on; false
// when the mismatch has been reported and the process told to end.
bool ApplyEntry(int i) {
  int length = 0;
  const uint8_t* image = RunImage(i, &length);
  int32_t mismatches = ProgramAndVerify(image, ItemKindLetter(g_app.catalogue.entries[i].kind));
  ReleaseRunImage(i);
  if (mismatches != 0) {
    ReleaseRunImages();
    FatalErrorFormat(FORMAT_ERROR_VERIFY, i, length, mismatches);
    return false;
  }
  return true;
}

}  // namespace

int32_t RunSectorCount(int selectedLine) {
  RunEntry entries[MAX_CATALOGUE_ENTRIES];
  int count = RunEntries(selectedLine, entries);
  int32_t sectors = 0;
  for (int k = 0; k < count; ++k)
    if (entries[k].size > UPDATE_HEADER_SIZE)
      sectors += (entries[k].size - UPDATE_HEADER_SIZE) / SECTOR_BYTES_IN_FILE;
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
  RunEntry entries[MAX_CATALOGUE_ENTRIES];
  int count = RunEntries(ui->ComboSelection(), entries);
  ui->EnableControl(ID_VERSION_COMBO, false);

  if (!GatherImages(entries, count)) return 0;
  for (int k = 0; k < count; ++k)
    if (!ApplyEntry(entries[k].index)) return 0;

  const UpdateCatalogue& catalogue = g_app.catalogue;

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
