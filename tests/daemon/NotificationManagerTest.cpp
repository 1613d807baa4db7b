#include "NotificationManager.h"

#include "CFNotificationCenter.h"
#include "NSDictionary.h"
#include "NSLog.h"
#include "NotificationRecorder.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"
#include "Tools.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class NotificationManagerTest : public testing::Test {
protected:
    std::string requestSupportReport()
    {
        size_t before = recorder.count(kNotificationSupportEmail);
        notify_post(kNotificationSupportEmailRequest);
        EXPECT_TRUE(runLoopUntil([&] { return recorder.count(kNotificationSupportEmail) > before; }));
        return ReadPrefs("scutil_dns");
    }

    TemporaryDevice device;
    NotificationRecorder recorder { kNotificationPreferencesChanged, kNotificationSupportEmail };
};

TEST_F(NotificationManagerTest, StartUpCreatesThePreferencesAndPostsPreferencesChangedOnceAfterInit)
{
    auto manager = NotificationManager::init();
    ASSERT_TRUE(manager);

    EXPECT_EQ(dictionaryWithContentsOfFile(kPreferencesPath), (PropertyListDictionary { { "RequestedConnectivity", "None" } }));
    EXPECT_TRUE(recorder.received.empty()) << "the start-up post is delivered through the run loop, not inside init";

    EXPECT_TRUE(runLoopUntil([&] { return recorder.count(kNotificationPreferencesChanged) == 1; }));
    runLoopFor(std::chrono::milliseconds(100));
    EXPECT_EQ(recorder.received, std::vector<std::string> { kNotificationPreferencesChanged });
}

TEST_F(NotificationManagerTest, StartUpKeepsAnExistingPreferencesFile)
{
    const std::string preferences = PropertyList(PropertyListDictionary { { "SelectedConnectivity", "Wifi" } }).xml();
    device.writeFile(kPreferencesPath, preferences);

    chmod(device.path(kPreferencesPath).c_str(), 0644);

    auto manager = NotificationManager::init();

    EXPECT_EQ(device.readFile(kPreferencesPath), preferences);
    struct stat status {};
    ASSERT_EQ(stat(device.path(kPreferencesPath).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "it may hold the Passlock: closed to other accounts";
}

TEST_F(NotificationManagerTest, SupportReportWithDNSCryptOff)
{
    auto manager = NotificationManager::init();

    EXPECT_EQ(requestSupportReport(), "No DNS configuration available\n\n\nDNSCrypt=NO");
    EXPECT_FALSE(device.exists("/tmp/tarvikdnstemp"));
}

TEST_F(NotificationManagerTest, SupportReportWithDNSCryptOnHoldsTheLaunchDaemonListAndTheProxyLog)
{
    auto manager = NotificationManager::init();
    WritePrefs("DNSCrypt", "YES");
    device.writeFile("/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist", "<plist>list</plist>\n");
    device.writeFile("/tmp/DNSCrypt.log", "resolver: opendns\n");

    EXPECT_EQ(requestSupportReport(), "No DNS configuration available\n\n\nDNSCrypt=YES\n\n<plist>list</plist>\n\n\nresolver: opendns\n");
}

TEST_F(NotificationManagerTest, SupportReportPrintsNullForAMissingOrNonASCIIFile)
{
    auto manager = NotificationManager::init();
    WritePrefs("DNSCrypt", "YES");
    device.writeFile("/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist", "caf\xC3\xA9");

    EXPECT_EQ(requestSupportReport(), "No DNS configuration available\n\n\nDNSCrypt=YES\n\n(null)\n\n(null)");
}

TEST_F(NotificationManagerTest, SupportReportNeverWritesThroughAPlantedLink)
{
    auto manager = NotificationManager::init();
    device.writeFile("/private/secret", "keep me");
    device.writeFile("/tmp/placeholder", "");
    ASSERT_EQ(symlink(device.path("/private/secret").c_str(), device.path("/tmp/tarvikdnstemp").c_str()), 0);

    EXPECT_EQ(requestSupportReport(), "No DNS configuration available\n\n\nDNSCrypt=NO");
    EXPECT_EQ(device.readFile("/private/secret"), "keep me");
    EXPECT_FALSE(device.exists("/tmp/tarvikdnstemp"));
}

TEST_F(NotificationManagerTest, NamesDifferingInAnyCharacterDoNothing)
{
    auto manager = NotificationManager::init();
    runLoopFor(std::chrono::milliseconds(50));
    NSLogCapture log;

    for (const char* name : { "com.tarvik.dns/supportemailrequest", "com.tarvik.dns/SupportEmailRequest ",
                              "com.tarvik.dns/SupportEmai", "com.tarvik.dns/PreferencesChanged2", "" })
        manager->HandleNotification(name);

    EXPECT_EQ(ReadPrefs("scutil_dns"), "");
    EXPECT_TRUE(log.messages().empty());
}

} // namespace
