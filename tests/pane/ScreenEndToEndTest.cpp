// A person using the pane in the Settings host, on a phone and on a tablet: after each step the
// preferences file holds what they would expect, the controls show it, and so does the picture of
// the screen.
#include "ScreenViews.h"

#include "CFNotificationCenter.h"
#include "DeviceSeed.h"
#include "PSSettingsHost.h"
#include "UIAutomation.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using namespace ScreenViews;

int preferencesChangedPosts = 0;

void countPreferencesChanged(CFNotificationCenterRef, void*, const std::string&, const void*, const PropertyListDictionary*)
{
    ++preferencesChangedPosts;
}

// The daemon hears of every save.
void expectSaveAnnounced(int saves)
{
    EXPECT_TRUE(runLoopUntil([&] { return preferencesChangedPosts >= saves; }));
    EXPECT_EQ(preferencesChangedPosts, saves);
}

std::string machineFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

struct Device {
    const char* model;
    const char* systemVersion;
    const char* passlockTitle;
};

TEST(ScreenEndToEndTest, PickingConnectivityTypingADNSSwitchingDNSCryptPickingAResolverAndRotatingShowAndStoreEachChange)
{
    for (const auto& [model, systemVersion, passlockTitle] :
         { Device { "iPhone", "7.1", "Passlock" }, Device { "iPad", "6.1", "Secure modifications" } }) {
        SCOPED_TRACE(std::string(model) + " " + systemVersion);
        TemporaryDevice device;
        installDNSCryptProxy(device);
        useDevice(model, systemVersion);
        preferencesChangedPosts = 0;
        int observer = 0;
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &observer, countPreferencesChanged,
                                        "com.tarvik.dns/PreferencesChanged", nullptr, CFNotificationSuspensionBehaviorHold);
        bool phone = std::string(model) == "iPhone";

        // Opening: the defaults, nothing chosen yet.
        PSSettingsHost host;
        ASSERT_TRUE(host.openPane(TARVIKDNS_BUNDLE_DIR));
        ASSERT_TRUE(device.exists(preferencesPath));
        EXPECT_EQ(preference("SelectedConnectivity"), std::nullopt);
        UIView* screen = screenView(*host.pane()->view());
        ASSERT_NE(screen, nullptr);
        auto* selector = firstOfType<UISegmentedControl>(*screen);
        UITableView* extraTable = tableIn(*child(*screen, "extra area"));
        UITableView* dnsTable = tableIn(*child(*screen, "DNS settings area"));
        ASSERT_TRUE(selector && extraTable && dnsTable);
        EXPECT_EQ(rowTitles(*extraTable), (std::vector<std::string> { passlockTitle, "DNSCrypt" }));
        UISwitch* dnscryptSwitch = controlInRow<UISwitch>(*extraTable, "DNSCrypt");
        UITextField* primaryField = controlInRow<UITextField>(*dnsTable, "Primary DNS");
        ASSERT_TRUE(dnscryptSwitch && primaryField);
        EXPECT_EQ(selector->selectedSegmentIndex(), 0);
        std::string svg = host.renderScreen();
        for (const char* text : { "Activate on :", "DNS Settings :", "Domain", "Primary DNS", "Secondary DNS", "Extra :",
                                  passlockTitle, "DNSCrypt", "Contact support", "None", "3G", "Wifi", "Both" })
            EXPECT_TRUE(shows(svg, text)) << text;
        EXPECT_EQ(textOfGroup(svg, "segment selected"), "None");
        EXPECT_EQ(occurrences(svg, "<g class=\"switch off\">"), 2u);
        EXPECT_EQ(occurrences(svg, "<g class=\"text-field\">"), 3u);

        // "Wifi": stored at once, and the daemon is told.
        ASSERT_TRUE(UIAutomation::tapSegment(*selector, 2));
        EXPECT_EQ(preference("SelectedConnectivity"), "Wifi");
        EXPECT_EQ(preference("SBSelectedConnectivity"), "Wifi");
        EXPECT_EQ(preference("RequestedConnectivity"), "");
        EXPECT_EQ(preference("PrimaryDNS"), "");
        expectSaveAnnounced(1);
        EXPECT_EQ(selector->selectedSegmentIndex(), 2);
        EXPECT_EQ(textOfGroup(host.renderScreen(), "segment selected"), "Wifi");

        // A primary DNS, typed with the keyboard up, is stored on return.
        if (phone)
            UIAutomation::showKeyboard();
        ASSERT_TRUE(UIAutomation::typeText(*primaryField, "208.67.222.222"));
        if (phone) {
            EXPECT_TRUE(shows(host.renderScreen(), "208.67.222.222")) << "the field went under the keyboard";
        }
        EXPECT_EQ(preference("PrimaryDNS"), "") << "stored before return";
        ASSERT_TRUE(UIAutomation::pressReturn(*primaryField));
        if (phone)
            UIAutomation::hideKeyboard();
        EXPECT_FALSE(primaryField->isFirstResponder());
        EXPECT_EQ(preference("PrimaryDNS"), "208.67.222.222");
        EXPECT_EQ(preference("Domain"), "");
        EXPECT_EQ(preference("SelectedConnectivity"), "Wifi");
        expectSaveAnnounced(2);
        svg = host.renderScreen();
        EXPECT_EQ(primaryField->text(), "208.67.222.222");
        EXPECT_TRUE(shows(svg, "208.67.222.222"));

        // DNSCrypt on, the proxy installed, no Passlock: stored without a question, the resolvers shown.
        ASSERT_TRUE(UIAutomation::flipSwitch(*dnscryptSwitch));
        EXPECT_TRUE(UIApplication::sharedApplication().visibleAlerts().empty());
        EXPECT_EQ(preference("DNSCrypt"), "YES");
        EXPECT_EQ(preference("PrimaryDNS"), "208.67.222.222");
        EXPECT_EQ(preference("SelectedConnectivity"), "Wifi");
        expectSaveAnnounced(3);
        EXPECT_TRUE(dnscryptSwitch->isOn());
        ASSERT_EQ(describe(*screen->subviews().back()), "resolver area");
        EXPECT_EQ(child(*screen, "DNS settings area"), nullptr);
        UITableView* picker = tableIn(*screen->subviews().back());
        EXPECT_EQ(picker->indexPathForSelectedRow(), std::nullopt) << "no resolver is stored and none is called opendns";
        svg = host.renderScreen();
        EXPECT_TRUE(shows(svg, "DNSCrypt Server :"));
        EXPECT_FALSE(shows(svg, "DNS Settings :"));
        EXPECT_FALSE(shows(svg, "208.67.222.222")) << "the DNS settings area is still drawn";
        EXPECT_EQ(occurrences(svg, "<g class=\"switch on\">"), 1u);
        EXPECT_TRUE(shows(svg, "Adguard DNS Family Protection 1"));

        // A resolver picked from the rows in sight; the daemon's answer rebuilds the list from the file.
        const NSIndexPath third = NSIndexPath::indexPathForRow(2, 0);
        ASSERT_EQ(picker->cellForRowAtIndexPath(third)->textLabel()->text(), "Adguard DNS 1");
        ASSERT_LE(picker->rectForRowAtIndexPath(third).origin.y + UITableView::rowHeight,
                  picker->contentOffset().y + picker->frame().size.height) << "the row is out of sight";
        ASSERT_TRUE(UIAutomation::tapRow(*picker, third));
        EXPECT_EQ(preference("DNSCryptServer"), "adguard-dns-ns1");
        EXPECT_EQ(preference("DNSCrypt"), "YES");
        expectSaveAnnounced(4);
        EXPECT_EQ(textOfGroup(host.renderScreen(), "row selected"), "Adguard DNS 1");
        notify_post(DNSChanged);
        ASSERT_TRUE(runLoopUntil([&] { return picker->contentOffset().y > 0; })) << "the list was not rebuilt";
        EXPECT_EQ(picker->indexPathForSelectedRow(), third);
        EXPECT_EQ(textOfGroup(host.renderScreen(), "row selected"), "Adguard DNS 1");

        // Turning the device changes nothing stored, and the screen still shows every choice.
        std::string stored = device.readFile(preferencesPath).value_or("");
        host.rotateTo(3);
        if (!phone) {
            EXPECT_EQ(selector->frame().size.width, 635) << "the tablet did not lay out for landscape";
        }
        host.rotateTo(1);
        if (!phone) {
            EXPECT_EQ(selector->frame().size.width, 405) << "the tablet did not lay out for portrait";
        }
        EXPECT_EQ(device.readFile(preferencesPath).value_or(""), stored);
        EXPECT_EQ(selector->selectedSegmentIndex(), 2);
        EXPECT_TRUE(dnscryptSwitch->isOn());
        EXPECT_EQ(picker->indexPathForSelectedRow(), third);
        svg = host.renderScreen();
        EXPECT_EQ(textOfGroup(svg, "segment selected"), "Wifi");
        EXPECT_EQ(textOfGroup(svg, "row selected"), "Adguard DNS 1");
        EXPECT_EQ(occurrences(svg, "<g class=\"switch on\">"), 1u);
        EXPECT_EQ(preferencesChangedPosts, 4) << "a rotation saved";

        // The picture on file is the picture of the screen, the same each time.
        std::string file = device.root() + "/screen.svg";
        ASSERT_TRUE(host.writeScreenToFile(file));
        EXPECT_EQ(machineFile(file), svg);
        EXPECT_EQ(host.renderScreen(), svg);

        CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), &observer);
    }
}

} // namespace
