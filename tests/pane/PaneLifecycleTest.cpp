#include "PaneFixture.h"

#include "UIApplication.h"
#include "UIAutomation.h"
#include "UIScrollView.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"

#include <algorithm>

namespace {

using namespace PaneNames;

using PaneLifecycleTest = PaneTest;

TEST_F(PaneLifecycleTest, WithoutAPreferencesFileTheDefaultsAreWrittenBeforeAnythingShows)
{
    ASSERT_FALSE(device.exists(PreferencesPath));
    openPane();

    EXPECT_EQ(preferences(), (PropertyListDictionary { { "RequestedConnectivity", "None" } }));
    EXPECT_EQ(connectivitySelector().selectedSegmentIndex(), 0);
    EXPECT_FALSE(passlockSwitch().isOn());
    EXPECT_FALSE(dnscryptSwitch().isOn());
    for (UITextField* field : dnsFields())
        EXPECT_EQ(field->text(), "");
    ASSERT_TRUE(settle());
    EXPECT_TRUE(takePosts().empty());
}

TEST_F(PaneLifecycleTest, OpeningShowsTheStoredSettingsWithoutWritingOrPosting)
{
    writePreferences({ { "SelectedConnectivity", "Wifi" }, { "RequestedConnectivity", "" }, { "Domain", "example.org" },
                       { "PrimaryDNS", "10.0.0.53" }, { "SecondaryDNS", "10.0.1.53" }, { "Passlock", "1234" }, { "DNSCrypt", "" } });
    auto before = preferencesFileState();

    openPane();

    EXPECT_EQ(host->pane()->title(), "TarvikDNS");
    EXPECT_EQ(connectivitySelector().selectedSegmentIndex(), 2);
    EXPECT_EQ(connectivitySelector().titleForSegmentAtIndex(2), "Wifi");
    EXPECT_EQ(dnsField(0).text(), "example.org");
    EXPECT_EQ(dnsField(1).text(), "10.0.0.53");
    EXPECT_EQ(dnsField(2).text(), "10.0.1.53");
    EXPECT_TRUE(passlockSwitch().isOn());
    EXPECT_FALSE(dnscryptSwitch().isOn());
    EXPECT_EQ(resolverPicker(), nullptr) << "the DNS fields stand where the picker would";
    ASSERT_TRUE(settle());
    EXPECT_TRUE(takePosts().empty());
    EXPECT_EQ(preferencesFileState(), before);
}

// The host sends viewDidLoad and then viewWillBecomeVisible:; the screen is built once and the settings
// controller hears each notification once.
TEST_F(PaneLifecycleTest, TheScreenIsBuiltOnceAndEachAnswerIsHeardOnce)
{
    writePreferences({ { "Passlock", "1234" } });
    openPane();

    EXPECT_EQ(host->screen()->descendantsOfType<UISegmentedControl>().size(), 1u);
    EXPECT_EQ(host->screen()->descendantsOfType<UISwitch>().size(), 2u);
    EXPECT_EQ(dnsFields().size(), 3u);
    EXPECT_NO_THROW(contactButton());

    post(PasslockNOK);
    post(PasslockRemoveNOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, ShowPasslockRemoveView }));
}

TEST_F(PaneLifecycleTest, OnlyTheModelIPadGetsTheTabletScreen)
{
    struct Case {
        const char* model;
        bool tablet;
        const char* passlockRow;
    };
    for (const Case& test : { Case { "iPad", true, "Secure modifications" }, Case { "iPad mini", false, "Passlock" },
                              Case { "iPhone", false, "Passlock" }, Case { "ipad", false, "Passlock" } }) {
        SCOPED_TRACE(test.model);
        openPane(test.model);

        // The phone screen scrolls as a whole; the tablet screen is a plain view.
        const auto& built = host->pane()->view()->subviews();
        ASSERT_EQ(built.size(), 1u);
        auto* scrolling = dynamic_cast<UIScrollView*>(built.front().get());
        EXPECT_EQ(scrolling != nullptr && dynamic_cast<UITableView*>(scrolling) == nullptr, !test.tablet);
        EXPECT_EQ(rowTitles(extraTable()), (std::vector<std::string> { test.passlockRow, "DNSCrypt" }));

        // Whatever its title, the first row drives the Passlock.
        ASSERT_TRUE(UIAutomation::flipSwitch(passlockSwitch()));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), std::vector<std::string> { ShowPasslockCreateView });
        closePane();
    }
}

TEST_F(PaneLifecycleTest, AfterThePaneClosesItsAnswersReachNobody)
{
    writePreferences({ { "SelectedConnectivity", "None" }, { "Passlock", "1234" }, { "scutil_dns", "resolver #1" } });
    openPane();
    ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 1));
    ASSERT_TRUE(settle());
    ASSERT_EQ(takePosts(), std::vector<std::string> { ShowPasslockView });
    ASSERT_EQ(preference("RequestedConnectivity"), "3G");

    log.clear();
    closePane();
    auto messages = log.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "dealloc"), messages.end());

    auto closed = preferencesFileState();
    for (const auto& name : { DNSChanged, PasslockOK, PasslockNOK, PasslockRemoveNOK, PasslockCancel, SupportEmail })
        post(name);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(takePosts().empty());
    EXPECT_EQ(preferencesFileState(), closed);
    EXPECT_TRUE(UIApplication::sharedApplication().openedURLs().empty());
    // Nor does the keyboard's coming and going reach the closed screen.
    UIAutomation::showKeyboard();
    UIAutomation::hideKeyboard();

    // Opened again, the pane hears each answer once: the closed one left nothing behind.
    openPane();
    post(PasslockNOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { ShowPasslockView });
}

TEST_F(PaneLifecycleTest, NamesOutsideItsListChangeNothing)
{
    writePreferences({ { "SelectedConnectivity", "None" }, { "Passlock", "1234" }, { "scutil_dns", "resolver #1" } });
    openPane();
    ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 3));
    ASSERT_TRUE(settle());
    ASSERT_EQ(takePosts(), std::vector<std::string> { ShowPasslockView });
    auto pending = preferencesFileState();

    for (const char* name : { "com.tarvik.dns/passlockok", "com.tarvik.dns/PASSLOCKOK", "com.tarvik.dns/PasslockOK ",
                              "PasslockOK", "com.tarvik.dns/SBStart", "com.tarvik.dns/SBStartOK",
                              "com.tarvik.dns/supportemail", "com.tarvik.dns.PasslockNOK", "com.tarvik.dns/DNSChange" })
        post(name);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(takePosts().empty());
    EXPECT_EQ(preferencesFileState(), pending);
    EXPECT_TRUE(UIApplication::sharedApplication().openedURLs().empty());
    EXPECT_EQ(connectivitySelector().selectedSegmentIndex(), 3) << "the pending choice still shows";

    // The real answer still finds the change waiting.
    post(PasslockOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { PreferencesChanged });
    EXPECT_EQ(preference("SelectedConnectivity"), "Both");
}

} // namespace
