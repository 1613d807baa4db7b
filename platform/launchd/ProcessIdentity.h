#pragma once

#include <cstdint>
#include <optional>

// A process told apart from a later one that got the same process id: its id and the time it started,
// in clock ticks since boot.
struct ProcessIdentity {
    int processID { 0 };
    std::uint64_t startTime { 0 };

    // The identity of a living process; null when there is none with that id (a zombie counts as ended).
    static std::optional<ProcessIdentity> of(int processID);

    bool isAlive() const;
};
