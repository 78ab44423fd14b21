// Fuzz target of the catalogue: index files, checked or made to pass the check, through
// ParseCatalogue against a model of the entry format and the comparison with the device.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "files/catalogue.h"
#include "files/update_file.h"
#include "fuzz_support.h"
#include "workflow/catalogue_compare.h"

namespace {

// Input: control byte, 15 identity bytes, then the index file.
//   bit 0     fillCombo 1; otherwise bit 5 picks 0 or 2 (neither may touch the window)
//   bit 1     the device reports the long version form
//   bit 2     publish the file (magic, tag = modelId, length, checksums, scrambling) so it passes
//   bit 3     start from a catalogue left full of other bytes, not a cleared one
//   bit 4     parse even when the check fails (the parser's own validation must hold)
//   identity  modelCode, mainVersion[4], stampV[3], stampI[3], modelId[4]

// A window port that records what the parse asks of the version list.
class CListPort : public CNullUiPort {
 public:
  void SetControlText(int, const WChar*) override { ++otherCalls; }
  void EnableControl(int id, bool enabled) override {
    FUZZ_CHECK(id == ID_VERSION_COMBO && enabled);
    ++enableCalls;
  }
  void ComboAddLine(const WChar* line) override { lines.emplace_back(line); }
  void ComboSelect(int line) override {
    FUZZ_CHECK(line == 0);
    ++selectCalls;
  }
  int ShowMessage(const WChar*, const WChar*, unsigned) override {
    ++otherCalls;
    return 1;
  }
  void EndProcess(int) override { ++otherCalls; }

  int Calls() const {
    return static_cast<int>(lines.size()) + enableCalls + selectCalls + otherCalls;
  }

