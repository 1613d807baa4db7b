#pragma once

#include "CFRunLoopSource.h"
#include "PropertyList.h"
#include "SCDynamicStore.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The daemon's only way into the dynamic store: reads, writes, copies, moves and deletes keys, lists the
// network services and finds the cellular one, and watches the keys the daemon wrote and the service
// list, announcing "com.tarvik.dns/PreferencesChanged" when someone else changes one of them.
class SCUtil {
public:
    // Null when the connection to the store cannot be opened.
    static std::unique_ptr<SCUtil> init();
    ~SCUtil();

    SCUtil(const SCUtil&) = delete;
    SCUtil& operator=(const SCUtil&) = delete;

    std::optional<PropertyList> DictionaryFromKeyName(const std::string& key);
    void WriteDict(const std::optional<PropertyList>& dict, const std::string& toKey, bool notifyOnChange);
    void WriteDict(const std::optional<PropertyList>& dict, const std::string& toKey);
    std::string GetWAN_PSID();
    std::optional<std::vector<std::string>> Get_PSIDs();
    // The services that have a backup key, listed or not: those with a state backup, then those with a
    // setup backup, each in the store's order (a service may be named twice).
    std::vector<std::string> Get_BackedUpPSIDs();
    // The conditional writes: the key is set, or removed, only while it still holds `expected` (null:
    // only while it is absent). False when it held something else, or the write failed.
    bool WriteDictIf(const PropertyList& dict, const std::string& toKey, const std::optional<PropertyList>& expected);
    bool DeleteKeyIf(const std::string& key, const PropertyList& expected);
    // Watches a key before it is written, so that a change right after the write is heard: a reported
    // change counts unless the key then holds `content`.
    void WatchKey(const std::string& key, const PropertyList& content);
    void CopyKeyFrom(const std::string& source, const std::string& to);
    void MoveKeyFrom(const std::string& source, const std::string& to);
    void DeleteKey(const std::string& key);
    bool KeyExists(const std::string& key);
    void notificationOfChangedKeys(const std::vector<std::string>& changedKeys);
    void removeAllObservers();
    // Watches the service list too: a service that comes, goes or changes its IPv4 state counts as a
    // changed key, like a watched key that someone else wrote.
    void WatchServiceList();

    const std::vector<std::string>& WatchedKeys() const { return watchedKeys; }

private:
    SCUtil() = default;

    std::unique_ptr<SCDynamicStore> dynStore;
    CFRunLoopSourceRef rlSrc;
    std::vector<std::string> watchedKeys;
    std::vector<std::string> watchedPatterns;
    std::map<std::string, PropertyList> storedKeyContent;
};

void SCUtilCallback(SCDynamicStoreRef store, const std::vector<std::string>& changedKeys, void* info);
