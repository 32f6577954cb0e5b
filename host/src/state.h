// The host kernel's own state, shared by its sources.
#pragma once

#include <ntddk.h>

#include "host/harness.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace host::detail {

// Per-IRP bookkeeping that outlives the IRP's memory, so the kernel can check a
// request after its owner has freed it.
struct IrpState {
    enum class Owner { Driver, IoManager };
    std::mutex lock;
    Owner owner = Owner::Driver;
    USHORT allocatedSize = 0;
    CCHAR allocatedStack = 0;
    unsigned generation = 0;
    int callDepth = 0;
    bool below = false;          // sent by its owner, not yet back
    bool freeWhenIdle = false;   // I/O manager IRP completed while a call is still inside
    bool topCompleted = false;
    // Per stack location (1-based index): completion passed it, and whether it was marked pending.
    std::vector<bool> passed, marked;
    std::vector<bool> returnedPending;  // dispatch returned STATUS_PENDING before completion passed
    std::vector<unsigned> sends;  // per location: how often it was sent to, to spot a resend
    // I/O manager completion
    std::function<void(PIRP)> onTopCompletion;
};

struct PoolBlock {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    bool kernel;  // allocated by the kernel for its own objects
};

struct RegistryKey {
    std::u16string name;
    std::map<std::u16string, std::unique_ptr<RegistryKey>> subkeys;  // by upper-cased name
    struct Value {
        std::u16string name;
        RegistryValue value;
    };
    std::map<std::u16string, Value> values;  // by upper-cased name
};

struct InterfaceEntry {
    DeviceInterfaceRecord record;
};

struct PdoInfo {
    PdoProperties properties;
};

struct FileInfo {
    LONG references = 1;
    PDEVICE_OBJECT target = nullptr;  // top of the stack it was opened on
};

struct DriverInfo {
    std::vector<ULONG> poolTags;
};

struct State {
    KernelOptions options;

    // Dispatcher: DPC queue, timers, event signal states for waiters.
    std::mutex dispatcher;
    std::condition_variable dispatcherCv;
    LIST_ENTRY dpcQueue;
    size_t dpcQueued = 0;
    LIST_ENTRY timerList;  // ordered by due time
    size_t timersQueued = 0;
    std::atomic<LONGLONG> virtualNow{0};
    std::chrono::steady_clock::time_point start;
    std::vector<std::thread> processors;
    std::thread timerThread;
    bool stopping = false;
    int runningDpcs = 0;

    // Pool
    std::mutex poolLock;
    std::unordered_map<void *, PoolBlock> pool;
    std::unordered_set<void *> recentlyFreed;
    std::atomic<int> pagedSectionLocks{0};

    // IRPs
    std::mutex irpLock;
    std::unordered_map<PIRP, std::shared_ptr<IrpState>> irps;

    // Objects
    std::recursive_mutex objectLock;
    std::map<std::u16string, PDEVICE_OBJECT> deviceNames;  // upper-cased name
    std::map<PDEVICE_OBJECT, std::u16string> deviceNameOf;
    std::map<std::u16string, std::u16string> symbolicLinks;  // upper-cased link -> target
    std::vector<InterfaceEntry> interfaces;
    std::map<PDEVICE_OBJECT, PdoInfo> pdos;
    std::map<PDEVICE_OBJECT, std::string> labels;
    std::set<PDEVICE_OBJECT> deletePending;
    std::map<PFILE_OBJECT, FileInfo> files;
    std::map<PDRIVER_OBJECT, DriverInfo> drivers;
    PDRIVER_OBJECT rootBus = nullptr;
    ULONG nextAutoName = 1;
    ULONG nextInstance = 0;

    // Registry
    std::recursive_mutex registryLock;
    RegistryKey registryRoot;

    // Logs
    std::mutex logLock;
    std::vector<std::string> debugLog;
    bool echoDebug = false;
    std::vector<BugCheck> bugChecks;
    BugCheckHandler bugCheckHandler;
    bool traceEnabled = false;
    std::atomic<bool> traceWanted{false};  // traceEnabled or a sink: spares the I/O path when neither
    std::vector<TraceRecord> trace;
    std::function<void(const TraceRecord &)> traceSink;

    // Spin locks
    KSPIN_LOCK cancelLock = 0;
    std::mutex lockOrderLock;
    std::set<std::pair<ULONG_PTR, ULONG_PTR>> lockOrder;  // (held, then acquired)
};

State &S();
bool Booted();

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> held;
    ULONG processor = 0;
};
ThreadState &T();

// Records a verifier finding; without a handler, aborts. Returns so the caller
// can refuse the faulty operation.
void Violation(Rule rule, std::string message, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0,
               ULONG_PTR p4 = 0);

std::u16string Upper(std::u16string_view text);
std::string Hex(ULONG_PTR value);
std::u16string WideFromPcwstr(PCWSTR text);

// Dispatcher internals
void InsertDpcLocked(PKDPC dpc, PVOID a1, PVOID a2);
void CheckFreedRange(const void *start, size_t size);
void StartProcessors();
void StopProcessors();
void InitDispatcher();
void RunDpcAtDispatch(PKDPC dpc);
// Pumps one unit of deterministic work no later than `limit`; false when nothing can run.
bool PumpOnce(LONGLONG limit);

// Pool internals
PVOID KernelAllocate(POOL_TYPE type, size_t size, ULONG tag, bool countable);
void KernelFree(PVOID p);
void ForgetLocksIn(const void *start, size_t size);

// IRP internals
std::shared_ptr<IrpState> FindIrp(PIRP irp);
PIRP AllocateIoManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onTopCompletion);

// Objects
void ShutdownObjects();
void ShutdownRegistry();
RegistryKey *FindKey(std::u16string_view absolutePath, bool create);  // registry lock held
bool IsPdo(PDEVICE_OBJECT device);
void TraceEvent(TraceRecord record);
inline bool TraceWanted() { return S().traceWanted.load(std::memory_order_relaxed); }
void CheckDriverPool(PDRIVER_OBJECT driver, const char *when);

}  // namespace host::detail
