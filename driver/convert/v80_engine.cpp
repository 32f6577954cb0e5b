// The V.80 engine object: its FIFOs, states and public operations. The byte
// level lives in v80_transparency.cpp.
#include "zyrva_driver.h"

PV80_CONTEXT V80_Create(ULONG TxFifoSize, ULONG RxFifoSize, ULONG AutoDetect)
{
    PV80_CONTEXT engine = static_cast<PV80_CONTEXT>(OsHeapAllocate(sizeof(V80_CONTEXT)));
    if (!engine) return NULL;
    RtlZeroMemory(engine, sizeof(V80_CONTEXT));
    engine->TxFifo = FIFOCreate(TxFifoSize);
    if (engine->TxFifo) engine->RxFifo = FIFOCreate(RxFifoSize);
    if (!engine->RxFifo) {
        V80_Delete(engine);
        return NULL;
    }
    engine->StatusCallback = NULL;
    engine->AutoDetect = AutoDetect;
    FIFOFlush(engine->TxFifo);
    FIFOFlush(engine->RxFifo);
    V80_Init(engine);
    return engine;
}

VOID V80_Delete(PV80_CONTEXT Engine)
{
    if (Engine->RxFifo) FIFODelete(Engine->RxFifo);
    if (Engine->TxFifo) FIFODelete(Engine->TxFifo);
    OsHeapFree(Engine);
}

VOID V80_Init(PV80_CONTEXT Engine)
{
    Engine->CommandRemaining = 0;
    Engine->PrevRxChar = 0;
    Engine->CommandCode = 0;
    Engine->CommandLength = 0;
    Engine->State = Engine->AutoDetect ? V80_STATE_DETECT : V80_STATE_INACTIVE;
    Engine->DetectLength = 0;
}

VOID V80_SetStatusCallback(PV80_CONTEXT Engine, V80_STATUS_CALLBACK Callback, PVOID Context)
{
    Engine->StatusCallback = Callback;
    Engine->CallbackContext = Context;
}

VOID V80_Control(PV80_CONTEXT Engine, ULONG Code)
{
    if (Code == V80_CONTROL_CONNECT) {
        // No announcement came before the carrier: the call runs without V.80.
        if (Engine->State == V80_STATE_DETECT) Engine->State = V80_STATE_INACTIVE;
    } else if (Code == V80_CONTROL_DISCONNECT) {
        if (Engine->State == V80_STATE_ACTIVE) Engine->State = V80_STATE_DECODE_ONLY;
        else V80_Init(Engine);
    }
}

ULONG V80_CheckIfV80Active(PV80_CONTEXT Engine) { return Engine->State == V80_STATE_ACTIVE ? 1 : 0; }

ULONG V80_FromDteToModem(PV80_CONTEXT Engine, ULONG Mode, const UCHAR *Data, ULONG Length, PUCHAR Out,
                         PULONG OutLength)
{
    ULONG result = 0;
    if (Mode == V80_DTE_DATA) result = V80ConvertFromDteChar(Engine, Data, Length);
    else if (Mode == V80_DTE_AT_COMMAND) result = V80ConvertAtCmd(Engine, Data, Length);
    *OutLength = *OutLength ? FIFORead(Engine->TxFifo, Out, *OutLength) : 0;
    return result;
}

ULONG V80_FromModemToDte(PV80_CONTEXT Engine, const UCHAR *Data, ULONG Length, UCHAR EventChar)
{
    return V80ConvertFromModemChar(Engine, Data, Length, EventChar);
}

ULONG V80_GetModemToDteData(PV80_CONTEXT Engine, PUCHAR Out, ULONG MaxLength)
{
    return FIFORead(Engine->RxFifo, Out, MaxLength);
}

ULONG V80_GetModemToDteCount(PV80_CONTEXT Engine) { return FIFOGetCount(Engine->RxFifo); }

VOID V80_PurgeModemToDteData(PV80_CONTEXT Engine) { FIFOFlush(Engine->RxFifo); }
