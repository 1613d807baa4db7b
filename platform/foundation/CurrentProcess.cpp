#include "CurrentProcess.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace {

std::atomic<int> cachedIdentifier { 0 };

void forgetAfterFork()
{
    cachedIdentifier.store(0, std::memory_order_relaxed);
}

} // namespace

namespace CurrentProcess {

int identifier()
{
    int known = cachedIdentifier.load(std::memory_order_relaxed);
    if (known != 0)
        return known;
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forgetAfterFork); });
    known = getpid();
    cachedIdentifier.store(known, std::memory_order_relaxed);
    return known;
}

bool isMainThread()
{
    // Asked again in a new process: the thread that called fork() is the child's main thread.
    thread_local int askedIn = 0;
    thread_local bool isMain = false;
    int process = identifier();
    if (askedIn != process) {
        askedIn = process;
        isMain = gettid() == process;
    }
    return isMain;
}

} // namespace CurrentProcess
