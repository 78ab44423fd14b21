/* The test bus for Wine: a kernel driver whose control device plugs and unplugs child USB disks on
   command and hands each of their pass-through requests to a user-mode helper (tolvarin-bus.exe).
   A test fixture, not a product: Wine's winedevice runs every dispatch routine on one thread, so
   nothing here takes a lock, and under Wine a plain driver's device may act as a bus parent. */
#include <ntddk.h>

#include "bus_protocol.h"

#define PASS_THROUGH_CODE 0x4D004u /* IOCTL_SCSI_PASS_THROUGH */
#define MAX_CHILDREN 16

/* A 64-bit caller's header (SCSI_PASS_THROUGH on x86-64): the data offset is pointer-sized. */
typedef struct Header64 {
  uint16_t length;
  uint8_t scsiStatus, pathId, targetId, lun, cdbLength, senseInfoLength, dataIn;
  uint32_t dataTransferLength, timeOutValue;
  uint64_t dataBufferOffset;
  uint32_t senseInfoOffset;
  uint8_t cdb[16];
} Header64;
_Static_assert(sizeof(Header64) == 56 && offsetof(Header64, cdb) == 36, "64-bit header");
_Static_assert(offsetof(Header64, dataTransferLength) == offsetof(BusHeader32, dataTransferLength),
               "status and length are where both layouts keep them");

typedef struct Child {
  BOOLEAN present; /* plugged: listed in the bus relations */
  BOOLEAN started; /* its interface is registered and enabled */
  GUID interfaceClass;
  FILE_OBJECT* owner; /* the handle that plugged it: closing that unplugs it */
  UNICODE_STRING link;
  BusPlug ids;
} Child;

