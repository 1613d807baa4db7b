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

// Two daemons on one device would each take the other's override for the system's value.
TEST_F(NetwarddTest, ASecondOneEndsAtOnceNamingTheFirst)
{
    auto first = startNetwardd();
    ASSERT_TRUE(runLoopUntil([&] { return count("com.tarvik.dns/PreferencesChanged") >= 1; }));

    auto began = std::chrono::steady_clock::now();
    ChildProcess second(programPath("netwardd"), {});
    auto status = second.waitForExit(std::chrono::milliseconds(2000));

    ASSERT_TRUE(status) << "the second one still runs";
    EXPECT_NE(*status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1000));
    EXPECT_NE(second.standardError().find("another netwardd runs on this device (process " + std::to_string(first->pid()) + ","),
              std::string::npos)
        << second.standardError();
    runLoopFor(std::chrono::milliseconds(200));
    EXPECT_EQ(count("com.tarvik.dns/PreferencesChanged"), 1u) << "the second one did nothing";
    EXPECT_TRUE(first->isRunning());
    struct stat lockFile {};
    ASSERT_EQ(lstat(device.path("/var/run/netwardd.lock").c_str(), &lockFile), 0);
    EXPECT_EQ(lockFile.st_mode & 07777, 0600u) << "no other account may open it, and so take it first";

    kill(first->pid(), SIGKILL);
    first->waitForExit();
    auto next = startNetwardd();
    EXPECT_TRUE(runLoopUntil([&] { return count("com.tarvik.dns/PreferencesChanged") >= 2; })) << "a daemon killed lets go";
    EXPECT_EQ(next->terminate(), 0);
}

// Where /tmp is everyone's (a device root of "/"), a link planted at the proxy's log never brings the
// file it points at into the report, which lands in the preferences and the system log.
TEST_F(NetwarddTest, TheSupportReportReadsNoFileSomeoneElsePlacedInTmp)
{
    device.writeFile("/private/shadow", "root:secret-hash:19000:0:99999:7:::\n");
    chmod(device.path("/private/shadow").c_str(), 0600);
    device.writeFile("/tmp/.keep", "");
    chmod(device.path("/tmp").c_str(), 01777);
    ASSERT_EQ(symlink(device.path("/private/shadow").c_str(), device.path("/tmp/DNSCrypt.log").c_str()), 0);
    setPreference("DNSCrypt", "YES");
    device.writeFile("/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist", "<plist/>");
    auto netwardd = startNetwardd();
    ASSERT_TRUE(runLoopUntil([&] { return count("com.tarvik.dns/PreferencesChanged") >= 1; }));

    std::string report = requestSupportReport();

    EXPECT_EQ(report.find("secret-hash"), std::string::npos) << report;
    EXPECT_EQ(report, "No DNS configuration available\n\n\nDNSCrypt=YES\n\n<plist/>\n\n(null)");
    EXPECT_EQ(device.readFile("/var/log/system.log").value_or("").find("secret-hash"), std::string::npos);
}

} // namespace
