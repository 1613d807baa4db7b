#include "SCDynamicStore.h"

#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "DynamicStoreFile.h"
#include "NSLog.h"

#include <algorithm>
#include <set>
#include <fcntl.h>
#include <regex.h>
#include <unistd.h>

namespace {

DynamicStoreFile& storeFile()
{
    static DynamicStoreFile file;
    return file;
}

std::string notificationName(const std::string& key)
{
    return SCDynamicStore::notificationPrefix + key;
}

void announceChange(const std::string& key)
{
    notify_post(notificationName(key).c_str());
}

} // namespace

std::unique_ptr<SCDynamicStore> SCDynamicStoreCreate(CFAllocatorRef, const std::string& name,
                                                     SCDynamicStoreCallBack callout, const SCDynamicStoreContext* context)
{
    if (!DeviceRoot::path()) {
        NSLog("SCDynamicStoreCreate(%@): no device root", name);
        return nullptr;
    }
    std::unique_ptr<SCDynamicStore> store(new SCDynamicStore(name, callout, context ? context->info : nullptr));
    if (store->signalPipe[0] < 0) {
        NSLog("SCDynamicStoreCreate(%@): cannot make the change signal", name);
        return nullptr;
    }
    return store;
}

SCDynamicStore::SCDynamicStore(std::string name, SCDynamicStoreCallBack changeCallout, void* changeInfo)
    : connectionName(std::move(name))
    , callout(changeCallout)
    , info(changeInfo)
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        signalPipe[0] = signalPipe[1] = -1;
}

SCDynamicStore::~SCDynamicStore()
{
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), this);
    if (runLoopSource)
        runLoopSource->invalidate();
    for (int end : signalPipe) {
        if (end >= 0)
            close(end);
    }
}

void SCDynamicStore::keyChanged(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                                const PropertyListDictionary*)
{
    auto* store = static_cast<SCDynamicStore*>(observer);
    std::string key = name.substr(std::string_view(notificationPrefix).size());
    if (!store->pendingKeySet.insert(key).second)
        return;
    store->pendingKeys.push_back(key);
    if (store->pendingKeys.size() == 1) {
        char signal = 1;
        [[maybe_unused]] auto written = write(store->signalPipe[1], &signal, 1);
    }
}

void SCDynamicStore::deliverChangedKeys()
{
    char drained[64];
    while (read(signalPipe[0], drained, sizeof drained) > 0) { }
    std::vector<std::string> changedKeys;
    changedKeys.swap(pendingKeys);
    pendingKeySet.clear();
    if (!changedKeys.empty() && callout)
        callout(this, changedKeys, info);
}

CFRunLoopSourceRef SCDynamicStoreCreateRunLoopSource(CFAllocatorRef, SCDynamicStoreRef store, long)
{
    if (!store)
        return nullptr;
    if (!store->runLoopSource)
        store->runLoopSource = CFRunLoopSource::create(store->signalPipe[0], [store] { store->deliverChangedKeys(); });
    return store->runLoopSource;
}

std::optional<PropertyList> SCDynamicStoreCopyValue(SCDynamicStoreRef store, const std::string& key)
{
    if (!store)
        return std::nullopt;
    const auto& contents = storeFile().contents();
    auto entry = contents.find(key);
    if (entry == contents.end())
        return std::nullopt;
    return entry->second;
}

bool SCDynamicStoreSetValue(SCDynamicStoreRef store, const std::string& key, const PropertyList& value)
{
    if (!store || key.empty())
        return false;
    bool changed = false;
    bool stored = storeFile().update([&](PropertyListDictionary& contents) {
        auto entry = contents.find(key);
        changed = entry == contents.end() || !(entry->second == value);
        if (changed)
            contents[key] = value;
        return changed;
    });
    if (stored && changed)
        announceChange(key);
    return stored;
}

bool SCDynamicStoreRemoveValue(SCDynamicStoreRef store, const std::string& key)
{
    if (!store)
        return false;
    bool removed = false;
    bool stored = storeFile().update([&](PropertyListDictionary& contents) {
        removed = contents.erase(key) > 0;
        return removed;
    });
    if (stored && removed)
        announceChange(key);
    return stored && removed;
}

std::optional<std::vector<std::string>> SCDynamicStoreCopyKeyList(SCDynamicStoreRef store, const std::string& pattern)
{
    if (!store)
        return std::nullopt;
    // The pattern is compiled as given and a key matches when the longest match at its start spans it:
    // wrapping the text in "^(...)$" would let a ")" in the pattern close the group early, leave the
    // rest unanchored and make some malformed patterns compile.
    regex_t expression;
    if (regcomp(&expression, pattern.c_str(), REG_EXTENDED) != 0)
        return std::nullopt;
    std::vector<std::string> keys;
    for (const auto& [key, value] : storeFile().contents()) {
        regmatch_t match {};
        if (regexec(&expression, key.c_str(), 1, &match, 0) == 0 && match.rm_so == 0
            && static_cast<std::size_t>(match.rm_eo) == key.size())
            keys.push_back(key);
    }
    regfree(&expression);
    return keys;
}

bool SCDynamicStoreSetNotificationKeys(SCDynamicStoreRef store, const std::vector<std::string>* keys,
                                       const std::vector<std::string>* patterns)
{
    if (!store)
        return false;
    if (patterns && !patterns->empty()) {
        NSLog("SCDynamicStoreSetNotificationKeys(%@): patterns are not watched", store->name());
        return false;
    }
    CFNotificationCenterRef center = CFNotificationCenterGetDarwinNotifyCenter();
    const std::vector<std::string> none;
    const std::vector<std::string>& requested = keys ? *keys : none;
    auto& current = store->notificationKeys;
    auto observe = [&](const std::string& key) {
        if (store->observedKeys.insert(key).second)
            CFNotificationCenterAddObserver(center, store, SCDynamicStore::keyChanged, notificationName(key), nullptr,
                                            CFNotificationSuspensionBehaviorDeliverImmediately);
    };
    // The usual change is the same list with keys added at its end: only those are observed anew.
    if (requested.size() >= current.size() && !current.empty() && std::equal(current.begin(), current.end(), requested.begin())) {
        for (auto key = requested.begin() + static_cast<long>(current.size()); key != requested.end(); ++key)
            observe(*key);
        current.insert(current.end(), requested.begin() + static_cast<long>(current.size()), requested.end());
        return true;
    }
    std::set<std::string> watched(requested.begin(), requested.end());
    if (watched.empty()) {
        CFNotificationCenterRemoveEveryObserver(center, store);
        store->observedKeys.clear();
    } else {
        for (auto key = store->observedKeys.begin(); key != store->observedKeys.end();) {
            if (watched.count(*key)) {
                ++key;
                continue;
            }
            CFNotificationCenterRemoveObserver(center, store, notificationName(*key), nullptr);
            key = store->observedKeys.erase(key);
        }
    }
    for (const auto& key : watched)
        observe(key);
    current = requested;
    return true;
}
