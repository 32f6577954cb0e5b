// Device objects, device stacks, object names, symbolic links, reference
// counts, file objects, device interfaces and device properties.
#include "state.h"

#include <cstdio>
#include <cstring>

namespace host::detail {

namespace {

const ULONG kDeviceTag = host::Tag("Devi");
const ULONG kFileTag = host::Tag("File");

struct DeviceBlock {
    DEVICE_OBJECT device;
    DEVOBJ_EXTENSION objectExtension;
    alignas(16) UCHAR extension[1];
};

std::u16string Normalise(std::u16string_view name)
{
    std::u16string n(name);
    auto replacePrefix = [&](std::u16string_view from, std::u16string_view to) {
        if (Upper(n.substr(0, from.size())) == Upper(std::u16string(from))) n = std::u16string(to) + n.substr(from.size());
    };
    replacePrefix(u"\\\\.\\", u"\\??\\");
    replacePrefix(u"\\DosDevices\\", u"\\??\\");
    replacePrefix(u"\\GLOBAL??\\", u"\\??\\");
    return n;
}

// Finds the named device, following symbolic links; `remainder` gets what
// follows the device's name (an interface's reference string, for example).
PDEVICE_OBJECT Resolve(std::u16string_view name, std::u16string *remainder)
{
    std::lock_guard guard(S().objectLock);
    std::u16string current = Normalise(name);
    for (int depth = 0; depth < 32; ++depth) {
        bool replaced = false;
        for (size_t cut = current.size();;) {
            std::u16string prefix = Upper(current.substr(0, cut));
            if (auto d = S().deviceNames.find(prefix); d != S().deviceNames.end()) {
                if (remainder) *remainder = current.substr(cut);
                return d->second;
            }
            if (auto l = S().symbolicLinks.find(prefix); l != S().symbolicLinks.end()) {
                current = l->second + current.substr(cut);
                replaced = true;
                break;
            }
            size_t previous = cut ? current.rfind(u'\\', cut - 1) : std::u16string::npos;
            if (previous == std::u16string::npos || previous == 0) break;
            cut = previous;
        }
        if (!replaced) return nullptr;
    }
    return nullptr;
}

void FreeDeviceBlock(PDEVICE_OBJECT device)
{
    S().deletePending.erase(device);
    KernelFree(device);
}

PFILE_OBJECT NewFile(PDEVICE_OBJECT named, PDEVICE_OBJECT top, const std::u16string &fileName)
{
    auto file = static_cast<PFILE_OBJECT>(KernelAllocate(NonPagedPool, sizeof(FILE_OBJECT), kFileTag, false));
    std::memset(file, 0, sizeof *file);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = named;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    if (!fileName.empty()) {
        auto buffer = static_cast<PWSTR>(
            KernelAllocate(NonPagedPool, (fileName.size() + 1) * sizeof(WCHAR), kFileTag, false));
        std::memcpy(buffer, fileName.data(), fileName.size() * sizeof(WCHAR));
        buffer[fileName.size()] = 0;
        file->FileName.Buffer = buffer;
        file->FileName.Length = USHORT(fileName.size() * sizeof(WCHAR));
        file->FileName.MaximumLength = USHORT(file->FileName.Length + sizeof(WCHAR));
    }
    std::lock_guard guard(S().objectLock);
    S().files[file] = FileInfo{1, top};
    return file;
}

void DeleteFile(PFILE_OBJECT file)
{
    {
        std::lock_guard guard(S().objectLock);
        S().files.erase(file);
    }
    if (file->FileName.Buffer) KernelFree(file->FileName.Buffer);
    PDEVICE_OBJECT named = file->DeviceObject;
    KernelFree(file);
    ObfDereferenceObject(named);
}

}  // namespace

bool IsPdo(PDEVICE_OBJECT device)
{
    std::lock_guard guard(S().objectLock);
    return S().pdos.count(device) != 0;
}

void ShutdownObjects()
{
    std::vector<PDEVICE_OBJECT> pdos;
    {
        std::lock_guard guard(S().objectLock);
        for (auto &[pdo, info] : S().pdos) pdos.push_back(pdo);
    }
    for (PDEVICE_OBJECT pdo : pdos) DeletePdo(pdo);
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard guard(S().objectLock);
        for (auto &[driver, info] : S().drivers) drivers.push_back(driver);
    }
    for (PDRIVER_OBJECT driver : drivers) {
        if (driver->DeviceObject) continue;  // its devices leak: reported with the pool
        if (driver->DriverName.Buffer) KernelFree(driver->DriverName.Buffer);
        KernelFree(driver);
        std::lock_guard guard(S().objectLock);
        S().drivers.erase(driver);
    }
}

}  // namespace host::detail

