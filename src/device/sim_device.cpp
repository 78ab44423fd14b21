// The simulated device: request decoding, flash that erases to 0xFF and writes by clearing bits,
// faults, state file.
//
// State file format (text, one record per line, hexadecimal bytes in lower case):
//   tolvarin-sim-device 1
//   info <512 hex digits>                 flash page 0x10000, the information page (when its
//                                         sector is stored)
//   requests <n>                          requests received so far (fault numbers count on)
//   fault fail-request|fail-page|ignore-write|partial-write|ignore-erase|drop-from|delay-us <n>
//   command <hex code>                    a finishing command received, in order
//   sector <n> <8192 hex digits>          one stored sector; sectors not listed read as erased.
//                                         The information page's sector is listed only when it
//                                         holds more than that page. `info` is loaded last and
//                                         wins: files of older versions kept the page apart from
//                                         the flash.
//   pace <gaps> <total ns> <slow> <median ns> <longest ns>
//                                         how the requests since opening were paced (written for
//                                         whoever reads the file; not loaded back)
//   sector-pace <same fields>             the same of the gaps before each sector's first request
//   busy <ns>                             time spent answering those requests (delay included)
#include "device/sim_device.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr char STATE_MAGIC[] = "tolvarin-sim-device";
constexpr uint32_t INFO_SECTOR = INFO_PAGE_ADDRESS / PAGES_PER_SECTOR;
constexpr uint32_t INFO_OFFSET = INFO_PAGE_ADDRESS % PAGES_PER_SECTOR * PAGE_SIZE;

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WaitUntilNanos(int64_t until) {
#ifndef _WIN32
  // A long wait sleeps through most of its time: a device that spins is preempted on a busy
  // machine, and its requests then take longer than their delay.
  constexpr int64_t SPIN_NANOS = 150000;
  int64_t left = until - NowNanos();
  if (left > 2 * SPIN_NANOS)
    std::this_thread::sleep_for(std::chrono::nanoseconds(left - SPIN_NANOS));
#endif
  // The end of the wait spins: a sleep overshoots by tens of microseconds (and on Windows sleeps
  // whole milliseconds), more than a short delay itself.
  while (NowNanos() < until) {
  }
}

bool HeaderIsValid(const ScsiRequest* r) {
  return r->length == SCSI_HEADER_LENGTH && r->cdbLength == SCSI_CDB_LENGTH &&
         r->dataBufferOffset == offsetof(ScsiRequest, data) &&
         r->senseInfoOffset == offsetof(ScsiRequest, sense);
}

