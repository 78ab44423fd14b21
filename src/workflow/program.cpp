// Image programming and verification: the only code that erases or writes the device's flash.
#include "workflow/program.h"

#include <cstring>

#include "app/app_state.h"
#include "app/messages.h"
#include "device/device_ops.h"
#include "files/update_file.h"

namespace {

void ShowProgress(const WChar* format, int a, int b = 0) {
  FormatText(g_app.textBuffer, TEXT_CAPACITY, format, a, b);
  g_app.ui->SetControlText(ID_START_BUTTON, g_app.textBuffer);
}

int CountDifferences(const uint8_t* a, const uint8_t* b) {
  // Nearly every page reads back as written: one block compare settles those.
  if (std::memcmp(a, b, PAGE_SIZE) == 0) return 0;
  int n = 0;
  for (uint32_t i = 0; i < PAGE_SIZE; ++i) n += a[i] != b[i];
  return n;
}

}  // namespace

int32_t ProgramAndVerify(const uint8_t* image, char kindLetter) {
  const uint32_t first = HeaderFirstSector(image);
  const uint32_t last = HeaderLastSector(image);
  const int letter = static_cast<unsigned char>(kindLetter);
  ShowProgress(FORMAT_PROGRESS_COUNT, static_cast<int>(last) - static_cast<int>(first) + 1);

  const uint8_t* data = image + UPDATE_HEADER_SIZE;
  for (uint32_t s = first; s <= last; ++s) {
    DeviceEraseSector(s);
    for (uint32_t j = 0; j < PAGES_PER_SECTOR; ++j) {
      DeviceWritePages(data, s * PAGES_PER_SECTOR + j, 1);
      data += PAGE_SIZE;
    }
    g_app.ui->SectorDone();
    ShowProgress(FORMAT_PROGRESS_WRITE, letter, static_cast<int>(last - s));
  }

  int32_t mismatches = 0;
  uint8_t page[PAGE_SIZE];
  std::memset(page, 0, sizeof page);
  data = image + UPDATE_HEADER_SIZE;
  for (uint32_t s = first; s <= last; ++s) {
    for (uint32_t j = 0; j < PAGES_PER_SECTOR; ++j) {
      // A page that cannot be read back is not verified: every byte of it counts as different,
      // so a failed read can never pass on stale buffer contents.
      if (DeviceReadPages(page, s * PAGES_PER_SECTOR + j, 1))
        mismatches += CountDifferences(page, data);
      else
        mismatches += PAGE_SIZE;
      data += PAGE_SIZE;
    }
    g_app.ui->SectorDone();
    ShowProgress(FORMAT_PROGRESS_VERIFY, letter, static_cast<int>(last - s));
  }
  ShowProgress(FORMAT_PROGRESS_DONE, letter);
  return mismatches;
}
