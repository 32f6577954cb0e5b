#include "modem_stack.h"

#include "zyrva_driver.h"

#include <stdexcept>

namespace zyrva {

std::string DefaultRegistryFile() { return ZYR_SOURCE_DIR "/config/modem.reg"; }

ModemStack::ModemStack(const std::string &registryFile, bool withFilter)
{
    host::RegistryImportFile(registryFile);
    portDriver_ = sim::ModemPort::LoadDriver();
    if (withFilter) {
        filterDriver_ = host::LoadDriver({u"ZyrVa", DriverEntry, {ZYR_POOL_TAG}});
        if (!filterDriver_) throw std::runtime_error("the filter's DriverEntry failed");
    }
    host::PdoProperties properties;
    properties.instancePath = u"ROOT\\MODEM\\0000";
    properties.driverKeyName = kDriverKeyName;
    properties.hardwareId = u"ZYRMODEM_V92";
    properties.className = u"Modem";
    properties.friendlyName = u"ZyrModem V.92 Data Fax Modem";
    pdo_ = host::CreatePdo(properties);
    NTSTATUS status = host::AddDevice(portDriver_, pdo_);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the port's AddDevice failed");
    port_ = sim::ModemPort::ForPdo(pdo_);
    if (filterDriver_) {
        addStatus = host::AddDevice(filterDriver_, pdo_);
        if (PDEVICE_OBJECT filter = Filter()) host::SetDeviceLabel(filter, "filter");
    }
}

ModemStack::~ModemStack()
{
    if (!removed_) Remove();
    if (filterDriver_) host::UnloadDriver(filterDriver_);
    host::UnloadDriver(portDriver_);
    host::DeletePdo(pdo_);
}

PDEVICE_OBJECT ModemStack::Filter() const
{
    if (!filterDriver_) return nullptr;
    for (PDEVICE_OBJECT d = pdo_->AttachedDevice; d; d = d->AttachedDevice)
        if (d->DriverObject == filterDriver_) return d;
    return nullptr;
}

NTSTATUS ModemStack::Start() { return host::StartDevice(pdo_); }

NTSTATUS ModemStack::Remove()
{
    removed_ = true;
    return host::SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
}

}  // namespace zyrva
