// The main job: builds the modem's stack in the host kernel, opens the port
// through the filter as an application does, talks to the simulated modem
// (AT, dial, data both ways, escape, hang-up, close) and prints a timeline of
// what the application, the filter, the port and the modem did.
#include "app/win32_comm.h"
#include "modem_stack.h"
#include "zyrva_driver.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

bool g_showRequests = true;

double Ms() { return double(host::Now()) / 10000.0; }

void Say(const char *who, const std::string &what) { std::printf("%10.3f ms  %-6s %s\n", Ms(), who, what.c_str()); }

std::string Printable(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += char(c);
    }
    return out;
}

std::string Status(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
        return text;
    }
    }
}

void ShowRequest(const host::TraceRecord &r)
{
    if (!g_showRequests || r.kind == host::TraceRecord::Kind::Return) return;
    std::string line = host::DescribeTrace(r);
    // DescribeTrace starts with the time; print ours for the same column layout.
    size_t cut = line.find(" ms ");
    std::string rest = cut == std::string::npos ? line : line.substr(cut + 4);
    size_t space = rest.find(' ');
    std::string who = rest.substr(0, space), what = rest.substr(space + 1);
    if (r.kind == host::TraceRecord::Kind::Complete) what = "-> " + Status(r.status) + " (" + std::to_string(r.information) + " bytes) " + what.substr(what.find("IRP_MJ_"));
    Say(who.c_str(), what);
}

bool HasFinalResult(const std::string &text)
{
    for (const char *result : {"\r\nOK\r\n", "ERROR", "CONNECT", "NO CARRIER", "BUSY", "NO DIALTONE"})
        if (text.find(result) != std::string::npos) return true;
    return false;
}

// Reads what the modem sends until it has been quiet a while, or until a
// final result code has come when one is awaited (a dial takes seconds).
std::string ReadReply(app::HANDLE port, bool awaitResult = false)
{
    std::string text;
    char buffer[128];
    for (int i = 0; i < 40; ++i) {
        app::DWORD got = 0;
        if (!app::ReadFile(port, buffer, sizeof buffer, &got, nullptr)) break;
        text.append(buffer, got);
        if (awaitResult ? HasFinalResult(text) : got == 0) break;
    }
    return text;
}

void Send(app::HANDLE port, const std::string &text)
{
    Say("app", "WriteFile \"" + Printable(text) + "\"");
    app::DWORD written = 0;
    app::WriteFile(port, text.data(), app::DWORD(text.size()), &written, nullptr);
}

std::string Command(app::HANDLE port, const std::string &command)
{
    Send(port, command + "\r");
    std::string reply = ReadReply(port, true);
    Say("app", "ReadFile \"" + Printable(reply) + "\"");
    return reply;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App cli{"Runs a modem session through the filter on the host kernel and prints its timeline."};
    std::string registryFile = zyrva::DefaultRegistryFile();
    std::string number = "5551234";
    bool quiet = false;
    cli.add_option("--registry", registryFile, "REGEDIT4 file with the modem's class key")->check(CLI::ExistingFile);
    cli.add_option("--number", number, "number to dial");
    cli.add_flag("--no-requests", quiet, "leave out the requests crossing each device");
    CLI11_PARSE(cli, argc, argv);
    g_showRequests = !quiet;

    host::Kernel kernel;
    int failures = 0;
    host::SetBugCheckHandler([&](const host::BugCheck &check) {
        ++failures;
        Say("kernel", "*** BUG CHECK " + check.message);
    });
    {
        Say("pnp", "loading the modem class key from " + registryFile);
        zyrva::ModemStack stack(registryFile);
        sim::ModemPort &port = stack.Port();
        host::SetTraceSink(ShowRequest);
        Say("pnp", "start the modem's stack (port, then filter above it)");
        if (!NT_SUCCESS(stack.Start())) ++failures;
        auto interfaces = host::DeviceInterfaces(GUID_CLASS_MODEM_EXPERT_INTERFACE);
        for (auto &i : interfaces)
            Say("pnp", "device interface " + host::ToNarrow(i.symbolicLink) + (i.enabled ? " (enabled)" : ""));

        Say("app", "CreateFile \\\\.\\COM1");
        app::HANDLE h = app::CreateFile(u"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, app::OPEN_EXISTING, 0,
                                        nullptr);
        if (h == app::INVALID_HANDLE_VALUE) {
            Say("app", "CreateFile failed, error " + std::to_string(app::GetLastError()));
            return 1;
        }
        app::COMMTIMEOUTS timeouts = {50, 0, 500, 0, 0};
        app::SetCommTimeouts(h, &timeouts);
        app::DCB dcb;
        dcb.BaudRate = 115200;
        app::SetCommState(h, &dcb);
        app::EscapeCommFunction(h, app::SETDTR);

        std::string reply = Command(h, "ATZ");
        if (reply.find("OK") == std::string::npos) ++failures;
        Command(h, "AT&F E1 V1");
        reply = Command(h, "ATDT" + number);
        Say("modem", port.Modem().Online() ? "carrier up, online" : "no carrier");
        if (reply.find("CONNECT") == std::string::npos) ++failures;
        app::DWORD status = 0;
        app::GetCommModemStatus(h, &status);
        Say("app", std::string("GetCommModemStatus: carrier ") + ((status & app::MS_RLSD_ON) ? "on" : "off"));

        Send(h, "Hello from the DTE\r\n");
        std::vector<uint8_t> heard = port.Modem().TakeRemoteReceived();
        Say("remote", "received \"" + Printable(std::string(heard.begin(), heard.end())) + "\"");
        std::string far = "Hello from the far end\r\n";
        Say("remote", "sends \"" + Printable(far) + "\"");
        port.Modem().RemoteSend(std::vector<uint8_t>(far.begin(), far.end()));
        reply = ReadReply(h);
        Say("app", "ReadFile \"" + Printable(reply) + "\"");
        if (reply != far) ++failures;

        host::AdvanceTimeMs(1100);  // the escape's guard time
        Send(h, "+++");
        host::AdvanceTimeMs(1100);
        Say("app", "ReadFile \"" + Printable(ReadReply(h)) + "\"");
        Command(h, "ATH");
        Say("modem", port.Modem().Online() || port.Modem().Signals().dcd ? "still connected" : "hung up");

        Say("app", "CloseHandle");
        app::CloseHandle(h);
        Say("pnp", "remove the modem's stack");
        stack.Remove();
        host::SetTraceSink(nullptr);
    }
    size_t left = host::PoolByTag(0x5A595276).allocations;
    std::printf("session %s: %d failures, %zu allocations left with the filter's tag\n",
                failures == 0 && left == 0 ? "ok" : "FAILED", failures, left);
    return failures == 0 && left == 0 ? 0 : 1;
}
