#include "UIKitTestFixture.h"

#include "UIAutomation.h"
#include "UIButton.h"
#include "UIDevice.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITextField.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using UIControlTest = UIKitTest;

// Records every action a control sends, as "<label>" per call.
struct ActionRecorder {
    void listen(UIControl& control, const std::string& label, UIControlEvents events)
    {
        control.addTarget(this, [this, label, &control](UIControl* sender) {
            EXPECT_EQ(sender, &control) << "the sender is not the control";
            calls.push_back(label);
        }, events);
    }
    std::vector<std::string> calls;
};

TEST_F(UIControlTest, MajorSystemVersionIsTheLeadingNumber)
{
    const std::pair<const char*, int> cases[] = { { "7.1", 7 }, { "10.3", 10 }, { "6", 6 }, { "6.1.3", 6 }, { "", 0 }, { "x", 0 } };
    for (const auto& [version, major] : cases) {
        UIDevice::currentDevice().setSystemVersion(version);
        EXPECT_EQ(UIDevice::currentDevice().majorSystemVersion(), major) << version;
    }
}

TEST_F(UIControlTest, ASwitchKeepsThePlatformSizeOfItsSystemVersionWhateverFrameItIsGiven)
{
    const std::pair<const char*, CGSize> cases[] = { { "6.1", { 79, 27 } }, { "7.1", { 51, 31 } }, { "10.3", { 51, 31 } } };
    for (const auto& [version, size] : cases) {
        UIDevice::currentDevice().setSystemVersion(version);
        auto control = UIView::create<UISwitch>(CGRectMake(10, 20, 300, 300));
        EXPECT_EQ(control->frame(), (CGRect { { 10, 20 }, size })) << version;
        control->setFrame(CGRectMake(200, 7, 0, 0));
        EXPECT_EQ(control->frame(), (CGRect { { 200, 7 }, size })) << version;
    }
}

TEST_F(UIControlTest, ActionsGoInTheOrderAddedToTargetsWhoseEventsMatch)
{
    auto control = UIView::create<UIControl>();
    ActionRecorder first;
    ActionRecorder second;
    first.listen(*control, "first changed", UIControlEventValueChanged);
    second.listen(*control, "second any", UIControlEventValueChanged | UIControlEventTouchUpInside);
    first.listen(*control, "first tapped", UIControlEventTouchUpInside);
    std::vector<std::string> calls;
    auto record = [&] {
        calls.clear();
        calls.insert(calls.end(), first.calls.begin(), first.calls.end());
        calls.insert(calls.end(), second.calls.begin(), second.calls.end());
        first.calls.clear();
        second.calls.clear();
        return calls;
    };

    control->sendActionsForControlEvents(UIControlEventValueChanged);
    EXPECT_EQ(record(), (std::vector<std::string> { "first changed", "second any" }));
    control->sendActionsForControlEvents(UIControlEventTouchUpInside);
    EXPECT_EQ(record(), (std::vector<std::string> { "first tapped", "second any" }));

    control->removeTarget(&second, UIControlEventTouchUpInside);
    control->sendActionsForControlEvents(UIControlEventTouchUpInside);
    EXPECT_EQ(record(), (std::vector<std::string> { "first tapped" }));
    control->sendActionsForControlEvents(UIControlEventValueChanged);
    EXPECT_EQ(record(), (std::vector<std::string> { "first changed", "second any" })) << "removing one event removed both";

    control->removeTarget(&first, UIControlEventValueChanged | UIControlEventTouchUpInside);
    control->sendActionsForControlEvents(UIControlEventValueChanged | UIControlEventTouchUpInside);
    EXPECT_EQ(record(), (std::vector<std::string> { "second any" }));
}

