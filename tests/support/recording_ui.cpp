// The recording UI port of the tests.
#include "support/recording_ui.h"

#include "base/strings.h"
#include "base/utf8.h"

void CRecordingUi::SetControlText(int id, const WChar* text) {
  std::lock_guard<std::mutex> lock(mutex);
  ++windowCalls;
  texts.emplace_back(id, text);
}

void CRecordingUi::EnableControl(int id, bool on) {
  std::lock_guard<std::mutex> lock(mutex);
  ++windowCalls;
  enabled[id] = on;
}

void CRecordingUi::ComboAddLine(const WChar* line) {
  std::lock_guard<std::mutex> lock(mutex);
  ++windowCalls;
  comboLines.emplace_back(line);
}

void CRecordingUi::ComboSelect(int line) {
  std::lock_guard<std::mutex> lock(mutex);
  ++windowCalls;
  ++comboSelectCalls;
  comboSelection = line >= 0 && line < static_cast<int>(comboLines.size()) ? line : -1;
}

int CRecordingUi::ComboSelection() {
  std::lock_guard<std::mutex> lock(mutex);
  ++windowCalls;
  return comboSelection;
}

int CRecordingUi::ShowMessage(const WChar* text, const WChar* caption, unsigned style) {
  std::lock_guard<std::mutex> lock(mutex);
  boxes.push_back({text, caption, style});
  return 1;
}

int CRecordingUi::LoadString(int id, WChar* dst, int capacity) {
  return LoadTableString(id, dst, capacity);
}

void CRecordingUi::EndProcess(int code) {
  std::lock_guard<std::mutex> lock(mutex);
  ++endCalls;
  if (endCode < 0) endCode = code;
}

std::u16string CRecordingUi::Text(int id) const {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = texts.rbegin(); it != texts.rend(); ++it)
    if (it->first == id) return it->second;
  return u"";
}

std::vector<std::u16string> CRecordingUi::Texts(int id) const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::u16string> out;
  for (const auto& [control, text] : texts)
    if (control == id) out.push_back(text);
  return out;
}

bool CRecordingUi::Enabled(int id) const {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = enabled.find(id);
  // Start and the version list are created disabled; Exit enabled.
  if (it == enabled.end()) return id == ID_EXIT_BUTTON;
  return it->second;
}

std::string Utf8(const std::u16string& text) {
  return Utf16ToUtf8(text);
}