std::string Hex(const uint8_t* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out(n * 2, '0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 15];
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unhex(const std::string& text, uint8_t* out, size_t n) {
  if (text.size() != n * 2) return false;
  for (size_t i = 0; i < n; ++i) {
    int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

// An erase, or the read of a sector's first page (the information page aside: the identification
// reads it, though a verify of its sector does too).
bool StartsSector(const ScsiRequest* r) {
  uint32_t address = RequestAddress(r);
  if (address % PAGES_PER_SECTOR != 0) return false;
  if (r->cdb[0] == CDB_OP_READ) return address != INFO_PAGE_ADDRESS;
  return r->cdb[0] == CDB_OP_WRITE && r->dataTransferLength == 0 && address != CMD_UPDATE_DONE &&
         address != CMD_UPDATE_AGAIN;
}

void SavePace(std::ofstream& out, const char* key, const SimPace& pace) {
  if (pace.gaps == 0) return;
  out << key << " " << pace.gaps << " " << pace.totalNanos << " " << pace.slowGaps << " "
      << pace.MedianNanos() << " " << pace.longestNanos << "\n";
}

}  // namespace

void CSimDevice::SetInfoPage(const uint8_t* page) {
  LoadFlashPage(INFO_PAGE_ADDRESS, page);
}

std::vector<uint32_t> CSimDevice::ListedSectors() const {
  std::vector<uint32_t> out;
  for (const auto& [sector, bytes] : sectors) {
    bool infoAlone = sector == INFO_SECTOR;
    for (uint32_t i = 0; infoAlone && i < SECTOR_SIZE; ++i)
      infoAlone = (i >= INFO_OFFSET && i < INFO_OFFSET + PAGE_SIZE) || bytes[i] == 0xFF;
    if (!infoAlone) out.push_back(sector);
  }
  return out;
}

std::vector<uint8_t>& CSimDevice::Sector(uint32_t sector) {
  auto it = sectors.find(sector);
  if (it == sectors.end())
    it = sectors.emplace(sector, std::vector<uint8_t>(SECTOR_SIZE, 0xFF)).first;
  return it->second;
}

uint8_t* CSimDevice::Unverified(uint32_t sector) {
  auto it = unverified.find(sector);
  if (it == unverified.end())
    it = unverified.emplace(sector, std::vector<uint8_t>(SECTOR_SIZE, 0)).first;
  return it->second.data();
}

uint64_t CSimDevice::UnverifiedBytes() const {
  uint64_t n = 0;
  for (const auto& [sector, flags] : unverified)
    for (uint8_t f : flags) n += f;
  return n;
}

void CSimDevice::ReadFlashPage(uint32_t page, uint8_t* out) const {
  auto it = sectors.find(page / PAGES_PER_SECTOR);
  if (it == sectors.end()) {
    std::memset(out, 0xFF, PAGE_SIZE);
    return;
  }
  std::memcpy(out, it->second.data() + (page % PAGES_PER_SECTOR) * PAGE_SIZE, PAGE_SIZE);
}

void CSimDevice::LoadFlashPage(uint32_t page, const uint8_t* data) {
  std::memcpy(Sector(page / PAGES_PER_SECTOR).data() + (page % PAGES_PER_SECTOR) * PAGE_SIZE, data,
              PAGE_SIZE);
}

void SimPace::Add(uint64_t nanos) {
  ++gaps;
  totalNanos += nanos;
  if (nanos > longestNanos) longestNanos = nanos;
  if (nanos < SLOW_NANOS) {
    if (histogram.empty()) histogram.assign(SLOW_NANOS / BUCKET_NANOS, 0);
    ++histogram[nanos / BUCKET_NANOS];
    return;
  }
  ++slowGaps;
  if (nanos >= PLACED_NANOS) return;
  if (slowHistogram.empty()) slowHistogram.assign(PLACED_NANOS / SLOW_BUCKET_NANOS, 0);
  ++slowHistogram[nanos / SLOW_BUCKET_NANOS];
}

uint64_t SimPace::MedianNanos() const {
  if (gaps == 0) return 0;
  uint64_t seen = 0;
  for (size_t i = 0; i < histogram.size(); ++i) {
    seen += histogram[i];
    if (2 * seen >= gaps) return i * BUCKET_NANOS + BUCKET_NANOS / 2;
  }
  for (size_t i = 0; i < slowHistogram.size(); ++i) {
    seen += slowHistogram[i];
    if (2 * seen >= gaps) return i * SLOW_BUCKET_NANOS + SLOW_BUCKET_NANOS / 2;
  }
  return PLACED_NANOS;
}

int CSimDevice::HandleRequest(ScsiRequest* request) {
  if (faults.delayMicros == 0) return Answer(request);
  int64_t arrived = NowNanos();
  if (answeredNanos >= 0) {
    uint64_t gap = static_cast<uint64_t>(arrived - answeredNanos);
    pace.Add(gap);
    if (StartsSector(request)) sectorPace.Add(gap);
  }
  WaitUntilNanos(arrived + int64_t{faults.delayMicros} * 1000);
  int result = Answer(request);
  answeredNanos = NowNanos();
  busyNanos += static_cast<uint64_t>(answeredNanos - arrived);
  return result;
}

int CSimDevice::Answer(ScsiRequest* request) {
  uint64_t number = ++requestCount;
  uint32_t address = RequestAddress(request);

  SimRecord record{SIM_MALFORMED, address, false};
  bool noData = request->dataTransferLength == 0;
  if (!HeaderIsValid(request)) {
    record.kind = SIM_MALFORMED;
  } else if (request->cdb[0] == CDB_OP_READ && request->cdb[1] == 0xA0 &&
             request->dataIn == SCSI_DATA_IN && request->dataTransferLength == PAGE_SIZE &&
             request->cdb[8] == 1) {
    record.kind = SIM_READ;
  } else if (request->cdb[0] == CDB_OP_WRITE && request->dataIn == SCSI_DATA_OUT && !noData &&
             request->dataTransferLength == PAGE_SIZE && request->cdb[8] == 1) {
    record.kind = SIM_WRITE;
  } else if (request->cdb[0] == CDB_OP_WRITE && request->dataIn == SCSI_DATA_OUT && noData &&
             request->cdb[8] == 0) {
    record.kind =
        (address == CMD_UPDATE_DONE || address == CMD_UPDATE_AGAIN) ? SIM_COMMAND : SIM_ERASE;
    // An erase names the first page of its sector; anything else is not a command we know.
    if (record.kind == SIM_ERASE && address % PAGES_PER_SECTOR != 0) record.kind = SIM_MALFORMED;
  }

  bool failed = record.kind == SIM_MALFORMED || number == faults.failRequest ||
                (faults.dropFrom != 0 && number >= faults.dropFrom) ||
                (faults.failPage >= 0 && static_cast<int64_t>(address) == faults.failPage);
  record.ok = !failed;
  if (keepLog) log.push_back(record);
  if (failed) return 0;

  switch (record.kind) {
    case SIM_READ: {
      ReadFlashPage(address, request->data);
      auto it = unverified.find(address / PAGES_PER_SECTOR);
      if (it != unverified.end())
        std::memset(it->second.data() + (address % PAGES_PER_SECTOR) * PAGE_SIZE, 0, PAGE_SIZE);
      break;
    }
    case SIM_WRITE: {
      if (static_cast<int64_t>(address) == faults.ignoreWritePage) break;
      uint8_t* flash =
          Sector(address / PAGES_PER_SECTOR).data() + (address % PAGES_PER_SECTOR) * PAGE_SIZE;
      bool partial = static_cast<int64_t>(address) == faults.partialWritePage;
      uint8_t* changed =
          Unverified(address / PAGES_PER_SECTOR) + (address % PAGES_PER_SECTOR) * PAGE_SIZE;
      // Flash can only clear bits: a write ANDs into the page.
      for (uint32_t i = 0; i < PAGE_SIZE; ++i) {
        if (partial && i % 2 != 0) continue;
        uint8_t value = flash[i] & request->data[i];
        changed[i] |= value != flash[i];
        flash[i] = value;
      }
      break;
    }
    case SIM_ERASE:
      if (static_cast<int64_t>(address / PAGES_PER_SECTOR) == faults.ignoreEraseSector) break;
      {
        uint8_t* flash = Sector(address / PAGES_PER_SECTOR).data();
        uint8_t* changed = Unverified(address / PAGES_PER_SECTOR);
        for (uint32_t i = 0; i < SECTOR_SIZE; ++i) changed[i] |= flash[i] != 0xFF;
        std::memset(flash, 0xFF, SECTOR_SIZE);
      }
      break;
    case SIM_COMMAND:
      commands.push_back(address);
      break;
    case SIM_MALFORMED:
      break;
  }
  return 1;
}

bool CSimDevice::Save(const std::string& path) const {
  std::ofstream out(path, std::ios::trunc);
  if (!out) return false;
  out << STATE_MAGIC << " 1\n";
  if (sectors.count(INFO_SECTOR) != 0) {
    uint8_t info[PAGE_SIZE];
    ReadFlashPage(INFO_PAGE_ADDRESS, info);
    out << "info " << Hex(info, PAGE_SIZE) << "\n";
  }
  out << "requests " << requestCount << "\n";
  if (faults.failRequest) out << "fault fail-request " << faults.failRequest << "\n";
  if (faults.failPage >= 0) out << "fault fail-page " << faults.failPage << "\n";
  if (faults.ignoreWritePage >= 0) out << "fault ignore-write " << faults.ignoreWritePage << "\n";
  if (faults.partialWritePage >= 0)
    out << "fault partial-write " << faults.partialWritePage << "\n";
  if (faults.ignoreEraseSector >= 0)
    out << "fault ignore-erase " << faults.ignoreEraseSector << "\n";
  if (faults.dropFrom) out << "fault drop-from " << faults.dropFrom << "\n";
  if (faults.delayMicros) out << "fault delay-us " << faults.delayMicros << "\n";
  for (uint32_t code : commands) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(code));
    out << "command " << text << "\n";
  }
  for (uint32_t sector : ListedSectors()) {
    const std::vector<uint8_t>& bytes = sectors.at(sector);
    out << "sector " << sector << " " << Hex(bytes.data(), bytes.size()) << "\n";
  }
  SavePace(out, "pace", pace);
  SavePace(out, "sector-pace", sectorPace);
  if (busyNanos) out << "busy " << busyNanos << "\n";
  out.flush();
  return static_cast<bool>(out);
}

bool CSimDevice::Load(const std::string& path) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  if (!std::getline(in, line) || line.rfind(STATE_MAGIC, 0) != 0) return false;
  CSimDevice loaded;
  uint8_t info[PAGE_SIZE];
  bool hasInfo = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key.empty()) continue;
    if (key == "info") {
      std::string hex;
      fields >> hex;
      if (!Unhex(hex, info, PAGE_SIZE)) return false;
      hasInfo = true;
    } else if (key == "requests") {
      fields >> loaded.requestCount;
    } else if (key == "fault") {
      std::string name;
      long long value = 0;
      fields >> name >> value;
      // A request number or a delay is never negative, and Save could not write back what it
      // would wrap to: refuse it.
      bool count = name == "fail-request" || name == "drop-from" || name == "delay-us";
      if (count && value < 0) return false;
      SimFaults& f = loaded.faults;
      if (name == "fail-request")
        f.failRequest = static_cast<uint64_t>(value);
      else if (name == "fail-page")
        f.failPage = value;
      else if (name == "ignore-write")
        f.ignoreWritePage = value;
      else if (name == "partial-write")
        f.partialWritePage = value;
      else if (name == "ignore-erase")
        f.ignoreEraseSector = value;
      else if (name == "drop-from")
        f.dropFrom = static_cast<uint64_t>(value);
      else if (name == "delay-us")
        f.delayMicros = static_cast<uint32_t>(value);
      else
        return false;
    } else if (key == "command") {
      std::string hex;
      fields >> hex;
      loaded.commands.push_back(static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16)));
    } else if (key == "pace" || key == "sector-pace" || key == "busy") {
      // A report of the session that wrote the file; a loaded device times its own requests.
    } else if (key == "sector") {
      uint32_t sector = 0;
      std::string hex;
      fields >> sector >> hex;
      std::vector<uint8_t> bytes(SECTOR_SIZE);
      if (!fields || !Unhex(hex, bytes.data(), SECTOR_SIZE)) return false;
      loaded.sectors[sector] = std::move(bytes);
    } else {
      return false;
    }
    if (fields.fail()) return false;
  }
  if (hasInfo) loaded.SetInfoPage(info);
  loaded.keepLog = keepLog;
  *this = std::move(loaded);
  return true;
}
