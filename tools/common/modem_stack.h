// The modem's device stack as a user gets it: the modem's class key loaded
// from a .reg file, a root-enumerated physical device, the modem port driver
// and the filter added and started by the Plug and Play manager.
#pragma once

#include "port/modem_port.h"

#include <host/harness.h>

#include <string>

namespace zyrva {

inline constexpr char16_t kModemClassKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
inline constexpr char16_t kDriverKeyName[] = u"{4D36E96D-E325-11CE-BFC1-08002BE10318}\\0000";

std::string DefaultRegistryFile();  // config/modem.reg of the source tree

class ModemStack {
public:
    // Loads the registry file, the two drivers and the physical device; adds the
    // port and the filter. Start() is separate, so tests can look in between.
    explicit ModemStack(const std::string &registryFile = DefaultRegistryFile(), bool withFilter = true);
    ~ModemStack();
    ModemStack(const ModemStack &) = delete;
    ModemStack &operator=(const ModemStack &) = delete;

    NTSTATUS Start();
    NTSTATUS Remove();  // query-remove and remove; the drivers are unloaded by the destructor
    NTSTATUS addStatus = STATUS_SUCCESS;  // the filter's AddDevice

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDEVICE_OBJECT Filter() const;  // null when not added or removed
    sim::ModemPort &Port() const { return *port_; }
    PDRIVER_OBJECT FilterDriver() const { return filterDriver_; }

private:
    PDRIVER_OBJECT portDriver_ = nullptr;
    PDRIVER_OBJECT filterDriver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    sim::ModemPort *port_ = nullptr;
    bool removed_ = false;
};

}  // namespace zyrva
