// The dispatcher: DPC queue, timers, events and waits, the clock, and the two
// schedules that run them.
#include "state.h"

#include <climits>
#include <cstdio>

namespace host::detail {

namespace {

constexpr UCHAR kTimerNotificationType = 8;
constexpr UCHAR kTimerSynchronizationType = 9;
constexpr LONGLONG kSystemTimeBase = 134116992000000000LL;  // 2026-01-01 as a Windows file time

struct Posted {
    KTIMER timer;
    KDPC dpc;
    std::function<void()> callback;
};
std::unordered_set<Posted *> g_posted;  // guarded by the dispatcher lock

LONGLONG NowLocked()
{
    if (S().options.schedule == Schedule::Deterministic) return S().virtualNow.load();
    auto elapsed = std::chrono::steady_clock::now() - S().start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

bool IsSignalled(DISPATCHER_HEADER *header) { return header->SignalState > 0; }

void Consume(DISPATCHER_HEADER *header)
{
    if (header->Type == SynchronizationEvent || header->Type == kTimerSynchronizationType) header->SignalState = 0;
}

void InsertTimerLocked(PKTIMER timer)
{
    LIST_ENTRY *head = &S().timerList, *entry = head->Flink;
    for (; entry != head; entry = entry->Flink) {
        auto *other = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
        if (other->DueTime.QuadPart > timer->DueTime.QuadPart) break;
    }
    InsertTailList(entry, &timer->TimerListEntry);  // before `entry`
    timer->Header.Inserted = 1;
    ++S().timersQueued;
}

void RemoveTimerLocked(PKTIMER timer)
{
    RemoveEntryList(&timer->TimerListEntry);
    timer->Header.Inserted = 0;
    --S().timersQueued;
}

void ExpireTimerLocked(PKTIMER timer)
{
    RemoveTimerLocked(timer);
    timer->Header.SignalState = 1;
    ULARGE_INTEGER due = timer->DueTime;
    if (timer->Period > 0) {
        timer->DueTime.QuadPart += ULONGLONG(timer->Period) * 10000;
        InsertTimerLocked(timer);
    }
    if (timer->Dpc) InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(due.LowPart)),
                                    reinterpret_cast<PVOID>(ULONG_PTR(due.HighPart)));
    S().dispatcherCv.notify_all();
}

PKTIMER FirstTimerLocked()
{
    if (IsListEmpty(&S().timerList)) return nullptr;
    return CONTAINING_RECORD(S().timerList.Flink, KTIMER, TimerListEntry);
}

PKDPC PopDpcLocked()
{
    if (IsListEmpty(&S().dpcQueue)) return nullptr;
    PLIST_ENTRY entry = RemoveHeadList(&S().dpcQueue);
    --S().dpcQueued;
    return CONTAINING_RECORD(entry, KDPC, DpcListEntry);
}

struct DpcCall {
    PKDPC dpc;
    PKDEFERRED_ROUTINE routine;
    PVOID context, a1, a2;
};

DpcCall TakeDpcLocked(PKDPC dpc)
{
    dpc->DpcData = nullptr;
    return {dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2};
}

void RunDpcCall(const DpcCall &call)
{
    ThreadState &t = T();
    KIRQL saved = t.irql;
    size_t heldBefore = t.held.size();
    t.irql = DISPATCH_LEVEL;
    call.routine(call.dpc, call.context, call.a1, call.a2);
    if (t.irql != DISPATCH_LEVEL)
        Violation(Rule::DpcReturnedAtWrongIrql,
                  "DPC routine returned at IRQL " + std::to_string(t.irql), ULONG_PTR(call.routine), t.irql);
    if (t.held.size() != heldBefore) {
        Violation(Rule::DpcReturnedHoldingLock, "DPC routine returned holding a spin lock",
                  ULONG_PTR(call.routine), ULONG_PTR(t.held.back()));
        while (t.held.size() > heldBefore) {
            std::atomic_ref<ULONG_PTR>(*t.held.back()).store(0);
            t.held.pop_back();
        }
    }
    t.irql = saved;
}

void ProcessorLoop(ULONG number)
{
    T().processor = number;
    T().irql = DISPATCH_LEVEL;
    std::unique_lock lock(S().dispatcher);
    for (;;) {
        S().dispatcherCv.wait(lock, [] { return S().stopping || S().dpcQueued > 0; });
        if (S().stopping) return;
        DpcCall call = TakeDpcLocked(PopDpcLocked());
        ++S().runningDpcs;
        lock.unlock();
        RunDpcCall(call);
        lock.lock();
        --S().runningDpcs;
        S().dispatcherCv.notify_all();
    }
}

void TimerLoop()
{
    std::unique_lock lock(S().dispatcher);
    while (!S().stopping) {
        PKTIMER first = FirstTimerLocked();
        if (!first) {
            S().dispatcherCv.wait(lock);
            continue;
        }
        LONGLONG due = LONGLONG(first->DueTime.QuadPart);
        if (due <= NowLocked()) {
            ExpireTimerLocked(first);
            continue;
        }
        S().dispatcherCv.wait_until(lock, S().start + std::chrono::nanoseconds(due * 100));
    }
}

void PostedRoutine(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *posted = static_cast<Posted *>(context);
    posted->callback();
    std::lock_guard guard(S().dispatcher);
    g_posted.erase(posted);
    delete posted;
}

LONGLONG AbsoluteDue(LARGE_INTEGER dueTime, LONGLONG now)
{
    if (dueTime.QuadPart <= 0) return now - dueTime.QuadPart;
    LONGLONG absolute = dueTime.QuadPart - kSystemTimeBase;  // absolute system time
    return absolute < now ? now : absolute;
}

}  // namespace

