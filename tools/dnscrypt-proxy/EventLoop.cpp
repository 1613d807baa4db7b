#include "EventLoop.h"

#include <cerrno>
#include <csignal>
#include <sys/epoll.h>
#include <sys/signalfd.h>

EventLoop::EventLoop()
    : epoll(epoll_create1(EPOLL_CLOEXEC))
{
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGINT);
    sigprocmask(SIG_BLOCK, &termination, nullptr);
    signals.reset(signalfd(-1, &termination, SFD_CLOEXEC | SFD_NONBLOCK));
    watch(signals.get(), EPOLLIN, [this](std::uint32_t) { stopped = true; });
}

void EventLoop::watch(int descriptor, std::uint32_t events, Handler handler)
{
    epoll_event event {};
    event.events = events;
    event.data.fd = descriptor;
    bool known = handlers.contains(descriptor);
    handlers[descriptor] = std::move(handler);
    epoll_ctl(epoll.get(), known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, descriptor, &event);
}

void EventLoop::changeEvents(int descriptor, std::uint32_t events)
{
    epoll_event event {};
    event.events = events;
    event.data.fd = descriptor;
    epoll_ctl(epoll.get(), EPOLL_CTL_MOD, descriptor, &event);
}

void EventLoop::unwatch(int descriptor)
{
    if (handlers.erase(descriptor))
        epoll_ctl(epoll.get(), EPOLL_CTL_DEL, descriptor, nullptr);
}

EventLoop::TimerID EventLoop::addTimer(Clock::time_point fireDate, std::function<void()> fire)
{
    TimerID id = nextTimer++;
    timers.push({ fireDate, id });
    timerCalls.emplace(id, std::move(fire));
    return id;
}

void EventLoop::cancelTimer(TimerID timer)
{
    timerCalls.erase(timer);
}

void EventLoop::run()
{
    constexpr int batch = 64;
    epoll_event events[batch];
    while (!stopped) {
        int ready = epoll_wait(epoll.get(), events, batch, waitMilliseconds());
        if (ready < 0 && errno != EINTR)
            return;
        for (int index = 0; index < ready && !stopped; ++index) {
            // Looked up at each event: an earlier handler of this batch may have unwatched it.
            auto handler = handlers.find(events[index].data.fd);
            if (handler == handlers.end())
                continue;
            auto call = handler->second;
            call(events[index].events);
        }
        runDueTimers();
    }
}

void EventLoop::runDueTimers()
{
    auto now = Clock::now();
    while (!timers.empty() && timers.top().fireDate <= now && !stopped) {
        auto id = timers.top().id;
        timers.pop();
        auto call = timerCalls.find(id);
        if (call == timerCalls.end())
            continue;
        auto fire = std::move(call->second);
        timerCalls.erase(call);
        fire();
    }
}

int EventLoop::waitMilliseconds()
{
    while (!timers.empty() && !timerCalls.contains(timers.top().id))
        timers.pop();
    if (timers.empty())
        return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(timers.top().fireDate - Clock::now()).count();
    return wait < 0 ? 0 : static_cast<int>(std::min<long long>(wait, 60'000));
}
