// The transmit side: data and AT commands mixed, drains of random size, random
// V80_Control calls, and announcements and +IBC commands to move the state.
#include "v80_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzing::Boot();
    if (size < 1) return 0;
    PV80_CONTEXT engine = V80_Create(128, 16384, data[0] & 1);
    fuzzing::Check(engine != nullptr, "engine created");
    V80_SetStatusCallback(engine, fuzzing::CheckReport, nullptr);
    static const UCHAR announce[] = {0x19, 0x60, 0x26, 'b', '+', 'I', 'B', 'C', ':', '1'};
    static const UCHAR ibc0[] = {0x19, 0x60, 0x26, 'b', '+', 'I', 'B', 'C', ':', '0'};
    for (size_t at = 1; at < size;) {
        uint8_t op = data[at++];
        size_t n = op >> 3;
        if (n > size - at) n = size - at;
        UCHAR out[30];
        ULONG capacity = (op >> 3) % 31;
        ULONG before = FIFOGetCount(engine->TxFifo);
        switch (op & 7) {
        case 0:
        case 1: {
            ULONG taken = V80_FromDteToModem(engine, V80_DTE_DATA, data + at, ULONG(n), out, &capacity);
            fuzzing::Check(taken <= n, "data consumed within length");
            at += n;
            break;
        }
        case 2: {
            ULONG taken = V80_FromDteToModem(engine, V80_DTE_AT_COMMAND, data + at, ULONG(n), out, &capacity);
            fuzzing::Check(taken == 0 || taken == n, "an AT command is all or nothing");
            fuzzing::Check(taken == 0 || engine->State == V80_STATE_ACTIVE, "AT commands only while active");
            at += n;
            break;
        }
        case 3: {
            ULONG asked = capacity;
            V80_FromDteToModem(engine, V80_DTE_DRAIN_ONLY, nullptr, 0, out, &capacity);
            fuzzing::Check(capacity == (asked < before ? asked : before), "drain takes what fits");
            break;
        }
        case 4: V80_Control(engine, op >> 6); break;
        case 5: V80_FromModemToDte(engine, announce, sizeof announce, 0); break;
        case 6: V80_FromModemToDte(engine, ibc0, sizeof ibc0, 0); break;
        default: V80_Init(engine); break;
        }
        fuzzing::Check(capacity <= 30, "drained within capacity");
        fuzzing::CheckEngine(engine);
    }
    V80_Delete(engine);
    fuzzing::CheckNoPoolLeft();
    return 0;
}
