#include "v80/modem_codec.h"

#include <stdexcept>
#include <utility>

namespace sim::v80 {

namespace {
// Modem-to-DTE transparency codes.
constexpr uint8_t kEmOnce = 0x7C, kEmTwice = 0x7D, k99Once = 0x76, k99Twice = 0x77;
// DTE-to-modem transparency codes and the DTE's in-band command code.
constexpr uint8_t kDteEmOnce = 0x5C, kDteEmTwice = 0x5D, kDte99Once = 0x58, kDte99Twice = 0x59, kDteCommand = 0x40;
}  // namespace

std::vector<uint8_t> ModemEncoder::Data(std::span<const uint8_t> bytes) const
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint8_t b = bytes[i];
        if (b != kEm && b != 0x99) {
            out.push_back(b);
            continue;
        }
        bool doubled = pairs_ && i + 1 < bytes.size() && bytes[i + 1] == b;
        out.push_back(kEm);
        if (b == kEm) out.push_back(doubled ? kEmTwice : kEmOnce);
        else out.push_back(doubled ? k99Twice : k99Once);
        if (doubled) ++i;
    }
    return out;
}

std::vector<uint8_t> ModemEncoder::Extended(uint8_t code, std::string_view body)
{
    if (body.empty() || body.size() > 95) throw std::invalid_argument("an in-band command body holds 1 to 95 bytes");
    std::vector<uint8_t> out;
    out.reserve(3 + body.size());
    out.push_back(kEm);
    out.push_back(code);
    out.push_back(uint8_t(body.size() + 0x1F));
    for (char c : body) out.push_back(uint8_t(c));
    return out;
}

void ModemDecoder::Feed(std::span<const uint8_t> bytes)
{
    for (uint8_t b : bytes) {
        switch (step_) {
        case Step::Data:
            if (b == kEm) step_ = Step::Escape;
            else if (b == 0x99) ++errors_;  // a DTE in V.80 mode always escapes it
            else data_.push_back(b);
            break;
        case Step::Escape:
            step_ = Step::Data;
            if (b == kDteEmOnce) data_.push_back(kEm);
            else if (b == kDteEmTwice) data_.insert(data_.end(), {kEm, kEm});
            else if (b == kDte99Once) data_.push_back(0x99);
            else if (b == kDte99Twice) data_.insert(data_.end(), {0x99, 0x99});
            else if (b == kDteCommand) {
                code_ = b;
                step_ = Step::Length;
            } else {
                ++errors_;
            }
            break;
        case Step::Length:
            if (b < 0x20 || b > 0x7E) {
                ++errors_;
                step_ = Step::Data;
                break;
            }
            remaining_ = b - 0x1F;
            body_.clear();
            step_ = Step::Body;
            break;
        case Step::Body:
            body_.push_back(char(b));
            if (--remaining_ == 0) {
                step_ = Step::Data;
                if (body_[0] == 'B') commands_.push_back(body_.substr(1));
                else ++errors_;
            }
            break;
        }
    }
}

std::vector<uint8_t> ModemDecoder::TakeData() { return std::exchange(data_, {}); }

std::vector<std::string> ModemDecoder::TakeAtCommands() { return std::exchange(commands_, {}); }

}  // namespace sim::v80
