// The host kernel's harness: what a test, the simulated world or a tool uses to
// boot the kernel, drive its schedule, play the Plug and Play manager and read
// what happened. Drivers never include this header.
#pragma once

#include <ntddk.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

enum class Schedule {
    Deterministic,  // one thread, virtual clock, DPCs and timers run only when pumped
    Concurrent,     // emulated processors run DPCs and timer expiries in parallel
};

struct KernelOptions {
    Schedule schedule = Schedule::Deterministic;
    unsigned processors = 2;          // emulated processors (concurrent schedule)
    bool checkLeaksAtShutdown = true;  // any pool still allocated at shutdown is a leak
    bool lockOrderChecks = true;
};

// Every verifier rule; each maps to a bug check code.
enum class Rule {
    IrqlWaitAtDispatch,
    IrqlPagedPoolAtDispatch,
    IrqlRegistryAbovePassive,
    IrqlRaiseToLower,
    IrqlLowerToHigher,
    IrqlCallAboveDispatch,
    IrqlBlockingCallAbovePassive,
    IrpCompletedTwice,
    IrpCompletedWithCancelRoutine,
    IrpCompletedWithPendingStatus,
    IrpPendingNotMarked,
    IrpFreedWhileBelow,
    IrpFreedNotOwned,
    IrpUnknown,
    IrpCompletedPastOwner,
    IrpNoMoreStackLocations,
    IrpReinitialisedTooLarge,
    IrpReinitialisedWhileBelow,
    SpinLockReleaseNotHeld,
    SpinLockAcquiredTwice,
    SpinLockOrderInverted,
    SpinLockAtDpcLevelBelowDispatch,
    CompletedHoldingCancelLock,
    CancelRoutineKeptCancelLock,
    DpcReturnedAtWrongIrql,
    DpcReturnedHoldingLock,
    PoolDoubleFree,
    PoolBadPointer,
    PoolLeak,
    DpcQueuedInFreedMemory,
    TimerQueuedInFreedMemory,
    WaitNeverSatisfied,
    DeviceDeletedWhileAttached,
    DriverUnloadedWithDevices,
    PagedSectionUnlockedTooOften,
    DriverBugCheck,  // the driver called KeBugCheckEx itself
};

struct BugCheck {
    ULONG code = 0;
    ULONG_PTR parameters[4] = {};
    Rule rule = Rule::DriverBugCheck;
    std::string message;  // names the rule and what broke it
};

std::string_view RuleName(Rule rule);
ULONG RuleCode(Rule rule);

// Boots the kernel for its lifetime; only one exists at a time.
class Kernel {
public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;
};

// ---- Bug checks -----------------------------------------------------------
// Without a handler a bug check prints its message and aborts, as a real bug
// check stops the machine. With one, the handler sees it and the kernel
// refuses the faulty operation and goes on.
using BugCheckHandler = std::function<void(const BugCheck &)>;
void SetBugCheckHandler(BugCheckHandler handler);
std::vector<BugCheck> BugChecks();
void ClearBugChecks();

// ---- Schedule and clock (100-ns units, as the kernel's times) ----------------
Schedule CurrentSchedule();
LONGLONG Now();
bool RunOneDpc();                          // deterministic: run the first queued DPC
size_t RunDpcs();                          // deterministic: until the DPC queue is empty
void AdvanceTime(LONGLONG hundredNs);      // deterministic: expire timers in order, running DPCs
void AdvanceTimeMs(LONGLONG ms);
bool RunUntilIdle(LONGLONG limitHundredNs);// deterministic: DPCs and timers until none are left (bounded)
void WaitForIdle();                        // concurrent: until no DPC is queued or running
size_t QueuedDpcCount();
size_t PendingTimerCount();
// A callback run at DISPATCH_LEVEL after the delay, as a timer DPC would run.
void Post(LONGLONG delayHundredNs, std::function<void()> callback);

// ---- Low-resource simulation ------------------------------------------------
// Counts pool allocations and IoAllocateIrp from the moment it is armed; the
// Nth one fails (1-based). 0 disarms.
void FailAllocationNumber(uint64_t n);
uint64_t AllocationsSinceArmed();
// Runs the scenario once without failures to count its allocations, then once
// per allocation with that one failing. The scenario boots its own world and
// calls FailAllocationNumber(failing) where counting should begin.
void RunWithEachAllocationFailing(const std::function<void(uint64_t failing)> &scenario);

// ---- Pool ------------------------------------------------------------------
struct PoolUsage {
    size_t allocations = 0;
    size_t bytes = 0;
};
PoolUsage PoolByTag(ULONG tag);
std::vector<std::pair<ULONG, PoolUsage>> PoolTags();
constexpr ULONG Tag(const char (&text)[5])
{
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}
int PagedSectionLockCount();

// ---- DbgPrint ---------------------------------------------------------------
std::vector<std::string> DebugLog();
std::string DebugText();
void ClearDebugLog();
void EchoDebugOutput(bool echo);

