#pragma once

#include "PropertyList.h"

#include <optional>
#include <string>
#include <vector>

// What a person looks at on a device, taken at one moment: the preferences, the dynamic store's DNS
// keys, "/etc/resolv.conf" and the DNSCrypt proxy's state.
struct DeviceState {
    PropertyListDictionary preferences;
    PropertyListDictionary store;
    std::optional<std::string> resolverFile;
    std::string proxy;

    static DeviceState capture();

    // One line per thing that differs from `before`, as "what: old -> new".
    std::vector<std::string> changesSince(const DeviceState& before) const;
};

// The proxy's state as one line: "running (pid 123), resolver cisco" while nothing is known to be wrong;
// "running (pid 123), resolver cisco, but no usable certificate from ADDRESS: REASON" while it cannot
// reach or verify its resolver; "stopped: cannot listen on ADDRESS: REASON" (or another reason from its
// log) when its job is loaded but its process has ended; "stopped" when no job is loaded.
std::string DNSCryptProxyState();
