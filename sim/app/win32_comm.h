// The application's side: the Win32 file and comm API, built on I/O requests
// to the host kernel the way Windows builds them, so tests and tools talk to a
// port as Windows serial programs do.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string_view>

namespace app {

using BOOL = int;
using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
struct HandleObject;
using HANDLE = HandleObject *;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));

constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0, WAIT_TIMEOUT = 258;

constexpr DWORD ERROR_SUCCESS = 0, ERROR_INVALID_FUNCTION = 1, ERROR_FILE_NOT_FOUND = 2, ERROR_ACCESS_DENIED = 5,
                ERROR_INVALID_HANDLE = 6, ERROR_GEN_FAILURE = 31, ERROR_NOT_SUPPORTED = 50,
                ERROR_INVALID_PARAMETER = 87, ERROR_INSUFFICIENT_BUFFER = 122, ERROR_OPERATION_ABORTED = 995,
                ERROR_IO_INCOMPLETE = 996, ERROR_IO_PENDING = 997, ERROR_NO_SYSTEM_RESOURCES = 1450,
                ERROR_SEM_TIMEOUT = 121, ERROR_MR_MID_NOT_FOUND = 317;

struct OVERLAPPED {
    ULONG_PTR Internal = 0;      // the request's status
    ULONG_PTR InternalHigh = 0;  // bytes transferred
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = nullptr;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD fCtsHold : 1, fDsrHold : 1, fRlsdHold : 1, fXoffHold : 1, fXoffSent : 1, fEof : 1, fTxim : 1,
        fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD fBinary : 1 = 1, fParity : 1 = 0, fOutxCtsFlow : 1 = 0, fOutxDsrFlow : 1 = 0, fDtrControl : 2 = 1,
                    fDsrSensitivity : 1 = 0, fTXContinueOnXoff : 1 = 0, fOutX : 1 = 0, fInX : 1 = 0,
                    fErrorChar : 1 = 0, fNull : 1 = 0, fRtsControl : 2 = 1, fAbortOnError : 1 = 0,
                    fDummy2 : 17 = 0;
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 8;
    BYTE Parity = 0;
    BYTE StopBits = 0;
    char XonChar = 0x11, XoffChar = 0x13, ErrorChar = 0, EofChar = 0, EvtChar = 0;
    WORD wReserved1 = 0;
};

// PurgeComm flags, comm events and modem status bits share the serial driver's values.
constexpr DWORD PURGE_TXABORT = 1, PURGE_RXABORT = 2, PURGE_TXCLEAR = 4, PURGE_RXCLEAR = 8;
constexpr DWORD EV_RXCHAR = 0x1, EV_RXFLAG = 0x2, EV_TXEMPTY = 0x4, EV_CTS = 0x8, EV_DSR = 0x10, EV_RLSD = 0x20,
                EV_BREAK = 0x40, EV_ERR = 0x80, EV_RING = 0x100;
constexpr DWORD MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80;
constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8,
                CLRBREAK = 9;

DWORD GetLastError();
void SetLastError(DWORD error);
DWORD Win32ErrorFromStatus(NTSTATUS status);

HANDLE CreateFile(std::u16string_view name, DWORD access, DWORD share, void *security, DWORD disposition,
                  DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL ReadFile(HANDLE file, void *buffer, DWORD length, DWORD *read, OVERLAPPED *overlapped);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD length, DWORD *written, OVERLAPPED *overlapped);
BOOL DeviceIoControl(HANDLE file, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength,
                     DWORD *returned, OVERLAPPED *overlapped);
BOOL CancelIo(HANDLE file);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *transferred, BOOL wait);
BOOL FlushFileBuffers(HANDLE file);

HANDLE CreateEvent(void *security, BOOL manualReset, BOOL initialState, const char16_t *name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS *timeouts);
BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts);
BOOL SetCommMask(HANDLE file, DWORD mask);
BOOL WaitCommEvent(HANDLE file, DWORD *mask, OVERLAPPED *overlapped);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status);
BOOL GetCommModemStatus(HANDLE file, DWORD *modemStatus);
BOOL SetCommState(HANDLE file, const DCB *dcb);
BOOL GetCommState(HANDLE file, DCB *dcb);
BOOL EscapeCommFunction(HANDLE file, DWORD function);

}  // namespace app
