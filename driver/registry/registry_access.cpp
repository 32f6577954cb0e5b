// Registry reads and writes of the driver, as 8-bit text or raw bytes under
// absolute paths; the registry keeps text as 16-bit Unicode.
#include "zyrva_driver.h"

static const WCHAR kClassPrefix[] = L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
// The prefix's 114 bytes and room for two more characters after the terminator.
static const ULONG kDriverKeyExtra = 118;
static const ULONG kPortNameCapacity = 10;

static VOID MakeEmpty(PUNICODE_STRING String)
{
    String->Length = 0;
    String->MaximumLength = 0;
    String->Buffer = NULL;
}

NTSTATUS GetDriverRegistry(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING Path)
{
    MakeEmpty(Path);
    if (!PhysicalDeviceObject) return STATUS_UNSUCCESSFUL;
    WCHAR keyName[256];
    ULONG resultLength = 0;
    NTSTATUS status = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyDriverKeyName, sizeof keyName, keyName,
                                          &resultLength);
    if (!NT_SUCCESS(status)) return status;
    ULONG capacity = resultLength + kDriverKeyExtra;
    PWSTR buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, capacity, ZYR_POOL_TAG));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, capacity);
    UNICODE_STRING path;
    path.Buffer = buffer;
    path.Length = 0;
    path.MaximumLength = static_cast<USHORT>(capacity);
    RtlAppendUnicodeToString(&path, kClassPrefix);
    RtlAppendUnicodeToString(&path, keyName);
    *Path = path;
    return status;
}

NTSTATUS GetPortName(PUNICODE_STRING DriverKey, PUNICODE_STRING Name)
{
    MakeEmpty(Name);
    PWSTR buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kPortNameCapacity, ZYR_POOL_TAG));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING port;
    port.Buffer = buffer;
    port.Length = 0;
    port.MaximumLength = kPortNameCapacity;

    static WCHAR emptyDefault[] = L"";
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = const_cast<PWSTR>(L"AttachedTo");
    table[0].EntryContext = &port;
    table[0].DefaultType = REG_SZ;
    table[0].DefaultData = emptyDefault;
    table[0].DefaultLength = 0;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, DriverKey->Buffer, table, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        ExFreePool(buffer);
        return status;
    }
    *Name = port;
    return status;
}

NTSTATUS NTAPI RegistryQueryCallback(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                     PVOID Context, PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    PREGISTRY_VALUE value = static_cast<PREGISTRY_VALUE>(EntryContext);
    switch (ValueType) {
    case REG_SZ: {
        // Counted strings hold at most 0xFFFE bytes: a longer value cannot be described.
        if (ValueLength >= 0xFFFE) return STATUS_INVALID_PARAMETER;
        PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ValueLength + 1, ZYR_POOL_TAG));
        if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
        UNICODE_STRING wide;
        wide.Buffer = static_cast<PWSTR>(ValueData);
        wide.Length = static_cast<USHORT>(ValueLength);
        wide.MaximumLength = static_cast<USHORT>(ValueLength);
        ANSI_STRING narrow;
        narrow.Buffer = reinterpret_cast<PCHAR>(buffer);
        narrow.Length = static_cast<USHORT>(ValueLength);
        narrow.MaximumLength = static_cast<USHORT>(ValueLength + 1);
        NTSTATUS status = RtlUnicodeStringToAnsiString(&narrow, &wide, FALSE);
        if (!NT_SUCCESS(status)) {
            ExFreePool(buffer);
            return status;
        }
        buffer[narrow.Length] = 0;
        value->Data = buffer;
        value->Length = narrow.Length + 1u;
        return STATUS_SUCCESS;
    }
    case REG_BINARY:
    case REG_DWORD:
    case REG_RESOURCE_LIST:
    case REG_FULL_RESOURCE_DESCRIPTOR: {
        PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ValueLength, ZYR_POOL_TAG));
        if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(buffer, ValueData, ValueLength);
        value->Data = buffer;
        value->Length = ValueLength;
        return STATUS_SUCCESS;
    }
    default: return STATUS_INVALID_PARAMETER;
    }
}

ULONG ReadRegistryEntry(PCWSTR KeyPath, PCWSTR ValueName, PUCHAR Buffer, ULONG BufferSize)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || !KeyPath || !ValueName || !Buffer) return 0;
    REGISTRY_VALUE value;
    value.Data = NULL;
    value.Length = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].QueryRoutine = RegistryQueryCallback;
    table[0].Flags = 0;
    table[0].Name = const_cast<PWSTR>(ValueName);
    table[0].EntryContext = &value;
    table[0].DefaultType = REG_NONE;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KeyPath, table, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        // A routine that failed after an earlier delivery may have left a buffer.
        if (value.Data) ExFreePool(value.Data);
        return 0;
    }
    if (!value.Data) return 0;
    ULONG copied = 0;
    if (value.Length <= BufferSize) {
        for (ULONG i = 0; i < value.Length; i++) Buffer[i] = value.Data[i];
        copied = 1;
    }
    ExFreePool(value.Data);
    return copied;
}

NTSTATUS WriteRegistryEntry(PCWSTR KeyPath, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG DataLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
    if (Type != REG_SZ) return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyPath, ValueName, Type, Data, DataLength);
    ANSI_STRING narrow;
    RtlInitAnsiString(&narrow, static_cast<PCSTR>(Data));
    UNICODE_STRING wide;
    NTSTATUS status = RtlAnsiStringToUnicodeString(&wide, &narrow, TRUE);
    if (!NT_SUCCESS(status)) return status;
    // Stored without a terminating zero.
    status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, KeyPath, ValueName, REG_SZ, wide.Buffer, wide.Length);
    RtlFreeUnicodeString(&wide);
    return status;
}

VOID ConvertUnicodeToChar(PUNICODE_STRING Source, ULONG MaxChars, PUCHAR Destination)
{
    ULONG bytes = Source->Length;
    if (bytes > 2 * MaxChars) bytes = 2 * MaxChars;
    ULONG chars = bytes / 2;
    // No code-page conversion: characters above U+00FF lose their high byte.
    for (ULONG i = 0; i < chars; i++) Destination[i] = static_cast<UCHAR>(Source->Buffer[i] & 0xFF);
    Destination[chars] = 0;
}
