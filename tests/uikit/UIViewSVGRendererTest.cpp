#include "UIKitTestFixture.h"

#include "UIAlertView.h"
#include "UIButton.h"
#include "UILabel.h"
#include "UIScrollView.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITextField.h"
#include "UITextView.h"
#include "UIViewSVGRenderer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using UIViewSVGRendererTest = UIKitTest;

std::shared_ptr<UILabel> labelAt(CGRect frame, const std::string& text)
{
    auto label = UIView::create<UILabel>(frame);
    label->setText(text);
    label->setFont(UIFont::fontWithName("Helvetica", 10));
    return label;
}

// The element that draws the text, from its start to the text itself.
std::string elementOf(const std::string& svg, const std::string& text)
{
    auto end = svg.find(">" + text + "</text>");
    if (end == std::string::npos)
        return {};
    auto start = svg.rfind("<text", end);
    return svg.substr(start, end - start);
}

// A screen 200 by 100: a plain view with a label inside it, and a scroll view scrolled 30 points down
// over three labels, one of them above what it shows.
std::shared_ptr<UIView> sampleTree()
{
    auto root = UIView::create(CGRectMake(7, 9, 200, 100));
    auto box = UIView::create(CGRectMake(10, 20, 50, 20));
    box->setBackgroundColor(UIColor::colorWithRed(1, 0, 0, 0.5));
    box->addSubview(labelAt(CGRectMake(5, 0, 40, 20), "inner"));
    root->addSubview(box);
    auto scrollView = UIView::create<UIScrollView>(CGRectMake(0, 50, 100, 40));
    scrollView->setContentSize(CGSizeMake(100, 200));
    scrollView->setContentOffset({ 0, 30 });
    scrollView->addSubview(labelAt(CGRectMake(0, 0, 100, 20), "scrolled away"));
    scrollView->addSubview(labelAt(CGRectMake(0, 40, 100, 20), "in sight"));
    auto hidden = labelAt(CGRectMake(0, 50, 100, 20), "hidden");
    hidden->setHidden(true);
    scrollView->addSubview(hidden);
    root->addSubview(scrollView);
    return root;
}

TEST_F(UIViewSVGRendererTest, ViewsAreDrawnWherePositionsAddUpAndScrollViewsShowOnlyTheirContentInSight)
{
    auto root = sampleTree();
    std::string svg = UIViewSVGRenderer(UIColor::whiteColor()).render(*root);

    EXPECT_EQ(svg.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"200\" "
                        "height=\"100\" viewBox=\"0 0 200 100\">\n",
                        0),
              0u);
    EXPECT_TRUE(svg.ends_with("</svg>\n"));
    EXPECT_NE(svg.find("<rect x=\"0\" y=\"0\" width=\"200\" height=\"100\" fill=\"#ffffff\"/>"), std::string::npos)
        << "no background";
    // The root's own origin does not count: the picture starts at its top left corner.
    EXPECT_NE(svg.find("<rect x=\"10\" y=\"20\" width=\"50\" height=\"20\" fill=\"#ff0000\" fill-opacity=\"0.5\"/>"),
              std::string::npos);
    // A label's text sits in its frame's vertical middle: 20 + 10 + 0.27 * 10.
    EXPECT_EQ(elementOf(svg, "inner"),
              "<text x=\"15\" y=\"32.7\" font-family=\"Helvetica, Arial, sans-serif\" font-size=\"10\" fill=\"#000000\"");
    // Scrolled 30 points: 50 + 40 - 30, and cut to the scroll view's frame.
    EXPECT_TRUE(elementOf(svg, "in sight").starts_with("<text x=\"0\" y=\"72.7\" ")) << elementOf(svg, "in sight");
    EXPECT_NE(svg.find("<clipPath id=\"clip1\">\n    <rect x=\"0\" y=\"50\" width=\"100\" height=\"40\""), std::string::npos);
    EXPECT_EQ(svg.find("scrolled away"), std::string::npos) << "content out of sight is drawn";
    EXPECT_EQ(svg.find("hidden"), std::string::npos) << "a hidden view is drawn";

    EXPECT_EQ(UIViewSVGRenderer(UIColor::whiteColor()).render(*sampleTree()), svg) << "the same tree gave other bytes";
}

