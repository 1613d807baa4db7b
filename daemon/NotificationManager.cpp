#include "NotificationManager.h"

#include "DeviceShell.h"
#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSLog.h"
#include "NSString.h"
#include "PreferencesSnapshot.h"
#include "ResolverEntries.h"
#include "StringFormat.h"
#include "TarvikDNSShared.h"
#include "Tools.h"

#include <unordered_set>

namespace {

// What a backup key holds when the key it backs up did not exist: removing the override then removes
// the key again instead of leaving the override behind.
const PropertyList& absentKeyRecord()
{
    static const PropertyList record = PropertyListDictionary { { "TarvikDNSKeyWasAbsent", true } };
    return record;
}

const PropertyList* fieldOf(const std::optional<PropertyList>& dictionary, const std::string& field)
{
    const auto* fields = dictionary ? dictionary->dictionary() : nullptr;
    if (!fields)
        return nullptr;
    auto entry = fields->find(field);
    return entry == fields->end() ? nullptr : &entry->second;
}

// The string entries of a "ServerAddresses" field; anything else in it is skipped.
std::vector<std::string> serverAddressesOf(const std::optional<PropertyList>& dictionary)
{
    std::vector<std::string> addresses;
    const PropertyList* field = fieldOf(dictionary, "ServerAddresses");
    if (!field || !field->array())
        return addresses;
    for (const auto& address : *field->array()) {
        if (address.string())
            addresses.push_back(*address.string());
    }
    return addresses;
}

// The service list names a service once per IPv4 state key, so a service can be listed twice. Each is
// applied once per pass: applying it again would back up the override itself, and the system's value
// would be lost for good.
std::vector<std::string> withoutRepeats(const std::vector<std::string>& serviceIDs)
{
    std::vector<std::string> distinct;
    std::unordered_set<std::string> seen;
    for (const auto& serviceID : serviceIDs) {
        if (seen.insert(serviceID).second)
            distinct.push_back(serviceID);
    }
    return distinct;
}

// How often a conditional step is taken again when the key changed under it: each retry means another
// writer changed the key within a few microseconds, so a handful is plenty.
constexpr int conditionalAttempts = 16;

constexpr const char* DNSCryptLaunchDaemonList = "/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist";
constexpr const char* overrideRecordPath = "/var/run/netwardd.override.plist";

bool appliesAnOverride(const std::string& selectedConnectivity)
{
    return selectedConnectivity == "3G" || selectedConnectivity == "Wifi" || selectedConnectivity == "Both";
}

} // namespace

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
    else
        // A file an earlier version left open to every account may hold the Passlock.
        NSFileManager::defaultManager().setPosixPermissions(kPreferencesPath, kPreferencesPermissions);
    manager->scutil = SCUtil::init();
    if (!manager->scutil)
        return nullptr;
    if (auto record = dictionaryWithContentsOfFile(overrideRecordPath))
        manager->overrideInForce = PropertyList(*record);
    manager->HandleDNSCryptDaemon(true);
    notify_post(kNotificationPreferencesChanged);
    return manager;
}

NotificationManager::~NotificationManager()
{
    scutil.reset();
    // A manager that goes away leaves no observer behind that could still reach it.
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), this);
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
    // Files of /tmp, which other accounts may write: no link is followed there and no file of theirs read.
    auto resolverText = stringWithContentsOfOwnFile("/tmp/tarvikdnstemp", NSStringEncoding::NSASCIIStringEncoding);
    std::string report;
    if (ReadPrefs(kPrefDNSCrypt).empty()) {
        report = NSStringWithFormat("%@\n\nDNSCrypt=NO", resolverText);
    } else {
        auto launchDaemonList = stringWithContentsOfFile(DNSCryptLaunchDaemonList, NSStringEncoding::NSASCIIStringEncoding);
        auto proxyLog = stringWithContentsOfOwnFile("/tmp/DNSCrypt.log", NSStringEncoding::NSASCIIStringEncoding);
        report = NSStringWithFormat("%@\n\nDNSCrypt=YES\n\n%@\n\n%@", resolverText, launchDaemonList, proxyLog);
    }
    WritePrefs(kPrefScutilDNS, report);
    device::unlink("/tmp/tarvikdnstemp");
    notify_post(kNotificationSupportEmail);
}

