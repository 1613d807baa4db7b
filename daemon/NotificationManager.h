#pragma once

#include "CFNotificationCenter.h"
#include "SCUtil.h"

#include <memory>
#include <string>

// The daemon's one object: observes the daemon's notifications, dispatches them, and owns the
// connection to the dynamic store.
class NotificationManager {
public:
    static std::unique_ptr<NotificationManager> init();
    ~NotificationManager();

    NotificationManager(const NotificationManager&) = delete;
    NotificationManager& operator=(const NotificationManager&) = delete;

    void HandleNotification(const std::string& name);
    void PreferencesChanged(const void* object);
    void DisableDNS();
    void EnableDNS(const std::string& scope);
    void HandleDNSCryptDaemon(bool stop);
    void RegisterNotification(const std::string& name);

private:
    NotificationManager() = default;

    void WriteSupportReport();

    std::unique_ptr<SCUtil> scutil;
    bool bDNSCryptIsRunning { false };
};

void NotificationCallback(CFNotificationCenterRef center, void* observer, const std::string& name,
                          const void* object, const PropertyListDictionary* userInfo);
