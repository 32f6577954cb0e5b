// The byte level of the V.80 engine: transparency in both directions, AT
// commands wrapped in-band, announcement detection and in-band commands.
#include "zyrva_driver.h"

namespace {

// Code after EM, then the one or two data bytes it stands for (0 = none).
const UCHAR cV80TranCharTable[4][3] = {
    {0x58, 0x99, 0x00},
    {0x59, 0x99, 0x99},
    {0x5C, 0x19, 0x00},
    {0x5D, 0x19, 0x19},
};

const UCHAR cV80FromModemTranCharTable[4][3] = {
    {0x76, 0x99, 0x00},
    {0x77, 0x99, 0x99},
    {0x7C, 0x19, 0x00},
    {0x7D, 0x19, 0x19},
};

const UCHAR InitInbandIBC1Cmd[12] = {0x19, 0x60, 0x26, 'b', '+', 'I', 'B', 'C', ':', '1', 0, 0};
const UCHAR InitInbandIBC2Cmd[12] = {0x19, 0x60, 0x26, 'b', '+', 'I', 'B', 'C', ':', '2', 0, 0};

const UCHAR cIbc0Body[7] = {'b', '+', 'I', 'B', 'C', ':', '0'};
const UCHAR cIbc1Body[7] = {'b', '+', 'I', 'B', 'C', ':', '1'};
const UCHAR cIbc2Body[7] = {'b', '+', 'I', 'B', 'C', ':', '2'};

const UCHAR V80_EXTENDED_CODE = 0x60;
const UCHAR V80_AT_COMMAND_CODE = 0x40;

bool IsCommandCode(UCHAR b) { return b == 0x30 || b == 0x60 || b == 0x61; }

bool IsSingleByteCode(UCHAR b) { return (b >= 0x62 && b <= 0x6F) || (b >= 0x78 && b <= 0x7B) || b == 0x7E; }

// The receive machine's DETECT state for one byte.
ULONG DetectByte(PV80_CONTEXT Engine, UCHAR b, UCHAR EventChar)
{
    ULONG sawEvent = 0;
    if (Engine->DetectLength == 0 && b != V80_EM) return V80_CheckEventCharAndPutRxQ(Engine, b, EventChar);
    ULONG at = Engine->DetectLength;
    if (b == InitInbandIBC1Cmd[at] || b == InitInbandIBC2Cmd[at]) {
        Engine->DetectBuffer[Engine->DetectLength++] = b;
        if (Engine->DetectLength == V80_ANNOUNCEMENT_LENGTH) {
            Engine->State = V80_STATE_ACTIVE;
            Engine->IbcMode1 = b == '1' ? 1 : 0;
        }
        return 0;
    }
    // The match failed: what was held back is ordinary data after all.
    Engine->State = V80_STATE_INACTIVE;
    for (ULONG i = 0; i < Engine->DetectLength; i++)
        sawEvent |= V80_CheckEventCharAndPutRxQ(Engine, Engine->DetectBuffer[i], EventChar);
    Engine->DetectLength = 0;
    sawEvent |= V80_CheckEventCharAndPutRxQ(Engine, b, EventChar);
    return sawEvent;
}

}  // namespace

ULONG IsV80TransChar(UCHAR Byte) { return (Byte == 0x19 || Byte == 0x99) ? 1 : 0; }

ULONG TranslateSingleSeq(UCHAR Byte, PUCHAR Out)
{
    for (ULONG row = 0; row < 4; row++) {
        if (cV80TranCharTable[row][1] == Byte) {
            Out[0] = V80_EM;
            Out[1] = cV80TranCharTable[row][0];
            return 1;
        }
    }
    return 0;
}

ULONG CompareCmd(const UCHAR *Body, ULONG BodyLength, const UCHAR *Constant, ULONG ConstantLength)
{
    if (BodyLength != ConstantLength) return 0;
    for (ULONG i = 0; i < BodyLength; i++)
        if (Body[i] != Constant[i]) return 0;
    return 1;
}

VOID ReportStatus(PV80_CONTEXT Engine, ULONG Code, PUCHAR Data, ULONG Length)
{
    if (Engine->StatusCallback) Engine->StatusCallback(Code, Data, Length, Engine->CallbackContext);
}

ULONG V80_CheckEventCharAndPutRxQ(PV80_CONTEXT Engine, UCHAR Byte, UCHAR EventChar)
{
    FIFOPutCh(Engine->RxFifo, Byte);
    return Byte == EventChar ? 1 : 0;
}

