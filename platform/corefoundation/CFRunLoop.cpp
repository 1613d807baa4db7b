#include "CFRunLoop.h"

#include "CurrentProcess.h"
#include "NSLog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <utility>

CFRunLoop::CFRunLoop()
{
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        NSLog("CFRunLoop: cannot make a wake pipe: %@", std::strerror(errno));
        wakePipe[0] = wakePipe[1] = -1;
    }
}

CFRunLoop::~CFRunLoop()
{
    for (int descriptor : wakePipe) {
        if (descriptor >= 0)
            close(descriptor);
    }
}

void CFRunLoop::addSource(const CFRunLoopSourceRef& source)
{
    if (!source || containsSource(source))
        return;
    sources.push_back(source);
}

void CFRunLoop::removeSource(const CFRunLoopSourceRef& source)
{
    std::erase(sources, source);
}

bool CFRunLoop::containsSource(const CFRunLoopSourceRef& source) const
{
    return std::find(sources.begin(), sources.end(), source) != sources.end();
}

void CFRunLoop::addTimer(const CFRunLoopTimerRef& timer)
{
    if (!timer || !timer->isValid())
        return;
    bool alreadyScheduled = std::any_of(timers.begin(), timers.end(), [&](const ScheduledTimer& entry) {
        return entry.timer == timer && isCurrentEntry(entry);
    });
    if (!alreadyScheduled)
        scheduleTimer(timer);
}

void CFRunLoop::scheduleTimer(const CFRunLoopTimerRef& timer)
{
    timers.push_back({ timer->fireDate(), timerOrder++, timer });
    std::push_heap(timers.begin(), timers.end(), std::greater<> {});
}

// An entry is out of date once its timer is invalid or has moved to another fire date.
bool CFRunLoop::isCurrentEntry(const ScheduledTimer& entry) const
{
    return entry.timer->isValid() && entry.timer->fireDate() == entry.fireDate;
}

void CFRunLoop::performBlock(std::function<void()> block)
{
    if (!block)
        return;
    std::lock_guard guard(queueLock);
    queue.push_back(std::move(block));
}

CFRunLoop::RunResult CFRunLoop::run(std::optional<Clock::time_point> deadline, bool returnAfterSourceHandled)
{
    for (;;) {
        if (stopRequested) {
            stopRequested = 0;
            return RunResult::Stopped;
        }
        if (!hasWorkToWaitFor())
            return RunResult::Finished;
        bool ranSomething = runOneTurn(deadline, true);
        if (stopRequested) {
            stopRequested = 0;
            return RunResult::Stopped;
        }
        if (ranSomething && returnAfterSourceHandled)
            return RunResult::HandledSource;
        if (deadline && Clock::now() >= *deadline)
            return RunResult::TimedOut;
    }
}

void CFRunLoop::runUntilIdle(Clock::duration limit)
{
    auto deadline = Clock::now() + limit;
    while (runOneTurn(std::nullopt, false)) {
        if (Clock::now() >= deadline)
            return;
    }
}

void CFRunLoop::stop()
{
    stopRequested = 1;
    if (waiting)
        wakeUp();
}

void CFRunLoop::wakeUp()
{
    if (wakePipe[1] < 0)
        return;
    char byte = 0;
    // A full pipe already wakes the loop; nothing else can go wrong that the loop could act on.
    [[maybe_unused]] ssize_t written = write(wakePipe[1], &byte, 1);
}

void CFRunLoop::reset()
{
    // Whatever the forgotten calls and timers hold is released at the end, once the loop is clean.
    auto forgottenSources = std::move(sources);
    auto forgottenTimers = std::move(timers);
    std::vector<std::function<void()>> forgottenCalls;
    {
        std::lock_guard guard(queueLock);
        forgottenCalls.swap(queue);
    }
    sources.clear();
    timers.clear();
    ++generation;
    stopRequested = 0;
    drainWakePipe();
}

