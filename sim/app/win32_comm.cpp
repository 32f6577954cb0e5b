#include "app/win32_comm.h"

#include <host/harness.h>
#include <ntddser.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <set>

namespace app {

struct HandleObject {
    enum class Kind { File, Event } kind;
    PFILE_OBJECT file = nullptr;
    bool overlapped = false;
    std::recursive_mutex lock;
    std::set<PIRP> outstanding;  // IRPs sent through this handle and not yet complete
    KEVENT event;                // Event handles
    bool manualReset = true;
};

namespace {

thread_local DWORD g_lastError = 0;

bool IsFile(HANDLE h) { return h && h != INVALID_HANDLE_VALUE && h->kind == HandleObject::Kind::File; }

BOOL Fail(DWORD error)
{
    g_lastError = error;
    return 0;
}

// Sends one request as the I/O manager does for a handle: synchronously for a
// plain handle, and with the OVERLAPPED filled at completion otherwise.
BOOL Issue(HANDLE h, host::IoRequest request, void *out, DWORD *transferred, OVERLAPPED *overlapped)
{
    if (!IsFile(h)) return Fail(ERROR_INVALID_HANDLE);
    request.file = h->file;
    struct Waiter {
        KEVENT done;
        host::IoResult result;
        PIRP irp = nullptr;
    };
    auto waiter = std::make_shared<Waiter>();
    KeInitializeEvent(&waiter->done, NotificationEvent, FALSE);
    bool async = h->overlapped && overlapped;
    if (async) {
        overlapped->Internal = ULONG_PTR(STATUS_PENDING);
        if (overlapped->hEvent) KeClearEvent(&overlapped->hEvent->event);
    }
    // Known to CancelIo from before it is sent until its completion; no lock is held across the call.
    request.prepare = [h, waiter](PIRP irp, PIO_STACK_LOCATION) {
        std::lock_guard guard(h->lock);
        waiter->irp = irp;
        h->outstanding.insert(irp);
    };
    NTSTATUS status = host::SendRequest(request, [h, waiter, out, overlapped, async](const host::IoResult &result) {
        {
            std::lock_guard guard(h->lock);
            h->outstanding.erase(waiter->irp);
        }
        if (out && !result.output.empty()) std::memcpy(out, result.output.data(), result.output.size());
        waiter->result = result;
        if (async) {
            overlapped->InternalHigh = result.information;
            overlapped->Internal = ULONG_PTR(result.status);
            if (overlapped->hEvent) KeSetEvent(&overlapped->hEvent->event, IO_NO_INCREMENT, FALSE);
        }
        KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
    });
    if (async) {
        if (status == STATUS_PENDING && KeReadStateEvent(&waiter->done) == 0) return Fail(ERROR_IO_PENDING);
    }
    KeWaitForSingleObject(&waiter->done, Executive, KernelMode, FALSE, nullptr);
    if (transferred) *transferred = DWORD(waiter->result.information);
    if (!NT_SUCCESS(waiter->result.status)) return Fail(Win32ErrorFromStatus(waiter->result.status));
    return 1;
}

BOOL Control(HANDLE h, ULONG code, const void *in, DWORD inLength, void *out, DWORD outLength,
             DWORD *returned = nullptr, OVERLAPPED *overlapped = nullptr)
{
    host::IoRequest request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    auto bytes = static_cast<const UCHAR *>(in);
    if (in) request.input.assign(bytes, bytes + inLength);
    request.outputLength = outLength;
    DWORD ignored;
    return Issue(h, std::move(request), out, returned ? returned : &ignored, overlapped);
}

}  // namespace

DWORD GetLastError() { return g_lastError; }
void SetLastError(DWORD error) { g_lastError = error; }

DWORD Win32ErrorFromStatus(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
    case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_TIMEOUT: return ERROR_SEM_TIMEOUT;
    case STATUS_UNSUCCESSFUL:
    case STATUS_DEVICE_POWER_FAILURE: return ERROR_GEN_FAILURE;
    default: return ERROR_MR_MID_NOT_FOUND;
    }
}