void NotificationManager::PreferencesChanged(const void*)
{
    PreferencesSnapshot preferences;
    DisableDNS();
    std::string selectedConnectivity = ReadPrefs(kPrefSelectedConnectivity);
    // One override for the whole pass, recorded before any key holds it.
    bool overrides = appliesAnOverride(selectedConnectivity);
    if (overrides) {
        RecordOverride(OverrideDictionary());
        scutil->WatchServiceList();
    }
    std::string cellularServiceID = scutil->GetWAN_PSID();
    std::vector<std::string> serviceIDs = withoutRepeats(scutil->Get_PSIDs().value_or(std::vector<std::string> {}));

    if (selectedConnectivity == "3G") {
        EnableDNS(scutil->GetWAN_PSID());
    } else if (selectedConnectivity == "Wifi") {
        for (const auto& serviceID : serviceIDs) {
            if (serviceID != cellularServiceID)
                EnableDNS(serviceID);
        }
    } else if (selectedConnectivity == "Both") {
        for (const auto& serviceID : serviceIDs)
            EnableDNS(serviceID);
        EnableGlobalDNS();
    } else {
        HandleDNSCryptDaemon(true);
    }
    WritePendingResolverFile();
    if (!overrides)
        ForgetOverride();
    notify_post(kNotificationDNSChanged);
}

// Every service with a backup is restored, listed or not: one that went away while overridden comes
// back to the system's values too.
void NotificationManager::DisableDNS()
{
    scutil->removeAllObservers();
    std::vector<std::string> serviceIDs = scutil->Get_PSIDs().value_or(std::vector<std::string> {});
    auto backedUp = scutil->Get_BackedUpPSIDs();
    serviceIDs.insert(serviceIDs.end(), backedUp.begin(), backedUp.end());
    for (const auto& serviceID : withoutRepeats(serviceIDs))
        RestoreService(serviceID);
    RestoreKey("State:/Network/Global/TarvikDNS", "State:/Network/Global/DNS");
    HandleDNSCryptDaemon(true);
    // Removed when the pass ends, unless the pass writes it anew: the new file then replaces the old
    // one at once.
    resolverFileText = "";
}

// The setup key goes first: the state backup marks the service as overridden until both keys are the
// system's again, so a removal cut short by a crash is finished by the next one.
void NotificationManager::RestoreService(const std::string& serviceID)
{
    std::string stateBackup = NSStringWithFormat("State:/Network/Service/%@/TarvikDNS", serviceID);
    std::string setupBackup = NSStringWithFormat("Setup:/Network/Service/%@/TarvikDNS", serviceID);
    std::string setup = NSStringWithFormat("Setup:/Network/Service/%@/DNS", serviceID);
    if (scutil->KeyExists(setupBackup))
        RestoreKey(setupBackup, setup);
    else if (scutil->KeyExists(stateBackup))
        // A setup key has no backup when it did not exist before the override.
        PutBack(setup, std::nullopt);
    RestoreKey(stateBackup, NSStringWithFormat("State:/Network/Service/%@/DNS", serviceID));
}

void NotificationManager::EnableDNS(const std::string& serviceID)
{
    if (serviceID.empty())
        return;
    PropertyList override = PrepareOverride();
    // The resolver file describes the system's value that the override replaced.
    auto source = OverrideKey(NSStringWithFormat("State:/Network/Service/%@/DNS", serviceID),
                              NSStringWithFormat("State:/Network/Service/%@/TarvikDNS", serviceID), true, override);
    OverrideKey(NSStringWithFormat("Setup:/Network/Service/%@/DNS", serviceID),
                NSStringWithFormat("Setup:/Network/Service/%@/TarvikDNS", serviceID), false, override);
    WriteResolverFile(source);
}

void NotificationManager::EnableGlobalDNS()
{
    PropertyList override = PrepareOverride();
    WriteResolverFile(GlobalResolverSource());
    OverrideKey("State:/Network/Global/DNS", "State:/Network/Global/TarvikDNS", true, override);
}

// The override of the pass, recorded before any key holds it; with DNSCrypt on, the proxy is (re)started
// before the override points at it.
PropertyList NotificationManager::PrepareOverride()
{
    if (!overrideInForce)
        RecordOverride(OverrideDictionary());
    if (!ReadPrefs(kPrefDNSCrypt).empty())
        HandleDNSCryptDaemon(false);
    return *overrideInForce;
}

