// The receive byte machine: random chunks with carrier changes, reads and
// purges in between.
#include "v80_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzing::Boot();
    if (size < 1) return 0;
    PV80_CONTEXT engine = V80_Create(128, 64 + (data[0] & 0x3F) * 16, data[0] & 0x80 ? 0 : 1);
    fuzzing::Check(engine != nullptr, "engine created");
    V80_SetStatusCallback(engine, fuzzing::CheckReport, nullptr);
    UCHAR eventChar = size > 1 ? data[1] : 0;
    for (size_t at = 2; at < size;) {
        uint8_t op = data[at++];
        if ((op & 7) < 6) {
            size_t n = op >> 2;
            if (n > size - at) n = size - at;
            ULONG before = V80_GetModemToDteCount(engine);
            ULONG heldBack = engine->DetectLength;  // a failed announcement match releases these too
            ULONG result = V80_FromModemToDte(engine, data + at, ULONG(n), eventChar);
            fuzzing::Check(result <= V80_RX_FIFO_FULL, "receive result is one of three");
            fuzzing::Check(V80_GetModemToDteCount(engine) <= before + 2 * n + heldBack,
                           "at most two bytes out per byte in, besides held-back announcement bytes");
            at += n;
        } else if ((op & 7) == 6) {
            V80_Control(engine, op >> 6);
        } else {
            UCHAR out[64];
            ULONG want = op >> 2;
            ULONG waiting = V80_GetModemToDteCount(engine);
            ULONG got = V80_GetModemToDteData(engine, out, want);
            fuzzing::Check(got == (want < waiting ? want : waiting), "read returns what is there");
            if (op & 0x80) V80_PurgeModemToDteData(engine);
        }
        fuzzing::CheckEngine(engine);
    }
    V80_Delete(engine);
    fuzzing::CheckNoPoolLeft();
    return 0;
}