using namespace host;
using namespace host::detail;

namespace host {

void SetDeviceLabel(PDEVICE_OBJECT device, std::string label)
{
    std::lock_guard guard(S().objectLock);
    S().labels[device] = std::move(label);
}

std::string DeviceLabel(PDEVICE_OBJECT device)
{
    if (!device) return "(none)";
    std::lock_guard guard(S().objectLock);
    if (auto it = S().labels.find(device); it != S().labels.end()) return it->second;
    if (auto it = S().deviceNameOf.find(device); it != S().deviceNameOf.end()) return ToNarrow(it->second);
    return "device " + Hex(ULONG_PTR(device));
}

PDEVICE_OBJECT FindDevice(std::u16string_view name) { return Resolve(name, nullptr); }

std::u16string DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard guard(S().objectLock);
    auto it = S().deviceNameOf.find(device);
    return it == S().deviceNameOf.end() ? std::u16string() : it->second;
}

size_t DeviceCount()
{
    std::lock_guard guard(S().objectLock);
    size_t count = 0;
    for (auto &[driver, info] : S().drivers)
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) ++count;
    return count;
}

std::u16string GuidString(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return ToU16(text);
}

std::vector<DeviceInterfaceRecord> DeviceInterfaces(const GUID &classGuid)
{
    std::vector<DeviceInterfaceRecord> out;
    std::lock_guard guard(S().objectLock);
    for (auto &entry : S().interfaces)
        if (std::memcmp(&entry.record.classGuid, &classGuid, sizeof(GUID)) == 0) out.push_back(entry.record);
    return out;
}

