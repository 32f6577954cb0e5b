// Records and constants shared by every subsystem of the driver.
#pragma once

#include "zyrva_kernel.h"

// Pool tag 'ZYRv': its bytes in memory read "vRYZ".
#define ZYR_POOL_TAG ((ULONG)0x5A595276)

// Byte ring buffer; no lock of its own, callers serialise every call on one FIFO.
struct FIFO {
    PUCHAR Start;  // first byte of the storage
    PUCHAR End;    // one past the last byte: Start + Size
    ULONG Size;    // capacity, fixed at creation
    ULONG Count;   // bytes stored, 0..Size
    PUCHAR Head;   // next byte to read
    PUCHAR Tail;   // next free byte to write
};
typedef FIFO *PFIFO;
