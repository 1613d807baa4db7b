#include "UIKitTestFixture.h"

#include "NSTimer.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using NSTimerTest = UIKitTest;

TEST_F(NSTimerTest, AOneShotTimerFiresOnceOnTheRunLoopAndLetsGoOfItsTarget)
{
    int fired = 0;
    auto target = std::make_shared<int>(0);
    std::weak_ptr<int> heldTarget = target;
    auto timer = NSTimer::scheduledTimerWithTimeInterval(0.01, [&fired, target] { ++fired; }, false);
    target.reset();
    EXPECT_TRUE(timer->isValid());
    EXPECT_EQ(fired, 0) << "the timer fired before the run loop ran";
    EXPECT_FALSE(heldTarget.expired()) << "the timer does not hold its target";

    ASSERT_TRUE(runLoopUntil([&] { return fired > 0; }));
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(heldTarget.expired()) << "a fired timer still holds its target";

    // A later timer firing shows that the first did not fire again meanwhile.
    bool later = false;
    NSTimer::scheduledTimerWithTimeInterval(0.03, [&later] { later = true; }, false);
    ASSERT_TRUE(runLoopUntil([&] { return later; }));
    EXPECT_EQ(fired, 1);
}

TEST_F(NSTimerTest, AnInvalidatedTimerNeverFires)
{
    bool fired = false;
    auto target = std::make_shared<int>(0);
    std::weak_ptr<int> heldTarget = target;
    auto timer = NSTimer::scheduledTimerWithTimeInterval(0.01, [&fired, target] { fired = true; }, false);
    target.reset();
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(heldTarget.expired()) << "an invalidated timer still holds its target";

    bool later = false;
    NSTimer::scheduledTimerWithTimeInterval(0.03, [&later] { later = true; }, false);
    ASSERT_TRUE(runLoopUntil([&] { return later; }));
    EXPECT_FALSE(fired);
}

TEST_F(NSTimerTest, ARepeatingTimerFiresUntilItIsInvalidated)
{
    int fired = 0;
    std::shared_ptr<NSTimer> timer;
    timer = NSTimer::scheduledTimerWithTimeInterval(0.005, [&] {
        if (++fired == 3)
            timer->invalidate();
    }, true);
    ASSERT_TRUE(runLoopUntil([&] { return fired == 3; }));
    EXPECT_FALSE(timer->isValid());

    bool later = false;
    NSTimer::scheduledTimerWithTimeInterval(0.03, [&later] { later = true; }, false);
    ASSERT_TRUE(runLoopUntil([&] { return later; }));
    EXPECT_EQ(fired, 3);
}

} // namespace