  std::vector<std::u16string> lines;
  int enableCalls = 0;
  int selectCalls = 0;
  int otherCalls = 0;
};

// The parse worked out from the entry format alone, for a file that ValidateCatalogue accepted.
struct ModelResult {
  UpdateCatalogue catalogue;
  std::vector<std::u16string> lines;
};

char Hex(unsigned value) {
  value &= 15;
  return static_cast<char>(value < 10 ? '0' + value : 'A' + value - 10);
}

ModelResult ModelParse(const uint8_t* data, const UpdateCatalogue& start, bool longForm,
                       const DeviceIdentity& device) {
  ModelResult m{start, {}};
  UpdateCatalogue& c = m.catalogue;
  c.flags = 0;
  c.mainEntryCount = 0;
  int pos = 32, i = 0;
  while (data[pos] != 0) {
    CatalogueEntry& e = c.entries[i];
    std::string name(reinterpret_cast<const char*>(data + pos));
    std::memset(e.name, 0, sizeof e.name);
    std::memcpy(e.name, name.data(), name.size() + 1);
    pos += static_cast<int>(name.size());
    e.kind = HexDigitValue(name[name.size() - 2]);
    if (e.kind < 8) c.entryOfKind[e.kind] = i;
    e.fullSize = e.pendingSize = data[pos + 2] << 16 | data[pos + 3] << 8 | data[pos + 4];
    pos += 5;
    std::u16string description;
    for (;; pos += 2) {
      char16_t unit = static_cast<char16_t>(data[pos] | data[pos + 1] << 8);
      if (unit == 0) break;
      description += unit;
    }
    pos += 2;
    if (e.kind == KIND_T) c.stamps[0][0] = name[5];
    if (e.kind == KIND_V || e.kind == KIND_I) {
      char* stamp = c.stamps[e.kind == KIND_V ? 1 : 2];
      std::memcpy(stamp, name.data() + 3, 3);
      stamp[3] = 0;
    }
    if (e.kind == KIND_C) {
      ++c.mainEntryCount;
      std::memcpy(c.stamps[0] + 1, name.data() + 3, 3);
      c.stamps[0][4] = 0;
      std::string version;
      if (longForm) {
        for (int b = 15; b >= 12; --b) {
          version += Hex(data[b] >> 4);
          version += Hex(data[b]);
        }
        size_t dot = description.rfind(u'.');
        description.resize(dot == std::u16string::npos ? 0 : dot);
      } else {
        version.assign(c.stamps[0], strnlen(c.stamps[0], 15));
      }
      std::memset(c.mainVersionText, 0, sizeof c.mainVersionText);
      std::memcpy(c.mainVersionText, version.data(), version.size());
      std::u16string line = u" ";
      for (char ch : version) line += static_cast<char16_t>(static_cast<unsigned char>(ch));
      line += u"  [ " + description + u" ]";
      if (line.size() > TEXT_CAPACITY - 1) line.resize(TEXT_CAPACITY - 1);
      m.lines.push_back(line);
    }
    ++i;
  }
  c.entryCount = i;

  int64_t pendingTotal = 0;
  bool mainCurrent = false;
  for (int e = 0; e < c.entryCount; ++e) {
    CatalogueEntry& entry = c.entries[e];
    const char* name = entry.name;
    if (entry.kind == KIND_T) {
      if (HexDigitValue(name[4]) * 16 + HexDigitValue(name[5]) == device.modelCode)
        entry.pendingSize = 0;
      pendingTotal += entry.pendingSize;
    } else if (entry.kind == KIND_V || entry.kind == KIND_I) {
      const char* stamp = c.stamps[entry.kind == KIND_V ? 1 : 2];
      const char* own = entry.kind == KIND_V ? device.stampV : device.stampI;
      if (std::strcmp(stamp, own) == 0) entry.pendingSize = 0;
      pendingTotal += entry.pendingSize;
    } else if (entry.kind == KIND_C) {
      mainCurrent =
          c.mainEntryCount == 1 && std::memcmp(device.mainVersion + 1, c.stamps[0] + 1, 3) == 0;
      if (mainCurrent) entry.pendingSize = 0;
    }
  }
  if (pendingTotal == 0 && mainCurrent) c.flags |= CATALOGUE_UP_TO_DATE;
  return m;
}

bool SameEntry(const CatalogueEntry& a, const CatalogueEntry& b) {
  return std::strcmp(a.name, b.name) == 0 && a.kind == b.kind && a.fullSize == b.fullSize &&
         a.pendingSize == b.pendingSize;
}

bool Terminated(const char* text, size_t capacity) {
  return std::memchr(text, 0, capacity) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  uint8_t control = in.Byte();
  int fillCombo = (control & 1) ? 1 : (control & 0x20) ? 2 : 0;
  bool longForm = (control & 2) != 0;
  bool publish = (control & 4) != 0;
  bool leftOver = (control & 8) != 0;
  bool parseAnyway = (control & 0x10) != 0;

  DeviceIdentity device;
  std::memset(&device, 0, sizeof device);
  device.modelCode = in.Byte();
  for (int i = 0; i < 4; ++i) device.mainVersion[i] = static_cast<char>(in.Byte());
  for (int i = 0; i < 3; ++i) device.stampV[i] = static_cast<char>(in.Byte());
  for (int i = 0; i < 3; ++i) device.stampI[i] = static_cast<char>(in.Byte());
  for (int i = 0; i < 4; ++i) device.modelId[i] = static_cast<char>(in.Byte());

  // The index file, as the update check holds it: at most 2048 bytes in a buffer of at least 32.
  int length = static_cast<int>(std::min<size_t>(in.Remaining(), MAX_INDEX_FILE_SIZE));
  std::vector<uint8_t> buffer(std::max(length, UPDATE_HEADER_SIZE), 0);
  std::copy(in.Rest(), in.Rest() + length, buffer.begin());
  if (publish) {
    std::memcpy(buffer.data(), UPDATE_FILE_MAGIC, 4);
    std::memcpy(buffer.data() + 16, device.modelId, 4);
    SealUpdateFile(length, buffer.data());
    ScrambleUpdateFile(length, buffer.data(), device.modelId, MODE_INDEX_FILE);
  }
  int check = CheckUpdateFile(length, buffer.data(), device.modelId, MODE_INDEX_FILE);
  if (publish) FUZZ_CHECK(check == CHECK_OK);
  if (check != CHECK_OK && !parseAnyway) return 0;

  // The parser gets exactly `length` bytes, so ASan sees any read outside the file.
  std::unique_ptr<uint8_t[]> file(new uint8_t[length]);
  std::copy(buffer.begin(), buffer.begin() + length, file.get());

  CListPort port;
  g_app.ui = &port;
  g_app.identity = device;
  g_app.runFlags = longForm ? FLAG_LONG_VERSION : 0;

  UpdateCatalogue catalogue = EmptyCatalogue();
  if (leftOver) {
    // Another parse's leftovers: every byte set, every text still terminated.
    std::memset(&catalogue, 0x5A, sizeof catalogue);
    catalogue.mainVersionText[15] = 0;
    for (auto& stamp : catalogue.stamps) stamp[15] = 0;
    for (auto& entry : catalogue.entries) entry.name[31] = 0;
  }
  const UpdateCatalogue start = catalogue;

  int result = ParseCatalogue(file.get(), length, fillCombo, &catalogue);
  bool valid = ValidateCatalogue(file.get(), length) == CHECK_OK;
  g_app.ui = nullptr;

  FUZZ_CHECK(result == 1 || result == CHECK_CATALOGUE_MALFORMED);
  FUZZ_CHECK((result == 1) == valid);
  if (!valid) {
    FUZZ_CHECK(std::memcmp(&catalogue, &start, sizeof catalogue) == 0);
    FUZZ_CHECK(port.Calls() == 0);
    return 0;
  }

  FUZZ_CHECK(catalogue.entryCount >= 0 && catalogue.entryCount <= MAX_CATALOGUE_ENTRIES);
  FUZZ_CHECK(catalogue.mainEntryCount >= 0 && catalogue.mainEntryCount <= catalogue.entryCount);
  FUZZ_CHECK((catalogue.flags & ~CATALOGUE_UP_TO_DATE) == 0);
  FUZZ_CHECK(Terminated(catalogue.mainVersionText, 16));
  for (int e = 0; e < catalogue.entryCount; ++e) {
    const CatalogueEntry& entry = catalogue.entries[e];
    FUZZ_CHECK(Terminated(entry.name, 32));
    size_t n = std::strlen(entry.name);
    FUZZ_CHECK(n >= MIN_ENTRY_NAME && n <= MAX_ENTRY_NAME);
    FUZZ_CHECK(entry.kind >= 0 && entry.kind <= 15);
    FUZZ_CHECK(entry.fullSize >= 0 && entry.fullSize <= 0xFFFFFF);
    FUZZ_CHECK(entry.pendingSize == entry.fullSize || entry.pendingSize == 0);
  }

  ModelResult model = ModelParse(file.get(), start, longForm, device);
  const UpdateCatalogue& want = model.catalogue;
  FUZZ_CHECK(catalogue.entryCount == want.entryCount);
  FUZZ_CHECK(catalogue.mainEntryCount == want.mainEntryCount);
  FUZZ_CHECK(catalogue.flags == want.flags);
  for (int e = 0; e < want.entryCount; ++e)
    FUZZ_CHECK(SameEntry(catalogue.entries[e], want.entries[e]));
  FUZZ_CHECK(std::memcmp(catalogue.entryOfKind, want.entryOfKind, sizeof want.entryOfKind) == 0);
  FUZZ_CHECK(std::memcmp(catalogue.stamps, want.stamps, sizeof want.stamps) == 0);
  if (want.mainEntryCount > 0)
    FUZZ_CHECK(std::strcmp(catalogue.mainVersionText, want.mainVersionText) == 0);

  if (fillCombo == 1) {
    FUZZ_CHECK(port.lines == model.lines);
    FUZZ_CHECK(port.selectCalls == 1 && port.enableCalls == 1 && port.otherCalls == 0);
  } else {
    FUZZ_CHECK(port.Calls() == 0);
  }
  return 0;
}
