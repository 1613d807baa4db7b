// The tablet screen: its frames at creation and after every rotation, for each system version, the
// stacking order, and the swap of the two DNS areas, whose tables follow the rotation even while their
// area is off screen.
#include "ScreenViews.h"

#include "CFNotificationCenter.h"
#include "DeviceSeed.h"
#include "PSSettingsHost.h"
#include "TarvikDNSViewControlleriPad.h"
#include "UIAutomation.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

using namespace ScreenViews;

struct TabletFrames {
    CGRect enableLabel;
    CGRect selector;
    CGRect dnsLabel;
    CGRect extraLabel;
    CGRect button;
    CGRect dnsTable;
    CGRect resolverTable;
    CGRect extraTable;
};

// Before any rotation.
const TabletFrames creation { CGRectMake(45, 20, 635, 60),  CGRectMake(45, 70, 635, 50), CGRectMake(45, 140, 635, 60),
                              CGRectMake(45, 344, 635, 60), CGRectMake(45, 490, 635, 50), CGRectMake(0, 0, 725, 175),
                              CGRectMake(0, 35, 725, 150),  CGRectMake(0, 0, 725, 130) };
// Portrait, from system version 7: the tables are inset like the controls.
const TabletFrames portrait7 { CGRectMake(30, 20, 200, 60),  CGRectMake(30, 70, 405, 50), CGRectMake(26, 140, 200, 60),
                               CGRectMake(26, 344, 407, 60), CGRectMake(30, 540, 405, 50), CGRectMake(30, 0, 405, 175),
                               CGRectMake(30, 25, 405, 155), CGRectMake(30, 0, 405, 130) };
const TabletFrames landscape7 { CGRectMake(45, 20, 200, 60),  CGRectMake(45, 70, 635, 50), CGRectMake(45, 140, 200, 60),
                                CGRectMake(45, 344, 635, 60), CGRectMake(45, 540, 635, 50), CGRectMake(45, 0, 635, 175),
                                CGRectMake(45, 25, 635, 155), CGRectMake(45, 0, 635, 130) };
// Before version 7 the tables start at x 0.
const TabletFrames portrait6 { CGRectMake(30, 20, 200, 60),  CGRectMake(30, 70, 405, 50), CGRectMake(26, 140, 200, 60),
                               CGRectMake(26, 344, 407, 60), CGRectMake(30, 540, 405, 50), CGRectMake(0, 0, 465, 175),
                               CGRectMake(0, 25, 465, 155),  CGRectMake(0, 0, 465, 130) };
const TabletFrames landscape6 { CGRectMake(45, 20, 200, 60),  CGRectMake(45, 70, 635, 50), CGRectMake(45, 140, 200, 60),
                                CGRectMake(45, 344, 635, 60), CGRectMake(45, 540, 635, 50), CGRectMake(0, 0, 725, 175),
                                CGRectMake(0, 25, 725, 155),  CGRectMake(0, 0, 725, 130) };

struct TabletCase {
    const char* systemVersion;
    // None: the screen as CreateView leaves it, before the list controller's first orientation call.
    std::optional<UIInterfaceOrientation> orientation;
    const TabletFrames& frames;
    // Another orientation of the other kind (landscape for portrait, portrait otherwise), and its frames.
    UIInterfaceOrientation otherOrientation;
    const TabletFrames& otherFrames;
    double screenY;
};

const TabletCase tabletCases[] = {
    { "7.1", std::nullopt, creation, 0, creation, 60 }, { "7.1", 0, landscape7, 1, portrait7, 60 },
    { "7.1", 1, portrait7, 4, landscape7, 60 },          { "7.1", 2, portrait7, 3, landscape7, 60 },
    { "7.1", 3, landscape7, 2, portrait7, 60 },          { "7.1", 4, landscape7, 1, portrait7, 60 },
    { "6.1", std::nullopt, creation, 0, creation, 0 },   { "6.1", 0, landscape6, 2, portrait6, 0 },
    { "6.1", 1, portrait6, 0, landscape6, 0 },           { "6.1", 2, portrait6, 4, landscape6, 0 },
    { "6.1", 3, landscape6, 1, portrait6, 0 },           { "6.1", 4, landscape6, 2, portrait6, 0 },
};

const CGRect dnsContainerFrame = CGRectMake(0, 160, 725, 175);
const CGRect extraContainerFrame = CGRectMake(0, 365, 725, 130);

const std::vector<std::string> standardOrder { "label \"Activate on :\"", "selector", "label \"DNS Settings :\"",
                                               "label \"Extra :\"", "extra area", "button \"Contact support\"",
                                               "DNS settings area" };

