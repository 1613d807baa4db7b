// The Passlock dialogs: how each of the five kinds looks and answers, the keyboard's delay, dialogs that
// overlap, and what decides an answer.
#include "ExtensionTest.h"

#include "SpringBoard.h"
#include "TarvikDNSShared.h"
#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"

#include <chrono>
#include <set>

namespace {

using Posts = std::vector<std::string>;
using namespace std::chrono_literals;

using PasslockDialogTest = LaunchedExtensionTest;

// Shows a dialog of one kind: the settings pane's three requests, and the outside start and stop while
// a Passlock is set.
struct DialogKind {
    const char* name;
    const char* request;
};

constexpr DialogKind checkKind { "check", kNotificationShowPasslockView };
constexpr DialogKind createKind { "create", kNotificationShowPasslockCreateView };
constexpr DialogKind removeKind { "remove", kNotificationShowPasslockRemoveView };
constexpr DialogKind startKind { "start", kNotificationSBStart };
constexpr DialogKind stopKind { "stop", kNotificationSBStop };

struct Answer {
    DialogKind kind;
    const char* storedPasslock;
    const char* typed;
    const char* button;
    // What follows the answer: the names posted, the Passlock stored, whether a dialog is up again.
    Posts posts;
    const char* passlockAfter;
    bool dialogAgain;
};

std::string answerName(const testing::TestParamInfo<Answer>& info)
{
    const Answer& answer = info.param;
    std::string outcome = std::string(answer.button) == "Cancel" ? "Cancel"
                          : std::string(answer.typed) == answer.storedPasslock ? "Right"
                                                                                : "Wrong";
    return std::string(answer.kind.name) + outcome;
}

class PasslockAnswerTest : public LaunchedExtensionTest, public testing::WithParamInterface<Answer> { };

TEST_P(PasslockAnswerTest, TheAnswerActsAsItsKindSays)
{
    const Answer& expected = GetParam();
    writePreferences({ { kPrefPasslock, expected.storedPasslock }, { kPrefSelectedConnectivity, "Wifi" },
                       { kPrefSBSelectedConnectivity, "Wifi" } });
    post(expected.kind.request);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    ASSERT_TRUE(settle());
    takePosts();

    answer(shownAlert(), expected.typed, expected.button);
    ASSERT_TRUE(settle());

    EXPECT_EQ(takePosts(), expected.posts);
    EXPECT_EQ(preference(kPrefPasslock), expected.passlockAfter);
    EXPECT_EQ(alertCount(), expected.dialogAgain ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, PasslockAnswerTest,
    testing::Values(
        Answer { checkKind, "1234", "1234", "OK", { kNotificationPasslockOK }, "1234", false },
        Answer { checkKind, "1234", "4321", "OK", { kNotificationPasslockNOK }, "1234", false },
        Answer { checkKind, "1234", "1234", "Cancel", { kNotificationPasslockCancel }, "1234", false },
        Answer { startKind, "1234", "1234", "OK", { kNotificationSBStartOK }, "1234", false },
        Answer { startKind, "1234", "4321", "OK", { kNotificationSBStart }, "1234", true },
        Answer { startKind, "1234", "1234", "Cancel", {}, "1234", false },
        Answer { stopKind, "1234", "1234", "OK", { kNotificationSBStopOK }, "1234", false },
        Answer { stopKind, "1234", "4321", "OK", { kNotificationSBStop }, "1234", true },
        Answer { stopKind, "1234", "1234", "Cancel", {}, "1234", false },
        // Creating compares nothing: whatever is typed becomes the Passlock.
        Answer { createKind, "", "", "OK", {}, "", false },
        Answer { createKind, "", "5678", "OK", {}, "5678", false },
        Answer { createKind, "", "5678", "Cancel", { kNotificationPasslockCancel }, "", false },
        Answer { removeKind, "1234", "1234", "OK", {}, "", false },
        Answer { removeKind, "1234", "4321", "OK", { kNotificationPasslockRemoveNOK }, "1234", false },
        Answer { removeKind, "1234", "1234", "Cancel", { kNotificationPasslockCancel }, "1234", false }),
    answerName);

TEST_F(PasslockDialogTest, APasswordThatDiffersOnlyInLetterCaseIsWrong)
{
    writePreferences({ { kPrefPasslock, "Secret" } });
    for (const char* typed : { "secret", "SECRET", "Secret " }) {
        SCOPED_TRACE(typed);
        post(kNotificationShowPasslockView);
        ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
        ASSERT_TRUE(settle());
        takePosts();

        answer(shownAlert(), typed, "OK");
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), (Posts { kNotificationPasslockNOK }));
    }
}

TEST_F(PasslockDialogTest, WithoutAStoredPasslockNoTextIsRight)
{
    post(kNotificationShowPasslockView);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    ASSERT_TRUE(settle());
    takePosts();

    answer(shownAlert(), "", "OK");
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationPasslockNOK }));
}

