// What must hold for the V.80 engine after any sequence of calls.
#pragma once

#include <host/harness.h>

#include "zyrva_driver.h"

#include <cstdio>
#include <cstdlib>

namespace fuzzing {

inline void Check(bool ok, const char *what)
{
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void CheckEngine(PV80_CONTEXT e)
{
    Check(e->TxFifo->Count <= e->TxFifo->Size && e->RxFifo->Count <= e->RxFifo->Size, "FIFO count within size");
    Check(e->TxFifo->Head >= e->TxFifo->Start && e->TxFifo->Head < e->TxFifo->End, "transmit head in storage");
    Check(e->RxFifo->Tail >= e->RxFifo->Start && e->RxFifo->Tail < e->RxFifo->End, "receive tail in storage");
    Check(e->State <= V80_STATE_ACTIVE, "state is one of the four");
    Check(e->DetectLength <= V80_ANNOUNCEMENT_LENGTH, "detect buffer bounded");
    Check(e->CommandLength <= 95, "command body bounded");
    Check(e->CommandRemaining <= 95 || e->CommandRemaining == V80_COMMAND_LENGTH_AWAITED, "command remaining");
}

inline VOID CheckReport(ULONG code, PUCHAR data, ULONG length, PVOID)
{
    code &= 0xFF;
    if (code == 0x60) {
        Check(data && length >= 1 && length <= 95 && data[0] == 'b', "extended report has a 'b' body of 1 to 95");
        return;
    }
    bool single = (code >= 0x62 && code <= 0x6F) || (code >= 0x78 && code <= 0x7B) || code == 0x7E;
    Check(single && !data && length == 0, "single-byte report has a listed code and no data");
}

// One kernel for the whole run; the engine's pool must balance after each input.
inline void Boot()
{
    static host::Kernel *kernel = new host::Kernel(host::KernelOptions{host::Schedule::Deterministic, 1, false});
    (void)kernel;
}

inline void CheckNoPoolLeft() { Check(host::PoolByTag(ZYR_POOL_TAG).allocations == 0, "engine pool freed"); }

}  // namespace fuzzing
