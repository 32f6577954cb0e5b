// The Plug and Play manager a harness drives: loading drivers, the root bus
// and its physical device objects, AddDevice, and the PnP and power requests.
#include "state.h"

#include <cstring>

namespace host::detail {

namespace {

const ULONG kDriverTag = host::Tag("Driv");

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS RootBusDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL: status = STATUS_SUCCESS; break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            caps->Removable = 1;
            caps->SurpriseRemovalOK = 1;
            caps->UniqueID = 1;
            caps->Address = 0;
            caps->UINumber = 0;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
            caps->SystemWake = PowerSystemUnspecified;
            caps->DeviceWake = PowerDeviceUnspecified;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            irp->IoStatus.Information = 0;
            status = STATUS_SUCCESS;
            break;
        default: break;  // not handled: the status stays as it came
        }
        break;
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
            status = STATUS_SUCCESS;
        break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: status = STATUS_SUCCESS; break;
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PDRIVER_OBJECT NewDriverObject(const std::u16string &name)
{
    size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto driver = static_cast<PDRIVER_OBJECT>(KernelAllocate(NonPagedPool, size, kDriverTag, false));
    std::memset(driver, 0, size);
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    std::u16string full = u"\\Driver\\" + name;
    auto buffer = static_cast<PWSTR>(KernelAllocate(NonPagedPool, (full.size() + 1) * 2, kDriverTag, false));
    std::memcpy(buffer, full.data(), full.size() * 2);
    buffer[full.size()] = 0;
    driver->DriverName.Buffer = buffer;
    driver->DriverName.Length = USHORT(full.size() * 2);
    driver->DriverName.MaximumLength = USHORT(full.size() * 2 + 2);
    for (auto &entry : driver->MajorFunction) entry = InvalidDeviceRequest;
    return driver;
}

void FreeDriverObject(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard guard(S().objectLock);
        S().drivers.erase(driver);
    }
    KernelFree(driver->DriverName.Buffer);
    KernelFree(driver);
}

PDRIVER_OBJECT RootBus()
{
    std::lock_guard guard(S().objectLock);
    if (!S().rootBus) {
        PDRIVER_OBJECT bus = NewDriverObject(u"RootBus");
        for (auto &entry : bus->MajorFunction) entry = RootBusDispatch;
        S().rootBus = bus;
        S().drivers[bus] = DriverInfo{};
    }
    return S().rootBus;
}

std::vector<PDRIVER_OBJECT> DriversInStack(PDEVICE_OBJECT pdo)
{
    std::vector<PDRIVER_OBJECT> drivers;
    std::lock_guard guard(S().objectLock);
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice) drivers.push_back(d->DriverObject);
    return drivers;
}

}  // namespace

}  // namespace host::detail

using namespace host;
using namespace host::detail;

namespace host {

PDRIVER_OBJECT LoadDriver(const DriverOptions &options, NTSTATUS *statusOut)
{
    PDRIVER_OBJECT driver = NewDriverObject(options.name);
    driver->DriverInit = options.entry;
    {
        std::lock_guard guard(S().objectLock);
        S().drivers[driver] = DriverInfo{options.poolTags};
    }
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + options.name;
    UNICODE_STRING registryPath;
    registryPath.Buffer = reinterpret_cast<PWSTR>(path.data());
    registryPath.Length = USHORT(path.size() * 2);
    registryPath.MaximumLength = registryPath.Length;
    NTSTATUS status = options.entry(driver, &registryPath);
    if (statusOut) *statusOut = status;
    if (!NT_SUCCESS(status)) {
        FreeDriverObject(driver);
        return nullptr;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject) {
        Violation(Rule::DriverUnloadedWithDevices,
                  "driver " + ToNarrow(FromUnicodeString(driver->DriverName)) + " unloaded with devices left",
                  ULONG_PTR(driver), ULONG_PTR(driver->DeviceObject));
        return;
    }
    if (driver->DriverUnload) driver->DriverUnload(driver);
    CheckDriverPool(driver, "when its driver was unloaded");
    FreeDriverObject(driver);
}

PDEVICE_OBJECT CreatePdo(const PdoProperties &properties)
{
    PDRIVER_OBJECT bus = RootBus();
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return nullptr;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    std::lock_guard guard(S().objectLock);
    S().pdos[pdo] = PdoInfo{properties};
    SetDeviceLabel(pdo, "pdo");
    return pdo;
}

void DeletePdo(PDEVICE_OBJECT pdo)
{
    {
        std::lock_guard guard(S().objectLock);
        auto &list = S().interfaces;
        for (auto it = list.begin(); it != list.end();) {
            if (it->record.physicalDevice == pdo) {
                S().symbolicLinks.erase(Upper(it->record.symbolicLink));
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    }
    IoDeleteDevice(pdo);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (!driver->DriverExtension->AddDevice) return STATUS_NOT_SUPPORTED;
    return driver->DriverExtension->AddDevice(driver, pdo);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo) { return IoGetAttachedDevice(pdo); }

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR *information)
{
    std::vector<PDRIVER_OBJECT> drivers = DriversInStack(pdo);
    // The PnP manager holds the stack's devices while a request runs: one deleted
    // during removal stays in memory until the devices above have detached.
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice) {
        ObfReferenceObject(d);
        stack.push_back(d);
    }
    IoRequest request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.device = IoGetAttachedDevice(pdo);
    request.initialStatus = STATUS_NOT_SUPPORTED;
    request.requestorMode = KernelMode;
    IoResult result = CallRequest(request);
    for (PDEVICE_OBJECT d : stack) ObfDereferenceObject(d);
    if (information) *information = result.information;
    if (minor == IRP_MN_REMOVE_DEVICE)
        for (PDRIVER_OBJECT driver : drivers)
            if (!driver->DeviceObject) CheckDriverPool(driver, "after its last device was removed");
    return result.status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_START_DEVICE); }

NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *capabilities)
{
    std::memset(capabilities, 0, sizeof *capabilities);
    capabilities->Size = sizeof *capabilities;
    capabilities->Version = 1;
    capabilities->Address = MAXULONG;
    capabilities->UINumber = MAXULONG;
    IoRequest request;
    request.major = IRP_MJ_PNP;
    request.minor = IRP_MN_QUERY_CAPABILITIES;
    request.device = IoGetAttachedDevice(pdo);
    request.initialStatus = STATUS_NOT_SUPPORTED;
    request.requestorMode = KernelMode;
    request.prepare = [capabilities](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.DeviceCapabilities.Capabilities = capabilities;
    };
    return CallRequest(request).status;
}

NTSTATUS StopDevice(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return SendPnp(pdo, IRP_MN_STOP_DEVICE);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    return SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL); }

static NTSTATUS SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state)
{
    IoRequest request;
    request.major = IRP_MJ_POWER;
    request.minor = IRP_MN_SET_POWER;
    request.device = IoGetAttachedDevice(pdo);
    request.initialStatus = STATUS_NOT_SUPPORTED;
    request.requestorMode = KernelMode;
    request.prepare = [type, state](PIRP, PIO_STACK_LOCATION next) {
        next->Parameters.Power.Type = type;
        next->Parameters.Power.State = state;
        next->Parameters.Power.ShutdownType = PowerActionNone;
    };
    return CallRequest(request).status;
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return SetPower(pdo, DevicePowerState, power);
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return SetPower(pdo, SystemPowerState, power);
}

}  // namespace host
