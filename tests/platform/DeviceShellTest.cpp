#include "DeviceShell.h"

#include "NSLog.h"
#include "TemporaryDevice.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class DeviceShellTest : public testing::Test {
protected:
    TemporaryDevice device;
};

TEST_F(DeviceShellTest, RunsADeviceProgramWithItsOutputRedirectedToADevicePath)
{
    EXPECT_EQ(device::system("scutil --dns >/tmp/out"), 0);
    EXPECT_EQ(device.readFile("/tmp/out"), "No DNS configuration available\n");

    EXPECT_EQ(device::system("/usr/sbin/scutil   --dns  >  /tmp/spaced"), 0);
    EXPECT_EQ(device.readFile("/tmp/spaced"), "No DNS configuration available\n");
}

TEST_F(DeviceShellTest, ReturnsTheProgramsExitStatus)
{
    EXPECT_EQ(device::system("scutil --no-such-option >/tmp/out"), 64);
    EXPECT_EQ(device.readFile("/tmp/out"), "");
}

TEST_F(DeviceShellTest, AnyOtherProgramAnswers127WithALogLine)
{
    NSLogCapture log;

    EXPECT_EQ(device::system("rm -rf /tmp"), 127);
    EXPECT_EQ(device::system(""), 127);
    EXPECT_EQ(device::system(nullptr), 127);
    EXPECT_EQ(device::system("scutil --dns >"), 127);

    EXPECT_EQ(log.messages().size(), 3u);
    EXPECT_EQ(log.messages().front(), "sh: rm: command not found");
}

TEST_F(DeviceShellTest, ARedirectionNeverWritesThroughASymbolicLink)
{
    device.writeFile("/etc/target", "precious");
    device.writeFile("/tmp/.keep", "");
    ASSERT_EQ(symlink(device.path("/etc/target").c_str(), device.path("/tmp/out").c_str()), 0);

    EXPECT_EQ(device::system("scutil --dns >/tmp/out"), 0);

    EXPECT_EQ(device.readFile("/etc/target"), "precious");
    struct stat status {};
    ASSERT_EQ(lstat(device.path("/tmp/out").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(device.readFile("/tmp/out"), "No DNS configuration available\n");
}

TEST_F(DeviceShellTest, ARedirectionReplacesAFilePlacedThereInsteadOfWritingIntoIt)
{
    device.writeFile("/tmp/out", "placed by another account");
    std::string placed = device.path("/tmp/out");
    ASSERT_EQ(link(placed.c_str(), device.path("/tmp/second-name").c_str()), 0);

    EXPECT_EQ(device::system("scutil --dns >/tmp/out"), 0);

    EXPECT_EQ(device.readFile("/tmp/second-name"), "placed by another account");
    EXPECT_EQ(device.readFile("/tmp/out"), "No DNS configuration available\n");
}

TEST_F(DeviceShellTest, UnlinkRemovesALinkAndNeverItsTarget)
{
    device.writeFile("/etc/target", "precious");
    device.writeFile("/tmp/.keep", "");
    ASSERT_EQ(symlink(device.path("/etc/target").c_str(), device.path("/tmp/link").c_str()), 0);

    EXPECT_EQ(device::unlink("/tmp/link"), 0);
    EXPECT_EQ(device::unlink("/tmp/link"), -1);

    EXPECT_FALSE(device.exists("/tmp/link"));
    EXPECT_EQ(device.readFile("/etc/target"), "precious");
}

} // namespace
