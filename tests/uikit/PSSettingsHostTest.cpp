#include "UIKitTestFixture.h"

#include "NSLog.h"
#include "PSListController.h"
#include "PSSettingsHost.h"
#include "UITextField.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class PSSettingsHostTest : public UIKitTest {
protected:
    // The lines the test bundle's controller logged, without its name.
    std::vector<std::string> paneEvents() const
    {
        const std::string prefix = "TestListController ";
        std::vector<std::string> events;
        for (const auto& message : log.messages()) {
            if (message.starts_with(prefix))
                events.push_back(message.substr(prefix.size()));
        }
        return events;
    }

    // A bundle folder under the device root with the given information list; its executable, when
    // named, is the test bundle's own.
    std::string bundleWithInfo(const std::string& name, const std::string& infoPlist, bool linkExecutable) const
    {
        fs::path folder = fs::path(device.root()) / "bundles" / name;
        fs::create_directories(folder);
        std::ofstream(folder / "Info.plist") << infoPlist;
        if (linkExecutable)
            fs::create_symlink(fs::path(TEST_PANE_BUNDLE) / TEST_PANE_EXECUTABLE, folder / TEST_PANE_EXECUTABLE);
        return folder.string();
    }

    static std::string info(const std::string& executable, const std::string& principalClass)
    {
        PropertyListDictionary dictionary { { "CFBundleExecutable", executable }, { "NSPrincipalClass", principalClass } };
        return PropertyList(dictionary).xml();
    }

    NSLogCapture log;
};

TEST_F(PSSettingsHostTest, OpeningABundleCreatesItsPrincipalClassAndPutsItsViewOnTheScreen)
{
    PSSettingsHost host;
    ASSERT_TRUE(host.openPane(TEST_PANE_BUNDLE));
    PSListController* pane = host.pane();
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->bundlePath(), TEST_PANE_BUNDLE);

    EXPECT_EQ(paneEvents(), (std::vector<std::string> { "init", "viewDidLoad on iPhone with 2 specifiers",
                                                          "viewWillBecomeVisible with a view of 320 by 480, editing: yes" }));
    EXPECT_EQ(host.screen()->frame(), CGRectMake(0, 0, 320, 480));
    ASSERT_EQ(host.screen()->subviews().size(), 1u);
    EXPECT_EQ(host.screen()->subviews().front(), pane->view());

    // The bundle's field is the one first responder of the process, seen alike from the bundle (built with
    // hidden visibility) and from the host.
    auto fields = host.screen()->descendantsOfType<UITextField>();
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(UIResponder::firstResponder(), fields.front());
}

TEST_F(PSSettingsHostTest, ATabletGetsATabletScreen)
{
    UIDevice::currentDevice().setModel("iPad");
    PSSettingsHost host;
    ASSERT_TRUE(host.openPane(TEST_PANE_BUNDLE));
    EXPECT_EQ(host.screen()->frame(), CGRectMake(0, 0, 768, 1024));
    EXPECT_EQ(host.pane()->view()->frame(), CGRectMake(0, 0, 768, 1024));
    EXPECT_EQ(paneEvents().at(1), "viewDidLoad on iPad with 2 specifiers");
}

TEST_F(PSSettingsHostTest, RotatingTellsThePaneTheOrientationItLeft)
{
    PSSettingsHost host;
    ASSERT_TRUE(host.openPane(TEST_PANE_BUNDLE));
    log.clear();

    host.rotateTo(3);
    EXPECT_EQ(host.pane()->interfaceOrientation(), 3);
    EXPECT_EQ(host.screen()->frame(), CGRectMake(0, 0, 480, 320));
    host.rotateTo(1);
    EXPECT_EQ(paneEvents(), (std::vector<std::string> { "didRotateFromInterfaceOrientation 1 to 3 with a view 480 wide",
                                                          "didRotateFromInterfaceOrientation 3 to 1 with a view 320 wide" }));
}

