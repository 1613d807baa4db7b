// The device program as a person runs it: the guided tour, and the console fed from standard input.
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "TemporaryDevice.h"

#include <gtest/gtest.h>

namespace {

class DeviceProgramTest : public testing::Test {
protected:
    ProgramResult runDevice(const std::vector<std::string>& arguments, const std::string& input = "")
    {
        std::vector<std::string> all { "--root", device.root() };
        all.insert(all.end(), arguments.begin(), arguments.end());
        return runProgram(programPath("tarvikdns-device"), all, input);
    }

    static bool holds(const std::string& output, const std::string& text) { return output.find(text) != std::string::npos; }

    TemporaryDevice device;
};

TEST_F(DeviceProgramTest, TheTourRunsToItsEndAndLeavesTheSystemsOwnDNSAndNoProcessBehind)
{
    auto result = runDevice({ "--tour" });

    EXPECT_EQ(result.status, 0) << result.output << result.error;
    // Custom DNS on Wi-Fi, DNSCrypt with a chosen resolver, a Passlock asked for, the outside control.
    EXPECT_TRUE(holds(result.output, "changed: preferences SelectedConnectivity: (absent) -> \"Wifi\"")) << result.output;
    EXPECT_TRUE(holds(result.output, "resolver cisco")) << result.output;
    EXPECT_TRUE(holds(result.output, "posted: com.tarvik.dns/PasslockNOK")) << result.output;
    EXPECT_TRUE(holds(result.output, "posted: com.tarvik.dns/SBStopOK")) << result.output;
    EXPECT_TRUE(holds(result.output, "posted: com.tarvik.dns/SBStartOK")) << result.output;
    EXPECT_FALSE(holds(result.output, "unknown command")) << result.output;

    // "None" at the end: the system's own values, no resolver file, no proxy, and netwardd stopped.
    EXPECT_EQ(storeValue("State:/Network/Global/DNS"), dnsDictionary({ "192.168.1.1", "10.64.0.1" }, "home.lan"));
    EXPECT_FALSE(device.exists("/etc/resolv.conf"));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_EQ(runProgram(programPath("launchctl"), { "list" }).output, "PID\tStatus\tLabel\n");
}

TEST_F(DeviceProgramTest, TheConsoleReportsMistakesByCommandAndCarriesOn)
{
    auto result = runDevice({}, "frobnicate now\n"
                                "tap Sometimes\n"
                                "type nowhere 1.2.3.4\n"
                                "answer OK\n"
                                "row 3\n"
                                "tap Wifi\n"
                                "prefs\n");

    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_TRUE(holds(result.output, "frobnicate: unknown command; \"help\" lists them")) << result.output;
    EXPECT_TRUE(holds(result.output, "tap: no segment \"Sometimes\"")) << result.output;
    EXPECT_TRUE(holds(result.output, "type: no field \"nowhere\"")) << result.output;
    EXPECT_TRUE(holds(result.output, "answer: no alert is shown")) << result.output;
    EXPECT_TRUE(holds(result.output, "row: the DNSCrypt resolvers are not on the screen")) << result.output;
    // The device went on: the last tap was saved and applied.
    EXPECT_TRUE(holds(result.output, "SelectedConnectivity = \"Wifi\"")) << result.output;
}

TEST_F(DeviceProgramTest, HelpShowsEveryCommandWithAnExample)
{
    auto result = runDevice({}, "help\n");

    for (const char* command : { "screen", "svg", "tap", "switch", "row", "contact", "type", "return", "answer", "rotate",
                                 "sbstart", "sbstop", "dns", "prefs", "resolv", "proxy", "quit" })
        EXPECT_TRUE(holds(result.output, std::string("\n  ") + command)) << command;
    EXPECT_TRUE(holds(result.output, "e.g. tap Wifi")) << result.output;
}

TEST_F(DeviceProgramTest, AScriptWithAFailingCommandEndsWithStatusOne)
{
    device.writeFile("/steps.txt", "tap Wifi\ntap Never\n");

    auto result = runDevice({ "--script", device.path("/steps.txt") });

    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_TRUE(holds(result.error, "1 command(s) failed")) << result.error;
}

TEST_F(DeviceProgramTest, ARootOfTheMachineItselfIsRefused)
{
    auto result = runProgram(programPath("tarvikdns-device"), { "--root", "/" });

    EXPECT_EQ(result.status, 64);
    EXPECT_TRUE(holds(result.error, "a device root of / would be this machine itself")) << result.error;
}

} // namespace
