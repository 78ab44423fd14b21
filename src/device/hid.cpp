// Page transport over request blocks, the device search rules and closing the handles.
#include "device/hid.h"

#include <cstring>
#include <initializer_list>

bool MatchesDevicePath(const WChar* path) {
  // The vendor token is tested first; the product token only when it is there.
  return TextContains(path, VENDOR_TOKEN) && TextContains(path, PRODUCT_TOKEN);
}

bool MatchesRemovedDeviceName(const WChar* name) {
  return TextContainsIgnoringAsciiCase(name, VENDOR_TOKEN) &&
         TextContainsIgnoringAsciiCase(name, PRODUCT_TOKEN);
}

int CHidIO::WritePages(uint32_t page, const uint8_t* data, uint32_t length) {
  ScsiRequest request;
  // Everything before the data area starts at 0; the data area is cleared or filled below before
  // any request goes out, so it is written once per page rather than twice.
  std::memset(&request, 0, offsetof(ScsiRequest, data));
  if (deviceHandle == INVALID_DEVICE_HANDLE) return 0;
  FillWriteRequest(&request, page);
  if (length == 0) {
    std::memset(request.data, 0, PAGE_SIZE);
    request.dataTransferLength = 0;
    request.cdb[7] = 0;
    request.cdb[8] = 0;
    return platform->DeviceIo(deviceHandle, &request);
  }
  uint32_t requests = length / PAGE_SIZE + (length % PAGE_SIZE != 0 ? 1 : 0);
  uint32_t remaining = length;
  int result = 0;
  for (uint32_t i = 0; i < requests; ++i) {
    SetRequestAddress(&request, page + i);
    uint32_t chunk = remaining < PAGE_SIZE ? remaining : PAGE_SIZE;
    std::memcpy(request.data, data + i * PAGE_SIZE, chunk);
    // Only a final partial page has a tail to clear; a whole page overwrites all of it.
    if (chunk < PAGE_SIZE) std::memset(request.data + chunk, 0, PAGE_SIZE - chunk);
    result = platform->DeviceIo(deviceHandle, &request);
    if (!result) return 0;
    remaining -= chunk;
  }
  return result;
}

int CHidIO::ReadPages(uint32_t page, uint8_t* data, uint32_t length) {
  ScsiRequest request;
  std::memset(&request, 0, sizeof request);
  if (deviceHandle == INVALID_DEVICE_HANDLE || data == nullptr) return 0;
  FillReadRequest(&request, page);
  uint32_t requests = length / PAGE_SIZE + (length % PAGE_SIZE != 0 ? 1 : 0);
  int result = 0;
  for (uint32_t i = 0; i < requests; ++i) {
    SetRequestAddress(&request, page + i);
    result = platform->DeviceIo(deviceHandle, &request);
    if (!result) return 0;
    uint32_t chunk = i + 1 < requests ? PAGE_SIZE : length - PAGE_SIZE * (requests - 1);
    std::memcpy(data + i * PAGE_SIZE, request.data, chunk);
  }
  return result;
}

int CHidIO::Search() {
  // Only run while no device is open, so no handle is lost here.
  deviceHandle = INVALID_DEVICE_HANDLE;
  openedPath[0] = 0;
  if (platform == nullptr || !platform->BeginInterfaceList()) return 0;
  int found = 0;
  WChar path[DEVICE_PATH_CAPACITY];
  for (int index = 0;; ++index) {
    path[0] = 0;
    int listed = platform->InterfacePath(index, path, DEVICE_PATH_CAPACITY);
    if (listed == INTERFACE_END || listed == INTERFACE_NO_MEMORY || listed == INTERFACE_ERROR)
      break;
    if (listed != INTERFACE_OK) continue;
    if (!MatchesDevicePath(path)) continue;
    if (!platform->Probe(path)) continue;
    // The first interface that matches and passes the probe ends the search, whether or not the
    // read-write open succeeds.
    deviceHandle = platform->OpenReadWrite(path);
    found = deviceHandle != INVALID_DEVICE_HANDLE ? 1 : 0;
    if (found) CopyText(openedPath, DEVICE_PATH_CAPACITY, path);
    break;
  }
  platform->EndInterfaceList();
  return found;
}

void CHidIO::Close() {
  for (DeviceHandle* handle : {&spareHandle, &deviceHandle}) {
    if (*handle == INVALID_DEVICE_HANDLE) continue;
    platform->CloseHandle(*handle);
    *handle = INVALID_DEVICE_HANDLE;
  }
}
