#include "SCUtil.h"

#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "NSLog.h"
#include "StringFormat.h"
#include "TarvikDNSShared.h"

#include <algorithm>

namespace {

std::vector<std::string> componentsSeparatedBySlash(const std::string& key)
{
    std::vector<std::string> components;
    size_t start = 0;
    for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', start)) {
        components.push_back(key.substr(start, slash - start));
        start = slash + 1;
    }
    components.push_back(key.substr(start));
    return components;
}

constexpr const char* serviceListPattern = "State:/Network/Service/.*/IPv4";

// The service identifier of a key "<domain>:/Network/Service/<identifier>/...": its fourth component.
std::optional<std::string> serviceIDOfKey(const std::string& key)
{
    auto components = componentsSeparatedBySlash(key);
    if (components.size() > 3 && !components[3].empty())
        return components[3];
    return std::nullopt;
}

} // namespace

void SCUtilCallback(SCDynamicStoreRef, const std::vector<std::string>& changedKeys, void* info)
{
    static_cast<SCUtil*>(info)->notificationOfChangedKeys(changedKeys);
}

std::unique_ptr<SCUtil> SCUtil::init()
{
    std::unique_ptr<SCUtil> scutil(new SCUtil());
    SCDynamicStoreContext context { 0, scutil.get(), nullptr, nullptr, nullptr };
    scutil->dynStore = SCDynamicStoreCreate(kCFAllocatorDefault, "TarvikDNS", SCUtilCallback, &context);
    if (!scutil->dynStore)
        return nullptr;
    scutil->rlSrc = SCDynamicStoreCreateRunLoopSource(kCFAllocatorDefault, scutil->dynStore.get(), 0);
    if (!scutil->rlSrc)
        return nullptr;
    CFRunLoopAddSource(CFRunLoopGetCurrent(), scutil->rlSrc, kCFRunLoopCommonModes);
    return scutil;
}

SCUtil::~SCUtil()
{
    if (dynStore)
        removeAllObservers();
    if (rlSrc)
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), rlSrc, kCFRunLoopCommonModes);
    rlSrc.reset();
    dynStore.reset();
}

std::optional<PropertyList> SCUtil::DictionaryFromKeyName(const std::string& key)
{
    return SCDynamicStoreCopyValue(dynStore.get(), key);
}

void SCUtil::WriteDict(const std::optional<PropertyList>& dict, const std::string& toKey, bool notifyOnChange)
{
    if (!dict)
        return;
    if (notifyOnChange)
        WatchKey(toKey, *dict);
    SCDynamicStoreSetValue(dynStore.get(), toKey, *dict);
}

bool SCUtil::WriteDictIf(const PropertyList& dict, const std::string& toKey, const std::optional<PropertyList>& expected)
{
    return SCDynamicStoreSetValueIf(dynStore.get(), toKey, dict, expected);
}

bool SCUtil::DeleteKeyIf(const std::string& key, const PropertyList& expected)
{
    return SCDynamicStoreRemoveValueIf(dynStore.get(), key, expected);
}

void SCUtil::WatchKey(const std::string& key, const PropertyList& content)
{
    storedKeyContent[key] = content;
    watchedKeys.push_back(key);
    SCDynamicStoreSetNotificationKeys(dynStore.get(), &watchedKeys, &watchedPatterns);
}

void SCUtil::WriteDict(const std::optional<PropertyList>& dict, const std::string& toKey)
{
    WriteDict(dict, toKey, false);
}

std::optional<std::vector<std::string>> SCUtil::Get_PSIDs()
{
    auto keys = SCDynamicStoreCopyKeyList(dynStore.get(), serviceListPattern);
    if (!keys)
        return std::nullopt;
    std::vector<std::string> serviceIDs;
    for (const auto& key : *keys) {
        if (auto serviceID = serviceIDOfKey(key))
            serviceIDs.push_back(*serviceID);
    }
    return serviceIDs;
}

std::vector<std::string> SCUtil::Get_BackedUpPSIDs()
{
    std::vector<std::string> serviceIDs;
    for (const char* pattern : { "State:/Network/Service/[^/]+/TarvikDNS", "Setup:/Network/Service/[^/]+/TarvikDNS" }) {
        for (const auto& key : SCDynamicStoreCopyKeyList(dynStore.get(), pattern).value_or(std::vector<std::string> {})) {
            if (auto serviceID = serviceIDOfKey(key))
                serviceIDs.push_back(*serviceID);
        }
    }
    return serviceIDs;
}

std::string SCUtil::GetWAN_PSID()
{
    auto serviceIDs = Get_PSIDs();
    if (!serviceIDs)
        return "";
    std::string cellularServiceID;
    for (const auto& serviceID : *serviceIDs) {
        auto ipv4 = DictionaryFromKeyName(NSStringWithFormat("State:/Network/Service/%@/IPv4", serviceID));
        const auto* state = ipv4 ? ipv4->dictionary() : nullptr;
        if (!state)
            continue;
        auto interfaceName = state->find("InterfaceName");
        if (interfaceName != state->end() && interfaceName->second.string() && *interfaceName->second.string() == "pdp_ip0")
            cellularServiceID = serviceID;
    }
    return cellularServiceID;
}

void SCUtil::CopyKeyFrom(const std::string& source, const std::string& to)
{
    WriteDict(DictionaryFromKeyName(source), to);
}

void SCUtil::MoveKeyFrom(const std::string& source, const std::string& to)
{
    CopyKeyFrom(source, to);
    DeleteKey(source);
}

void SCUtil::DeleteKey(const std::string& key)
{
    SCDynamicStoreRemoveValue(dynStore.get(), key);
}

bool SCUtil::KeyExists(const std::string& key)
{
    return DictionaryFromKeyName(key).has_value();
}

void SCUtil::notificationOfChangedKeys(const std::vector<std::string>& changedKeys)
{
    bool changed = false;
    for (const auto& key : changedKeys) {
        auto recorded = storedKeyContent.find(key);
        auto current = DictionaryFromKeyName(key);
        if (recorded != storedKeyContent.end() && current && recorded->second == *current)
            continue;
        NSLog("Key changed : %@", key);
        changed = true;
    }
    if (changed)
        notify_post(kNotificationPreferencesChanged);
}

void SCUtil::removeAllObservers()
{
    watchedKeys.clear();
    watchedPatterns.clear();
    storedKeyContent.clear();
    SCDynamicStoreSetNotificationKeys(dynStore.get(), &watchedKeys, &watchedPatterns);
}

// Watched before the list is read, so that no change falls between the reading and the watching; the
// IPv4 states read are the record each later report is compared with.
void SCUtil::WatchServiceList()
{
    watchedPatterns = { serviceListPattern };
    SCDynamicStoreSetNotificationKeys(dynStore.get(), &watchedKeys, &watchedPatterns);
    auto keys = SCDynamicStoreCopyKeyList(dynStore.get(), serviceListPattern);
    for (const auto& key : keys.value_or(std::vector<std::string> {})) {
        if (auto state = DictionaryFromKeyName(key))
            storedKeyContent[key] = *state;
    }
}
