// A simulated device that answers request blocks from the device's side, with flash semantics and
// faults.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device/scsi_request.h"

// Faults to inject. Request numbers count every request the device receives, from 1.
struct SimFaults {
  uint64_t failRequest = 0;        // this request fails (0: none)
  int64_t failPage = -1;           // every request addressed to this page fails (-1: none)
  int64_t ignoreWritePage = -1;    // writes to this page succeed but change nothing
  int64_t partialWritePage = -1;   // writes to this page succeed but only their even bytes land
  int64_t ignoreEraseSector = -1;  // erasing this sector succeeds but changes nothing
  uint64_t dropFrom = 0;     // from this request on every request fails, like an unplug (0: never)
  uint32_t delayMicros = 0;  // time each request takes
};

// How the other side paces the device: the time from each answer to the next request. Kept only
// while requests take time (faults.delayMicros), so that runs without a delay pay nothing for it;
// covers the requests since the device was made or loaded.
struct SimPace {
  static constexpr uint64_t BUCKET_NANOS = 50;
  static constexpr uint64_t SLOW_NANOS = 100000;        // from here on a gap counts as slow
  static constexpr uint64_t SLOW_BUCKET_NANOS = 10000;  // and is placed this coarsely
  static constexpr uint64_t PLACED_NANOS = 10000000;    // longer gaps are counted, not placed

  void Add(uint64_t nanos);
  // The median gap in ns (the middle of its bucket), or PLACED_NANOS when it is longer; 0 when
  // none was timed.
  uint64_t MedianNanos() const;

  uint64_t gaps = 0;        // requests timed (each one after an earlier answer)
  uint64_t totalNanos = 0;  // their gaps added up
  uint64_t slowGaps = 0;    // gaps of SLOW_NANOS or more: downloads, boxes, time off the processor
  uint64_t longestNanos = 0;  // the longest gap (in a whole program run: waiting for the user)
  std::vector<uint32_t> histogram;      // gaps below SLOW_NANOS by BUCKET_NANOS
  std::vector<uint32_t> slowHistogram;  // slow gaps below PLACED_NANOS by SLOW_BUCKET_NANOS
};

enum SimRequestKind : uint8_t { SIM_READ, SIM_WRITE, SIM_ERASE, SIM_COMMAND, SIM_MALFORMED };

struct SimRecord {
  SimRequestKind kind;
  uint32_t address;  // page, sector's first page, or command code
  bool ok;
};

class CSimDevice {
 public:
  // Answers one request block as the device would: nonzero on success. Reads fill the data area.
  int HandleRequest(ScsiRequest* request);

  // Flash contents of one page (256 bytes into out); never-written flash reads as erased (0xFF).
  void ReadFlashPage(uint32_t page, uint8_t* out) const;
  // Puts bytes into flash as they are, bypassing flash rules (to prepare a device).
  void LoadFlashPage(uint32_t page, const uint8_t* data);
  // The information page is flash page 0x10000, read, erased and written like any other page;
  // this loads its 256 bytes there (LoadFlashPage).
  void SetInfoPage(const uint8_t* page);

  // The stored sectors the state file lists in `sector` lines: every one, except the information
  // page's sector while its other pages are erased (the file's `info` line holds that page).
  std::vector<uint32_t> ListedSectors() const;

  // Saves or loads the whole state (see the format at the top of sim_device.cpp). true on success.
  bool Save(const std::string& path) const;
  bool Load(const std::string& path);

  // Requests received, in order (kept in memory only; the state file keeps the commands).
  std::vector<SimRecord> log;
  // Finishing commands received, in order (kept in the state file too).
  std::vector<uint32_t> commands;
  SimFaults faults;
  SimPace pace;
  // The gaps before each sector's first request (its erase, or the read of its first page): where
  // the program shows its progress, once a sector.
  SimPace sectorPace;
  // Time spent answering the timed requests: their delays and the device's own work.
  uint64_t busyNanos = 0;
  uint64_t requestCount = 0;
  // Whether to keep `log`; long benchmarks switch it off.
  bool keepLog = true;
  // Sparse flash: only sectors that were erased, written or loaded are stored.
  std::map<uint32_t, std::vector<uint8_t>> sectors;
  // Per byte of each touched sector: 1 when a write or an erase changed it and no read has
  // returned it since. A run that reports success must leave none (UnverifiedBytes() == 0).
  std::map<uint32_t, std::vector<uint8_t>> unverified;
  uint64_t UnverifiedBytes() const;

 private:
  int Answer(ScsiRequest* request);
  std::vector<uint8_t>& Sector(uint32_t sector);
  uint8_t* Unverified(uint32_t sector);
  int64_t answeredNanos = -1;  // when the last timed request was answered (-1: none yet)
};