bool CFRunLoop::hasWorkToWaitFor() const
{
    {
        std::lock_guard guard(queueLock);
        if (!queue.empty())
            return true;
    }
    if (std::any_of(sources.begin(), sources.end(), [](const auto& source) { return source->isValid(); }))
        return true;
    return std::any_of(timers.begin(), timers.end(), [this](const auto& entry) { return isCurrentEntry(entry); });
}

std::optional<CFRunLoop::Clock::time_point> CFRunLoop::earliestTimerFireDate()
{
    while (!timers.empty() && !isCurrentEntry(timers.front())) {
        std::pop_heap(timers.begin(), timers.end(), std::greater<> {});
        timers.pop_back();
    }
    if (timers.empty())
        return std::nullopt;
    return timers.front().fireDate;
}

void CFRunLoop::queueDueTimers(Clock::time_point now)
{
    std::vector<std::function<void()>> calls;
    while (!timers.empty() && timers.front().fireDate <= now) {
        std::pop_heap(timers.begin(), timers.end(), std::greater<> {});
        ScheduledTimer entry = std::move(timers.back());
        timers.pop_back();
        if (!isCurrentEntry(entry))
            continue;
        calls.push_back([this, timer = entry.timer, fireDate = entry.fireDate, turnGeneration = generation] {
            if (!timer->isValid() || timer->fireDate() != fireDate)
                return;
            timer->fireAt(Clock::now());
            // A repeating timer goes back on the loop unless its call invalidated it or reset the loop.
            if (timer->isValid() && generation == turnGeneration)
                addTimer(timer);
        });
    }
    std::lock_guard guard(queueLock);
    for (auto& call : calls)
        queue.push_back(std::move(call));
}

void CFRunLoop::drainWakePipe()
{
    if (wakePipe[0] < 0)
        return;
    char buffer[64];
    for (;;) {
        ssize_t count = read(wakePipe[0], buffer, sizeof buffer);
        // A read that does not fill the buffer has emptied the pipe.
        if (count == static_cast<ssize_t>(sizeof buffer) || (count < 0 && errno == EINTR))
            continue;
        return;
    }
}

namespace {

int pollTimeout(std::optional<CFRunLoop::Clock::time_point> wakeAt)
{
    if (!wakeAt)
        return -1;
    auto now = CFRunLoop::Clock::now();
    if (*wakeAt <= now)
        return 0;
    // Rounded up, so that the loop never wakes just before a timer is due and spins.
    auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count();
    return static_cast<int>(std::min<long long>(milliseconds, INT_MAX));
}

} // namespace

bool CFRunLoop::runOneTurn(std::optional<Clock::time_point> deadline, bool mayWait)
{
    bool hasQueuedCalls = false;
    {
        std::lock_guard guard(queueLock);
        hasQueuedCalls = !queue.empty();
    }

    int timeout = 0;
    if (mayWait && !hasQueuedCalls && !stopRequested) {
        auto wakeAt = earliestTimerFireDate();
        if (deadline && (!wakeAt || *deadline < *wakeAt))
            wakeAt = deadline;
        timeout = pollTimeout(wakeAt);
    }

    auto& descriptors = polledDescriptors;
    descriptors.assign(1, { wakePipe[0], POLLIN, 0 });
    polledSources.clear();
    for (const auto& source : sources) {
        if (!source->isValid() || source->fileDescriptor() < 0)
            continue;
        descriptors.push_back({ source->fileDescriptor(), POLLIN, 0 });
        polledSources.push_back(source);
    }

    waiting = timeout != 0;
    if (waiting && stopRequested)
        timeout = 0;
    int readyCount = poll(descriptors.data(), descriptors.size(), timeout);
    waiting = false;
    if (readyCount < 0) {
        if (errno != EINTR)
            NSLog("CFRunLoop: poll failed: %@", std::strerror(errno));
        readyCount = 0;
    }

    if (readyCount > 0) {
        if (descriptors[0].revents != 0)
            drainWakePipe();
        std::lock_guard guard(queueLock);
        for (size_t index = 0; index < polledSources.size(); ++index) {
            short events = descriptors[index + 1].revents;
            const auto& source = polledSources[index];
            if (events & POLLNVAL) {
                // Its descriptor was closed behind its back: it can never be read again.
                source->invalidate();
                continue;
            }
            if (!(events & (POLLIN | POLLHUP | POLLERR)))
                continue;
            queue.push_back([this, source] {
                if (source->isValid() && containsSource(source))
                    source->signal();
            });
        }
    }

    queueDueTimers(Clock::now());

    std::vector<std::function<void()>> calls;
    {
        std::lock_guard guard(queueLock);
        calls.swap(queue);
    }
    std::uint64_t turnGeneration = generation;
    for (auto& call : calls) {
        if (generation != turnGeneration)
            break;
        call();
    }
    return !calls.empty();
}

