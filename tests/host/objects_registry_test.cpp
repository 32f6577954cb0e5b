// Object names, symbolic links, reference counts, device interfaces and
// properties, the Plug and Play manager, the registry and the string routines.
#include "../support/kernel_test.h"

#include <cstring>

using namespace testing_support;

namespace {

class ObjectsTest : public KernelTest {};
class RegistryTest : public KernelTest {};

PCWSTR W(const char16_t *text) { return reinterpret_cast<PCWSTR>(text); }

UNICODE_STRING U(const char16_t *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, W(text));
    return s;
}

const GUID kGuid = {0xADB44C00, 0x1B8D, 0x11D4, {0x8D, 0x5E, 0x00, 0xA0, 0xC9, 0x0D, 0x1C, 0x42}};

TEST_F(ObjectsTest, NamedDeviceOpensThroughSymbolicLinkAndLastDereferenceCloses)
{
    TestDriver driver("named");
    std::vector<UCHAR> seen;
    PDEVICE_OBJECT device = nullptr;
    UNICODE_STRING name = U(u"\\Device\\Serial7");
    ASSERT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), STATUS_SUCCESS);
    PDEVICE_OBJECT again = nullptr;
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &again),
              STATUS_OBJECT_NAME_COLLISION);
    TestDriver filterDriver("filter");
    PDEVICE_OBJECT filter = filterDriver.AddDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            seen.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
            return Complete(irp, STATUS_SUCCESS);
        },
        device);
    UNICODE_STRING link = U(u"\\DosDevices\\COM7");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(host::FindDevice(u"\\\\.\\com7"), device);

    UNICODE_STRING open = U(u"\\??\\COM7");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&open, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, filter);  // requests go to the top of the stack
    EXPECT_EQ(file->DeviceObject, device);
    EXPECT_EQ(device->ReferenceCount, 1);
    ObReferenceObject(file);
    ObDereferenceObject(file);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE}));
    ObDereferenceObject(file);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(host::FindDevice(u"\\??\\COM7"), nullptr);
}

TEST_F(ObjectsTest, AttachingSetsStackSizeAndReturnsTheDeviceBelow)
{
    TestDriver driver("stack");
    auto complete = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT bottom = driver.AddDevice(complete);
    PDEVICE_OBJECT middle = driver.AddDevice(complete, bottom);
    PDEVICE_OBJECT top = nullptr;
    IoCreateDevice(driver.Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(bottom), top);
    IoDetachDevice(middle);
    EXPECT_EQ(IoGetAttachedDevice(bottom), middle);
    IoDeleteDevice(top);
}

TEST_F(ObjectsTest, DeviceInterfacesCarryTheirReferenceStringAndState)
{
    PDEVICE_OBJECT pdo = host::CreatePdo({u"ROOT\\MODEM\\0000", u"{4D36E96D-E325-11CE-BFC1-08002BE10318}\\0000"});
    UNICODE_STRING ref = U(u"COM1"), link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, &ref, &link), STATUS_SUCCESS);
    EXPECT_EQ(host::FromUnicodeString(link),
              u"\\??\\ROOT#MODEM#0000#{ADB44C00-1B8D-11D4-8D5E-00A0C90D1C42}\\COM1");
    auto listed = host::DeviceInterfaces(kGuid);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_FALSE(listed[0].enabled);
    EXPECT_EQ(listed[0].referenceString, u"COM1");
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(host::DeviceInterfaces(kGuid)[0].enabled);
    EXPECT_EQ(host::FindDevice(host::FromUnicodeString(link)), pdo);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);

    UNICODE_STRING other{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &other), STATUS_SUCCESS);
    EXPECT_EQ(host::DeviceInterfaces(kGuid).size(), 2u);
    RtlFreeUnicodeString(&other);

    WCHAR buffer[256];
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, sizeof buffer, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, (43u + 1) * 2);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(buffer)), u"{4D36E96D-E325-11CE-BFC1-08002BE10318}\\0000");
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, 10, buffer, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 88u);
}

