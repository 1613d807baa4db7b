#include "NSNotificationCenter.h"
#include "UIAutomation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Observers that record "<observer>: <notification name>" in one shared list.
class NSNotificationCenterTest : public testing::Test {
protected:
    ~NSNotificationCenterTest() override
    {
        for (const auto& observer : observers)
            center.removeObserver(&observer);
    }

    void observe(int observer, const std::string& name, const void* object)
    {
        center.addObserver(&observers[size_t(observer)], [this, observer](const NSNotification& notification) {
            heard.push_back(std::to_string(observer) + ": " + notification.name);
        }, name, object);
    }

    std::vector<std::string> take()
    {
        auto result = heard;
        heard.clear();
        return result;
    }

    NSNotificationCenter& center { NSNotificationCenter::defaultCenter() };
    int observers[4] {};
    int senders[2] {};
    std::vector<std::string> heard;
};

TEST_F(NSNotificationCenterTest, DeliversAtOnceInTheOrderObserversWereAdded)
{
    observe(2, "Changed", nullptr);
    observe(0, "Changed", nullptr);
    observe(1, "Other", nullptr);
    observe(0, "Other", nullptr);
    EXPECT_EQ(center.numberOfObservers("Changed"), 2u);

    center.postNotificationName("Changed", &senders[0]);
    EXPECT_EQ(take(), (std::vector<std::string> { "2: Changed", "0: Changed" }));
    center.postNotificationName("Other", nullptr);
    EXPECT_EQ(take(), (std::vector<std::string> { "1: Other", "0: Other" }));
    center.postNotificationName("Nobody", nullptr);
    EXPECT_TRUE(take().empty());
}

TEST_F(NSNotificationCenterTest, AnObserverOfOneSenderHearsOnlyThatSender)
{
    observe(0, "Changed", &senders[0]);
    observe(1, "Changed", nullptr);

    center.postNotificationName("Changed", &senders[1]);
    EXPECT_EQ(take(), std::vector<std::string> { "1: Changed" });
    center.postNotificationName("Changed", &senders[0]);
    EXPECT_EQ(take(), (std::vector<std::string> { "0: Changed", "1: Changed" }));
}

TEST_F(NSNotificationCenterTest, RemovingAnObserverByNameAndSenderOrAltogether)
{
    observe(0, "Changed", &senders[0]);
    observe(0, "Changed", &senders[1]);
    observe(0, "Other", nullptr);
    observe(1, "Changed", nullptr);

    center.removeObserver(&observers[0], "Changed", &senders[0]);
    center.postNotificationName("Changed", &senders[0]);
    center.postNotificationName("Changed", &senders[1]);
    EXPECT_EQ(take(), (std::vector<std::string> { "1: Changed", "0: Changed", "1: Changed" }));

    center.removeObserver(&observers[0], "Changed", nullptr);
    center.postNotificationName("Changed", &senders[1]);
    center.postNotificationName("Other", nullptr);
    EXPECT_EQ(take(), (std::vector<std::string> { "1: Changed", "0: Other" }));

    center.removeObserver(&observers[1]);
    center.postNotificationName("Changed", &senders[1]);
    center.postNotificationName("Other", nullptr);
    EXPECT_EQ(take(), std::vector<std::string> { "0: Other" });
    EXPECT_EQ(center.numberOfObservers("Changed"), 0u);
}

TEST_F(NSNotificationCenterTest, AnObserverRemovedByAnEarlierOneHearsNothingMore)
{
    center.addObserver(&observers[0], [this](const NSNotification&) {
        heard.push_back("0 removes 1");
        center.removeObserver(&observers[1]);
    }, "Changed", nullptr);
    observe(1, "Changed", nullptr);

    center.postNotificationName("Changed", nullptr);
    EXPECT_EQ(take(), std::vector<std::string> { "0 removes 1" });
}

TEST_F(NSNotificationCenterTest, TheKeyboardAnnouncesItselfThroughTheDefaultCenter)
{
    observe(0, UIKeyboardDidShowNotification, nullptr);
    observe(1, UIKeyboardWillHideNotification, nullptr);
    UIAutomation::showKeyboard();
    UIAutomation::hideKeyboard();
    EXPECT_EQ(take(), (std::vector<std::string> { "0: UIKeyboardDidShowNotification", "1: UIKeyboardWillHideNotification" }));
}

} // namespace
