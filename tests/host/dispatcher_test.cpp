// DPCs, timers, events, waits and spin locks, in both schedules.
#include "../support/kernel_test.h"

#include <atomic>
#include <thread>

using namespace testing_support;

namespace {

constexpr LONGLONG kMs = 10000;

LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * kMs;
    return due;
}

class ScheduleTest : public KernelTest, public ::testing::WithParamInterface<host::Schedule> {
protected:
    host::KernelOptions Options() override
    {
        host::KernelOptions options;
        options.schedule = GetParam();
        options.processors = 3;
        return options;
    }
    bool Deterministic() const { return GetParam() == host::Schedule::Deterministic; }
    // Lets queued work run: pumped in one schedule, awaited in the other.
    void Settle()
    {
        if (Deterministic()) host::RunDpcs();
        else host::WaitForIdle();
    }
};

struct Counter {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{0};
    KEVENT done;
    static void Routine(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto *self = static_cast<Counter *>(context);
        self->irql = KeGetCurrentIrql();
        ++self->runs;
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    }
    Counter() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
};

TEST_F(ConcurrentKernelTest, DpcQueuedWhileProcessorsAreBusyIsQueuedOnceAndRunsOnce)
{
    // Keep every processor busy so the target stays queued between the two inserts.
    std::atomic<bool> release{false};
    std::atomic<int> busy{0};
    std::vector<KDPC> blockers(4);
    struct Blocker {
        std::atomic<bool> *release;
        std::atomic<int> *busy;
    } blocker{&release, &busy};
    for (auto &dpc : blockers) {
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto *b = static_cast<Blocker *>(context);
                ++*b->busy;
                while (!b->release->load()) std::this_thread::yield();
            },
            &blocker);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
    while (busy < 4) std::this_thread::yield();
    Counter counter;
    KDPC dpc;
    KeInitializeDpc(&dpc, Counter::Routine, &counter);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    release = true;
    KeWaitForSingleObject(&counter.done, Executive, KernelMode, FALSE, nullptr);
    host::WaitForIdle();
    EXPECT_EQ(counter.runs, 1);
    EXPECT_EQ(counter.irql, DISPATCH_LEVEL);
}

TEST_F(KernelTest, DpcInsertedTwiceRunsOnceAndRemovedDpcNever)
{
    Counter counter;
    KDPC dpc;
    KeInitializeDpc(&dpc, Counter::Routine, &counter);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_EQ(host::QueuedDpcCount(), 1u);
    EXPECT_EQ(host::RunDpcs(), 1u);
    EXPECT_EQ(counter.runs, 1);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_EQ(host::RunDpcs(), 0u);
    EXPECT_EQ(counter.runs, 1);
}

TEST_F(KernelTest, TimerSetAgainRestartsAndCancelledTimerNeverFires)
{
    Counter counter;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, Counter::Routine, &counter);
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(10), &dpc));
    host::AdvanceTimeMs(5);
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(10), &dpc));  // restart: now due at 15 ms
    host::AdvanceTimeMs(9);
    EXPECT_EQ(counter.runs, 0);
    host::AdvanceTimeMs(1);
    EXPECT_EQ(counter.runs, 1);
    EXPECT_TRUE(KeReadStateTimer(&timer));

    KeSetTimer(&timer, RelativeMs(10), &dpc);
    host::AdvanceTimeMs(5);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    host::AdvanceTimeMs(100);
    EXPECT_EQ(counter.runs, 1);
}

TEST_F(KernelTest, WaitPumpsTimersOnTheVirtualClock)
{
    Counter counter;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, Counter::Routine, &counter);
    KeInitializeTimer(&timer);
    LONGLONG start = host::Now();
    KeSetTimer(&timer, RelativeMs(300), &dpc);
    EXPECT_EQ(KeWaitForSingleObject(&counter.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::Now() - start, 300 * kMs);

    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(50);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(host::Now() - start, 350 * kMs);
}

TEST_F(KernelTest, WaitThatNothingCanSatisfyIsReported)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_NE(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ExpectRule(host::Rule::WaitNeverSatisfied);
}

TEST_P(ScheduleTest, NotificationEventStaysSignalledSynchronizationEventResets)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE), 0);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    KeClearEvent(&notification);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST_P(ScheduleTest, TimerDpcSignalsWaiter)
{
    Counter counter;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, Counter::Routine, &counter);
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, RelativeMs(20), &dpc);
    EXPECT_EQ(KeWaitForSingleObject(&counter.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(counter.runs, 1);
    // The timer is a dispatcher object too.
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    Settle();
}

TEST_P(ScheduleTest, SpinLockRaisesToDispatchAndRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL raised;
    KeRaiseIrql(DISPATCH_LEVEL, &raised);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(raised);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Schedules, ScheduleTest,
                         BothSchedules(), ScheduleName);

TEST_F(KernelTest, PostedCallbacksRunInTimeOrderAtDispatchLevel)
{
    std::vector<int> order;
    host::Post(30 * kMs, [&] { order.push_back(3); });
    host::Post(10 * kMs, [&] {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        order.push_back(1);
    });
    host::Post(0, [&] { order.push_back(0); });
    host::AdvanceTimeMs(20);
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
    host::AdvanceTimeMs(20);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 3}));
}

}  // namespace
