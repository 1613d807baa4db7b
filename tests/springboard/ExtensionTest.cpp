#include "ExtensionTest.h"

#include "DeviceSeed.h"
#include "NSDictionary.h"
#include "SpringBoard.h"
#include "TarvikDNSShared.h"
#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"

#include <algorithm>
#include <dlfcn.h>

namespace {

constexpr const char* markerName = "test.springboard/Marker";

void* loadExtension()
{
    SpringBoard::application();
    void* handle = dlopen(TARVIKDNS_DYLIB_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        ADD_FAILURE() << "cannot load " << TARVIKDNS_DYLIB_PATH << ": " << dlerror();
    return handle;
}

} // namespace

void* extensionLibrary()
{
    static void* const handle = loadExtension();
    return handle;
}

UITextField* exportedTextfieldPasslock()
{
    void* symbol = dlsym(extensionLibrary(), "textfieldPasslock");
    return symbol ? *static_cast<UITextField**>(symbol) : nullptr;
}

void ExtensionTest::record(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                           const PropertyListDictionary*)
{
    static_cast<ExtensionTest*>(observer)->delivered.push_back(name);
}

ExtensionTest::ExtensionTest()
{
    extensionLibrary();
    UIApplication::sharedApplication().reset();
    for (const char* name : { kNotificationPasslockOK, kNotificationPasslockNOK, kNotificationPasslockCancel,
                              kNotificationPasslockRemoveNOK, kNotificationSBStart, kNotificationSBStop,
                              kNotificationSBStartOK, kNotificationSBStopOK, kNotificationPreferencesChanged, markerName })
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, record, name, nullptr,
                                        CFNotificationSuspensionBehaviorHold);
}

ExtensionTest::~ExtensionTest()
{
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), this);
    UIApplication::sharedApplication().reset();
}

void ExtensionTest::launch()
{
    SpringBoard::finishLaunching();
}

void ExtensionTest::writePreferences(const PropertyListDictionary& preferences)
{
    ASSERT_TRUE(writeDictionaryToFile(preferences, kPreferencesPath, true));
}

std::optional<PropertyListDictionary> ExtensionTest::preferences() const
{
    return dictionaryWithContentsOfFile(kPreferencesPath);
}

std::optional<std::string> ExtensionTest::preference(const std::string& key) const
{
    return storedPreference(key);
}

void ExtensionTest::post(const std::string& name)
{
    notify_post(name.c_str());
}

bool ExtensionTest::waitFor(const std::string& name, int times)
{
    return runLoopUntil([&] { return count(name) >= times; });
}

bool ExtensionTest::settle()
{
    post(markerName);
    return waitFor(markerName, ++markers);
}

int ExtensionTest::count(const std::string& name) const
{
    return static_cast<int>(std::count(delivered.begin(), delivered.end(), name));
}

std::vector<std::string> ExtensionTest::takePosts()
{
    std::vector<std::string> posts;
    for (; taken < delivered.size(); ++taken) {
        if (delivered[taken] != markerName)
            posts.push_back(delivered[taken]);
    }
    return posts;
}

UIAlertView* ExtensionTest::shownAlert()
{
    const auto& alerts = UIApplication::sharedApplication().visibleAlerts();
    EXPECT_EQ(alerts.size(), 1u);
    return alerts.empty() ? nullptr : alerts.back().get();
}

std::size_t ExtensionTest::alertCount() const
{
    return UIApplication::sharedApplication().visibleAlerts().size();
}

void ExtensionTest::answer(UIAlertView* alert, const std::string& text, const std::string& buttonTitle)
{
    ASSERT_NE(alert, nullptr);
    UITextField* field = alert->textFieldAtIndex(0);
    ASSERT_NE(field, nullptr);
    ASSERT_TRUE(UIAutomation::typeText(*field, text));
    ASSERT_TRUE(UIAutomation::tapAlertButton(*alert, buttonTitle));
}
