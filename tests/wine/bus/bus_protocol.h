/* What the test bus driver and its control program exchange; C, so that both can include it. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* The bus's control device: the kernel name, and the name user mode opens. */
#define BUS_KERNEL_NAME L"\\Device\\TolvarinBus"
#define BUS_KERNEL_LINK L"\\DosDevices\\TolvarinBus"
#define BUS_USER_NAME L"\\\\.\\TolvarinBus"
#define BUS_SERVICE_NAME L"tolvarin-bus"

/* FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 0x800.. */
#define BUS_IOCTL(function) ((0x22u << 16) | ((0x800u + (function)) << 2))
#define BUS_IOCTL_PLUG BUS_IOCTL(0)   /* in: BusPlug */
#define BUS_IOCTL_UNPLUG BUS_IOCTL(1) /* in: BusUnplug */
#define BUS_IOCTL_SERVE BUS_IOCTL(2)  /* in: BusAnswer, out: BusRequest (pends until one comes) */

/* Wide texts are fixed, terminated arrays; both sides are Windows builds (2-byte wchar_t). */
#define BUS_ID_UNITS 200

/* A child disk: device ID (USBSTOR\Disk&Ven_..&Prod_..&Rev_..) and instance ID, registered under
   interfaceClass only. Wine refuses a device whose device ID, backslash and instance ID exceed
   200 units, so no interface path it lists reaches 260 units. */
typedef struct BusPlug {
  uint32_t interfaceClass[4]; /* a GUID's 16 bytes */
  wchar_t deviceId[BUS_ID_UNITS];
  wchar_t instanceId[BUS_ID_UNITS];
} BusPlug;

/* An empty instance ID unplugs every child. */
typedef struct BusUnplug {
  wchar_t instanceId[BUS_ID_UNITS];
} BusUnplug;

/* A pass-through request reaches the helper as a 32-bit caller lays it out (the 44-byte header,
   then sense and data areas at fixed offsets), whatever the caller's own layout was. */
typedef struct BusHeader32 {
  uint16_t length;
  uint8_t scsiStatus, pathId, targetId, lun, cdbLength, senseInfoLength, dataIn;
  uint32_t dataTransferLength, timeOutValue, dataBufferOffset, senseInfoOffset;
  uint8_t cdb[16];
} BusHeader32;

typedef struct BusBlock {
  BusHeader32 header;
  uint8_t filler[4];
  uint8_t sense[32];
  uint8_t data[256];
} BusBlock;

typedef struct BusRequest {
  uint32_t tag; /* names the request in the answer */
  wchar_t instanceId[BUS_ID_UNITS];
  BusBlock block;
} BusRequest;

/* tag 0: no answer (the helper's first call). ok 0 fails the request at the caller. */
typedef struct BusAnswer {
  uint32_t tag;
  uint32_t ok;
  BusBlock block;
} BusAnswer;

#ifdef __cplusplus
static_assert(sizeof(BusHeader32) == 44 && sizeof(BusBlock) == 336, "the 32-bit block");
#else
_Static_assert(sizeof(BusHeader32) == 44 && sizeof(BusBlock) == 336, "the 32-bit block");
#endif
