// The SpringBoard host with TarvikDNS.dylib as a process of its own beside netwardd, on a device seeded
// with a Wi-Fi service (en0) and a cellular one (pdp_ip0), driven only from outside: the preferences
// file, notifyutil, the dynamic store, and the host's standard streams for its alerts.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "NSDictionary.h"
#include "TemporaryDevice.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
constexpr const char* wifiState = "State:/Network/Service/WIFI-SERVICE/DNS";
constexpr const char* stopDialog = "alert: TarvikDNS Passlock | Please enter your password : | Cancel, OK\n";

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++found;
    return found;
}

class SpringBoardTest : public testing::Test {
protected:
    SpringBoardTest()
    {
        seedService("WIFI-SERVICE", "en0", seededWifiDNS, seededWifiDNS);
        seedService("CELL-SERVICE", "pdp_ip0", dnsDictionary({ "10.64.0.1" }), std::nullopt);
        std::filesystem::create_directories(device.path("/Library/MobileSubstrate/DynamicLibraries"));
        std::filesystem::create_symlink(TARVIKDNS_DYLIB_PATH, device.path("/Library/MobileSubstrate/DynamicLibraries/TarvikDNS.dylib"));
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, record,
                                        "com.tarvik.dns/DNSChanged", nullptr, CFNotificationSuspensionBehaviorHold);
    }

    void startDevice()
    {
        netwardd = std::make_unique<ChildProcess>(programPath("netwardd"), std::vector<std::string> {});
        ASSERT_TRUE(waitForNotificationObserver(netwardd->pid()));
        ASSERT_TRUE(runLoopUntil([&] { return dnsChanged >= 1; })) << "the start-up pass";
        springBoard = std::make_unique<ChildProcess>(programPath("springboard-host"), std::vector<std::string> {});
        // The extension observes once SpringBoard has finished launching.
        ASSERT_TRUE(waitForNotificationObserver(springBoard->pid())) << springBoard->standardError();
    }

    // Saves the preferences as the pane does and waits for the daemon to apply them.
    void apply(const PropertyListDictionary& preferences)
    {
        ASSERT_TRUE(writeDictionaryToFile(preferences, preferencesPath, true));
        int before = dnsChanged;
        ASSERT_EQ(notifyutil("com.tarvik.dns/PreferencesChanged"), 0);
        ASSERT_TRUE(runLoopUntil([&] { return dnsChanged > before; }));
    }

    int notifyutil(const std::string& name) { return runProgram(programPath("notifyutil"), { "-p", name }).status; }

    std::optional<std::string> preference(const std::string& key)
    {
        auto preferences = dictionaryWithContentsOfFile(preferencesPath);
        if (!preferences || !preferences->contains(key) || !preferences->at(key).string())
            return std::nullopt;
        return *preferences->at(key).string();
    }

    const PropertyList seededWifiDNS { dnsDictionary({ "192.168.1.1" }, "home.lan") };
    const PropertyList override { dnsDictionary({ "9.9.9.9" }) };
    TemporaryDevice device;
    std::unique_ptr<ChildProcess> netwardd;
    std::unique_ptr<ChildProcess> springBoard;
    int dnsChanged { 0 };

private:
    static void record(CFNotificationCenterRef, void* observer, const std::string&, const void*, const PropertyListDictionary*)
    {
        ++static_cast<SpringBoardTest*>(observer)->dnsChanged;
    }
};

TEST_F(SpringBoardTest, WithoutAPasslockAnOutsideStopRemovesTheOverrideAndAStartBringsItBack)
{
    startDevice();
    apply({ { "SelectedConnectivity", "Wifi" }, { "SBSelectedConnectivity", "Wifi" }, { "PrimaryDNS", "9.9.9.9" } });
    ASSERT_EQ(storeValue(wifiState), override);

    int before = dnsChanged;
    ASSERT_EQ(notifyutil("com.tarvik.dns/SBStop"), 0);
    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged > before; }));
    EXPECT_EQ(storeValue(wifiState), seededWifiDNS);
    EXPECT_EQ(preference("SelectedConnectivity"), "None");
    EXPECT_EQ(preference("SBSelectedConnectivity"), "Wifi");

    before = dnsChanged;
    ASSERT_EQ(notifyutil("com.tarvik.dns/SBStart"), 0);
    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged > before; }));
    EXPECT_EQ(storeValue(wifiState), override);
    EXPECT_EQ(preference("SelectedConnectivity"), "Wifi");

    EXPECT_EQ(springBoard->standardOutput(), "");
    EXPECT_EQ(springBoard->terminate(), 0);
}

TEST_F(SpringBoardTest, WithAPasslockAnOutsideStopWaitsForTheRightPasswordTypedIntoTheStopDialog)
{
    startDevice();
    apply({ { "SelectedConnectivity", "Wifi" }, { "SBSelectedConnectivity", "Wifi" }, { "PrimaryDNS", "9.9.9.9" },
            { "Passlock", "1234" } });
    const auto preferencesBefore = device.readFile(preferencesPath);
    int before = dnsChanged;

    ASSERT_EQ(notifyutil("com.tarvik.dns/SBStop"), 0);
    ASSERT_TRUE(springBoard->waitForOutput(stopDialog)) << springBoard->standardError();
    // Unanswered, the dialog holds everything back.
    runLoopFor(300ms);
    EXPECT_EQ(dnsChanged, before);
    EXPECT_EQ(storeValue(wifiState), override);
    EXPECT_EQ(device.readFile(preferencesPath), preferencesBefore);

    springBoard->writeToStandardInput("4321\tOK\n");
    ASSERT_TRUE(runLoopUntil([&] { return occurrences(springBoard->standardOutput(), stopDialog) == 2; }))
        << springBoard->standardOutput() << springBoard->standardError();
    EXPECT_EQ(dnsChanged, before);
    EXPECT_EQ(storeValue(wifiState), override);

    springBoard->writeToStandardInput("1234\tOK\n");
    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged > before; }));
    EXPECT_EQ(storeValue(wifiState), seededWifiDNS);
    EXPECT_EQ(preference("SelectedConnectivity"), "None");
    EXPECT_EQ(occurrences(springBoard->standardOutput(), stopDialog), 2u);

    EXPECT_EQ(springBoard->terminate(), 0);
    EXPECT_EQ(netwardd->terminate(), 0);
}

} // namespace