void InitDispatcher()
{
    InitializeListHead(&S().dpcQueue);
    InitializeListHead(&S().timerList);
    S().start = std::chrono::steady_clock::now();
}

void InsertDpcLocked(PKDPC dpc, PVOID a1, PVOID a2)
{
    if (dpc->DpcData) return;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    dpc->DpcData = &S().dpcQueue;
    InsertTailList(&S().dpcQueue, &dpc->DpcListEntry);
    ++S().dpcQueued;
    S().dispatcherCv.notify_all();
}

void StartProcessors()
{
    if (S().options.schedule != Schedule::Concurrent) return;
    for (unsigned i = 0; i < S().options.processors; ++i) S().processors.emplace_back(ProcessorLoop, ULONG(i));
    S().timerThread = std::thread(TimerLoop);
}

void StopProcessors()
{
    {
        std::lock_guard guard(S().dispatcher);
        S().stopping = true;
        S().dispatcherCv.notify_all();
    }
    for (auto &t : S().processors) t.join();
    S().processors.clear();
    if (S().timerThread.joinable()) S().timerThread.join();
    std::lock_guard guard(S().dispatcher);
    for (Posted *posted : g_posted) {
        if (posted->timer.Header.Inserted) RemoveTimerLocked(&posted->timer);
        if (posted->dpc.DpcData) {
            RemoveEntryList(&posted->dpc.DpcListEntry);
            --S().dpcQueued;
        }
        delete posted;
    }
    g_posted.clear();
}

void CheckFreedRange(const void *start, size_t size)
{
    auto lo = reinterpret_cast<const char *>(start), hi = lo + size;
    auto inside = [&](const void *p) {
        auto c = reinterpret_cast<const char *>(p);
        return c >= lo && c < hi;
    };
    std::vector<std::pair<Rule, ULONG_PTR>> found;
    {
        std::lock_guard guard(S().dispatcher);
        for (LIST_ENTRY *e = S().dpcQueue.Flink; e != &S().dpcQueue;) {
            PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            e = e->Flink;
            if (inside(dpc)) {
                RemoveEntryList(&dpc->DpcListEntry);
                --S().dpcQueued;
                found.push_back({Rule::DpcQueuedInFreedMemory, ULONG_PTR(dpc)});
            }
        }
        for (LIST_ENTRY *e = S().timerList.Flink; e != &S().timerList;) {
            PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
            e = e->Flink;
            if (inside(timer)) {
                RemoveTimerLocked(timer);
                found.push_back({Rule::TimerQueuedInFreedMemory, ULONG_PTR(timer)});
            }
        }
    }
    for (auto &[rule, address] : found)
        Violation(rule,
                  std::string(rule == Rule::DpcQueuedInFreedMemory ? "DPC " : "timer ") + Hex(address) +
                      " still queued in memory being freed",
                  address, ULONG_PTR(start), size);
}

