// The outside start/stop control as the library serves it: SBStart and SBStop, confirmed at once without
// a Passlock or through the start and stop dialogs with one, and the connectivity bookkeeping of the
// confirmed start (SBStartOK) and stop (SBStopOK).
#include "ExtensionTest.h"

#include "TarvikDNSShared.h"
#include "UIAlertView.h"

namespace {

using Posts = std::vector<std::string>;

using OutsideControlTest = LaunchedExtensionTest;

TEST_F(OutsideControlTest, WithoutAPasslockAStopIsConfirmedAtOnceAndAStartSelectsTheConnectivityAgain)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" }, { kPrefSBSelectedConnectivity, "Wifi" },
                       { kPrefPrimaryDNS, "9.9.9.9" } });

    post(kNotificationSBStop);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged));
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStop, kNotificationSBStopOK, kNotificationPreferencesChanged }));
    EXPECT_EQ(alertCount(), 0u);
    EXPECT_EQ(preferences(), (PropertyListDictionary { { kPrefSelectedConnectivity, "None" },
                                                       { kPrefSBSelectedConnectivity, "Wifi" },
                                                       { kPrefPrimaryDNS, "9.9.9.9" } }));

    post(kNotificationSBStart);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, 2));
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStart, kNotificationSBStartOK, kNotificationPreferencesChanged }));
    EXPECT_EQ(alertCount(), 0u);
    EXPECT_EQ(preferences(), (PropertyListDictionary { { kPrefSelectedConnectivity, "Wifi" },
                                                       { kPrefSBSelectedConnectivity, "Wifi" },
                                                       { kPrefPrimaryDNS, "9.9.9.9" } }));
}

TEST_F(OutsideControlTest, AnEmptyPasslockOrOneThatIsNoStringCountsAsNone)
{
    int stops = 0;
    for (const PropertyList& passlock : { PropertyList(""), PropertyList(1234) }) {
        SCOPED_TRACE(passlock.description());
        writePreferences({ { kPrefSelectedConnectivity, "3G" }, { kPrefPasslock, passlock } });

        post(kNotificationSBStop);
        ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, ++stops));
        EXPECT_EQ(takePosts(), (Posts { kNotificationSBStop, kNotificationSBStopOK, kNotificationPreferencesChanged }));
        EXPECT_EQ(alertCount(), 0u);
        EXPECT_EQ(preference(kPrefSelectedConnectivity), "None");
        EXPECT_EQ(preference(kPrefSBSelectedConnectivity), "3G");
    }
}

TEST_F(OutsideControlTest, TwoConfirmedStopsThenAStartSelectBoth)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" }, { kPrefSBSelectedConnectivity, "Wifi" } });

    post(kNotificationSBStop);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, 1));
    post(kNotificationSBStop);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, 2));
    // A stop while stopped keeps nothing to come back to.
    EXPECT_EQ(preference(kPrefSelectedConnectivity), "None");
    EXPECT_EQ(preference(kPrefSBSelectedConnectivity), "None");

    post(kNotificationSBStart);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, 3));
    EXPECT_EQ(preference(kPrefSelectedConnectivity), "Both");
    EXPECT_EQ(preference(kPrefSBSelectedConnectivity), "Both");
}

TEST_F(OutsideControlTest, AConfirmedStartWithNothingToComeBackToSelectsBoth)
{
    writePreferences({ { kPrefSelectedConnectivity, "None" }, { kPrefSBSelectedConnectivity, "" } });

    post(kNotificationSBStartOK);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged));

    EXPECT_EQ(preference(kPrefSelectedConnectivity), "Both");
    EXPECT_EQ(preference(kPrefSBSelectedConnectivity), "Both");
}

TEST_F(OutsideControlTest, AbsentConnectivityKeysAreLeftAloneAndTheDaemonIsToldAllTheSame)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" }, { kPrefDomain, "example.org" } });
    const auto before = device.readFile(kPreferencesPath);

    post(kNotificationSBStartOK);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged));
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStartOK, kNotificationPreferencesChanged }));
    EXPECT_EQ(device.readFile(kPreferencesPath), before);

    writePreferences({ { kPrefSBSelectedConnectivity, "3G" } });
    post(kNotificationSBStopOK);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, 2));
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStopOK, kNotificationPreferencesChanged }));
    EXPECT_EQ(preferences(), (PropertyListDictionary { { kPrefSelectedConnectivity, "None" },
                                                       { kPrefSBSelectedConnectivity, "3G" } }));
}

TEST_F(OutsideControlTest, WithoutAPreferencesFileStartAndStopAreConfirmedAndNoFileIsMade)
{
    post(kNotificationSBStop);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, 1));
    post(kNotificationSBStart);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged, 2));

    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStop, kNotificationSBStopOK, kNotificationPreferencesChanged,
                                    kNotificationSBStart, kNotificationSBStartOK, kNotificationPreferencesChanged }));
    EXPECT_FALSE(device.exists(kPreferencesPath));
    EXPECT_EQ(alertCount(), 0u);
}

TEST_F(OutsideControlTest, WithAPasslockAStopWaitsForTheRightPasswordAndAWrongOneAsksAgain)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" }, { kPrefSBSelectedConnectivity, "Wifi" },
                       { kPrefPasslock, "1234" } });
    const auto before = device.readFile(kPreferencesPath);

    post(kNotificationSBStop);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStop }));
    EXPECT_EQ(device.readFile(kPreferencesPath), before);

    UIAlertView* first = shownAlert();
    answer(first, "4321", "OK");
    ASSERT_TRUE(waitFor(kNotificationSBStop, 2));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStop }));
    EXPECT_EQ(device.readFile(kPreferencesPath), before);
    ASSERT_EQ(alertCount(), 1u);

    answer(shownAlert(), "1234", "OK");
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged));
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStopOK, kNotificationPreferencesChanged }));
    EXPECT_EQ(alertCount(), 0u);
    EXPECT_EQ(preference(kPrefSelectedConnectivity), "None");
    EXPECT_EQ(preference(kPrefSBSelectedConnectivity), "Wifi");
    EXPECT_EQ(preference(kPrefPasslock), "1234");
}

TEST_F(OutsideControlTest, WithAPasslockAStartAsksForItAndTheRightOneSelectsTheConnectivityAgain)
{
    writePreferences({ { kPrefSelectedConnectivity, "None" }, { kPrefSBSelectedConnectivity, "3G" },
                       { kPrefPasslock, "1234" } });
    const auto before = device.readFile(kPreferencesPath);

    post(kNotificationSBStart);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStart }));
    EXPECT_EQ(device.readFile(kPreferencesPath), before);

    answer(shownAlert(), "1234", "OK");
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged));
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStartOK, kNotificationPreferencesChanged }));
    EXPECT_EQ(preference(kPrefSelectedConnectivity), "3G");
    EXPECT_EQ(preference(kPrefSBSelectedConnectivity), "3G");
}

TEST_F(OutsideControlTest, CancelOnTheStartOrStopDialogEndsTheRequestWithoutAWord)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" }, { kPrefSBSelectedConnectivity, "Wifi" },
                       { kPrefPasslock, "1234" } });
    const auto before = device.readFile(kPreferencesPath);

    for (const char* request : { kNotificationSBStart, kNotificationSBStop }) {
        SCOPED_TRACE(request);
        post(request);
        ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
        // The right password typed, and Cancel tapped all the same.
        answer(shownAlert(), "1234", "Cancel");
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), (Posts { request }));
        EXPECT_EQ(alertCount(), 0u);
        EXPECT_EQ(device.readFile(kPreferencesPath), before);
    }
}

} // namespace
