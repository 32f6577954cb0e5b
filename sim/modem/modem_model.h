// A V.92 modem as the port driver sees it: an AT command interpreter with
// result codes and echo, dialling and answering that raise carrier, hang-up
// that drops it, and data passed to and from a remote peer once connected.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct ModemSignals {
    bool dcd = false;  // carrier detect
    bool dsr = true;   // the modem is powered and ready
    bool cts = true;
    bool ri = false;   // ringing
};

class ModemModel {
public:
    using ToDte = std::function<void(std::vector<uint8_t>)>;
    using SignalsChanged = std::function<void(ModemSignals)>;

    struct Settings {
        std::string connectResult = "CONNECT 49333";
        bool dialAnswers = true;           // false: the dial ends in NO CARRIER
        int64_t dialDelayMs = 2000;        // from ATD to the result
        int64_t guardTimeMs = 1000;        // +++ escape guard time
    };

    ModemModel();
    explicit ModemModel(Settings settings);
    void Configure(Settings settings);

    // The port connects itself here.
    void Attach(ToDte toDte, SignalsChanged signalsChanged);
    void Detach();

    // From the port: bytes the DTE wrote, and its DTR line.
    void FromDte(std::span<const uint8_t> bytes);
    void DtrChanged(bool on);

    // The far end of the line.
    void RemoteSend(std::span<const uint8_t> bytes);
    std::vector<uint8_t> TakeRemoteReceived();
    void IncomingCall();  // rings until answered
    void RemoteHangUp();

    ModemSignals Signals() const;
    bool Online() const;
    std::vector<std::string> Commands() const;  // every command line executed, without the AT

private:
    struct Output {
        std::vector<uint8_t> bytes;
        bool signalsChanged = false;
    };
    void HandleCommandByte(uint8_t byte, Output &out);
    void Execute(const std::string &line, Output &out);
    void Result(const std::string &verbose, int numeric, Output &out);
    void Connect(Output &out);
    void HangUp(Output &out, bool reportNoCarrier);
    void Deliver(Output &out);
    void ArmEscapeCheck(int64_t plusTime);

    Settings settings_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // timed callbacks outlive nothing
    mutable std::mutex lock_;
    ToDte toDte_;
    SignalsChanged signalsChanged_;
    ModemSignals signals_;
    bool online_ = false;   // data mode: bytes go to the remote
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    bool dialling_ = false;
    bool dtrDropHangsUp = true;
    unsigned generation_ = 0;  // bumps on every hang-up, so stale timed results are dropped
    std::string line_;
    std::vector<uint8_t> remoteReceived_;
    std::vector<std::string> commands_;
    int plusCount_ = 0;
    int64_t lastDataTime_ = -1;
    int64_t plusTime_ = -1;
};

}  // namespace sim