bool PumpOnce(LONGLONG limit)
{
    std::unique_lock lock(S().dispatcher);
    if (PKDPC dpc = PopDpcLocked()) {
        DpcCall call = TakeDpcLocked(dpc);
        lock.unlock();
        RunDpcCall(call);
        return true;
    }
    PKTIMER first = FirstTimerLocked();
    if (first && LONGLONG(first->DueTime.QuadPart) <= limit) {
        LONGLONG due = LONGLONG(first->DueTime.QuadPart);
        if (due > S().virtualNow.load()) S().virtualNow.store(due);
        ExpireTimerLocked(first);
        return true;
    }
    return false;
}

}  // namespace host::detail

using namespace host;
using namespace host::detail;

namespace host {

Schedule CurrentSchedule() { return S().options.schedule; }

LONGLONG Now()
{
    std::lock_guard guard(S().dispatcher);
    return NowLocked();
}

bool RunOneDpc()
{
    std::unique_lock lock(S().dispatcher);
    PKDPC dpc = PopDpcLocked();
    if (!dpc) return false;
    DpcCall call = TakeDpcLocked(dpc);
    lock.unlock();
    RunDpcCall(call);
    return true;
}

size_t RunDpcs()
{
    size_t count = 0;
    while (RunOneDpc()) ++count;
    return count;
}

void AdvanceTime(LONGLONG hundredNs)
{
    if (S().options.schedule != Schedule::Deterministic) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(hundredNs * 100));
        return;
    }
    LONGLONG target = S().virtualNow.load() + hundredNs;
    while (PumpOnce(target)) {
    }
    if (S().virtualNow.load() < target) S().virtualNow.store(target);
}

void AdvanceTimeMs(LONGLONG ms) { AdvanceTime(ms * 10000); }

bool RunUntilIdle(LONGLONG limitHundredNs)
{
    LONGLONG target = Now() + limitHundredNs;
    while (PumpOnce(target)) {
    }
    std::lock_guard guard(S().dispatcher);
    return S().dpcQueued == 0 && S().timersQueued == 0;
}

void WaitForIdle()
{
    if (S().options.schedule == Schedule::Deterministic) {
        RunDpcs();
        return;
    }
    std::unique_lock lock(S().dispatcher);
    S().dispatcherCv.wait(lock, [] { return S().dpcQueued == 0 && S().runningDpcs == 0; });
}

size_t QueuedDpcCount()
{
    std::lock_guard guard(S().dispatcher);
    return S().dpcQueued;
}

size_t PendingTimerCount()
{
    std::lock_guard guard(S().dispatcher);
    return S().timersQueued;
}

void Post(LONGLONG delayHundredNs, std::function<void()> callback)
{
    auto *posted = new Posted();
    posted->callback = std::move(callback);
    KeInitializeTimer(&posted->timer);
    KeInitializeDpc(&posted->dpc, PostedRoutine, posted);
    {
        std::lock_guard guard(S().dispatcher);
        g_posted.insert(posted);
    }
    if (delayHundredNs <= 0) {
        KeInsertQueueDpc(&posted->dpc, nullptr, nullptr);
    } else {
        LARGE_INTEGER due;
        due.QuadPart = -delayHundredNs;
        KeSetTimer(&posted->timer, due, &posted->dpc);
    }
}

}  // namespace host

extern "C" {

VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context)
{
    dpc->Type = 0x13;
    dpc->Number = 0;
    dpc->Importance = 1;
    dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
    dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
    dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID a1, PVOID a2)
{
    if (T().irql > HIGH_LEVEL) return FALSE;
    std::lock_guard guard(S().dispatcher);
    if (dpc->DpcData) return FALSE;
    InsertDpcLocked(dpc, a1, a2);
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc)
{
    std::lock_guard guard(S().dispatcher);
    if (!dpc->DpcData) return FALSE;
    RemoveEntryList(&dpc->DpcListEntry);
    --S().dpcQueued;
    dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type)
{
    timer->Header.Type = type == NotificationTimer ? kTimerNotificationType : kTimerSynchronizationType;
    timer->Header.Absolute = 0;
    timer->Header.Size = sizeof(KTIMER) / 4;
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 0;
    InitializeListHead(&timer->Header.WaitListHead);
    timer->DueTime.QuadPart = 0;
    timer->TimerListEntry.Flink = timer->TimerListEntry.Blink = nullptr;
    timer->Dpc = nullptr;
    timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc)
{
    if (T().irql > DISPATCH_LEVEL)
        Violation(Rule::IrqlCallAboveDispatch, "KeSetTimer at IRQL " + std::to_string(T().irql), T().irql);
    std::lock_guard guard(S().dispatcher);
    BOOLEAN wasQueued = timer->Header.Inserted ? TRUE : FALSE;
    if (wasQueued) RemoveTimerLocked(timer);
    timer->Header.SignalState = 0;
    timer->Dpc = dpc;
    timer->Period = period;
    timer->DueTime.QuadPart = ULONGLONG(AbsoluteDue(dueTime, NowLocked()));
    InsertTimerLocked(timer);
    S().dispatcherCv.notify_all();
    return wasQueued;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) { return KeSetTimerEx(timer, dueTime, 0, dpc); }