TEST_F(UIViewSVGRendererTest, TextIsEscapedAndKeepsItsFontAndColour)
{
    auto root = UIView::create(CGRectMake(0, 0, 320, 100));
    auto label = UIView::create<UITextView>(CGRectMake(10, 0, 300, 40));
    label->setText("<b>&\"Tom's\"</b>\x01 caf\xC3\xA9 \xFF");
    label->setFont(UIFont::fontWithName("Helvetica", 20));
    label->setTextColor(UIColor::colorWithRed(0.29, 0.34, 0.42, 0.7));
    root->addSubview(label);
    auto field = UIView::create<UITextField>(CGRectMake(10, 50, 145, 30));
    field->setText("s3cret");
    field->setSecureTextEntry(true);
    root->addSubview(field);

    std::string svg = UIViewSVGRenderer().render(*root);
    // A text view starts its text 5 points in and 8 down, on its first baseline: 8 + 0.77 * 20.
    EXPECT_EQ(elementOf(svg, "&lt;b&gt;&amp;&quot;Tom&apos;s&quot;&lt;/b&gt; caf\xC3\xA9 \xEF\xBF\xBD"),
              "<text x=\"15\" y=\"23.4\" font-family=\"Helvetica, Arial, sans-serif\" font-size=\"20\" fill=\"#4a576b\" "
              "fill-opacity=\"0.7\"");
    EXPECT_EQ(svg.find("<b>"), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
    EXPECT_EQ(svg.find("s3cret"), std::string::npos) << "a secure field shows its text";
    EXPECT_FALSE(elementOf(svg, "\u25CF\u25CF\u25CF\u25CF\u25CF\u25CF").empty());
}

TEST_F(UIViewSVGRendererTest, ControlsShowTheirStateAndAShownAlertGoesOverEverything)
{
    auto root = UIView::create(CGRectMake(0, 0, 320, 480));
    auto selector = UIView::create<UISegmentedControl>(std::vector<std::string> { "None", "3G", "Wifi" });
    selector->setFrame(CGRectMake(10, 10, 300, 30));
    selector->setSelectedSegmentIndex(1);
    root->addSubview(selector);
    auto on = UIView::create<UISwitch>(CGRectMake(10, 50, 0, 0));
    on->setOn(true);
    root->addSubview(on);
    root->addSubview(UIView::create<UISwitch>(CGRectMake(10, 90, 0, 0)));
    auto button = UIButton::buttonWithType(UIButtonTypeRoundedRect);
    button->setFrame(CGRectMake(10, 130, 300, 40));
    button->setTitle("Contact support", UIControlStateNormal);
    root->addSubview(button);

    const std::string cancel = "Cancel";
    auto alert = UIAlertView::create("Passlock", "Enter your password", nullptr, &cancel, { "OK" });
    alert->addTextFieldWithValue("", "Password");
    auto unshown = UIAlertView::create("Never shown", "", nullptr, nullptr, { "OK" });
    alert->show();

    std::string svg = UIViewSVGRenderer().render(*root, { alert, unshown });
    // The one selected segment is the second: after "None", holding "3G".
    auto selected = svg.find("<g class=\"segment selected\">");
    ASSERT_NE(selected, std::string::npos);
    EXPECT_EQ(svg.find("<g class=\"segment selected\">", selected + 1), std::string::npos);
    EXPECT_GT(selected, svg.find(">None</text>"));
    EXPECT_LT(selected, svg.find(">3G</text>"));
    EXPECT_LT(svg.find(">3G</text>"), svg.find("<g class=\"segment\">", selected));
    // The switches in the order they were added: on, then off.
    ASSERT_NE(svg.find("<g class=\"switch off\">"), std::string::npos);
    EXPECT_LT(svg.find("<g class=\"switch on\">"), svg.find("<g class=\"switch off\">"));
    EXPECT_NE(svg.find(">Contact support</text>"), std::string::npos);

    auto backdrop = svg.find("<rect x=\"0\" y=\"0\" width=\"320\" height=\"480\" fill=\"#000000\" fill-opacity=\"0.4\"/>");
    ASSERT_NE(backdrop, std::string::npos) << "no dimmed backdrop";
    EXPECT_GT(backdrop, svg.find(">Contact support</text>")) << "the alert is under the screen";
    for (const char* text : { ">Passlock</text>", ">Enter your password</text>", ">Password</text>", ">Cancel</text>", ">OK</text>" })
        EXPECT_GT(svg.find(text), backdrop) << text;
    EXPECT_EQ(svg.find("Never shown"), std::string::npos);
}

} // namespace
