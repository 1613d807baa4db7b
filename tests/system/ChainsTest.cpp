// The chains of events that cross all three deliverables, each on a fresh device seeded with a Wi-Fi
// service (en0) and a cellular one (pdp_ip0): netwardd and the SpringBoard host with TarvikDNS.dylib as
// processes of their own, and the Settings pane opened from TarvikDNS.bundle in this process, on this
// thread's run loop, driven only through the controls on its screen. SpringBoard's dialogs are answered
// through the host's standard streams; the outside control is notifyutil. Every chain ends with what the
// dynamic store, the preferences and the device's files hold.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "NSDictionary.h"
#include "NSString.h"
#include "PSSettingsHost.h"
#include "TemporaryDevice.h"
#include "UIApplication.h"
#include "UIAutomation.h"
#include "UIButton.h"
#include "UIDevice.h"
#include "UIResponder.h"
#include "UISegmentedControl.h"
#include "UITableViewCell.h"
#include "UITextField.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>

namespace {

using namespace std::chrono_literals;

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
constexpr const char* wifiState = "State:/Network/Service/WIFI-SERVICE/DNS";
constexpr const char* wifiSetup = "Setup:/Network/Service/WIFI-SERVICE/DNS";
constexpr const char* cellularState = "State:/Network/Service/CELL-SERVICE/DNS";
// The check dialog and the start and stop dialogs look alike; the chain tells them apart.
constexpr const char* passlockDialog = "alert: TarvikDNS Passlock | Please enter your password : | Cancel, OK\n";
// Every step crosses processes; sanitizer builds are slow to start them.
constexpr auto crossing = 15s;

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++found;
    return found;
}

// The parameters of a "mailto:" URL as a mail application reads them: the query after the first "?",
// split at "&", each value percent-decoded once.
std::map<std::string, std::string> mailParameters(const std::string& url)
{
    std::map<std::string, std::string> parameters;
    auto query = url.find('?');
    if (query == std::string::npos)
        return parameters;
    std::string rest = url.substr(query + 1);
    while (!rest.empty()) {
        auto end = rest.find('&');
        std::string pair = rest.substr(0, end);
        rest = end == std::string::npos ? "" : rest.substr(end + 1);
        auto equals = pair.find('=');
        if (equals != std::string::npos)
            parameters[pair.substr(0, equals)] = stringByRemovingPercentEncoding(pair.substr(equals + 1));
    }
    return parameters;
}

