#include "PaneFixture.h"

#include "DeviceSeed.h"

#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"

namespace {

using namespace PaneNames;

const std::vector<std::string> nothing {};
const std::vector<std::string> justSaved { PreferencesChanged };
const std::vector<std::string> passcodeAsked { ShowPasslockView };

const char* const warningMessage = "This is only available on OpenDNS.\nEnabling it will use their servers.\nAre you sure you want to use it ?";

class DNSCryptSwitchTest : public PaneTest {
protected:
    // A phone with the proxy package installed and the custom DNS stored.
    void openWith(PropertyListDictionary preferences)
    {
        if (!device.exists(DNSCryptProxyListPath))
            installProxyPackage();
        preferences.try_emplace("SelectedConnectivity", "Wifi");
        preferences.try_emplace("Domain", "stored.example");
        preferences.try_emplace("PrimaryDNS", "192.0.2.1");
        preferences.try_emplace("SecondaryDNS", "192.0.2.2");
        writePreferences(preferences);
        openPane();
    }

    // Flips DNSCrypt on with a passcode set and answers the passcode right: the warning is then up.
    void enableBehindThePasscode()
    {
        openWith({ { "Passlock", "1234" } });
        ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
        ASSERT_TRUE(settle());
        ASSERT_EQ(takePosts(), passcodeAsked);
        post(PasslockOK);
        ASSERT_TRUE(settle());
        ASSERT_EQ(alerts().size(), 1u);
    }

    void expectCustomDNSUntouched() const
    {
        EXPECT_EQ(preference("Domain"), "stored.example");
        EXPECT_EQ(preference("PrimaryDNS"), "192.0.2.1");
        EXPECT_EQ(preference("SecondaryDNS"), "192.0.2.2");
    }
};

TEST_F(DNSCryptSwitchTest, OnWithoutAPasscodeIsStoredAndSavedWithoutAWarning)
{
    openWith({});
    // Typed and not saved: with DNSCrypt on, the save leaves the custom DNS as stored.
    ASSERT_TRUE(UIAutomation::typeText(dnsField(0), "typed.example"));

    ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("DNSCrypt"), "YES");
    EXPECT_TRUE(alerts().empty());
    EXPECT_TRUE(dnscryptSwitch().isOn());
    EXPECT_NE(resolverPicker(), nullptr);
    EXPECT_TRUE(dnsFields().empty());
    expectCustomDNSUntouched();
    expectConnectivitySaved("Wifi");
}

TEST_F(DNSCryptSwitchTest, OffWithoutAPasscodeIsStoredAndSaved)
{
    openWith({ { "DNSCrypt", "YES" } });
    ASSERT_NE(resolverPicker(), nullptr);

    ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("DNSCrypt"), "");
    EXPECT_FALSE(dnscryptSwitch().isOn());
    EXPECT_EQ(resolverPicker(), nullptr);
    EXPECT_EQ(dnsField(0).text(), "stored.example");
    expectCustomDNSUntouched();
    expectConnectivitySaved("Wifi");
}

TEST_F(DNSCryptSwitchTest, OnWithAPasscodeWarnsOnlyAfterTheRightPasscodeAndSavesBeforeTheAnswer)
{
    openWith({ { "Passlock", "1234" } });
    auto stored = preferencesFileState();
    ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), passcodeAsked);
    EXPECT_EQ(preferencesFileState(), stored);
    EXPECT_TRUE(dnscryptSwitch().isOn()) << "the switch stays where the user put it";
    EXPECT_TRUE(alerts().empty());

    post(PasslockNOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), passcodeAsked);
    EXPECT_TRUE(alerts().empty());

    post(PasslockOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    ASSERT_EQ(alerts().size(), 1u);
    UIAlertView& warning = *alerts().front();
    EXPECT_EQ(warning.title(), "DNSCrypt");
    EXPECT_EQ(warning.message(), warningMessage);
    EXPECT_EQ(warning.cancelButtonIndex(), -1);
    ASSERT_EQ(warning.numberOfButtons(), 3);
    EXPECT_EQ(warning.buttonTitleAtIndex(0), "Yes");
    EXPECT_EQ(warning.buttonTitleAtIndex(1), "No");
    EXPECT_EQ(warning.buttonTitleAtIndex(2), "More info");
    EXPECT_EQ(preference("DNSCrypt"), std::nullopt) << "not on before the warning is answered";
    expectCustomDNSUntouched();
    expectConnectivitySaved("Wifi");
}