static DEVICE_OBJECT* g_control;
static DEVICE_OBJECT* g_children[MAX_CHILDREN];
static FILE_OBJECT* g_helper;  /* the helper's handle, from its first serve call on */
static IRP* g_serveIrp;        /* the helper's serve call, waiting for a request */
static LIST_ENTRY g_waiting;   /* pass-through calls not yet handed to the helper */
static LIST_ENTRY g_forwarded; /* handed to the helper, not yet answered */
static uint32_t g_lastTag;

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static IRP* ListIrp(LIST_ENTRY* entry) {
  return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

/* Fails the queued and forwarded calls of one child (NULL: of every child). */
static void FailCalls(DEVICE_OBJECT* child, NTSTATUS status) {
  LIST_ENTRY* lists[] = {&g_waiting, &g_forwarded};
  for (int i = 0; i < 2; ++i) {
    LIST_ENTRY* entry = lists[i]->Flink;
    while (entry != lists[i]) {
      IRP* irp = ListIrp(entry);
      entry = entry->Flink;
      if (child != NULL && irp->Tail.Overlay.DriverContext[1] != child) continue;
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      Complete(irp, status, 0);
    }
  }
}

/* A caller's request in the 32-bit layout, and where its own data and sense areas are. Checks
   that every area lies inside the buffer the answer is written into. */
typedef struct Caller {
  BusHeader32 header;
  uint64_t dataOffset;
  uint32_t senseOffset;
} Caller;

static NTSTATUS ReadCaller(IRP* irp, Caller* c) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const uint8_t* buffer = irp->AssociatedIrp.SystemBuffer;
  if (buffer == NULL || in < sizeof(uint16_t)) return STATUS_INVALID_PARAMETER;
  uint16_t length;
  RtlCopyMemory(&length, buffer, sizeof length);
  /* The caller's bitness shows in the header's length, as the system's storage driver reads it. */
  if (length == sizeof(BusHeader32) && in >= length) {
    RtlCopyMemory(&c->header, buffer, sizeof c->header);
    c->dataOffset = c->header.dataBufferOffset;
    c->senseOffset = c->header.senseInfoOffset;
  } else if (length == sizeof(Header64) && in >= length) {
    Header64 wide;
    RtlCopyMemory(&wide, buffer, sizeof wide);
    RtlCopyMemory(&c->header, &wide, offsetof(Header64, dataBufferOffset));
    RtlCopyMemory(c->header.cdb, wide.cdb, sizeof wide.cdb);
    c->dataOffset = wide.dataBufferOffset;
    c->senseOffset = wide.senseInfoOffset;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  /* Data out is read from the input, data in and sense are written into the output. */
  uint32_t transfer = c->header.dataTransferLength;
  uint64_t dataLimit = c->header.dataIn ? out : in;
  if (out < length || c->header.cdbLength > sizeof c->header.cdb || transfer > 256 ||
      (transfer > 0 && (c->dataOffset < length || c->dataOffset > dataLimit ||
                        transfer > dataLimit - c->dataOffset)) ||
      (c->header.senseInfoLength > 0 && (c->senseOffset < length || c->senseOffset > out ||
                                         c->header.senseInfoLength > out - c->senseOffset)))
    return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

/* Hands the oldest waiting call to the helper's serve call, when both are there. */
static void Pump(void) {
  if (g_serveIrp == NULL || IsListEmpty(&g_waiting)) return;
  IRP* call = ListIrp(RemoveHeadList(&g_waiting));
  IRP* serve = g_serveIrp;
  g_serveIrp = NULL;
  IoSetCancelRoutine(serve, NULL);
  BusRequest* request = serve->AssociatedIrp.SystemBuffer;
  RtlZeroMemory(request, sizeof *request);
  if (++g_lastTag == 0) ++g_lastTag;
  request->tag = g_lastTag;
  call->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)g_lastTag;
  Child* child = ((DEVICE_OBJECT*)call->Tail.Overlay.DriverContext[1])->DeviceExtension;
  RtlCopyMemory(request->instanceId, child->ids.instanceId, sizeof request->instanceId);
  Caller c;
  ReadCaller(call, &c); /* checked when the call came in */
  const uint8_t* buffer = call->AssociatedIrp.SystemBuffer;
  request->block.header = c.header;
  request->block.header.length = sizeof(BusHeader32);
  request->block.header.dataBufferOffset = offsetof(BusBlock, data);
  request->block.header.senseInfoOffset = offsetof(BusBlock, sense);
  if (!c.header.dataIn)
    RtlCopyMemory(request->block.data, buffer + c.dataOffset, c.header.dataTransferLength);
  InsertTailList(&g_forwarded, &call->Tail.Overlay.ListEntry);
  Complete(serve, STATUS_SUCCESS, sizeof *request);
}

/* Completes the forwarded call that the answer names; a call already failed (unplugged) is gone
   from the list and its late answer is dropped. */
static void Answer(const BusAnswer* answer) {
  for (LIST_ENTRY* entry = g_forwarded.Flink; entry != &g_forwarded; entry = entry->Flink) {
    IRP* call = ListIrp(entry);
    if ((ULONG_PTR)call->Tail.Overlay.DriverContext[0] != answer->tag) continue;
    RemoveEntryList(entry);
    if (!answer->ok) {
      Complete(call, STATUS_IO_DEVICE_ERROR, 0);
      return;
    }
    Caller c;
    ReadCaller(call, &c);
    uint8_t* buffer = call->AssociatedIrp.SystemBuffer;
    uint32_t transfer = answer->block.header.dataTransferLength;
    if (transfer > c.header.dataTransferLength) transfer = c.header.dataTransferLength;
    buffer[offsetof(BusHeader32, scsiStatus)] = answer->block.header.scsiStatus;
    RtlCopyMemory(buffer + offsetof(BusHeader32, dataTransferLength), &transfer, sizeof transfer);
    uint32_t sense = c.header.senseInfoLength;
    RtlCopyMemory(buffer + c.senseOffset, answer->block.sense, sense < 32 ? sense : 32);
    if (c.header.dataIn) RtlCopyMemory(buffer + c.dataOffset, answer->block.data, transfer);
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(call);
    Complete(call, STATUS_SUCCESS, stack->Parameters.DeviceIoControl.OutputBufferLength);
    return;
  }
}

static void DisconnectHelper(void) {
  g_helper = NULL;
  if (g_serveIrp != NULL && IoSetCancelRoutine(g_serveIrp, NULL) != NULL)
    Complete(g_serveIrp, STATUS_CANCELLED, 0);
  g_serveIrp = NULL;
  FailCalls(NULL, STATUS_DEVICE_NOT_READY);
}

/* The helper's process ends: its waiting serve call is cancelled, so that its handle can close. */
static void NTAPI CancelServe(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (irp == g_serveIrp) g_serveIrp = NULL;
  Complete(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS Serve(IRP* irp, IO_STACK_LOCATION* stack) {
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BusAnswer) ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BusRequest))
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  if ((g_helper != NULL && g_helper != stack->FileObject) || g_serveIrp != NULL)
    return Complete(irp, STATUS_DEVICE_BUSY, 0);
  const BusAnswer* answer = irp->AssociatedIrp.SystemBuffer;
  if (answer->tag != 0) Answer(answer);
  g_helper = stack->FileObject;
  g_serveIrp = irp;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelServe);
  Pump();
  return STATUS_PENDING;
}

