#include "PaneFixture.h"

#include "UIAutomation.h"
#include "UIResponder.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"

namespace {

using namespace PaneNames;

using SettingsChangeTest = PaneTest;

const std::vector<std::string> justSaved { PreferencesChanged };
const std::vector<std::string> passcodeAsked { ShowPasslockView };
const std::vector<std::string> nothing {};

TEST_F(SettingsChangeTest, WithoutAPasscodeAPickedConnectivityIsSavedAtOnce)
{
    writePreferences({ { "SelectedConnectivity", "None" }, { "RequestedConnectivity", "" }, { "Domain", "example.org" } });
    openPane();

    struct Step {
        long segment;
        const char* title;
    };
    for (const Step& step : { Step { 1, "3G" }, Step { 2, "Wifi" }, Step { 3, "Both" }, Step { 0, "None" } }) {
        SCOPED_TRACE(step.title);
        ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), step.segment));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), justSaved);
        expectConnectivitySaved(step.title);
        EXPECT_EQ(preference("Domain"), "example.org");
        EXPECT_EQ(preference("PrimaryDNS"), "") << "a save stores even empty fields";
    }
}

TEST_F(SettingsChangeTest, PickingTheStoredConnectivityWritesAndPostsNothing)
{
    {
        SCOPED_TRACE("stored meanwhile by another process");
        writePreferences({ { "SelectedConnectivity", "Wifi" } });
        openPane();
        writePreferences({ { "SelectedConnectivity", "Both" } });
        auto stored = preferencesFileState();

        ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 3));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), nothing);
        EXPECT_EQ(preferencesFileState(), stored);
        closePane();
    }
    {
        SCOPED_TRACE("back to the stored one while the passcode is asked for");
        writePreferences({ { "SelectedConnectivity", "Wifi" }, { "Passlock", "1234" } });
        openPane();
        ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 1));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), passcodeAsked);
        auto waiting = preferencesFileState();

        ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 2));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), nothing);
        EXPECT_EQ(preferencesFileState(), waiting);
    }
}

TEST_F(SettingsChangeTest, AStoredConnectivityThatIsNoSegmentTitleShowsNone)
{
    openPane();
    struct Case {
        std::optional<std::string> stored;
        long shown;
    };
    for (const Case& test : { Case { std::nullopt, 0 }, Case { "", 0 }, Case { "wifi", 0 }, Case { "Everything", 0 },
                              Case { "Both ", 0 }, Case { "3G", 1 }, Case { "Wifi", 2 }, Case { "Both", 3 }, Case { "None", 0 } }) {
        SCOPED_TRACE(test.stored.value_or("(absent)"));
        writePreferences({ { "SelectedConnectivity", "Both" } });
        post(DNSChanged);
        ASSERT_TRUE(settle());
        ASSERT_EQ(connectivitySelector().selectedSegmentIndex(), 3);

        PropertyListDictionary stored;
        if (test.stored)
            stored["SelectedConnectivity"] = *test.stored;
        writePreferences(stored);
        post(DNSChanged);
        ASSERT_TRUE(settle());
        EXPECT_EQ(connectivitySelector().selectedSegmentIndex(), test.shown);
    }
    EXPECT_EQ(takePosts(), nothing);
}

TEST_F(SettingsChangeTest, ReturnInADNSFieldSavesTheThreeFieldsAsTyped)
{
    struct Case {
        const char* domain;
        const char* primary;
        const char* secondary;
        size_t returnIn;
    };
    const Case cases[] = {
        { "example.org", "10.0.0.53", "10.0.1.53", 0 },
        { "  spaced.example  ", "not an address", "", 1 },
        { "", "", "", 2 },
        { "ütf-8.例え", "999.1.2.3", "1.2.3.4 ", 2 },
    };
    writePreferences({ { "SelectedConnectivity", "3G" }, { "Domain", "stored.example" }, { "PrimaryDNS", "192.0.2.1" },
                       { "SecondaryDNS", "192.0.2.2" } });
    openPane();
    for (const Case& test : cases) {
        SCOPED_TRACE(test.domain);
        const char* const typed[] = { test.domain, test.primary, test.secondary };
        // The field edited last is the one the return key ends.
        for (size_t field = 0; field < 3; ++field) {
            size_t next = (test.returnIn + 1 + field) % 3;
            ASSERT_TRUE(UIAutomation::typeText(dnsField(next), typed[next]));
        }
        ASSERT_TRUE(dnsField(test.returnIn).isFirstResponder());
        ASSERT_TRUE(UIAutomation::pressReturn(dnsField(test.returnIn)));
        EXPECT_EQ(UIResponder::firstResponder(), nullptr) << "the field gives up the keyboard";

        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), justSaved);
        EXPECT_EQ(preference("Domain"), test.domain);
        EXPECT_EQ(preference("PrimaryDNS"), test.primary);
        EXPECT_EQ(preference("SecondaryDNS"), test.secondary);
        expectConnectivitySaved("3G");
    }
}

