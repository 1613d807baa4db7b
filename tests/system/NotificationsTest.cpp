// Darwin notifications between real processes of one device: notifyutil children and this test.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "DeviceRoot.h"
#include "OtherAccount.h"
#include "TemporaryDevice.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

void record(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
            const PropertyListDictionary*)
{
    static_cast<std::vector<std::string>*>(observer)->push_back(name);
}

class NotificationsTest : public testing::Test {
protected:
    void observe(const std::string& name)
    {
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &received, record, name, nullptr,
                                        CFNotificationSuspensionBehaviorDeliverImmediately);
    }

    TemporaryDevice device;
    std::vector<std::string> received;
    const std::string notifyutil { programPath("notifyutil") };
};

TEST_F(NotificationsTest, PostReachesObserversInEveryProcessInOrder)
{
    observe("A");
    observe("B");
    observe("C");
    ChildProcess waitsForB(notifyutil, { "-1", "B", "-t", "10" });
    ChildProcess waitsForC(notifyutil, { "-1", "C", "-t", "10" });
    ASSERT_TRUE(waitForNotificationObserver(waitsForB.pid()));
    ASSERT_TRUE(waitForNotificationObserver(waitsForC.pid()));

    ProgramResult poster = runProgram(notifyutil, { "-p", "A", "B", "C" });
    EXPECT_EQ(poster.status, 0) << poster.error;
    EXPECT_EQ(poster.output, "");

    EXPECT_EQ(waitsForB.waitForExit(), 0) << waitsForB.standardError();
    EXPECT_EQ(waitsForB.standardOutput(), "B\n");
    EXPECT_EQ(waitsForC.waitForExit(), 0) << waitsForC.standardError();
    EXPECT_EQ(waitsForC.standardOutput(), "C\n");

    ASSERT_TRUE(runLoopUntil([&] { return received.size() >= 3; }));
    EXPECT_EQ(received, (std::vector<std::string> { "A", "B", "C" }));
}

TEST_F(NotificationsTest, PostOfThisProcessReachesAnotherAndItsOwnObservers)
{
    observe("from.test");
    ChildProcess waiter(notifyutil, { "-1", "from.test", "-t", "10" });
    ASSERT_TRUE(waitForNotificationObserver(waiter.pid()));

    EXPECT_EQ(notify_post("from.test"), 0u);
    EXPECT_EQ(waiter.waitForExit(), 0) << waiter.standardError();
    EXPECT_EQ(waiter.standardOutput(), "from.test\n");
    ASSERT_TRUE(runLoopUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received, (std::vector<std::string> { "from.test" }));
}

TEST_F(NotificationsTest, NameInOtherLetterCaseReachesNobody)
{
    observe("Mixed.Case");
    ChildProcess waiter(notifyutil, { "-1", "Mixed.Case", "-t", "1" });
    ASSERT_TRUE(waitForNotificationObserver(waiter.pid()));

    ProgramResult poster = runProgram(notifyutil, { "-p", "mixed.case", "MIXED.CASE", "Mixed.case" });
    EXPECT_EQ(poster.status, 0) << poster.error;

    EXPECT_EQ(waiter.waitForExit(), 1);
    EXPECT_EQ(waiter.standardOutput(), "");

    // Something this process does observe, posted last: once it is here, the others would have been.
    observe("last");
    notify_post("last");
    ASSERT_TRUE(runLoopUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received, (std::vector<std::string> { "last" }));
}

TEST_F(NotificationsTest, WaitingForOnePostTimesOut)
{
    ProgramResult waiter = runProgram(notifyutil, { "-1", "never.posted", "-t", "0.2" });
    EXPECT_EQ(waiter.status, 1);
    EXPECT_EQ(waiter.output, "");
}

TEST_F(NotificationsTest, WaiterStopsOnTerminationAndLeavesNoSocketBehind)
{
    ChildProcess waiter(notifyutil, { "-1", "never.posted" });
    ASSERT_TRUE(waitForNotificationObserver(waiter.pid()));
    std::string socketPath = CFNotificationCenterSocketPath(waiter.pid());
    ASSERT_TRUE(device.exists(socketPath));

    EXPECT_EQ(waiter.terminate(), 1) << "ended by the signal instead of by itself";
    EXPECT_EQ(waiter.standardOutput(), "");
    EXPECT_FALSE(device.exists(socketPath));
}

TEST_F(NotificationsTest, PostRemovesSocketOfAKilledObserver)
{
    ChildProcess waiter(notifyutil, { "-1", "never.posted" });
    ASSERT_TRUE(waitForNotificationObserver(waiter.pid()));
    kill(waiter.pid(), SIGKILL);
    EXPECT_EQ(waiter.waitForExit(), 128 + SIGKILL);
    std::string socketPath = CFNotificationCenterSocketPath(waiter.pid());
    ASSERT_TRUE(device.exists(socketPath));

    ProgramResult poster = runProgram(notifyutil, { "-p", "anything" });
    EXPECT_EQ(poster.status, 0) << poster.error;
    EXPECT_FALSE(device.exists(socketPath));
}

// An observer of another account whose socket takes no posts from this one refuses the post; notifyutil
// says so and fails. The observer's own account still reaches it.
TEST_F(NotificationsTest, APostRefusedByAnObserverMakesNotifyutilFail)
{
    if (auto reason = OtherAccount::unavailable())
        GTEST_SKIP() << *reason;
    ASSERT_EQ(chmod(device.root().c_str(), 0755), 0);
    ChildProcess waiter(notifyutil, { "-1", "guarded", "-t", "10" });
    ASSERT_TRUE(waitForNotificationObserver(waiter.pid()));

    ProgramResult refused = OtherAccount::runProgram(notifyutil, { "-p", "guarded" });
    EXPECT_EQ(refused.status, 1) << refused.error;
    EXPECT_NE(refused.error.find("does not take posts from this account"), std::string::npos) << refused.error;

    ProgramResult own = runProgram(notifyutil, { "-p", "guarded" });
    EXPECT_EQ(own.status, 0) << own.error;
    EXPECT_EQ(waiter.waitForExit(), 0) << waiter.standardError();
    EXPECT_EQ(waiter.standardOutput(), "guarded\n");
}

TEST_F(NotificationsTest, BadUsageIsRefused)
{
    for (const auto& arguments : std::vector<std::vector<std::string>> {
             {}, { "-p" }, { "-1" }, { "-1", "A", "-t" }, { "-1", "A", "-t", "soon" }, { "-1", "A", "-x", "1" },
             { "-q", "A" } }) {
        ProgramResult result = runProgram(notifyutil, arguments);
        EXPECT_EQ(result.status, 64) << testing::PrintToString(arguments);
        EXPECT_NE(result.error.find("usage"), std::string::npos) << result.error;
    }
}

TEST(NotificationsWithoutDeviceTest, NotifyutilRefusesToRunWithoutADeviceRoot)
{
    std::optional<std::string> previous;
    if (const char* value = std::getenv(DeviceRoot::environmentVariable))
        previous = value;
    unsetenv(DeviceRoot::environmentVariable);
    ProgramResult poster = runProgram(programPath("notifyutil"), { "-p", "A" });
    ProgramResult waiter = runProgram(programPath("notifyutil"), { "-1", "A", "-t", "0.1" });
    if (previous)
        setenv(DeviceRoot::environmentVariable, previous->c_str(), 1);

    for (const auto* result : { &poster, &waiter }) {
        EXPECT_NE(result->status, 0);
        EXPECT_NE(result->error.find("TARVIKDNS_DEVICE_ROOT"), std::string::npos) << result->error;
    }
}

} // namespace
