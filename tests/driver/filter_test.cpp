// The filter's spine and lifecycle, seen at the application API and in the
// requests that reach the modem port.
#include "../support/kernel_test.h"

#include "app/win32_comm.h"
#include "modem_stack.h"
#include "zyrva_driver.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace testing_support;

namespace {

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT filter) { return static_cast<PDEVICE_EXTENSION>(filter->DeviceExtension); }

app::HANDLE OpenCom1(app::DWORD flags = 0)
{
    return app::CreateFile(u"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, app::OPEN_EXISTING, flags,
                           nullptr);
}

size_t Count(const std::vector<sim::PortRequest> &record, UCHAR major, ULONG code = 0)
{
    return size_t(std::count_if(record.begin(), record.end(), [&](const sim::PortRequest &r) {
        return r.major == major && (!code || r.ioControlCode == code);
    }));
}

class FilterStackTest : public KernelTest {};

TEST_F(FilterStackTest, SessionPassesThroughAndTheOpenSwitchesPortTimeoutsOff)
{
    zyrva::ModemStack stack;
    ASSERT_EQ(stack.addStatus, STATUS_SUCCESS);
    ASSERT_EQ(stack.Start(), STATUS_SUCCESS);
    PDEVICE_EXTENSION extension = ExtensionOf(stack.Filter());
    EXPECT_EQ(extension->DeviceState, ULONG(DeviceStateStarted));
    EXPECT_EQ(extension->Signature, ZYR_SIGNATURE);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&extension->Signature), 4), "ZYRv");
    EXPECT_EQ(host::FromUnicodeString(extension->PortName), u"COM1");
    EXPECT_EQ(host::FromUnicodeString(extension->DriverKeyPath),
              u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
              u"{4D36E96D-E325-11CE-BFC1-08002BE10318}\\0000");
    EXPECT_EQ(extension->DriverKeyPath.MaximumLength, (43 + 1) * 2 + 118);
    auto interfaces = host::DeviceInterfaces(GUID_CLASS_MODEM_EXPERT_INTERFACE);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].referenceString, u"COM1");
    EXPECT_TRUE(interfaces[0].enabled);

    stack.Port().ClearRequests();
    app::HANDLE h = OpenCom1();
    ASSERT_NE(h, app::INVALID_HANDLE_VALUE);
    auto record = stack.Port().Requests();
    ASSERT_GE(record.size(), 2u);
    EXPECT_EQ(record[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(record[1].ioControlCode, ULONG(IOCTL_SERIAL_SET_TIMEOUTS));
    EXPECT_EQ(record[1].length, 20u);
    SERIAL_TIMEOUTS timeouts = stack.Port().Timeouts();
    EXPECT_EQ(timeouts.ReadIntervalTimeout | timeouts.ReadTotalTimeoutConstant | timeouts.ReadTotalTimeoutMultiplier |
                  timeouts.WriteTotalTimeoutConstant | timeouts.WriteTotalTimeoutMultiplier,
              0u);

    app::COMMTIMEOUTS commTimeouts = {app::DWORD(MAXULONG), 0, 0, 0, 0};
    EXPECT_TRUE(app::SetCommTimeouts(h, &commTimeouts));
    app::DWORD n = 0;
    EXPECT_TRUE(app::WriteFile(h, "ATZ\r", 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    char reply[32] = {};
    EXPECT_TRUE(app::ReadFile(h, reply, sizeof reply - 1, &n, nullptr));
    EXPECT_EQ(std::string(reply, n), "ATZ\r\r\nOK\r\n");
    EXPECT_TRUE(app::FlushFileBuffers(h));
    app::COMSTAT status;
    EXPECT_TRUE(app::ClearCommError(h, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_TRUE(app::CloseHandle(h));
    EXPECT_FALSE(stack.Port().IsOpen());
    record = stack.Port().Requests();
    EXPECT_EQ(Count(record, IRP_MJ_WRITE), 1u);
    EXPECT_EQ(Count(record, IRP_MJ_READ), 1u);
    EXPECT_EQ(Count(record, IRP_MJ_FLUSH_BUFFERS), 1u);
    EXPECT_EQ(Count(record, IRP_MJ_CLEANUP), 1u);
    EXPECT_EQ(Count(record, IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(stack.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 0u);
}

TEST_F(FilterStackTest, AfterSurpriseRemovalRequestsAreRefusedButCloseStillGoesDown)
{
    zyrva::ModemStack stack;
    stack.Start();
    app::HANDLE h = OpenCom1();
    ASSERT_NE(h, app::INVALID_HANDLE_VALUE);
    EXPECT_EQ(host::SurpriseRemoveDevice(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(ExtensionOf(stack.Filter())->DeviceState, ULONG(DeviceStateSurpriseRemoved));
    stack.Port().ClearRequests();
    char buffer[8];
    app::DWORD n;
    EXPECT_FALSE(app::ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(app::GetLastError(), app::ERROR_ACCESS_DENIED);  // STATUS_DELETE_PENDING
    EXPECT_FALSE(app::WriteFile(h, "AT\r", 3, &n, nullptr));
    app::DWORD modemStatus;
    EXPECT_FALSE(app::GetCommModemStatus(h, &modemStatus));
    EXPECT_EQ(app::CreateFile(u"\\\\.\\COM1", 0, 0, nullptr, app::OPEN_EXISTING, 0, nullptr), app::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(stack.Port().Requests().empty());
    app::CloseHandle(h);
    auto record = stack.Port().Requests();
    ASSERT_EQ(record.size(), 1u);  // the cleanup is refused too; the close is not
    EXPECT_EQ(record[0].major, IRP_MJ_CLOSE);
    EXPECT_EQ(stack.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 0u);
}

TEST_F(FilterStackTest, OpenRefusedByThePortLeavesThePortOpenable)
{
    zyrva::ModemStack stack;
    stack.Start();
    stack.Port().InjectFault(IRP_MJ_CREATE, 0, sim::PortFault::Fail, STATUS_ACCESS_DENIED, 1);
    EXPECT_EQ(OpenCom1(), app::INVALID_HANDLE_VALUE);
    EXPECT_EQ(app::GetLastError(), app::ERROR_ACCESS_DENIED);
    app::HANDLE h = OpenCom1();
    ASSERT_NE(h, app::INVALID_HANDLE_VALUE);
    app::CloseHandle(h);

    // The port opens but refuses the zero time-outs: the open fails, and the port is closed again.
    stack.Port().InjectFault(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS, sim::PortFault::Fail,
                             STATUS_INVALID_PARAMETER, 1);
    EXPECT_EQ(OpenCom1(), app::INVALID_HANDLE_VALUE);
    EXPECT_EQ(app::GetLastError(), app::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(stack.Port().IsOpen());
    h = OpenCom1();
    EXPECT_NE(h, app::INVALID_HANDLE_VALUE);
    app::CloseHandle(h);
}

TEST_F(FilterStackTest, UnroutedMajorFunctionsReachThePortUnchanged)
{
    zyrva::ModemStack stack;
    stack.Start();
    for (UCHAR major : {UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL), UCHAR(IRP_MJ_SHUTDOWN), UCHAR(IRP_MJ_SYSTEM_CONTROL),
                        UCHAR(IRP_MJ_QUERY_INFORMATION)}) {
        stack.Port().ClearRequests();
        host::IoRequest request;
        request.major = major;
        request.minor = 7;
        request.device = stack.Filter();
        EXPECT_EQ(host::CallRequest(request).status, STATUS_INVALID_DEVICE_REQUEST);  // the port's answer
        auto record = stack.Port().Requests();
        ASSERT_EQ(record.size(), 1u);
        EXPECT_EQ(record[0].major, major);
        EXPECT_EQ(record[0].minor, 7);
        EXPECT_EQ(ExtensionOf(stack.Filter())->PendingActionCount, 0);
    }
}

TEST_F(FilterStackTest, StartQueriesCapabilitiesAndPowerStatesFollowTheTable)
{
    zyrva::ModemStack stack;
    EXPECT_EQ(ExtensionOf(stack.Filter())->DeviceState, ULONG(DeviceStateAdded));
    stack.Start();
    PDEVICE_EXTENSION e = ExtensionOf(stack.Filter());
    EXPECT_EQ(e->DeviceCapabilities.Size, 64);
    EXPECT_EQ(e->DeviceCapabilities.Version, 1);
    EXPECT_TRUE(e->DeviceCapabilities.SurpriseRemovalOK);  // the bus driver's answer came back
    auto record = stack.Port().Requests();
    EXPECT_EQ(Count(record, IRP_MJ_PNP), 2u);  // start, then the capabilities query
    EXPECT_EQ(record[1].minor, IRP_MN_QUERY_CAPABILITIES);

    EXPECT_EQ(host::StopDevice(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(e->DeviceState, ULONG(DeviceStateStopped));
    EXPECT_EQ(host::SetDevicePower(stack.Pdo(), PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(e->DeviceState, ULONG(DeviceStateStopped));  // only a started device powers down
    EXPECT_EQ(host::StartDevice(stack.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(e->DeviceState, ULONG(DeviceStateStarted));
    EXPECT_EQ(host::SetDevicePower(stack.Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(e->DeviceState, ULONG(DeviceStatePoweredDown));
    EXPECT_EQ(host::SendPnp(stack.Pdo(), IRP_MN_STOP_DEVICE), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(e->DeviceState, ULONG(DeviceStatePoweredDown));
    EXPECT_EQ(host::SetSystemPower(stack.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(e->DeviceState, ULONG(DeviceStatePoweredDown));
    EXPECT_EQ(host::SetDevicePower(stack.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(e->DeviceState, ULONG(DeviceStateStarted));
    EXPECT_EQ(e->PendingActionCount, 0);
}

TEST_F(FilterStackTest, StartFailsWhenTheCapabilityQueryCannotBeAllocated)
{
    zyrva::ModemStack stack;
    host::FailAllocationNumber(1);  // the filter's capabilities request
    EXPECT_EQ(stack.Start(), STATUS_INSUFFICIENT_RESOURCES);
    host::FailAllocationNumber(0);
    EXPECT_EQ(ExtensionOf(stack.Filter())->DeviceState, ULONG(DeviceStateStartFailed));
    EXPECT_FALSE(ExtensionOf(stack.Filter())->DeviceStarted);
}

// ---- AddDevice failures ----

struct AddFailure {
    const char *name;
    std::function<void()> breakIt;
    NTSTATUS expected;
};

void PrintTo(const AddFailure &f, std::ostream *out) { *out << f.name; }

class AddDeviceFailure : public KernelTest, public ::testing::WithParamInterface<AddFailure> {};

TEST_P(AddDeviceFailure, LeavesNothingAllocated)
{
    zyrva::ModemStack stack(zyrva::DefaultRegistryFile(), false);
    GetParam().breakIt();
    PDRIVER_OBJECT filter = host::LoadDriver({u"ZyrVa", DriverEntry, {ZYR_POOL_TAG}});
    EXPECT_EQ(host::AddDevice(filter, stack.Pdo()), GetParam().expected);
    host::FailAllocationNumber(0);
    EXPECT_EQ(filter->DeviceObject, nullptr);
    EXPECT_EQ(stack.Pdo()->AttachedDevice->AttachedDevice, nullptr);
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 0u);
    EXPECT_EQ(host::PoolByTag(host::Tag("IoDi")).allocations, 0u);
    host::UnloadDriver(filter);
}

const std::u16string kKey = std::u16string(zyrva::kModemClassKey) + u"\\0000";

INSTANTIATE_TEST_SUITE_P(
    Cases, AddDeviceFailure,
    ::testing::Values(AddFailure{"port_name_of_five_characters",
                                 [] { host::RegistrySet(kKey, u"AttachedTo", host::RegSz(u"COM10")); },
                                 STATUS_BUFFER_TOO_SMALL},
                      AddFailure{"no_port_name", [] { host::RegistryDeleteValue(kKey, u"AttachedTo"); },
                                 STATUS_OBJECT_NAME_NOT_FOUND},
                      AddFailure{"driver_key_path_allocation", [] { host::FailAllocationNumber(1); },
                                 STATUS_INSUFFICIENT_RESOURCES},
                      AddFailure{"port_name_allocation", [] { host::FailAllocationNumber(2); },
                                 STATUS_INSUFFICIENT_RESOURCES},
                      AddFailure{"interface_registration", [] { host::FailAllocationNumber(3); },
                                 STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(KernelTest, AddDeviceWithoutADriverKeyFails)
{
    PDRIVER_OBJECT filter = host::LoadDriver({u"ZyrVa", DriverEntry, {ZYR_POOL_TAG}});
    PDEVICE_OBJECT pdo = host::CreatePdo({u"ROOT\\MODEM\\0001"});  // no driver key name
    EXPECT_EQ(host::AddDevice(filter, pdo), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(filter->DeviceObject, nullptr);
    host::UnloadDriver(filter);
}

// ---- Removal and the pending-action count, with a port the test controls ----

class FakePortTest : public KernelTest, public ::testing::WithParamInterface<host::Schedule> {
protected:
    host::KernelOptions Options() override
    {
        host::KernelOptions options;
        options.schedule = GetParam();
        return options;
    }
    void SetUp() override
    {
        KernelTest::SetUp();
        host::RegistryImportFile(zyrva::DefaultRegistryFile());
        pdo = host::CreatePdo({u"ROOT\\MODEM\\0000", zyrva::kDriverKeyName});
        port = std::make_unique<TestDriver>("fakeport");
        lower = port->AddDevice([this](PDEVICE_OBJECT, PIRP irp) { return LowerDispatch(irp); }, pdo);
        filterDriver = host::LoadDriver({u"ZyrVa", DriverEntry, {ZYR_POOL_TAG}});
        ASSERT_EQ(host::AddDevice(filterDriver, pdo), STATUS_SUCCESS);
        filter = lower->AttachedDevice;
        ASSERT_EQ(host::StartDevice(pdo), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (lower && lower->AttachedDevice) host::SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        port.reset();
        host::UnloadDriver(filterDriver);
        KernelTest::TearDown();
    }
    NTSTATUS LowerDispatch(PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        {
            std::lock_guard guard(seenLock);
            seen.push_back(stack->MajorFunction);
        }
        if (stack->MajorFunction == IRP_MJ_CREATE && holdCreates) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        }
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
            capabilityStatus = irp->IoStatus.Status;
            capabilities = *stack->Parameters.DeviceCapabilities.Capabilities;
        }
        if (stack->MajorFunction == IRP_MJ_READ) {
            IoMarkIrpPending(irp);
            queuedRead = irp;
            return STATUS_PENDING;
        }
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && holdControls) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        }
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            return Complete(irp, controlStatus, stack->Parameters.DeviceIoControl.OutputBufferLength);
        return Complete(irp, STATUS_SUCCESS);
    }
    PDEVICE_OBJECT pdo = nullptr, lower = nullptr, filter = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    std::unique_ptr<TestDriver> port;
    std::vector<UCHAR> Seen()
    {
        std::lock_guard guard(seenLock);
        return seen;
    }
    std::mutex seenLock;
    std::vector<UCHAR> seen;
    std::atomic<bool> holdCreates{false}, holdControls{false};
    NTSTATUS controlStatus = STATUS_SUCCESS;
    std::atomic<PIRP> held{nullptr}, queuedRead{nullptr};
    NTSTATUS capabilityStatus = 0;
    DEVICE_CAPABILITIES capabilities = {};
};

TEST_P(FakePortTest, ControlRequestAnsweredWithinTheCallReturnsAtAnyIrql)
{
    PDEVICE_EXTENSION e = ExtensionOf(filter);
    ULONG modemStatus = 0;
    for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_INVALID_PARAMETER}) {
        controlStatus = answer;
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(IssueModemCtlIrp(e, 0, 4, &modemStatus, IOCTL_SERIAL_GET_MODEMSTATUS, &e->ModemStatusEvent),
                  answer);
        EXPECT_EQ(e->CtlIrp, nullptr);
        EXPECT_EQ(KeReadStateEvent(&e->ModemStatusEvent), 1);
    }
}

// Timed by the virtual clock, so in the deterministic schedule only.
class FakePortClockTest : public FakePortTest {};

TEST_P(FakePortClockTest, ControlRequestPendedBelow)
{
    PDEVICE_EXTENSION e = ExtensionOf(filter);
    holdControls = true;
    SERIAL_STATUS status;
    // At PASSIVE_LEVEL the call waits until the port completes it.
    host::Post(5 * 10000, [&] { Complete(held.load(), STATUS_SUCCESS, sizeof status); });
    EXPECT_EQ(IssueModemCtlIrp(e, 0, sizeof status, &status, IOCTL_SERIAL_GET_COMMSTATUS, &e->CommStatusEvent),
              STATUS_SUCCESS);
    EXPECT_EQ(e->CtlIrp, nullptr);
    // At DISPATCH_LEVEL it cannot wait: the port is asked to cancel it, and one that stays
    // below is left recorded rather than freed under the port.
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(IssueModemCtlIrp(e, 0, sizeof status, &status, IOCTL_SERIAL_GET_COMMSTATUS, &e->CommStatusEvent),
                  STATUS_PENDING);
    }
    ASSERT_NE(e->CtlIrp, nullptr);
    EXPECT_EQ(host::DebugLog().back(), "IssueModemCtlIrp : STATUS_PENDING\n");
    Complete(held.load(), STATUS_SUCCESS, sizeof status);
    EXPECT_EQ(KeReadStateEvent(&e->CommStatusEvent), 1);
    IoFreeIrp(e->CtlIrp);
    e->CtlIrp = nullptr;
}

TEST_P(FakePortTest, CapabilityQueryArrivesPresetAndCounted)
{
    // As the port saw the filter's own query during the start.
    EXPECT_EQ(capabilityStatus, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(capabilities.Size, 64);
    EXPECT_EQ(capabilities.Version, 1);
    EXPECT_EQ(capabilities.Address, MAXULONG);
    EXPECT_EQ(capabilities.UINumber, MAXULONG);
    EXPECT_EQ(ExtensionOf(filter)->DeviceState, ULONG(DeviceStateStarted));
    EXPECT_EQ(ExtensionOf(filter)->PendingActionCount, 0);
}

TEST_P(FakePortTest, RemovalDoesNotWaitForARequestLeftPendingBelow)
{
    host::IoRequest read;
    read.major = IRP_MJ_READ;
    read.outputLength = 4;
    read.device = filter;
    NTSTATUS readStatus = STATUS_PENDING;
    host::SendRequest(read, [&](const host::IoResult &r) { readStatus = r.status; });
    EXPECT_NE(queuedRead.load(), nullptr);
    EXPECT_EQ(ExtensionOf(filter)->PendingActionCount, 0);  // it left the dispatch routine
    EXPECT_EQ(host::SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(lower->AttachedDevice, nullptr);  // the filter is gone
    Complete(queuedRead.load(), STATUS_CANCELLED);
    host::WaitForIdle();
    EXPECT_EQ(readStatus, STATUS_CANCELLED);
}

TEST_P(FakePortTest, SecondRemoveWhileRemovingPassesDownAtOnce)
{
    PDEVICE_EXTENSION e = ExtensionOf(filter);
    e->DeviceState = DeviceStateRemoved;  // a removal already under way
    seen.clear();
    EXPECT_EQ(host::SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_PNP}));
    EXPECT_EQ(lower->AttachedDevice, filter);  // not torn down a second time
    e->DeviceState = DeviceStateStarted;
    EXPECT_EQ(host::SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(lower->AttachedDevice, nullptr);
}

TEST_P(FakePortTest, PendedOpenBelowMakesTheSynchronousCallWait)
{
    holdCreates = true;
    std::atomic<NTSTATUS> created{STATUS_PENDING};
    std::thread opener;
    auto open = [&] {
        host::IoRequest create;
        create.major = IRP_MJ_CREATE;
        create.device = filter;
        created = host::CallRequest(create).status;
    };
    if (GetParam() == host::Schedule::Deterministic) {
        // One thread: the open waits inside the create path until the port completes it.
        host::Post(10 * 10000, [&] { Complete(held.load(), STATUS_SUCCESS); });
        open();
        EXPECT_EQ(created.load(), STATUS_SUCCESS);
        EXPECT_EQ(seen.back(), IRP_MJ_DEVICE_CONTROL);  // then the zero time-outs
        return;
    }
    opener = std::thread(open);
    while (!held.load()) std::this_thread::yield();
    EXPECT_EQ(ExtensionOf(filter)->PendingActionCount, 2);  // the dispatch and its synchronous call
    // A removal now waits until the opener has left the dispatch routine.
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        host::SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        removed = true;
    });
    while (ZyrReadUlong(&ExtensionOf(filter)->DeviceState) != DeviceStateRemoved) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removed.load());
    EXPECT_EQ(created.load(), STATUS_PENDING);
    // While the removal waits, new requests are refused; a close still goes down.
    size_t seenBefore = Seen().size();
    host::IoRequest read;
    read.major = IRP_MJ_READ;
    read.outputLength = 1;
    read.device = filter;
    EXPECT_EQ(host::CallRequest(read).status, STATUS_DELETE_PENDING);
    host::IoRequest close;
    close.major = IRP_MJ_CLOSE;
    close.device = filter;
    EXPECT_EQ(host::CallRequest(close).status, STATUS_SUCCESS);
    EXPECT_EQ(Seen().size(), seenBefore + 1);
    EXPECT_EQ(Seen().back(), IRP_MJ_CLOSE);
    Complete(held.load(), STATUS_SUCCESS);
    opener.join();
    remover.join();
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(created.load(), STATUS_SUCCESS);
    EXPECT_EQ(lower->AttachedDevice, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Deterministic, FakePortClockTest, ::testing::Values(host::Schedule::Deterministic));

INSTANTIATE_TEST_SUITE_P(Schedules, FakePortTest,
                         BothSchedules(), ScheduleName);

}  // namespace
