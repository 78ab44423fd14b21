// Fuzz target of device identification: any 256-byte information page through DeriveIdentity
// and, on request, through the identification phase against a simulated device.
#include <cstring>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/messages.h"
#include "device/sim_platform.h"
#include "files/catalogue.h"
#include "fuzz_support.h"
#include "workflow/identify.h"

namespace {

// Input: the page (padded with zeros or cut to 256 bytes); when there is a byte after it, its bit
// 0 also runs IdentifyConnectedDevice on a simulated device serving the page.

bool IsUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool Terminated(const char* text) {
  return std::memchr(text, 0, 16) != nullptr;
}

class CBoxPort : public CNullUiPort {
 public:
  void SetControlText(int id, const WChar* text) override {
    FUZZ_CHECK(id == ID_DEVICE_LABEL);
    label = text;
  }
  int ShowMessage(const WChar* text, const WChar* caption, unsigned) override {
    box = text;
    FUZZ_CHECK(TextEquals(caption, CAPTION_FATAL));
    return 1;
  }
  std::u16string label;
  std::u16string box;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The caller's page is exactly 256 bytes and only read.
  std::unique_ptr<uint8_t[]> page(new uint8_t[PAGE_SIZE]);
  std::memset(page.get(), 0, PAGE_SIZE);
  std::memcpy(page.get(), data, size < PAGE_SIZE ? size : PAGE_SIZE);
  uint8_t before[PAGE_SIZE];
  std::memcpy(before, page.get(), PAGE_SIZE);

  IdentityResult r = DeriveIdentity(page.get());
  const DeviceIdentity& id = r.identity;
  FUZZ_CHECK(std::memcmp(before, page.get(), PAGE_SIZE) == 0);

  for (const char* text :
       {id.modelId, id.shownVersion, id.mainVersion, id.longVersion, id.stampV, id.stampI})
    FUZZ_CHECK(Terminated(text));
  FUZZ_CHECK(std::strlen(id.modelId) == 4);
  bool anyQuestion = false;
  for (int i = 0; i < 4; ++i) {
    char c = id.modelId[i];
    FUZZ_CHECK(IsUpperHex(c) || c == '?');
    FUZZ_CHECK(c == (IsUpperHex(static_cast<char>(before[12 + i])) ? before[12 + i] : '?'));
    anyQuestion |= c == '?';
  }
  FUZZ_CHECK(r.malformed == anyQuestion);
  FUZZ_CHECK(r.poolChar == id.modelId[2]);

  FUZZ_CHECK(id.modelCode == before[0]);
  FUZZ_CHECK(std::strlen(id.mainVersion) == 4 && std::strlen(id.longVersion) == 8 &&
             std::strlen(id.stampI) == 3);
  for (int i = 0; i < 4; ++i) FUZZ_CHECK(id.mainVersion[i] == NibbleToHexDigit(before[i]));
  for (int i = 0; i < 4; ++i) {
    FUZZ_CHECK(id.longVersion[2 * i] ==
               NibbleToHexDigit(static_cast<uint8_t>(before[23 - i] >> 4)));
    FUZZ_CHECK(id.longVersion[2 * i + 1] == NibbleToHexDigit(before[23 - i]));
  }
  for (int i = 0; i < 3; ++i) FUZZ_CHECK(id.stampI[i] == NibbleToHexDigit(before[16 + i]));
  FUZZ_CHECK(std::memcmp(id.stampV, before + 4, 3) == 0 && id.stampV[3] == 0);
  bool longForm = (before[7] & 0x02) != 0 && before[20] != 0;
  FUZZ_CHECK(r.longForm == longForm);
  FUZZ_CHECK(std::strcmp(id.shownVersion, longForm ? id.longVersion : id.mainVersion) == 0);

  if (size > PAGE_SIZE && (data[PAGE_SIZE] & 1)) {
    CSimDevice device;
    device.keepLog = false;
    device.SetInfoPage(page.get());
    CSimPlatform platform(&device);
    CBoxPort port;
    ResetAppState(&port, &platform);
    FUZZ_CHECK(g_app.hidCmd.FindDevice() == 1);
    bool goOn = IdentifyConnectedDevice();
    FUZZ_CHECK(goOn == !r.malformed);
    FUZZ_CHECK(std::memcmp(&g_app.identity, &id, sizeof id) == 0);
    FUZZ_CHECK(((g_app.runFlags & FLAG_LONG_VERSION) != 0) == longForm);
    FUZZ_CHECK(g_app.poolDirectory[6] == r.poolChar && std::strlen(g_app.poolDirectory) == 8);
    std::u16string label = u"[ ";
    for (const char* p = id.shownVersion; *p; ++p) label += static_cast<char16_t>(*p);
    label += u" ]";
    FUZZ_CHECK(port.label == label);
    FUZZ_CHECK(r.malformed ? port.box == TEXT_ERROR_BAD_MODEL && port.endedWith == 0
                           : port.box.empty() && port.endedWith == -1);
    ResetAppState(nullptr, nullptr);
  }
  return 0;
}
