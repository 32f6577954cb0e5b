// IRQL of each thread and spin locks, with the verifier's lock rules.
#include "state.h"

#include <algorithm>

namespace host::detail {

namespace {

ULONG_PTR OwnerMark() { return reinterpret_cast<ULONG_PTR>(&T()) | 1; }

void CheckOrder(PKSPIN_LOCK lock)
{
    auto &held = T().held;
    if (held.empty() || !S().options.lockOrderChecks) return;
    std::lock_guard guard(S().lockOrderLock);
    ULONG_PTR acquired = reinterpret_cast<ULONG_PTR>(lock);
    for (PKSPIN_LOCK h : held) {
        ULONG_PTR before = reinterpret_cast<ULONG_PTR>(h);
        if (S().lockOrder.count({acquired, before})) {
            Violation(Rule::SpinLockOrderInverted,
                      "spin lock " + Hex(acquired) + " acquired while holding " + Hex(before) +
                          ", the reverse of an order seen before",
                      acquired, before);
            continue;
        }
        S().lockOrder.insert({before, acquired});
    }
}

void Acquire(PKSPIN_LOCK lock)
{
    ULONG_PTR mine = OwnerMark();
    auto ref = std::atomic_ref<ULONG_PTR>(*lock);
    if (ref.load(std::memory_order_relaxed) == mine) {
        Violation(Rule::SpinLockAcquiredTwice, "spin lock " + Hex(ULONG_PTR(lock)) + " acquired again by its holder",
                  ULONG_PTR(lock));
        return;
    }
    CheckOrder(lock);
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (ref.compare_exchange_weak(expected, mine, std::memory_order_acquire, std::memory_order_relaxed)) break;
        if (S().options.schedule == Schedule::Deterministic && spins > 1000000) {
            Violation(Rule::WaitNeverSatisfied,
                      "spin lock " + Hex(ULONG_PTR(lock)) + " is held and nothing can release it", ULONG_PTR(lock));
            return;
        }
        std::this_thread::yield();
    }
    T().held.push_back(lock);
}

void Release(PKSPIN_LOCK lock)
{
    auto &held = T().held;
    auto it = std::find(held.rbegin(), held.rend(), lock);
    auto ref = std::atomic_ref<ULONG_PTR>(*lock);
    if (it == held.rend() || ref.load(std::memory_order_relaxed) != OwnerMark()) {
        Violation(Rule::SpinLockReleaseNotHeld,
                  "spin lock " + Hex(ULONG_PTR(lock)) + " released by a thread that does not hold it",
                  ULONG_PTR(lock));
        return;
    }
    held.erase(std::next(it).base());
    ref.store(0, std::memory_order_release);
}

}  // namespace

void ForgetLocksIn(const void *start, size_t size)
{
    if (!Booted()) return;
    ULONG_PTR lo = reinterpret_cast<ULONG_PTR>(start), hi = lo + size;
    std::lock_guard guard(S().lockOrderLock);
    for (auto it = S().lockOrder.begin(); it != S().lockOrder.end();) {
        bool inside = (it->first >= lo && it->first < hi) || (it->second >= lo && it->second < hi);
        it = inside ? S().lockOrder.erase(it) : std::next(it);
    }
}

}  // namespace host::detail

using namespace host;
using namespace host::detail;

namespace host {

IrqlScope::IrqlScope(KIRQL irql) { KeRaiseIrql(irql, &old_); }
IrqlScope::~IrqlScope() { KeLowerIrql(old_); }

}  // namespace host

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return T().irql; }

KIRQL KfRaiseIrql(KIRQL newIrql)
{
    KIRQL old = T().irql;
    if (newIrql < old) {
        Violation(Rule::IrqlRaiseToLower,
                  "KeRaiseIrql to " + std::to_string(newIrql) + " from " + std::to_string(old), newIrql, old);
        return old;
    }
    T().irql = newIrql;
    return old;
}

VOID KfLowerIrql(KIRQL newIrql)
{
    KIRQL old = T().irql;
    if (newIrql > old) {
        Violation(Rule::IrqlLowerToHigher,
                  "KeLowerIrql to " + std::to_string(newIrql) + " from " + std::to_string(old), newIrql, old);
        return;
    }
    T().irql = newIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

KIRQL KfAcquireSpinLock(PKSPIN_LOCK lock)
{
    KIRQL old = T().irql;
    if (old > DISPATCH_LEVEL) {
        Violation(Rule::IrqlCallAboveDispatch, "KeAcquireSpinLock at IRQL " + std::to_string(old), old);
        return old;
    }
    T().irql = DISPATCH_LEVEL;
    Acquire(lock);
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    Release(lock);
    if (newIrql > T().irql) {
        Violation(Rule::IrqlLowerToHigher, "KeReleaseSpinLock to a higher IRQL " + std::to_string(newIrql), newIrql);
        return;
    }
    T().irql = newIrql;
}

VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    if (T().irql < DISPATCH_LEVEL)
        Violation(Rule::SpinLockAtDpcLevelBelowDispatch,
                  "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(T().irql), T().irql);
    Acquire(lock);
}

VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    if (T().irql < DISPATCH_LEVEL)
        Violation(Rule::SpinLockAtDpcLevelBelowDispatch,
                  "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(T().irql), T().irql);
    Release(lock);
}

VOID IoAcquireCancelSpinLock(PKIRQL irql) { *irql = KfAcquireSpinLock(&S().cancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL irql) { KfReleaseSpinLock(&S().cancelLock, irql); }

ULONG KeGetCurrentProcessorNumber(VOID) { return T().processor; }

}  // extern "C"