class ChainsTest : public testing::Test {
protected:
    ChainsTest()
    {
        UIApplication::sharedApplication().reset();
        UIDevice::currentDevice().setModel("iPhone");
        UIDevice::currentDevice().setSystemVersion("7.1");
        seedService("WIFI-SERVICE", "en0", seededWifiDNS, seededWifiDNS);
        seedService("CELL-SERVICE", "pdp_ip0", seededCellularDNS, std::nullopt);
        installDNSCryptProxy(device);
        std::filesystem::create_directories(device.path("/Library/MobileSubstrate/DynamicLibraries"));
        std::filesystem::create_symlink(TARVIKDNS_DYLIB_PATH, device.path("/Library/MobileSubstrate/DynamicLibraries/TarvikDNS.dylib"));
        seededStore = storeContents();
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, record,
                                        "com.tarvik.dns/DNSChanged", nullptr, CFNotificationSuspensionBehaviorHold);
    }

    ~ChainsTest() override
    {
        if (auto* responder = UIResponder::firstResponder())
            responder->resignFirstResponder();
        settings.closePane();
        UIApplication::sharedApplication().reset();
        CFNotificationCenterRemoveObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, "com.tarvik.dns/DNSChanged", nullptr);
    }

    void writePreferences(const PropertyListDictionary& preferences)
    {
        device.writeFile(preferencesPath, PropertyList(preferences).xml());
    }

    std::optional<std::string> preference(const std::string& key)
    {
        auto preferences = dictionaryWithContentsOfFile(preferencesPath);
        if (!preferences || !preferences->contains(key) || !preferences->at(key).string())
            return std::nullopt;
        return *preferences->at(key).string();
    }

    // netwardd (its start-up pass applies the stored preferences), then SpringBoard with the extension,
    // then the Settings application with the pane on this thread.
    void startDevice()
    {
        netwardd = std::make_unique<ChildProcess>(programPath("netwardd"), std::vector<std::string> {});
        ASSERT_TRUE(waitForNotificationObserver(netwardd->pid(), crossing)) << netwardd->standardError();
        ASSERT_TRUE(runLoopUntil([&] { return dnsChanged >= 1; }, crossing)) << "the start-up pass";
        springBoard = std::make_unique<ChildProcess>(programPath("springboard-host"), std::vector<std::string> {});
        // The extension observes once SpringBoard has finished launching.
        ASSERT_TRUE(waitForNotificationObserver(springBoard->pid(), crossing)) << springBoard->standardError();
        ASSERT_TRUE(settings.openPane(TARVIKDNS_BUNDLE_DIR));
        ASSERT_NE(connectivitySelector(), nullptr);
    }

    // The one connectivity selector on the screen, or null.
    UISegmentedControl* connectivitySelector() const
    {
        auto found = settings.screen()->descendantsOfType<UISegmentedControl>();
        return found.size() == 1 ? found.front() : nullptr;
    }

    std::string shownConnectivity() const
    {
        auto* selector = connectivitySelector();
        return selector ? selector->titleForSegmentAtIndex(selector->selectedSegmentIndex()) : "(no selector)";
    }

    long segmentTitled(const std::string& title) const
    {
        auto* selector = connectivitySelector();
        for (long segment = 0; selector && segment < selector->numberOfSegments(); ++segment) {
            if (selector->titleForSegmentAtIndex(segment) == title)
                return segment;
        }
        return -1;
    }

    // The text field in the row with that title ("Domain", "Primary DNS", "Secondary DNS"), or null.
    UITextField* fieldInRow(const std::string& title) const
    {
        for (auto* cell : settings.screen()->descendantsOfType<UITableViewCell>()) {
            if (cell->textLabel()->text() != title)
                continue;
            auto fields = cell->descendantsOfType<UITextField>();
            return fields.size() == 1 ? fields.front() : nullptr;
        }
        return nullptr;
    }

    UIButton* buttonTitled(const std::string& title) const
    {
        for (auto* button : settings.screen()->descendantsOfType<UIButton>()) {
            if (button->titleForState(UIControlStateNormal) == title)
                return button;
        }
        return nullptr;
    }

    // Types the answer into the oldest dialog SpringBoard shows, then taps its button.
    void answerDialog(const std::string& password, const std::string& button)
    {
        springBoard->writeToStandardInput(password + "\t" + button + "\n");
    }

    bool waitForDialogs(std::size_t count)
    {
        return runLoopUntil([&] { return occurrences(springBoard->standardOutput(), passlockDialog) >= count; }, crossing);
    }

    std::size_t dialogsShown() const { return occurrences(springBoard->standardOutput(), passlockDialog); }

    int notifyutil(const std::string& name) { return runProgram(programPath("notifyutil"), { "-p", name }).status; }

    const PropertyList seededWifiDNS { dnsDictionary({ "192.168.1.1" }, "home.lan") };
    const PropertyList seededCellularDNS { dnsDictionary({ "10.64.0.1", "10.64.0.2" }) };
    // What "/etc/resolv.conf" holds while the Wi-Fi service is overridden: its servers before the override.
    const std::string wifiResolvConf { "domain home.lan\nnameserver 192.168.1.1\n" };

    TemporaryDevice device;
    PropertyListDictionary seededStore;
    std::unique_ptr<ChildProcess> netwardd;
    std::unique_ptr<ChildProcess> springBoard;
    PSSettingsHost settings;
    int dnsChanged { 0 };

private:
    static void record(CFNotificationCenterRef, void* observer, const std::string&, const void*, const PropertyListDictionary*)
    {
        ++static_cast<ChainsTest*>(observer)->dnsChanged;
    }
};

