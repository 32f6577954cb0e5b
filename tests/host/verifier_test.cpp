// Each verifier rule, triggered by a small deliberately faulty driver, and a
// correct driver that triggers none.
#include "../support/kernel_test.h"

using namespace testing_support;
using host::Rule;

namespace {

const ULONG kTag = host::Tag("Test");

NTSTATUS Pend(PIRP irp, PIRP *slot)
{
    IoMarkIrpPending(irp);
    *slot = irp;
    return STATUS_PENDING;
}

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

PIRP OwnIrp(PDEVICE_OBJECT device)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

struct Fault {
    const char *name;
    Rule rule;
    std::function<void()> run;
};
void PrintTo(const Fault &c, std::ostream *out) { *out << c.name; }


class VerifierRuleTest : public KernelTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(VerifierRuleTest, FaultIsCaughtWhenItHappens)
{
    GetParam().run();
    ExpectRule(GetParam().rule);
}

std::vector<Fault> Faults()
{
    return {
        {"wait_at_dispatch", Rule::IrqlWaitAtDispatch,
         [] {
             KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, TRUE);
             host::IrqlScope raised(DISPATCH_LEVEL);
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
         }},
        {"paged_pool_at_dispatch", Rule::IrqlPagedPoolAtDispatch,
         [] {
             host::IrqlScope raised(DISPATCH_LEVEL);
             EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr);
         }},
        {"registry_above_passive", Rule::IrqlRegistryAbovePassive,
         [] {
             host::IrqlScope raised(DISPATCH_LEVEL);
             ULONG value = 1;
             RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\X"),
                                   reinterpret_cast<PCWSTR>(u"V"), REG_DWORD, &value, 4);
         }},
        {"lower_irql_upward", Rule::IrqlLowerToHigher, [] { KeLowerIrql(DISPATCH_LEVEL); }},
        {"completed_twice", Rule::IrpCompletedTwice,
         [] {
             TestDriver driver("twice");
             PDEVICE_OBJECT d = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                 Complete(irp, STATUS_SUCCESS);
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_SUCCESS;
             });
             PIRP irp = OwnIrp(d);
             IoCallDriver(d, irp);
             IoFreeIrp(irp);
         }},
        {"completed_with_cancel_routine", Rule::IrpCompletedWithCancelRoutine,
         [] {
             TestDriver driver("cancelset");
             PDEVICE_OBJECT d = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
                 return Complete(irp, STATUS_SUCCESS);
             });
             PIRP irp = OwnIrp(d);
             IoCallDriver(d, irp);
             IoFreeIrp(irp);
         }},
        {"completed_with_pending_status", Rule::IrpCompletedWithPendingStatus,
         [] {
             TestDriver driver("pendstatus");
             PIRP held = nullptr;
             PDEVICE_OBJECT d = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
                 Pend(irp, &held);
                 irp->IoStatus.Status = STATUS_PENDING;
                 IoCompleteRequest(irp, IO_NO_INCREMENT);
                 return STATUS_PENDING;
             });
             PIRP irp = OwnIrp(d);
             IoCallDriver(d, irp);
             Complete(held, STATUS_SUCCESS);
             IoFreeIrp(irp);
         }},
        {"pending_not_marked", Rule::IrpPendingNotMarked,
         [] {
             TestDriver driver("nomark");
             PIRP held = nullptr;
             PDEVICE_OBJECT d = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
                 held = irp;
                 return STATUS_PENDING;
             });
             PIRP irp = OwnIrp(d);
             IoCallDriver(d, irp);
             Complete(held, STATUS_SUCCESS);
             IoFreeIrp(irp);
         }},
        {"freed_while_below", Rule::IrpFreedWhileBelow,
         [] {
             TestDriver driver("freebelow");
             PIRP held = nullptr;
             PDEVICE_OBJECT d = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) { return Pend(irp, &held); });
             PIRP irp = OwnIrp(d);
             IoCallDriver(d, irp);
             IoFreeIrp(irp);  // refused: still below
             Complete(held, STATUS_SUCCESS);
             IoFreeIrp(irp);
         }},
        {"freed_after_completing_upward", Rule::IrpFreedNotOwned,
         [] {
             TestDriver driver("freeup");
             PDEVICE_OBJECT d = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                 Complete(irp, STATUS_SUCCESS);
                 IoFreeIrp(irp);  // the I/O manager owns it
                 return STATUS_SUCCESS;
             });
             host::IoRequest request;
             request.major = IRP_MJ_FLUSH_BUFFERS;
             request.device = d;
             host::CallRequest(request);
         }},
        {"completed_past_owner", Rule::IrpCompletedPastOwner,
         [] {
             TestDriver driver("pastowner");
             PDEVICE_OBJECT d = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
             PIRP irp = IoAllocateIrp(d->StackSize, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
             IoCallDriver(d, irp);  // no completion routine keeps it
             IoFreeIrp(irp);
         }},
        {"no_stack_location_left", Rule::IrpNoMoreStackLocations,
         [] {
             TestDriver driver("stack");
             PDEVICE_OBJECT bottom = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
             PDEVICE_OBJECT top = driver.AddDevice(
                 [bottom](PDEVICE_OBJECT, PIRP irp) {
                     // Forwards without a location for the device below.
                     NTSTATUS status = IoCallDriver(bottom, irp);
                     if (status == STATUS_INVALID_DEVICE_REQUEST) Complete(irp, status);
                     return status;
                 },
                 nullptr);  // not attached: its StackSize stays 1
             PIRP irp = OwnIrp(top);
             IoCallDriver(top, irp);
             IoFreeIrp(irp);
         }},
        {"reinitialised_too_large", Rule::IrpReinitialisedTooLarge,
         [] {
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoInitializeIrp(irp, IoSizeOfIrp(4), 4);
             IoFreeIrp(irp);
         }},
        {"release_lock_not_held", Rule::SpinLockReleaseNotHeld,
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
         }},
        {"lock_acquired_twice", Rule::SpinLockAcquiredTwice,
         [] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KIRQL a, b;
             KeAcquireSpinLock(&lock, &a);
             KeAcquireSpinLock(&lock, &b);
             KeReleaseSpinLock(&lock, a);
         }},
        {"lock_order_inverted", Rule::SpinLockOrderInverted,
         [] {
             KSPIN_LOCK first, second;
             KeInitializeSpinLock(&first);
             KeInitializeSpinLock(&second);
             KIRQL a, b;
             KeAcquireSpinLock(&first, &a);
             KeAcquireSpinLock(&second, &b);
             KeReleaseSpinLock(&second, b);
             KeReleaseSpinLock(&first, a);
             KeAcquireSpinLock(&second, &a);
             KeAcquireSpinLock(&first, &b);  // the reverse order
             KeReleaseSpinLock(&first, b);
             KeReleaseSpinLock(&second, a);
         }},
        {"completed_holding_cancel_lock", Rule::CompletedHoldingCancelLock,
         [] {
             TestDriver driver("cancellock");
             PDEVICE_OBJECT d = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                 KIRQL irql;
                 IoAcquireCancelSpinLock(&irql);
                 Complete(irp, STATUS_SUCCESS);
                 IoReleaseCancelSpinLock(irql);
                 return STATUS_SUCCESS;
             });
             PIRP irp = OwnIrp(d);
             IoCallDriver(d, irp);
             IoFreeIrp(irp);
         }},
        {"cancel_routine_kept_cancel_lock", Rule::CancelRoutineKeptCancelLock,
         [] {
             TestDriver driver("keeplock");
             static PIRP held;
             PDEVICE_OBJECT d = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                 IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});  // forgets to release the lock
                 return Pend(irp, &held);
             });
             PIRP irp = OwnIrp(d);
             IoCallDriver(d, irp);
             IoCancelIrp(irp);
             Complete(held, STATUS_CANCELLED);
             IoFreeIrp(irp);
         }},
        {"dpc_returned_holding_lock", Rule::DpcReturnedHoldingLock,
         [] {
             static KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             KDPC dpc;
             KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
             KeInsertQueueDpc(&dpc, nullptr, nullptr);
             host::RunDpcs();
         }},
        {"pageable_section_unlocked_twice", Rule::PagedSectionUnlockedTooOften,
         [] {
             PVOID handle = MmLockPagableCodeSection(reinterpret_cast<PVOID>(&OwnIrp));
             EXPECT_EQ(host::PagedSectionLockCount(), 1);
             MmUnlockPagableImageSection(handle);
             MmUnlockPagableImageSection(handle);
             EXPECT_EQ(host::PagedSectionLockCount(), 0);
         }},
        {"pool_double_free", Rule::PoolDoubleFree,
         [] {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
             ExFreePool(p);
             ExFreePool(p);
         }},
        {"dpc_queued_in_freed_pool", Rule::DpcQueuedInFreedMemory,
         [] {
             auto dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTag));
             KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "ran from freed memory"; },
                             nullptr);
             KeInsertQueueDpc(dpc, nullptr, nullptr);
             ExFreePool(dpc);
             host::RunDpcs();
         }},
        {"timer_queued_in_freed_device_extension", Rule::TimerQueuedInFreedMemory,
         [] {
             TestDriver driver("timerext");
             PDEVICE_OBJECT d = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                                                 nullptr, sizeof(KTIMER));
             auto timer = static_cast<PKTIMER>(d->DeviceExtension);
             KeInitializeTimer(timer);
             LARGE_INTEGER due;
             due.QuadPart = -10000;
             KeSetTimer(timer, due, nullptr);
             driver.DeleteDevices();
             host::AdvanceTimeMs(5);
         }},
        {"leak_at_unload", Rule::PoolLeak,
         [] {
             TestDriver driver("leaky", {kTag});
             PVOID leaked = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
             driver.Unload();
             ExFreePool(leaked);
         }},
        {"unload_with_devices", Rule::DriverUnloadedWithDevices,
         [] {
             TestDriver driver("devicesleft");
             driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
             host::UnloadDriver(driver.Object());
         }},
        {"delete_device_still_attached", Rule::DeviceDeletedWhileAttached,
         [] {
             TestDriver driver("attached");
             PDEVICE_OBJECT bottom = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
             PDEVICE_OBJECT top = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                                                   bottom);
             IoDeleteDevice(top);  // without IoDetachDevice first
         }},
    };
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierRuleTest, ::testing::ValuesIn(Faults()),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Leak by tag when a device is removed ----------------------------------

