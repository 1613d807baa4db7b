#include "CFRunLoop.h"
#include "TerminationSignals.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = CFRunLoop::Clock;

class CFRunLoopTest : public testing::Test {
protected:
    CFRunLoopTest() { CFRunLoopGetCurrent()->reset(); }
    ~CFRunLoopTest() override { CFRunLoopGetCurrent()->reset(); }

    CFRunLoopTimerRef timerAt(Clock::time_point fireDate, std::string label)
    {
        return std::make_shared<CFRunLoopTimer>(fireDate, Clock::duration::zero(),
                                                [this, label] { events.push_back(label); });
    }

    std::vector<std::string> events;
};

// A pipe whose read end is a run-loop source; the source reads what was written and records it.
class Pipe {
public:
    Pipe()
    {
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            ADD_FAILURE() << "cannot make a pipe";
    }
    ~Pipe()
    {
        close(ends[0]);
        close(ends[1]);
    }
    void write(const std::string& text) { ASSERT_EQ(::write(ends[1], text.data(), text.size()), ssize_t(text.size())); }
    std::string readAll()
    {
        std::string text;
        char buffer[64];
        ssize_t count;
        while ((count = ::read(ends[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, size_t(count));
        return text;
    }
    int readEnd() const { return ends[0]; }

private:
    int ends[2] { -1, -1 };
};

TEST_F(CFRunLoopTest, DeferredCallRunsOnTheNextTurnNotInsideTheCallThatQueuedIt)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopPerformBlock(runLoop, kCFRunLoopDefaultMode, [&] {
        events.push_back("first begins");
        CFRunLoopPerformBlock(runLoop, kCFRunLoopDefaultMode, [&] { events.push_back("second"); });
        events.push_back("first ends");
    });
    EXPECT_TRUE(events.empty()) << "a deferred call ran at once";

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(events, (std::vector<std::string> { "first begins", "first ends" }));

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(events, (std::vector<std::string> { "first begins", "first ends", "second" }));

    // Nothing left: the run ends at once.
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true), kCFRunLoopRunFinished);
}

TEST_F(CFRunLoopTest, RunUntilIdleRunsDeferredCallsQueuedByDeferredCalls)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    int remaining = 5;
    std::function<void()> step = [&] {
        events.push_back(std::to_string(remaining));
        if (--remaining > 0)
            runLoop->performBlock(step);
    };
    runLoop->performBlock(step);
    runLoop->runUntilIdle(10s);
    EXPECT_EQ(events, (std::vector<std::string> { "5", "4", "3", "2", "1" }));
}

TEST_F(CFRunLoopTest, TimersFireInOrderOfFireDateAndEqualDatesInOrderAdded)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    auto now = Clock::now();
    runLoop->addTimer(timerAt(now + 30ms, "third"));
    runLoop->addTimer(timerAt(now + 10ms, "first"));
    runLoop->addTimer(timerAt(now + 20ms, "second, added first"));
    runLoop->addTimer(timerAt(now + 20ms, "second, added next"));
    runLoop->addTimer(timerAt(now - 1s, "already due"));

    CFRunLoopRun();
    EXPECT_EQ(events, (std::vector<std::string> { "already due", "first", "second, added first",
                                                  "second, added next", "third" }));
}

TEST_F(CFRunLoopTest, OneShotTimerFiresOnceAndIsThenInvalid)
{
    int fired = 0;
    auto timer = CFRunLoopTimer::create(0.001, 0, [&] { ++fired; });
    EXPECT_FALSE(timer->repeats());
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    CFRunLoopRun();
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->isValid());
}

TEST_F(CFRunLoopTest, RepeatingTimerFiresUntilInvalidated)
{
    int fired = 0;
    CFRunLoopTimerRef timer;
    timer = CFRunLoopTimer::create(0.001, 0.002, [&] {
        if (++fired == 3)
            CFRunLoopTimerInvalidate(timer);
    });
    EXPECT_TRUE(timer->repeats());
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopCommonModes);
    // Returns only once the invalidated timer leaves nothing to wait for.
    CFRunLoopRun();
    EXPECT_EQ(fired, 3);
    timer.reset();
}

