#pragma once

#include "PropertyList.h"

#include <optional>

// The preferences as one pass of the daemon sees them. While a snapshot lives, the daemon's reads take
// the file once, on the first read, and answer every key from that reading: a pass decides on one
// consistent set of preferences, and a change made meanwhile posts PreferencesChanged again, so the
// next pass reads it. A write by the daemon itself is read back by the reads after it. Snapshots
// belong to the thread that makes them; only the outermost one counts.
class PreferencesSnapshot {
public:
    PreferencesSnapshot();
    ~PreferencesSnapshot();

    PreferencesSnapshot(const PreferencesSnapshot&) = delete;
    PreferencesSnapshot& operator=(const PreferencesSnapshot&) = delete;

    // The live snapshot's reading of the file (null inside when the file does not read as a
    // dictionary); null when no snapshot lives.
    static const std::optional<PropertyListDictionary>* current();
    // The next read takes the file again.
    static void forgetReading();

private:
    bool outermost;
    std::optional<std::optional<PropertyListDictionary>> reading;
};
