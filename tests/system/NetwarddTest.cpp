// netwardd as its own process on a fresh device, seen as another process sees it: the preferences
// file, notifications and the device's files.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "NSDictionary.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <csignal>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";

class NetwarddTest : public testing::Test {
protected:
    NetwarddTest()
    {
        for (const char* name : { "com.tarvik.dns/PreferencesChanged", "com.tarvik.dns/SupportEmail" })
            CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, record, name, nullptr,
                                            CFNotificationSuspensionBehaviorHold);
    }

    std::unique_ptr<ChildProcess> startNetwardd()
    {
        auto netwardd = std::make_unique<ChildProcess>(programPath("netwardd"), std::vector<std::string> {});
        EXPECT_TRUE(waitForNotificationObserver(netwardd->pid())) << netwardd->standardError();
        return netwardd;
    }

    size_t count(const std::string& name) const { return static_cast<size_t>(std::count(received.begin(), received.end(), name)); }

    std::string requestSupportReport()
    {
        size_t before = count("com.tarvik.dns/SupportEmail");
        EXPECT_EQ(runProgram(programPath("notifyutil"), { "-p", "com.tarvik.dns/SupportEmailRequest" }).status, 0);
        EXPECT_TRUE(runLoopUntil([&] { return count("com.tarvik.dns/SupportEmail") > before; }));
        auto preferences = dictionaryWithContentsOfFile(preferencesPath);
        if (!preferences || !preferences->count("scutil_dns") || !preferences->at("scutil_dns").string())
            return "(no report)";
        return *preferences->at("scutil_dns").string();
    }

    void setPreference(const std::string& key, const std::string& value)
    {
        auto preferences = dictionaryWithContentsOfFile(preferencesPath).value_or(PropertyListDictionary {});
        preferences[key] = value;
        writeDictionaryToFile(preferences, preferencesPath, true);
    }

    TemporaryDevice device;
    std::vector<std::string> received;

private:
    static void record(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                       const PropertyListDictionary*)
    {
        static_cast<NetwarddTest*>(observer)->received.push_back(name);
    }
};

TEST_F(NetwarddTest, StartsOnAFreshDeviceAndEndsWithStatusZeroOnSIGTERM)
{
    auto netwardd = startNetwardd();

    EXPECT_TRUE(runLoopUntil([&] { return count("com.tarvik.dns/PreferencesChanged") >= 1; }));
    runLoopFor(std::chrono::milliseconds(300));
    EXPECT_EQ(count("com.tarvik.dns/PreferencesChanged"), 1u);

    EXPECT_EQ(dictionaryWithContentsOfFile(preferencesPath), (PropertyListDictionary { { "RequestedConnectivity", "None" } }));
    struct stat status {};
    ASSERT_EQ(stat(device.path(preferencesPath).c_str(), &status), 0);
    if (struct passwd* mobile = getpwnam("mobile")) {
        EXPECT_EQ(status.st_uid, mobile->pw_uid);
        EXPECT_EQ(status.st_gid, getgrnam("mobile")->gr_gid);
    }

    EXPECT_TRUE(netwardd->isRunning());
    EXPECT_EQ(netwardd->terminate(), 0);
}

TEST_F(NetwarddTest, EndsWithStatusZeroOnSIGINT)
{
    auto netwardd = startNetwardd();

    kill(netwardd->pid(), SIGINT);

    EXPECT_EQ(netwardd->waitForExit(), 0);
}

TEST_F(NetwarddTest, AnswersASupportEmailRequestWithDNSCryptOffAndOn)
{
    auto netwardd = startNetwardd();
    ASSERT_TRUE(runLoopUntil([&] { return count("com.tarvik.dns/PreferencesChanged") >= 1; }));

    EXPECT_EQ(requestSupportReport(), "No DNS configuration available\n\n\nDNSCrypt=NO");
    EXPECT_FALSE(device.exists("/tmp/tarvikdnstemp"));

    setPreference("DNSCrypt", "YES");
    device.writeFile("/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist", "<plist/>");
    device.writeFile("/tmp/DNSCrypt.log", "proxy started\n");

    EXPECT_EQ(requestSupportReport(), "No DNS configuration available\n\n\nDNSCrypt=YES\n\n<plist/>\n\nproxy started\n");
    EXPECT_FALSE(device.exists("/tmp/tarvikdnstemp"));
    EXPECT_TRUE(netwardd->isRunning());
}

TEST_F(NetwarddTest, SurvivesAGarbagePreferencesFileAndLeavesIt)
{
    const std::string garbage = "\x89PNG this is not a property list";
    device.writeFile(preferencesPath, garbage);
    auto netwardd = startNetwardd();
    ASSERT_TRUE(runLoopUntil([&] { return count("com.tarvik.dns/PreferencesChanged") >= 1; }));

    EXPECT_EQ(requestSupportReport(), "(no report)");

    EXPECT_TRUE(netwardd->isRunning());
    EXPECT_EQ(device.readFile(preferencesPath), garbage);
    EXPECT_EQ(netwardd->terminate(), 0);
}

TEST_F(NetwarddTest, RefusesToStartWithoutADeviceRoot)
{
    auto result = runProgram("/usr/bin/env", { "-u", "TARVIKDNS_DEVICE_ROOT", programPath("netwardd") });

    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.error.find("TARVIKDNS_DEVICE_ROOT"), std::string::npos) << result.error;
}

} // namespace
