#include "SCDynamicStore.h"

#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "DynamicStoreLog.h"
#include "KeyPattern.h"
#include "NSLog.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <fcntl.h>
#include <unistd.h>

namespace {

DynamicStoreLog& storeLog()
{
    static DynamicStoreLog log;
    return log;
}

std::string notificationName(const std::string& key)
{
    return SCDynamicStore::notificationPrefix + key;
}

// The patterns key lists were asked for lately, compiled: the daemon asks for the same few again and
// again, and compiling costs more than matching a store.
std::shared_ptr<const KeyPattern> compiledPattern(const std::string& pattern)
{
    constexpr std::size_t kept = 16;
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<const KeyPattern>> patterns;
    std::lock_guard guard(lock);
    auto known = patterns.find(pattern);
    if (known != patterns.end())
        return known->second;
    std::shared_ptr<const KeyPattern> compiled = KeyPattern::compile(pattern);
    if (!compiled)
        return nullptr;
    if (patterns.size() >= kept)
        patterns.clear();
    patterns.emplace(pattern, compiled);
    return compiled;
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
    if (!store->isWatched(key) || !store->pendingKeySet.insert(key).second)
        return;
    store->pendingKeys.push_back(key);
    if (store->pendingKeys.size() == 1) {
        char signal = 1;
        [[maybe_unused]] auto written = write(store->signalPipe[1], &signal, 1);
    }
}

bool SCDynamicStore::isWatched(const std::string& key) const
{
    return observedKeys.count(key)
        || std::any_of(watchedPatterns.begin(), watchedPatterns.end(), [&](const auto& pattern) { return pattern->matches(key); });
}

// Each pattern is observed as the names that start and end as every key it matches does.
void SCDynamicStore::setNotificationPatterns(const std::vector<std::string>& patterns,
                                             std::vector<std::unique_ptr<KeyPattern>> compiled)
{
    CFNotificationCenterRef center = CFNotificationCenterGetDarwinNotifyCenter();
    for (const auto& pattern : watchedPatterns)
        CFNotificationCenterRemovePatternObserver(center, this, notificationName(pattern->literalPrefix()), pattern->literalSuffix());
    for (const auto& pattern : compiled)
        CFNotificationCenterAddPatternObserver(center, this, keyChanged, notificationName(pattern->literalPrefix()), pattern->literalSuffix());
    watchedPatterns = std::move(compiled);
    notificationPatterns = patterns;
}

void SCDynamicStore::setNotificationKeys(const std::vector<std::string>& requested)
{
    CFNotificationCenterRef center = CFNotificationCenterGetDarwinNotifyCenter();
    auto observe = [&](const std::string& key) {
        if (observedKeys.insert(key).second)
            CFNotificationCenterAddObserver(center, this, keyChanged, notificationName(key), nullptr,
                                            CFNotificationSuspensionBehaviorDeliverImmediately);
    };
    // The usual change is the same list with keys added at its end: only those are observed anew.
    if (requested.size() >= notificationKeys.size() && !notificationKeys.empty()
        && std::equal(notificationKeys.begin(), notificationKeys.end(), requested.begin())) {
        for (auto key = requested.begin() + static_cast<long>(notificationKeys.size()); key != requested.end(); ++key) {
            observe(*key);
            notificationKeys.push_back(*key);
        }
        return;
    }
    std::set<std::string> watched(requested.begin(), requested.end());
    if (watched.empty()) {
        // Everything at once, then the patterns again.
        CFNotificationCenterRemoveEveryObserver(center, this);
        observedKeys.clear();
        for (const auto& pattern : watchedPatterns)
            CFNotificationCenterAddPatternObserver(center, this, keyChanged, notificationName(pattern->literalPrefix()),
                                                   pattern->literalSuffix());
    }
    for (auto key = observedKeys.begin(); key != observedKeys.end();) {
        if (watched.count(*key)) {
            ++key;
            continue;
        }
        CFNotificationCenterRemoveObserver(center, this, notificationName(*key), nullptr);
        key = observedKeys.erase(key);
    }
    for (const auto& key : watched)
        observe(key);
    notificationKeys = requested;
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
    const auto& contents = storeLog().contents();
    auto entry = contents.find(key);
    if (entry == contents.end())
        return std::nullopt;
    return entry->second;
}

bool SCDynamicStoreSetValue(SCDynamicStoreRef store, const std::string& key, const PropertyList& value)
{
    if (!store || key.empty())
        return false;
    auto change = storeLog().change(key, value);
    if (change == DynamicStoreLog::Change::Made)
        announceChange(key);
    return change != DynamicStoreLog::Change::Failed;
}

bool SCDynamicStoreRemoveValue(SCDynamicStoreRef store, const std::string& key)
{
    if (!store)
        return false;
    auto change = storeLog().change(key, std::nullopt);
    if (change == DynamicStoreLog::Change::Made)
        announceChange(key);
    return change == DynamicStoreLog::Change::Made;
}

bool SCDynamicStoreSetValueIf(SCDynamicStoreRef store, const std::string& key, const PropertyList& value,
                              const std::optional<PropertyList>& expected)
{
    if (!store || key.empty())
        return false;
    auto change = storeLog().changeIf(key, value, expected);
    if (change == DynamicStoreLog::Change::Made)
        announceChange(key);
    return change == DynamicStoreLog::Change::Made || change == DynamicStoreLog::Change::Unchanged;
}

bool SCDynamicStoreRemoveValueIf(SCDynamicStoreRef store, const std::string& key, const PropertyList& expected)
{
    if (!store)
        return false;
    auto change = storeLog().changeIf(key, std::nullopt, expected);
    if (change == DynamicStoreLog::Change::Made)
        announceChange(key);
    return change == DynamicStoreLog::Change::Made;
}

std::optional<std::vector<std::string>> SCDynamicStoreCopyKeyList(SCDynamicStoreRef store, const std::string& pattern)
{
    if (!store)
        return std::nullopt;
    auto keyPattern = compiledPattern(pattern);
    if (!keyPattern)
        return std::nullopt;
    // Keys are sorted: those that start as every match does lie together.
    const std::string& prefix = keyPattern->literalPrefix();
    const std::string& suffix = keyPattern->literalSuffix();
    const auto& contents = storeLog().contents();
    std::vector<std::string> keys;
    for (auto entry = contents.lower_bound(prefix); entry != contents.end() && entry->first.starts_with(prefix); ++entry) {
        if (entry->first.ends_with(suffix) && keyPattern->matches(entry->first))
            keys.push_back(entry->first);
    }
    return keys;
}

bool SCDynamicStoreSetNotificationKeys(SCDynamicStoreRef store, const std::vector<std::string>* keys,
                                       const std::vector<std::string>* patterns)
{
    if (!store)
        return false;
    const std::vector<std::string> none;
    const std::vector<std::string>& requestedPatterns = patterns ? *patterns : none;
    // Patterns are compiled when they change, before anything else does: one that does not compile
    // changes nothing.
    std::optional<std::vector<std::unique_ptr<KeyPattern>>> compiled;
    if (requestedPatterns != store->notificationPatterns) {
        compiled.emplace();
        for (const auto& pattern : requestedPatterns) {
            auto keyPattern = KeyPattern::compile(pattern);
            if (!keyPattern) {
                NSLog("SCDynamicStoreSetNotificationKeys(%@): the pattern \"%@\" does not compile", store->name(), pattern);
                return false;
            }
            compiled->push_back(std::move(keyPattern));
        }
    }
    store->setNotificationKeys(keys ? *keys : none);
    if (compiled)
        store->setNotificationPatterns(requestedPatterns, std::move(*compiled));
    return true;
}
