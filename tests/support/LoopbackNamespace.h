#pragma once

#include <string>

// A network namespace of the test's own with the loopback interface alone, up, for the calling thread
// and every process it starts from then on: they reach nothing beyond the machine and may bind any port
// of 127.0.0.1 (53 for the DNSCrypt proxy) without meeting another test. Making it needs root, or root
// in the process's user namespace (as `unshare --net --map-root-user` in scripts/test gives an account
// that is not root). Going away takes the thread back to the namespace it was in; the test's own
// namespace ends with the last process in it.
class LoopbackNamespace {
public:
    LoopbackNamespace();
    ~LoopbackNamespace();

    LoopbackNamespace(const LoopbackNamespace&) = delete;
    LoopbackNamespace& operator=(const LoopbackNamespace&) = delete;

    bool isEntered() const { return entered; }
    // Why there is none, as a skipped test says it.
    const std::string& problem() const { return why; }

private:
    bool enter();

    int previousNamespace { -1 };
    bool entered { false };
    std::string why;
};
