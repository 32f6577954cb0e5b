// IRP semantics a WDM driver relies on: completion unwinding by invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED, PendingReturned, cancellation, and the
// I/O manager's requests.
#include "../support/kernel_test.h"

#include <ntddser.h>

using namespace testing_support;

namespace {

class IoRequestTest : public KernelTest {};

struct Recorder {
    std::vector<std::string> calls;
    bool pendingSeen = false;
};

// A driver-allocated IRP sent to `device`, completed back to us.
struct OwnedIrp {
    PIRP irp;
    bool completed = false;
    NTSTATUS status = 0;
    static NTSTATUS Done(PDEVICE_OBJECT device, PIRP irp, PVOID context)
    {
        auto self = static_cast<OwnedIrp *>(context);
        EXPECT_EQ(device, nullptr);  // an IRP allocated for the stack exactly has no location of ours
        self->completed = true;
        self->status = irp->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    explicit OwnedIrp(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_READ)
    {
        irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
    }
};

struct InvokeCase {
    const char *name;
    NTSTATUS status;
    bool onSuccess, onError, onCancel;
    bool cancelled;
    bool invoked;
};
void PrintTo(const InvokeCase &c, std::ostream *out) { *out << c.name; }


class InvokeFlagsTest : public KernelTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeFlagsTest, CompletionRoutineRunsByInvokeFlagsAndNtSuccess)
{
    const InvokeCase &c = GetParam();
    TestDriver driver("flags");
    PDEVICE_OBJECT bottom = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = c.cancelled;
        return Complete(irp, c.status);
    });
    bool invoked = false;
    PDEVICE_OBJECT top = driver.AddDevice(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT device, PIRP, PVOID context) -> NTSTATUS {
                    *static_cast<bool *>(context) = true;
                    EXPECT_NE(device, nullptr);  // the routine gets the device that set it
                    return STATUS_SUCCESS;
                },
                &invoked, c.onSuccess, c.onError, c.onCancel);
            return IoCallDriver(self->DeviceObjectExtension->AttachedTo, irp);
        },
        bottom);
    OwnedIrp request(top);
    IoCallDriver(top, request.irp);
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.status, c.status);
    EXPECT_EQ(invoked, c.invoked);
    IoFreeIrp(request.irp);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvokeFlagsTest,
    ::testing::Values(InvokeCase{"success_on_success", STATUS_SUCCESS, true, false, false, false, true},
                      InvokeCase{"success_on_error_only", STATUS_SUCCESS, false, true, false, false, false},
                      // A success status other than STATUS_SUCCESS is still success.
                      InvokeCase{"timeout_is_success", STATUS_TIMEOUT, true, false, false, false, true},
                      InvokeCase{"timeout_not_error", STATUS_TIMEOUT, false, true, false, false, false},
                      InvokeCase{"warning_is_error", STATUS_BUFFER_OVERFLOW, false, true, false, false, true},
                      InvokeCase{"error_on_error", STATUS_UNSUCCESSFUL, false, true, false, false, true},
                      InvokeCase{"error_on_success_only", STATUS_UNSUCCESSFUL, true, false, false, false, false},
                      InvokeCase{"cancelled_on_cancel", STATUS_CANCELLED, false, false, true, true, true},
                      InvokeCase{"cancel_flag_without_cancel", STATUS_CANCELLED, false, false, true, false, false},
                      InvokeCase{"cancelled_success_on_cancel", STATUS_SUCCESS, false, false, true, true, true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(IoRequestTest, CompletionUnwindsBottomUpAndStopsAtMoreProcessingRequired)
{
    TestDriver driver("order");
    std::vector<std::string> order;
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 7); });
    auto layer = [&](const char *name, bool hold) {
        return [&, name, hold](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            struct Ctx {
                std::vector<std::string> *order;
                const char *name;
                bool hold;
                PIRP *held;
            };
            auto *ctx = new Ctx{&order, name, hold, &held};
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                    auto *ctx = static_cast<Ctx *>(context);
                    ctx->order->push_back(ctx->name);
                    bool hold = ctx->hold;
                    if (hold) *ctx->held = irp;
                    delete ctx;
                    return hold ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
                },
                ctx, TRUE, TRUE, TRUE);
            return IoCallDriver(self->DeviceObjectExtension->AttachedTo, irp);
        };
    };
    PDEVICE_OBJECT middle = driver.AddDevice(layer("middle", true), bottom);
    PDEVICE_OBJECT top = driver.AddDevice(layer("top", false), middle);
    OwnedIrp request(top);
    IoCallDriver(top, request.irp);
    EXPECT_EQ(order, (std::vector<std::string>{"middle"}));
    EXPECT_FALSE(request.completed);
    ASSERT_EQ(held, request.irp);
    IoCompleteRequest(held, IO_NO_INCREMENT);  // the middle layer finishes it later
    EXPECT_EQ(order, (std::vector<std::string>{"middle", "top"}));
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.irp->IoStatus.Information, 7u);
    IoFreeIrp(request.irp);
}

