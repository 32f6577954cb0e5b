// The routines each subsystem offers the others.
#pragma once

#include "zyrva_types.h"

// C linkage: names stay the same whichever wide-character type a caller sees.
extern "C" {

// ---- convert: pool memory and the byte FIFO ----
PVOID OsHeapAllocate(ULONG Size);
VOID OsHeapFree(PVOID Memory);

PFIFO FIFOCreate(ULONG Size);
VOID FIFODelete(PFIFO Fifo);
ULONG FIFORead(PFIFO Fifo, PUCHAR Destination, ULONG Length);
ULONG FIFOGetCh(PFIFO Fifo, PUCHAR Byte);
ULONG FIFOWrite(PFIFO Fifo, const UCHAR *Source, ULONG Length);
ULONG FIFOPutCh(PFIFO Fifo, ULONG Byte);
ULONG FIFOGetCount(PFIFO Fifo);
ULONG FIFOGetFree(PFIFO Fifo);
PFIFO FIFOFlush(PFIFO Fifo);

// ---- convert: the V.80 engine ----
PV80_CONTEXT V80_Create(ULONG TxFifoSize, ULONG RxFifoSize, ULONG AutoDetect);
VOID V80_Delete(PV80_CONTEXT Engine);
VOID V80_Init(PV80_CONTEXT Engine);
VOID V80_SetStatusCallback(PV80_CONTEXT Engine, V80_STATUS_CALLBACK Callback, PVOID Context);
VOID V80_Control(PV80_CONTEXT Engine, ULONG Code);
ULONG V80_CheckIfV80Active(PV80_CONTEXT Engine);
ULONG V80_FromDteToModem(PV80_CONTEXT Engine, ULONG Mode, const UCHAR *Data, ULONG Length, PUCHAR Out,
                         PULONG OutLength);
ULONG V80_FromModemToDte(PV80_CONTEXT Engine, const UCHAR *Data, ULONG Length, UCHAR EventChar);
ULONG V80_GetModemToDteData(PV80_CONTEXT Engine, PUCHAR Out, ULONG MaxLength);
ULONG V80_GetModemToDteCount(PV80_CONTEXT Engine);
VOID V80_PurgeModemToDteData(PV80_CONTEXT Engine);

// The byte level of the engine.
ULONG V80ConvertFromDteChar(PV80_CONTEXT Engine, const UCHAR *Data, ULONG Length);
ULONG V80ConvertAtCmd(PV80_CONTEXT Engine, const UCHAR *Command, ULONG Length);
ULONG V80ConvertFromModemChar(PV80_CONTEXT Engine, const UCHAR *Data, ULONG Length, UCHAR EventChar);
ULONG IsV80TransChar(UCHAR Byte);
ULONG TranslateSingleSeq(UCHAR Byte, PUCHAR Out);
VOID CheckExtCmd(PV80_CONTEXT Engine);
ULONG CompareCmd(const UCHAR *Body, ULONG BodyLength, const UCHAR *Constant, ULONG ConstantLength);
VOID ReportStatus(PV80_CONTEXT Engine, ULONG Code, PUCHAR Data, ULONG Length);
ULONG V80_CheckEventCharAndPutRxQ(PV80_CONTEXT Engine, UCHAR Byte, UCHAR EventChar);

// ---- core: entry, dispatch, Plug and Play and power ----
DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE ZYRVA_AddDevice;
DRIVER_UNLOAD ZYRVA_DriverUnload;
DRIVER_DISPATCH ZYRVA_Dispatch;
VOID IncrementPendingActionCount(PDEVICE_EXTENSION Extension);
VOID DecrementPendingActionCount(PDEVICE_EXTENSION Extension);
NTSTATUS PassIrpDown(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS ZYRVA_PnP(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS ZYRVA_Power(PDEVICE_EXTENSION Extension, PIRP Irp);
IO_COMPLETION_ROUTINE ZYRVA_PowerComplete;
NTSTATUS GetDeviceCapabilities(PDEVICE_EXTENSION Extension);

// ---- dte: application-side requests ----
NTSTATUS ZyrVaDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZyrVaDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID ZyrVaCloseChannel(PDEVICE_EXTENSION Extension);
NTSTATUS ZyrVaDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZyrVaDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZyrVaDispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZyrVaDispatchIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
KDEFERRED_ROUTINE DpcTotalReadTimeout;
KDEFERRED_ROUTINE DpcReadIntervalTimeout;
KDEFERRED_ROUTINE DpcTotalWriteTimeout;

// ---- modem: the filter's own requests to the modem port ----
NTSTATUS CallDriverSync(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CallNextDriverSync(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS IssueModemCtlIrp(PDEVICE_EXTENSION Extension, ULONG InputLength, ULONG OutputLength, PVOID Buffer,
                          ULONG IoControlCode, PKEVENT Event);
IO_COMPLETION_ROUTINE ModemIoCtl_IoCompletion;
KDEFERRED_ROUTINE DpcKickModemRead;
KDEFERRED_ROUTINE DpcKickModemWrite;
KDEFERRED_ROUTINE DpcKickModemWaitMask;

// ---- moh: modem-on-hold ----
KDEFERRED_ROUTINE DpcUserResponseTimeOut;

// ---- registry ----
NTSTATUS GetDriverRegistry(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING Path);
NTSTATUS GetPortName(PUNICODE_STRING DriverKey, PUNICODE_STRING Name);
ULONG ReadRegistryEntry(PCWSTR KeyPath, PCWSTR ValueName, PUCHAR Buffer, ULONG BufferSize);
NTSTATUS WriteRegistryEntry(PCWSTR KeyPath, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG DataLength);
NTSTATUS NTAPI RegistryQueryCallback(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                     PVOID Context, PVOID EntryContext);
VOID ConvertUnicodeToChar(PUNICODE_STRING Source, ULONG MaxChars, PUCHAR Destination);

}  // extern "C"
