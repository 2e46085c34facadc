// pgw.sys: the panel driver core as a kernel-mode driver, so that the shipped
// service meets a real "\\.\PGW" under wine. Each open is a run of the
// service: it starts the core afresh and reads the key map from the
// service's Parameters\KeyMap key (values "0" to "127", REG_SZ, as the Linux
// model's). One open at a time: wine completes CreateFile before the driver
// has seen the open, so a second open cannot fail there as on Windows; its
// requests fail with access denied instead, and the first run goes on.

// The DDK header defines these two again after the intrinsics header has,
// which C++ refuses: only the DDK's definitions are kept.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#include "sim/pgw/pgw_core.h"

namespace {

// The device type of the three request codes.
constexpr DEVICE_TYPE PanelDeviceType = 5;
constexpr wchar_t KeyMapSubkey[] = L"\\Parameters\\KeyMap";

PDEVICE_OBJECT PanelDevice;
KSPIN_LOCK RequestLock;
// The open that has the run; null while none has.
PVOID volatile Owner;
WCHAR KeyMapPathText[512];
UNICODE_STRING KeyMapPath;

UNICODE_STRING Text(const wchar_t* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The value as ASCII; anything else cannot be a key map value and is made
// one that the parser refuses.
void ValueText(const KEY_VALUE_PARTIAL_INFORMATION& value, char* text, ULONG size)
{
    const WCHAR* data = reinterpret_cast<const WCHAR*>(value.Data);
    const ULONG count = value.DataLength / sizeof(WCHAR);
    ULONG length = 0;
    for (; length < count && length + 1 < size && data[length] != 0; ++length)
        text[length] = data[length] < 0x80 ? static_cast<char>(data[length]) : '?';
    text[length] = '\0';
    if (length < count && data[length] != 0)  // too long
        text[0] = '?';
}

void ReadKeyMap()
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &KeyMapPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE map;
    if (!NT_SUCCESS(ZwOpenKey(&map, KEY_QUERY_VALUE, &attributes)))
        return;
    for (int key = 0; key < PgwKeyCount; ++key) {
        WCHAR nameText[4];
        int digits = 0;
        if (key >= 100)
            nameText[digits++] = static_cast<WCHAR>(L'0' + key / 100);
        if (key >= 10)
            nameText[digits++] = static_cast<WCHAR>(L'0' + key / 10 % 10);
        nameText[digits++] = static_cast<WCHAR>(L'0' + key % 10);
        UNICODE_STRING name = {static_cast<USHORT>(digits * sizeof(WCHAR)), sizeof nameText, nameText};

        union {
            KEY_VALUE_PARTIAL_INFORMATION info;
            UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512];
        } value;
        ULONG size = 0;
        if (!NT_SUCCESS(ZwQueryValueKey(map, &name, KeyValuePartialInformation, &value, sizeof value, &size)) ||
            value.info.Type != REG_SZ)
            continue;
        char text[256];
        ValueText(value.info, text, sizeof text);
        PgwKeyCodes codes;
        if (PgwParseKeyCodes(text, &codes))
            PgwMapKey(key, codes);
    }
    ZwClose(map);
}

NTSTATUS NTAPI Create(PDEVICE_OBJECT, PIRP irp)
{
    if (InterlockedCompareExchangePointer(&Owner, IoGetCurrentIrpStackLocation(irp)->FileObject, nullptr) != nullptr)
        return Complete(irp, STATUS_ACCESS_DENIED, 0);
    // No request can come before this open completes: the core needs no lock yet.
    PgwStartRun();
    ReadKeyMap();
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI Close(PDEVICE_OBJECT, PIRP irp)
{
    InterlockedCompareExchangePointer(&Owner, nullptr, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI Cleanup(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The service's two threads both send requests.
NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp)
{
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->FileObject != Owner)
        return Complete(irp, STATUS_ACCESS_DENIED, 0);
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    uint32_t returned = 0;
    KIRQL irql;
    KeAcquireSpinLock(&RequestLock, &irql);
    const PgwResult result =
        PgwRequest(stack->Parameters.DeviceIoControl.IoControlCode, buffer,
                   stack->Parameters.DeviceIoControl.InputBufferLength, buffer,
                   stack->Parameters.DeviceIoControl.OutputBufferLength, &returned);
    KeReleaseSpinLock(&RequestLock, irql);
    return Complete(irp, result == PgwDone ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, returned);
}

void NTAPI Unload(PDRIVER_OBJECT)
{
    UNICODE_STRING link = Text(L"\\DosDevices\\PGW");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(PanelDevice);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    const USHORT subkeySize = sizeof KeyMapSubkey - sizeof(WCHAR);
    if (registryPath->Length + subkeySize > static_cast<int>(sizeof KeyMapPathText))
        return STATUS_INVALID_PARAMETER;
    KeyMapPath = {0, sizeof KeyMapPathText, KeyMapPathText};
    RtlCopyUnicodeString(&KeyMapPath, registryPath);
    RtlAppendUnicodeToString(&KeyMapPath, KeyMapSubkey);
    KeInitializeSpinLock(&RequestLock);

    UNICODE_STRING device = Text(L"\\Device\\PGW");
    UNICODE_STRING link = Text(L"\\DosDevices\\PGW");
    NTSTATUS status = IoCreateDevice(driver, 0, &device, PanelDeviceType, 0, TRUE, &PanelDevice);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(PanelDevice);
        return status;
    }
    PanelDevice->Flags |= DO_BUFFERED_IO;
    driver->MajorFunction[IRP_MJ_CREATE] = Create;
    driver->MajorFunction[IRP_MJ_CLOSE] = Close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->DriverUnload = Unload;
    PanelDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
