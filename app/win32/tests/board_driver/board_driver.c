/* The kernel-mode part of the test double of the camera's driver: a WDM function driver
   for root-enumerated devices, one emulated board (served_board.cpp) per device. Each
   device registers an interface of the camera's class, which requests of I/O control
   0xA7F873FC reach, and one of the test driver's own class for the tests' commands.
   The board's EEPROM file is the value "Board<N>" under the service's Parameters key,
   N counting the devices in the order they were added. */

#include <ntddk.h>

#include "app/win32/tests/board_driver/served_board.h"

static const GUID kCameraInterfaceClass = {
    0x09E3D9A1, 0x8E70, 0x496C, {0xBC, 0x1D, 0xFC, 0x8A, 0x43, 0xCE, 0xF6, 0xB5}};
/* The test driver's command interface; also in board_tool.cpp. */
static const GUID kCommandInterfaceClass = {
    0x6A0F1C52, 0x3B7E, 0x4D19, {0x9C, 0x2E, 0x51, 0x7A, 0xB4, 0x08, 0xD3, 0x6F}};

typedef struct {
  PDEVICE_OBJECT lower;
  UNICODE_STRING cameraLink;
  UNICODE_STRING commandLink;
  struct ServedBoard* board;
  BOOLEAN started;
} BoardExtension;

static UNICODE_STRING parametersKey;
static LONG boardsAdded;

/* The value "Board<number>" of the Parameters key as an 8-bit path in `path` (ASCII
   only); an empty path when there is none. */
static void EepromFileOf(LONG number, char* path, ULONG capacity) {
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  WCHAR nameText[16] = L"Board";
  UNICODE_STRING name;
  UCHAR record[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024];
  PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)record;
  ULONG length = 0, i;

  path[0] = 0;
  nameText[5] = (WCHAR)(L'0' + number % 10);
  RtlInitUnicodeString(&name, nameText);
  InitializeObjectAttributes(&attributes, &parametersKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof record,
                                 &length)) &&
      value->Type == REG_SZ) {
    const WCHAR* text = (const WCHAR*)value->Data;
    const ULONG characters = value->DataLength / sizeof(WCHAR);
    for (i = 0; i < characters && i + 1 < capacity && text[i] != 0; ++i) {
      if (text[i] > 0x7F) {
        i = 0;
        break;
      }
      path[i] = (char)text[i];
    }
    path[i] = 0;
  }
  ZwClose(key);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS StatusOf(enum ServedStatus served) {
  switch (served) {
    case kServedOk:
      return STATUS_SUCCESS;
    case kServedUnknownCode:
      return STATUS_INVALID_DEVICE_REQUEST;
    case kServedMalformed:
      return STATUS_INVALID_PARAMETER;
    case kServedTimeout:
      return STATUS_IO_TIMEOUT;
    case kServedRemoved:
      return STATUS_DEVICE_NOT_CONNECTED;
    case kServedNoMemory:
      return STATUS_INSUFFICIENT_RESOURCES;
    case kServedFailed:
      break;
  }
  return STATUS_UNSUCCESSFUL;
}

static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  BoardExtension* extension = (BoardExtension*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  size_t information = 0;
  enum ServedInterface change = kInterfaceUnchanged;
  enum ServedStatus served;
  NTSTATUS status;

  /* Buffered I/O: one system buffer holds the input and takes the output. Any other
     method would hand the driver user addresses; none is served. */
  if ((code & 3) != METHOD_BUFFERED || !extension->board)
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  served = ServedBoardControl(extension->board, code, (unsigned char*)irp->AssociatedIrp.SystemBuffer,
                              stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength, &information,
                              &change);
  if (change != kInterfaceUnchanged && extension->started)
    IoSetDeviceInterfaceState(&extension->cameraLink, change == kInterfaceEnable);
  status = StatusOf(served);
  return Complete(irp, status, NT_SUCCESS(status) ? information : 0);
}

/* Wine's IoForwardIrpSynchronously is a stub: forward by hand and wait for the lower
   driver's completion. */
