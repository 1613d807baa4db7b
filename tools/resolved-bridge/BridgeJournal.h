#pragma once

#include "LinkDNS.h"

#include <map>
#include <optional>
#include <string>

// What the bridge must remember across its own restarts, by link name ("" for the global scope): the
// DNS the system last gave the link, and the override the bridge put in its place. An override is
// written down before resolved is asked to take it (`pending`), so a bridge killed half way tells its
// own write from the system's when it starts again.
class BridgeJournal {
public:
    struct Entry {
        LinkDNS system;
        std::optional<LinkDNS> override;
        bool pending { false };
        bool operator==(const Entry&) const = default;
    };

    static constexpr const char* devicePath = "/var/db/resolved-bridge.plist";

    // The journal on the device; an unreadable one is reported and taken as empty.
    static BridgeJournal load();

    Entry* find(const std::string& linkName);
    Entry& entry(const std::string& linkName, const LinkDNS& system);
    void forget(const std::string& linkName);
    // Writes the journal when it differs from what was last written.
    void save();

private:
    std::map<std::string, Entry> entries;
    std::map<std::string, Entry> saved;
};
