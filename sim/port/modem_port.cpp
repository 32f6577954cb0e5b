#include "port/modem_port.h"

#include <host/harness.h>
#include <ntddser.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

namespace sim {

struct ModemPort::State {
    KSPIN_LOCK lock;  // everything below
    bool open = false;
    SERIAL_TIMEOUTS timeouts = {};
    SERIAL_BAUD_RATE baud = {57600};
    SERIAL_LINE_CONTROL lineControl = {STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars = {};
    SERIAL_HANDFLOW handflow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    SERIALPERF_STATS stats = {};
    bool dtr = false, rts = false;
    ULONG waitMask = 0, history = 0;
    ModemSignals signals;
    std::deque<UCHAR> rx;
    std::deque<PIRP> reads;    // queued behind the current one
    PIRP currentRead = nullptr;
    ULONG readDone = 0;
    PIRP waitIrp = nullptr;
    KTIMER totalTimer, intervalTimer;
    KDPC totalDpc, intervalDpc;

    mutable std::mutex recordLock;  // record and faults
    std::vector<PortRequest> record;
    struct Fault {
        PortFault kind;
        NTSTATUS status;
        int times;
    };
    std::map<std::pair<UCHAR, ULONG>, Fault> faults;
    std::vector<PIRP> held;
};

namespace {

std::map<PDEVICE_OBJECT, ModemPort *> &Ports()
{
    static std::map<PDEVICE_OBJECT, ModemPort *> ports;
    return ports;
}
std::mutex g_portsLock;

using Completions = std::vector<std::pair<PIRP, NTSTATUS>>;

void CompleteAll(Completions &done)
{
    for (auto &[irp, status] : done) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    }
    done.clear();
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

LARGE_INTEGER RelativeMs(ULONGLONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(ms) * 10000;
    return due;
}

}  // namespace

// The driver's routines, with access to the port's state.
struct PortDriver {
    static ModemPort *Of(PDEVICE_OBJECT device) { return *static_cast<ModemPort **>(device->DeviceExtension); }

    // ---- events ----
    static void RaiseEvents(ModemPort::State &s, ULONG events, Completions &done)
    {
        s.history |= events & s.waitMask;
        if (s.waitIrp && s.history && IoSetCancelRoutine(s.waitIrp, nullptr)) {
            PIRP irp = s.waitIrp;
            s.waitIrp = nullptr;
            *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer) = s.history;
            irp->IoStatus.Information = sizeof(ULONG);
            s.history = 0;
            done.push_back({irp, STATUS_SUCCESS});
        }
    }

    // ---- reads ----
    static void FinishCurrentRead(ModemPort::State &s, NTSTATUS status, Completions &done)
    {
        PIRP irp = s.currentRead;
        s.currentRead = nullptr;
        KeCancelTimer(&s.totalTimer);
        KeCancelTimer(&s.intervalTimer);
        irp->IoStatus.Information = s.readDone;
        done.push_back({irp, status});
    }

    static ULONG Take(ModemPort::State &s, PIRP irp)
    {
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        ULONG n = 0;
        while (s.readDone < length && !s.rx.empty()) {
            buffer[s.readDone++] = s.rx.front();
            s.rx.pop_front();
            ++n;
        }
        s.stats.ReceivedCount += n;
        return n;
    }

