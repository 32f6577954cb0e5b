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

// ---- Driver core ----
// Signature of the device extension: its bytes in memory read "ZYRv".
#define ZYR_SIGNATURE ((ULONG)0x7652595A)

#define DeviceStateAdded 0
#define DeviceStateStarting 1
#define DeviceStateStarted 2
#define DeviceStateStartFailed 3
#define DeviceStateStopped 4
#define DeviceStatePoweredDown 5
#define DeviceStateSurpriseRemoved 6
#define DeviceStateRemoved 7

#define ZYR_TEXT_FIELD_LENGTH 100
#define ZYR_CALLER_ID_LENGTH 204
#define ZYR_INBAND_RESPONSE_LENGTH 1500

#pragma pack(push, 1)
// The handset-exclusive relay, as the registry value and the extension hold it.
struct HANDSET_EXCLUSIVE {
    UCHAR Enabled;
    USHORT Register;
    UCHAR OnHookValue;
    UCHAR ReconnectValue;
};
#pragma pack(pop)
static_assert(sizeof(HANDSET_EXCLUSIVE) == 5, "the handset record is 5 bytes");

struct DEVICE_EXTENSION {
    // Identity and device stack
    ULONG Signature;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    ULONG DeviceState;
    BOOLEAN DeviceStarted;
    // Close handshake
    KEVENT CloseEvent;
    ULONG CloseWaiting;
    // Removal
    LONG PendingActionCount;
    KEVENT RemoveEvent;
    // Control-request events
    KEVENT ModemStatusEvent;
    KEVENT CommStatusEvent;
    // Deferred procedure calls
    KDPC KickModemReadDpc;
    KDPC KickModemWriteDpc;
    KDPC KickModemWaitMaskDpc;
    KDPC TotalReadTimeoutDpc;
    KDPC ReadIntervalTimeoutDpc;
    KDPC TotalWriteTimeoutDpc;
    KDPC UserResponseTimeOutDpc;
    // Timers
    KTIMER ReadTotalTimer;
    KTIMER ReadIntervalTimer;
    KTIMER WriteTotalTimer;
    KTIMER UserResponseTimer;
    // Channel objects and modem-side state
    PV80_CONTEXT V80Context;
    PIRP TxIrp;
    PUCHAR TxBuffer;
    BOOLEAN TxBusy;
    PIRP RxIrp;
    PUCHAR RxBuffer;
    BOOLEAN RxBusy;
    PIRP CtlIrp;
    ULONG ModemStatus;
    SERIAL_STATUS CommStatus;
    PIRP WaitMaskIrp;
    ULONG ModemEvents;
    BOOLEAN WaitMaskBusy;
    ULONG WaitMask;
    ULONG EventHistory;
    PFIFO DteRxFifo;
    BOOLEAN CtsHeld;
    BOOLEAN CtsChanged;
    BOOLEAN CarrierDetected;
    // Diagnostics and modem-on-hold state
    PVOID DiagCallbackTable;
    ULONG DiagMohStatus;
    ULONG DiagModemState;
    ULONG MohResetValue;
    ULONG DiagMohRemoteResponse;
    CHAR CallerId[ZYR_CALLER_ID_LENGTH];
    ULONG MohLocalDecision;
    ULONG MohState;
    ULONG MohAuxValue;
    BOOLEAN MohOutgoingCall;
    ULONG MohHoldDuration;
    CHAR InBandResponseBuffer[ZYR_INBAND_RESPONSE_LENGTH + 1];
    ULONG InBandResponseLength;
    BOOLEAN RegistryFirstRead;
    HANDSET_EXCLUSIVE HandsetExclusive;
    UCHAR MohMethod;
    UCHAR VcidSetting;
    UCHAR PcwSetting;
    ULONG PmhSetting;
    ULONG Connected;
    CHAR UserInitString[ZYR_TEXT_FIELD_LENGTH];
    CHAR PendingVcidCmd[ZYR_TEXT_FIELD_LENGTH];
    CHAR PendingPcwCmd[ZYR_TEXT_FIELD_LENGTH];
    CHAR PendingPmhCmd[ZYR_TEXT_FIELD_LENGTH];
    CHAR PhfaPrefixIncoming[ZYR_TEXT_FIELD_LENGTH];
    CHAR PhfrPrefixIncoming[ZYR_TEXT_FIELD_LENGTH];
    CHAR PhfiPrefixIncoming[ZYR_TEXT_FIELD_LENGTH];
    CHAR PhfaPrefixOutgoing[ZYR_TEXT_FIELD_LENGTH];
    CHAR PhfrPrefixOutgoing[ZYR_TEXT_FIELD_LENGTH];
    PDEVICE_OBJECT DiagServerDevice;
    PFILE_OBJECT DiagServerFileObject;
    BOOLEAN DiagServerConnected;
    // Names
    UNICODE_STRING DriverKeyPath;
    UNICODE_STRING PortName;
    UNICODE_STRING InterfaceLinkName;
    DEVICE_CAPABILITIES DeviceCapabilities;
    // Application-side requests
    LIST_ENTRY ReadQueue;
    LIST_ENTRY WriteQueue;
    LIST_ENTRY MaskQueue;
    BOOLEAN ChannelOpen;
    PIRP CurrentReadIrp;
    PIRP CurrentWriteIrp;
    PIRP CurrentMaskIrp;
    ULONG ReadRemaining;
    PUCHAR ReadFillPointer;
    ULONG WriteRemaining;
    PUCHAR WritePointer;
    PVOID PagingHandle;
    ULONG BufferSize;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    // Spin locks
    KSPIN_LOCK ControlLock;
    KSPIN_LOCK RxLock;
    KSPIN_LOCK ReadStartLock;
    KSPIN_LOCK TxLock;
};
typedef DEVICE_EXTENSION *PDEVICE_EXTENSION;

// The record through which RegistryQueryCallback hands one value to ReadRegistryEntry.
struct REGISTRY_VALUE {
    PUCHAR Data;
    ULONG Length;
};
typedef REGISTRY_VALUE *PREGISTRY_VALUE;

extern "C" const GUID GUID_CLASS_MODEM_EXPERT_INTERFACE;
