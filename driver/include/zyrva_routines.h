// The routines each subsystem offers the others.
#pragma once

#include "zyrva_types.h"

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
