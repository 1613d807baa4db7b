#include "NotificationManager.h"

#include "DeviceShell.h"
#include "NSFileManager.h"
#include "NSString.h"
#include "StringFormat.h"
#include "TarvikDNSShared.h"
#include "Tools.h"

void NotificationCallback(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                          const PropertyListDictionary*)
{
    static_cast<NotificationManager*>(observer)->HandleNotification(name);
}

std::unique_ptr<NotificationManager> NotificationManager::init()
{
    std::unique_ptr<NotificationManager> manager(new NotificationManager());
    manager->RegisterNotification(kNotificationPreferencesChanged);
    manager->RegisterNotification(kNotificationSupportEmailRequest);
    if (!NSFileManager::defaultManager().fileExistsAtPath(kPreferencesPath))
        InitPrefs();
    manager->scutil = SCUtil::init();
    manager->HandleDNSCryptDaemon(true);
    notify_post(kNotificationPreferencesChanged);
    return manager;
}

NotificationManager::~NotificationManager()
{
    scutil.reset();
}

void NotificationManager::RegisterNotification(const std::string& name)
{
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, NotificationCallback, name,
                                    nullptr, CFNotificationSuspensionBehaviorHold);
}

void NotificationManager::HandleNotification(const std::string& name)
{
    if (name == kNotificationPreferencesChanged) {
        PreferencesChanged(nullptr);
        return;
    }
    if (name == kNotificationSupportEmailRequest)
        WriteSupportReport();
}

// The support report: the device's DNS configuration, and with DNSCrypt on the proxy's launch-daemon
// list and log, handed to the pane through the preference scutil_dns.
void NotificationManager::WriteSupportReport()
{
    device::system("scutil --dns >/tmp/tarvikdnstemp");
    auto resolverText = stringWithContentsOfFile("/tmp/tarvikdnstemp", NSStringEncoding::NSASCIIStringEncoding);
    std::string report;
    if (ReadPrefs(kPrefDNSCrypt).empty()) {
        report = NSStringWithFormat("%@\n\nDNSCrypt=NO", resolverText);
    } else {
        auto launchDaemonList = stringWithContentsOfFile("/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist",
                                                         NSStringEncoding::NSASCIIStringEncoding);
        auto proxyLog = stringWithContentsOfFile("/tmp/DNSCrypt.log", NSStringEncoding::NSASCIIStringEncoding);
        report = NSStringWithFormat("%@\n\nDNSCrypt=YES\n\n%@\n\n%@", resolverText, launchDaemonList, proxyLog);
    }
    WritePrefs(kPrefScutilDNS, report);
    device::unlink("/tmp/tarvikdnstemp");
    notify_post(kNotificationSupportEmail);
}

void NotificationManager::PreferencesChanged(const void*)
{
}

void NotificationManager::DisableDNS()
{
}

void NotificationManager::EnableDNS(const std::string&)
{
}

void NotificationManager::HandleDNSCryptDaemon(bool)
{
}
