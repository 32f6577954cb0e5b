// Requests to the modem port that must have come back before the caller goes on.
#include "zyrva_driver.h"

// One body, two names: the completion of CallDriverSync and of IssueModemCtlIrp.
NTSTATUS NTAPI ModemIoCtl_IoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the request stays with its sender
}
#define CallDriverSyncCompletion ModemIoCtl_IoCompletion

NTSTATUS CallDriverSync(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, CallDriverSyncCompletion, &event, TRUE, TRUE, TRUE);
    IofCallDriver(DeviceObject, Irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

NTSTATUS CallNextDriverSync(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IncrementPendingActionCount(Extension);
    NTSTATUS status = CallDriverSync(Extension->LowerDeviceObject, Irp);
    DecrementPendingActionCount(Extension);
    return status;
}

NTSTATUS IssueModemCtlIrp(PDEVICE_EXTENSION Extension, ULONG InputLength, ULONG OutputLength, PVOID Buffer,
                          ULONG IoControlCode, PKEVENT Event)
{
    PIRP irp = IoAllocateIrp(Extension->LowerDeviceObject->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    Extension->CtlIrp = irp;
    KeClearEvent(Event);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->AssociatedIrp.SystemBuffer = Buffer;
    IoSetCompletionRoutine(irp, ModemIoCtl_IoCompletion, Event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(Extension->LowerDeviceObject, irp);
    if (status != STATUS_SUCCESS) {
        if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
            KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
        } else if (!KeReadStateEvent(Event)) {
            // Pended at DISPATCH_LEVEL, where nothing may wait: ask the port to give it back.
            IoCancelIrp(irp);
            if (!KeReadStateEvent(Event)) {
                // Still below: freeing it would corrupt the port; it stays recorded in CtlIrp.
                DbgPrint("IssueModemCtlIrp : STATUS_PENDING\n");
                return STATUS_PENDING;
            }
        }
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    Extension->CtlIrp = NULL;
    return status;
}
