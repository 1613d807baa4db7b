#pragma once

#include "CFNotificationCenter.h"
#include "NSLog.h"
#include "ObjCRuntime.h"
#include "PropertyList.h"
#include "TemporaryDevice.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

class UIAlertView;
class UITextField;

// The built TarvikDNS.dylib, loaded once into the test process after the class "SpringBoard" and the
// application exist, as the SpringBoard host does; a library loaded again would not set up again.
void* extensionLibrary();
// The library's exported `textfieldPasslock`.
UITextField* exportedTextfieldPasslock();

// A fresh device with the library in the process, not yet launched: each test decides when the
// application finishes launching. Records the answers the library posts, in the order delivered.
class ExtensionTest : public testing::Test {
protected:
    ExtensionTest();
    ~ExtensionTest() override;

    void launch();

    void writePreferences(const PropertyListDictionary& preferences);
    std::optional<PropertyListDictionary> preferences() const;
    std::optional<std::string> preference(const std::string& key) const;

    void post(const std::string& name);
    // Runs the run loop until the name has been delivered to this process (count times in all).
    bool waitFor(const std::string& name, int count = 1);
    // Everything this process posted before now has been delivered once this returns: a post of a
    // marker of our own, in order behind them.
    [[nodiscard]] bool settle();
    int count(const std::string& name) const;

    // The answers delivered since the last call, in order; PreferencesChanged included.
    std::vector<std::string> takePosts();

    // The only alert shown (fails the test otherwise).
    UIAlertView* shownAlert();
    std::size_t alertCount() const;
    // Types into the alert's text field, then taps the button with the title.
    void answer(UIAlertView* alert, const std::string& text, const std::string& buttonTitle);

    TemporaryDevice device;
    NSLogCapture log;
    std::vector<std::string> delivered;
    std::size_t taken { 0 };
    int markers { 0 };

private:
    static void record(CFNotificationCenterRef center, void* observer, const std::string& name, const void* object,
                       const PropertyListDictionary* userInfo);
};

// The same, with SpringBoard launched.
class LaunchedExtensionTest : public ExtensionTest {
protected:
    LaunchedExtensionTest() { launch(); }
};