// Backs the key up and writes the override over it as one step that no other writer can fall into: the
// override goes in only while the key still holds what was backed up, and when it does not, the step
// is taken again from the key's new value. A key that did not exist leaves a record of its absence
// when `recordsAbsence`, no backup otherwise. The key is watched before it is written, so a change right
// after the write is heard. Gives the value the override replaced (null: none).
std::optional<PropertyList> NotificationManager::OverrideKey(const std::string& key, const std::string& backupKey,
                                                             bool recordsAbsence, const PropertyList& override)
{
    scutil->WatchKey(key, override);
    std::optional<PropertyList> current;
    bool backedUp = false;
    for (int attempt = 0; attempt < conditionalAttempts; ++attempt) {
        current = scutil->DictionaryFromKeyName(key);
        if (current || recordsAbsence) {
            scutil->WriteDict(current ? *current : absentKeyRecord(), backupKey);
            backedUp = true;
        } else if (backedUp) {
            scutil->DeleteKey(backupKey);
            backedUp = false;
        }
        if (scutil->WriteDictIf(override, key, current))
            return current;
    }
    // Heard when it settles: the key is watched, and what it holds is no override.
    NSLog("%@ changed at each of %@ attempts to override it", key, conditionalAttempts);
    return current;
}

// Only the daemon's own write is undone. A key that the system rewrote or removed while the override
// was in force keeps the system's value, and the older backup goes.
void NotificationManager::RestoreKey(const std::string& backupKey, const std::string& key)
{
    auto backup = scutil->DictionaryFromKeyName(backupKey);
    if (!backup)
        return;
    if (PutBack(key, *backup == absentKeyRecord() ? std::nullopt : backup))
        scutil->DeleteKey(backupKey);
}

// Puts the system's value (null: no value) in place of the daemon's own override, only while the key
// holds that override: a write of another that comes between the check and the change is kept, and
// the check is made again. False when the key kept changing; the backup then stays for the next pass.
bool NotificationManager::PutBack(const std::string& key, const std::optional<PropertyList>& systemValue)
{
    for (int attempt = 0; attempt < conditionalAttempts; ++attempt) {
        auto current = scutil->DictionaryFromKeyName(key);
        if (!current || !IsOwnOverride(*current))
            return true;
        bool putBack = systemValue ? scutil->WriteDictIf(*systemValue, key, current) : scutil->DeleteKeyIf(key, *current);
        if (putBack)
            return true;
    }
    NSLog("%@ changed at each of %@ attempts to restore it", key, conditionalAttempts);
    return false;
}

// Without a record (an override applied before overrides were recorded) every value counts as the
// daemon's own, as it did then.
bool NotificationManager::IsOwnOverride(const PropertyList& value) const
{
    return !overrideInForce || value == *overrideInForce;
}

void NotificationManager::RecordOverride(const PropertyList& override)
{
    if (overrideInForce == override)
        return;
    overrideInForce = override;
    if (const auto* fields = override.dictionary())
        writeDictionaryToFile(*fields, overrideRecordPath, true);
}

void NotificationManager::ForgetOverride()
{
    if (!overrideInForce && !NSFileManager::defaultManager().fileExistsAtPath(overrideRecordPath))
        return;
    overrideInForce.reset();
    NSFileManager::defaultManager().removeItemAtPath(overrideRecordPath);
}

// For the global scope, the resolver file lists the saved server addresses of every service, in order.
std::optional<PropertyList> NotificationManager::GlobalResolverSource()
{
    PropertyListArray addresses;
    for (const auto& serviceID : scutil->Get_PSIDs().value_or(std::vector<std::string> {})) {
        auto backup = scutil->DictionaryFromKeyName(NSStringWithFormat("State:/Network/Service/%@/TarvikDNS", serviceID));
        for (const auto& address : serverAddressesOf(backup))
            addresses.push_back(address);
    }
    return PropertyList(PropertyListDictionary { { "ServerAddresses", addresses } });
}

// Each scope's text replaces the one before and the last wins, so the file is written once, when the
// pass has applied every scope. A domain that is no DNS name and an address that is no IP address are
// left out, each with a log line: whoever writes a DNS key could otherwise add lines of their own.
void NotificationManager::WriteResolverFile(const std::optional<PropertyList>& source)
{
    const auto* fields = source ? source->dictionary() : nullptr;
    if (!fields || fields->empty())
        return;
    std::string text;
    const PropertyList* domainName = fieldOf(source, "DomainName");
    if (domainName && domainName->string() && !domainName->string()->empty()) {
        if (isDomainName(*domainName->string()))
            text = NSStringWithFormat("%@domain %@\n", text, *domainName->string());
        else
            NSLog("/etc/resolv.conf: the domain %@ is no DNS name; left out", quotedForLog(*domainName->string()));
    }
    for (const auto& address : serverAddressesOf(source)) {
        if (isServerAddress(address))
            text = NSStringWithFormat("%@nameserver %@\n", text, address);
        else
            NSLog("/etc/resolv.conf: the server %@ is no IP address; left out", quotedForLog(address));
    }
    if (!text.empty())
        resolverFileText = text;
}

