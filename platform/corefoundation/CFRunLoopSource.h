#pragma once

#include <functional>
#include <memory>

// A run-loop source: a file descriptor watched for input. When it is readable the run loop queues one
// call of `perform`, which must consume the input. The source does not own the descriptor.
class CFRunLoopSource {
public:
    static std::shared_ptr<CFRunLoopSource> create(int fileDescriptor, std::function<void()> perform);

    CFRunLoopSource(int fileDescriptor, std::function<void()> perform);

    int fileDescriptor() const { return descriptor; }
    void signal() const { if (perform) perform(); }

    // An invalidated source stays registered until removed, but is never polled or performed again.
    void invalidate();
    bool isValid() const { return valid; }

private:
    int descriptor { -1 };
    std::function<void()> perform;
    bool valid { true };
};

using CFRunLoopSourceRef = std::shared_ptr<CFRunLoopSource>;