static Child* FindChild(const wchar_t* instanceId, int* slot) {
  for (int i = 0; i < MAX_CHILDREN; ++i) {
    if (g_children[i] == NULL) {
      if (slot != NULL && *slot < 0) *slot = i;
      continue;
    }
    Child* child = g_children[i]->DeviceExtension;
    if (child->present && wcscmp(child->ids.instanceId, instanceId) == 0) return child;
  }
  return NULL;
}

static NTSTATUS Plug(const BusPlug* ids, FILE_OBJECT* owner) {
  int slot = -1;
  if (FindChild(ids->instanceId, &slot) != NULL) return STATUS_OBJECT_NAME_COLLISION;
  if (slot < 0) return STATUS_INSUFFICIENT_RESOURCES;
  DEVICE_OBJECT* device;
  NTSTATUS status = IoCreateDevice(g_control->DriverObject, sizeof(Child), NULL, FILE_DEVICE_DISK,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Child* child = device->DeviceExtension;
  RtlZeroMemory(child, sizeof *child);
  child->ids = *ids;
  child->owner = owner;
  RtlCopyMemory(&child->interfaceClass, ids->interfaceClass, sizeof child->interfaceClass);
  child->present = TRUE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  g_children[slot] = device;
  IoInvalidateDeviceRelations(g_control, BusRelations);
  return STATUS_SUCCESS;
}

/* Unplugs the children that owner plugged (NULL: the one named, or all for an empty name). */
static void Unplug(const wchar_t* instanceId, FILE_OBJECT* owner) {
  BOOLEAN changed = FALSE;
  for (int i = 0; i < MAX_CHILDREN; ++i) {
    if (g_children[i] == NULL) continue;
    Child* child = g_children[i]->DeviceExtension;
    if (!child->present || (owner != NULL && child->owner != owner) ||
        (owner == NULL && instanceId[0] != 0 && wcscmp(child->ids.instanceId, instanceId) != 0))
      continue;
    child->present = FALSE;
    changed = TRUE;
    FailCalls(g_children[i], STATUS_DEVICE_DOES_NOT_EXIST);
  }
  if (changed) IoInvalidateDeviceRelations(g_control, BusRelations);
}

static NTSTATUS ControlIo(IRP* irp, IO_STACK_LOCATION* stack) {
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case BUS_IOCTL_SERVE:
      return Serve(irp, stack);
    case BUS_IOCTL_PLUG: {
      if (in < sizeof(BusPlug)) break;
      BusPlug* ids = buffer;
      ids->deviceId[BUS_ID_UNITS - 1] = ids->instanceId[BUS_ID_UNITS - 1] = 0;
      return Complete(irp, Plug(ids, stack->FileObject), 0);
    }
    case BUS_IOCTL_UNPLUG: {
      if (in < sizeof(BusUnplug)) break;
      BusUnplug* which = buffer;
      which->instanceId[BUS_ID_UNITS - 1] = 0;
      Unplug(which->instanceId, NULL);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
  }
  return Complete(irp, STATUS_INVALID_PARAMETER, 0);
}

static NTSTATUS BusRelationsOf(IRP* irp) {
  ULONG count = 0;
  for (int i = 0; i < MAX_CHILDREN; ++i)
    if (g_children[i] != NULL && ((Child*)g_children[i]->DeviceExtension)->present) ++count;
  DEVICE_RELATIONS* relations =
      ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(DEVICE_OBJECT*));
  if (relations == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  relations->Count = 0;
  for (int i = 0; i < MAX_CHILDREN; ++i) {
    if (g_children[i] == NULL || !((Child*)g_children[i]->DeviceExtension)->present) continue;
    ObReferenceObject(g_children[i]);
    relations->Objects[relations->Count++] = g_children[i];
  }
  return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
}

/* A PnP text: one string, or (multi) a list of one string with its second terminator. */
static NTSTATUS QueryText(IRP* irp, const wchar_t* text, BOOLEAN multi) {
  size_t bytes = (wcslen(text) + (multi ? 2 : 1)) * sizeof(wchar_t);
  wchar_t* copy = ExAllocatePool(PagedPool, bytes);
  if (copy == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlZeroMemory(copy, bytes);
  RtlCopyMemory(copy, text, wcslen(text) * sizeof(wchar_t));
  return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

static NTSTATUS StartChild(DEVICE_OBJECT* device, Child* child) {
  NTSTATUS status = IoRegisterDeviceInterface(device, &child->interfaceClass, NULL, &child->link);
  if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&child->link, TRUE);
  child->started = NT_SUCCESS(status);
  return status;
}

static void StopChild(DEVICE_OBJECT* device, Child* child) {
  FailCalls(device, STATUS_DEVICE_DOES_NOT_EXIST);
  if (!child->started) return;
  IoSetDeviceInterfaceState(&child->link, FALSE);
  RtlFreeUnicodeString(&child->link);
  child->started = FALSE;
}

static NTSTATUS ChildPnp(DEVICE_OBJECT* device, IRP* irp, IO_STACK_LOCATION* stack) {
  Child* child = device->DeviceExtension;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, StartChild(device, child), 0);
    case IRP_MN_QUERY_ID:
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          return QueryText(irp, child->ids.deviceId, FALSE);
        case BusQueryInstanceID:
          return QueryText(irp, child->ids.instanceId, FALSE);
        case BusQueryHardwareIDs:
          return QueryText(irp, child->ids.deviceId, TRUE);
        case BusQueryCompatibleIDs:
          return QueryText(irp, L"USBSTOR\\Disk", TRUE);
        default:
          break;
      }
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      /* No function driver: the PnP manager starts the child itself. */
      DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->RawDeviceOK = caps->Removable = caps->SurpriseRemovalOK = 1;
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      StopChild(device, child);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE:
      StopChild(device, child);
      Complete(irp, STATUS_SUCCESS, 0);
      if (!child->present) {
        for (int i = 0; i < MAX_CHILDREN; ++i)
          if (g_children[i] == device) g_children[i] = NULL;
        IoDeleteDevice(device);
      }
      return STATUS_SUCCESS;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS ChildIo(DEVICE_OBJECT* device, IRP* irp, IO_STACK_LOCATION* stack) {
  Child* child = device->DeviceExtension;
  if (stack->Parameters.DeviceIoControl.IoControlCode != PASS_THROUGH_CODE)
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (!child->present) return Complete(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
  if (g_helper == NULL) return Complete(irp, STATUS_DEVICE_NOT_READY, 0);
  Caller c;
  NTSTATUS status = ReadCaller(irp, &c);
  if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
  irp->Tail.Overlay.DriverContext[1] = device;
  IoMarkIrpPending(irp);
  InsertTailList(&g_waiting, &irp->Tail.Overlay.ListEntry);
  Pump();
  return STATUS_PENDING;
}

static NTSTATUS NTAPI Dispatch(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  BOOLEAN control = device == g_control;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      if (!control && !((Child*)device->DeviceExtension)->present)
        return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      /* A session that ends, however it ends, leaves no helper and no child behind. */
      if (control && stack->FileObject == g_helper) DisconnectHelper();
      if (control) Unplug(L"", stack->FileObject);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return control ? ControlIo(irp, stack) : ChildIo(device, irp, stack);
    case IRP_MJ_PNP:
      if (!control) return ChildPnp(device, irp, stack);
      if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
          stack->Parameters.QueryDeviceRelations.Type == BusRelations)
        return BusRelationsOf(irp);
      {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
      }
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
  (void)registryPath;
  InitializeListHead(&g_waiting);
  InitializeListHead(&g_forwarded);
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, BUS_KERNEL_NAME);
  RtlInitUnicodeString(&link, BUS_KERNEL_LINK);
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(g_control);
    return status;
  }
  UCHAR majors[] = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP};
  for (unsigned i = 0; i < sizeof majors; ++i) driver->MajorFunction[majors[i]] = Dispatch;
  g_control->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
