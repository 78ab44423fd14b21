// The device operations of the workflow, forwarded to the global device command object.
#include "device/device_ops.h"

#include <thread>

#include "device/hid.h"

int DeviceReadInfoPage(uint8_t* buffer) {
  return GlobalHidCmd().Read(INFO_PAGE_ADDRESS, buffer, PAGE_SIZE);
}

int DeviceEraseSector(uint32_t sector) {
  int result = GlobalHidCmd().Erase(sector * PAGES_PER_SECTOR);
  std::this_thread::yield();
  return result;
}

int DeviceWritePages(const uint8_t* data, uint32_t page, uint32_t count) {
  int result = GlobalHidCmd().Write(page, data, count << 8);
  std::this_thread::yield();
  return result;
}

int DeviceReadPages(uint8_t* buffer, uint32_t page, uint32_t count) {
  return GlobalHidCmd().Read(page, buffer, count << 8);
}

int DeviceSendCommand(uint32_t code) {
  return GlobalHidCmd().Write(code, nullptr, 0);
}

int FindDevice() {
  return GlobalHidCmd().FindDevice();
}
