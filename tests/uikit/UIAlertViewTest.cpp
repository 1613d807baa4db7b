#include "UIKitTestFixture.h"

#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using UIAlertViewTest = UIKitTest;

// Records each answer as "<alert title>: <button index>", reading the alert while it is being answered.
struct AnswerRecorder : UIAlertViewDelegate {
    void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex) override
    {
        answers.push_back(alertView->title() + ": " + std::to_string(buttonIndex));
        visibleWhileAnswered = alertView->isVisible();
        if (tapAgain)
            alertView->dismissWithClickedButtonIndex(buttonIndex);
    }
    std::vector<std::string> answers;
    bool visibleWhileAnswered { false };
    bool tapAgain { false };
};

std::shared_ptr<UIAlertView> passcodeAlert(AnswerRecorder* delegate)
{
    const std::string cancel = "Cancel";
    return UIAlertView::create("Passcode", "Enter your passcode", delegate, &cancel, { "OK", "Forgot", "OK" });
}

TEST_F(UIAlertViewTest, TheCancelButtonComesFirstWhenThereIsOne)
{
    auto withCancel = passcodeAlert(nullptr);
    EXPECT_EQ(withCancel->numberOfButtons(), 4);
    EXPECT_EQ(withCancel->cancelButtonIndex(), 0);
    const std::pair<long long, const char*> titles[] = { { 0, "Cancel" }, { 1, "OK" }, { 2, "Forgot" }, { 3, "OK" }, { 4, "" }, { -1, "" } };
    for (const auto& [index, title] : titles)
        EXPECT_EQ(withCancel->buttonTitleAtIndex(index), title) << index;

    auto withoutCancel = UIAlertView::create("Error", "Try again", nullptr, nullptr, { "Retry" });
    EXPECT_EQ(withoutCancel->cancelButtonIndex(), -1);
    EXPECT_EQ(withoutCancel->numberOfButtons(), 1);
    EXPECT_EQ(withoutCancel->buttonTitleAtIndex(0), "Retry");
}

TEST_F(UIAlertViewTest, AShownAlertIsHeldByTheApplicationUntilItIsAnswered)
{
    AnswerRecorder delegate;
    std::vector<std::string> shown;
    UIApplication::sharedApplication().setAlertShownHandler([&](UIAlertView& alert) { shown.push_back(alert.title()); });

    std::weak_ptr<UIAlertView> held;
    {
        auto alert = passcodeAlert(&delegate);
        held = alert;
        EXPECT_FALSE(alert->isVisible());
        alert->show();
        alert->show();
    }
    ASSERT_FALSE(held.expired()) << "the application let go of a shown alert";
    auto* alert = held.lock().get();
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(shown, std::vector<std::string> { "Passcode" }) << "showing twice is showing once";
    ASSERT_EQ(UIApplication::sharedApplication().visibleAlerts().size(), 1u);
    EXPECT_EQ(UIApplication::sharedApplication().visibleAlerts().front().get(), alert);

    EXPECT_TRUE(UIAutomation::tapAlertButton(*alert, 2));
    EXPECT_EQ(delegate.answers, std::vector<std::string> { "Passcode: 2" });
    EXPECT_TRUE(delegate.visibleWhileAnswered);
    EXPECT_TRUE(held.expired()) << "the application still holds an answered alert";
    EXPECT_TRUE(UIApplication::sharedApplication().visibleAlerts().empty());
}

TEST_F(UIAlertViewTest, AnAlertIsAnsweredOnceWhateverTapsFollow)
{
    AnswerRecorder delegate;
    auto alert = passcodeAlert(&delegate);

    alert->dismissWithClickedButtonIndex(1);
    EXPECT_FALSE(UIAutomation::tapAlertButton(*alert, 1)) << "a button of an alert that is not shown was tapped";
    EXPECT_TRUE(delegate.answers.empty());

    delegate.tapAgain = true;
    alert->show();
    alert->dismissWithClickedButtonIndex(1);
    alert->dismissWithClickedButtonIndex(0);
    EXPECT_FALSE(UIAutomation::tapAlertButton(*alert, "Cancel"));
    EXPECT_EQ(delegate.answers, std::vector<std::string> { "Passcode: 1" });
    EXPECT_FALSE(alert->isVisible());
}

TEST_F(UIAlertViewTest, AButtonIsTappedByItsTitleTheFirstOfThatTitle)
{
    AnswerRecorder delegate;
    auto alert = passcodeAlert(&delegate);
    alert->show();

    EXPECT_FALSE(UIAutomation::tapAlertButton(*alert, "ok"));
    EXPECT_FALSE(UIAutomation::tapAlertButton(*alert, 4));
    EXPECT_TRUE(alert->isVisible());
    EXPECT_TRUE(UIAutomation::tapAlertButton(*alert, "OK"));
    EXPECT_EQ(delegate.answers, std::vector<std::string> { "Passcode: 1" });
}

TEST_F(UIAlertViewTest, TextFieldsTakeTheKeyboardWhileShownAndLetItGoWhenAnswered)
{
    AnswerRecorder delegate;
    auto alert = passcodeAlert(&delegate);
    alert->addTextFieldWithValue("", "Passcode");
    alert->addTextFieldWithValue("1234", "Confirm");

    ASSERT_EQ(alert->numberOfTextFields(), 2);
    UITextField* passcode = alert->textFieldAtIndex(0);
    ASSERT_NE(passcode, nullptr);
    EXPECT_EQ(passcode->placeholder(), "Passcode");
    EXPECT_EQ(alert->textFieldAtIndex(1)->text(), "1234");
    EXPECT_EQ(alert->textFieldAtIndex(2), nullptr);
    EXPECT_EQ(alert->textFieldAtIndex(-1), nullptr);

    alert->show();
    EXPECT_TRUE(passcode->isFirstResponder());
    EXPECT_TRUE(UIAutomation::typeText(*passcode, "0000"));
    EXPECT_TRUE(UIAutomation::tapAlertButton(*alert, "OK"));
    EXPECT_EQ(passcode->text(), "0000");
    EXPECT_EQ(UIResponder::firstResponder(), nullptr);
}

TEST_F(UIAlertViewTest, ResettingTheApplicationLetsGoOfItsAlerts)
{
    auto& application = UIApplication::sharedApplication();
    std::weak_ptr<UIAlertView> held;
    {
        auto alert = passcodeAlert(nullptr);
        held = alert;
        alert->show();
    }
    ASSERT_FALSE(held.expired());
    application.reset();
    EXPECT_TRUE(held.expired());
    EXPECT_TRUE(application.visibleAlerts().empty());
}

TEST_F(UIAlertViewTest, OpeningAURLRecordsItAndHandsItToTheHost)
{
    auto& application = UIApplication::sharedApplication();
    auto url = NSURL::URLWithString("https://www.opendns.com/welcome/");
    ASSERT_TRUE(url);

    EXPECT_FALSE(application.openURL(*url)) << "opened without a host";
    std::vector<std::string> handed;
    application.setOpenURLHandler([&](const std::string& text) {
        handed.push_back(text);
        return true;
    });
    EXPECT_TRUE(application.openURL(*url));
    EXPECT_EQ(handed, std::vector<std::string> { "https://www.opendns.com/welcome/" });
    EXPECT_EQ(application.openedURLs().size(), 2u);

    application.reset();
    EXPECT_TRUE(application.openedURLs().empty());
    EXPECT_FALSE(application.openURL(*url)) << "the handler survived the reset";
    EXPECT_EQ(handed.size(), 1u);
}

} // namespace
