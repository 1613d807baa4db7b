#include "DeviceRoot.h"
#include "NSLog.h"

#include "TemporaryDevice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <unistd.h>

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "the last line has no line feed";
    return result;
}

} // namespace

class NSLogTest : public testing::Test {
protected:
    TemporaryDevice device;
};

TEST_F(NSLogTest, WritesOnePrefixedLinePerCallToStandardErrorAndTheDeviceLog)
{
    testing::internal::CaptureStderr();
    NSLog("Writing %@ to %@", "nameserver 127.0.0.1", "/etc/resolv.conf");
    NSLog("%@domain %@\n", "search", "lan");
    std::string standardError = testing::internal::GetCapturedStderr();

    auto logged = device.readFile("/var/log/system.log");
    ASSERT_TRUE(logged);
    EXPECT_EQ(*logged, standardError);

    auto entries = lines(*logged);
    ASSERT_EQ(entries.size(), 2u);
    std::string prefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" + std::string(program_invocation_short_name) + "\\["
        + std::to_string(getpid()) + "\\] ";
    EXPECT_TRUE(std::regex_match(entries[0], std::regex(prefix + "Writing nameserver 127\\.0\\.0\\.1 to /etc/resolv\\.conf")))
        << entries[0];
    EXPECT_TRUE(std::regex_match(entries[1], std::regex(prefix + "searchdomain lan"))) << entries[1];

    NSLog("third");
    EXPECT_EQ(lines(*device.readFile("/var/log/system.log")).size(), 3u);
}

TEST_F(NSLogTest, CaptureKeepsBareMessagesWhileACaptureLives)
{
    NSLog("before any capture");
    {
        NSLogCapture outer;
        EXPECT_TRUE(outer.messages().empty());
        NSLog("--resolver-name=%@", "cisco");
        {
            NSLogCapture inner;
            NSLog("%d tries", 3);
            EXPECT_EQ(inner.messages(), outer.messages());
        }
        EXPECT_EQ(outer.messages(), (std::vector<std::string> { "--resolver-name=cisco", "3 tries" }));
        outer.clear();
        EXPECT_TRUE(outer.messages().empty());
        NSLog("after clear");
        EXPECT_EQ(outer.messages(), std::vector<std::string> { "after clear" });
    }
    NSLog("between captures");
    NSLogCapture later;
    EXPECT_TRUE(later.messages().empty());
}

TEST_F(NSLogTest, WithoutADeviceRootLogsOnlyToStandardError)
{
    unsetenv(DeviceRoot::environmentVariable);
    NSLogCapture capture;
    testing::internal::CaptureStderr();
    NSLog("no device");
    std::string standardError = testing::internal::GetCapturedStderr();
    EXPECT_NE(standardError.find("no device\n"), std::string::npos);
    EXPECT_EQ(capture.messages(), std::vector<std::string> { "no device" });
    EXPECT_FALSE(device.exists("/var/log/system.log"));
}
