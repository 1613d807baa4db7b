#include "TarvikDNSPrefs.h"

#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSString.h"
#include "PreferencesLock.h"
#include "PreferencesTransaction.h"
#include "TarvikDNSShared.h"

void InitPrefs()
{
    // The lock lives beside the file.
    NSFileManager::defaultManager().createDirectoryAtPath("/var/mobile/Library/Preferences");
    PreferencesLock lock(kPreferencesPath);
    if (!lock.isLocked())
        return;
    writeStringToFile(kPreferencesInitialText, kPreferencesPath, false, NSStringEncoding::NSUTF8StringEncoding,
                      { kPreferencesPermissions });
    if (auto preferences = dictionaryWithContentsOfFile(kPreferencesPath)) {
        (*preferences)[kPrefRequestedConnectivity] = "None";
        writeDictionaryToFile(*preferences, kPreferencesPath, true, { kPreferencesPermissions });
    }
}

namespace {

std::optional<std::string> stringFor(const std::string& key, const std::optional<PropertyListDictionary>& preferences)
{
    const std::string* text = preferences ? typedValueFor<std::string>(*preferences, key) : nullptr;
    return text ? std::optional(*text) : std::nullopt;
}

} // namespace

std::optional<std::string> ReadPrefs(const std::string& key)
{
    if (auto* transaction = PreferencesTransaction::current())
        return stringFor(key, transaction->preferences());
    return stringFor(key, dictionaryWithContentsOfFile(kPreferencesPath));
}

void WritePrefs(const std::optional<std::string>& key, const std::optional<std::string>& value)
{
    if (!key || !value)
        return;
    if (auto* transaction = PreferencesTransaction::current()) {
        transaction->set(*key, *value);
        return;
    }
    // Without the lock (logged), the value is lost rather than another writer's.
    PreferencesLock lock(kPreferencesPath);
    auto preferences = lock.isLocked() ? dictionaryWithContentsOfFile(kPreferencesPath) : std::nullopt;
    // A value already stored needs no new file.
    if (preferences && !dictionaryHoldsValue(*preferences, *key, *value)) {
        (*preferences)[*key] = *value;
        writeDictionaryToFile(*preferences, kPreferencesPath, true, { kPreferencesPermissions });
    }
}