TEST_F(IoRequestTest, PendingReturnedReachesCompletionRoutinesAndPropagatesWithout)
{
    TestDriver driver("pending");
    PIRP pended = nullptr;
    PDEVICE_OBJECT bottom = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pended = irp;
        return STATUS_PENDING;
    });
    // No completion routine here: the kernel must mark this location pending itself.
    PDEVICE_OBJECT middle = driver.AddDevice(
        [&](PDEVICE_OBJECT self, PIRP irp) { return PassDown(self->DeviceObjectExtension->AttachedTo, irp); },
        bottom);
    bool sawPending = false;
    PDEVICE_OBJECT top = driver.AddDevice(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                    *static_cast<bool *>(context) = irp->PendingReturned != FALSE;
                    if (irp->PendingReturned) IoMarkIrpPending(irp);
                    return STATUS_SUCCESS;
                },
                &sawPending, TRUE, TRUE, TRUE);
            return IoCallDriver(self->DeviceObjectExtension->AttachedTo, irp);
        },
        middle);
    bool ownerSawPending = false;
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
            *static_cast<bool *>(context) = irp->PendingReturned != FALSE;
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &ownerSawPending, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    ASSERT_EQ(pended, irp);
    Complete(pended, STATUS_SUCCESS);
    EXPECT_TRUE(sawPending);
    EXPECT_TRUE(ownerSawPending);
    IoFreeIrp(irp);
}

TEST_F(IoRequestTest, CancelWithRoutineHoldsCancelLockAndSavesIrql)
{
    TestDriver driver("cancel");
    static PIRP queued;
    static KIRQL seenIrql;
    static bool lockHeld;
    queued = nullptr;
    PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            seenIrql = irp->CancelIrql;
            lockHeld = KeGetCurrentIrql() == DISPATCH_LEVEL;
            queued = nullptr;
            IoReleaseCancelSpinLock(irp->CancelIrql);
            Complete(irp, STATUS_CANCELLED);
        });
        IoMarkIrpPending(irp);
        queued = irp;
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    });
    OwnedIrp request(device);
    EXPECT_EQ(IoCallDriver(device, request.irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(request.irp));
    EXPECT_EQ(queued, nullptr);
    EXPECT_TRUE(lockHeld);
    EXPECT_EQ(seenIrql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.status, STATUS_CANCELLED);
    IoFreeIrp(request.irp);
}

TEST_F(IoRequestTest, CancelWithoutRoutineOnlySetsCancel)
{
    TestDriver driver("nocancel");
    PIRP pended = nullptr;
    PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pended = irp;
        return STATUS_PENDING;
    });
    OwnedIrp request(device);
    IoCallDriver(device, request.irp);
    EXPECT_FALSE(IoCancelIrp(request.irp));
    EXPECT_TRUE(request.irp->Cancel);
    EXPECT_FALSE(request.completed);
    Complete(pended, STATUS_SUCCESS);
    EXPECT_TRUE(request.completed);
    IoFreeIrp(request.irp);
}

TEST_F(IoRequestTest, BuiltControlRequestCompletesToEventAndStatusBlockWithCopyBack)
{
    TestDriver driver("ioctl");
    PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, ULONG(IOCTL_SERIAL_GET_TIMEOUTS));
        auto *timeouts = static_cast<SERIAL_TIMEOUTS *>(irp->AssociatedIrp.SystemBuffer);
        timeouts->ReadIntervalTimeout = 42;
        return Complete(irp, STATUS_SUCCESS, sizeof(SERIAL_TIMEOUTS));
    });
    SERIAL_TIMEOUTS timeouts = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_TIMEOUTS, device, nullptr, 0, &timeouts,
                                             sizeof timeouts, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(SERIAL_TIMEOUTS));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 42u);
}

TEST_F(IoRequestTest, SerialControlCodesHaveTheirWindowsValues)
{
    EXPECT_EQ(ULONG(IOCTL_SERIAL_SET_TIMEOUTS), 0x001B001Cu);
    EXPECT_EQ(ULONG(IOCTL_SERIAL_GET_MODEMSTATUS), 0x001B0068u);
    EXPECT_EQ(ULONG(IOCTL_SERIAL_GET_COMMSTATUS), 0x001B006Cu);
    EXPECT_EQ(ULONG(IOCTL_SERIAL_WAIT_ON_MASK), 0x001B0048u);
    EXPECT_EQ(ULONG(STATUS_CANCELLED), 0xC0000120u);
    EXPECT_EQ(sizeof(SERIAL_STATUS), 20u);
    EXPECT_EQ(sizeof(SERIAL_TIMEOUTS), 20u);
    EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), 64u);
}

}  // namespace
