// Fuzz target of the simulated device: arbitrary request blocks and sequences of them against a
// model of the device's flash, and arbitrary state-file text through Load.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "device/scsi_request.h"
#include "device/sim_device.h"
#include "fuzz_support.h"

namespace {

// Input: control byte, then by mode.
//   bit 0  the rest is state-file text for Load (saved and loaded again when it loads)
//   bit 1  five fault bytes follow: fail-request, fail-page, ignore-write, partial-write and
//          ignore-erase (0: none, else the value - 1), then drop-from
//   bit 2  every block gets a well-formed header (only its Cdb and data stay arbitrary)
//   bit 3  every block is made by the transport's own fill functions: its byte 0 picks read,
//          write, erase or command and bytes 1..4 the page
//   bit 4  keep the device's request log
//   then   request blocks of 336 bytes (the last one padded with zeros)

int64_t FaultPage(uint8_t byte) {
  return byte == 0 ? -1 : byte - 1;
}

// The flash as the model sees it: sectors never touched read erased.
using Flash = std::map<uint32_t, std::vector<uint8_t>>;

uint8_t* ModelPage(Flash& flash, uint32_t page) {
  auto it = flash.find(page / PAGES_PER_SECTOR);
  if (it == flash.end())
    it = flash.emplace(page / PAGES_PER_SECTOR, std::vector<uint8_t>(SECTOR_SIZE, 0xFF)).first;
  return it->second.data() + (page % PAGES_PER_SECTOR) * PAGE_SIZE;
}

// The one sector a request may touch, compared after each request; the whole flash at the end.
bool SameSector(const Flash& model, const CSimDevice& device, uint32_t sector) {
  static const std::vector<uint8_t> erased(SECTOR_SIZE, 0xFF);
  auto m = model.find(sector);
  auto d = device.sectors.find(sector);
  return (m == model.end() ? erased : m->second) ==
         (d == device.sectors.end() ? erased : d->second);
}

bool SameFlash(const Flash& model, const CSimDevice& device) {
  static const std::vector<uint8_t> erased(SECTOR_SIZE, 0xFF);
  for (const auto& [sector, bytes] : model) {
    auto it = device.sectors.find(sector);
    if ((it == device.sectors.end() ? erased : it->second) != bytes) return false;
  }
  for (const auto& [sector, bytes] : device.sectors)
    if (model.count(sector) == 0 && bytes != erased) return false;
  return true;
}

void MakeRequest(ScsiRequest* r, const uint8_t* block) {
  uint32_t page = static_cast<uint32_t>(block[1]) << 24 | static_cast<uint32_t>(block[2]) << 16 |
                  static_cast<uint32_t>(block[3]) << 8 | block[4];
  switch (block[0] % 4) {
    case 0:
      FillReadRequest(r, page);
      break;
    case 1:
      FillWriteRequest(r, page);
      break;
    case 2:
      FillWriteRequest(r, page);
      r->dataTransferLength = 0;
      r->cdb[7] = r->cdb[8] = 0;
      break;
    default:
      FillWriteRequest(r, block[1] & 1 ? CMD_UPDATE_AGAIN : CMD_UPDATE_DONE);
      r->dataTransferLength = 0;
      r->cdb[7] = r->cdb[8] = 0;
      break;
  }
}

void FuzzRequests(FuzzReader& in, uint8_t control) {
  CSimDevice device;
  device.keepLog = (control & 0x10) != 0;
  uint8_t info[PAGE_SIZE];
  for (uint32_t i = 0; i < PAGE_SIZE; ++i) info[i] = static_cast<uint8_t>(i * 7 + 3);
  device.SetInfoPage(info);
  if (control & 2) {
    device.faults.failRequest = in.Byte();
    device.faults.failPage = FaultPage(in.Byte());
    device.faults.ignoreWritePage = FaultPage(in.Byte());
    device.faults.partialWritePage = FaultPage(in.Byte());
    device.faults.ignoreEraseSector = FaultPage(in.Byte());
    device.faults.dropFrom = in.Byte();
  }
  const SimFaults& f = device.faults;

  Flash model;
  std::memcpy(ModelPage(model, INFO_PAGE_ADDRESS), info, PAGE_SIZE);
  std::vector<uint32_t> commands;
  uint64_t number = 0;
  while (in.Remaining() > 0) {
    uint8_t block[sizeof(ScsiRequest)] = {};
    size_t n = in.Remaining() < sizeof block ? in.Remaining() : sizeof block;
    std::memcpy(block, in.Rest(), n);
    in.Skip(n);
    ScsiRequest request;
    std::memcpy(&request, block, sizeof request);
    if (control & 8) MakeRequest(&request, block);
    if (control & 4) {
      request.length = SCSI_HEADER_LENGTH;
      request.cdbLength = SCSI_CDB_LENGTH;
      request.dataBufferOffset = offsetof(ScsiRequest, data);
      request.senseInfoOffset = offsetof(ScsiRequest, sense);
    }
    const ScsiRequest sent = request;

    // What the device must make of the block.
    ++number;
    const uint8_t* cdb = sent.cdb;
    uint32_t address = static_cast<uint32_t>(cdb[2]) << 24 | static_cast<uint32_t>(cdb[3]) << 16 |
                       static_cast<uint32_t>(cdb[4]) << 8 | cdb[5];
    bool header = sent.length == 44 && sent.cdbLength == 12 && sent.dataBufferOffset == 80 &&
                  sent.senseInfoOffset == 48;
    SimRequestKind kind = SIM_MALFORMED;
    if (header && cdb[0] == 0x28 && cdb[1] == 0xA0 && sent.dataIn == 1 &&
        sent.dataTransferLength == 256 && cdb[8] == 1) {
      kind = SIM_READ;
    } else if (header && cdb[0] == 0x72 && sent.dataIn == 0 && sent.dataTransferLength == 256 &&
               cdb[8] == 1) {
      kind = SIM_WRITE;
    } else if (header && cdb[0] == 0x72 && sent.dataIn == 0 && sent.dataTransferLength == 0 &&
               cdb[8] == 0) {
      if (address == 0x80000 || address == 0x80002)
        kind = SIM_COMMAND;
      else if (address % 16 == 0)
        kind = SIM_ERASE;
    }
    bool ok = kind != SIM_MALFORMED && number != f.failRequest &&
              !(f.dropFrom != 0 && number >= f.dropFrom) &&
              !(f.failPage >= 0 && static_cast<int64_t>(address) == f.failPage);
    uint8_t expectedData[PAGE_SIZE];
    std::memcpy(expectedData, sent.data, PAGE_SIZE);
    if (ok && kind == SIM_READ) {
      if (model.count(address / PAGES_PER_SECTOR) != 0)
        std::memcpy(expectedData, ModelPage(model, address), PAGE_SIZE);
      else
        std::memset(expectedData, 0xFF, PAGE_SIZE);
    } else if (ok && kind == SIM_WRITE && static_cast<int64_t>(address) != f.ignoreWritePage) {
      uint8_t* page = ModelPage(model, address);
      bool partial = static_cast<int64_t>(address) == f.partialWritePage;
      for (uint32_t i = 0; i < PAGE_SIZE; ++i)
        if (!partial || i % 2 == 0) page[i] &= sent.data[i];
    } else if (ok && kind == SIM_ERASE &&
               static_cast<int64_t>(address / PAGES_PER_SECTOR) != f.ignoreEraseSector) {
      std::memset(ModelPage(model, address), 0xFF, SECTOR_SIZE);
    } else if (ok && kind == SIM_COMMAND) {
      commands.push_back(address);
    }

    int result = device.HandleRequest(&request);
    FUZZ_CHECK((result != 0) == ok);
    FUZZ_CHECK(device.requestCount == number);
    // Only a read's data area may change; the rest of the block is the caller's.
    FUZZ_CHECK(std::memcmp(&request, &sent, offsetof(ScsiRequest, data)) == 0);
    FUZZ_CHECK(std::memcmp(request.data, expectedData, PAGE_SIZE) == 0);
    FUZZ_CHECK(device.commands == commands);
    FUZZ_CHECK(SameSector(model, device, address / PAGES_PER_SECTOR));
    FUZZ_CHECK(device.sectors.size() <= model.size());
    if (device.keepLog) {
      FUZZ_CHECK(device.log.size() == number);
      const SimRecord& record = device.log.back();
      FUZZ_CHECK(record.kind == kind && record.address == address && record.ok == ok);
    } else {
      FUZZ_CHECK(device.log.empty());
    }
  }
  FUZZ_CHECK(SameFlash(model, device));
  for (const auto& [sector, bytes] : device.sectors) FUZZ_CHECK(bytes.size() == SECTOR_SIZE);
}

// Faults as they behave: a negative page is no fault, whatever its value.
SimFaults Normal(SimFaults f) {
  if (f.failPage < 0) f.failPage = -1;
  if (f.ignoreWritePage < 0) f.ignoreWritePage = -1;
  if (f.partialWritePage < 0) f.partialWritePage = -1;
  if (f.ignoreEraseSector < 0) f.ignoreEraseSector = -1;
  return f;
}

bool SameState(const CSimDevice& a, const CSimDevice& b) {
  SimFaults fa = Normal(a.faults), fb = Normal(b.faults);
  return a.requestCount == b.requestCount && a.commands == b.commands && a.sectors == b.sectors &&
         fa.failRequest == fb.failRequest && fa.failPage == fb.failPage &&
         fa.ignoreWritePage == fb.ignoreWritePage && fa.partialWritePage == fb.partialWritePage &&
         fa.ignoreEraseSector == fb.ignoreEraseSector && fa.dropFrom == fb.dropFrom &&
         fa.delayMicros == fb.delayMicros;
}

std::string TempPath(const char* what) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir ? dir : "/tmp") + "/tolvarin-fuzz-" + what + "-" +
         std::to_string(getpid());
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