    // Moves received bytes into reads and starts queued reads, under the lock.
    static void ServiceReads(ModemPort::State &s, Completions &done)
    {
        for (;;) {
            if (!s.currentRead) {
                if (s.reads.empty()) return;
                PIRP next = s.reads.front();
                s.reads.pop_front();
                s.currentRead = next;
                s.readDone = 0;
                const SERIAL_TIMEOUTS &t = s.timeouts;
                ULONG length = IoGetCurrentIrpStackLocation(next)->Parameters.Read.Length;
                Take(s, next);
                bool immediate = t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == 0 &&
                                 t.ReadTotalTimeoutConstant == 0;
                bool anyByte = t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
                               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXULONG;
                if (s.readDone == length || immediate || (anyByte && s.readDone > 0)) {
                    if (IoSetCancelRoutine(next, nullptr)) FinishCurrentRead(s, STATUS_SUCCESS, done);
                    continue;
                }
                ULONGLONG total = anyByte ? t.ReadTotalTimeoutConstant
                                          : ULONGLONG(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
                if (total) KeSetTimer(&s.totalTimer, RelativeMs(total), &s.totalDpc);
                if (s.readDone && t.ReadIntervalTimeout && t.ReadIntervalTimeout != MAXULONG)
                    KeSetTimer(&s.intervalTimer, RelativeMs(t.ReadIntervalTimeout), &s.intervalDpc);
                return;
            }
            ULONG length = IoGetCurrentIrpStackLocation(s.currentRead)->Parameters.Read.Length;
            ULONG got = Take(s, s.currentRead);
            bool anyByte = s.timeouts.ReadIntervalTimeout == MAXULONG &&
                           s.timeouts.ReadTotalTimeoutMultiplier == MAXULONG;
            if (s.readDone == length || (anyByte && s.readDone > 0)) {
                if (IoSetCancelRoutine(s.currentRead, nullptr)) FinishCurrentRead(s, STATUS_SUCCESS, done);
                else return;  // its cancel routine finishes it
                continue;
            }
            ULONG interval = s.timeouts.ReadIntervalTimeout;
            if (got && interval && interval != MAXULONG)
                KeSetTimer(&s.intervalTimer, RelativeMs(interval), &s.intervalDpc);
            return;
        }
    }

    static void ReadTimeout(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto *port = static_cast<ModemPort *>(context);
        ModemPort::State &s = *port->state_;
        Completions done;
        KeAcquireSpinLockAtDpcLevel(&s.lock);
        if (s.currentRead && IoSetCancelRoutine(s.currentRead, nullptr)) {
            FinishCurrentRead(s, STATUS_TIMEOUT, done);
            ServiceReads(s, done);
        }
        KeReleaseSpinLockFromDpcLevel(&s.lock);
        CompleteAll(done);
    }

    static VOID CancelRead(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        ModemPort::State &s = *Of(device)->state_;
        Completions done;
        KIRQL irql;
        KeAcquireSpinLock(&s.lock, &irql);
        if (s.currentRead == irp) {
            FinishCurrentRead(s, STATUS_CANCELLED, done);
            ServiceReads(s, done);
        } else {
            s.reads.erase(std::remove(s.reads.begin(), s.reads.end(), irp), s.reads.end());
            irp->IoStatus.Information = 0;
            done.push_back({irp, STATUS_CANCELLED});
        }
        KeReleaseSpinLock(&s.lock, irql);
        CompleteAll(done);
    }

    static VOID CancelWait(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        ModemPort::State &s = *Of(device)->state_;
        KIRQL irql;
        KeAcquireSpinLock(&s.lock, &irql);
        if (s.waitIrp == irp) s.waitIrp = nullptr;
        KeReleaseSpinLock(&s.lock, irql);
        CompleteNow(irp, STATUS_CANCELLED);
    }

    // Queues a request that a cancel routine may take back; false when it was cancelled already.
    static bool Queue(PIRP irp, PDRIVER_CANCEL cancel)
    {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) return false;
        return true;
    }

    // ---- data from the modem ----
    static void FromModem(ModemPort *port, std::vector<uint8_t> bytes)
    {
        ModemPort::State &s = *port->state_;
        Completions done;
        KIRQL irql;
        KeAcquireSpinLock(&s.lock, &irql);
        s.rx.insert(s.rx.end(), bytes.begin(), bytes.end());
        ULONG events = SERIAL_EV_RXCHAR;
        if (s.chars.EventChar && std::find(bytes.begin(), bytes.end(), s.chars.EventChar) != bytes.end())
            events |= SERIAL_EV_RXFLAG;
        ServiceReads(s, done);
        RaiseEvents(s, events, done);
        KeReleaseSpinLock(&s.lock, irql);
        CompleteAll(done);
    }