HANDLE CreateFile(std::u16string_view name, DWORD, DWORD, void *, DWORD disposition, DWORD flags, HANDLE)
{
    if (disposition != OPEN_EXISTING) {
        g_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    NTSTATUS status;
    PFILE_OBJECT file = host::OpenDevice(name, &status);
    if (!file) {
        g_lastError = Win32ErrorFromStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    auto *h = new HandleObject{HandleObject::Kind::File};
    h->file = file;
    h->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    return h;
}

BOOL CloseHandle(HANDLE h)
{
    if (!h || h == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    if (h->kind == HandleObject::Kind::File) host::CloseDevice(h->file);  // cleanup, then close
    delete h;
    return 1;
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD length, DWORD *read, OVERLAPPED *overlapped)
{
    host::IoRequest request;
    request.major = IRP_MJ_READ;
    request.outputLength = length;
    return Issue(file, std::move(request), buffer, read, overlapped);
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD length, DWORD *written, OVERLAPPED *overlapped)
{
    host::IoRequest request;
    request.major = IRP_MJ_WRITE;
    auto bytes = static_cast<const UCHAR *>(buffer);
    request.input.assign(bytes, bytes + length);
    return Issue(file, std::move(request), nullptr, written, overlapped);
}

BOOL DeviceIoControl(HANDLE file, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength,
                     DWORD *returned, OVERLAPPED *overlapped)
{
    return Control(file, code, in, inLength, out, outLength, returned, overlapped);
}

BOOL CancelIo(HANDLE file)
{
    if (!IsFile(file)) return Fail(ERROR_INVALID_HANDLE);
    // Held while cancelling: a completing IRP waits on it before it can be freed.
    std::lock_guard guard(file->lock);
    std::set<PIRP> outstanding = file->outstanding;
    for (PIRP irp : outstanding) IoCancelIrp(irp);
    return 1;
}

BOOL GetOverlappedResult(HANDLE, OVERLAPPED *overlapped, DWORD *transferred, BOOL wait)
{
    if (NTSTATUS(overlapped->Internal) == STATUS_PENDING) {
        if (!wait || !overlapped->hEvent) return Fail(ERROR_IO_INCOMPLETE);
        KeWaitForSingleObject(&overlapped->hEvent->event, Executive, KernelMode, FALSE, nullptr);
    }
    if (transferred) *transferred = DWORD(overlapped->InternalHigh);
    NTSTATUS status = NTSTATUS(overlapped->Internal);
    if (!NT_SUCCESS(status)) return Fail(Win32ErrorFromStatus(status));
    return 1;
}

BOOL FlushFileBuffers(HANDLE file)
{
    host::IoRequest request;
    request.major = IRP_MJ_FLUSH_BUFFERS;
    return Issue(file, std::move(request), nullptr, nullptr, nullptr);
}

HANDLE CreateEvent(void *, BOOL manualReset, BOOL initialState, const char16_t *)
{
    auto *h = new HandleObject{HandleObject::Kind::Event};
    h->manualReset = manualReset != 0;
    KeInitializeEvent(&h->event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
    return h;
}

BOOL SetEvent(HANDLE event)
{
    KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
    return 1;
}

BOOL ResetEvent(HANDLE event)
{
    KeClearEvent(&event->event);
    return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(milliseconds) * 10000;
    NTSTATUS status = KeWaitForSingleObject(&handle->event, Executive, UserMode, FALSE,
                                            milliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS *timeouts)
{
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
    return Control(file, IOCTL_SERIAL_SET_TIMEOUTS, timeouts, sizeof *timeouts, nullptr, 0);
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts)
{
    return Control(file, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, timeouts, sizeof *timeouts);
}

BOOL SetCommMask(HANDLE file, DWORD mask) { return Control(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0); }

BOOL WaitCommEvent(HANDLE file, DWORD *mask, OVERLAPPED *overlapped)
{
    return Control(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, mask, sizeof *mask, nullptr, overlapped);
}

BOOL PurgeComm(HANDLE file, DWORD flags) { return Control(file, IOCTL_SERIAL_PURGE, &flags, 4, nullptr, 0); }

BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status)
{
    SERIAL_STATUS serial = {};
    if (!Control(file, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &serial, sizeof serial)) return 0;
    if (errors) *errors = serial.Errors;
    if (status) {
        std::memset(status, 0, sizeof *status);
        status->fCtsHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        status->fDsrHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        status->fRlsdHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        status->fXoffHold = (serial.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        status->fEof = serial.EofReceived;
        status->fTxim = serial.WaitForImmediate;
        status->cbInQue = serial.AmountInInQueue;
        status->cbOutQue = serial.AmountInOutQueue;
    }
    return 1;
}

BOOL GetCommModemStatus(HANDLE file, DWORD *modemStatus)
{
    return Control(file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, modemStatus, sizeof *modemStatus);
}

BOOL SetCommState(HANDLE file, const DCB *dcb)
{
    SERIAL_BAUD_RATE baud = {dcb->BaudRate};
    SERIAL_LINE_CONTROL line = {dcb->StopBits, dcb->Parity, dcb->ByteSize};
    SERIAL_CHARS chars = {UCHAR(dcb->EofChar), UCHAR(dcb->ErrorChar), 0, UCHAR(dcb->EvtChar), UCHAR(dcb->XonChar),
                          UCHAR(dcb->XoffChar)};
    SERIAL_HANDFLOW flow = {};
    flow.ControlHandShake = (dcb->fDtrControl & SERIAL_DTR_MASK) | (dcb->fOutxCtsFlow ? SERIAL_CTS_HANDSHAKE : 0) |
                            (dcb->fOutxDsrFlow ? SERIAL_DSR_HANDSHAKE : 0) |
                            (dcb->fDsrSensitivity ? SERIAL_DSR_SENSITIVITY : 0) |
                            (dcb->fAbortOnError ? SERIAL_ERROR_ABORT : 0);
    flow.FlowReplace = (dcb->fOutX ? SERIAL_AUTO_TRANSMIT : 0) | (dcb->fInX ? SERIAL_AUTO_RECEIVE : 0) |
                       (dcb->fErrorChar ? SERIAL_ERROR_CHAR : 0) | (dcb->fNull ? SERIAL_NULL_STRIPPING : 0) |
                       (ULONG(dcb->fRtsControl) << 6) | (dcb->fTXContinueOnXoff ? SERIAL_XOFF_CONTINUE : 0);
    flow.XonLimit = dcb->XonLim;
    flow.XoffLimit = dcb->XoffLim;
    return Control(file, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0) &&
           Control(file, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0) &&
           Control(file, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr, 0) &&
           Control(file, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, nullptr, 0);
}

BOOL GetCommState(HANDLE file, DCB *dcb)
{
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW flow;
    if (!Control(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud) ||
        !Control(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line) ||
        !Control(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars) ||
        !Control(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow))
        return 0;
    *dcb = DCB{};
    dcb->BaudRate = baud.BaudRate;
    dcb->StopBits = line.StopBits;
    dcb->Parity = line.Parity;
    dcb->ByteSize = line.WordLength;
    dcb->EofChar = char(chars.EofChar);
    dcb->ErrorChar = char(chars.ErrorChar);
    dcb->EvtChar = char(chars.EventChar);
    dcb->XonChar = char(chars.XonChar);
    dcb->XoffChar = char(chars.XoffChar);
    dcb->fDtrControl = flow.ControlHandShake & SERIAL_DTR_MASK;
    dcb->fOutxCtsFlow = (flow.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (flow.ControlHandShake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fRtsControl = (flow.FlowReplace & SERIAL_RTS_MASK) >> 6;
    dcb->fOutX = (flow.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (flow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
    dcb->XonLim = WORD(flow.XonLimit);
    dcb->XoffLim = WORD(flow.XoffLimit);
    return 1;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function)
{
    ULONG code;
    switch (function) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    return Control(file, code, nullptr, 0, nullptr, 0);
}

}  // namespace app