ULONG V80ConvertFromDteChar(PV80_CONTEXT Engine, const UCHAR *Data, ULONG Length)
{
    if (Length == 0) return 0;
    if (Engine->State != V80_STATE_ACTIVE) return FIFOWrite(Engine->TxFifo, Data, Length);
    ULONG consumed = 0;
    for (; consumed < Length; consumed++) {
        if (FIFOGetFree(Engine->TxFifo) < 4) break;
        UCHAR escape[2];
        if (IsV80TransChar(Data[consumed]) && TranslateSingleSeq(Data[consumed], escape)) {
            FIFOPutCh(Engine->TxFifo, escape[0]);
            FIFOPutCh(Engine->TxFifo, escape[1]);
        } else {
            FIFOPutCh(Engine->TxFifo, Data[consumed]);
        }
    }
    return consumed;
}

ULONG V80ConvertAtCmd(PV80_CONTEXT Engine, const UCHAR *Command, ULONG Length)
{
    if (Length == 0 || Length > V80_MAX_AT_COMMAND) return 0;
    if (Engine->State != V80_STATE_ACTIVE) return 0;
    if (FIFOGetFree(Engine->TxFifo) < Length + 4) return 0;
    const UCHAR header[4] = {V80_EM, V80_AT_COMMAND_CODE, static_cast<UCHAR>(Length + 0x20), 'B'};
    FIFOWrite(Engine->TxFifo, header, 4);
    FIFOWrite(Engine->TxFifo, Command, Length);
    return Length;
}

VOID CheckExtCmd(PV80_CONTEXT Engine)
{
    if (Engine->CommandCode != V80_EXTENDED_CODE || Engine->CommandLength == 0 || Engine->CommandBuffer[0] != 'b')
        return;
    if (CompareCmd(Engine->CommandBuffer, Engine->CommandLength, cIbc0Body, sizeof cIbc0Body)) {
        if (Engine->State == V80_STATE_ACTIVE) Engine->State = V80_STATE_DECODE_ONLY;
        else V80_Init(Engine);
    } else if (CompareCmd(Engine->CommandBuffer, Engine->CommandLength, cIbc1Body, sizeof cIbc1Body)) {
        Engine->State = V80_STATE_ACTIVE;
        Engine->IbcMode1 = 1;
    } else if (CompareCmd(Engine->CommandBuffer, Engine->CommandLength, cIbc2Body, sizeof cIbc2Body)) {
        Engine->State = V80_STATE_ACTIVE;
        Engine->IbcMode1 = 0;
    } else {
        ReportStatus(Engine, V80_EXTENDED_CODE, Engine->CommandBuffer, Engine->CommandLength);
    }
}

ULONG V80ConvertFromModemChar(PV80_CONTEXT Engine, const UCHAR *Data, ULONG Length, UCHAR EventChar)
{
    if (Length == 0) return V80_RX_OK;
    ULONG sawEvent = 0;
    for (ULONG i = 0; i < Length; i++) {
        UCHAR b = Data[i];
        // An earlier byte of this chunk may have changed the state.
        ULONG state = Engine->State;
        if (state == V80_STATE_DETECT) {
            sawEvent |= DetectByte(Engine, b, EventChar);
            continue;
        }
        if (state == V80_STATE_INACTIVE) {
            sawEvent |= V80_CheckEventCharAndPutRxQ(Engine, b, EventChar);
            continue;
        }
        if (Engine->CommandRemaining == V80_COMMAND_LENGTH_AWAITED) {
            Engine->CommandRemaining = (b >= 0x20 && b <= 0x7E) ? static_cast<UCHAR>(b - 0x1F) : 0;
            Engine->CommandLength = 0;
            continue;
        }
        if (Engine->CommandRemaining != 0) {
            Engine->CommandBuffer[Engine->CommandLength++] = b;
            if (--Engine->CommandRemaining == 0) CheckExtCmd(Engine);
            continue;
        }
        if (FIFOGetFree(Engine->RxFifo) < 4) return V80_RX_FIFO_FULL;
        if (Engine->PrevRxChar == V80_EM) {
            ULONG row = 0;
            while (row < 4 && cV80FromModemTranCharTable[row][0] != b) row++;
            if (row < 4) {
                sawEvent |= V80_CheckEventCharAndPutRxQ(Engine, cV80FromModemTranCharTable[row][1], EventChar);
                if (cV80FromModemTranCharTable[row][2])
                    sawEvent |= V80_CheckEventCharAndPutRxQ(Engine, cV80FromModemTranCharTable[row][2], EventChar);
                Engine->PrevRxChar = 0;
                continue;
            }
            if (IsCommandCode(b)) {
                Engine->CommandCode = b;
                Engine->CommandRemaining = V80_COMMAND_LENGTH_AWAITED;
            } else if (IsSingleByteCode(b)) {
                ReportStatus(Engine, b, NULL, 0);
            }
            Engine->PrevRxChar = b;
            continue;
        }
        if (IsV80TransChar(b)) {
            Engine->PrevRxChar = V80_EM;
            continue;
        }
        Engine->PrevRxChar = b;
        sawEvent |= V80_CheckEventCharAndPutRxQ(Engine, b, EventChar);
    }
    return sawEvent ? V80_RX_EVENT_CHAR : V80_RX_OK;
}
