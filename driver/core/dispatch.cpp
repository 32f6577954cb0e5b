// Every request enters here: counted while inside, refused once the device is
// going away, and routed by major function.
#include "zyrva_driver.h"

VOID IncrementPendingActionCount(PDEVICE_EXTENSION Extension) { InterlockedIncrement(&Extension->PendingActionCount); }

VOID DecrementPendingActionCount(PDEVICE_EXTENSION Extension)
{
    // Below zero only after the removal's extra decrement: the last action has left.
    if (InterlockedDecrement(&Extension->PendingActionCount) < 0)
        KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS PassIrpDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IofCallDriver(Extension->LowerDeviceObject, Irp);
}

// The open below failed after it succeeded there: close the port again, so
// that it can be opened once more.
static VOID CloseBelow(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    const UCHAR majors[2] = {IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    for (ULONG i = 0; i < 2; i++) {
        PIRP irp = IoAllocateIrp(Extension->LowerDeviceObject->StackSize, FALSE);
        if (!irp) return;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = majors[i];
        next->FileObject = FileObject;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        CallNextDriverSync(Extension, irp);
        IoFreeIrp(irp);
    }
}

static NTSTATUS DispatchCreatePath(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status = ZyrVaDispatchCreate(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        IoCopyCurrentIrpStackLocationToNext(Irp);
        status = CallNextDriverSync(Extension, Irp);
        if (!NT_SUCCESS(status)) {
            ZyrVaCloseChannel(Extension);
        } else {
            // The receive request is sized to what the port holds: no port time-outs at all.
            SERIAL_TIMEOUTS noTimeouts = {0, 0, 0, 0, 0};
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            status = IssueModemCtlIrp(Extension, sizeof(SERIAL_TIMEOUTS), 0, &noTimeouts, IOCTL_SERIAL_SET_TIMEOUTS,
                                      &event);
            if (!NT_SUCCESS(status)) {
                ZyrVaCloseChannel(Extension);
                CloseBelow(Extension, fileObject);
            }
        }
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI ZYRVA_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    // Remembered: the request may be completed before this routine ends.
    UCHAR major = stack->MajorFunction;
    UCHAR minor = stack->MinorFunction;
    BOOLEAN uncounted = major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE;
    NTSTATUS status;

    if (!uncounted) IncrementPendingActionCount(extension);
    if (major != IRP_MJ_PNP && major != IRP_MJ_CLOSE &&
        (ZyrReadUlong(&extension->DeviceState) == DeviceStateSurpriseRemoved || ZyrReadUlong(&extension->DeviceState) == DeviceStateRemoved)) {
        // A power request must still let the next one start.
        if (major == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
        status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    } else {
        switch (major) {
        case IRP_MJ_CREATE: status = DispatchCreatePath(DeviceObject, extension, Irp); break;
        case IRP_MJ_CLOSE:
            ZyrVaDispatchClose(DeviceObject, Irp);
            status = PassIrpDown(extension, Irp);
            break;
        case IRP_MJ_READ: status = ZyrVaDispatchRead(DeviceObject, Irp); break;
        case IRP_MJ_WRITE: status = ZyrVaDispatchWrite(DeviceObject, Irp); break;
        case IRP_MJ_FLUSH_BUFFERS: status = ZyrVaDispatchFlush(DeviceObject, Irp); break;
        case IRP_MJ_DEVICE_CONTROL: status = ZyrVaDispatchIoControl(DeviceObject, Irp); break;
        case IRP_MJ_POWER: status = ZYRVA_Power(extension, Irp); break;
        case IRP_MJ_PNP: status = ZYRVA_PnP(extension, Irp); break;
        default: status = PassIrpDown(extension, Irp); break;
        }
    }
    if (!uncounted) DecrementPendingActionCount(extension);
    return status;
}