void FuzzLoad(FuzzReader& in) {
  static const std::string path = TempPath("state"), again = TempPath("saved");
  FUZZ_CHECK(WriteFile(path, in.Rest(), in.Remaining()));

  // A device with state of its own, so that a refused file visibly leaves it alone.
  CSimDevice device;
  uint8_t page[PAGE_SIZE];
  std::memset(page, 0xA5, sizeof page);
  device.SetInfoPage(page);
  device.LoadFlashPage(0x31, page);
  device.commands.push_back(CMD_UPDATE_DONE);
  device.requestCount = 7;
  device.faults.failPage = 3;
  device.keepLog = false;
  CSimDevice before = device;

  if (!device.Load(path)) {
    FUZZ_CHECK(SameState(device, before));
  } else {
    FUZZ_CHECK(device.keepLog == before.keepLog && device.log.empty());
    for (const auto& [sector, bytes] : device.sectors) FUZZ_CHECK(bytes.size() == SECTOR_SIZE);
    FUZZ_CHECK(device.Save(again));
    CSimDevice reloaded;
    FUZZ_CHECK(reloaded.Load(again));
    FUZZ_CHECK(SameState(reloaded, device));
    std::remove(again.c_str());
  }
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  uint8_t control = in.Byte();
  if (control & 1)
    FuzzLoad(in);
  else
    FuzzRequests(in, control);
  return 0;
}