PVOID g_leaked;
PDEVICE_OBJECT g_lower;

NTSTATUS LeakyDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(g_lower, irp);
    if (remove) {
        IoDetachDevice(g_lower);
        IoDeleteDevice(device);  // and forgets g_leaked
    }
    return status;
}

NTSTATUS LeakyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    g_leaked = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
    g_lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &entry : driver->MajorFunction) entry = LeakyDispatch;
    driver->DriverExtension->AddDevice = LeakyAddDevice;
    return STATUS_SUCCESS;
}

TEST_F(KernelTest, PoolLeftByTagWhenTheLastDeviceIsRemovedIsALeak)
{
    PDRIVER_OBJECT driver = host::LoadDriver({u"leakyfilter", LeakyEntry, {kTag}});
    PDEVICE_OBJECT pdo = host::CreatePdo({u"ROOT\\TEST\\0000"});
    ASSERT_EQ(host::AddDevice(driver, pdo), STATUS_SUCCESS);
    EXPECT_EQ(host::StartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(host::RemoveDevice(pdo), STATUS_SUCCESS);
    ExpectRule(Rule::PoolLeak);
    ExFreePool(g_leaked);
}

// ---- Low resources -----------------------------------------------------------

TEST_F(KernelTest, NthAllocationFailsForPoolAndIrps)
{
    host::FailAllocationNumber(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PIRP second = IoAllocateIrp(2, FALSE);
    PIRP third = IoAllocateIrp(2, FALSE);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(host::AllocationsSinceArmed(), 3u);
    host::FailAllocationNumber(0);
    ExFreePool(first);
    IoFreeIrp(third);
}

// ---- A correct driver ----------------------------------------------------------

// A filter that pends reads in a cancel-safe queue and completes them from a
// timer DPC, the way a serial driver times out reads.
struct GoodFilter {
    PDEVICE_OBJECT lower = nullptr;
    LIST_ENTRY queue;
    KSPIN_LOCK lock;
    KTIMER timer;
    KDPC dpc;

    static void Cancel(PDEVICE_OBJECT device, PIRP irp)
    {
        auto *self = *static_cast<GoodFilter **>(device->DeviceExtension);
        IoReleaseCancelSpinLock(irp->CancelIrql);
        KIRQL irql;
        KeAcquireSpinLock(&self->lock, &irql);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&self->lock, irql);
        Complete(irp, STATUS_CANCELLED);
    }

    static void Expire(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto *self = static_cast<GoodFilter *>(context);
        KeAcquireSpinLockAtDpcLevel(&self->lock);
        PIRP irp = nullptr;
        while (!IsListEmpty(&self->queue)) {
            PIRP candidate = CONTAINING_RECORD(self->queue.Flink, IRP, Tail.Overlay.ListEntry);
            RemoveEntryList(&candidate->Tail.Overlay.ListEntry);
            if (IoSetCancelRoutine(candidate, nullptr)) {
                irp = candidate;
                break;
            }
            InitializeListHead(&candidate->Tail.Overlay.ListEntry);  // its cancel routine owns it now
        }
        KeReleaseSpinLockFromDpcLevel(&self->lock);
        if (irp) Complete(irp, STATUS_TIMEOUT);
    }

    NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_READ) return PassDown(lower, irp);
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        IoSetCancelRoutine(irp, Cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            KeReleaseSpinLock(&lock, irql);
            return Complete(irp, STATUS_CANCELLED);
        }
        IoMarkIrpPending(irp);
        InsertTailList(&queue, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&lock, irql);
        LARGE_INTEGER due;
        due.QuadPart = -100 * 10000;
        KeSetTimer(&timer, due, &dpc);
        return STATUS_PENDING;
    }
};