CFRunLoopRef CFRunLoopGetMain()
{
    // Never destroyed: code running at exit may still reach the main run loop.
    static CFRunLoop* const mainRunLoop = new CFRunLoop;
    return mainRunLoop;
}

CFRunLoopRef CFRunLoopGetCurrent()
{
    if (CurrentProcess::isMainThread())
        return CFRunLoopGetMain();
    thread_local std::unique_ptr<CFRunLoop> threadRunLoop;
    if (!threadRunLoop)
        threadRunLoop = std::make_unique<CFRunLoop>();
    return threadRunLoop.get();
}

void CFRunLoopRun()
{
    CFRunLoopGetCurrent()->run(std::nullopt, false);
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode, double seconds, bool returnAfterSourceHandled)
{
    constexpr double longest = 1e9;
    double clamped = seconds > 0 ? std::min(seconds, longest) : 0;
    auto deadline = CFRunLoop::Clock::now()
        + std::chrono::duration_cast<CFRunLoop::Clock::duration>(std::chrono::duration<double>(clamped));
    switch (CFRunLoopGetCurrent()->run(deadline, returnAfterSourceHandled)) {
    case CFRunLoop::RunResult::Finished:
        return kCFRunLoopRunFinished;
    case CFRunLoop::RunResult::Stopped:
        return kCFRunLoopRunStopped;
    case CFRunLoop::RunResult::TimedOut:
        return kCFRunLoopRunTimedOut;
    case CFRunLoop::RunResult::HandledSource:
        return kCFRunLoopRunHandledSource;
    }
    return kCFRunLoopRunFinished;
}

void CFRunLoopStop(CFRunLoopRef runLoop)
{
    if (runLoop)
        runLoop->stop();
}

void CFRunLoopWakeUp(CFRunLoopRef runLoop)
{
    if (runLoop)
        runLoop->wakeUp();
}

void CFRunLoopAddSource(CFRunLoopRef runLoop, const CFRunLoopSourceRef& source, CFRunLoopMode)
{
    if (runLoop)
        runLoop->addSource(source);
}

void CFRunLoopRemoveSource(CFRunLoopRef runLoop, const CFRunLoopSourceRef& source, CFRunLoopMode)
{
    if (runLoop)
        runLoop->removeSource(source);
}

bool CFRunLoopContainsSource(CFRunLoopRef runLoop, const CFRunLoopSourceRef& source, CFRunLoopMode)
{
    return runLoop && runLoop->containsSource(source);
}

void CFRunLoopAddTimer(CFRunLoopRef runLoop, const CFRunLoopTimerRef& timer, CFRunLoopMode)
{
    if (runLoop)
        runLoop->addTimer(timer);
}

void CFRunLoopPerformBlock(CFRunLoopRef runLoop, CFRunLoopMode, std::function<void()> block)
{
    if (runLoop)
        runLoop->performBlock(std::move(block));
}