TEST_F(SettingsChangeTest, DNSChangedPutsEveryControlBackToWhatIsStored)
{
    writePreferences({ { "SelectedConnectivity", "3G" }, { "Domain", "stored.example" } });
    openPane();
    ASSERT_TRUE(UIAutomation::typeText(dnsField(0), "typed, never saved"));

    writePreferences({ { "SelectedConnectivity", "Both" }, { "Passlock", "1234" }, { "DNSCrypt", "YES" } });
    post(DNSChanged);
    ASSERT_TRUE(settle());
    EXPECT_EQ(connectivitySelector().selectedSegmentIndex(), 3);
    EXPECT_TRUE(passlockSwitch().isOn());
    EXPECT_TRUE(dnscryptSwitch().isOn());
    EXPECT_NE(resolverPicker(), nullptr);
    EXPECT_TRUE(dnsFields().empty());

    writePreferences({ { "SelectedConnectivity", "Wifi" }, { "Domain", "other.example" }, { "PrimaryDNS", "192.0.2.1" },
                       { "Passlock", "" }, { "DNSCrypt", "" } });
    post(DNSChanged);
    ASSERT_TRUE(settle());
    EXPECT_EQ(connectivitySelector().selectedSegmentIndex(), 2);
    EXPECT_FALSE(passlockSwitch().isOn());
    EXPECT_FALSE(dnscryptSwitch().isOn());
    EXPECT_EQ(resolverPicker(), nullptr);
    EXPECT_EQ(dnsField(0).text(), "other.example");
    EXPECT_EQ(dnsField(1).text(), "192.0.2.1");
    EXPECT_EQ(dnsField(2).text(), "");

    EXPECT_EQ(takePosts(), nothing);
    EXPECT_EQ(preference("SBSelectedConnectivity"), std::nullopt) << "showing is not saving";
}

TEST_F(SettingsChangeTest, WithAPasscodeAPickedConnectivityWaitsForTheRightPasscode)
{
    writePreferences({ { "SelectedConnectivity", "None" }, { "RequestedConnectivity", "" }, { "Passlock", "1234" } });
    openPane();

    ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 2));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), passcodeAsked);
    EXPECT_EQ(preference("RequestedConnectivity"), "Wifi");
    EXPECT_EQ(preference("SelectedConnectivity"), "None");
    auto waiting = preferencesFileState();

    for (int wrong = 0; wrong < 2; ++wrong) {
        post(PasslockNOK);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), passcodeAsked) << "a wrong passcode asks again";
        EXPECT_EQ(preferencesFileState(), waiting);
    }

    post(PasslockOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    expectConnectivitySaved("Wifi");
}

TEST_F(SettingsChangeTest, WithAPasscodeReturnInADNSFieldWaitsForTheRightPasscode)
{
    writePreferences({ { "SelectedConnectivity", "Both" }, { "Domain", "stored.example" }, { "Passlock", "1234" } });
    openPane();
    auto stored = preferencesFileState();

    ASSERT_TRUE(UIAutomation::typeText(dnsField(0), "typed.example"));
    ASSERT_TRUE(UIAutomation::typeText(dnsField(2), "192.0.2.2"));
    ASSERT_TRUE(UIAutomation::pressReturn(dnsField(2)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), passcodeAsked);
    EXPECT_EQ(preferencesFileState(), stored);

    post(PasslockNOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), passcodeAsked);
    EXPECT_EQ(preferencesFileState(), stored);

    post(PasslockOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("Domain"), "typed.example");
    EXPECT_EQ(preference("PrimaryDNS"), "");
    EXPECT_EQ(preference("SecondaryDNS"), "192.0.2.2");
    expectConnectivitySaved("Both");
}

