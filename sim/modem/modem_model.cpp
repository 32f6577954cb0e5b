#include "modem/modem_model.h"

#include <host/harness.h>

#include <cctype>

namespace sim {

namespace {
constexpr int64_t kMs = 10000;
int64_t NowMs() { return host::Now() / kMs; }
}  // namespace

ModemModel::ModemModel() = default;
ModemModel::ModemModel(Settings settings) : settings_(std::move(settings)) {}

void ModemModel::Configure(Settings settings)
{
    std::lock_guard guard(lock_);
    settings_ = std::move(settings);
}

void ModemModel::Attach(ToDte toDte, SignalsChanged signalsChanged)
{
    std::lock_guard guard(lock_);
    toDte_ = std::move(toDte);
    signalsChanged_ = std::move(signalsChanged);
}

void ModemModel::Detach()
{
    std::lock_guard guard(lock_);
    toDte_ = nullptr;
    signalsChanged_ = nullptr;
}

ModemSignals ModemModel::Signals() const
{
    std::lock_guard guard(lock_);
    return signals_;
}

bool ModemModel::Online() const
{
    std::lock_guard guard(lock_);
    return online_;
}

std::vector<std::string> ModemModel::Commands() const
{
    std::lock_guard guard(lock_);
    return commands_;
}

std::vector<uint8_t> ModemModel::TakeRemoteReceived()
{
    std::lock_guard guard(lock_);
    return std::exchange(remoteReceived_, {});
}

// Calls out to the port without holding our lock: the port takes its own.
void ModemModel::Deliver(Output &out)
{
    ToDte toDte;
    SignalsChanged changed;
    ModemSignals signals;
    {
        std::lock_guard guard(lock_);
        toDte = toDte_;
        changed = signalsChanged_;
        signals = signals_;
    }
    if (out.signalsChanged && changed) changed(signals);
    if (!out.bytes.empty() && toDte) toDte(std::move(out.bytes));
}

void ModemModel::Result(const std::string &verbose, int numeric, Output &out)
{
    if (quiet_) return;
    std::string text = verbose_ ? "\r\n" + verbose + "\r\n" : std::to_string(numeric) + "\r";
    out.bytes.insert(out.bytes.end(), text.begin(), text.end());
}

void ModemModel::Connect(Output &out)
{
    dialling_ = false;
    online_ = true;
    signals_.dcd = true;
    signals_.ri = false;
    out.signalsChanged = true;
    Result(settings_.connectResult, 1, out);
    lastDataTime_ = NowMs();
}

void ModemModel::HangUp(Output &out, bool reportNoCarrier)
{
    bool hadCall = online_ || signals_.dcd || dialling_;
    online_ = false;
    dialling_ = false;
    ++generation_;
    if (signals_.dcd || signals_.ri) {
        signals_.dcd = false;
        signals_.ri = false;
        out.signalsChanged = true;
    }
    if (reportNoCarrier && hadCall) Result("NO CARRIER", 3, out);
}

void ModemModel::FromDte(std::span<const uint8_t> bytes)
{
    Output out;
    {
        std::lock_guard guard(lock_);
        for (uint8_t b : bytes) {
            if (!online_) {
                HandleCommandByte(b, out);
                continue;
            }
            int64_t now = NowMs();
            bool guarded = now - lastDataTime_ >= settings_.guardTimeMs;
            if (b == '+' && (plusCount_ > 0 || guarded)) {
                if (++plusCount_ == 3) {
                    plusTime_ = now;
                    ArmEscapeCheck(now);
                }
            } else {
                // Plus signs that turned out to be data go through after all.
                remoteReceived_.insert(remoteReceived_.end(), plusCount_, '+');
                plusCount_ = 0;
                plusTime_ = -1;
                remoteReceived_.push_back(b);
            }
            lastDataTime_ = now;
        }
    }
    Deliver(out);
}

// "+++" followed by a guard time of silence returns to command mode.
void ModemModel::ArmEscapeCheck(int64_t plusTime)
{
    unsigned generation = generation_;
    host::Post(settings_.guardTimeMs * kMs, [this, alive = std::weak_ptr<int>(alive_), plusTime, generation] {
        if (alive.expired()) return;
        Output out;
        {
            std::lock_guard guard(lock_);
            if (generation != generation_ || plusTime_ != plusTime || lastDataTime_ != plusTime || !online_) return;
            online_ = false;
            plusCount_ = 0;
            plusTime_ = -1;
            Result("OK", 0, out);
        }
        Deliver(out);
    });
}

void ModemModel::HandleCommandByte(uint8_t byte, Output &out)
{
    if (dialling_) {
        // Any character aborts a dial in progress.
        HangUp(out, false);
        Result("NO CARRIER", 3, out);
        return;
    }
    if (echo_) out.bytes.push_back(byte);
    if (byte == '\r') {
        std::string line = std::exchange(line_, {});
        if (line.size() >= 2 && std::toupper(uint8_t(line[0])) == 'A' && std::toupper(uint8_t(line[1])) == 'T')
            Execute(line.substr(2), out);
        return;
    }
    if (byte == '\n') return;
    if (byte == 8 && !line_.empty()) {
        line_.pop_back();
        return;
    }
    if (line_.size() < 256) line_.push_back(char(byte));
}

void ModemModel::Execute(const std::string &commandLine, Output &out)
{
    commands_.push_back(commandLine);
    std::string line;
    for (char c : commandLine)
        if (c != ' ') line.push_back(char(std::toupper(uint8_t(c))));
    size_t i = 0;
    auto number = [&](int fallback) {
        if (i >= line.size() || !std::isdigit(uint8_t(line[i]))) return fallback;
        int n = 0;
        while (i < line.size() && std::isdigit(uint8_t(line[i]))) n = n * 10 + (line[i++] - '0');
        return n;
    };
    while (i < line.size()) {
        char c = line[i++];
        switch (c) {
        case 'E': echo_ = number(0) != 0; break;
        case 'V': verbose_ = number(0) != 0; break;
        case 'Q': quiet_ = number(0) != 0; break;
        case 'Z':
            number(0);
            echo_ = verbose_ = true;
            quiet_ = false;
            HangUp(out, false);
            break;
        case 'H':
            number(0);
            HangUp(out, false);
            break;
        case 'I': {
            int which = number(0);
            std::string info = which == 3 ? "ZyrModem V.92 56K" : "56000";
            Result(info, 0, out);
            break;
        }
        case 'S':  // Sn=v or Sn?
            number(0);
            if (i < line.size() && line[i] == '=') {
                ++i;
                number(0);
            } else if (i < line.size() && line[i] == '?') {
                ++i;
                Result("000", 0, out);
            }
            break;
        case '&':  // &F, &C1, &D2, ...
            if (i < line.size()) ++i;
            number(0);
            break;
        case '+':
        case '%':
        case '\\':
            // Extended commands are accepted; the rest of the line belongs to them.
            i = line.size();
            break;
        case 'A':
            if (!signals_.ri) {
                Result("NO CARRIER", 3, out);
                return;
            }
            Connect(out);
            return;
        case 'O':
            if (!signals_.dcd) {
                Result("NO CARRIER", 3, out);
                return;
            }
            online_ = true;
            lastDataTime_ = NowMs();
            Result(settings_.connectResult, 1, out);
            return;
        case 'D': {
            dialling_ = true;
            unsigned generation = generation_;
            host::Post(settings_.dialDelayMs * kMs, [this, alive = std::weak_ptr<int>(alive_), generation] {
                if (alive.expired()) return;
                Output result;
                {
                    std::lock_guard guard(lock_);
                    if (generation != generation_ || !dialling_) return;
                    if (settings_.dialAnswers) {
                        Connect(result);
                    } else {
                        dialling_ = false;
                        Result("NO CARRIER", 3, result);
                    }
                }
                Deliver(result);
            });
            return;  // the rest of the line is the number
        }
        default:
            if (std::isdigit(uint8_t(c))) break;
            Result("ERROR", 4, out);
            return;
        }
    }
    Result("OK", 0, out);
}

void ModemModel::DtrChanged(bool on)
{
    Output out;
    {
        std::lock_guard guard(lock_);
        if (!on && dtrDropHangsUp && (online_ || signals_.dcd)) {
            HangUp(out, false);
            Result("OK", 0, out);
        }
    }
    Deliver(out);
}

void ModemModel::RemoteSend(std::span<const uint8_t> bytes)
{
    Output out;
    {
        std::lock_guard guard(lock_);
        if (!signals_.dcd) return;
        // In command mode the line's data waits in the modem; here it is simply lost.
        if (online_) out.bytes.assign(bytes.begin(), bytes.end());
    }
    Deliver(out);
}

void ModemModel::IncomingCall()
{
    Output out;
    {
        std::lock_guard guard(lock_);
        if (signals_.dcd) return;
        signals_.ri = true;
        out.signalsChanged = true;
        Result("RING", 2, out);
    }
    Deliver(out);
}

void ModemModel::RemoteHangUp()
{
    Output out;
    {
        std::lock_guard guard(lock_);
        HangUp(out, true);
    }
    Deliver(out);
}

}  // namespace sim