TEST_F(PasslockDialogTest, EveryKindLooksTheSameAndEachBuilderPointsTextfieldPasslockAtItsField)
{
    writePreferences({ { kPrefPasslock, "1234" } });
    std::set<UIAlertViewDelegate*> delegates;
    std::size_t shown = 0;
    for (const DialogKind& kind : { checkKind, createKind, removeKind, startKind, stopKind }) {
        SCOPED_TRACE(kind.name);
        post(kind.request);
        ASSERT_TRUE(runLoopUntil([&] { return alertCount() == shown + 1; }));
        ++shown;
        UIAlertView* alert = UIApplication::sharedApplication().visibleAlerts().back().get();

        EXPECT_EQ(alert->title(), "TarvikDNS Passlock");
        EXPECT_EQ(alert->message(), "Please enter your password :");
        ASSERT_EQ(alert->numberOfButtons(), 2);
        EXPECT_EQ(alert->cancelButtonIndex(), 0);
        EXPECT_EQ(alert->buttonTitleAtIndex(0), "Cancel");
        EXPECT_EQ(alert->buttonTitleAtIndex(1), "OK");
        ASSERT_EQ(alert->numberOfTextFields(), 1);
        UITextField* field = alert->textFieldAtIndex(0);
        EXPECT_EQ(field->text(), "");
        EXPECT_EQ(field->placeholder(), "Password");
        EXPECT_EQ(field->clearButtonMode(), 1);
        EXPECT_EQ(field->keyboardType(), 2);
        EXPECT_EQ(field->keyboardAppearance(), 1);
        EXPECT_EQ(field->autocorrectionType(), 1);
        EXPECT_TRUE(field->isSecureTextEntry());
        EXPECT_EQ(field->autocapitalizationType(), 0);

        EXPECT_EQ(exportedTextfieldPasslock(), field);
        delegates.insert(alert->delegate());
    }
    // One delegate class per kind.
    EXPECT_EQ(delegates.size(), 5u);
    EXPECT_EQ(delegates.count(nullptr), 0u);
}

TEST_F(PasslockDialogTest, TheKeyboardComesUpOneSecondAfterTheDialog)
{
    post(kNotificationShowPasslockView);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    UITextField* field = shownAlert()->textFieldAtIndex(0);
    ASSERT_NE(field, nullptr);
    EXPECT_FALSE(field->isFirstResponder());

    runLoopFor(700ms);
    EXPECT_FALSE(field->isFirstResponder());
    ASSERT_TRUE(runLoopUntil([&] { return field->isFirstResponder(); }, 2s));
}

TEST_F(PasslockDialogTest, AnAnswerWithinThatSecondWorks)
{
    writePreferences({ { kPrefPasslock, "1234" } });
    post(kNotificationShowPasslockView);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    ASSERT_TRUE(settle());
    takePosts();

    answer(shownAlert(), "1234", "OK");
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationPasslockOK }));

    // The keyboard's timer still fires, at a field whose dialog is gone.
    runLoopFor(1200ms);
    EXPECT_EQ(alertCount(), 0u);
    EXPECT_EQ(takePosts(), Posts {});
}

TEST_F(PasslockDialogTest, OverlappingDialogsEachReadTheirOwnField)
{
    writePreferences({ { kPrefPasslock, "1234" } });
    post(kNotificationShowPasslockView);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    post(kNotificationShowPasslockView);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 2; }));
    ASSERT_TRUE(settle());
    takePosts();

    auto older = UIApplication::sharedApplication().visibleAlerts().front();
    auto newer = UIApplication::sharedApplication().visibleAlerts().back();
    EXPECT_EQ(exportedTextfieldPasslock(), newer->textFieldAtIndex(0));
    ASSERT_TRUE(UIAutomation::typeText(*older->textFieldAtIndex(0), "1234"));
    ASSERT_TRUE(UIAutomation::typeText(*newer->textFieldAtIndex(0), "0000"));

    ASSERT_TRUE(UIAutomation::tapAlertButton(*older, "OK"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationPasslockOK }));

    ASSERT_TRUE(UIAutomation::tapAlertButton(*newer, "OK"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), (Posts { kNotificationPasslockNOK }));
    EXPECT_EQ(alertCount(), 0u);
}

TEST_F(PasslockDialogTest, TheAnswerIsDecidedByTheButtonsTitleNotItsIndex)
{
    writePreferences({ { kPrefPasslock, "1234" } });
    post(kNotificationShowPasslockView);
    ASSERT_TRUE(runLoopUntil([&] { return alertCount() == 1; }));
    ASSERT_TRUE(settle());
    takePosts();
    UIAlertViewDelegate* checkDelegate = shownAlert()->delegate();
    UIAutomation::tapAlertButton(*shownAlert(), "Cancel");
    ASSERT_TRUE(settle());
    takePosts();

    // The check's delegate answering a dialog whose buttons stand the other way round.
    for (const char* title : { "OK", "Cancel" }) {
        SCOPED_TRACE(title);
        const std::string okFirst = "OK";
        auto reversed = UIAlertView::create("TarvikDNS Passlock", "Please enter your password :", checkDelegate, &okFirst, { "Cancel" });
        reversed->addTextFieldWithValue("1234", "Password");
        reversed->show();
        ASSERT_TRUE(UIAutomation::tapAlertButton(*reversed, title));
        ASSERT_TRUE(settle());
        EXPECT_EQ(takePosts(), (Posts { std::string(title) == "OK" ? kNotificationPasslockOK : kNotificationPasslockCancel }));
    }
}

TEST_F(PasslockDialogTest, AModeOtherThanZeroOneOrTwoShowsNothingAndLogsOneLine)
{
    writePreferences({ { kPrefPasslock, "1234" } });
    UITextField* before = exportedTextfieldPasslock();
    for (long mode : { 3L, -1L }) {
        SCOPED_TRACE(mode);
        log.clear();
        objc_msgSend<void, long>(SpringBoard::application(), sel_registerName("TDNS_ShowPasslockView:"), mode);

        EXPECT_EQ(alertCount(), 0u);
        ASSERT_EQ(log.messages().size(), 1u);
        EXPECT_NE(log.messages().front().find("mode " + std::to_string(mode)), std::string::npos) << log.messages().front();
    }
    EXPECT_EQ(exportedTextfieldPasslock(), before);
    ASSERT_TRUE(settle());
    EXPECT_EQ(takePosts(), Posts {});
}

} // namespace
