// Writes the seed corpora of the fuzz targets, made with the publisher's own file builders.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "device/scsi_request.h"
#include "device/sim_device.h"
#include "update_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path g_root;
bool g_ok = true;

void Write(const char* target, const std::string& name, const Bytes& bytes) {
  fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", target, name.c_str());
    g_ok = false;
  }
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

const IndexEntrySpec T_ENTRY{"TT9C4D0x", 5000, u"model"};
const IndexEntrySpec V_ENTRY{"VV9V121x", 6000, u"voice"};
const IndexEntrySpec C_ENTRY{"CC91232x", 7000, u"main 1.2.3"};
const IndexEntrySpec C2_ENTRY{"CC94562x", 7100, u"main 4.5.6"};
const IndexEntrySpec I_ENTRY{"II9ABC3x", 8000, u"data.bin"};

void UpdateFileSeeds() {
  const char* t = "fuzz_update_file";
  Bytes payload(300);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13);
  Write(t, "index-ok", Cat({{0x00}, BuildIndexFile("4D9C", 0x01020304, {T_ENTRY, C_ENTRY})}));
  Write(t, "image-ok", Cat({{0x01}, BuildImageFile("4D9C", 2, 2, payload)}));
  Write(t, "index-tag-from-input",
        Cat({{0x04}, Text("A1B2"), BuildIndexFile("A1B2", 7, {V_ENTRY, I_ENTRY})}));
  Write(t, "image-negative-seed", Cat({{0x09}, BuildImageFile("\xC4\xB3\xE6\x9E", 0, 0, payload)}));
  Write(t, "index-unscrambled-other-mode",
        Cat({{0x02}, BuildIndexFile("4D9C", 1, {C_ENTRY}, false)}));
  Write(t, "publish-short", Cat({{0x10}, Bytes(20, 0x41)}));
  Write(t, "publish-index-2049", Cat({{0x10}, Bytes(2049, 0x00)}));
  Write(t, "index-2048", Cat({{0x10}, Bytes(2048, 0x5A)}));
  Bytes badMagic = BuildIndexFile("4D9C", 1, {C_ENTRY});
  badMagic[3] = 'O';
  Write(t, "bad-magic", Cat({{0x00}, badMagic}));
  Write(t, "empty", {0x00});
}

// Identity bytes of fuzz_catalogue: modelCode, mainVersion, stampV, stampI, modelId.
Bytes Identity(uint8_t modelCode, const char* mainVersion, const char* stampV, const char* stampI,
               const char* modelId) {
  Bytes out{modelCode};
  for (const char* text : {mainVersion, stampV, stampI, modelId})
    out.insert(out.end(), text, text + std::strlen(text));
  return out;
}

void CatalogueSeeds() {
  const char* t = "fuzz_catalogue";
  Bytes device = Identity(0x4D, "1123", "121", "ABC", "4D9C");
  Bytes other = Identity(0x00, "0000", "xyz", "000", "4D9C");
  Write(t, "all-kinds-combo",
        Cat({{0x01},
             other,
             BuildIndexFile("4D9C", 0x00010203, {T_ENTRY, V_ENTRY, C_ENTRY, I_ENTRY})}));
  Write(t, "up-to-date",
        Cat({{0x01}, device, BuildIndexFile("4D9C", 1, {T_ENTRY, V_ENTRY, C_ENTRY, I_ENTRY})}));
  Write(t, "long-form-two-mains",
        Cat({{0x03}, device, BuildIndexFile("4D9C", 0xA1B2C3D4, {T_ENTRY, C_ENTRY, C2_ENTRY})}));
  Write(t, "main-first", Cat({{0x01}, device, BuildIndexFile("4D9C", 1, {C_ENTRY, T_ENTRY})}));
  Write(t, "other-kinds",
        Cat({{0x21},
             device,
             BuildIndexFile("4D9C", 1,
                            {{"XX9ZZZ5x", 20, u"five"}, {"YY9ZZZfx", 30, u"f"}, C_ENTRY})}));
  Write(t, "eight-entries",
        Cat({{0x01}, device, BuildIndexFile("4D9C", 1, std::vector<IndexEntrySpec>(8, C_ENTRY))}));
  Write(t, "nine-entries-published",
        Cat({{0x05},
             device,
             BuildIndexFile("4D9C", 1, std::vector<IndexEntrySpec>(9, C_ENTRY), false)}));
  Write(t, "long-description",
        Cat({{0x03},
             device,
             BuildIndexFile("4D9C", 1, {{"CC91232x", 1, std::u16string(63, u'.')}})}));
  Write(t, "empty-list", Cat({{0x01}, device, BuildIndexFile("4D9C", 1, {})}));
  Bytes cut = BuildIndexFile("4D9C", 1, {C_ENTRY, I_ENTRY}, false);
  cut.resize(cut.size() - 3);
  Write(t, "no-terminator-published", Cat({{0x05}, device, cut}));
  Write(t, "raw-parse-anyway", Cat({{0x19}, device, BuildIndexFile("4D9C", 1, {T_ENTRY}, false)}));
}

