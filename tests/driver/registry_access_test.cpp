// How registry values reach the driver: the delivery table, the port name and
// driver key, text round trips, and the refusals above PASSIVE_LEVEL.
#include "../support/kernel_test.h"

#include "zyrva_driver.h"

#include <cstring>

using namespace testing_support;

namespace {

const char16_t kKey[] = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\Class\\{X}\\0000";
PCWSTR W(const char16_t *text) { return reinterpret_cast<PCWSTR>(text); }

host::RegistryValue Raw(ULONG type, std::vector<UCHAR> data) { return host::RegistryValue{type, std::move(data)}; }

struct Delivery {
    const char *name;
    host::RegistryValue stored;
    ULONG bufferSize;
    ULONG result;
    std::vector<UCHAR> delivered;  // when result is 1
};

void PrintTo(const Delivery &d, std::ostream *out) { *out << d.name; }

class ReadDelivery : public KernelTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(ReadDelivery, DeliversOrRefusesAsTheTableSays)
{
    const Delivery &d = GetParam();
    host::RegistrySet(kKey, u"Value", d.stored);
    std::vector<UCHAR> buffer(d.bufferSize + 4, 0xEE);
    EXPECT_EQ(ReadRegistryEntry(W(kKey), W(u"Value"), buffer.data(), d.bufferSize), d.result);
    if (d.result) {
        EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + d.delivered.size()), d.delivered);
        EXPECT_EQ(buffer[d.delivered.size()], 0xEE);
    } else {
        EXPECT_EQ(buffer, std::vector<UCHAR>(d.bufferSize + 4, 0xEE));  // untouched
    }
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 0u);
}

std::string Letters(size_t n) { return std::string(n, 'x'); }
std::vector<UCHAR> Text(const std::string &s, int zeros)
{
    std::vector<UCHAR> out(s.begin(), s.end());
    out.insert(out.end(), zeros, 0);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadDelivery,
    ::testing::Values(
        Delivery{"sz_with_terminator", host::RegSz(u"AT&F", true), 100, 1, Text("AT&F", 2)},
        Delivery{"sz_without_terminator", host::RegSz(u"AT&F", false), 100, 1, Text("AT&F", 1)},
        Delivery{"dword_into_4", host::RegDword(1), 4, 1, {1, 0, 0, 0}},
        Delivery{"dword_into_1", host::RegDword(1), 1, 0, {}},
        Delivery{"binary", Raw(REG_BINARY, {1, 2, 3, 4, 5}), 5, 1, {1, 2, 3, 4, 5}},
        Delivery{"multi_sz_refused", Raw(REG_MULTI_SZ, {'A', 0, 0, 0, 0, 0}), 100, 0, {}},
        Delivery{"expand_sz_refused", Raw(REG_EXPAND_SZ, {'A', 0, 0, 0}), 100, 0, {}},
        Delivery{"sz_98_fits_100", host::RegSz(host::ToU16(Letters(98)), true), 100, 1, Text(Letters(98), 2)},
        Delivery{"sz_99_does_not", host::RegSz(host::ToU16(Letters(99)), true), 100, 0, {}},
        Delivery{"sz_99_unterminated_fits", host::RegSz(host::ToU16(Letters(99)), false), 100, 1,
                 Text(Letters(99), 1)}),
    [](const auto &info) { return std::string(info.param.name); });

class RegistryAccessTest : public KernelTest {};

TEST_F(RegistryAccessTest, MissingValueMissingKeyAndNullArgumentsYieldZero)
{
    UCHAR buffer[8] = {};
    host::RegistrySet(kKey, u"Present", host::RegDword(7));
    EXPECT_EQ(ReadRegistryEntry(W(kKey), W(u"Absent"), buffer, 8), 0u);
    EXPECT_EQ(ReadRegistryEntry(W(u"\\REGISTRY\\Machine\\Nowhere"), W(u"Present"), buffer, 8), 0u);
    EXPECT_EQ(ReadRegistryEntry(nullptr, W(u"Present"), buffer, 8), 0u);
    EXPECT_EQ(ReadRegistryEntry(W(kKey), W(u"Present"), nullptr, 8), 0u);
    host::FailAllocationNumber(1);
    EXPECT_EQ(ReadRegistryEntry(W(kKey), W(u"Present"), buffer, 8), 0u);
    host::FailAllocationNumber(0);
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 0u);
}