// A pass-through function driver that records the PnP and power minors it sees.
std::vector<std::pair<UCHAR, UCHAR>> g_seen;
PDEVICE_OBJECT g_below;

NTSTATUS RecordingDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_seen.push_back({stack->MajorFunction, stack->MinorFunction});
    bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = stack->MajorFunction == IRP_MJ_POWER ? PoCallDriver(g_below, irp) : IoCallDriver(g_below, irp);
    if (remove) {
        IoDetachDevice(g_below);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS RecordingAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    g_below = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    EXPECT_EQ(host::FromUnicodeString(*registryPath),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\recorder");
    for (auto &entry : driver->MajorFunction) entry = RecordingDispatch;
    driver->DriverExtension->AddDevice = RecordingAdd;
    return STATUS_SUCCESS;
}

TEST_F(ObjectsTest, PnpManagerBuildsStartsPowersAndRemovesAStack)
{
    g_seen.clear();
    PDRIVER_OBJECT driver = host::LoadDriver({u"recorder", RecordingEntry});
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT pdo = host::CreatePdo({u"ROOT\\PORTS\\0000"});
    ASSERT_EQ(host::AddDevice(driver, pdo), STATUS_SUCCESS);
    EXPECT_EQ(host::StartDevice(pdo), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(host::QueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(host::SetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(host::StopDevice(pdo), STATUS_SUCCESS);
    // An unhandled minor keeps the status it was sent with.
    EXPECT_EQ(host::SendPnp(pdo, IRP_MN_QUERY_INTERFACE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host::RemoveDevice(pdo), STATUS_SUCCESS);
    std::vector<std::pair<UCHAR, UCHAR>> expected = {
        {IRP_MJ_PNP, IRP_MN_START_DEVICE},       {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES},
        {IRP_MJ_POWER, IRP_MN_SET_POWER},        {IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE},
        {IRP_MJ_PNP, IRP_MN_STOP_DEVICE},        {IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE},
        {IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE}, {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}};
    EXPECT_EQ(g_seen, expected);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    host::UnloadDriver(driver);
}

struct Collected {
    std::vector<std::pair<std::u16string, ULONG>> values;
};

NTSTATUS Collect(PWSTR name, ULONG type, PVOID, ULONG length, PVOID, PVOID entryContext)
{
    static_cast<Collected *>(entryContext)
        ->values.push_back({std::u16string(reinterpret_cast<char16_t *>(name)), type * 1000 + length});
    return STATUS_SUCCESS;
}

constexpr const char16_t *kKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{X}\\0000";

TEST_F(RegistryTest, QueryRoutineDirectAndRequiredEntries)
{
    host::RegistrySet(kKey, u"AttachedTo", host::RegSz(u"COM1"));
    host::RegistrySet(kKey, u"Speed", host::RegDword(57600));

    Collected one;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = Collect;
    table[0].Name = const_cast<PWSTR>(W(u"attachedto"));  // names are case-insensitive
    table[0].EntryContext = &one;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kKey), table, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(one.values.size(), 1u);
    EXPECT_EQ(one.values[0].second, ULONG(REG_SZ * 1000 + 10));  // stored with its terminator

    Collected all;
    table[0].Name = nullptr;
    table[0].EntryContext = &all;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kKey), table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(all.values.size(), 2u);

    WCHAR small[5];
    UNICODE_STRING port{0, sizeof small, small};
    RTL_QUERY_REGISTRY_TABLE direct[2] = {};
    direct[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    direct[0].Name = const_cast<PWSTR>(W(u"AttachedTo"));
    direct[0].EntryContext = &port;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kKey), direct, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::FromUnicodeString(port), u"COM1");

    host::RegistrySet(kKey, u"AttachedTo", host::RegSz(u"COM10"));
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kKey), direct, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    direct[0].Name = const_cast<PWSTR>(W(u"Missing"));
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kKey), direct, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG speed = 0;
    direct[0].Name = const_cast<PWSTR>(W(u"Speed"));
    direct[0].EntryContext = &speed;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kKey), direct, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(speed, 57600u);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(u"\\Registry\\Machine\\Nope"), direct, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, WriteKeepsUtf16AndDeleteRemoves)
{
    const char16_t text[] = u"AT&F";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, W(kKey), W(u"UserInit"), REG_SZ,
                                    const_cast<char16_t *>(text), 8),
              STATUS_SUCCESS);
    auto value = host::RegistryGet(kKey, u"USERINIT");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, ULONG(REG_SZ));
    EXPECT_EQ(value->data, (std::vector<UCHAR>{'A', 0, 'T', 0, '&', 0, 'F', 0}));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, W(kKey), W(u"UserInit")), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, W(kKey), W(u"UserInit")), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(host::RegistryGet(kKey, u"UserInit"));
}