TEST_F(UIControlTest, ValuesSetFromCodeSendNothing)
{
    ActionRecorder recorder;
    auto segments = UIView::create<UISegmentedControl>(std::vector<std::string> { "A", "B", "C" });
    auto toggle = UIView::create<UISwitch>();
    auto field = UIView::create<UITextField>();
    for (UIControl* control : std::initializer_list<UIControl*> { segments.get(), toggle.get(), field.get() })
        recorder.listen(*control, "action", ~UIControlEvents { 0 });

    segments->setSelectedSegmentIndex(2);
    toggle->setOn(true, true);
    field->setText("typed by code");
    EXPECT_EQ(segments->selectedSegmentIndex(), 2);
    EXPECT_TRUE(toggle->isOn());
    EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(UIControlTest, TappingASegmentSelectsItAndSendsValueChangedUnlessItWasSelected)
{
    auto segments = UIView::create<UISegmentedControl>(std::vector<std::string> { "Off", "On", "Auto" });
    ActionRecorder recorder;
    long selectedWhenSent = -2;
    segments->addTarget(&recorder, [&](UIControl*) { selectedWhenSent = segments->selectedSegmentIndex(); },
                        UIControlEventValueChanged);
    recorder.listen(*segments, "tapped", UIControlEventTouchUpInside);

    EXPECT_TRUE(UIAutomation::tapSegment(*segments, 1));
    EXPECT_EQ(selectedWhenSent, 1) << "the action ran before the segment was selected";
    EXPECT_TRUE(recorder.calls.empty()) << "a segment tap is no touch-up-inside";

    selectedWhenSent = -2;
    EXPECT_TRUE(UIAutomation::tapSegment(*segments, 1));
    EXPECT_EQ(selectedWhenSent, -2) << "tapping the selected segment sent value-changed";

    for (long outOfRange : { -1L, 3L }) {
        EXPECT_FALSE(UIAutomation::tapSegment(*segments, outOfRange)) << outOfRange;
        EXPECT_EQ(segments->selectedSegmentIndex(), 1);
    }

    segments->setEnabled(false);
    EXPECT_FALSE(UIAutomation::tapSegment(*segments, 2));
    segments->setEnabled(true);
    segments->setUserInteractionEnabled(false);
    EXPECT_FALSE(UIAutomation::tapSegment(*segments, 2));
    EXPECT_EQ(segments->selectedSegmentIndex(), 1);
    EXPECT_EQ(selectedWhenSent, -2);
}

TEST_F(UIControlTest, SegmentTitlesAndSelectionOutOfRange)
{
    UISegmentedControl segments({ "Off", "On" });
    EXPECT_EQ(segments.numberOfSegments(), 2);
    EXPECT_EQ(segments.selectedSegmentIndex(), UISegmentedControlNoSegment);
    EXPECT_EQ(segments.titleForSegmentAtIndex(1), "On");
    EXPECT_EQ(segments.titleForSegmentAtIndex(2), "");
    EXPECT_EQ(segments.titleForSegmentAtIndex(-1), "");
    segments.setSelectedSegmentIndex(1);
    segments.setSelectedSegmentIndex(5);
    EXPECT_EQ(segments.selectedSegmentIndex(), UISegmentedControlNoSegment);
}

TEST_F(UIControlTest, FlippingASwitchTurnsItOverThenSendsValueChanged)
{
    auto toggle = UIView::create<UISwitch>();
    std::vector<bool> statesSent;
    toggle->addTarget(this, [&](UIControl* sender) { statesSent.push_back(static_cast<UISwitch*>(sender)->isOn()); },
                      UIControlEventValueChanged);

    EXPECT_TRUE(UIAutomation::flipSwitch(*toggle));
    EXPECT_TRUE(UIAutomation::flipSwitch(*toggle));
    EXPECT_EQ(statesSent, (std::vector<bool> { true, false }));

    toggle->setEnabled(false);
    EXPECT_FALSE(UIAutomation::flipSwitch(*toggle));
    toggle->setEnabled(true);
    toggle->setUserInteractionEnabled(false);
    EXPECT_FALSE(UIAutomation::flipSwitch(*toggle));
    EXPECT_FALSE(toggle->isOn());
    EXPECT_EQ(statesSent.size(), 2u);
}

TEST_F(UIControlTest, TappingAButtonSendsTouchUpInsideAndItsTitleFallsBackToNormal)
{
    auto button = UIButton::buttonWithType(UIButtonTypeRoundedRect);
    EXPECT_EQ(button->buttonType(), UIButtonTypeRoundedRect);
    ActionRecorder recorder;
    recorder.listen(*button, "tapped", UIControlEventTouchUpInside);
    recorder.listen(*button, "changed", UIControlEventValueChanged);

    EXPECT_TRUE(UIAutomation::tapButton(*button));
    EXPECT_EQ(recorder.calls, std::vector<std::string> { "tapped" });
    button->setEnabled(false);
    EXPECT_FALSE(UIAutomation::tapButton(*button));
    EXPECT_EQ(recorder.calls.size(), 1u);

    constexpr UIControlState highlighted = 1;
    EXPECT_EQ(button->titleForState(highlighted), "");
    button->setTitle("Save", UIControlStateNormal);
    EXPECT_EQ(button->titleForState(highlighted), "Save");
    button->setTitle("Saving", highlighted);
    EXPECT_EQ(button->titleForState(highlighted), "Saving");
    EXPECT_EQ(button->titleForState(UIControlStateNormal), "Save");
}

TEST_F(UIControlTest, OneFirstResponderAtATime)
{
    auto a = UIView::create<UITextField>();
    auto b = UIView::create<UITextField>();
    EXPECT_EQ(UIResponder::firstResponder(), nullptr);

    EXPECT_TRUE(a->becomeFirstResponder());
    EXPECT_TRUE(b->becomeFirstResponder());
    EXPECT_FALSE(a->isFirstResponder());
    EXPECT_TRUE(b->isFirstResponder());
    EXPECT_EQ(UIResponder::firstResponder(), b.get());

    EXPECT_FALSE(a->resignFirstResponder()) << "a field that is not first resigned";
    EXPECT_EQ(UIResponder::firstResponder(), b.get());
    EXPECT_TRUE(b->resignFirstResponder());
    EXPECT_EQ(UIResponder::firstResponder(), nullptr);

    a->setUserInteractionEnabled(false);
    EXPECT_FALSE(a->becomeFirstResponder());
    EXPECT_EQ(UIResponder::firstResponder(), nullptr);

    UIResponder plainResponder;
    EXPECT_FALSE(plainResponder.becomeFirstResponder());

    EXPECT_TRUE(b->becomeFirstResponder());
    b.reset();
    EXPECT_EQ(UIResponder::firstResponder(), nullptr) << "a destroyed field stays first responder";
}

struct ReturnRecorder : UITextFieldDelegate {
    bool textFieldShouldReturn(UITextField* textField) override
    {
        fields.push_back(textField);
        return true;
    }
    std::vector<UITextField*> fields;
};

TEST_F(UIControlTest, TypingMakesTheFieldFirstResponderAndReturnAsksItsDelegate)
{
    auto field = UIView::create<UITextField>();
    field->setText("old");
    ReturnRecorder delegate;

    EXPECT_TRUE(UIAutomation::pressReturn(*field)) << "return without a delegate";
    field->setDelegate(&delegate);

    EXPECT_TRUE(UIAutomation::typeText(*field, "208.67.222.222"));
    EXPECT_EQ(field->text(), "208.67.222.222");
    EXPECT_TRUE(field->isFirstResponder());
    EXPECT_TRUE(UIAutomation::pressReturn(*field));
    EXPECT_EQ(delegate.fields, std::vector<UITextField*> { field.get() });

    auto locked = UIView::create<UITextField>();
    locked->setText("kept");
    locked->setDelegate(&delegate);
    locked->setUserInteractionEnabled(false);
    EXPECT_FALSE(UIAutomation::typeText(*locked, "typed"));
    EXPECT_FALSE(UIAutomation::pressReturn(*locked));
    EXPECT_EQ(locked->text(), "kept");
    EXPECT_TRUE(field->isFirstResponder()) << "a refused field took the first responder";
    EXPECT_EQ(delegate.fields.size(), 1u);
}

} // namespace
