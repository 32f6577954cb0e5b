// A booted host kernel per test, with bug checks collected instead of aborting:
// a test that expects a rule takes it with ExpectRule; any other fails the test.
#pragma once

#include <host/harness.h>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace host {
inline void PrintTo(Schedule schedule, std::ostream *out)
{
    *out << (schedule == Schedule::Deterministic ? "deterministic" : "concurrent");
}
}  // namespace host

namespace testing_support {

// Both schedules as test parameters, named for the test list.
inline auto BothSchedules() { return ::testing::Values(host::Schedule::Deterministic, host::Schedule::Concurrent); }
inline std::string ScheduleName(const ::testing::TestParamInfo<host::Schedule> &info)
{
    return info.param == host::Schedule::Deterministic ? "Deterministic" : "Concurrent";
}

// Runs `body` once per allocation it makes, with that allocation failing, each
// time in a kernel of its own; a bug check (a leak at shutdown, say) fails the test.
inline void ForEachFailingAllocation(const std::function<void(uint64_t failing)> &body)
{
    host::RunWithEachAllocationFailing([&](uint64_t failing) {
        std::vector<host::BugCheck> checks;
        {
            host::Kernel kernel;
            host::SetBugCheckHandler([&](const host::BugCheck &check) { checks.push_back(check); });
            host::FailAllocationNumber(failing);
            body(failing);
        }
        for (auto &check : checks) ADD_FAILURE() << "allocation " << failing << ": " << check.message;
    });
}

class KernelTest : public ::testing::Test {
protected:
    virtual host::KernelOptions Options() { return {}; }

    void SetUp() override
    {
        kernel_ = std::make_unique<host::Kernel>(Options());
        host::SetBugCheckHandler([this](const host::BugCheck &check) { checks_.push_back(check); });
    }

    void TearDown() override
    {
        kernel_.reset();
        for (auto &check : checks_) ADD_FAILURE() << "unexpected bug check: " << check.message;
    }

    // Takes the first bug check of that rule; fails when there is none.
    void ExpectRule(host::Rule rule)
    {
        for (auto it = checks_.begin(); it != checks_.end(); ++it)
            if (it->rule == rule) {
                EXPECT_NE(it->message.find(std::string(host::RuleName(rule))), std::string::npos);
                checks_.erase(it);
                return;
            }
        ADD_FAILURE() << "expected a bug check for " << host::RuleName(rule);
    }

    size_t BugCheckCount() const { return checks_.size(); }
    void ShutDown() { kernel_.reset(); }

    std::vector<host::BugCheck> checks_;
    std::unique_ptr<host::Kernel> kernel_;
};

class ConcurrentKernelTest : public KernelTest {
protected:
    host::KernelOptions Options() override
    {
        host::KernelOptions options;
        options.schedule = host::Schedule::Concurrent;
        options.processors = 4;
        return options;
    }
};

// A driver whose dispatch is a per-device function, for building small stacks.
using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class TestDriver {
public:
    explicit TestDriver(const char *name, std::vector<ULONG> tags = {});
    ~TestDriver()
    {
        if (driver_) DeleteDevices();
    }
    void Unload()
    {
        host::UnloadDriver(driver_);
        driver_ = nullptr;
    }
    TestDriver(const TestDriver &) = delete;
    TestDriver &operator=(const TestDriver &) = delete;
    // Creates a device (attached on top of `below` when given).
    PDEVICE_OBJECT AddDevice(Dispatch dispatch, PDEVICE_OBJECT below = nullptr, ULONG extensionSize = 0);
    void DeleteDevices();
    PDRIVER_OBJECT Object() const { return driver_; }

private:
    PDRIVER_OBJECT driver_;
};

// Completes the IRP with the status and information.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Passes the IRP down to the device below this one.
NTSTATUS PassDown(PDEVICE_OBJECT below, PIRP irp);

}  // namespace testing_support
