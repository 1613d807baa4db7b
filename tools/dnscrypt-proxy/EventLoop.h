#pragma once

#include "FileDescriptor.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The proxy's event loop, on epoll: descriptors watched for input and output, one-shot timers, and
// SIGTERM and SIGINT, which end the run. Handlers run one at a time on the loop's thread; a handler may
// watch, unwatch or close any descriptor, its own included, and add or cancel timers.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Handler = std::function<void(std::uint32_t events)>;
    using TimerID = std::uint64_t;

    EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Watches the descriptor for the epoll events given (EPOLLIN, EPOLLOUT), or changes what it is
    // watched for and by whom.
    void watch(int descriptor, std::uint32_t events, Handler handler);
    void changeEvents(int descriptor, std::uint32_t events);
    void unwatch(int descriptor);

    TimerID addTimer(Clock::time_point fireDate, std::function<void()> fire);
    void cancelTimer(TimerID timer);

    // Destroys the object on the next turn, after the handler that lets it go has returned.
    template<typename Object>
    void releaseLater(std::unique_ptr<Object> object)
    {
        if (object)
            addTimer(Clock::now(), [released = std::shared_ptr<Object>(std::move(object))] { });
    }

    // Runs until a termination signal or stop().
    void run();
    void stop() { stopped = true; }

private:
    void runDueTimers();
    int waitMilliseconds();

    struct Timer {
        Clock::time_point fireDate;
        TimerID id;
        bool operator>(const Timer& other) const { return fireDate != other.fireDate ? fireDate > other.fireDate : id > other.id; }
    };

    FileDescriptor epoll;
    FileDescriptor signals;
    std::unordered_map<int, Handler> handlers;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
    std::unordered_map<TimerID, std::function<void()>> timerCalls;
    TimerID nextTimer { 1 };
    bool stopped { false };
};
