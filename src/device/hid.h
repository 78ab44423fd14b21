// The device command object and its I/O member: page transport, the device search and the handle.
#pragma once

#include <cstdint>

#include "device/device_platform.h"

// Case-sensitive tokens that a device interface path must hold.
inline constexpr WChar VENDOR_TOKEN[] = u"quorvel";
inline constexpr WChar PRODUCT_TOKEN[] = u"482diskprobexq";

// True when `path` contains VENDOR_TOKEN and also PRODUCT_TOKEN, each as an exact substring.
bool MatchesDevicePath(const WChar* path);
// The same test with ASCII letters compared without case, for the names in removal notices: the
// system need not give them the case of the path the search saw (Wine upper-cases the device ID
// part), and an exact test would miss the device's own removal.
bool MatchesRemovedDeviceName(const WChar* name);

// Holds the device handle and turns page transfers into request blocks, one per page.
class CHidIO {
 public:
  explicit CHidIO(CDevicePlatform* platform = nullptr) : platform(platform) {}
  virtual ~CHidIO() { Close(); }
  CHidIO(const CHidIO&) = delete;
  CHidIO& operator=(const CHidIO&) = delete;

  // length 0: one no-data request at `page` (data ignored). Otherwise sends `data` (length bytes,
  // owned by the caller) as consecutive pages from `page`, the last one zero-padded. Nonzero when
  // every request succeeded; stops at the first failure and returns 0; 0 with no device open.
  int WritePages(uint32_t page, const uint8_t* data, uint32_t length);
  // Reads consecutive pages from `page` into data, storing exactly `length` bytes. Nonzero on
  // success; 0 on the first failed request, with no device open, no buffer or length 0.
  int ReadPages(uint32_t page, uint8_t* data, uint32_t length);
  // Searches the disk interfaces for the device and opens it: 1 found and opened, 0 not.
  int Search();
  // Cancels pending I/O on and closes every valid handle; invalid handles are left alone.
  void Close();
  // The interface path of the device the last successful Search opened, as the platform listed
  // it (cut to DEVICE_PATH_CAPACITY); empty before one, and from the start of every later
  // Search until it opens a device. Close leaves it. Owned by this object; read on the thread
  // that searches, where removal notices tell the opened device from other disks by it.
  const WChar* OpenedPath() const { return openedPath; }

  DeviceHandle spareHandle = INVALID_DEVICE_HANDLE;
  DeviceHandle deviceHandle = INVALID_DEVICE_HANDLE;
  // The back end: the build's DefaultDevicePlatform, installed by the entry point, or a test's.
  // With none installed no device is ever found.
  CDevicePlatform* platform;

 private:
  WChar openedPath[DEVICE_PATH_CAPACITY] = {};
};

// The device command object: forwards each operation to its I/O member, result unchanged.
class CHidCmd {
 public:
  explicit CHidCmd(CDevicePlatform* platform = nullptr) : io(platform) {}
  virtual ~CHidCmd() = default;

  int Write(uint32_t page, const uint8_t* data, uint32_t length) {
    return io.WritePages(page, data, length);
  }
  int Read(uint32_t page, uint8_t* data, uint32_t length) {
    return io.ReadPages(page, data, length);
  }
  int Erase(uint32_t page) { return io.WritePages(page, nullptr, 0); }
  int FindDevice() { return io.Search(); }

  CHidIO io;
};