    static void SignalsChanged(ModemPort *port, ModemSignals now)
    {
        ModemPort::State &s = *port->state_;
        Completions done;
        KIRQL irql;
        KeAcquireSpinLock(&s.lock, &irql);
        ULONG events = 0;
        if (now.dcd != s.signals.dcd) events |= SERIAL_EV_RLSD;
        if (now.cts != s.signals.cts) events |= SERIAL_EV_CTS;
        if (now.dsr != s.signals.dsr) events |= SERIAL_EV_DSR;
        if (now.ri && !s.signals.ri) events |= SERIAL_EV_RING;
        s.signals = now;
        RaiseEvents(s, events, done);
        KeReleaseSpinLock(&s.lock, irql);
        CompleteAll(done);
    }

    // ---- device controls ----
    static NTSTATUS Control(ModemPort *port, PIRP irp)
    {
        ModemPort::State &s = *port->state_;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        void *buffer = irp->AssociatedIrp.SystemBuffer;
        auto input = [&](auto &target) {
            if (in < sizeof target) return false;
            std::memcpy(&target, buffer, sizeof target);
            return true;
        };
        auto output = [&](const auto &value) {
            if (out < sizeof value) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
            std::memcpy(buffer, &value, sizeof value);
            return CompleteNow(irp, STATUS_SUCCESS, sizeof value);
        };
        Completions done;
        KIRQL irql;
        switch (code) {
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            SERIAL_TIMEOUTS t;
            if (!input(t)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
            if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
                t.ReadTotalTimeoutConstant == MAXULONG)
                return CompleteNow(irp, STATUS_INVALID_PARAMETER);
            KeAcquireSpinLock(&s.lock, &irql);
            s.timeouts = t;
            KeReleaseSpinLock(&s.lock, irql);
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_GET_TIMEOUTS: return output(port->Timeouts());
        case IOCTL_SERIAL_GET_COMMSTATUS: {
            SERIAL_STATUS status = {};
            KeAcquireSpinLock(&s.lock, &irql);
            status.AmountInInQueue = ULONG(s.rx.size());
            KeReleaseSpinLock(&s.lock, irql);
            return output(status);
        }
        case IOCTL_SERIAL_GET_MODEMSTATUS: {
            ModemSignals now = port->modem_.Signals();
            ULONG msr = (now.cts ? SERIAL_MSR_CTS : 0) | (now.dsr ? SERIAL_MSR_DSR : 0) |
                        (now.ri ? SERIAL_MSR_RI : 0) | (now.dcd ? SERIAL_MSR_DCD : 0);
            return output(msr);
        }
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            ULONG mask;
            if (!input(mask)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
            KeAcquireSpinLock(&s.lock, &irql);
            // A new mask ends a pending wait with no events.
            if (s.waitIrp && IoSetCancelRoutine(s.waitIrp, nullptr)) {
                *static_cast<ULONG *>(s.waitIrp->AssociatedIrp.SystemBuffer) = 0;
                s.waitIrp->IoStatus.Information = sizeof(ULONG);
                done.push_back({s.waitIrp, STATUS_SUCCESS});
                s.waitIrp = nullptr;
            }
            s.waitMask = mask;
            s.history = 0;
            KeReleaseSpinLock(&s.lock, irql);
            CompleteAll(done);
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_GET_WAIT_MASK: return output(s.waitMask);
        case IOCTL_SERIAL_WAIT_ON_MASK: {
            if (out < sizeof(ULONG)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
            KeAcquireSpinLock(&s.lock, &irql);
            if (s.waitIrp || s.waitMask == 0) {
                KeReleaseSpinLock(&s.lock, irql);
                return CompleteNow(irp, STATUS_INVALID_PARAMETER);
            }
            if (s.history) {
                ULONG events = s.history;
                s.history = 0;
                KeReleaseSpinLock(&s.lock, irql);
                return output(events);
            }
            if (!Queue(irp, CancelWait)) {
                KeReleaseSpinLock(&s.lock, irql);
                CompleteNow(irp, STATUS_CANCELLED);
                return STATUS_PENDING;
            }
            s.waitIrp = irp;
            KeReleaseSpinLock(&s.lock, irql);
            return STATUS_PENDING;
        }
        case IOCTL_SERIAL_PURGE: {
            ULONG flags;
            if (!input(flags)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
            KeAcquireSpinLock(&s.lock, &irql);
            if (flags & SERIAL_PURGE_RXABORT) {
                for (PIRP queued : s.reads)
                    if (IoSetCancelRoutine(queued, nullptr)) {
                        queued->IoStatus.Information = 0;
                        done.push_back({queued, STATUS_CANCELLED});
                    }
                s.reads.clear();
                if (s.currentRead && IoSetCancelRoutine(s.currentRead, nullptr))
                    FinishCurrentRead(s, STATUS_CANCELLED, done);
            }
            if (flags & SERIAL_PURGE_RXCLEAR) s.rx.clear();
            KeReleaseSpinLock(&s.lock, irql);
            CompleteAll(done);
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_SET_BAUD_RATE: return input(s.baud) ? CompleteNow(irp, STATUS_SUCCESS) : CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
        case IOCTL_SERIAL_GET_BAUD_RATE: return output(s.baud);
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            return input(s.lineControl) ? CompleteNow(irp, STATUS_SUCCESS) : CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
        case IOCTL_SERIAL_GET_LINE_CONTROL: return output(s.lineControl);
        case IOCTL_SERIAL_SET_CHARS: return input(s.chars) ? CompleteNow(irp, STATUS_SUCCESS) : CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
        case IOCTL_SERIAL_GET_CHARS: return output(s.chars);
        case IOCTL_SERIAL_SET_HANDFLOW:
            return input(s.handflow) ? CompleteNow(irp, STATUS_SUCCESS) : CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
        case IOCTL_SERIAL_GET_HANDFLOW: return output(s.handflow);
        case IOCTL_SERIAL_GET_STATS: return output(s.stats);
        case IOCTL_SERIAL_CLEAR_STATS: s.stats = {}; return CompleteNow(irp, STATUS_SUCCESS);
        case IOCTL_SERIAL_GET_DTRRTS: return output(ULONG((s.dtr ? SERIAL_DTR_STATE : 0) | (s.rts ? SERIAL_RTS_STATE : 0)));
        case IOCTL_SERIAL_SET_DTR:
        case IOCTL_SERIAL_CLR_DTR:
            s.dtr = code == IOCTL_SERIAL_SET_DTR;
            port->modem_.DtrChanged(s.dtr);
            return CompleteNow(irp, STATUS_SUCCESS);
        case IOCTL_SERIAL_SET_RTS:
        case IOCTL_SERIAL_CLR_RTS: s.rts = code == IOCTL_SERIAL_SET_RTS; return CompleteNow(irp, STATUS_SUCCESS);
        case IOCTL_SERIAL_IMMEDIATE_CHAR: {
            UCHAR c;
            if (!input(c)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
            port->modem_.FromDte(std::span<const uint8_t>(&c, 1));
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_SERIAL_GET_PROPERTIES: {
            if (out < sizeof(SERIAL_COMMPROP)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
            SERIAL_COMMPROP props = {};
            props.PacketLength = sizeof props;
            props.PacketVersion = 2;
            props.ServiceMask = 1;  // SERIAL_SP_SERIALCOMM
            props.MaxBaud = 115200;
            props.ProvSubType = 6;  // SERIAL_SP_MODEM
            props.CurrentRxQueue = 4096;
            return output(props);
        }
        case IOCTL_SERIAL_CONFIG_SIZE: return output(ULONG(0));
        case IOCTL_SERIAL_GET_MODEM_CONTROL: return output(ULONG((s.dtr ? 1 : 0) | (s.rts ? 2 : 0)));
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
        case IOCTL_SERIAL_SET_BREAK_ON:
        case IOCTL_SERIAL_SET_BREAK_OFF:
        case IOCTL_SERIAL_RESET_DEVICE:
        case IOCTL_SERIAL_SET_XOFF:
        case IOCTL_SERIAL_SET_XON:
        case IOCTL_SERIAL_XOFF_COUNTER:
        case IOCTL_SERIAL_LSRMST_INSERT:
        case IOCTL_SERIAL_GET_COMMCONFIG:
        case IOCTL_SERIAL_SET_COMMCONFIG:
        case IOCTL_SERIAL_SET_MODEM_CONTROL:
        case IOCTL_SERIAL_SET_FIFO_CONTROL: return CompleteNow(irp, STATUS_SUCCESS);
        default: return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        }
    }

    static NTSTATUS Read(ModemPort *port, PIRP irp)
    {
        ModemPort::State &s = *port->state_;
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) return CompleteNow(irp, STATUS_SUCCESS);
        Completions done;
        KIRQL irql;
        KeAcquireSpinLock(&s.lock, &irql);
        if (!Queue(irp, CancelRead)) {
            KeReleaseSpinLock(&s.lock, irql);
            CompleteNow(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        s.reads.push_back(irp);
        ServiceReads(s, done);
        KeReleaseSpinLock(&s.lock, irql);
        CompleteAll(done);
        return STATUS_PENDING;
    }

    // Completes every read and wait the port holds.
    static void CompletePending(ModemPort *port, NTSTATUS status)
    {
        ModemPort::State &s = *port->state_;
        Completions done;
        KIRQL irql;
        KeAcquireSpinLock(&s.lock, &irql);
        for (PIRP queued : s.reads)
            if (IoSetCancelRoutine(queued, nullptr)) done.push_back({queued, status});
        s.reads.clear();
        if (s.currentRead && IoSetCancelRoutine(s.currentRead, nullptr)) FinishCurrentRead(s, status, done);
        if (s.waitIrp && IoSetCancelRoutine(s.waitIrp, nullptr)) {
            done.push_back({s.waitIrp, status});
            s.waitIrp = nullptr;
        }
        KeReleaseSpinLock(&s.lock, irql);
        CompleteAll(done);
    }

    // The device is going away: nothing it holds would ever complete otherwise.
    static void FailPending(ModemPort *port, NTSTATUS status)
    {
        CompletePending(port, status);
        port->ReleaseHeld(status);
    }

    static NTSTATUS Pnp(ModemPort *port, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
            FailPending(port, STATUS_NO_SUCH_DEVICE);
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            PDEVICE_OBJECT lower = port->lower_, device = port->device_;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            std::u16string link = u"\\DosDevices\\" + port->name_;
            UNICODE_STRING linkName{USHORT(link.size() * 2), USHORT(link.size() * 2),
                                    reinterpret_cast<PWSTR>(link.data())};
            IoDeleteSymbolicLink(&linkName);
            {
                std::lock_guard guard(g_portsLock);
                Ports().erase(device);
            }
            delete port;
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        }
        if (stack->MinorFunction == IRP_MN_START_DEVICE || stack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ||
            stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_STOP_DEVICE ||
            stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
            irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(port->lower_, irp);
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        ModemPort *port = Of(device);
        ModemPort::State &s = *port->state_;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        UCHAR major = stack->MajorFunction;
        ULONG code = major == IRP_MJ_DEVICE_CONTROL ? stack->Parameters.DeviceIoControl.IoControlCode : 0;
        std::optional<ModemPort::State::Fault> fault;
        {
            std::lock_guard guard(s.recordLock);
            ULONG length = major == IRP_MJ_READ || major == IRP_MJ_WRITE ? stack->Parameters.Read.Length
                           : major == IRP_MJ_DEVICE_CONTROL           ? stack->Parameters.DeviceIoControl.InputBufferLength
                                                                      : 0;
            s.record.push_back({major, stack->MinorFunction, code, length});
            auto it = s.faults.find({major, code});
            if (it == s.faults.end()) it = s.faults.find({major, 0});
            if (it != s.faults.end() && major != IRP_MJ_PNP && major != IRP_MJ_POWER) {
                fault = it->second;
                if (it->second.times > 0 && --it->second.times == 0) s.faults.erase(it);
                if (fault->kind == PortFault::Pend) {
                    IoMarkIrpPending(irp);
                    s.held.push_back(irp);
                }
            }
        }
        if (fault) return fault->kind == PortFault::Fail ? CompleteNow(irp, fault->status) : STATUS_PENDING;
        switch (major) {
        case IRP_MJ_CREATE: {
            KIRQL irql;
            KeAcquireSpinLock(&s.lock, &irql);
            bool wasOpen = s.open;
            s.open = true;
            if (!wasOpen) {
                s.waitMask = s.history = 0;
                s.rx.clear();
            }
            KeReleaseSpinLock(&s.lock, irql);
            return CompleteNow(irp, wasOpen ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
        }
        case IRP_MJ_CLEANUP:
            CompletePending(port, STATUS_CANCELLED);
            return CompleteNow(irp, STATUS_SUCCESS);
        case IRP_MJ_CLOSE: {
            KIRQL irql;
            KeAcquireSpinLock(&s.lock, &irql);
            s.open = false;
            s.dtr = false;
            KeReleaseSpinLock(&s.lock, irql);
            port->modem_.DtrChanged(false);  // a closed port drops DTR, and the modem hangs up
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IRP_MJ_READ: return Read(port, irp);
        case IRP_MJ_WRITE: {
            ULONG length = stack->Parameters.Write.Length;
            auto *bytes = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
            port->modem_.FromDte(std::span<const uint8_t>(bytes, length));
            Completions done;
            KIRQL irql;
            KeAcquireSpinLock(&s.lock, &irql);
            s.stats.TransmittedCount += length;
            RaiseEvents(s, SERIAL_EV_TXEMPTY, done);
            KeReleaseSpinLock(&s.lock, irql);
            CompleteAll(done);
            return CompleteNow(irp, STATUS_SUCCESS, length);
        }
        case IRP_MJ_FLUSH_BUFFERS: return CompleteNow(irp, STATUS_SUCCESS);
        case IRP_MJ_DEVICE_CONTROL: return Control(port, irp);
        case IRP_MJ_PNP: return Pnp(port, irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(port->lower_, irp);
        default: return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }

    static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
    {
        WCHAR key[256];
        ULONG length = 0;
        NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, sizeof key, key, &length);
        if (!NT_SUCCESS(status)) return status;
        std::u16string classKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" +
                                  std::u16string(reinterpret_cast<char16_t *>(key));
        auto attached = host::RegistryGet(classKey, u"AttachedTo");
        if (!attached || attached->type != REG_SZ) return STATUS_OBJECT_NAME_NOT_FOUND;
        std::u16string name(reinterpret_cast<const char16_t *>(attached->data.data()), attached->data.size() / 2);
        while (!name.empty() && name.back() == 0) name.pop_back();

        static int next = 0;
        std::u16string deviceName = u"\\Device\\ZyrModem" + host::ToU16(std::to_string(next++));
        UNICODE_STRING nameString{USHORT(deviceName.size() * 2), USHORT(deviceName.size() * 2),
                                  reinterpret_cast<PWSTR>(deviceName.data())};
        PDEVICE_OBJECT device;
        status = IoCreateDevice(driver, sizeof(ModemPort *), &nameString, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
        if (!NT_SUCCESS(status)) return status;
        std::u16string link = u"\\DosDevices\\" + name;
        UNICODE_STRING linkString{USHORT(link.size() * 2), USHORT(link.size() * 2), reinterpret_cast<PWSTR>(link.data())};
        IoCreateSymbolicLink(&linkString, &nameString);
        PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
        auto *port = new ModemPort(device, lower, name);
        *static_cast<ModemPort **>(device->DeviceExtension) = port;
        {
            std::lock_guard guard(g_portsLock);
            Ports()[device] = port;
        }
        host::SetDeviceLabel(device, "port");
        device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        return STATUS_SUCCESS;
    }

    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (auto &entry : driver->MajorFunction) entry = Dispatch;
        driver->DriverExtension->AddDevice = AddDevice;
        return STATUS_SUCCESS;
    }
};

ModemPort::ModemPort(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, std::u16string name)
    : device_(device), lower_(lower), name_(std::move(name)), state_(std::make_unique<State>())
{
    KeInitializeSpinLock(&state_->lock);
    KeInitializeTimer(&state_->totalTimer);
    KeInitializeTimer(&state_->intervalTimer);
    KeInitializeDpc(&state_->totalDpc, PortDriver::ReadTimeout, this);
    KeInitializeDpc(&state_->intervalDpc, PortDriver::ReadTimeout, this);
    modem_.Attach([this](std::vector<uint8_t> bytes) { PortDriver::FromModem(this, std::move(bytes)); },
                  [this](ModemSignals signals) { PortDriver::SignalsChanged(this, signals); });
}

ModemPort::~ModemPort()
{
    modem_.Detach();
    KeCancelTimer(&state_->totalTimer);
    KeCancelTimer(&state_->intervalTimer);
    KeRemoveQueueDpc(&state_->totalDpc);
    KeRemoveQueueDpc(&state_->intervalDpc);
}

PDRIVER_OBJECT ModemPort::LoadDriver() { return host::LoadDriver({u"ZyrModemPort", PortDriver::Entry, {}}); }

ModemPort *ModemPort::ForPdo(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(g_portsLock);
    for (auto &[device, port] : Ports())
        if (port->lower_ == pdo) return port;
    return nullptr;
}

std::vector<PortRequest> ModemPort::Requests() const
{
    std::lock_guard guard(state_->recordLock);
    return state_->record;
}

void ModemPort::ClearRequests()
{
    std::lock_guard guard(state_->recordLock);
    state_->record.clear();
}

void ModemPort::InjectFault(UCHAR major, ULONG ioControlCode, PortFault fault, NTSTATUS status, int times)
{
    std::lock_guard guard(state_->recordLock);
    state_->faults[{major, ioControlCode}] = {fault, status, times};
}

void ModemPort::ClearFaults()
{
    std::lock_guard guard(state_->recordLock);
    state_->faults.clear();
}

size_t ModemPort::HeldCount() const
{
    std::lock_guard guard(state_->recordLock);
    return state_->held.size();
}

void ModemPort::ReleaseHeld(NTSTATUS status)
{
    std::vector<PIRP> held;
    {
        std::lock_guard guard(state_->recordLock);
        held.swap(state_->held);
    }
    for (PIRP irp : held) CompleteNow(irp, status);
}

bool ModemPort::IsOpen() const
{
    KIRQL irql;
    KeAcquireSpinLock(&state_->lock, &irql);
    bool open = state_->open;
    KeReleaseSpinLock(&state_->lock, irql);
    return open;
}

SERIAL_TIMEOUTS ModemPort::Timeouts() const
{
    KIRQL irql;
    KeAcquireSpinLock(&state_->lock, &irql);
    SERIAL_TIMEOUTS t = state_->timeouts;
    KeReleaseSpinLock(&state_->lock, irql);
    return t;
}

std::u16string ModemPort::Name() const { return name_; }

}  // namespace sim