PFILE_OBJECT OpenDevice(std::u16string_view name, NTSTATUS *statusOut)
{
    std::u16string remainder;
    PDEVICE_OBJECT named = Resolve(name, &remainder);
    if (!named) {
        if (statusOut) *statusOut = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(named);
    ObfReferenceObject(named);
    PFILE_OBJECT file = NewFile(named, top, remainder);
    IoRequest create;
    create.major = IRP_MJ_CREATE;
    create.file = file;
    create.device = top;
    IoResult result = CallRequest(create);
    if (statusOut) *statusOut = result.status;
    if (!NT_SUCCESS(result.status)) {
        DeleteFile(file);
        return nullptr;
    }
    return file;
}

void CloseDevice(PFILE_OBJECT file) { ObfDereferenceObject(file); }

}  // namespace host

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName, ULONG deviceType,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *deviceOut)
{
    *deviceOut = nullptr;
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive, "IoCreateDevice at IRQL " + std::to_string(T().irql), T().irql);
    std::u16string name;
    std::lock_guard guard(S().objectLock);
    if (deviceName && deviceName->Buffer) {
        name = FromUnicodeString(*deviceName);
    } else if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        char text[32];
        std::snprintf(text, sizeof text, "\\Device\\%08lx", static_cast<unsigned long>(S().nextAutoName++));
        name = ToU16(text);
    }
    if (!name.empty() && S().deviceNames.count(Upper(name))) return STATUS_OBJECT_NAME_COLLISION;
    size_t size = offsetof(DeviceBlock, extension) + extensionSize;
    auto block = static_cast<DeviceBlock *>(KernelAllocate(NonPagedPool, size, kDeviceTag, false));
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(block, 0, size);
    PDEVICE_OBJECT device = &block->device;
    device->Type = IO_TYPE_DEVICE;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = characteristics & ~ULONG(FILE_AUTOGENERATED_DEVICE_NAME);
    device->DeviceExtension = extensionSize ? block->extension : nullptr;
    device->DeviceType = deviceType;
    device->StackSize = 1;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    block->objectExtension.Type = 13;
    block->objectExtension.Size = sizeof(DEVOBJ_EXTENSION);
    block->objectExtension.DeviceObject = device;
    device->DeviceObjectExtension = &block->objectExtension;
    if (!name.empty()) {
        S().deviceNames[Upper(name)] = device;
        S().deviceNameOf[device] = name;
    }
    *deviceOut = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT device)
{
    // A device above may still be attached: during removal it detaches after the lower one deleted itself.
    if (PDEVICE_OBJECT below = device->DeviceObjectExtension->AttachedTo) {
        Violation(Rule::DeviceDeletedWhileAttached,
                  "IoDeleteDevice of " + DeviceLabel(device) + " still attached to " + DeviceLabel(below),
                  ULONG_PTR(device), ULONG_PTR(below));
        IoDetachDevice(below);
    }
    bool freeNow;
    {
        std::lock_guard guard(S().objectLock);
        PDEVICE_OBJECT *link = &device->DriverObject->DeviceObject;
        while (*link && *link != device) link = &(*link)->NextDevice;
        if (*link) *link = device->NextDevice;
        if (auto it = S().deviceNameOf.find(device); it != S().deviceNameOf.end()) {
            S().deviceNames.erase(Upper(it->second));
            S().deviceNameOf.erase(it);
        }
        S().labels.erase(device);
        S().pdos.erase(device);
        freeNow = device->ReferenceCount <= 0;
        if (!freeNow) S().deletePending.insert(device);
    }
    if (freeNow) FreeDeviceBlock(device);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device)
{
    std::lock_guard guard(S().objectLock);
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device)
{
    std::lock_guard guard(S().objectLock);
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    std::lock_guard guard(S().objectLock);
    if (!target || S().deletePending.count(target)) return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    top->AttachedDevice = source;
    source->StackSize = CCHAR(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    source->DeviceObjectExtension->AttachedTo = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT target)
{
    std::lock_guard guard(S().objectLock);
    if (PDEVICE_OBJECT above = target->AttachedDevice) {
        above->DeviceObjectExtension->AttachedTo = nullptr;
        target->AttachedDevice = nullptr;
    }
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING linkName, PUNICODE_STRING deviceName)
{
    std::lock_guard guard(S().objectLock);
    std::u16string link = Upper(Normalise(FromUnicodeString(*linkName)));
    if (S().symbolicLinks.count(link)) return STATUS_OBJECT_NAME_COLLISION;
    S().symbolicLinks[link] = FromUnicodeString(*deviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING linkName)
{
    std::lock_guard guard(S().objectLock);
    return S().symbolicLinks.erase(Upper(Normalise(FromUnicodeString(*linkName)))) ? STATUS_SUCCESS
                                                                                  : STATUS_OBJECT_NAME_NOT_FOUND;
}

LONG_PTR ObfReferenceObject(PVOID object)
{
    auto type = *static_cast<CSHORT *>(object);
    if (type == IO_TYPE_DEVICE) return InterlockedIncrement(&static_cast<PDEVICE_OBJECT>(object)->ReferenceCount);
    std::lock_guard guard(S().objectLock);
    if (type == IO_TYPE_FILE)
        if (auto it = S().files.find(static_cast<PFILE_OBJECT>(object)); it != S().files.end())
            return ++it->second.references;
    return 1;
}

LONG_PTR ObfDereferenceObject(PVOID object)
{
    auto type = *static_cast<CSHORT *>(object);
    if (type == IO_TYPE_DEVICE) {
        auto device = static_cast<PDEVICE_OBJECT>(object);
        LONG left = InterlockedDecrement(&device->ReferenceCount);
        bool freeNow;
        {
            std::lock_guard guard(S().objectLock);
            freeNow = left <= 0 && S().deletePending.count(device);
        }
        if (freeNow) FreeDeviceBlock(device);
        return left;
    }
    if (type != IO_TYPE_FILE) return 0;
    auto file = static_cast<PFILE_OBJECT>(object);
    PDEVICE_OBJECT target;
    {
        std::lock_guard guard(S().objectLock);
        auto it = S().files.find(file);
        if (it == S().files.end()) return 0;
        if (--it->second.references > 0) return it->second.references;
        target = it->second.target;
    }
    for (UCHAR major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
        IoRequest request;
        request.major = major;
        request.file = file;
        request.device = target;
        CallRequest(request);
    }
    DeleteFile(file);
    return 0;
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING objectName, ACCESS_MASK, PFILE_OBJECT *fileObject,
                                  PDEVICE_OBJECT *deviceObject)
{
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive,
                  "IoGetDeviceObjectPointer at IRQL " + std::to_string(T().irql), T().irql);
    NTSTATUS status;
    PFILE_OBJECT file = OpenDevice(FromUnicodeString(*objectName), &status);
    if (!file) return status;
    *fileObject = file;
    std::lock_guard guard(S().objectLock);
    *deviceObject = S().files[file].target;
    return STATUS_SUCCESS;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID *classGuid, PUNICODE_STRING referenceString,
                                   PUNICODE_STRING symbolicLinkName)
{
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive,
                  "IoRegisterDeviceInterface at IRQL " + std::to_string(T().irql), T().irql);
    std::u16string instance, reference;
    {
        std::lock_guard guard(S().objectLock);
        auto it = S().pdos.find(pdo);
        if (it == S().pdos.end()) return STATUS_INVALID_DEVICE_REQUEST;
        instance = it->second.properties.instancePath;
    }
    for (auto &c : instance)
        if (c == u'\\') c = u'#';
    if (referenceString && referenceString->Buffer) reference = FromUnicodeString(*referenceString);
    std::u16string link = u"\\??\\" + instance + u"#" + GuidString(*classGuid);
    if (!reference.empty()) link += u"\\" + reference;
    auto buffer = static_cast<PWSTR>(
        KernelAllocate(PagedPool, (link.size() + 1) * sizeof(WCHAR), host::Tag("IoDi"), true));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.data(), link.size() * sizeof(WCHAR));
    buffer[link.size()] = 0;
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
    symbolicLinkName->MaximumLength = USHORT(symbolicLinkName->Length + sizeof(WCHAR));
    std::lock_guard guard(S().objectLock);
    for (auto &entry : S().interfaces)
        if (Upper(entry.record.symbolicLink) == Upper(link)) return STATUS_SUCCESS;
    S().interfaces.push_back(InterfaceEntry{DeviceInterfaceRecord{link, reference, *classGuid, pdo, false}});
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable)
{
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive,
                  "IoSetDeviceInterfaceState at IRQL " + std::to_string(T().irql), T().irql);
    std::u16string link = FromUnicodeString(*symbolicLinkName);
    std::lock_guard guard(S().objectLock);
    for (auto &entry : S().interfaces) {
        if (Upper(entry.record.symbolicLink) != Upper(link)) continue;
        entry.record.enabled = enable != FALSE;
        std::u16string key = Upper(Normalise(link));
        if (enable) {
            std::u16string target = S().deviceNameOf[entry.record.physicalDevice];
            if (!entry.record.referenceString.empty()) target += u"\\" + entry.record.referenceString;
            S().symbolicLinks[key] = target;
        } else {
            S().symbolicLinks.erase(key);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                             PVOID buffer, PULONG resultLength)
{
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive, "IoGetDeviceProperty at IRQL " + std::to_string(T().irql),
                  T().irql);
    std::u16string value;
    bool multi = false;
    {
        std::lock_guard guard(S().objectLock);
        auto it = S().pdos.find(device);
        if (it == S().pdos.end()) return STATUS_INVALID_DEVICE_REQUEST;
        const PdoProperties &p = it->second.properties;
        switch (property) {
        case DevicePropertyDriverKeyName: value = p.driverKeyName; break;
        case DevicePropertyHardwareID: value = p.hardwareId; multi = true; break;
        case DevicePropertyClassName: value = p.className; break;
        case DevicePropertyFriendlyName:
        case DevicePropertyDeviceDescription: value = p.friendlyName; break;
        case DevicePropertyPhysicalDeviceObjectName: value = S().deviceNameOf[device]; break;
        case DevicePropertyEnumeratorName: value = p.instancePath.substr(0, p.instancePath.find(u'\\')); break;
        default: return STATUS_INVALID_PARAMETER;
        }
    }
    if (value.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    value.push_back(0);
    if (multi) value.push_back(0);
    ULONG needed = ULONG(value.size() * sizeof(WCHAR));
    *resultLength = needed;
    if (bufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, value.data(), needed);
    return STATUS_SUCCESS;
}

}  // extern "C"
