#pragma once

#include "CFNotificationCenter.h"
#include "PropertyList.h"
#include "SCUtil.h"

#include <memory>
#include <optional>
#include <string>

// The daemon's one object: observes the daemon's notifications, dispatches them, applies and removes
// the DNS override, and controls the DNSCrypt proxy.
class NotificationManager {
public:
    // Null when the dynamic store cannot be reached.
    static std::unique_ptr<NotificationManager> init();
    ~NotificationManager();

    NotificationManager(const NotificationManager&) = delete;
    NotificationManager& operator=(const NotificationManager&) = delete;

    void HandleNotification(const std::string& name);
    void PreferencesChanged(const void* object);
    void DisableDNS();
    // The override of one network service, by its identifier ("Global" names a service like any other).
    void EnableDNS(const std::string& serviceID);
    // The override of the global DNS state.
    void EnableGlobalDNS();
    void HandleDNSCryptDaemon(bool stop);
    void RegisterNotification(const std::string& name);

    bool DNSCryptIsRunning() const { return bDNSCryptIsRunning; }

private:
    NotificationManager() = default;

    void WriteSupportReport();
    PropertyList PrepareOverride();
    std::optional<PropertyList> OverrideKey(const std::string& key, const std::string& backupKey, bool recordsAbsence,
                                            const PropertyList& override);
    void RestoreService(const std::string& serviceID);
    void RestoreKey(const std::string& backupKey, const std::string& key);
    bool PutBack(const std::string& key, const std::optional<PropertyList>& systemValue);
    bool IsOwnOverride(const PropertyList& value) const;
    void RecordOverride(const PropertyList& override);
    void ForgetOverride();
    std::optional<PropertyList> GlobalResolverSource();
    void WriteResolverFile(const std::optional<PropertyList>& source);
    void WritePendingResolverFile();
    PropertyList OverrideDictionary();
    void StartDNSCryptProxy();
    void SaveDNSCryptLaunchDaemonList(const PropertyListDictionary& list, const PropertyListDictionary& asLoaded);

    std::unique_ptr<SCUtil> scutil;
    bool bDNSCryptIsRunning { false };
    // The dictionary this daemon writes over the system's keys, kept in a device file as well, so that
    // a daemon started after a crash still tells its own writes from the system's. Null while no
    // override has been recorded.
    std::optional<PropertyList> overrideInForce;
    // What the pass under way leaves in the resolver file when it ends: this text, or no file at all
    // when it is empty; null leaves the file as it is.
    std::optional<std::string> resolverFileText;
};

void NotificationCallback(CFNotificationCenterRef center, void* observer, const std::string& name,
                          const void* object, const PropertyListDictionary* userInfo);
