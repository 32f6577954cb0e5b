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

// ---- V.80 in-band signalling engine ----
#define V80_EM 0x19

#define V80_STATE_DETECT 0
#define V80_STATE_INACTIVE 1
#define V80_STATE_DECODE_ONLY 2
#define V80_STATE_ACTIVE 3

#define V80_CONTROL_CONNECT 0
#define V80_CONTROL_DISCONNECT 1

#define V80_DTE_DATA 0
#define V80_DTE_AT_COMMAND 1
#define V80_DTE_DRAIN_ONLY 2

#define V80_RX_OK 0
#define V80_RX_EVENT_CHAR 1
#define V80_RX_FIFO_FULL 2

#define V80_ANNOUNCEMENT_LENGTH 10
#define V80_MAX_AT_COMMAND 94
#define V80_COMMAND_LENGTH_AWAITED 0xFF

// Reports one in-band command: Code is the byte after EM (mask to 8 bits); Data and
// Length are the extended command's body for code 0x60, null and 0 otherwise.
typedef VOID (*V80_STATUS_CALLBACK)(ULONG Code, PUCHAR Data, ULONG Length, PVOID Context);

struct V80_CONTEXT {
    PFIFO TxFifo;                       // converted bytes on their way to the modem
    PFIFO RxFifo;                       // decoded bytes on their way to the application
    V80_STATUS_CALLBACK StatusCallback; // null: reports are dropped
    PVOID CallbackContext;
    ULONG State;                        // V80_STATE_*
    UCHAR DetectBuffer[12];             // announcement bytes matched so far
    ULONG DetectLength;
    ULONG AutoDetect;                   // a reset returns to DETECT when set, INACTIVE when not
    UCHAR CommandRemaining;             // 0 none, 0xFF length byte next, else body bytes still due
    UCHAR PrevRxChar;                   // EM: an escape is pending
    UCHAR CommandCode;                  // 0x30, 0x60 or 0x61
    UCHAR CommandBuffer[256];
    ULONG CommandLength;
    ULONG IbcMode1;                     // the modem announced or commanded "+IBC:1"
};
typedef V80_CONTEXT *PV80_CONTEXT;