// ---- Request trace ------------------------------------------------------------
struct TraceRecord {
    enum class Kind { Call, Return, Complete } kind;
    LONGLONG time;
    std::string device;  // label or name of the device the request reached
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    ULONG length = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    const IRP *irp = nullptr;
};
std::string DescribeTrace(const TraceRecord &record);
void EnableTrace(bool enable);
std::vector<TraceRecord> Trace();
void ClearTrace();
void SetTraceSink(std::function<void(const TraceRecord &)> sink);
void SetDeviceLabel(PDEVICE_OBJECT device, std::string label);
std::string DeviceLabel(PDEVICE_OBJECT device);

// ---- IRQL of the calling thread ---------------------------------------------
class IrqlScope {  // raises for its lifetime
public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope &) = delete;
    IrqlScope &operator=(const IrqlScope &) = delete;

private:
    KIRQL old_;
};

// ---- Objects ---------------------------------------------------------------
PDEVICE_OBJECT FindDevice(std::u16string_view name);  // follows symbolic links
std::u16string DeviceName(PDEVICE_OBJECT device);
size_t DeviceCount();

struct DeviceInterfaceRecord {
    std::u16string symbolicLink;
    std::u16string referenceString;
    GUID classGuid;
    PDEVICE_OBJECT physicalDevice;
    bool enabled;
};
std::vector<DeviceInterfaceRecord> DeviceInterfaces(const GUID &classGuid);
std::u16string GuidString(const GUID &guid);  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}

// ---- Plug and Play manager -----------------------------------------------------
struct DriverOptions {
    std::u16string name;               // service name, as in \Driver\<name>
    PDRIVER_INITIALIZE entry = nullptr;
    std::vector<ULONG> poolTags;       // the driver's tags, for leak checks
};
PDRIVER_OBJECT LoadDriver(const DriverOptions &options, NTSTATUS *status = nullptr);
void UnloadDriver(PDRIVER_OBJECT driver);

struct PdoProperties {
    std::u16string instancePath;   // e.g. ROOT\MODEM\0000
    std::u16string driverKeyName;  // e.g. {4D36E96D-E325-11CE-BFC1-08002BE10318}\0000
    std::u16string hardwareId;
    std::u16string className;
    std::u16string friendlyName;
};
// A physical device object of the kernel's root bus driver.
PDEVICE_OBJECT CreatePdo(const PdoProperties &properties);
void DeletePdo(PDEVICE_OBJECT pdo);
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo);

// Plug and Play requests, sent to the top of the PDO's stack and waited for.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR *information = nullptr);
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *capabilities);
NTSTATUS StopDevice(PDEVICE_OBJECT pdo);        // query-stop, then stop
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);      // query-remove, then remove
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);

// ---- I/O manager side: opening a device as a client does ----------------------
// Sends IRP_MJ_CREATE to the top of the named device's stack; returns the file
// object (referenced once) or null with the status.
PFILE_OBJECT OpenDevice(std::u16string_view name, NTSTATUS *status = nullptr);
// Dereferences; the last reference sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
void CloseDevice(PFILE_OBJECT file);

// An IRP owned by the I/O manager: the kernel frees it after its completion has
// reached the top, calling `done` first.
struct IoRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    std::vector<UCHAR> input;   // write data or control input
    ULONG outputLength = 0;     // read length or control output
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;  // defaults to the top of the file's stack
    NTSTATUS initialStatus = STATUS_SUCCESS;  // Plug and Play requests start as STATUS_NOT_SUPPORTED
    KPROCESSOR_MODE requestorMode = UserMode;
    std::function<void(PIRP, PIO_STACK_LOCATION)> prepare;  // last touches before sending
};
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output;
};
// Sends and returns the dispatch routine's status; `done` runs at completion.
NTSTATUS SendRequest(const IoRequest &request, std::function<void(const IoResult &)> done, PIRP *irpOut = nullptr);
// Sends and waits (pumping in the deterministic schedule).
IoResult CallRequest(const IoRequest &request);

// ---- Registry -------------------------------------------------------------------
struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};
void RegistryImport(std::string_view regeditText);   // REGEDIT4 text
void RegistryImportFile(const std::string &path);
std::string RegistryExport(std::u16string_view keyPath);  // REGEDIT4 text of a key and its subkeys
void RegistryExportFile(std::u16string_view keyPath, const std::string &path);
std::optional<RegistryValue> RegistryGet(std::u16string_view keyPath, std::u16string_view valueName);
void RegistrySet(std::u16string_view keyPath, std::u16string_view valueName, const RegistryValue &value);
bool RegistryDeleteValue(std::u16string_view keyPath, std::u16string_view valueName);
bool RegistryKeyExists(std::u16string_view keyPath);
RegistryValue RegSz(std::u16string_view text, bool terminated = true);
RegistryValue RegDword(ULONG value);

// ---- Text helpers -------------------------------------------------------------
std::u16string ToU16(std::string_view latin1);
std::string ToNarrow(std::u16string_view text);  // Latin-1, '?' beyond
std::u16string FromUnicodeString(const UNICODE_STRING &string);

}  // namespace host