TEST_F(RegistryTest, RegeditTextImportsAndExportsUnchanged)
{
    const std::string text = "REGEDIT4\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{X}\\0000]\r\n"
                             "\"AttachedTo\"=\"COM1\"\r\n"
                             "\"Path\"=\"C:\\\\modem \\\"v92\\\"\"\r\n"
                             "\"MOHMethod\"=dword:00000002\r\n"
                             "\"Blob\"=hex:01,02,ff\r\n"
                             "\"Multi\"=hex(7):41,00,00,00,00,00\r\n"
                             "\r\n"
                             "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{X}\\0000\\SDKCapable]\r\n"
                             "\"HandsetExclusive\"=hex:01,00,00,00,00\r\n"
                             "\r\n";
    host::RegistryImport(text);
    auto attached = host::RegistryGet(kKey, u"AttachedTo");
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->data, host::RegSz(u"COM1").data);
    EXPECT_EQ(host::RegistryGet(kKey, u"Path")->data, host::RegSz(u"C:\\modem \"v92\"").data);
    EXPECT_EQ(host::RegistryGet(kKey, u"MOHMethod")->data, host::RegDword(2).data);
    EXPECT_EQ(host::RegistryGet(kKey, u"Multi")->type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(host::RegistryGet(std::u16string(kKey) + u"\\SDKCapable", u"HandsetExclusive")->data.size(), 5u);

    std::string exported = host::RegistryExport(kKey);
    host::RegistryImport("REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{X}]\r\n");
    EXPECT_FALSE(host::RegistryKeyExists(kKey));
    host::RegistryImport(exported);
    EXPECT_EQ(host::RegistryExport(kKey), exported);
    EXPECT_EQ(host::RegistryGet(kKey, u"Blob")->data, (std::vector<UCHAR>{1, 2, 0xff}));
}

TEST_F(RegistryTest, StringRoutinesConvertAppendAndFormat)
{
    WCHAR buffer[8];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, W(u"COM")), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, W(u"1")), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, W(u"23456")), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(host::FromUnicodeString(s), u"COM1");
    EXPECT_EQ(buffer[4], 0);

    WCHAR digits[4];
    UNICODE_STRING number{0, sizeof digits, digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &number), STATUS_SUCCESS);
    EXPECT_EQ(host::FromUnicodeString(number), u"FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &number), STATUS_BUFFER_OVERFLOW);

    char narrow[8];
    ANSI_STRING a{0, sizeof narrow, narrow};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &s, FALSE), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "COM1");
    UNICODE_STRING wide{};
    ANSI_STRING text;
    RtlInitAnsiString(&text, "at&f\xe9");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &text, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(host::FromUnicodeString(wide), u"at&f\u00e9");
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);

    DbgPrint("%s : %s\n", "ProcessLocalDecision", "MOH_LOCAL_ACCEPT");
    EXPECT_EQ(host::DebugLog().back(), "ProcessLocalDecision : MOH_LOCAL_ACCEPT\n");
    host::ClearDebugLog();
    EXPECT_TRUE(host::DebugText().empty());

    char upper[] = "at+pmh=1";
    EXPECT_STREQ(_strupr(upper), "AT+PMH=1");
    EXPECT_EQ(_stricmp("Connect", "CONNECT"), 0);
    EXPECT_LT(_stricmp("ABC", "abd"), 0);
    const UCHAR x[] = {1, 2, 3, 4}, y[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(x, y, 4), 2u);
}

}  // namespace