TEST_F(DNSCryptSwitchTest, ReturnInADNSFieldWhileTheSwitchIsOnLeavesTheCustomDNSAlone)
{
    openWith({ { "Passlock", "1234" } });
    ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
    ASSERT_TRUE(UIAutomation::typeText(dnsField(0), "typed.example"));
    ASSERT_TRUE(UIAutomation::typeText(dnsField(1), ""));
    ASSERT_TRUE(UIAutomation::pressReturn(dnsField(1)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, ShowPasslockView }));

    post(PasslockOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    expectCustomDNSUntouched();
    ASSERT_EQ(alerts().size(), 1u);
    ASSERT_TRUE(UIAutomation::tapAlertButton(*alerts().front(), "Yes"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), justSaved);
    EXPECT_EQ(preference("DNSCrypt"), "YES");
    expectCustomDNSUntouched();
    expectConnectivitySaved("Wifi");
}

TEST_F(DNSCryptSwitchTest, TheWarningsAnswers)
{
    struct Case {
        const char* button;
        std::optional<std::string> stored;
        std::vector<std::string> posted;
        bool switchOn;
        std::vector<std::string> opened;
    };
    const Case cases[] = {
        { "Yes", "YES", justSaved, true, {} },
        { "No", std::nullopt, nothing, false, {} },
        { "More info", std::nullopt, nothing, false, { "https://dnscrypt.info" } },
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.button);
        enableBehindThePasscode();
        takePosts();

        ASSERT_TRUE(UIAutomation::tapAlertButton(*alerts().front(), test.button));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), test.posted);
        EXPECT_EQ(preference("DNSCrypt"), test.stored);
        EXPECT_EQ(dnscryptSwitch().isOn(), test.switchOn);
        EXPECT_EQ(resolverPicker() != nullptr, test.switchOn);
        EXPECT_EQ(UIApplication::sharedApplication().openedURLs(), test.opened);
        EXPECT_TRUE(alerts().empty());
        expectCustomDNSUntouched();
        expectConnectivitySaved("Wifi");

        closePane();
        UIApplication::sharedApplication().reset();
    }
}

TEST_F(DNSCryptSwitchTest, OffWithAPasscodeIsStoredAfterTheRightPasscodeAndSavedTwice)
{
    openWith({ { "Passlock", "1234" }, { "DNSCrypt", "YES" } });
    auto stored = preferencesFileState();
    ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), passcodeAsked);
    EXPECT_EQ(preferencesFileState(), stored);
    EXPECT_FALSE(dnscryptSwitch().isOn());

    post(PasslockOK);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (std::vector<std::string> { PreferencesChanged, PreferencesChanged }));
    EXPECT_EQ(preference("DNSCrypt"), "");
    EXPECT_TRUE(alerts().empty());
    EXPECT_EQ(resolverPicker(), nullptr);
    expectCustomDNSUntouched();
    expectConnectivitySaved("Wifi");
}

// A switch request is carried out by the one right passcode that answers it; the next request's
// passcode does not carry it out again.
TEST_F(DNSCryptSwitchTest, AWaitingSwitchIsCarriedOutOnce)
{
    {
        SCOPED_TRACE("on");
        enableBehindThePasscode();
        ASSERT_TRUE(UIAutomation::tapAlertButton(*alerts().front(), "No"));
        takePosts();

        ASSERT_TRUE(pressReturnIn(0));
        post(PasslockOK);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, PreferencesChanged }));
        EXPECT_TRUE(alerts().empty()) << "no second warning";
        EXPECT_EQ(preference("DNSCrypt"), std::nullopt);
        closePane();
    }
    {
        SCOPED_TRACE("off");
        openWith({ { "Passlock", "1234" }, { "DNSCrypt", "YES" } });
        ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
        post(PasslockOK);
        ASSERT_TRUE(settle());
        ASSERT_EQ(preference("DNSCrypt"), "");
        // DNSCrypt goes on again elsewhere; a connectivity change behind the passcode leaves it on.
        writePreferences({ { "Passlock", "1234" }, { "DNSCrypt", "YES" }, { "SelectedConnectivity", "Wifi" } });
        post(DNSChanged);
        ASSERT_TRUE(settle());
        takePosts();

        ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 1));
        post(PasslockOK);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, PreferencesChanged }));
        EXPECT_EQ(preference("DNSCrypt"), "YES");
        EXPECT_TRUE(dnscryptSwitch().isOn());
        expectConnectivitySaved("3G");
    }
}

