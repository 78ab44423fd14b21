// The 336-byte pass-through request block and the constants of the device's command set.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t PAGE_SIZE = 256;
constexpr uint32_t PAGES_PER_SECTOR = 16;
constexpr uint32_t SECTOR_SIZE = PAGE_SIZE * PAGES_PER_SECTOR;
constexpr uint32_t INFO_PAGE_ADDRESS = 0x10000;
constexpr uint32_t CMD_UPDATE_DONE = 0x80000;
constexpr uint32_t CMD_UPDATE_AGAIN = 0x80002;
constexpr uint8_t CDB_OP_WRITE = 0x72;
constexpr uint8_t CDB_OP_READ = 0x28;

constexpr uint16_t SCSI_HEADER_LENGTH = 44;
constexpr uint8_t SCSI_TARGET_ID = 1;
constexpr uint8_t SCSI_CDB_LENGTH = 12;
constexpr uint8_t SCSI_SENSE_LENGTH = 32;
constexpr uint32_t SCSI_TIMEOUT_SECONDS = 100;
constexpr uint8_t SCSI_DATA_OUT = 0;
constexpr uint8_t SCSI_DATA_IN = 1;

// The block handed to the platform: the 32-bit SCSI_PASS_THROUGH header (44 bytes, little-endian
// fields), a filler, the sense area and one page of data. Every field has a fixed width, so the
// block has the 32-bit layout on every build, 64-bit hosts included.
struct ScsiRequest {
  uint16_t length;  // header size, 44
  uint8_t scsiStatus;
  uint8_t pathId;
  uint8_t targetId;
  uint8_t lun;
  uint8_t cdbLength;
  uint8_t senseInfoLength;
  uint8_t dataIn;
  uint8_t padding[3];
  uint32_t dataTransferLength;
  uint32_t timeOutValue;
  uint32_t dataBufferOffset;  // 80: the data area
  uint32_t senseInfoOffset;   // 48: the sense area
  uint8_t cdb[16];
  uint8_t filler[4];
  uint8_t sense[32];
  uint8_t data[256];
};

static_assert(sizeof(ScsiRequest) == 336, "the request block is 336 bytes");
static_assert(offsetof(ScsiRequest, scsiStatus) == 2 && offsetof(ScsiRequest, targetId) == 4 &&
                  offsetof(ScsiRequest, cdbLength) == 6 && offsetof(ScsiRequest, dataIn) == 8,
              "byte fields of the header");
static_assert(offsetof(ScsiRequest, dataTransferLength) == 12 &&
                  offsetof(ScsiRequest, timeOutValue) == 16 &&
                  offsetof(ScsiRequest, dataBufferOffset) == 20 &&
                  offsetof(ScsiRequest, senseInfoOffset) == 24,
              "word fields of the 32-bit header");
static_assert(offsetof(ScsiRequest, cdb) == 28 && offsetof(ScsiRequest, sense) == 48 &&
                  offsetof(ScsiRequest, data) == 80,
              "cdb, sense and data areas");

// Fills the header and the Cdb of a write (data-out) or read (data-in) request for one page at
// `page`; the other bytes of the block are left as they are.
void FillWriteRequest(ScsiRequest* request, uint32_t page);
void FillReadRequest(ScsiRequest* request, uint32_t page);

// Writes `page` big-endian into Cdb bytes 2 to 5.
void SetRequestAddress(ScsiRequest* request, uint32_t page);

// Reads the big-endian address of Cdb bytes 2 to 5.
uint32_t RequestAddress(const ScsiRequest* request);
