#include "NotificationManager.h"

#include "DeviceShell.h"
#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSString.h"
#include "PreferencesSnapshot.h"
#include "StringFormat.h"
#include "TarvikDNSShared.h"
#include "Tools.h"

#include <algorithm>
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
    auto resolverText = stringWithContentsOfFile("/tmp/tarvikdnstemp", NSStringEncoding::NSASCIIStringEncoding);
    std::string report;
    if (ReadPrefs(kPrefDNSCrypt).empty()) {
        report = NSStringWithFormat("%@\n\nDNSCrypt=NO", resolverText);
    } else {
        auto launchDaemonList = stringWithContentsOfFile(DNSCryptLaunchDaemonList, NSStringEncoding::NSASCIIStringEncoding);
        auto proxyLog = stringWithContentsOfFile("/tmp/DNSCrypt.log", NSStringEncoding::NSASCIIStringEncoding);
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
        EnableDNS("Global");
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
    else if (scutil->KeyExists(stateBackup) && HoldsOwnOverride(setup))
        // A setup key has no backup when it did not exist before the override.
        scutil->DeleteKey(setup);
    RestoreKey(stateBackup, NSStringWithFormat("State:/Network/Service/%@/DNS", serviceID));
}

void NotificationManager::EnableDNS(const std::string& scope)
{
    if (scope.empty())
        return;
    std::string serviceState = NSStringWithFormat("State:/Network/Service/%@/DNS", scope);
    std::string serviceSetup = NSStringWithFormat("Setup:/Network/Service/%@/DNS", scope);

    std::optional<PropertyList> source;
    if (scope == "Global") {
        source = GlobalResolverSource();
        BackUpKey("State:/Network/Global/DNS", "State:/Network/Global/TarvikDNS");
    } else {
        source = scutil->DictionaryFromKeyName(serviceState);
        BackUpKey(serviceState, NSStringWithFormat("State:/Network/Service/%@/TarvikDNS", scope));
        scutil->CopyKeyFrom(serviceSetup, NSStringWithFormat("Setup:/Network/Service/%@/TarvikDNS", scope));
    }
    WriteResolverFile(source);

    if (!overrideInForce)
        RecordOverride(OverrideDictionary());
    PropertyList override = *overrideInForce;
    if (!ReadPrefs(kPrefDNSCrypt).empty())
        HandleDNSCryptDaemon(false);
    if (scope == "Global") {
        scutil->WriteDict(override, "State:/Network/Global/DNS", true);
        return;
    }
    scutil->WriteDict(override, serviceState, true);
    scutil->WriteDict(override, serviceSetup, true);
}

// A key that exists is copied to its backup; one that does not leaves a record of its absence there.
void NotificationManager::BackUpKey(const std::string& key, const std::string& backupKey)
{
    if (scutil->KeyExists(key))
        scutil->CopyKeyFrom(key, backupKey);
    else
        scutil->WriteDict(absentKeyRecord(), backupKey);
}

// Only the daemon's own write is undone. A key that the system rewrote or removed while the override
// was in force keeps the system's value, and the older backup goes.
void NotificationManager::RestoreKey(const std::string& backupKey, const std::string& key)
{
    auto backup = scutil->DictionaryFromKeyName(backupKey);
    if (!backup)
        return;
    if (HoldsOwnOverride(key)) {
        if (*backup == absentKeyRecord())
            scutil->DeleteKey(key);
        else
            scutil->WriteDict(backup, key);
    }
    scutil->DeleteKey(backupKey);
}

// Without a record (an override applied before overrides were recorded) every value counts as the
// daemon's own, as it did then.
bool NotificationManager::HoldsOwnOverride(const std::string& key)
{
    auto current = scutil->DictionaryFromKeyName(key);
    return current && (!overrideInForce || *current == *overrideInForce);
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
// pass has applied every scope; a text that is not plain ASCII is never written and replaces nothing.
void NotificationManager::WriteResolverFile(const std::optional<PropertyList>& source)
{
    const auto* fields = source ? source->dictionary() : nullptr;
    if (!fields || fields->empty())
        return;
    std::string text;
    const PropertyList* domainName = fieldOf(source, "DomainName");
    if (domainName && domainName->string() && !domainName->string()->empty())
        text = NSStringWithFormat("%@domain %@\n", text, *domainName->string());
    for (const auto& address : serverAddressesOf(source))
        text = NSStringWithFormat("%@nameserver %@\n", text, address);
    bool isASCII = std::all_of(text.begin(), text.end(), [](char character) { return static_cast<unsigned char>(character) < 0x80; });
    if (!text.empty() && isASCII)
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

PropertyList NotificationManager::OverrideDictionary()
{
    if (!ReadPrefs(kPrefDNSCrypt).empty())
        return PropertyListDictionary { { "ServerAddresses", PropertyListArray { "127.0.0.1" } } };
    PropertyListDictionary override;
    if (std::string domain = ReadPrefs(kPrefDomain); !domain.empty())
        override["DomainName"] = domain;
    PropertyListArray serverAddresses;
    for (const char* key : { kPrefPrimaryDNS, kPrefSecondaryDNS }) {
        if (std::string address = ReadPrefs(key); !address.empty())
            serverAddresses.push_back(address);
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
