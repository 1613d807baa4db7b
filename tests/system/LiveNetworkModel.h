#pragma once

#include "PropertyList.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

std::string ipv4Key(const std::string& serviceID);
std::string dnsStateKey(const std::string& serviceID);
std::string dnsSetupKey(const std::string& serviceID);
inline const std::string globalDNSKey = "State:/Network/Global/DNS";

// The preferences one save of the pane leaves.
struct OverrideSettings {
    std::string connectivity { "None" };
    std::string primaryDNS;
    std::string secondaryDNS;
    std::string domain;
    bool dnsCrypt { false };

    PropertyListDictionary preferences() const;
    // What netwardd writes over the system's keys.
    PropertyList overrideDictionary() const;
    bool appliesAnOverride() const;
    std::string description() const;
};

// A live network as the test plays it: what the system last wrote to the dynamic store (a key it
// removed, or never wrote, is absent), the settings last saved, and from both what another process
// should find once netwardd has settled.
class LiveNetworkModel {
public:
    std::map<std::string, PropertyList> system;
    OverrideSettings settings;

    std::optional<PropertyList> systemValue(const std::string& key) const;
    void set(const std::string& key, const PropertyList& value) { system[key] = value; }
    void remove(const std::string& key) { system.erase(key); }

    // The services of the store's list, in its (sorted) order, and the cellular one among them: the
    // last whose interface is "pdp_ip0", or the empty string.
    std::vector<std::string> listedServices() const;
    std::string cellularService() const;
    std::vector<std::string> overriddenServices() const;
    bool overridesGlobal() const { return settings.connectivity == "Both"; }
    bool isOverridden(const std::string& key) const;

    // Whether a change of the key by the system starts a pass: while an override is selected, the
    // daemon watches the keys it overrode and the service list.
    bool watches(const std::string& key) const;

    std::optional<PropertyList> expectedValue(const std::string& key) const;
    // The key a backup key stands for, or the empty string when the key is no backup.
    static std::string backedUpKey(const std::string& key);
    // Why the store's backup key is not what the override in force leaves, or the empty string.
    std::string backupFault(const std::string& backupKey, const std::optional<PropertyList>& backup) const;
    // The DNS configuration from before the override, as the last scope of the pass that gave any left it.
    std::optional<std::string> expectedResolverFile() const;
    bool expectsProxy() const;
};

// The text of a value for the failure reports: its old-style description, or "(absent)".
std::string describe(const std::optional<PropertyList>& value);