TEST_F(CFRunLoopTest, RepeatingTimerKeepsItsScheduleAndSkipsMissedDates)
{
    auto start = Clock::now();
    int fired = 0;
    CFRunLoopTimer timer(start, 10ms, [&] { ++fired; });

    timer.fireAt(start + 3ms);
    EXPECT_EQ(timer.fireDate(), start + 10ms) << "the next date follows the previous date, not the late firing";

    timer.fireAt(start + 45ms);
    EXPECT_EQ(timer.fireDate(), start + 50ms) << "dates missed meanwhile are skipped";

    timer.fireAt(start + 60ms);
    EXPECT_EQ(timer.fireDate(), start + 70ms) << "a firing exactly on a later date counts that date as missed";
    EXPECT_EQ(fired, 3);

    timer.invalidate();
    timer.fireAt(start + 70ms);
    EXPECT_EQ(fired, 3);
}

TEST_F(CFRunLoopTest, InvalidatedTimerNeverFires)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    auto now = Clock::now();

    auto invalidatedBeforeRun = timerAt(now, "invalidated before the run");
    runLoop->addTimer(invalidatedBeforeRun);
    CFRunLoopTimerInvalidate(invalidatedBeforeRun);

    // Both are due in the same turn; the first invalidates the second before its queued call runs.
    auto victim = timerAt(now - 1ms, "invalidated by an earlier timer of its turn");
    runLoop->addTimer(std::make_shared<CFRunLoopTimer>(now - 2ms, Clock::duration::zero(), [&] {
        events.push_back("invalidator");
        victim->invalidate();
    }));
    runLoop->addTimer(victim);

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, false), kCFRunLoopRunFinished);
    EXPECT_EQ(events, (std::vector<std::string> { "invalidator" }));
}

TEST_F(CFRunLoopTest, ReadableSourceIsPerformed)
{
    Pipe pipe;
    std::string received;
    auto source = CFRunLoopSource::create(pipe.readEnd(), [&] { received += pipe.readAll(); });
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(runLoop, source, kCFRunLoopDefaultMode);
    EXPECT_TRUE(CFRunLoopContainsSource(runLoop, source, kCFRunLoopDefaultMode));

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunTimedOut);
    EXPECT_EQ(received, "");

    // Written from another thread while the loop waits.
    std::thread writer([&] {
        std::this_thread::sleep_for(10ms);
        pipe.write("ping");
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true), kCFRunLoopRunHandledSource);
    writer.join();
    EXPECT_EQ(received, "ping");

    CFRunLoopRemoveSource(runLoop, source, kCFRunLoopDefaultMode);
    EXPECT_FALSE(CFRunLoopContainsSource(runLoop, source, kCFRunLoopDefaultMode));
}

TEST_F(CFRunLoopTest, RemovedOrInvalidatedSourceIsNotPerformed)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    Pipe first, second, third;
    CFRunLoopSourceRef secondSource, thirdSource;
    auto firstSource = CFRunLoopSource::create(first.readEnd(), [&] {
        events.push_back("first");
        first.readAll();
        // Both others are ready in this same turn; neither may be performed now.
        runLoop->removeSource(secondSource);
        thirdSource->invalidate();
    });
    secondSource = CFRunLoopSource::create(second.readEnd(), [&] { events.push_back("second"); });
    thirdSource = CFRunLoopSource::create(third.readEnd(), [&] { events.push_back("third"); });
    runLoop->addSource(firstSource);
    runLoop->addSource(secondSource);
    runLoop->addSource(thirdSource);
    first.write("x");
    second.write("x");
    third.write("x");

    runLoop->runUntilIdle(1s);
    EXPECT_EQ(events, (std::vector<std::string> { "first" }));
    EXPECT_FALSE(runLoop->containsSource(secondSource));
    EXPECT_TRUE(runLoop->containsSource(thirdSource)) << "an invalidated source stays until removed";

    // The remaining valid source is not readable any more; the invalid one counts for nothing.
    runLoop->removeSource(firstSource);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, false), kCFRunLoopRunFinished);
    EXPECT_EQ(events, (std::vector<std::string> { "first" }));
}

TEST_F(CFRunLoopTest, RunReturnsWhenNothingIsLeftToWaitFor)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopRun();
    EXPECT_TRUE(events.empty());

    runLoop->performBlock([&] {
        events.push_back("call");
        runLoop->addTimer(CFRunLoopTimer::create(0.005, 0, [&] { events.push_back("timer"); }));
    });
    CFRunLoopRun();
    EXPECT_EQ(events, (std::vector<std::string> { "call", "timer" }));
}

