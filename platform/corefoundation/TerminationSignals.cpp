#include "TerminationSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

std::atomic<CFRunLoop*> runLoopToStop { nullptr };
static_assert(std::atomic<CFRunLoop*>::is_always_lock_free);

extern "C" void stopRunLoopOnSignal(int)
{
    int savedErrno = errno;
    if (CFRunLoop* runLoop = runLoopToStop.load())
        runLoop->stop();
    errno = savedErrno;
}

} // namespace

void CFRunLoopStopOnTerminationSignals(CFRunLoopRef runLoop)
{
    runLoopToStop.store(runLoop);
    struct sigaction action {};
    action.sa_handler = stopRunLoopOnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call interrupted by the signal returns, so its caller sees the stop.
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