void expectScreen(const UIView& screen, CGRect screenFrame, const TabletFrames& frames)
{
    EXPECT_EQ(frameText(screen.frame()), frameText(screenFrame)) << "the screen moved";
    ASSERT_EQ(describeChildren(screen), standardOrder);
    const CGRect expected[] = { frames.enableLabel, frames.selector, frames.dnsLabel,   frames.extraLabel,
                                extraContainerFrame, frames.button,  dnsContainerFrame };
    for (size_t index = 0; index < standardOrder.size(); ++index)
        EXPECT_EQ(frameText(screen.subviews()[index]->frame()), frameText(expected[index])) << standardOrder[index];
    EXPECT_EQ(frameText(tableIn(*child(screen, "DNS settings area"))->frame()), frameText(frames.dnsTable)) << "DNS settings table";
    EXPECT_EQ(frameText(tableIn(*child(screen, "extra area"))->frame()), frameText(frames.extraTable)) << "extra table";
}

// Shows the resolver area (DNSCrypt on) or the DNS settings area, as a change stored elsewhere does.
void showArea(UIView& screen, bool resolvers)
{
    setPreference("DNSCrypt", resolvers ? "YES" : "");
    notify_post(DNSChanged);
    ASSERT_TRUE(runLoopUntil([&] {
        return describe(*screen.subviews().back()) == (resolvers ? "resolver area" : "DNS settings area");
    }));
}

TEST(LayoutTabletTest, FramesAtCreationAndAfterEveryRotationMatchTheLayoutOfEachSystemVersion)
{
    for (const auto& testCase : tabletCases) {
        SCOPED_TRACE(std::string("system ") + testCase.systemVersion + ", orientation "
                     + (testCase.orientation ? std::to_string(*testCase.orientation) : "none yet"));
        TemporaryDevice device;
        installDNSCryptProxy(device);
        useDevice("iPad", testCase.systemVersion);
        PSSettingsHost host;
        std::shared_ptr<UIView> hostView;
        std::unique_ptr<TarvikDNSViewControlleriPad> unrotated;
        if (testCase.orientation) {
            ASSERT_TRUE(host.openPane(TARVIKDNS_BUNDLE_DIR));
            hostView = host.pane()->view();
        } else {
            // What the list controller builds before it tells the screen its orientation.
            hostView = UIView::create(CGRectMake(0, 0, 768, 1024));
            unrotated = std::make_unique<TarvikDNSViewControlleriPad>();
            unrotated->CreateView(hostView.get());
        }
        auto rotateTo = [&](UIInterfaceOrientation orientation) {
            if (testCase.orientation)
                host.rotateTo(orientation);
        };

        UIView* screen = screenView(*hostView);
        ASSERT_NE(screen, nullptr) << "the screen is not one view in the host view";
        EXPECT_EQ(dynamic_cast<UIScrollView*>(screen), nullptr) << "the tablet screen is a plain view";
        const CGRect screenFrame = CGRectMake(0, testCase.screenY, 723, 704);
        EXPECT_EQ(frameText(screen->frame()), frameText(screenFrame));
        for (const char* label : { "label \"Activate on :\"", "label \"DNS Settings :\"", "label \"Extra :\"" }) {
            auto* textView = dynamic_cast<UITextView*>(child(*screen, label));
            ASSERT_NE(textView, nullptr) << label;
            EXPECT_EQ(textView->font(), UIFont::fontWithName("Helvetica", 22)) << label;
        }

        // Turned with the resolver area off screen, then shown: its table follows the rotation too.
        rotateTo(testCase.orientation.value_or(0));
        expectScreen(*screen, screenFrame, testCase.frames);
        showArea(*screen, true);
        std::vector<std::string> cryptOrder = standardOrder;
        cryptOrder[2] = "label \"DNSCrypt Server :\"";
        cryptOrder.back() = "resolver area";
        EXPECT_EQ(describeChildren(*screen), cryptOrder);
        UIView* resolverArea = screen->subviews().back().get();
        EXPECT_EQ(frameText(resolverArea->frame()), frameText(dnsContainerFrame));
        EXPECT_EQ(frameText(tableIn(*resolverArea)->frame()), frameText(testCase.frames.resolverTable)) << "resolver table";

        // Turned the other way with the DNS settings area off screen, then shown.
        rotateTo(testCase.otherOrientation);
        EXPECT_EQ(frameText(tableIn(*resolverArea)->frame()), frameText(testCase.otherFrames.resolverTable)) << "resolver table";
        showArea(*screen, false);
        EXPECT_EQ(resolverArea->superview(), nullptr);
        expectScreen(*screen, screenFrame, testCase.otherFrames);

        // And back: the same orientation gives the same frames again.
        rotateTo(testCase.orientation.value_or(0));
        expectScreen(*screen, screenFrame, testCase.frames);

        // The tablet leaves the keyboard alone.
        UIAutomation::showKeyboard();
        EXPECT_EQ(frameText(screen->frame()), frameText(screenFrame));
        EXPECT_EQ(frameText(child(*screen, "DNS settings area")->frame()), frameText(dnsContainerFrame));
        UIAutomation::hideKeyboard();
    }
}

} // namespace