TEST_F(CFRunLoopTest, StopFromInsideACallEndsTheRun)
{
    int fired = 0;
    auto timer = CFRunLoopTimer::create(0, 0.001, [&] {
        if (++fired == 2)
            CFRunLoopStop(CFRunLoopGetCurrent());
    });
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
    EXPECT_EQ(fired, 2);
    EXPECT_TRUE(timer->isValid()) << "stopping does not touch the timers";
}

TEST_F(CFRunLoopTest, StopEndsOnlyTheInnermostOfNestedRuns)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    auto keepAlive = CFRunLoopTimer::create(60, 60, [] { });
    runLoop->addTimer(keepAlive);
    runLoop->performBlock([&] {
        events.push_back("outer call");
        runLoop->performBlock([&] {
            events.push_back("inner call");
            runLoop->stop();
        });
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
        events.push_back("inner run returned");
        runLoop->performBlock([&] { runLoop->stop(); });
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
    EXPECT_EQ(events, (std::vector<std::string> { "outer call", "inner call", "inner run returned" }));
}

TEST_F(CFRunLoopTest, RunInModeTimesOutWhenNothingHappens)
{
    Pipe quiet;
    auto source = CFRunLoopSource::create(quiet.readEnd(), [&] { events.push_back("source"); });
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), CFRunLoopTimer::create(60, 0, [&] { events.push_back("timer"); }),
                      kCFRunLoopDefaultMode);

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.02, true), kCFRunLoopRunTimedOut);
    EXPECT_TRUE(events.empty());
}

TEST_F(CFRunLoopTest, ResetForgetsSourcesTimersAndQueuedCalls)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    Pipe pipe;
    runLoop->addSource(CFRunLoopSource::create(pipe.readEnd(), [&] { events.push_back("source"); }));
    runLoop->addTimer(CFRunLoopTimer::create(0, 0, [&] { events.push_back("timer"); }));
    runLoop->performBlock([&] { events.push_back("call"); });
    pipe.write("x");
    runLoop->stop();

    runLoop->reset();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, false), kCFRunLoopRunFinished)
        << "neither work nor an earlier stop survives a reset";
    EXPECT_TRUE(events.empty());
}

class TerminationSignalTest : public CFRunLoopTest {
protected:
    ~TerminationSignalTest() override
    {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
    }
};

TEST_F(TerminationSignalTest, SignalRaisedInsideACallStopsTheRun)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopStopOnTerminationSignals(runLoop);
    runLoop->addTimer(CFRunLoopTimer::create(60, 0, [] { }));
    runLoop->performBlock([] { std::raise(SIGTERM); });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
}

TEST_F(TerminationSignalTest, SignalFromAnotherThreadWakesAWaitingRun)
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopStopOnTerminationSignals(runLoop);
    runLoop->addTimer(CFRunLoopTimer::create(60, 0, [] { }));
    std::thread sender([] {
        std::this_thread::sleep_for(20ms);
        kill(getpid(), SIGINT);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
    sender.join();
}

TEST(CFRunLoopThreadTest, EachThreadHasItsOwnRunLoopAndTheMainOneIsShared)
{
    CFRunLoopRef mainRunLoop = CFRunLoopGetCurrent();
    EXPECT_EQ(CFRunLoopGetMain(), mainRunLoop);
    CFRunLoopRef otherCurrent = nullptr;
    CFRunLoopRef otherMain = nullptr;
    std::thread other([&] {
        otherCurrent = CFRunLoopGetCurrent();
        otherMain = CFRunLoopGetMain();
        EXPECT_EQ(CFRunLoopGetCurrent(), otherCurrent);
    });
    other.join();
    EXPECT_NE(otherCurrent, mainRunLoop);
    EXPECT_EQ(otherMain, mainRunLoop);
}

TEST(CFRunLoopThreadTest, CallQueuedFromAnotherThreadRunsOnTheOwningThread)
{
    CFRunLoop runLoop;
    std::thread::id ranOn;
    auto keepAlive = CFRunLoopTimer::create(60, 0, [] { });
    runLoop.addTimer(keepAlive);
    std::thread other([&] {
        std::this_thread::sleep_for(10ms);
        runLoop.performBlock([&] { ranOn = std::this_thread::get_id(); });
        runLoop.wakeUp();
    });
    EXPECT_EQ(runLoop.run(Clock::now() + 30s, true), CFRunLoop::RunResult::HandledSource);
    other.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

} // namespace