TEST_F(SettingsChangeTest, ACancelledPasscodeDropsTheWaitingChangeForGood)
{
    writePreferences({ { "SelectedConnectivity", "3G" }, { "RequestedConnectivity", "" }, { "Domain", "stored.example" },
                       { "Passlock", "1234" } });
    openPane();

    ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 3));
    ASSERT_TRUE(UIAutomation::typeText(dnsField(0), "typed.example"));
    ASSERT_TRUE(UIAutomation::pressReturn(dnsField(0)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, ShowPasslockView }));

    post(PasslockCancel);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), nothing);
    EXPECT_EQ(connectivitySelector().selectedSegmentIndex(), 1);
    EXPECT_EQ(dnsField(0).text(), "stored.example");
    EXPECT_EQ(preference("RequestedConnectivity"), "");
    EXPECT_EQ(preference("SelectedConnectivity"), "3G");

    // A later request, answered with the right passcode, saves what shows and nothing that was cancelled.
    ASSERT_TRUE(pressReturnIn(1));
    post(PasslockOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, PreferencesChanged }));
    expectConnectivitySaved("3G");
    EXPECT_EQ(preference("Domain"), "stored.example");
}

TEST_F(SettingsChangeTest, ThePasslockSwitchAsksSpringBoardAndWritesNothing)
{
    openPane();
    auto stored = preferencesFileState();

    ASSERT_TRUE(UIAutomation::flipSwitch(passlockSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { ShowPasslockCreateView });
    EXPECT_EQ(preferencesFileState(), stored);

    post(PasslockCancel);
    ASSERT_TRUE(settle());
    EXPECT_FALSE(passlockSwitch().isOn()) << "no passcode was stored";

    // SpringBoard stored a passcode and the daemon announced a change.
    writePreferences({ { "Passlock", "1234" } });
    post(DNSChanged);
    ASSERT_TRUE(settle());
    ASSERT_TRUE(passlockSwitch().isOn());
    stored = preferencesFileState();

    ASSERT_TRUE(UIAutomation::flipSwitch(passlockSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), std::vector<std::string> { ShowPasslockRemoveView });
    for (int wrong = 0; wrong < 2; ++wrong) {
        post(PasslockRemoveNOK);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), std::vector<std::string> { ShowPasslockRemoveView });
    }
    post(PasslockCancel);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(passlockSwitch().isOn());
    EXPECT_EQ(takePosts(), nothing);
    EXPECT_EQ(preferencesFileState(), stored);
}

// The tablet screen places the same controls elsewhere; they act alike, turned or not.
TEST_F(SettingsChangeTest, TheTabletScreenActsAlike)
{
    installProxyPackage();
    installResolverList("Name,Full name\nquad9,Quad9\nopendns,OpenDNS\n");
    writePreferences({ { "SelectedConnectivity", "None" } });
    openPane("iPad", "6.1");

    ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 1));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    expectConnectivitySaved("3G");

    host->rotateTo(3);
    ASSERT_TRUE(UIAutomation::typeText(dnsField(1), "192.0.2.53"));
    ASSERT_TRUE(UIAutomation::pressReturn(dnsField(1)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("PrimaryDNS"), "192.0.2.53");

    ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("DNSCrypt"), "YES");
    host->rotateTo(1);
    UITableView* picker = resolverPicker();
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(rowTitles(*picker), (std::vector<std::string> { "Quad9", "OpenDNS" }));
    EXPECT_EQ(selectedRow(*picker), 1);
    ASSERT_TRUE(UIAutomation::tapRow(*picker, NSIndexPath::indexPathForRow(0, 0)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("DNSCryptServer"), "quad9");

    ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("DNSCrypt"), "");
    EXPECT_EQ(resolverPicker(), nullptr);
    EXPECT_EQ(dnsField(1).text(), "192.0.2.53");
    expectConnectivitySaved("3G");
}

} // namespace
