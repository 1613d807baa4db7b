#pragma once

#include "CFNotificationCenter.h"
#include "CFRunLoopSource.h"
#include "PropertyList.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The dynamic store: values by key, shared by every process of a device. A connection reads and changes
// it; every set and remove posts the Darwin notification "SCDynamicStore:" followed by the key, so a
// connection's notification keys are names it observes, and its notification patterns name patterns
// it observes (the literal start and end of the pattern), each reported key then matched against the
// whole pattern. Reported changes gather until the connection's run-loop source runs, which calls the
// connection's callback once with each changed key once, in the order the changes arrived. The
// connection that made a change is told of it too when it watches the key.
class KeyPattern;
class SCDynamicStore;
using SCDynamicStoreRef = SCDynamicStore*;

using SCDynamicStoreCallBack = void (*)(SCDynamicStoreRef store, const std::vector<std::string>& changedKeys, void* info);

struct SCDynamicStoreContext {
    long version { 0 };
    void* info { nullptr };
    const void* (*retain)(const void*) { nullptr };
    void (*release)(const void*) { nullptr };
    const char* (*copyDescription)(const void*) { nullptr };
};

using CFAllocatorRef = const void*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

class SCDynamicStore {
public:
    ~SCDynamicStore();

    SCDynamicStore(const SCDynamicStore&) = delete;
    SCDynamicStore& operator=(const SCDynamicStore&) = delete;

    static constexpr const char* notificationPrefix = "SCDynamicStore:";

    const std::string& name() const { return connectionName; }

private:
    friend std::unique_ptr<SCDynamicStore> SCDynamicStoreCreate(CFAllocatorRef, const std::string&, SCDynamicStoreCallBack,
                                                                const SCDynamicStoreContext*);
    friend CFRunLoopSourceRef SCDynamicStoreCreateRunLoopSource(CFAllocatorRef, SCDynamicStoreRef, long);
    friend bool SCDynamicStoreSetNotificationKeys(SCDynamicStoreRef, const std::vector<std::string>*,
                                                  const std::vector<std::string>*);

    SCDynamicStore(std::string name, SCDynamicStoreCallBack callout, void* info);

    static void keyChanged(CFNotificationCenterRef center, void* observer, const std::string& name,
                           const void* object, const PropertyListDictionary* userInfo);
    bool isWatched(const std::string& key) const;
    void setNotificationKeys(const std::vector<std::string>& keys);
    void setNotificationPatterns(const std::vector<std::string>& patterns, std::vector<std::unique_ptr<KeyPattern>> compiled);
    void deliverChangedKeys();

    std::string connectionName;
    SCDynamicStoreCallBack callout { nullptr };
    void* info { nullptr };
    std::vector<std::string> notificationKeys;
    std::set<std::string> observedKeys;
    std::vector<std::string> notificationPatterns;
    std::vector<std::unique_ptr<KeyPattern>> watchedPatterns;
    std::vector<std::string> pendingKeys;
    std::set<std::string> pendingKeySet;
    // Written to when the first of a batch of changes arrives; the run-loop source reads it.
    int signalPipe[2] { -1, -1 };
    CFRunLoopSourceRef runLoopSource;
};

// Null when the device's store cannot be reached (no device root, or no notifications).
std::unique_ptr<SCDynamicStore> SCDynamicStoreCreate(CFAllocatorRef allocator, const std::string& name,
                                                     SCDynamicStoreCallBack callout, const SCDynamicStoreContext* context);
CFRunLoopSourceRef SCDynamicStoreCreateRunLoopSource(CFAllocatorRef allocator, SCDynamicStoreRef store, long order);
std::optional<PropertyList> SCDynamicStoreCopyValue(SCDynamicStoreRef store, const std::string& key);
bool SCDynamicStoreSetValue(SCDynamicStoreRef store, const std::string& key, const PropertyList& value);
bool SCDynamicStoreRemoveValue(SCDynamicStoreRef store, const std::string& key);
// Sets the key to `value` only while it holds `expected` (null: only while the key is absent), decided
// under the writers' lock. False when the key held something else, or when the write failed: the
// caller reads the key again and decides.
bool SCDynamicStoreSetValueIf(SCDynamicStoreRef store, const std::string& key, const PropertyList& value,
                              const std::optional<PropertyList>& expected);
// Removes the key only while it holds `expected`; false otherwise, as above.
bool SCDynamicStoreRemoveValueIf(SCDynamicStoreRef store, const std::string& key, const PropertyList& expected);
// The keys that hold a value and match the POSIX extended regular expression as a whole, in sorted
// order; null for a pattern that does not compile.
std::optional<std::vector<std::string>> SCDynamicStoreCopyKeyList(SCDynamicStoreRef store, const std::string& pattern);
// Replaces the watched keys and patterns (POSIX extended regular expressions, each anchored to the
// whole key). A pattern that does not compile makes the call fail and changes nothing.
bool SCDynamicStoreSetNotificationKeys(SCDynamicStoreRef store, const std::vector<std::string>* keys,
                                       const std::vector<std::string>* patterns);