BOOLEAN KeCancelTimer(PKTIMER timer)
{
    std::lock_guard guard(S().dispatcher);
    if (!timer->Header.Inserted) return FALSE;
    RemoveTimerLocked(timer);
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer)
{
    std::lock_guard guard(S().dispatcher);
    return timer->Header.SignalState ? TRUE : FALSE;
}

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    event->Header.Type = UCHAR(type);
    event->Header.Absolute = 0;
    event->Header.Size = sizeof(KEVENT) / 4;
    event->Header.Inserted = 0;
    event->Header.SignalState = state ? 1 : 0;
    InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, LONG, BOOLEAN)
{
    if (T().irql > DISPATCH_LEVEL)
        Violation(Rule::IrqlCallAboveDispatch, "KeSetEvent at IRQL " + std::to_string(T().irql), T().irql);
    std::lock_guard guard(S().dispatcher);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    S().dispatcherCv.notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT event)
{
    std::lock_guard guard(S().dispatcher);
    event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event)
{
    std::lock_guard guard(S().dispatcher);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT event)
{
    std::lock_guard guard(S().dispatcher);
    return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(object);
    bool zeroTimeout = timeout && timeout->QuadPart == 0;
    if (T().irql >= DISPATCH_LEVEL && !zeroTimeout) {
        Violation(Rule::IrqlWaitAtDispatch,
                  "KeWaitForSingleObject with a non-zero time-out at IRQL " + std::to_string(T().irql),
                  ULONG_PTR(object), T().irql);
        zeroTimeout = true;
    }
    std::unique_lock lock(S().dispatcher);
    LONGLONG deadline = timeout ? AbsoluteDue(*timeout, NowLocked()) : -1;
    if (S().options.schedule == Schedule::Concurrent) {
        auto ready = [&] { return IsSignalled(header); };
        if (!timeout) {
            S().dispatcherCv.wait(lock, ready);
        } else if (!S().dispatcherCv.wait_until(lock, S().start + std::chrono::nanoseconds(deadline * 100), ready)) {
            return STATUS_TIMEOUT;
        }
        Consume(header);
        return STATUS_SUCCESS;
    }
    for (;;) {
        if (IsSignalled(header)) {
            Consume(header);
            return STATUS_SUCCESS;
        }
        if (zeroTimeout || (timeout && NowLocked() >= deadline)) return STATUS_TIMEOUT;
        lock.unlock();
        bool progressed = PumpOnce(timeout ? deadline : LLONG_MAX);
        lock.lock();
        if (progressed) continue;
        if (timeout) {
            S().virtualNow.store(deadline);
            continue;
        }
        lock.unlock();
        Violation(Rule::WaitNeverSatisfied,
                  "wait on " + Hex(ULONG_PTR(object)) +
                      " without a time-out, and no DPC or timer is left that could signal it",
                  ULONG_PTR(object));
        return STATUS_TIMEOUT;
    }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval)
{
    if (T().irql > APC_LEVEL)
        Violation(Rule::IrqlWaitAtDispatch, "KeDelayExecutionThread at IRQL " + std::to_string(T().irql),
                  T().irql);
    LONGLONG delay = interval->QuadPart < 0 ? -interval->QuadPart : interval->QuadPart - kSystemTimeBase - Now();
    if (delay <= 0) return STATUS_SUCCESS;
    if (S().options.schedule == Schedule::Concurrent) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(delay * 100));
    } else {
        AdvanceTime(delay);
    }
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER currentTime) { currentTime->QuadPart = kSystemTimeBase + Now(); }

ULONGLONG KeQueryInterruptTime(VOID) { return ULONGLONG(Now()); }

}  // extern "C"