TEST_F(ChainsTest, SavingUnderAPasslockAsksAgainAfterAWrongPasswordAndAppliesAfterTheRightOne)
{
    writePreferences({ { "SelectedConnectivity", "None" }, { "SBSelectedConnectivity", "None" }, { "Passlock", "1234" } });
    startDevice();
    ASSERT_EQ(shownConnectivity(), "None");
    const auto preferencesBefore = device.readFile(preferencesPath);

    UITextField* domain = fieldInRow("Domain");
    UITextField* primary = fieldInRow("Primary DNS");
    UITextField* secondary = fieldInRow("Secondary DNS");
    ASSERT_TRUE(domain && primary && secondary);
    // Typed without the return key, which would ask for the password on its own.
    ASSERT_TRUE(UIAutomation::typeText(*domain, "example.org"));
    ASSERT_TRUE(UIAutomation::typeText(*primary, "9.9.9.9"));
    ASSERT_TRUE(UIAutomation::typeText(*secondary, "1.1.1.1"));
    ASSERT_TRUE(UIAutomation::tapSegment(*connectivitySelector(), segmentTitled("Wifi")));

    ASSERT_TRUE(waitForDialogs(1)) << springBoard->standardOutput() << springBoard->standardError();
    // The request waits for the password; nothing else was saved or applied.
    EXPECT_EQ(preference("RequestedConnectivity"), "Wifi");
    EXPECT_EQ(preference("SelectedConnectivity"), "None");
    EXPECT_EQ(storeValue(wifiState), seededWifiDNS);

    answerDialog("4321", "OK");
    // PasslockNOK reaches the pane, which asks SpringBoard again.
    ASSERT_TRUE(waitForDialogs(2)) << springBoard->standardOutput() << springBoard->standardError();
    EXPECT_EQ(dnsChanged, 1);
    EXPECT_EQ(preference("SelectedConnectivity"), "None");
    EXPECT_EQ(storeValue(wifiState), seededWifiDNS);

    // Set from code, which sends no action: only the redisplay on DNSChanged can bring "Wifi" back.
    connectivitySelector()->setSelectedSegmentIndex(segmentTitled("None"));
    answerDialog("1234", "OK");
    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged >= 2 && shownConnectivity() == "Wifi"; }, crossing))
        << "DNSChanged seen " << dnsChanged << " times; the pane shows " << shownConnectivity();

    const PropertyList paneOverride = dnsDictionary({ "9.9.9.9", "1.1.1.1" }, "example.org");
    EXPECT_EQ(storeValue(wifiState), paneOverride);
    EXPECT_EQ(storeValue(wifiSetup), paneOverride);
    EXPECT_EQ(storeValue(cellularState), seededCellularDNS);
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), wifiResolvConf);

    EXPECT_EQ(preference("SelectedConnectivity"), "Wifi");
    EXPECT_EQ(preference("SBSelectedConnectivity"), "Wifi");
    EXPECT_EQ(preference("RequestedConnectivity"), "");
    EXPECT_EQ(preference("Domain"), "example.org");
    EXPECT_EQ(preference("PrimaryDNS"), "9.9.9.9");
    EXPECT_EQ(preference("SecondaryDNS"), "1.1.1.1");
    EXPECT_EQ(preference("Passlock"), "1234");
    EXPECT_NE(device.readFile(preferencesPath), preferencesBefore);

    // The fields show what was saved, and the dialog never came a third time.
    EXPECT_EQ(domain->text(), "example.org");
    EXPECT_EQ(primary->text(), "9.9.9.9");
    runLoopFor(200ms);
    EXPECT_EQ(dialogsShown(), 2u);
    EXPECT_TRUE(UIApplication::sharedApplication().visibleAlerts().empty());

    EXPECT_EQ(springBoard->terminate(), 0);
    EXPECT_EQ(netwardd->terminate(), 0);
}

