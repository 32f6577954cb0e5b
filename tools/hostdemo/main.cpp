// A short tour of the host kernel: a loopback serial port driver, built on the
// driver's FIFO, is added and started by the Plug and Play manager, opened by
// name, written and read through buffered I/O, closed and removed, and the
// requests that crossed each device are printed as a timeline.
#include <host/harness.h>

#include "zyrva_driver.h"

#include <cstdio>
#include <string>

namespace {

struct Loopback {
    PDEVICE_OBJECT lower;
    PFIFO bytes;
};

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS LoopbackDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto *port = static_cast<Loopback *>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto *buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: return Finish(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_WRITE: return Finish(irp, STATUS_SUCCESS, FIFOWrite(port->bytes, buffer, stack->Parameters.Write.Length));
    case IRP_MJ_READ: return Finish(irp, STATUS_SUCCESS, FIFORead(port->bytes, buffer, stack->Parameters.Read.Length));
    case IRP_MJ_PNP: {
        bool remove = stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
        PDEVICE_OBJECT lower = port->lower;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (remove) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\COM9"));
            IoDeleteSymbolicLink(&link);
            FIFODelete(port->bytes);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    case IRP_MJ_POWER: IoSkipCurrentIrpStackLocation(irp); return PoCallDriver(port->lower, irp);
    default: return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS LoopbackAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\Loopback0"));
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Loopback), &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *port = static_cast<Loopback *>(device->DeviceExtension);
    port->bytes = FIFOCreate(64);
    if (!port->bytes) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    port->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\COM9"));
    IoCreateSymbolicLink(&link, &name);
    host::SetDeviceLabel(device, "loopback");
    return STATUS_SUCCESS;
}

NTSTATUS LoopbackEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &entry : driver->MajorFunction) entry = LoopbackDispatch;
    driver->DriverExtension->AddDevice = LoopbackAddDevice;
    return STATUS_SUCCESS;
}

}  // namespace

int main()
{
    host::Kernel kernel;
    host::SetTraceSink([](const host::TraceRecord &record) {
        if (record.kind != host::TraceRecord::Kind::Return) std::printf("  %s\n", host::DescribeTrace(record).c_str());
    });
    std::printf("host kernel booted (deterministic schedule, virtual clock)\n");
    PDRIVER_OBJECT driver = host::LoadDriver({u"loopback", LoopbackEntry, {ZYR_POOL_TAG}});
    PDEVICE_OBJECT pdo = host::CreatePdo({u"ROOT\\PORTS\\0000"});
    std::printf("add and start the port:\n");
    host::AddDevice(driver, pdo);
    host::StartDevice(pdo);

    std::printf("open \\\\.\\COM9, write and read back:\n");
    PFILE_OBJECT file = host::OpenDevice(u"\\\\.\\COM9");
    host::IoRequest write;
    write.major = IRP_MJ_WRITE;
    write.file = file;
    std::string text = "ATZ\r";
    write.input.assign(text.begin(), text.end());
    host::CallRequest(write);
    host::AdvanceTimeMs(5);
    host::IoRequest read;
    read.major = IRP_MJ_READ;
    read.file = file;
    read.outputLength = 16;
    host::IoResult result = host::CallRequest(read);
    std::string echoed(result.output.begin(), result.output.end());
    std::printf("  read back %zu bytes: \"%s\\r\"\n", echoed.size(), echoed.substr(0, echoed.size() - 1).c_str());
    host::CloseDevice(file);

    std::printf("remove the port and unload:\n");
    host::RemoveDevice(pdo);
    host::UnloadDriver(driver);
    host::SetTraceSink(nullptr);
    std::printf("pool with the driver's tag after removal: %zu allocations; bug checks: %zu\n",
                host::PoolByTag(ZYR_POOL_TAG).allocations, host::BugChecks().size());
    return host::BugChecks().empty() && echoed == text ? 0 : 1;
}
