// The device operations the workflow calls, on the one global device command object.
#pragma once

#include <cstdint>

class CHidCmd;

// The process's one device command object (it lives in the application state).
CHidCmd& GlobalHidCmd();

// Each returns nonzero on success and 0 on failure. Buffers are the caller's: a source holds
// count x 256 bytes, a destination receives exactly that many. count must stay below 2^24.

// One read request at page 0x10000 into the 256-byte buffer.
int DeviceReadInfoPage(uint8_t* buffer);
// One no-data request at the sector's first page; then yields the processor.
int DeviceEraseSector(uint32_t sector);
// count pages from data to `page` on; then yields the processor.
int DeviceWritePages(const uint8_t* data, uint32_t page, uint32_t count);
// count pages from `page` on into buffer.
int DeviceReadPages(uint8_t* buffer, uint32_t page, uint32_t count);
// One no-data request with `code` as the address.
int DeviceSendCommand(uint32_t code);
// Searches for the device and opens it: 1 found and opened, 0 not.
int FindDevice();
