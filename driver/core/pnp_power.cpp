// Plug and Play and power: a thin filter that lets the lower drivers go first,
// keeps DeviceState for the dispatch routine and tears down on removal.
#include "zyrva_driver.h"

static NTSTATUS CompleteHere(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS StartDevice(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ZyrWriteUlong(&Extension->DeviceState, DeviceStateStarting);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = CallNextDriverSync(Extension, Irp);
    if (NT_SUCCESS(status)) status = GetDeviceCapabilities(Extension);
    if (NT_SUCCESS(status)) {
        ZyrWriteUlong(&Extension->DeviceState, DeviceStateStarted);
        Extension->DeviceStarted = TRUE;
    } else {
        ZyrWriteUlong(&Extension->DeviceState, DeviceStateStartFailed);
    }
    return CompleteHere(Irp, status);
}

static NTSTATUS RemoveDevice(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (ZyrReadUlong(&Extension->DeviceState) == DeviceStateRemoved) return PassIrpDown(Extension, Irp);
    ZyrWriteUlong(&Extension->DeviceState, DeviceStateRemoved);
    NTSTATUS status = PassIrpDown(Extension, Irp);
    // The extra decrement: the count goes below zero once every counted action has left.
    DecrementPendingActionCount(Extension);
    KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    if (Extension->DeviceStarted) {
        Extension->DeviceStarted = FALSE;
        if (Extension->ChannelOpen) ZyrVaCloseChannel(Extension);
    }
    // Released whether or not a start ever succeeded, so that nothing outlives the device.
    if (Extension->DriverKeyPath.Buffer) RtlFreeUnicodeString(&Extension->DriverKeyPath);
    if (Extension->PortName.Buffer) RtlFreeUnicodeString(&Extension->PortName);
    if (Extension->InterfaceLinkName.Buffer) {
        IoSetDeviceInterfaceState(&Extension->InterfaceLinkName, FALSE);
        RtlFreeUnicodeString(&Extension->InterfaceLinkName);
        Extension->InterfaceLinkName.Buffer = NULL;
    }
    IoDetachDevice(Extension->LowerDeviceObject);
    IoDeleteDevice(Extension->DeviceObject);
    return status;
}

NTSTATUS ZYRVA_PnP(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartDevice(Extension, Irp);
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(Extension, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassIrpDown(Extension, Irp);
    case IRP_MN_STOP_DEVICE:
        if (ZyrReadUlong(&Extension->DeviceState) == DeviceStatePoweredDown) return CompleteHere(Irp, STATUS_DEVICE_POWER_FAILURE);
        if (ZyrReadUlong(&Extension->DeviceState) == DeviceStateStarted) ZyrWriteUlong(&Extension->DeviceState, DeviceStateStopped);
        return PassIrpDown(Extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        // The channel stays: an open handle keeps it until its close.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        ZyrWriteUlong(&Extension->DeviceState, DeviceStateSurpriseRemoved);
        return PassIrpDown(Extension, Irp);
    default: return PassIrpDown(Extension, Irp);
    }
}

NTSTATUS GetDeviceCapabilities(PDEVICE_EXTENSION Extension)
{
    PIRP irp = IoAllocateIrp(Extension->LowerDeviceObject->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(&Extension->DeviceCapabilities, sizeof(DEVICE_CAPABILITIES));
    Extension->DeviceCapabilities.Size = sizeof(DEVICE_CAPABILITIES);
    Extension->DeviceCapabilities.Version = 1;
    Extension->DeviceCapabilities.Address = MAXULONG;
    Extension->DeviceCapabilities.UINumber = MAXULONG;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &Extension->DeviceCapabilities;
    // The platform's rule for a Plug and Play request a driver sends itself.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = CallNextDriverSync(Extension, irp);
    IoFreeIrp(irp);
    return status;
}

static BOOLEAN IsDeviceSetPower(PIO_STACK_LOCATION Stack)
{
    return Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == DevicePowerState;
}

NTSTATUS ZYRVA_Power(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (IsDeviceSetPower(stack) && stack->Parameters.Power.State.DeviceState >= PowerDeviceD1 &&
        stack->Parameters.Power.State.DeviceState <= PowerDeviceD3 && ZyrReadUlong(&Extension->DeviceState) == DeviceStateStarted)
        ZyrWriteUlong(&Extension->DeviceState, DeviceStatePoweredDown);
    // Counted until the completion routine has run.
    IncrementPendingActionCount(Extension);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ZYRVA_PowerComplete, Extension, TRUE, TRUE, TRUE);
    return PoCallDriver(Extension->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI ZYRVA_PowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(Context);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status) && IsDeviceSetPower(stack) &&
        stack->Parameters.Power.State.DeviceState == PowerDeviceD0 && ZyrReadUlong(&extension->DeviceState) == DeviceStatePoweredDown)
        ZyrWriteUlong(&extension->DeviceState, DeviceStateStarted);
    PoStartNextPowerIrp(Irp);
    DecrementPendingActionCount(extension);
    return STATUS_SUCCESS;
}