static NTSTATUS ForwardedCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)irp;
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(BoardExtension* extension, PIRP irp) {
  KEVENT done;
  NTSTATUS status;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ForwardedCompletion, &done, TRUE, TRUE, TRUE);
  status = IoCallDriver(extension->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS PassDown(BoardExtension* extension, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

static void RemoveBoard(PDEVICE_OBJECT device) {
  BoardExtension* extension = (BoardExtension*)device->DeviceExtension;
  if (extension->started) {
    IoSetDeviceInterfaceState(&extension->cameraLink, FALSE);
    IoSetDeviceInterfaceState(&extension->commandLink, FALSE);
    extension->started = FALSE;
  }
  RtlFreeUnicodeString(&extension->cameraLink);
  RtlFreeUnicodeString(&extension->commandLink);
  if (extension->board) ServedBoardDestroy(extension->board);
  extension->board = NULL;
  IoDetachDevice(extension->lower);
  IoDeleteDevice(device);
}

static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  BoardExtension* extension = (BoardExtension*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(extension, irp);
      if (NT_SUCCESS(status)) {
        IoSetDeviceInterfaceState(&extension->cameraLink, TRUE);
        IoSetDeviceInterfaceState(&extension->commandLink, TRUE);
        extension->started = TRUE;
      }
      return Complete(irp, status, 0);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(extension, irp);
    case IRP_MN_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(extension, irp);
      RemoveBoard(device);
      return status;
    default:
      return PassDown(extension, irp);
  }
}

static NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  BoardExtension* extension = (BoardExtension*)device->DeviceExtension;
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(extension->lower, irp);
}

static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  BoardExtension* extension;
  char eepromFile[512];
  NTSTATUS status = IoCreateDevice(driver, sizeof(BoardExtension), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  extension = (BoardExtension*)device->DeviceExtension;
  RtlZeroMemory(extension, sizeof *extension);

  EepromFileOf(InterlockedIncrement(&boardsAdded) - 1, eepromFile, sizeof eepromFile);
  extension->board = ServedBoardCreate(eepromFile);
  status = extension->board ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status))
    status = IoRegisterDeviceInterface(pdo, &kCameraInterfaceClass, NULL, &extension->cameraLink);
  if (NT_SUCCESS(status))
    status = IoRegisterDeviceInterface(pdo, &kCommandInterfaceClass, NULL, &extension->commandLink);
  if (NT_SUCCESS(status)) {
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!extension->lower) status = STATUS_NO_SUCH_DEVICE;
  }
  if (!NT_SUCCESS(status)) {
    RtlFreeUnicodeString(&extension->cameraLink);
    RtlFreeUnicodeString(&extension->commandLink);
    if (extension->board) ServedBoardDestroy(extension->board);
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void Unload(PDRIVER_OBJECT driver) {
  (void)driver;
  RtlFreeUnicodeString(&parametersKey);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  static const WCHAR kParameters[] = L"\\Parameters";
  parametersKey.MaximumLength = (USHORT)(registryPath->Length + sizeof kParameters);
  parametersKey.Length = 0;
  parametersKey.Buffer = ExAllocatePool(PagedPool, parametersKey.MaximumLength);
  if (!parametersKey.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyUnicodeString(&parametersKey, registryPath);
  RtlAppendUnicodeToString(&parametersKey, kParameters);

  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  return STATUS_SUCCESS;
}

/* The image imports user-mode modules (the emulated board is C++), so the loader first
   calls its entry as a DLL's, with the image's own base, and then as DriverEntry. */
extern char __ImageBase;
int __stdcall DllMainCRTStartup(void* module, unsigned long reason, void* reserved);

NTSTATUS NTAPI VeskBoardDriverStart(void* first, void* second, void* third) {
  if (first == &__ImageBase)
    return (NTSTATUS)DllMainCRTStartup(first, (unsigned long)(ULONG_PTR)second, third);
  return DriverEntry((PDRIVER_OBJECT)first, (PUNICODE_STRING)second);
}
