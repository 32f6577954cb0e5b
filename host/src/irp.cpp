// I/O request packets: allocation, sending, completion, cancellation, and the
// I/O manager's own requests, with the verifier's IRP rules.
#include "state.h"

#include <algorithm>
#include <cstring>

namespace host::detail {

namespace {

const ULONG kIrpTag = host::Tag("Irp ");

bool IsError(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

void SetUp(PIRP irp, USHORT size, CCHAR stackSize)
{
    std::memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = CCHAR(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void ResetState(IrpState &state, CCHAR stackSize)
{
    ++state.generation;
    state.below = false;
    state.freeWhenIdle = false;
    state.topCompleted = false;
    state.passed.assign(size_t(stackSize) + 2, false);
    state.marked.assign(size_t(stackSize) + 2, false);
    state.returnedPending.assign(size_t(stackSize) + 2, false);
    state.sends.assign(size_t(stackSize) + 2, 0);
}

// Buffered I/O: a zeroed system buffer holding the input, freed at completion.
PVOID AttachSystemBuffer(PIRP irp, ULONG size, const void *input, ULONG inputLength)
{
    PVOID buffer = KernelAllocate(NonPagedPool, size, host::Tag("IoBu"), false);
    std::memset(buffer, 0, size);
    if (input && inputLength) std::memcpy(buffer, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return buffer;
}

PIRP NewIrp(CCHAR stackSize, IrpState::Owner owner, bool countable)
{
    if (stackSize < 1) stackSize = 1;
    USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(KernelAllocate(NonPagedPool, size, kIrpTag, countable));
    if (!irp) return nullptr;
    SetUp(irp, size, stackSize);
    auto state = std::make_shared<IrpState>();
    state->owner = owner;
    state->allocatedSize = size;
    state->allocatedStack = stackSize;
    ResetState(*state, stackSize);
    std::lock_guard guard(S().irpLock);
    S().irps[irp] = std::move(state);
    return irp;
}

void FreeIrpMemory(PIRP irp)
{
    {
        std::lock_guard guard(S().irpLock);
        S().irps.erase(irp);
    }
    KernelFree(irp);
}

bool HoldsCancelLock()
{
    auto &held = T().held;
    return std::find(held.begin(), held.end(), &S().cancelLock) != held.end();
}

}  // namespace

std::shared_ptr<IrpState> FindIrp(PIRP irp)
{
    std::lock_guard guard(S().irpLock);
    auto it = S().irps.find(irp);
    return it == S().irps.end() ? nullptr : it->second;
}

PIRP AllocateIoManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onTopCompletion)
{
    PIRP irp = NewIrp(stackSize, IrpState::Owner::IoManager, false);
    FindIrp(irp)->onTopCompletion = std::move(onTopCompletion);
    return irp;
}

}  // namespace host::detail

using namespace host;
using namespace host::detail;

extern "C" {

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN)
{
    if (T().irql > DISPATCH_LEVEL) {
        Violation(Rule::IrqlCallAboveDispatch, "IoAllocateIrp at IRQL " + std::to_string(T().irql), T().irql);
        return nullptr;
    }
    PIRP irp = NewIrp(stackSize, IrpState::Owner::Driver, true);
    if (irp) irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
    return irp;
}

VOID IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize)
{
    auto state = FindIrp(irp);
    if (state) {
        std::lock_guard guard(state->lock);
        if (state->below) {
            Violation(Rule::IrpReinitialisedWhileBelow, "IoInitializeIrp on an IRP that is still below",
                      ULONG_PTR(irp));
            return;
        }
        if (packetSize > state->allocatedSize || IoSizeOfIrp(stackSize) > packetSize) {
            Violation(Rule::IrpReinitialisedTooLarge,
                      "IoInitializeIrp for " + std::to_string(stackSize) + " stack locations (" +
                          std::to_string(packetSize) + " bytes) on an IRP of " +
                          std::to_string(state->allocatedSize) + " bytes",
                      ULONG_PTR(irp), packetSize, state->allocatedSize);
            return;
        }
        ResetState(*state, stackSize);
    } else {
        // An IRP in the driver's own memory: tracked from now on.
        auto fresh = std::make_shared<IrpState>();
        fresh->allocatedSize = packetSize;
        fresh->allocatedStack = stackSize;
        ResetState(*fresh, stackSize);
        std::lock_guard guard(S().irpLock);
        S().irps[irp] = fresh;
    }
    SetUp(irp, packetSize, stackSize);
}

VOID IoReuseIrp(PIRP irp, NTSTATUS status)
{
    UCHAR flags = irp->AllocationFlags;
    IoInitializeIrp(irp, irp->Size, irp->StackCount);
    irp->AllocationFlags = flags;
    irp->IoStatus.Status = status;
}

VOID IoFreeIrp(PIRP irp)
{
    auto state = FindIrp(irp);
    if (!state) {
        Violation(Rule::IrpUnknown, "IoFreeIrp of " + Hex(ULONG_PTR(irp)) + ", which is not a live IRP (freed twice?)",
                  ULONG_PTR(irp));
        return;
    }
    {
        std::lock_guard guard(state->lock);
        if (state->owner == IrpState::Owner::IoManager) {
            Violation(Rule::IrpFreedNotOwned, "IoFreeIrp of an IRP the I/O manager owns", ULONG_PTR(irp));
            return;
        }
        if (state->below) {
            Violation(Rule::IrpFreedWhileBelow, "IoFreeIrp of an IRP still below its owner", ULONG_PTR(irp));
            return;
        }
    }
    FreeIrpMemory(irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    auto state = FindIrp(irp);
    if (!state) {
        Violation(Rule::IrpUnknown, "IoCallDriver with " + Hex(ULONG_PTR(irp)) + ", which is not a live IRP",
                  ULONG_PTR(irp));
        return STATUS_INVALID_PARAMETER;
    }
    if (T().irql > DISPATCH_LEVEL)
        Violation(Rule::IrqlCallAboveDispatch, "IoCallDriver at IRQL " + std::to_string(T().irql), T().irql);
    if (irp->CurrentLocation <= 1) {
        Violation(Rule::IrpNoMoreStackLocations,
                  "IoCallDriver to " + DeviceLabel(device) + " with no stack location left", ULONG_PTR(irp),
                  ULONG_PTR(device));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    location->DeviceObject = device;
    int index = irp->CurrentLocation;
    unsigned generation, send;
    {
        std::lock_guard guard(state->lock);
        if (index == irp->StackCount) state->below = true;
        ++state->callDepth;
        generation = state->generation;
        send = ++state->sends[index];
        state->passed[index] = false;
        state->marked[index] = false;
        state->returnedPending[index] = false;
    }
    UCHAR major = location->MajorFunction;
    if (TraceWanted()) {
        TraceRecord call{TraceRecord::Kind::Call, Now(), DeviceLabel(device), major, location->MinorFunction};
        if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            call.ioControlCode = location->Parameters.DeviceIoControl.IoControlCode;
            call.length = location->Parameters.DeviceIoControl.InputBufferLength;
        } else if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
            call.length = location->Parameters.Read.Length;
        }
        call.irp = irp;
        TraceEvent(call);
    }

    NTSTATUS status = device->DriverObject->MajorFunction[major](device, irp);

    if (TraceWanted()) {
        TraceRecord ret{TraceRecord::Kind::Return, Now(), DeviceLabel(device), major};
        ret.status = status;
        ret.irp = irp;
        TraceEvent(ret);
    }
    bool notMarked = false, freeNow = false;
    {
        std::lock_guard guard(state->lock);
        --state->callDepth;
        // The location must be marked pending by the time completion passes it:
        // now, if it has, or else when it does (a completion routine may mark it).
        if (status == STATUS_PENDING && state->generation == generation && state->sends[index] == send) {
            if (state->passed[index]) notMarked = !state->marked[index];
            else state->returnedPending[index] = true;
        }
        if (state->freeWhenIdle && state->callDepth == 0) {
            state->freeWhenIdle = false;
            freeNow = true;
        }
    }
    if (notMarked)
        Violation(Rule::IrpPendingNotMarked,
                  "the dispatch routine of " + DeviceLabel(device) +
                      " returned STATUS_PENDING without marking the IRP pending",
                  ULONG_PTR(irp), ULONG_PTR(device));
    if (freeNow) FreeIrpMemory(irp);
    return status;
}

VOID IofCompleteRequest(PIRP irp, CCHAR)
{
    auto state = FindIrp(irp);
    if (!state) {
        Violation(Rule::IrpCompletedTwice,
                  "IoCompleteRequest of " + Hex(ULONG_PTR(irp)) + ", which is no longer a live IRP", ULONG_PTR(irp));
        return;
    }
    if (irp->CurrentLocation > irp->StackCount) {
        Violation(Rule::IrpCompletedTwice, "IoCompleteRequest of an IRP whose completion already reached its owner",
                  ULONG_PTR(irp));
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Violation(Rule::IrpCompletedWithPendingStatus, "IoCompleteRequest with status STATUS_PENDING", ULONG_PTR(irp));
        return;
    }
    if (PDRIVER_CANCEL routine = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        Violation(Rule::IrpCompletedWithCancelRoutine,
                  "IoCompleteRequest of an IRP whose cancel routine is still set", ULONG_PTR(irp),
                  ULONG_PTR(routine));
        IoSetCancelRoutine(irp, nullptr);
    }
    if (HoldsCancelLock())
        Violation(Rule::CompletedHoldingCancelLock, "IoCompleteRequest while holding the cancel spin lock",
                  ULONG_PTR(irp));
    if (T().irql > DISPATCH_LEVEL)
        Violation(Rule::IrqlCallAboveDispatch, "IoCompleteRequest at IRQL " + std::to_string(T().irql), T().irql);

    for (;;) {
        int index = irp->CurrentLocation;
        if (index > irp->StackCount) break;
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        UCHAR control = location->Control;
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        bool notMarked;
        {
            std::lock_guard guard(state->lock);
            state->passed[index] = true;
            state->marked[index] = (control & SL_PENDING_RETURNED) != 0;
            notMarked = state->returnedPending[index] && !state->marked[index];
            state->returnedPending[index] = false;
            if (index == irp->StackCount) state->below = false;
        }
        if (notMarked)
            Violation(Rule::IrpPendingNotMarked,
                      "the dispatch routine of " + DeviceLabel(location->DeviceObject) +
                          " returned STATUS_PENDING without marking the IRP pending",
                      ULONG_PTR(irp), ULONG_PTR(location->DeviceObject));
        if (TraceWanted()) {
            TraceRecord done{TraceRecord::Kind::Complete, Now(), DeviceLabel(location->DeviceObject),
                             location->MajorFunction, location->MinorFunction};
            done.status = irp->IoStatus.Status;
            done.information = irp->IoStatus.Information;
            done.irp = irp;
            TraceEvent(done);
        }
        irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        location->Control = 0;
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;
        IoSkipCurrentIrpStackLocation(irp);

        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT caller =
                irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
            if (routine(caller, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoMarkIrpPending(irp);
        }
    }

    // Completion has reached the IRP's owner.
    if (state->owner == IrpState::Owner::Driver) {
        Violation(Rule::IrpCompletedPastOwner,
                  "the completion of a driver-allocated IRP went past its owner without "
                  "STATUS_MORE_PROCESSING_REQUIRED",
                  ULONG_PTR(irp));
        return;
    }
    {
        std::lock_guard guard(state->lock);
        state->topCompleted = true;
    }
    if (state->onTopCompletion) state->onTopCompletion(irp);
    bool freeNow;
    {
        std::lock_guard guard(state->lock);
        freeNow = state->callDepth == 0;
        state->freeWhenIdle = !freeNow;
    }
    if (freeNow) FreeIrpMemory(irp);
}

BOOLEAN IoCancelIrp(PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Set before the cancel routine is taken, so a driver that sets its routine and then
    // tests Cancel under the cancel spin lock sees one or the other.
    __atomic_store_n(&irp->Cancel, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    routine(device, irp);
    if (HoldsCancelLock()) {
        Violation(Rule::CancelRoutineKeptCancelLock, "the cancel routine returned holding the cancel spin lock",
                  ULONG_PTR(routine));
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive,
                  "IoBuildDeviceIoControlRequest at IRQL " + std::to_string(T().irql), T().irql);
    ULONG method = code & 3;
    PIRP irp = AllocateIoManagerIrp(device->StackSize, [outputLength](PIRP done) {
        if ((done->Flags & IRP_INPUT_OPERATION) && !IsError(done->IoStatus.Status) && done->UserBuffer)
            std::memcpy(done->UserBuffer, done->AssociatedIrp.SystemBuffer,
                        std::min<ULONG_PTR>(done->IoStatus.Information, outputLength));
        if (done->Flags & IRP_DEALLOCATE_BUFFER) KernelFree(done->AssociatedIrp.SystemBuffer);
        if (done->UserIosb) *done->UserIosb = done->IoStatus;
        if (done->UserEvent) KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
    });
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
    } else {
        // Direct I/O is served through the system buffer too: no MDLs here.
        ULONG size = std::max(inputLength, outputLength);
        if (size) {
            AttachSystemBuffer(irp, size, input, inputLength);
            if (output && outputLength) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = output;
    }
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    return irp;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }

VOID PoStartNextPowerIrp(PIRP) {}

}  // extern "C"

namespace host {

NTSTATUS SendRequest(const IoRequest &request, std::function<void(const IoResult &)> done, PIRP *irpOut)
{
    PDEVICE_OBJECT device = request.device;
    if (!device && request.file) {
        std::lock_guard guard(S().objectLock);
        auto it = S().files.find(request.file);
        if (it != S().files.end()) device = it->second.target;
    }
    if (!device) return STATUS_INVALID_PARAMETER;
    ULONG outputLength = request.outputLength;
    PIRP irp = AllocateIoManagerIrp(device->StackSize, [outputLength, done = std::move(done)](PIRP completed) {
        IoResult result;
        result.status = completed->IoStatus.Status;
        result.information = completed->IoStatus.Information;
        if ((completed->Flags & IRP_INPUT_OPERATION) && completed->AssociatedIrp.SystemBuffer) {
            ULONG_PTR n = std::min<ULONG_PTR>(completed->IoStatus.Information, outputLength);
            auto bytes = static_cast<UCHAR *>(completed->AssociatedIrp.SystemBuffer);
            result.output.assign(bytes, bytes + n);
        }
        if (completed->Flags & IRP_DEALLOCATE_BUFFER) KernelFree(completed->AssociatedIrp.SystemBuffer);
        if (done) done(result);
    });
    irp->IoStatus.Status = request.initialStatus;
    irp->RequestorMode = request.requestorMode;
    irp->Tail.Overlay.OriginalFileObject = request.file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->MinorFunction = request.minor;
    next->FileObject = request.file;
    ULONG bufferSize = 0;
    switch (request.major) {
    case IRP_MJ_READ:
        next->Parameters.Read.Length = request.outputLength;
        bufferSize = request.outputLength;
        irp->Flags |= IRP_READ_OPERATION | IRP_INPUT_OPERATION;
        break;
    case IRP_MJ_WRITE:
        next->Parameters.Write.Length = ULONG(request.input.size());
        bufferSize = ULONG(request.input.size());
        irp->Flags |= IRP_WRITE_OPERATION;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        next->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = ULONG(request.input.size());
        next->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        bufferSize = std::max<ULONG>(ULONG(request.input.size()), request.outputLength);
        if (request.outputLength) irp->Flags |= IRP_INPUT_OPERATION;
        break;
    default: break;
    }
    if (bufferSize) {
        irp->UserBuffer = AttachSystemBuffer(irp, bufferSize, request.input.data(), ULONG(request.input.size()));
    }
    if (request.prepare) request.prepare(irp, next);
    if (irpOut) *irpOut = irp;
    return IofCallDriver(device, irp);
}

IoResult CallRequest(const IoRequest &request)
{
    if (T().irql > PASSIVE_LEVEL)
        Violation(Rule::IrqlBlockingCallAbovePassive, "a synchronous request at IRQL " + std::to_string(T().irql),
                  T().irql);
    struct Waiter {
        KEVENT event;
        IoResult result;
    };
    auto waiter = std::make_shared<Waiter>();
    KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
    NTSTATUS status = SendRequest(request, [waiter](const IoResult &result) {
        waiter->result = result;
        KeSetEvent(&waiter->event, IO_NO_INCREMENT, FALSE);
    });
    if (status == STATUS_INVALID_PARAMETER && !request.device && !request.file) {
        IoResult refused;
        refused.status = status;
        return refused;
    }
    KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, nullptr);
    return waiter->result;
}

}  // namespace host
