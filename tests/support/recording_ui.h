// A UI port for tests that records every control change, box and process end.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/ui_port.h"

struct RecordedBox {
  std::u16string text;
  std::u16string caption;
  unsigned style;
};

class CRecordingUi : public CUiPort {
 public:
  void SetControlText(int id, const WChar* text) override;
  void EnableControl(int id, bool enabled) override;
  void ComboAddLine(const WChar* line) override;
  void ComboSelect(int line) override;
  int ComboSelection() override;
  int ShowMessage(const WChar* text, const WChar* caption, unsigned style) override;
  int LoadString(int id, WChar* dst, int capacity) override;
  void EndProcess(int code) override;

  // Last text set on control id ("" when never set), and every text it was given, in order.
  std::u16string Text(int id) const;
  std::vector<std::u16string> Texts(int id) const;
  bool Enabled(int id) const;  // last state set (controls start as the window creates them)
  bool Ended() const { return endCode >= 0; }

  std::vector<std::pair<int, std::u16string>> texts;
  std::map<int, bool> enabled;
  std::vector<std::u16string> comboLines;
  int comboSelection = -1;
  int comboSelectCalls = 0;
  int windowCalls = 0;  // every call that would reach the window
  std::vector<RecordedBox> boxes;
  int endCode = -1;
  int endCalls = 0;
  mutable std::mutex mutex;
};

// UTF-8 of a UTF-16 text, for readable test failures.
std::string Utf8(const std::u16string& text);