TEST_F(PSSettingsHostTest, ClosingThePaneDestroysItsControllerAndItsViews)
{
    PSSettingsHost host;
    ASSERT_TRUE(host.openPane(TEST_PANE_BUNDLE));
    std::weak_ptr<UIView> paneView = host.pane()->view();
    log.clear();

    host.closePane();
    EXPECT_EQ(host.pane(), nullptr);
    EXPECT_TRUE(host.screen()->subviews().empty());
    EXPECT_TRUE(paneView.expired());
    EXPECT_EQ(UIResponder::firstResponder(), nullptr);
    EXPECT_EQ(paneEvents(), std::vector<std::string> { "dealloc" });

    // The bundle stays loaded: its class can be made again.
    EXPECT_NE(PSListControllerClass::createInstance("TestListController"), nullptr);
    ASSERT_TRUE(host.openPane(TEST_PANE_BUNDLE));
    EXPECT_EQ(host.screen()->subviews().size(), 1u);
}

TEST_F(PSSettingsHostTest, ABundleThatCannotBeOpenedFailsWithALogLine)
{
    struct Case {
        const char* name;
        std::string folder;
        const char* logged;
    };
    const Case cases[] = {
        { "a missing folder", device.root() + "/bundles/Missing.bundle", "cannot read" },
        { "an information list that is no property list", bundleWithInfo("Garbage.bundle", "not a plist", false),
          "is not a property-list dictionary" },
        { "no principal class", bundleWithInfo("NoClass.bundle", info(TEST_PANE_EXECUTABLE, ""), true),
          "names no executable or no principal class" },
        { "a missing executable", bundleWithInfo("NoExecutable.bundle", info("Missing.so", "TestListController"), false),
          "cannot load" },
        { "an unknown class", bundleWithInfo("Unknown.bundle", info(TEST_PANE_EXECUTABLE, "NoSuchController"), true),
          "has no class named NoSuchController" },
    };
    for (const auto& [name, folder, logged] : cases) {
        log.clear();
        PSSettingsHost host;
        EXPECT_FALSE(host.openPane(folder)) << name;
        EXPECT_EQ(host.pane(), nullptr) << name;
        EXPECT_TRUE(host.screen()->subviews().empty()) << name;
        auto messages = log.messages();
        ASSERT_EQ(messages.size(), 1u) << name;
        EXPECT_NE(messages.front().find(logged), std::string::npos) << name << ": " << messages.front();
    }
}

TEST_F(PSSettingsHostTest, SpecifiersComeFromTheItemsOfTheBundlesSpecifierFile)
{
    fs::path folder = fs::path(device.root()) / "Specifiers.bundle";
    fs::create_directories(folder);
    PropertyListArray items { PropertyListDictionary { { "cell", "PSGroupCell" } }, "not a dictionary",
                              PropertyListDictionary { { "cell", "PSSwitchCell" }, { "default", true } } };
    std::ofstream(folder / "Root.plist") << PropertyList(PropertyListDictionary { { "items", items } }).xml();
    std::ofstream(folder / "NoItems.plist") << PropertyList(PropertyListDictionary { { "title", "Root" } }).xml();

    PSListController controller;
    EXPECT_TRUE(controller.specifiers().empty());
    controller.setBundlePath(folder.string());

    auto specifiers = controller.loadSpecifiersFromPlistName("Root", &controller);
    ASSERT_EQ(specifiers.size(), 2u);
    EXPECT_EQ(specifiers[0].at("cell"), PropertyList("PSGroupCell"));
    EXPECT_EQ(specifiers[1].at("default"), PropertyList(true));
    EXPECT_TRUE(controller.loadSpecifiersFromPlistName("NoItems", &controller).empty());
    EXPECT_TRUE(controller.loadSpecifiersFromPlistName("Missing", &controller).empty());
    EXPECT_TRUE(controller.specifiers().empty()) << "loading is not caching";
}

TEST_F(PSSettingsHostTest, ClassesAreMadeByTheNameTheyRegistered)
{
    int made = 0;
    PSListControllerClass::registerClass("CountingController", [&made] {
        ++made;
        return std::make_unique<PSListController>();
    });
    EXPECT_NE(PSListControllerClass::createInstance("CountingController"), nullptr);
    EXPECT_EQ(PSListControllerClass::createInstance("countingcontroller"), nullptr);
    PSListControllerClass::unregisterClass("CountingController");
    EXPECT_EQ(PSListControllerClass::createInstance("CountingController"), nullptr);
    EXPECT_EQ(made, 1);
}

} // namespace