TEST_F(ChainsTest, AnOutsideStopAndStartUnderAPasslockRemoveTheOverrideAndBringItBack)
{
    // No SBSelectedConnectivity yet: only the stop can tell the start which connectivity to bring back.
    writePreferences({ { "SelectedConnectivity", "Wifi" }, { "PrimaryDNS", "9.9.9.9" }, { "Passlock", "1234" } });
    startDevice();
    const PropertyList override = dnsDictionary({ "9.9.9.9" });
    ASSERT_EQ(storeValue(wifiState), override) << "the start-up pass applies the stored choice";
    ASSERT_EQ(shownConnectivity(), "Wifi");

    ASSERT_EQ(notifyutil("com.tarvik.dns/SBStop"), 0);
    ASSERT_TRUE(waitForDialogs(1)) << springBoard->standardError();
    EXPECT_EQ(dnsChanged, 1);
    answerDialog("1234", "OK");
    // SBStopOK, handled by the extension itself, then PreferencesChanged, then the daemon's DNSChanged,
    // on which the open pane shows the stop.
    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged >= 2 && shownConnectivity() == "None"; }, crossing))
        << "DNSChanged seen " << dnsChanged << " times; the pane shows " << shownConnectivity();

    EXPECT_EQ(storeContents(), seededStore) << "every backup moved back, none left behind";
    EXPECT_FALSE(device.exists("/etc/resolv.conf"));
    EXPECT_EQ(preference("SelectedConnectivity"), "None");
    EXPECT_EQ(preference("SBSelectedConnectivity"), "Wifi");
    EXPECT_EQ(preference("Passlock"), "1234");

    ASSERT_EQ(notifyutil("com.tarvik.dns/SBStart"), 0);
    ASSERT_TRUE(waitForDialogs(2)) << springBoard->standardError();
    answerDialog("0000", "OK");
    // A wrong password posts SBStart again, and the start dialog returns.
    ASSERT_TRUE(waitForDialogs(3)) << springBoard->standardError();
    EXPECT_EQ(dnsChanged, 2);
    EXPECT_EQ(storeContents(), seededStore);
    answerDialog("1234", "OK");
    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged >= 3 && shownConnectivity() == "Wifi"; }, crossing))
        << "DNSChanged seen " << dnsChanged << " times; the pane shows " << shownConnectivity();

    EXPECT_EQ(storeValue(wifiState), override);
    EXPECT_EQ(storeValue(wifiSetup), override);
    EXPECT_EQ(storeValue(cellularState), seededCellularDNS);
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), wifiResolvConf);
    EXPECT_EQ(preference("SelectedConnectivity"), "Wifi");
    EXPECT_EQ(preference("SBSelectedConnectivity"), "Wifi");
    EXPECT_EQ(preference("PrimaryDNS"), "9.9.9.9");
    EXPECT_EQ(preference("Passlock"), "1234");
    runLoopFor(200ms);
    EXPECT_EQ(dialogsShown(), 3u);
    EXPECT_EQ(dnsChanged, 3);

    EXPECT_EQ(springBoard->terminate(), 0);
    EXPECT_EQ(netwardd->terminate(), 0);
}

TEST_F(ChainsTest, TheSupportReportReachesThePaneAsAnEMailHoldingTheDaemonsDNSConfiguration)
{
    writePreferences({ { "SelectedConnectivity", "Wifi" }, { "SBSelectedConnectivity", "Wifi" }, { "PrimaryDNS", "9.9.9.9" } });
    startDevice();
    ASSERT_EQ(storeValue(wifiState), dnsDictionary({ "9.9.9.9" }));
    const PropertyListDictionary storeBefore = storeContents();
    const auto resolvConfBefore = device.readFile("/etc/resolv.conf");

    UIButton* contact = buttonTitled("Contact support");
    ASSERT_NE(contact, nullptr);
    ASSERT_TRUE(UIAutomation::tapButton(*contact));
    const auto& opened = UIApplication::sharedApplication().openedURLs();
    ASSERT_TRUE(runLoopUntil([&] { return !opened.empty(); }, crossing)) << netwardd->standardError();
    ASSERT_EQ(opened.size(), 1u);

    // The device's DNS configuration as any process of it reads it now: what the daemon put in its report.
    auto scutil = runProgram(programPath("scutil"), { "--dns" });
    ASSERT_EQ(scutil.status, 0) << scutil.error;
    ASSERT_NE(scutil.output.find("nameserver[0] : 9.9.9.9"), std::string::npos) << scutil.output;

    const std::string& url = opened.front();
    EXPECT_TRUE(url.starts_with("mailto:")) << url;
    EXPECT_EQ(url.find_first_of(" \n"), std::string::npos) << "an unescaped space or line break: " << url;
    auto parameters = mailParameters(url);
    EXPECT_EQ(parameters["subject"], "TarvikDNS Support");
    EXPECT_EQ(parameters["body"], "\n\n----- LOG -----\n" + scutil.output + "\n\nDNSCrypt=NO") << url;

    EXPECT_EQ(preference("scutil_dns"), "");
    EXPECT_FALSE(device.exists("/tmp/tarvikdnstemp"));
    // The report changes nothing of the override.
    EXPECT_EQ(storeContents(), storeBefore);
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), resolvConfBefore);
    EXPECT_EQ(preference("SelectedConnectivity"), "Wifi");
    EXPECT_EQ(dnsChanged, 1);
    EXPECT_EQ(springBoard->standardOutput(), "");

    EXPECT_EQ(springBoard->terminate(), 0);
    EXPECT_EQ(netwardd->terminate(), 0);
}

} // namespace
