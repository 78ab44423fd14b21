// The seam between the program's logic and its window: control changes, message boxes, strings,
// process end.
#pragma once

#include "base/text.h"

// Control ids of the main window.
enum ControlId : int {
  ID_START_BUTTON = 0x70,
  ID_EXIT_BUTTON = 0x71,
  ID_DEVICE_GROUP = 0x72,
  ID_VERSION_GROUP = 0x73,
  ID_DEVICE_LABEL = 0x74,
  ID_LATEST_LABEL = 0x75,
  ID_VERSION_COMBO = 0x7d,
};

// Message-box styles used by the program (the platform's values).
constexpr unsigned MB_STYLE_OK = 0x00;
constexpr unsigned MB_STYLE_ICON_ERROR = 0x10;

// What the workers may do to the window. The Windows shell implements it with the platform's
// window calls on the handles in AppState; tests record the calls. Every method may be called
// from any thread; texts are owned by the caller and only read during the call.
class CUiPort {
 public:
  virtual ~CUiPort() = default;
  // Sets the text (caption) of control `id`.
  virtual void SetControlText(int id, const WChar* text) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;
  // Adds a line to the version list.
  virtual void ComboAddLine(const WChar* line) = 0;
  virtual void ComboSelect(int line) = 0;
  // Selected line of the version list, zero-based; -1 when nothing is selected.
  virtual int ComboSelection() = 0;
  // Shows a modal box owned by the main window and waits until it is closed; returns its result.
  virtual int ShowMessage(const WChar* text, const WChar* caption, unsigned style) = 0;
  // Loads string `id` into dst (capacity units, cut and terminated); returns its length.
  virtual int LoadString(int id, WChar* dst, int capacity) = 0;
  // Ends the process with `code` through the normal exit path. On the platform this never
  // returns; a test implementation records the code and returns, and every caller returns at once.
  virtual void EndProcess(int code) = 0;
  // Called once for each sector written and each sector verified, just before that sector's
  // progress text: a front end that draws a bar over the whole run counts these. Ignored by
  // default.
  virtual void SectorDone() {}
  // While held, the computer is kept from sleeping and from ending the session, so that nothing
  // but a pulled cable or a cut power stops a write halfway. The run holds it from its start and
  // lets it go before its closing box or any error box. Calls are made from the run's thread and
  // may repeat a state; a platform without such means ignores them (the default).
  virtual void HoldComputer(bool held) { (void)held; }
};

// A port that does nothing: no window, no boxes, strings from the compiled-in table, EndProcess
// only noted. The state's default until a shell or a test installs its own.
class CNullUiPort : public CUiPort {
 public:
  void SetControlText(int, const WChar*) override {}
  void EnableControl(int, bool) override {}
  void ComboAddLine(const WChar*) override {}
  void ComboSelect(int) override {}
  int ComboSelection() override { return -1; }
  int ShowMessage(const WChar*, const WChar*, unsigned) override { return 1; }
  int LoadString(int id, WChar* dst, int capacity) override;
  void EndProcess(int code) override { endedWith = code; }
  int endedWith = -1;
};
