// Boot and shutdown, the verifier's bug checks, DbgPrint and the request trace.
#include "state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace host {
namespace detail {

namespace {
State *g_state = nullptr;
}

State &S()
{
    if (!g_state) {
        std::fprintf(stderr, "host kernel: used before a host::Kernel was booted\n");
        std::abort();
    }
    return *g_state;
}

bool Booted() { return g_state != nullptr; }

ThreadState &T()
{
    thread_local ThreadState state;
    return state;
}

void Violation(Rule rule, std::string message, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    BugCheck check;
    check.code = RuleCode(rule);
    check.parameters[0] = p1;
    check.parameters[1] = p2;
    check.parameters[2] = p3;
    check.parameters[3] = p4;
    check.rule = rule;
    check.message = std::string(RuleName(rule)) + ": " + message;
    BugCheckHandler handler;
    {
        std::lock_guard guard(S().logLock);
        S().bugChecks.push_back(check);
        handler = S().bugCheckHandler;
    }
    if (!handler) {
        std::fprintf(stderr, "*** BUG CHECK 0x%08X (%s)\n", unsigned(check.code), check.message.c_str());
        std::fflush(stderr);
        std::abort();
    }
    handler(check);
}

std::u16string Upper(std::u16string_view text)
{
    std::u16string out(text);
    for (auto &c : out)
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return out;
}

std::string Hex(ULONG_PTR value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::u16string WideFromPcwstr(PCWSTR text)
{
    std::u16string out;
    if (text)
        for (; *text; ++text) out.push_back(char16_t(*text));
    return out;
}

void TraceEvent(TraceRecord record)
{
    std::function<void(const TraceRecord &)> sink;
    {
        std::lock_guard guard(S().logLock);
        if (!S().traceEnabled && !S().traceSink) return;
        if (S().traceEnabled) S().trace.push_back(record);
        sink = S().traceSink;
    }
    if (sink) sink(record);
}

}  // namespace detail

using namespace detail;

std::string_view RuleName(Rule rule)
{
    switch (rule) {
    case Rule::IrqlWaitAtDispatch: return "IRQL_WAIT_AT_DISPATCH_LEVEL";
    case Rule::IrqlPagedPoolAtDispatch: return "IRQL_PAGED_POOL_AT_DISPATCH_LEVEL";
    case Rule::IrqlRegistryAbovePassive: return "IRQL_REGISTRY_ABOVE_PASSIVE_LEVEL";
    case Rule::IrqlRaiseToLower: return "IRQL_RAISE_TO_LOWER_LEVEL";
    case Rule::IrqlLowerToHigher: return "IRQL_LOWER_TO_HIGHER_LEVEL";
    case Rule::IrqlCallAboveDispatch: return "IRQL_CALL_ABOVE_DISPATCH_LEVEL";
    case Rule::IrqlBlockingCallAbovePassive: return "IRQL_BLOCKING_CALL_ABOVE_PASSIVE_LEVEL";
    case Rule::IrpCompletedTwice: return "IRP_COMPLETED_TWICE";
    case Rule::IrpCompletedWithCancelRoutine: return "IRP_COMPLETED_WITH_CANCEL_ROUTINE";
    case Rule::IrpCompletedWithPendingStatus: return "IRP_COMPLETED_WITH_STATUS_PENDING";
    case Rule::IrpPendingNotMarked: return "IRP_PENDING_NOT_MARKED";
    case Rule::IrpFreedWhileBelow: return "IRP_FREED_WHILE_BELOW";
    case Rule::IrpFreedNotOwned: return "IRP_FREED_NOT_OWNED";
    case Rule::IrpUnknown: return "IRP_UNKNOWN";
    case Rule::IrpCompletedPastOwner: return "IRP_COMPLETED_PAST_OWNER";
    case Rule::IrpNoMoreStackLocations: return "IRP_NO_MORE_STACK_LOCATIONS";
    case Rule::IrpReinitialisedTooLarge: return "IRP_REINITIALISED_TOO_LARGE";
    case Rule::IrpReinitialisedWhileBelow: return "IRP_REINITIALISED_WHILE_BELOW";
    case Rule::SpinLockReleaseNotHeld: return "SPIN_LOCK_RELEASE_NOT_HELD";
    case Rule::SpinLockAcquiredTwice: return "SPIN_LOCK_ACQUIRED_TWICE";
    case Rule::SpinLockOrderInverted: return "SPIN_LOCK_ORDER_INVERTED";
    case Rule::SpinLockAtDpcLevelBelowDispatch: return "SPIN_LOCK_AT_DPC_LEVEL_BELOW_DISPATCH";
    case Rule::CompletedHoldingCancelLock: return "IRP_COMPLETED_HOLDING_CANCEL_SPIN_LOCK";
    case Rule::CancelRoutineKeptCancelLock: return "CANCEL_ROUTINE_KEPT_CANCEL_SPIN_LOCK";
    case Rule::DpcReturnedAtWrongIrql: return "DPC_RETURNED_AT_WRONG_IRQL";
    case Rule::DpcReturnedHoldingLock: return "DPC_RETURNED_HOLDING_SPIN_LOCK";
    case Rule::PoolDoubleFree: return "POOL_DOUBLE_FREE";
    case Rule::PoolBadPointer: return "POOL_FREE_OF_UNKNOWN_POINTER";
    case Rule::PoolLeak: return "POOL_LEAK";
    case Rule::DpcQueuedInFreedMemory: return "DPC_QUEUED_IN_FREED_MEMORY";
    case Rule::TimerQueuedInFreedMemory: return "TIMER_QUEUED_IN_FREED_MEMORY";
    case Rule::WaitNeverSatisfied: return "WAIT_NEVER_SATISFIED";
    case Rule::DeviceDeletedWhileAttached: return "DEVICE_DELETED_WHILE_ATTACHED";
    case Rule::DriverUnloadedWithDevices: return "DRIVER_UNLOADED_WITH_DEVICES";
    case Rule::PagedSectionUnlockedTooOften: return "PAGED_SECTION_UNLOCKED_TOO_OFTEN";
    case Rule::DriverBugCheck: return "DRIVER_BUG_CHECK";
    }
    return "UNKNOWN_RULE";
}

ULONG RuleCode(Rule rule)
{
    switch (rule) {
    case Rule::IrqlRaiseToLower: return 0x09;              // IRQL_NOT_GREATER_OR_EQUAL
    case Rule::IrqlWaitAtDispatch:
    case Rule::IrqlLowerToHigher:
    case Rule::IrqlCallAboveDispatch: return 0x0A;         // IRQL_NOT_LESS_OR_EQUAL
    case Rule::SpinLockAcquiredTwice: return 0x0F;         // SPIN_LOCK_ALREADY_OWNED
    case Rule::SpinLockReleaseNotHeld: return 0x10;        // SPIN_LOCK_NOT_OWNED
    case Rule::IrpNoMoreStackLocations: return 0x35;       // NO_MORE_IRP_STACK_LOCATIONS
    case Rule::IrpCompletedTwice: return 0x44;             // MULTIPLE_IRP_COMPLETE_REQUESTS
    case Rule::PoolDoubleFree:
    case Rule::PoolBadPointer: return 0xC2;                // BAD_POOL_CALLER
    case Rule::DpcQueuedInFreedMemory:
    case Rule::TimerQueuedInFreedMemory: return 0xC7;      // TIMER_OR_DPC_INVALID
    case Rule::IrpCompletedWithCancelRoutine:
    case Rule::IrpCompletedWithPendingStatus:
    case Rule::IrpPendingNotMarked:
    case Rule::IrpFreedWhileBelow:
    case Rule::IrpFreedNotOwned:
    case Rule::IrpUnknown:
    case Rule::IrpCompletedPastOwner:
    case Rule::IrpReinitialisedTooLarge:
    case Rule::IrpReinitialisedWhileBelow:
    case Rule::CompletedHoldingCancelLock:
    case Rule::CancelRoutineKeptCancelLock:
    case Rule::DeviceDeletedWhileAttached: return 0xC9;    // DRIVER_VERIFIER_IOMANAGER_VIOLATION
    case Rule::DriverUnloadedWithDevices: return 0xCE;     // DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS
    case Rule::DriverBugCheck: return 0;
    default: return 0xC4;                                  // DRIVER_VERIFIER_DETECTED_VIOLATION
    }
}

Kernel::Kernel(KernelOptions options)
{
    if (g_state) {
        std::fprintf(stderr, "host kernel: a second host::Kernel was booted\n");
        std::abort();
    }
    g_state = new State();
    g_state->options = options;
    if (g_state->options.processors == 0) g_state->options.processors = 1;
    InitDispatcher();
    T() = ThreadState{};
    StartProcessors();
}

Kernel::~Kernel()
{
    StopProcessors();
    ShutdownObjects();
    if (S().options.checkLeaksAtShutdown) {
        std::vector<std::pair<ULONG, PoolUsage>> tags = PoolTags();
        for (auto &[tag, usage] : tags) {
            char text[5] = {char(tag & 0xFF), char((tag >> 8) & 0xFF), char((tag >> 16) & 0xFF),
                            char((tag >> 24) & 0xFF), 0};
            Violation(Rule::PoolLeak,
                      "pool with tag '" + std::string(text) + "' still allocated at shutdown: " +
                          std::to_string(usage.allocations) + " allocations, " + std::to_string(usage.bytes) +
                          " bytes",
                      tag, usage.allocations, usage.bytes);
        }
    }
    ShutdownRegistry();
    {
        std::lock_guard guard(S().poolLock);
        for (auto &[pointer, block] : S().pool) std::free(pointer);
        S().pool.clear();
    }
    delete g_state;
    g_state = nullptr;
    T() = ThreadState{};
}

void SetBugCheckHandler(BugCheckHandler handler)
{
    std::lock_guard guard(S().logLock);
    S().bugCheckHandler = std::move(handler);
}

std::vector<BugCheck> BugChecks()
{
    std::lock_guard guard(S().logLock);
    return S().bugChecks;
}

void ClearBugChecks()
{
    std::lock_guard guard(S().logLock);
    S().bugChecks.clear();
}

std::vector<std::string> DebugLog()
{
    std::lock_guard guard(S().logLock);
    return S().debugLog;
}

std::string DebugText()
{
    std::lock_guard guard(S().logLock);
    std::string text;
    for (auto &line : S().debugLog) text += line;
    return text;
}

void ClearDebugLog()
{
    std::lock_guard guard(S().logLock);
    S().debugLog.clear();
}

void EchoDebugOutput(bool echo)
{
    std::lock_guard guard(S().logLock);
    S().echoDebug = echo;
}

void EnableTrace(bool enable)
{
    std::lock_guard guard(S().logLock);
    S().traceEnabled = enable;
    S().traceWanted = S().traceEnabled || S().traceSink;
}

std::vector<TraceRecord> Trace()
{
    std::lock_guard guard(S().logLock);
    return S().trace;
}

void ClearTrace()
{
    std::lock_guard guard(S().logLock);
    S().trace.clear();
}

void SetTraceSink(std::function<void(const TraceRecord &)> sink)
{
    std::lock_guard guard(S().logLock);
    S().traceSink = std::move(sink);
    S().traceWanted = S().traceEnabled || S().traceSink;
}

static const char *MajorName(UCHAR major)
{
    static const char *const names[] = {"CREATE", "CREATE_NAMED_PIPE", "CLOSE", "READ", "WRITE",
                                        "QUERY_INFORMATION", "SET_INFORMATION", "QUERY_EA", "SET_EA",
                                        "FLUSH_BUFFERS", "QUERY_VOLUME_INFORMATION", "SET_VOLUME_INFORMATION",
                                        "DIRECTORY_CONTROL", "FILE_SYSTEM_CONTROL", "DEVICE_CONTROL",
                                        "INTERNAL_DEVICE_CONTROL", "SHUTDOWN", "LOCK_CONTROL", "CLEANUP",
                                        "CREATE_MAILSLOT", "QUERY_SECURITY", "SET_SECURITY", "POWER",
                                        "SYSTEM_CONTROL", "DEVICE_CHANGE", "QUERY_QUOTA", "SET_QUOTA", "PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "?";
}

std::string DescribeTrace(const TraceRecord &r)
{
    std::ostringstream out;
    char time[32];
    std::snprintf(time, sizeof time, "%10.3f ms ", double(r.time) / 10000.0);
    out << time << r.device << ' ';
    switch (r.kind) {
    case TraceRecord::Kind::Call:
        out << "<- IRP_MJ_" << MajorName(r.major);
        if (r.major == IRP_MJ_PNP || r.major == IRP_MJ_POWER) out << " minor " << int(r.minor);
        if (r.major == IRP_MJ_DEVICE_CONTROL || r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
            out << " code " << Hex(r.ioControlCode);
        if (r.length) out << " length " << r.length;
        break;
    case TraceRecord::Kind::Return: out << "returns " << Hex(ULONG(r.status)); break;
    case TraceRecord::Kind::Complete:
        out << "-> completes IRP_MJ_" << MajorName(r.major) << " status " << Hex(ULONG(r.status)) << " information "
            << r.information;
        break;
    }
    return out.str();
}

}  // namespace host

using namespace host;
using namespace host::detail;

extern "C" ULONG DbgPrint(PCSTR format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::lock_guard guard(S().logLock);
    S().debugLog.emplace_back(buffer);
    if (S().echoDebug) std::fputs(buffer, stderr);
    return 0;
}

extern "C" VOID KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    BugCheck check;
    check.code = code;
    check.parameters[0] = p1;
    check.parameters[1] = p2;
    check.parameters[2] = p3;
    check.parameters[3] = p4;
    check.rule = Rule::DriverBugCheck;
    check.message = "the driver called KeBugCheckEx(" + Hex(code) + ")";
    std::fprintf(stderr, "*** BUG CHECK 0x%08X (%s)\n", unsigned(code), check.message.c_str());
    BugCheckHandler handler;
    {
        std::lock_guard guard(S().logLock);
        S().bugChecks.push_back(check);
        handler = S().bugCheckHandler;
    }
    if (handler) handler(check);
    std::abort();  // a bug check does not return
}
