// The fault matrix's world: a server tree, a simulated device with old firmware, one whole
// workflow run, and the invariants every case must keep whatever went wrong.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/sim_platform.h"
#include "publisher.h"
#include "support/local_server.h"
#include "support/recording_ui.h"

// What the flash holds before a run: every sector the matrix looks at is programmed with this.
constexpr uint8_t OLD_FIRMWARE_BYTE = 0x00;
// Sectors 0..FLASH_SECTORS_WATCHED-1 are preloaded and checked after every run.
constexpr uint32_t FLASH_SECTORS_WATCHED = 16;

// One device request or window call, in the order they happened.
struct FaultEvent {
  enum Kind { DOWNLOAD_CAPTION, PROGRAM_START, DEVICE } kind;
  SimRecord request;  // DEVICE only
};

// Records window calls like CRecordingUi and also puts the captions that mark a download and the
// start of programming into the shared event list. onComboSelect runs when the version list gets
// its selection, which the update check does between the step and the final index file.
class CFaultUi : public CRecordingUi {
 public:
  explicit CFaultUi(std::vector<FaultEvent>* events) : events(events) {}
  void SetControlText(int id, const WChar* text) override;
  void ComboSelect(int line) override;

  std::function<void()> onComboSelect;

 private:
  std::vector<FaultEvent>* events;
};

// The in-memory simulated device, with every request also put into the shared event list.
class CFaultPlatform : public CSimPlatform {
 public:
  CFaultPlatform(CSimDevice* device, std::vector<FaultEvent>* events)
      : CSimPlatform(device), events(events) {}
  int DeviceIo(DeviceHandle handle, ScsiRequest* request) override;

 private:
  std::vector<FaultEvent>* events;
};

// Page data for `sectors` sectors whose bytes are never 0x00 or 0xFF: against old firmware of
// 0x00 and erased flash of 0xFF, every byte that did not land counts exactly once.
std::vector<uint8_t> MatrixPayload(int sectors, uint32_t seed);

// The model every case runs against, its information page and the two trees of the matrix.
extern const char MATRIX_MODEL[];
std::vector<uint8_t> MatrixInfoPage();
// One main image "CM4D9C-2c" over sectors 2..6 (5 sectors): the request numbers of a run are
// 1 info read, 2 + 17k erase of the k-th sector, 3 + 17k + j its page j, 87 + 16k + j the read
// back of that page, 167 the finishing command.
ModelPlan SingleImageModel();
// Image "VM7A31-1v" over sectors 10..11, then the main image "CM4D9C-2c" over sectors 2..6.
ModelPlan TwoImageModel();

// Hooks into one run, for faults that need the moment right.
struct RunHooks {
  std::function<void()> afterStepIndex;  // between the step and the final index file
  std::function<void()> beforeRun;       // after identification, before Start is pressed
};

// Everything one run left behind.
struct RunRecord {
  bool identified = false;     // the update check ended with Start enabled
  bool ranUpdate = false;      // the update run was started
  std::u16string latestLabel;  // the update check's status line
};

// A device with old firmware in flash and a fresh application state for every run, as the
// program meets them after a start.
class CFaultWorld {
 public:
  explicit CFaultWorld(const ModelPlan& model);
  ~CFaultWorld();

  // Writes the model's files into the tree again, undoing any damage a case did to them.
  void RestoreTree();

  // Runs identification and, when Start is offered, the update run, against baseUrl. A fresh UI
  // and application state each time; the device keeps its flash and faults.
  RunRecord Run(const std::string& baseUrl, const RunHooks& hooks = {});

  // Checks what every case must keep, whatever its fault: the process ended once with status 0
  // after exactly one box; no flash request outside the range of the image being programmed, and
  // none before every image of the run was downloaded and checked; a success box only over flash
  // that equals every applied image, with nothing left unread; flash outside every image's range
  // unchanged.
  void CheckInvariants() const;

  // Number of bytes of image `index` (of model.images) whose flash differs from its payload.
  size_t FlashDifference(size_t index) const;
  // True when no erase or write request reached image `index`'s range in the last run.
  bool RangeUntouched(size_t index) const;
  // Flash requests (erase and write) of the last run.
  size_t FlashRequests() const;

  const CFaultUi& Ui() const { return *ui; }
  bool SuccessShown() const;

  ModelPlan model;
  CTempDir root;
  CSimDevice device;
  std::vector<FaultEvent> events;
  CFaultPlatform platform{&device, &events};
  std::unique_ptr<CFaultUi> ui;
};

// The closing and error boxes the matrix expects, as the program shows them.
struct ExpectedBox {
  std::u16string caption;
  std::u16string text;
  unsigned style;
};
ExpectedBox DoneBox();
ExpectedBox DownloadErrorBox(int code);
// A numbered text through FatalError, formatted like the program (one to three int arguments).
ExpectedBox FatalBox(const WChar* format, int a, int b = 0, int c = 0);

// Compares the one box of the last run with `expected`.
void ExpectBox(const CFaultUi& ui, const ExpectedBox& expected);

// Runs a fresh, fault-free update on the same device and expects it to leave every image of the
// model in flash and end with the success box.
void ExpectCleanRerunRestores(CFaultWorld& world, const std::string& baseUrl);
