// The modem's serial port driver below the filter, written like a serial port
// driver for the host kernel: its own time-outs, pending and cancellable reads,
// its own wait-on-mask, status queries answered within the call, the other
// serial controls accepted, a record of every request, and fault injection
// per request kind. The modem model stands behind it.
#pragma once

#include "modem/modem_model.h"

#include <ntddk.h>
#include <ntddser.h>

#include <memory>
#include <string>
#include <vector>

namespace sim {

struct PortRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    ULONG length = 0;
};

enum class PortFault {
    Fail,  // completed at once with the given status
    Pend,  // held, pending, until ReleaseHeld
};

class ModemPort {
public:
    // Loads the port driver; its AddDevice names each port after "AttachedTo"
    // in the device's class key, with \DosDevices\<name> as symbolic link.
    static PDRIVER_OBJECT LoadDriver();
    static ModemPort *ForPdo(PDEVICE_OBJECT pdo);  // the port attached to a PDO, or null

    std::vector<PortRequest> Requests() const;
    void ClearRequests();
    // Applies to requests of that major function (and control code, for device
    // controls; 0 means any). `times` < 0: every one.
    void InjectFault(UCHAR major, ULONG ioControlCode, PortFault fault, NTSTATUS status = STATUS_UNSUCCESSFUL,
                     int times = -1);
    void ClearFaults();
    size_t HeldCount() const;
    void ReleaseHeld(NTSTATUS status);

    ModemModel &Modem() { return modem_; }
    bool IsOpen() const;
    SERIAL_TIMEOUTS Timeouts() const;
    std::u16string Name() const;
    PDEVICE_OBJECT Device() const { return device_; }

    struct State;

private:
    friend struct PortDriver;
    ModemPort(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, std::u16string name);
    ~ModemPort();

    PDEVICE_OBJECT device_;
    PDEVICE_OBJECT lower_;
    std::u16string name_;
    ModemModel modem_;
    std::unique_ptr<State> state_;
};

}  // namespace sim
