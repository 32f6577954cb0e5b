// Stress in the concurrent schedule: spin locks, DPCs, timers and IRP
// completion racing cancellation across emulated processors and threads.
#include "../support/kernel_test.h"

#include <atomic>
#include <thread>

using namespace testing_support;

namespace {

class ConcurrencyTest : public ConcurrentKernelTest {};

TEST_F(ConcurrencyTest, SpinLockExcludesThreadsAndDpcs)
{
    struct Shared {
        KSPIN_LOCK lock;
        long counter = 0;  // deliberately not atomic: the lock must protect it
        std::atomic<int> dpcRuns{0};
    } shared;
    KeInitializeSpinLock(&shared.lock);
    constexpr int kThreads = 3, kPerThread = 2000, kDpcs = 200;
    std::vector<KDPC> dpcs(kDpcs);
    for (auto &dpc : dpcs)
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto *s = static_cast<Shared *>(context);
                KeAcquireSpinLockAtDpcLevel(&s->lock);
                ++s->counter;
                KeReleaseSpinLockFromDpcLevel(&s->lock);
                ++s->dpcRuns;
            },
            &shared);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                KIRQL irql;
                KeAcquireSpinLock(&shared.lock, &irql);
                ++shared.counter;
                KeReleaseSpinLock(&shared.lock, irql);
                if (i % 10 == 0) KeInsertQueueDpc(&dpcs[(t * kPerThread + i) / 10 % kDpcs], nullptr, nullptr);
            }
        });
    for (auto &t : threads) t.join();
    host::WaitForIdle();
    KIRQL irql;
    KeAcquireSpinLock(&shared.lock, &irql);
    EXPECT_EQ(shared.counter, kThreads * kPerThread + shared.dpcRuns.load());
    KeReleaseSpinLock(&shared.lock, irql);
}

// A port that queues reads and completes them from DPCs, cancel-safely.
struct Port {
    KSPIN_LOCK lock;
    LIST_ENTRY queue;
    KDPC dpc;
    std::atomic<int> completed{0};

    static void Cancel(PDEVICE_OBJECT device, PIRP irp)
    {
        auto *self = *static_cast<Port **>(device->DeviceExtension);
        IoReleaseCancelSpinLock(irp->CancelIrql);
        KIRQL irql;
        KeAcquireSpinLock(&self->lock, &irql);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&self->lock, irql);
        ++self->completed;
        Complete(irp, STATUS_CANCELLED);
    }

    static void Drain(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto *self = static_cast<Port *>(context);
        for (;;) {
            PIRP irp = nullptr;
            KeAcquireSpinLockAtDpcLevel(&self->lock);
            while (!irp && !IsListEmpty(&self->queue)) {
                PIRP candidate = CONTAINING_RECORD(RemoveHeadList(&self->queue), IRP, Tail.Overlay.ListEntry);
                if (IoSetCancelRoutine(candidate, nullptr)) irp = candidate;
                else InitializeListHead(&candidate->Tail.Overlay.ListEntry);
            }
            KeReleaseSpinLockFromDpcLevel(&self->lock);
            if (!irp) return;
            ++self->completed;
            Complete(irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length);
        }
    }

    NTSTATUS Dispatch(PIRP irp)
    {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        IoSetCancelRoutine(irp, Cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            KeReleaseSpinLock(&lock, irql);
            ++completed;
            return Complete(irp, STATUS_CANCELLED);
        }
        IoMarkIrpPending(irp);
        InsertTailList(&queue, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&lock, irql);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        return STATUS_PENDING;
    }
};

TEST_F(ConcurrencyTest, ReadsFromManyThreadsEachCompleteOnce)
{
    TestDriver driver("raceport");
    Port port;
    KeInitializeSpinLock(&port.lock);
    InitializeListHead(&port.queue);
    KeInitializeDpc(&port.dpc, Port::Drain, &port);
    PDEVICE_OBJECT device =
        driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) { return port.Dispatch(irp); }, nullptr, sizeof(Port *));
    *static_cast<Port **>(device->DeviceExtension) = &port;

    constexpr int kThreads = 3, kPerThread = 300;
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                host::IoRequest read;
                read.major = IRP_MJ_READ;
                read.outputLength = 1 + i % 16;
                read.device = device;
                auto finished = std::make_shared<std::atomic<bool>>(false);
                PIRP irp = nullptr;
                if (i % 3 == t % 3) {
                    KEVENT event;
                    KeInitializeEvent(&event, NotificationEvent, FALSE);
                    host::SendRequest(
                        read,
                        [&, finished](const host::IoResult &result) {
                            EXPECT_FALSE(finished->exchange(true));
                            EXPECT_EQ(result.status, STATUS_SUCCESS);
                            ++done;
                            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
                        },
                        &irp);
                    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                } else {
                    host::IoResult result = host::CallRequest(read);
                    EXPECT_EQ(result.status, STATUS_SUCCESS);
                    EXPECT_EQ(result.information, read.outputLength);
                    ++done;
                }
            }
        });
    for (auto &t : threads) t.join();
    host::WaitForIdle();
    EXPECT_EQ(done, kThreads * kPerThread);
    EXPECT_EQ(port.completed, kThreads * kPerThread);
}

TEST_F(ConcurrencyTest, CancelRacingDpcCompletionCompletesEachIrpOnce)
{
    TestDriver driver("cancelport");
    Port port;
    KeInitializeSpinLock(&port.lock);
    InitializeListHead(&port.queue);
    KeInitializeDpc(&port.dpc, Port::Drain, &port);
    PDEVICE_OBJECT device =
        driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) { return port.Dispatch(irp); }, nullptr, sizeof(Port *));
    *static_cast<Port **>(device->DeviceExtension) = &port;

    constexpr int kRounds = 500;
    std::atomic<int> finished{0};
    for (int i = 0; i < kRounds; ++i) {
        // Our own IRP, so it stays valid for IoCancelIrp until we free it.
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = 1;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
                KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &event, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED);
        ++finished;
        IoFreeIrp(irp);
    }
    host::WaitForIdle();
    EXPECT_EQ(port.completed, kRounds);
}

TEST_F(ConcurrencyTest, TimersRestartedAndCancelledWhileExpiring)
{
    struct Shared {
        std::atomic<int> fired{0};
    } shared;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<Shared *>(context)->fired; }, &shared);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                LARGE_INTEGER due;
                due.QuadPart = -(i % 3) * 1000;  // 0 to 0.2 ms
                if ((i + t) % 4 == 0) KeCancelTimer(&timer);
                else KeSetTimer(&timer, due, &dpc);
            }
        });
    for (auto &t : threads) t.join();
    KeCancelTimer(&timer);
    KeRemoveQueueDpc(&dpc);
    host::WaitForIdle();
    EXPECT_GE(shared.fired.load(), 0);
}

}  // namespace
