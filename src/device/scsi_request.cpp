// Building the request block's header and Cdb.
#include "device/scsi_request.h"

namespace {

void FillHeader(ScsiRequest* request, uint8_t direction) {
  request->length = SCSI_HEADER_LENGTH;
  request->targetId = SCSI_TARGET_ID;
  request->cdbLength = SCSI_CDB_LENGTH;
  request->senseInfoLength = SCSI_SENSE_LENGTH;
  request->dataIn = direction;
  request->dataTransferLength = PAGE_SIZE;
  request->timeOutValue = SCSI_TIMEOUT_SECONDS;
  request->dataBufferOffset = offsetof(ScsiRequest, data);
  request->senseInfoOffset = offsetof(ScsiRequest, sense);
}

}  // namespace

void SetRequestAddress(ScsiRequest* request, uint32_t page) {
  request->cdb[2] = static_cast<uint8_t>(page >> 24);
  request->cdb[3] = static_cast<uint8_t>(page >> 16);
  request->cdb[4] = static_cast<uint8_t>(page >> 8);
  request->cdb[5] = static_cast<uint8_t>(page);
}

uint32_t RequestAddress(const ScsiRequest* request) {
  return static_cast<uint32_t>(request->cdb[2]) << 24 |
         static_cast<uint32_t>(request->cdb[3]) << 16 |
         static_cast<uint32_t>(request->cdb[4]) << 8 | request->cdb[5];
}

void FillWriteRequest(ScsiRequest* request, uint32_t page) {
  FillHeader(request, SCSI_DATA_OUT);
  request->cdb[0] = CDB_OP_WRITE;
  request->cdb[1] = 0x00;
  SetRequestAddress(request, page);
  request->cdb[7] = 0x00;
  request->cdb[8] = 0x01;
}

void FillReadRequest(ScsiRequest* request, uint32_t page) {
  FillHeader(request, SCSI_DATA_IN);
  request->cdb[0] = CDB_OP_READ;
  request->cdb[1] = 0xA0;
  SetRequestAddress(request, page);
  request->cdb[7] = 0x00;
  request->cdb[8] = 0x01;
}