// Flipped on and back off before the passcode is given: the last position counts, and only it.
TEST_F(DNSCryptSwitchTest, TheLastFlipBeforeThePasscodeIsTheOneCarriedOut)
{
    struct Case {
        const char* name;
        std::optional<std::string> stored;
        size_t warnings;
        std::vector<std::string> saves;
        std::optional<std::string> storedAfter;
    };
    const Case cases[] = {
        { "on and off again", std::nullopt, 0, { PreferencesChanged, PreferencesChanged }, "" },
        { "off and on again", "YES", 1, { PreferencesChanged }, "YES" },
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        PropertyListDictionary preferences { { "Passlock", "1234" } };
        if (test.stored)
            preferences["DNSCrypt"] = *test.stored;
        openWith(preferences);

        ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
        ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, ShowPasslockView }));

        post(PasslockOK);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), test.saves);
        EXPECT_EQ(alerts().size(), test.warnings);
        EXPECT_EQ(preference("DNSCrypt"), test.storedAfter);
        closePane();
        UIApplication::sharedApplication().reset();
    }
}

TEST_F(DNSCryptSwitchTest, ACancelledPasscodeDropsTheWaitingSwitch)
{
    struct Case {
        const char* name;
        std::optional<std::string> stored;
    };
    for (const Case& test : { Case { "on", std::nullopt }, Case { "off", "YES" } }) {
        SCOPED_TRACE(test.name);
        PropertyListDictionary preferences { { "Passlock", "1234" } };
        if (test.stored)
            preferences["DNSCrypt"] = *test.stored;
        openWith(preferences);
        bool storedOn = test.stored.has_value();

        ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
        post(PasslockCancel);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), passcodeAsked);
        EXPECT_EQ(dnscryptSwitch().isOn(), storedOn) << "the switch shows what is stored again";

        // The next right passcode answers another request and switches nothing.
        ASSERT_TRUE(UIAutomation::tapSegment(connectivitySelector(), 3));
        post(PasslockOK);
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), (std::vector<std::string> { ShowPasslockView, PreferencesChanged }));
        EXPECT_TRUE(alerts().empty());
        EXPECT_EQ(preference("DNSCrypt"), test.stored);
        EXPECT_EQ(dnscryptSwitch().isOn(), storedOn);
        expectConnectivitySaved("Both");
        closePane();
    }
}

TEST_F(DNSCryptSwitchTest, WithoutTheProxyPackageTheSwitchStaysOffAndNothingIsStored)
{
    struct Case {
        const char* name;
        PropertyListDictionary stored;
    };
    const Case cases[] = {
        { "on", { { "SelectedConnectivity", "Wifi" } } },
        { "on with a passcode", { { "SelectedConnectivity", "Wifi" }, { "Passlock", "1234" } } },
        { "off", { { "SelectedConnectivity", "Wifi" }, { "DNSCrypt", "YES" } } },
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ASSERT_FALSE(device.exists("/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist"));
        writePreferences(test.stored);
        openPane();
        auto stored = preferencesFileState();

        ASSERT_TRUE(UIAutomation::flipSwitch(dnscryptSwitch()));
        EXPECT_FALSE(dnscryptSwitch().isOn());
        ASSERT_EQ(alerts().size(), 1u);
        UIAlertView& notice = *alerts().front();
        EXPECT_EQ(notice.title(), "Missing package");
        EXPECT_EQ(notice.message(), "DNSCrypt not found.\nPlease install it from Cydia.");
        ASSERT_EQ(notice.numberOfButtons(), 1);
        EXPECT_EQ(notice.cancelButtonIndex(), 0);
        EXPECT_EQ(notice.buttonTitleAtIndex(0), "OK");

        ASSERT_TRUE(UIAutomation::tapAlertButton(notice, "OK"));
        EXPECT_FALSE(dnscryptSwitch().isOn());
        EXPECT_TRUE(alerts().empty());
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), nothing);
        EXPECT_EQ(preferencesFileState(), stored);
        EXPECT_TRUE(UIApplication::sharedApplication().openedURLs().empty());

        // The next showing of the stored settings puts the switch back where the preferences have it.
        post(DNSChanged);
        ASSERT_TRUE(settle());
        EXPECT_EQ(dnscryptSwitch().isOn(), test.stored.count("DNSCrypt") == 1);
        closePane();
    }
}

TEST_F(DNSCryptSwitchTest, AWarningAnsweredAfterThePaneClosedChangesNothing)
{
    enableBehindThePasscode();
    ASSERT_TRUE(settle());
    takePosts();
    std::shared_ptr<UIAlertView> warning = UIApplication::sharedApplication().visibleAlerts().front();
    closePane();
    auto closed = preferencesFileState();

    ASSERT_TRUE(UIAutomation::tapAlertButton(*warning, "Yes"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), nothing);
    EXPECT_EQ(preferencesFileState(), closed);
}

} // namespace
