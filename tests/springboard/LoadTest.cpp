// The library's set-up as SpringBoard loads it, the launch it hooks, what it observes and when, and
// what it shows of itself to the process.
#include "ExtensionTest.h"

#include "ChildProcess.h"
#include "SpringBoard.h"
#include "TarvikDNSShared.h"

#include <dlfcn.h>

namespace {

using Posts = std::vector<std::string>;

using LoadTest = ExtensionTest;

TEST_F(LoadTest, TheSetUpAddsFiveMethodsToSpringBoardWithTheirTypeStrings)
{
    Class springBoard = objc_getClass("SpringBoard");
    ASSERT_NE(springBoard, nullptr);
    for (const auto& [selector, types] : { std::pair { "TDNS_HandleNotification:", "v@:@" },
                                           std::pair { "TDNS_RegisterNotification:", "v@:@" },
                                           std::pair { "TDNS_ShowPasslockView:", "v@:d" },
                                           std::pair { "TDNS_ShowPasslockCreateView", "v@:" },
                                           std::pair { "TDNS_ShowPasslockRemoveView", "v@:" } }) {
        SCOPED_TRACE(selector);
        Method method = class_getInstanceMethod(springBoard, sel_registerName(selector));
        ASSERT_NE(method, nullptr);
        EXPECT_STREQ(method_getTypeEncoding(method), types);
    }
}

TEST_F(LoadTest, TheLaunchRunsSpringBoardsOwnFirstAndOnlyThenAreTheNamesObserved)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" } });
    const auto before = device.readFile(kPreferencesPath);

    post(kNotificationSBStop);
    post(kNotificationShowPasslockView);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationSBStop }));

    log.clear();
    launch();
    EXPECT_EQ(log.messages(), (std::vector<std::string> { "SpringBoard: applicationDidFinishLaunching:" }));
    // What was posted before the launch is not seen afterwards either.
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), Posts {});
    EXPECT_EQ(alertCount(), 0u);
    EXPECT_EQ(device.readFile(kPreferencesPath), before);

    post(kNotificationSBStop);
    ASSERT_TRUE(waitFor(kNotificationPreferencesChanged));
    EXPECT_EQ(preference(kPrefSelectedConnectivity), "None");
}

TEST_F(LoadTest, TheHandlerIgnoresEveryOtherNameAndOtherLetterCase)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" } });
    const auto before = device.readFile(kPreferencesPath);
    launch();

    for (const char* name : { "com.tarvik.dns/sbstop", "com.tarvik.dns/SBStop ", "SBStop", kNotificationPreferencesChanged,
                              kNotificationPasslockOK, "" })
        objc_msgSend<void, const std::string&>(SpringBoard::application(), sel_registerName("TDNS_HandleNotification:"), name);

    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), Posts {});
    EXPECT_EQ(alertCount(), 0u);
    EXPECT_EQ(device.readFile(kPreferencesPath), before);
}

TEST_F(LoadTest, TheCallbackHandsTheNameToItsObserversHandler)
{
    writePreferences({ { kPrefSelectedConnectivity, "Wifi" } });
    auto callback = reinterpret_cast<CFNotificationCallback>(dlsym(extensionLibrary(), "TDNS_NotificationCallback"));
    ASSERT_NE(callback, nullptr);

    callback(CFNotificationCenterGetDarwinNotifyCenter(), SpringBoard::application(), kNotificationSBStopOK, nullptr, nullptr);

    EXPECT_EQ(preference(kPrefSelectedConnectivity), "None");
    EXPECT_EQ(preference(kPrefSBSelectedConnectivity), "Wifi");
}

TEST_F(LoadTest, TheLibraryExportsItsEntryPointsAlone)
{
    void* library = extensionLibrary();
    EXPECT_NE(dlsym(library, "TDNS_NotificationCallback"), nullptr);
    EXPECT_NE(dlsym(library, "textfieldPasslock"), nullptr);
    // Its own classes and functions, as the compiler names them.
    for (const char* hidden : { "TDNS_Load", "_ZN10TDNS_Tools9ReadPrefsERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
                                "_ZN22TDNS_PasslockAlertView6createERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_P19UIAlertViewDelegateS7_RKSt6vectorIS5_SaIS5_EE",
                                "_Z23TDNS_HandleNotificationP11objc_objectPK13objc_selectorRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE" })
        EXPECT_EQ(dlsym(library, hidden), nullptr) << hidden;
}

TEST_F(LoadTest, WithoutASpringBoardClassTheSetUpHooksAndAddsNothingAndSaysSoOnce)
{
    auto probe = runProgram(TARVIKDNS_LOAD_PROBE_PATH, { TARVIKDNS_DYLIB_PATH });

    ASSERT_EQ(probe.status, 0) << probe.error;
    EXPECT_EQ(probe.output, "SpringBoard after loading: absent\n"
                            "TDNS_ methods: none\n"
                            "observing after launch: no\n");
    auto logged = device.readFile("/var/log/system.log").value_or("");
    std::size_t lines = 0;
    for (std::size_t at = logged.find("TarvikDNS"); at != std::string::npos; at = logged.find("TarvikDNS", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << logged;
    EXPECT_NE(logged.find("no SpringBoard class"), std::string::npos) << logged;
}

} // namespace
