// The phone screen as the Settings host shows it: every frame, the stacking order, the view styles, the
// swap of the two DNS areas, and the scroll view's answer to the keyboard.
#include "ScreenViews.h"

#include "CFNotificationCenter.h"
#include "DeviceSeed.h"
#include "PSSettingsHost.h"
#include "UIAutomation.h"

#include <gtest/gtest.h>

namespace {

using namespace ScreenViews;

struct PhoneCase {
    const char* systemVersion;
    UIInterfaceOrientation orientation;
    CGRect dnsContainer;
    CGRect dnsTable;
    CGRect resolverTable;
    CGRect extraContainer;
    CGRect extraTable;
    // Where the keyboard's did-show scrolls: the DNS area with 70 points below it, in a view 270 high.
    double keyboardOffset;
};

// The phone has one layout for every orientation; only the areas depend on the system version.
const PhoneCase phoneCases[] = {
    { "7.1", 1, CGRectMake(0, 65, 320, 175), CGRectMake(0, 0, 320, 175), CGRectMake(0, 35, 320, 135),
      CGRectMake(0, 230, 320, 125), CGRectMake(0, 0, 320, 125), 40 },
    { "7.1", 3, CGRectMake(0, 65, 320, 175), CGRectMake(0, 0, 320, 175), CGRectMake(0, 35, 320, 135),
      CGRectMake(0, 230, 320, 125), CGRectMake(0, 0, 320, 125), 40 },
    { "6.1", 1, CGRectMake(0, 90, 320, 150), CGRectMake(0, 0, 320, 150), CGRectMake(0, 35, 320, 110),
      CGRectMake(0, 255, 320, 100), CGRectMake(0, 0, 320, 100), 40 },
    { "6.1", 4, CGRectMake(0, 90, 320, 150), CGRectMake(0, 0, 320, 150), CGRectMake(0, 35, 320, 110),
      CGRectMake(0, 255, 320, 100), CGRectMake(0, 0, 320, 100), 40 },
};

const std::vector<std::string> standardOrder { "label \"Activate on :\"", "label \"DNS Settings :\"", "extra area",
                                               "label \"Extra :\"", "button \"Contact support\"", "selector",
                                               "DNS settings area" };

void expectSectionLabel(UIView* view, const std::string& name)
{
    auto* label = dynamic_cast<UITextView*>(view);
    ASSERT_NE(label, nullptr) << name;
    EXPECT_EQ(label->font(), UIFont::fontWithName("Helvetica", 20)) << name;
    EXPECT_EQ(label->textColor(), UIColor::colorWithRed(0.29, 0.34, 0.42, 0.7)) << name;
    EXPECT_EQ(label->backgroundColor(), UIColor::colorWithRed(1, 1, 1, 0)) << name;
    EXPECT_FALSE(label->isEditable()) << name;
    EXPECT_FALSE(label->isUserInteractionEnabled()) << name;
}

TEST(LayoutPhoneTest, FramesStackingAreaSwapAndKeyboardMatchTheLayoutOfEachSystemVersion)
{
    for (const auto& testCase : phoneCases) {
        SCOPED_TRACE(std::string("system ") + testCase.systemVersion + ", orientation " + std::to_string(testCase.orientation));
        TemporaryDevice device;
        installDNSCryptProxy(device);
        useDevice("iPhone", testCase.systemVersion);
        PSSettingsHost host;
        ASSERT_TRUE(host.openPane(TARVIKDNS_BUNDLE_DIR));
        host.rotateTo(testCase.orientation);

        auto* scrollView = dynamic_cast<UIScrollView*>(screenView(*host.pane()->view()));
        ASSERT_NE(scrollView, nullptr) << "the screen is not one scroll view in the host view";
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 480)));
        EXPECT_EQ(scrollView->contentSize(), CGSizeMake(320, 480));
        EXPECT_EQ(scrollView->indicatorStyle(), 2);

        // Stacking order, later on top; the area swap at creation put the DNS settings area on top.
        ASSERT_EQ(describeChildren(*scrollView), standardOrder);
        const CGRect standardFrames[] = { CGRectMake(10, 0, 200, 40),   CGRectMake(10, 65, 200, 40), testCase.extraContainer,
                                          CGRectMake(10, 228, 200, 40), CGRectMake(10, 365, 300, 40), CGRectMake(10, 35, 300, 35),
                                          testCase.dnsContainer };
        for (size_t index = 0; index < standardOrder.size(); ++index)
            EXPECT_EQ(frameText(scrollView->subviews()[index]->frame()), frameText(standardFrames[index])) << standardOrder[index];
        UIView* dnsSettingsArea = child(*scrollView, "DNS settings area");
        UIView* extraArea = child(*scrollView, "extra area");
        EXPECT_EQ(frameText(tableIn(*dnsSettingsArea)->frame()), frameText(testCase.dnsTable));
        EXPECT_EQ(frameText(tableIn(*extraArea)->frame()), frameText(testCase.extraTable));

        // The view styles.
        expectSectionLabel(child(*scrollView, "label \"Activate on :\""), "enable label");
        expectSectionLabel(child(*scrollView, "label \"DNS Settings :\""), "DNS label");
        expectSectionLabel(child(*scrollView, "label \"Extra :\""), "extra label");
        auto* selector = firstOfType<UISegmentedControl>(*scrollView);
        ASSERT_NE(selector, nullptr);
        EXPECT_EQ((std::vector<std::string> { selector->titleForSegmentAtIndex(0), selector->titleForSegmentAtIndex(1),
                                              selector->titleForSegmentAtIndex(2), selector->titleForSegmentAtIndex(3) }),
                  (std::vector<std::string> { "None", "3G", "Wifi", "Both" }));
        EXPECT_EQ(selector->numberOfSegments(), 4);
        EXPECT_EQ(selector->segmentedControlStyle(), 0);
        auto* button = firstOfType<UIButton>(*scrollView);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->buttonType(), 1);
        EXPECT_EQ(button->backgroundColor(), UIColor::clearColor());
        for (UIView* area : { dnsSettingsArea, extraArea }) {
            EXPECT_EQ(tableIn(*area)->style(), 1) << describe(*area);
            EXPECT_EQ(area->backgroundColor(), std::nullopt) << describe(*area) << " is not a plain view";
        }

        // DNSCrypt switched on elsewhere: the resolver area replaces the DNS settings area, on top.
        setPreference("DNSCrypt", "YES");
        notify_post(DNSChanged);
        ASSERT_TRUE(runLoopUntil([&] { return describe(*scrollView->subviews().back()) == "resolver area"; }));
        std::vector<std::string> cryptOrder = standardOrder;
        cryptOrder[1] = "label \"DNSCrypt Server :\"";
        cryptOrder.back() = "resolver area";
        EXPECT_EQ(describeChildren(*scrollView), cryptOrder);
        UIView* resolverArea = scrollView->subviews().back().get();
        EXPECT_EQ(frameText(resolverArea->frame()), frameText(testCase.dnsContainer));
        EXPECT_EQ(frameText(tableIn(*resolverArea)->frame()), frameText(testCase.resolverTable));
        EXPECT_EQ(dnsSettingsArea->superview(), nullptr);

        // And off again: the same DNS settings area comes back on top; showing it twice attaches it once.
        setPreference("DNSCrypt", "");
        notify_post(DNSChanged);
        ASSERT_TRUE(runLoopUntil([&] { return scrollView->subviews().back().get() == dnsSettingsArea; }));
        setPreference("SelectedConnectivity", "Both");
        notify_post(DNSChanged);
        ASSERT_TRUE(runLoopUntil([&] { return selector->selectedSegmentIndex() == 3; }));
        EXPECT_EQ(describeChildren(*scrollView), standardOrder);
        EXPECT_EQ(resolverArea->superview(), nullptr);
        EXPECT_EQ(frameText(dnsSettingsArea->frame()), frameText(testCase.dnsContainer));

        // The keyboard: the scroll view gives up 210 points and shows the DNS area with room below it.
        UIAutomation::showKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 270)));
        EXPECT_EQ(scrollView->contentOffset().y, testCase.keyboardOffset);
        EXPECT_EQ(scrollView->contentSize(), CGSizeMake(320, 480));
        scrollView->setContentOffset({ 0, 0 });
        UIAutomation::showKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 270))) << "a second did-show shrank it again";
        EXPECT_EQ(scrollView->contentOffset().y, 0) << "a second did-show scrolled";
        UIAutomation::hideKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 480)));
        UIAutomation::showKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 270))) << "the keyboard came back after a hide";
        UIAutomation::hideKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 480)));

        // Hidden again without showing first: the scroll view keeps the screen's height.
        UIAutomation::hideKeyboard();
        UIAutomation::hideKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 480))) << "a will-hide alone grew it";
        UIAutomation::showKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 270)));
        UIAutomation::hideKeyboard();
        EXPECT_EQ(frameText(scrollView->frame()), frameText(CGRectMake(0, 0, 320, 480)));
    }
}

} // namespace