void NotificationManager::WritePendingResolverFile()
{
    if (resolverFileText && resolverFileText->empty())
        NSFileManager::defaultManager().removeItemAtPath("/etc/resolv.conf");
    else if (resolverFileText)
        writeStringToFile(*resolverFileText, "/etc/resolv.conf", true, NSStringEncoding::NSASCIIStringEncoding);
    resolverFileText.reset();
}

// What a person typed becomes the system's DNS, and so lines of resolver files: a domain that is no DNS
// name and an address that is no IP address are left out, each with a log line.
PropertyList NotificationManager::OverrideDictionary()
{
    if (!ReadPrefs(kPrefDNSCrypt).empty())
        return PropertyListDictionary { { "ServerAddresses", PropertyListArray { "127.0.0.1" } } };
    PropertyListDictionary override;
    if (std::string domain = ReadPrefs(kPrefDomain); isDomainName(domain))
        override["DomainName"] = domain;
    else if (!domain.empty())
        NSLog("The override's domain %@ is no DNS name; left out", quotedForLog(domain));
    PropertyListArray serverAddresses;
    for (const char* key : { kPrefPrimaryDNS, kPrefSecondaryDNS }) {
        std::string address = ReadPrefs(key);
        if (isServerAddress(address))
            serverAddresses.push_back(address);
        else if (!address.empty())
            NSLog("The override's server %@ is no IP address; left out", quotedForLog(address));
    }
    override["ServerAddresses"] = serverAddresses;
    return override;
}

void NotificationManager::HandleDNSCryptDaemon(bool stop)
{
    if (!NSFileManager::defaultManager().fileExistsAtPath(DNSCryptLaunchDaemonList))
        return;
    if (!stop && !ReadPrefs(kPrefDNSCrypt).empty()) {
        StartDNSCryptProxy();
        return;
    }
    if (!stop && !bDNSCryptIsRunning)
        return;
    bDNSCryptIsRunning = false;
    if (auto list = dictionaryWithContentsOfFile(DNSCryptLaunchDaemonList)) {
        PropertyListDictionary edited = *list;
        edited["RunAtLoad"] = false;
        SaveDNSCryptLaunchDaemonList(edited, *list);
    }
    device::system("launchctl unload /System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist");
}

// Saved atomically: a daemon killed half way through an in-place save would leave the proxy's list empty,
// and the proxy could never be loaded again. A list the edit left as it was is not written again.
void NotificationManager::SaveDNSCryptLaunchDaemonList(const PropertyListDictionary& list, const PropertyListDictionary& asLoaded)
{
    if (!(list == asLoaded))
        writeDictionaryToFile(list, DNSCryptLaunchDaemonList, true);
}

// Points the proxy's launch-daemon list at the chosen resolver and starts it anew, even when it runs
// with that resolver already.
void NotificationManager::StartDNSCryptProxy()
{
    bDNSCryptIsRunning = true;
    if (auto loaded = dictionaryWithContentsOfFile(DNSCryptLaunchDaemonList)) {
        auto list = loaded;
        (*list)["RunAtLoad"] = true;
        std::string resolverName = ReadPrefs(kPrefDNSCryptServer);
        std::string resolverArgument = NSStringWithFormat("--resolver-name=%@", resolverName.empty() ? "opendns" : resolverName);
        PropertyListArray programArguments;
        auto listed = list->find("ProgramArguments");
        if (listed != list->end() && listed->second.array()) {
            for (const auto& argument : *listed->second.array()) {
                if (!(argument.string() && argument.string()->starts_with("--resolver-name=")))
                    programArguments.push_back(argument);
            }
        }
        programArguments.push_back(resolverArgument);
        (*list)["ProgramArguments"] = programArguments;
        SaveDNSCryptLaunchDaemonList(*list, *loaded);
    }
    device::system("launchctl unload /System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist");
    device::unlink("/tmp/DNSCrypt.log");
    device::system("launchctl load /System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist");
}