class CorrectDriverTest : public KernelTest, public ::testing::WithParamInterface<host::Schedule> {
protected:
    host::KernelOptions Options() override
    {
        host::KernelOptions options;
        options.schedule = GetParam();
        return options;
    }
};

TEST_P(CorrectDriverTest, TriggersNoRule)
{
    TestDriver port("port");
    TestDriver filterDriver("filter");
    PDEVICE_OBJECT bottom = port.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    GoodFilter filter;
    InitializeListHead(&filter.queue);
    KeInitializeSpinLock(&filter.lock);
    KeInitializeTimer(&filter.timer);
    KeInitializeDpc(&filter.dpc, GoodFilter::Expire, &filter);
    PDEVICE_OBJECT top = filterDriver.AddDevice(
        [&](PDEVICE_OBJECT self, PIRP irp) { return filter.Dispatch(self, irp); }, bottom, sizeof(GoodFilter *));
    *static_cast<GoodFilter **>(top->DeviceExtension) = &filter;
    filter.lower = bottom;

    host::IoRequest read;
    read.major = IRP_MJ_READ;
    read.outputLength = 4;
    read.device = top;
    EXPECT_EQ(host::CallRequest(read).status, STATUS_TIMEOUT);  // completed by the timer DPC

    PIRP cancelled = nullptr;
    NTSTATUS seen = 0;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    host::SendRequest(
        read,
        [&](const host::IoResult &result) {
            seen = result.status;
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        },
        &cancelled);
    IoCancelIrp(cancelled);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(seen == STATUS_CANCELLED || seen == STATUS_TIMEOUT);

    host::IoRequest flush;
    flush.major = IRP_MJ_FLUSH_BUFFERS;
    flush.device = top;
    EXPECT_EQ(host::CallRequest(flush).status, STATUS_SUCCESS);
    KeCancelTimer(&filter.timer);
    KeRemoveQueueDpc(&filter.dpc);
    host::WaitForIdle();
}

INSTANTIATE_TEST_SUITE_P(Schedules, CorrectDriverTest,
                         BothSchedules(), ScheduleName);

}  // namespace
