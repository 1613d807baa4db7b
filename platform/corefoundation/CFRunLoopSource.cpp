#include "CFRunLoopSource.h"

#include <utility>

std::shared_ptr<CFRunLoopSource> CFRunLoopSource::create(int fileDescriptor, std::function<void()> perform)
{
    return std::make_shared<CFRunLoopSource>(fileDescriptor, std::move(perform));
}

CFRunLoopSource::CFRunLoopSource(int fileDescriptor, std::function<void()> performCall)
    : descriptor(fileDescriptor)
    , perform(std::move(performCall))
{
}

void CFRunLoopSource::invalidate()
{
    valid = false;
}
