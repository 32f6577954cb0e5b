// The V.80 engine against the modem-side codec, its state table, and the
// transparency and in-band command edge cases.
#include "../support/kernel_test.h"

#include "v80/modem_codec.h"
#include "zyrva_driver.h"

#include <random>

using namespace testing_support;
using sim::v80::ModemDecoder;
using sim::v80::ModemEncoder;
using Bytes = std::vector<UCHAR>;

namespace {

struct Report {
    ULONG code;
    std::string body;
};

class V80Test : public KernelTest {
public:
    PV80_CONTEXT engine = nullptr;
    std::vector<Report> reports;

    void Create(bool autoDetect)
    {
        engine = V80_Create(128, 16384, autoDetect ? 1 : 0);
        ASSERT_NE(engine, nullptr);
        V80_SetStatusCallback(engine, Collect, this);
    }
    void TearDown() override
    {
        if (engine) V80_Delete(engine);
        KernelTest::TearDown();
    }
    static VOID Collect(ULONG code, PUCHAR data, ULONG length, PVOID context)
    {
        auto *self = static_cast<V80Test *>(context);
        EXPECT_EQ(data == nullptr, length == 0);
        self->reports.push_back({code & 0xFF, std::string(reinterpret_cast<char *>(data), length)});
    }
    ULONG Feed(const Bytes &bytes, UCHAR eventChar = 0)
    {
        return V80_FromModemToDte(engine, bytes.data(), ULONG(bytes.size()), eventChar);
    }
    ULONG Feed(std::string_view text) { return Feed(Bytes(text.begin(), text.end())); }
    Bytes Received()
    {
        Bytes out(V80_GetModemToDteCount(engine));
        EXPECT_EQ(V80_GetModemToDteData(engine, out.data(), ULONG(out.size())), out.size());
        return out;
    }
    void Activate() { Feed(ModemEncoder::Announcement(1)); }
    // Sends DTE data through the engine, draining 30 bytes at a time as the transmit path does.
    Bytes Transmit(const Bytes &data)
    {
        Bytes line;
        size_t at = 0;
        for (int guard = 0; guard < 100000; ++guard) {
            UCHAR out[30];
            ULONG outLength = sizeof out;
            ULONG taken = V80_FromDteToModem(engine, V80_DTE_DATA, data.data() + at, ULONG(data.size() - at), out,
                                             &outLength);
            at += taken;
            line.insert(line.end(), out, out + outLength);
            if (at == data.size() && outLength == 0) break;
        }
        EXPECT_EQ(at, data.size());
        return line;
    }
    Bytes Drain()
    {
        Bytes line;
        for (;;) {
            UCHAR out[30];
            ULONG outLength = sizeof out;
            EXPECT_EQ(V80_FromDteToModem(engine, V80_DTE_DRAIN_ONLY, nullptr, 0, out, &outLength), 0u);
            if (!outLength) return line;
            line.insert(line.end(), out, out + outLength);
        }
    }
};

Bytes AllBytesAndRandom(unsigned seed, size_t randomLength)
{
    Bytes data;
    for (int b = 0; b < 256; ++b) data.push_back(UCHAR(b));
    std::mt19937 random(seed);
    for (size_t i = 0; i < randomLength; ++i) {
        // Plenty of EM and 0x99, doubled too.
        UCHAR pick[] = {0x19, 0x99, UCHAR(random())};
        data.push_back(pick[random() % 3]);
    }
    return data;
}

TEST_F(V80Test, ModemToDteRoundTripsAtEverySplitWhileActive)
{
    Create(true);
    Activate();
    ASSERT_EQ(engine->State, ULONG(V80_STATE_ACTIVE));
    Bytes data = AllBytesAndRandom(7, 300);
    for (bool pairs : {false, true}) {
        Bytes line = ModemEncoder(pairs).Data(data);
        for (size_t cut = 0; cut <= line.size(); ++cut) {
            V80_FromModemToDte(engine, line.data(), ULONG(cut), 0);
            V80_FromModemToDte(engine, line.data() + cut, ULONG(line.size() - cut), 0);
            ASSERT_EQ(Received(), data) << "split at " << cut << (pairs ? " with pairs" : "");
        }
    }
    EXPECT_TRUE(reports.empty());
}

TEST_F(V80Test, DteToModemRoundTripsInAnyChunksWhileActive)
{
    Create(true);
    Activate();
    Bytes data = AllBytesAndRandom(11, 3000);
    std::mt19937 random(5);
    ModemDecoder modem;
    for (size_t at = 0; at < data.size();) {
        size_t n = std::min<size_t>(1 + random() % 200, data.size() - at);
        Bytes line = Transmit(Bytes(data.begin() + at, data.begin() + at + n));
        size_t cut = random() % (line.size() + 1);
        modem.Feed(std::span(line).first(cut));
        modem.Feed(std::span(line).subspan(cut));
        at += n;
    }
    EXPECT_EQ(modem.TakeData(), data);
    EXPECT_EQ(modem.Errors(), 0u);
}

TEST_F(V80Test, InactiveEnginePassesBothDirectionsUnchanged)
{
    Create(false);
    Bytes data = AllBytesAndRandom(3, 500);
    Bytes announced = ModemEncoder::Announcement(1);
    data.insert(data.end(), announced.begin(), announced.end());
    Feed(data);
    EXPECT_EQ(Received(), data);
    EXPECT_EQ(Transmit(data), data);
    EXPECT_EQ(engine->State, ULONG(V80_STATE_INACTIVE));
    EXPECT_TRUE(reports.empty());
}

// ---- The state table ----------------------------------------------------------

struct StateCase {
    const char *name;
    bool autoDetect;
    std::vector<std::function<void(V80Test &)>> steps;
    ULONG expected;
};

void PrintTo(const StateCase &c, std::ostream *out) { *out << c.name; }

class V80StateTable : public V80Test, public ::testing::WithParamInterface<StateCase> {};

auto Announce(int mode) { return [mode](V80Test &t) { t.Feed(ModemEncoder::Announcement(mode)); }; }
auto Command(const char *body) { return [body](V80Test &t) { t.Feed(ModemEncoder::Extended(0x60, body)); }; }
auto Carrier(ULONG code) { return [code](V80Test &t) { V80_Control(t.engine, code); }; }
auto Bytes_(Bytes bytes) { return [bytes](V80Test &t) { t.Feed(bytes); }; }

TEST_P(V80StateTable, TriggerLeadsToState)
{
    const StateCase &c = GetParam();
    Create(c.autoDetect);
    for (auto &step : c.steps) step(*this);
    EXPECT_EQ(engine->State, c.expected);
    EXPECT_EQ(V80_CheckIfV80Active(engine), c.expected == V80_STATE_ACTIVE ? 1u : 0u);
}

const ULONG kConnect = V80_CONTROL_CONNECT, kDisconnect = V80_CONTROL_DISCONNECT;

INSTANTIATE_TEST_SUITE_P(
    Table, V80StateTable,
    ::testing::Values(
        StateCase{"created_with_autodetect", true, {}, V80_STATE_DETECT},
        StateCase{"created_without_autodetect", false, {}, V80_STATE_INACTIVE},
        StateCase{"detect_announcement_1", true, {Announce(1)}, V80_STATE_ACTIVE},
        StateCase{"detect_announcement_2", true, {Announce(2)}, V80_STATE_ACTIVE},
        StateCase{"detect_failed_match", true, {Bytes_({0x19, 0x60, 0x41})}, V80_STATE_INACTIVE},
        StateCase{"detect_plain_data_stays", true, {Bytes_({'A', 'T'})}, V80_STATE_DETECT},
        StateCase{"detect_connect", true, {Carrier(kConnect)}, V80_STATE_INACTIVE},
        StateCase{"detect_connect_disconnect", true, {Carrier(kConnect), Carrier(kDisconnect)}, V80_STATE_DETECT},
        StateCase{"inactive_disconnect_without_autodetect", false, {Carrier(kDisconnect)}, V80_STATE_INACTIVE},
        StateCase{"inactive_ignores_announcement", false, {Announce(1)}, V80_STATE_INACTIVE},
        StateCase{"active_disconnect", true, {Announce(1), Carrier(kDisconnect)}, V80_STATE_DECODE_ONLY},
        StateCase{"active_connect_stays", true, {Announce(1), Carrier(kConnect)}, V80_STATE_ACTIVE},
        StateCase{"decode_only_connect_stays", true, {Announce(1), Carrier(kDisconnect), Carrier(kConnect)},
                  V80_STATE_DECODE_ONLY},
        StateCase{"decode_only_disconnect_resets", true,
                  {Announce(1), Carrier(kDisconnect), Carrier(kDisconnect)}, V80_STATE_DETECT},
        StateCase{"decode_only_ibc1", true, {Announce(1), Carrier(kDisconnect), Command("b+IBC:1")}, V80_STATE_ACTIVE},
        StateCase{"decode_only_ibc2", true, {Announce(1), Carrier(kDisconnect), Command("b+IBC:2")}, V80_STATE_ACTIVE},
        StateCase{"active_ibc0", true, {Announce(1), Command("b+IBC:0")}, V80_STATE_DECODE_ONLY},
        StateCase{"active_ibc0_twice_resets", true, {Announce(1), Command("b+IBC:0"), Command("b+IBC:0")},
                  V80_STATE_DETECT},
        StateCase{"active_ibc1_stays", true, {Announce(2), Command("b+IBC:1")}, V80_STATE_ACTIVE}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

// ---- Transparency and in-band command edge cases ----------------------------------

TEST_F(V80Test, TransmitEscapesEmAnd99WhileActive)
{
    Create(true);
    Activate();
    EXPECT_EQ(Transmit({0x41, 0x19, 0x99, 0x42}), (Bytes{0x41, 0x19, 0x5C, 0x19, 0x58, 0x42}));
    UCHAR escape[2];
    EXPECT_TRUE(TranslateSingleSeq(0x99, escape));
    EXPECT_FALSE(TranslateSingleSeq(0x41, escape));
}

struct ReceiveCase {
    const char *name;
    std::vector<Bytes> chunks;
    Bytes delivered;
};

void PrintTo(const ReceiveCase &c, std::ostream *out) { *out << c.name; }

class V80Receive : public V80Test, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(V80Receive, ActiveDecodingDelivers)
{
    Create(true);
    Activate();
    for (const Bytes &chunk : GetParam().chunks) Feed(chunk);
    EXPECT_EQ(Received(), GetParam().delivered);
    EXPECT_TRUE(reports.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, V80Receive,
    ::testing::Values(ReceiveCase{"doubled_em", {{0x41, 0x19, 0x7D, 0x42}}, {0x41, 0x19, 0x19, 0x42}},
                      ReceiveCase{"bare_99_escapes", {{0x99, 0x76}}, {0x99}},
                      ReceiveCase{"em_em_keeps_escape", {{0x19, 0x19, 0x7C}}, {0x19}},
                      ReceiveCase{"em_99_ends_escape", {{0x19, 0x99, 0x7C}}, {0x7C}},
                      ReceiveCase{"escape_split_across_chunks", {{0x41, 0x19}, {0x7C, 0x42}}, {0x41, 0x19, 0x42}},
                      ReceiveCase{"unknown_code_dropped", {{0x41, 0x19, 0x55, 0x42}}, {0x41, 0x42}},
                      ReceiveCase{"code_61_consumed", {{0x19, 0x61, 0x22, 'x', 'y', 'z', 0x43}}, {0x43}},
                      ReceiveCase{"code_30_consumed", {{0x19, 0x30, 0x20, 'b', 0x43}}, {0x43}},
                      ReceiveCase{"bad_length_abandons", {{0x19, 0x60, 0x10, 0x43}}, {0x43}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(V80Test, AnnouncementIsConsumedAndAFailedMatchIsDelivered)
{
    Create(true);
    Bytes announcement = ModemEncoder::Announcement(2);
    Feed(Bytes(announcement.begin(), announcement.begin() + 4));  // split inside it
    Feed(Bytes(announcement.begin() + 4, announcement.end()));
    EXPECT_EQ(engine->State, ULONG(V80_STATE_ACTIVE));
    EXPECT_FALSE(engine->IbcMode1);
    EXPECT_TRUE(Received().empty());

    V80_Init(engine);
    Feed({'O', 'K', 0x19, 0x60, 0x41});
    EXPECT_EQ(engine->State, ULONG(V80_STATE_INACTIVE));
    EXPECT_EQ(Received(), (Bytes{'O', 'K', 0x19, 0x60, 0x41}));
}

TEST_F(V80Test, PartialAnnouncementIsDiscardedAtCarrierLoss)
{
    Create(true);
    Feed({0x19, 0x60, 0x26, 'b'});
    V80_Control(engine, V80_CONTROL_DISCONNECT);
    Feed({'A'});
    EXPECT_EQ(Received(), (Bytes{'A'}));
    EXPECT_EQ(engine->State, ULONG(V80_STATE_DETECT));
}

TEST_F(V80Test, ExtendedCommandsAreReportedOnceWithTheirBody)
{
    Create(true);
    Activate();
    EXPECT_TRUE(engine->IbcMode1);
    Bytes command = ModemEncoder::Extended(0x60, "bDRING");
    for (UCHAR b : command) Feed(Bytes{b});  // one byte at a time
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, 0x60u);
    EXPECT_EQ(reports[0].body, "bDRING");
    // Longer than an +IBC body that begins the same way: an ordinary command.
    Feed(ModemEncoder::Extended(0x60, "b+IBC:00"));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].body, "b+IBC:00");
    EXPECT_EQ(engine->State, ULONG(V80_STATE_ACTIVE));
    // A body without the "b" is dropped.
    Feed(ModemEncoder::Extended(0x60, "xyz"));
    Feed(ModemEncoder::Single(0x62));
    Feed(ModemEncoder::Single(0x7E));
    Feed(ModemEncoder::Single(0x70));  // not a reported code
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[2].code, 0x62u);
    EXPECT_TRUE(reports[2].body.empty());
    EXPECT_EQ(reports[3].code, 0x7Eu);
    EXPECT_TRUE(Received().empty());
}

TEST_F(V80Test, AtCommandsAreWrappedOnlyWhileActiveAndUpTo94Bytes)
{
    Create(true);
    std::string command = "+PMHR";
    auto queue = [&](const std::string &text) {
        ULONG none = 0;
        return V80_FromDteToModem(engine, V80_DTE_AT_COMMAND, reinterpret_cast<const UCHAR *>(text.data()),
                                  ULONG(text.size()), nullptr, &none);
    };
    EXPECT_EQ(queue(command), 0u);  // not active yet
    EXPECT_EQ(FIFOGetCount(engine->TxFifo), 0u);
    Activate();
    EXPECT_EQ(queue(command), 5u);
    ModemDecoder modem;
    modem.Feed(Drain());
    EXPECT_EQ(modem.TakeAtCommands(), (std::vector<std::string>{"+PMHR"}));

    std::string longest(94, 'A'), tooLong(95, 'A');
    EXPECT_EQ(queue(longest), 94u);
    EXPECT_EQ(FIFOGetCount(engine->TxFifo), 98u);
    Bytes line = Drain();
    EXPECT_EQ(line[2], 94 + 0x20);
    EXPECT_EQ(queue(tooLong), 0u);
    EXPECT_EQ(queue(""), 0u);
    EXPECT_EQ(FIFOGetCount(engine->TxFifo), 0u);
    // All or nothing: 98 bytes do not fit beside 40 already waiting.
    Bytes filler(40, 'x');
    Transmit({});
    V80ConvertFromDteChar(engine, filler.data(), ULONG(filler.size()));
    EXPECT_EQ(queue(longest), 0u);
    EXPECT_EQ(FIFOGetCount(engine->TxFifo), 40u);

    UCHAR out[4];
    ULONG outLength = 0;
    Drain();
    EXPECT_EQ(V80_FromDteToModem(engine, V80_DTE_DRAIN_ONLY, nullptr, 0, out, &outLength), 0u);
    EXPECT_EQ(outLength, 0u);
}

TEST_F(V80Test, ActiveTransmitStopsWhenFewerThanFourBytesAreFree)
{
    Create(true);
    Activate();
    Bytes data(200, 0x19);
    EXPECT_EQ(V80ConvertFromDteChar(engine, data.data(), ULONG(data.size())), 63u);  // 126 bytes, then 2 free
    EXPECT_EQ(FIFOGetCount(engine->TxFifo), 126u);
}

TEST_F(V80Test, NearlyFullReceiveFifoCutsTheChunkButStillCollectsCommands)
{
    Create(true);
    Activate();
    Bytes fill(16384 - 3, 'a');
    Feed(fill);
    EXPECT_EQ(V80_GetModemToDteCount(engine), 16381u);
    EXPECT_EQ(Feed(Bytes{'b', 'c'}), ULONG(V80_RX_FIFO_FULL));
    EXPECT_EQ(V80_GetModemToDteCount(engine), 16381u);
    Feed(ModemEncoder::Extended(0x60, "bXY"));  // the header's EM is cut off...
    EXPECT_TRUE(reports.empty());
    V80_PurgeModemToDteData(engine);
    EXPECT_EQ(V80_GetModemToDteCount(engine), 0u);
}

TEST_F(V80Test, PurgeInTheMiddleOfAnExtendedCommandKeepsCollectingIt)
{
    Create(true);
    Activate();
    Bytes command = ModemEncoder::Extended(0x60, "bCID=5551234");
    Feed(Bytes(command.begin(), command.begin() + 6));
    V80_PurgeModemToDteData(engine);
    Feed(Bytes(command.begin() + 6, command.end()));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].body, "bCID=5551234");
}

TEST_F(V80Test, EventCharacterIsNotedAnywhereInTheChunk)
{
    Create(false);
    EXPECT_EQ(Feed(Bytes{'~', 'a', 'b'}, '~'), ULONG(V80_RX_EVENT_CHAR));
    EXPECT_EQ(Feed(Bytes{'a', 'b'}, '~'), ULONG(V80_RX_OK));
    EXPECT_EQ(Feed(Bytes{}, '~'), ULONG(V80_RX_OK));
}

TEST(V80LowResources, CreationFailsCleanlyAtEachAllocation)
{
    ForEachFailingAllocation([](uint64_t failing) {
        PV80_CONTEXT engine = V80_Create(128, 16384, 1);
        EXPECT_EQ(engine == nullptr, failing != 0);
        if (engine) V80_Delete(engine);
    });
}

}  // namespace
