// The modem's side of ITU-T V.80 in-band signalling, written from the
// recommendation's semantics: it encodes what a modem sends to the DTE and
// decodes what a DTE sends to the modem.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::v80 {

inline constexpr uint8_t kEm = 0x19;

// Modem to DTE: transparency codes, in-band commands, announcements.
class ModemEncoder {
public:
    // Escapes EM and 0x99; with `pairs`, a doubled byte travels as one code.
    explicit ModemEncoder(bool pairs = false) : pairs_(pairs) {}
    std::vector<uint8_t> Data(std::span<const uint8_t> bytes) const;
    // EM, code, length byte (body size + 0x1F), body. Bodies hold 1 to 95 bytes.
    static std::vector<uint8_t> Extended(uint8_t code, std::string_view body);
    static std::vector<uint8_t> Announcement(int ibcMode) { return Extended(0x60, "b+IBC:" + std::to_string(ibcMode)); }
    static std::vector<uint8_t> Single(uint8_t code) { return {kEm, code}; }

private:
    bool pairs_;
};

// DTE to modem: undoes transparency and collects in-band AT commands, across
// any split of the stream into chunks.
class ModemDecoder {
public:
    void Feed(std::span<const uint8_t> bytes);
    std::vector<uint8_t> TakeData();
    std::vector<std::string> TakeAtCommands();
    // Escape codes and commands a DTE may not send, and bare 0x99 bytes.
    size_t Errors() const { return errors_; }

private:
    enum class Step { Data, Escape, Length, Body } step_ = Step::Data;
    std::vector<uint8_t> data_;
    std::vector<std::string> commands_;
    uint8_t code_ = 0;
    size_t remaining_ = 0;
    std::string body_;
    size_t errors_ = 0;
};

}  // namespace sim::v80
