// Pool memory with tags, the pool rules, low-resource simulation and the
// pageable-section lock count.
#include "state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace host::detail {

namespace {

// Kept outside the kernel's state so a scenario's count survives its shutdown.
std::atomic<uint64_t> g_failAt{0};
std::atomic<uint64_t> g_counted{0};

constexpr UCHAR kFreshPoolFill = 0xBD;  // pool is not cleared; make reliance on zeroes visible

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

bool ShouldFail()
{
    uint64_t n = ++g_counted;
    uint64_t at = g_failAt.load();
    return at != 0 && n == at;
}

}  // namespace

PVOID KernelAllocate(POOL_TYPE type, size_t size, ULONG tag, bool countable)
{
    if (countable && ShouldFail()) return nullptr;
    void *p = std::malloc(size ? size : 1);
    if (!p) return nullptr;
    if (countable) std::memset(p, kFreshPoolFill, size);
    std::lock_guard guard(S().poolLock);
    S().pool[p] = PoolBlock{size, tag, type, !countable};
    S().recentlyFreed.erase(p);
    return p;
}

void KernelFree(PVOID p)
{
    size_t size = 0;
    bool found = false, twice = false, pagedAboveApc = false;
    {
        std::lock_guard guard(S().poolLock);
        auto it = S().pool.find(p);
        if (it == S().pool.end()) {
            twice = S().recentlyFreed.count(p) != 0;
        } else {
            found = true;
            size = it->second.size;
            pagedAboveApc = IsPaged(it->second.type) && T().irql > APC_LEVEL;
            S().pool.erase(it);
            if (S().recentlyFreed.size() > 4096) S().recentlyFreed.clear();
            S().recentlyFreed.insert(p);
        }
    }
    if (!found) {
        Violation(twice ? Rule::PoolDoubleFree : Rule::PoolBadPointer,
                  twice ? "pool block " + Hex(ULONG_PTR(p)) + " freed twice"
                        : "ExFreePool of " + Hex(ULONG_PTR(p)) + ", which is not a pool block",
                  ULONG_PTR(p));
        return;
    }
    if (pagedAboveApc)
        Violation(Rule::IrqlPagedPoolAtDispatch, "paged pool freed at IRQL " + std::to_string(T().irql),
                  ULONG_PTR(p), T().irql);
    CheckFreedRange(p, size);
    ForgetLocksIn(p, size);
    {
        // Pool a driver used for an IRP of its own: its bookkeeping goes with it.
        std::lock_guard guard(S().irpLock);
        S().irps.erase(static_cast<PIRP>(p));
    }
    std::free(p);
}

void CheckDriverPool(PDRIVER_OBJECT driver, const char *when)
{
    std::vector<ULONG> tags;
    {
        std::lock_guard guard(S().objectLock);
        auto it = S().drivers.find(driver);
        if (it == S().drivers.end()) return;
        tags = it->second.poolTags;
    }
    for (ULONG tag : tags) {
        PoolUsage usage = PoolByTag(tag);
        if (usage.allocations == 0) continue;
        char text[5] = {char(tag & 0xFF), char((tag >> 8) & 0xFF), char((tag >> 16) & 0xFF),
                        char((tag >> 24) & 0xFF), 0};
        Violation(Rule::PoolLeak,
                  std::string("pool with tag '") + text + "' still allocated " + when + ": " +
                      std::to_string(usage.allocations) + " allocations, " + std::to_string(usage.bytes) + " bytes",
                  tag, usage.allocations, usage.bytes);
    }
}

}  // namespace host::detail

using namespace host;
using namespace host::detail;

namespace host {

void FailAllocationNumber(uint64_t n)
{
    g_counted = 0;
    g_failAt = n;
}

uint64_t AllocationsSinceArmed() { return g_counted.load(); }

void RunWithEachAllocationFailing(const std::function<void(uint64_t failing)> &scenario)
{
    scenario(0);
    uint64_t total = AllocationsSinceArmed();
    for (uint64_t i = 1; i <= total; ++i) scenario(i);
    FailAllocationNumber(0);
}

PoolUsage PoolByTag(ULONG tag)
{
    PoolUsage usage;
    std::lock_guard guard(S().poolLock);
    for (auto &[pointer, block] : S().pool)
        if (block.tag == tag) {
            ++usage.allocations;
            usage.bytes += block.size;
        }
    return usage;
}

std::vector<std::pair<ULONG, PoolUsage>> PoolTags()
{
    std::map<ULONG, PoolUsage> byTag;
    {
        std::lock_guard guard(S().poolLock);
        for (auto &[pointer, block] : S().pool) {
            auto &usage = byTag[block.tag];
            ++usage.allocations;
            usage.bytes += block.size;
        }
    }
    return {byTag.begin(), byTag.end()};
}

int PagedSectionLockCount() { return S().pagedSectionLocks.load(); }

}  // namespace host

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    KIRQL irql = T().irql;
    if (IsPaged(type) && irql > APC_LEVEL) {
        Violation(Rule::IrqlPagedPoolAtDispatch, "paged pool allocated at IRQL " + std::to_string(irql), type, irql);
        return nullptr;
    }
    if (irql > DISPATCH_LEVEL) {
        Violation(Rule::IrqlCallAboveDispatch, "pool allocated at IRQL " + std::to_string(irql), type, irql);
        return nullptr;
    }
    return KernelAllocate(type, size, tag, true);
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size) { return ExAllocatePoolWithTag(type, size, host::Tag("None")); }

VOID ExFreePool(PVOID p)
{
    if (T().irql > DISPATCH_LEVEL)
        Violation(Rule::IrqlCallAboveDispatch, "pool freed at IRQL " + std::to_string(T().irql), ULONG_PTR(p));
    KernelFree(p);
}

VOID ExFreePoolWithTag(PVOID p, ULONG) { ExFreePool(p); }

PVOID MmLockPagableDataSection(PVOID address)
{
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive,
                  "MmLockPagableDataSection at IRQL " + std::to_string(T().irql), T().irql);
    ++S().pagedSectionLocks;
    return address ? address : reinterpret_cast<PVOID>(1);
}

VOID MmUnlockPagableImageSection(PVOID)
{
    if (--S().pagedSectionLocks < 0) {
        ++S().pagedSectionLocks;
        Violation(Rule::PagedSectionUnlockedTooOften, "MmUnlockPagableImageSection without a matching lock");
    }
}

}  // extern "C"