TEST_F(RegistryAccessTest, TextWrittenReadsBackWithOneZero)
{
    char text[] = "AT&F&C1&D2";
    EXPECT_EQ(WriteRegistryEntry(W(kKey), W(u"UserInit"), REG_SZ, text, 0), STATUS_SUCCESS);
    EXPECT_EQ(host::RegistryGet(kKey, u"UserInit")->data.size(), 20u);  // no terminator stored
    UCHAR buffer[100];
    EXPECT_EQ(ReadRegistryEntry(W(kKey), W(u"UserInit"), buffer, sizeof buffer), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), sizeof text), std::string(text, sizeof text));
    ULONG number = 0x01020304;
    EXPECT_EQ(WriteRegistryEntry(W(kKey), W(u"Number"), REG_DWORD, &number, 4), STATUS_SUCCESS);
    EXPECT_EQ(host::RegistryGet(kKey, u"Number")->data, host::RegDword(number).data);
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations + host::PoolByTag(host::Tag("Strg")).allocations, 0u);
}

TEST_F(RegistryAccessTest, CallsFromRaisedIrqlDoNothing)
{
    host::RegistrySet(kKey, u"Present", host::RegDword(7));
    UCHAR buffer[8] = {0xEE};
    char text[] = "ATZ";
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(ReadRegistryEntry(W(kKey), W(u"Present"), buffer, 8), 0u);
    EXPECT_EQ(WriteRegistryEntry(W(kKey), W(u"UserInit"), REG_SZ, text, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(RegistryAccessTest, DriverKeyAndPortName)
{
    PDEVICE_OBJECT pdo = host::CreatePdo({u"ROOT\\MODEM\\0000", u"{X}\\0000"});
    UNICODE_STRING path, port;
    EXPECT_EQ(GetDriverRegistry(nullptr, &path), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(path.Buffer, nullptr);
    ASSERT_EQ(GetDriverRegistry(pdo, &path), STATUS_SUCCESS);
    EXPECT_EQ(host::FromUnicodeString(path), kKey);
    EXPECT_EQ(path.MaximumLength, (8 + 1) * 2 + 118);  // "{X}\\0000" and its terminator
    // Zero-filled beyond the text: its terminator and room for two more characters.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(path.Buffer[path.Length / 2 + i], 0);

    host::RegistrySet(kKey, u"AttachedTo", host::RegSz(u"COM4"));
    ASSERT_EQ(GetPortName(&path, &port), STATUS_SUCCESS);
    EXPECT_EQ(host::FromUnicodeString(port), u"COM4");
    EXPECT_EQ(port.MaximumLength, 10);
    RtlFreeUnicodeString(&port);
    host::RegistrySet(kKey, u"AttachedTo", host::RegSz(u"COM12"));
    EXPECT_NE(GetPortName(&path, &port), STATUS_SUCCESS);
    EXPECT_EQ(port.Buffer, nullptr);
    RtlFreeUnicodeString(&path);
    EXPECT_EQ(host::PoolByTag(ZYR_POOL_TAG).allocations, 0u);
}

TEST(ConvertUnicodeToChar, NarrowsAtMostMaxCharsAndTerminates)
{
    std::u16string name = u"\\Device\\ZyrModem0000\u0141";
    UNICODE_STRING source{USHORT(name.size() * 2), USHORT(name.size() * 2), reinterpret_cast<PWSTR>(name.data())};
    UCHAR out[32];
    std::memset(out, 0xEE, sizeof out);
    ConvertUnicodeToChar(&source, 12, out);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 13), std::string("\\Device\\ZyrM\0", 13));
    EXPECT_EQ(out[13], 0xEE);
    ConvertUnicodeToChar(&source, 30, out);
    EXPECT_EQ(out[name.size() - 1], 0x41);  // U+0141 loses its high byte
    ConvertUnicodeToChar(&source, 0, out);
    EXPECT_EQ(out[0], 0);
}

}  // namespace
