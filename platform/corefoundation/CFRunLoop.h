#pragma once

#include "CFRunLoopSource.h"
#include "CFRunLoopTimer.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <vector>

// The run loop of one thread, on poll(2): file-descriptor sources, timers, and deferred calls. Each turn
// polls the sources and a wake pipe, with the timeout of the earliest timer (none: wait for ever),
// turns ready sources and due timers into queued calls, then runs the calls that were queued before the
// turn began; a call queued while the queue runs waits for the next turn.
class CFRunLoop {
public:
    using Clock = std::chrono::steady_clock;

    CFRunLoop();
    ~CFRunLoop();

    CFRunLoop(const CFRunLoop&) = delete;
    CFRunLoop& operator=(const CFRunLoop&) = delete;

    void addSource(const CFRunLoopSourceRef& source);
    void removeSource(const CFRunLoopSourceRef& source);
    bool containsSource(const CFRunLoopSourceRef& source) const;
    void addTimer(const CFRunLoopTimerRef& timer);
    // Thread-safe; a call queued from another thread needs a wakeUp() to be seen by a waiting run.
    void performBlock(std::function<void()> block);

    enum class RunResult { Finished = 1, Stopped = 2, TimedOut = 3, HandledSource = 4 };

    // Runs turns until stopped, until nothing is left to wait for (no source, no valid timer, no queued
    // call), or until the deadline passes; with returnAfterSourceHandled, after the first turn that ran
    // anything.
    RunResult run(std::optional<Clock::time_point> deadline, bool returnAfterSourceHandled);

    // Runs turns without waiting until a turn finds nothing to do or `limit` has passed. For tests.
    void runUntilIdle(Clock::duration limit);

    // Thread-safe and signal-safe: ends the innermost run at its next turn.
    void stop();
    void wakeUp();

    // Forgets every source, timer and queued call. For tests that reuse a thread.
    void reset();

private:
    // One turn; true when it ran at least one call.
    bool runOneTurn(std::optional<Clock::time_point> deadline, bool mayWait);
    bool hasWorkToWaitFor() const;
    std::optional<Clock::time_point> earliestTimerFireDate();
    void queueDueTimers(Clock::time_point now);
    void drainWakePipe();

    struct ScheduledTimer {
        Clock::time_point fireDate;
        std::uint64_t order;
        CFRunLoopTimerRef timer;
        bool operator>(const ScheduledTimer& other) const
        {
            return fireDate != other.fireDate ? fireDate > other.fireDate : order > other.order;
        }
    };

    void scheduleTimer(const CFRunLoopTimerRef& timer);
    bool isCurrentEntry(const ScheduledTimer& entry) const;

    std::vector<CFRunLoopSourceRef> sources;
    // What one turn polls, kept from turn to turn so that a turn allocates nothing.
    std::vector<pollfd> polledDescriptors;
    std::vector<CFRunLoopSourceRef> polledSources;
    // A min-heap on the fire date (std::push_heap with std::greater); a vector so it can be searched.
    std::vector<ScheduledTimer> timers;
    std::uint64_t timerOrder { 0 };
    // Guards only the queue: other threads may queue calls.
    mutable std::mutex queueLock;
    std::vector<std::function<void()>> queue;
    // Counts resets, so that a reset from inside a call drops the rest of the calls of that turn.
    std::uint64_t generation { 0 };
    int wakePipe[2] { -1, -1 };
    // Both lock-free, so a signal handler may set the one and read the other: a stop asked while the
    // loop waits in poll() wakes it; one asked at any other time is seen before the next wait.
    std::atomic<int> stopRequested { 0 };
    std::atomic<bool> waiting { false };
};

using CFRunLoopRef = CFRunLoop*;
using CFRunLoopMode = const char*;

inline constexpr CFRunLoopMode kCFRunLoopDefaultMode = "kCFRunLoopDefaultMode";
inline constexpr CFRunLoopMode kCFRunLoopCommonModes = "kCFRunLoopCommonModes";

enum CFRunLoopRunResult {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4,
};

// The platform's operations. Modes are accepted and all behave as the common modes.
CFRunLoopRef CFRunLoopGetCurrent();
CFRunLoopRef CFRunLoopGetMain();
void CFRunLoopRun();
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, double seconds, bool returnAfterSourceHandled);
void CFRunLoopStop(CFRunLoopRef runLoop);
void CFRunLoopWakeUp(CFRunLoopRef runLoop);
void CFRunLoopAddSource(CFRunLoopRef runLoop, const CFRunLoopSourceRef& source, CFRunLoopMode mode);
void CFRunLoopRemoveSource(CFRunLoopRef runLoop, const CFRunLoopSourceRef& source, CFRunLoopMode mode);
bool CFRunLoopContainsSource(CFRunLoopRef runLoop, const CFRunLoopSourceRef& source, CFRunLoopMode mode);
void CFRunLoopAddTimer(CFRunLoopRef runLoop, const CFRunLoopTimerRef& timer, CFRunLoopMode mode);
void CFRunLoopPerformBlock(CFRunLoopRef runLoop, CFRunLoopMode mode, std::function<void()> block);
