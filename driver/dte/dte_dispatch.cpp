// The application-side requests. Until the channel takes over the data path,
// the port works through the filter exactly as without it: opens succeed
// without a channel and every data request goes down unchanged.
#include "zyrva_driver.h"

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

NTSTATUS ZyrVaDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS ZyrVaDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_SUCCESS;
}

VOID ZyrVaCloseChannel(PDEVICE_EXTENSION Extension) { Extension->ChannelOpen = FALSE; }

NTSTATUS ZyrVaDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassIrpDown(ExtensionOf(DeviceObject), Irp); }

NTSTATUS ZyrVaDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassIrpDown(ExtensionOf(DeviceObject), Irp); }

NTSTATUS ZyrVaDispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PassIrpDown(ExtensionOf(DeviceObject), Irp); }

NTSTATUS ZyrVaDispatchIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PassIrpDown(ExtensionOf(DeviceObject), Irp);
}

VOID NTAPI DpcTotalReadTimeout(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}

VOID NTAPI DpcReadIntervalTimeout(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}

VOID NTAPI DpcTotalWriteTimeout(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}