void IdentitySeeds() {
  const char* t = "fuzz_identity";
  Write(t, "short-form", Cat({BuildInfoPage(0x40, "4D9C", "1123", "v1\xFF", "ABC"), {0x01}}));
  Write(t, "long-form",
        Cat({BuildInfoPage(0xA0, "0A1F", "7000", "000", "123", 0x04030201), {0x01}}));
  Write(t, "lower-case-id", Cat({BuildInfoPage(0x40, "4d9C", "1123", "121", "ABC"), {0x01}}));
  Write(t, "page-only", BuildInfoPage(0x12, "FFFF", "24AF", "abc", "1C7"));
  Write(t, "short-input", Text("\x12\x34\x5A\x0F"));
}

Bytes U16(const std::u16string& text) {
  Bytes out;
  for (char16_t unit : text) {
    out.push_back(static_cast<uint8_t>(unit));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return out;
}

void FormatSeeds() {
  const char* t = "fuzz_format";
  // Arguments read differently by each format: numbers as 4 or 8 bytes, texts as a length byte
  // and units.
  Bytes args = {0x06, '4',  0,    'D',  0,    '9',  0,    'C',  0,    0xE9,
                0x8C, 0xAF, 0x00, 0x2A, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                0xFF, 0x03, 0xC4, 0xB3, 0xE6, 0x80, 0x00, 0x00, 0x00};
  for (int format = 0; format < 26; ++format) {
    std::string n = std::to_string(format);
    Write(t, "wide-" + n, Cat({{0x00, 128, static_cast<uint8_t>(format)}, args}));
    Write(t, "narrow-" + n, Cat({{0x01, 100, static_cast<uint8_t>(format)}, args}));
  }
  Write(t, "wide-tiny", Cat({{0x00, 162, 3}, args}));
  Write(t, "narrow-zero", Cat({{0x01, 161, 23}, args}));
  std::u16string made = u"%-08d|%5S|%c%%|%lld|%99d";
  Write(t, "made-up-wide", Cat({{0x02, 127, static_cast<uint8_t>(made.size())}, U16(made), args}));
  std::string narrow = "%s/%S %ld %q %";
  Write(t, "made-up-narrow",
        Cat({{0x03, 40, static_cast<uint8_t>(narrow.size())}, Text(narrow), args}));
  Write(t, "copy-wide",
        Cat({{0x04, 10}, {0x05}, U16(u"abcde"), {0x03}, U16(u"xyz"), {0x02}, U16(u"ab"), {0x01}}));
  Write(t, "copy-narrow", Cat({{0x05, 4}, {0x06}, Text("\xE9\x8C\xAF\x80zz")}));
}

Bytes Block(const ScsiRequest& request) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&request);
  return Bytes(p, p + sizeof request);
}

void SimRequestSeeds() {
  const char* t = "fuzz_sim_request";
  ScsiRequest write;
  std::memset(&write, 0, sizeof write);
  FillWriteRequest(&write, 0x21);
  for (uint32_t i = 0; i < PAGE_SIZE; ++i) write.data[i] = static_cast<uint8_t>(0xF0 ^ i);
  ScsiRequest read;
  std::memset(&read, 0, sizeof read);
  FillReadRequest(&read, 0x21);
  ScsiRequest info = read;
  SetRequestAddress(&info, INFO_PAGE_ADDRESS);
  ScsiRequest erase = write;
  SetRequestAddress(&erase, 0x20);
  erase.dataTransferLength = 0;
  erase.cdb[7] = erase.cdb[8] = 0;
  ScsiRequest done = erase;
  SetRequestAddress(&done, CMD_UPDATE_DONE);

  Write(t, "erase-write-read", Cat({{0x10}, Block(erase), Block(write), Block(read), Block(done)}));
  Write(t, "info-page", Cat({{0x00}, Block(info)}));
  Write(t, "faults",
        Cat({{0x12, 3, 0x22, 0, 0x22, 0, 9},
             Block(write),
             Block(read),
             Block(write),
             Block(read),
             Block(erase),
             Block(read)}));
  Bytes made = {0x18, 0, 0, 0, 0, 0x20};
  made.resize(1 + sizeof(ScsiRequest));
  Bytes second = {1, 0, 0, 0, 0x21};
  second.resize(sizeof(ScsiRequest), 0x0F);
  Write(t, "made-requests", Cat({made, second}));

  // State files as the device saves them.
  std::string path = (g_root / "state.tmp").string();
  CSimDevice device;
  uint8_t page[PAGE_SIZE];
  for (uint32_t i = 0; i < PAGE_SIZE; ++i) page[i] = static_cast<uint8_t>(i);
  device.SetInfoPage(page);
  device.requestCount = 12;
  device.commands = {CMD_UPDATE_AGAIN, CMD_UPDATE_DONE};
  device.faults.failPage = 5;
  device.faults.dropFrom = 40;
  if (!device.Save(path)) g_ok = false;
  std::ifstream small(path, std::ios::binary);
  Write(t, "state-no-sectors", Cat({{0x01}, Bytes(std::istreambuf_iterator<char>(small), {})}));
  device.LoadFlashPage(0x31, page);
  if (!device.Save(path)) g_ok = false;
  std::ifstream big(path, std::ios::binary);
  Write(t, "state-one-sector", Cat({{0x01}, Bytes(std::istreambuf_iterator<char>(big), {})}));
  fs::remove(path);
  Write(t, "state-bad-magic", Cat({{0x01}, Text("tolvarin-sim-devic 1\nrequests 3\n")}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  UpdateFileSeeds();
  CatalogueSeeds();
  IdentitySeeds();
  FormatSeeds();
  SimRequestSeeds();
  return g_ok ? 0 : 1;
}
