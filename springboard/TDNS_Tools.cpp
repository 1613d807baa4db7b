#include "TDNS_Tools.h"

#include "NSDictionary.h"
#include "PreferencesLock.h"
#include "TarvikDNSShared.h"

std::optional<std::string> TDNS_Tools::ReadPrefs(const std::string& key)
{
    auto preferences = dictionaryWithContentsOfFile(kPreferencesPath);
    const std::string* text = preferences ? typedValueFor<std::string>(*preferences, key) : nullptr;
    return text ? std::optional(*text) : std::nullopt;
}

void TDNS_Tools::WritePrefs(const std::string& key, const std::optional<std::string>& value)
{
    if (!value)
        return;
    // The daemon and the pane rewrite the same file; the lock keeps their keys from being lost.
    // Without the lock (logged), the value is lost rather than another writer's.
    PreferencesLock lock(kPreferencesPath);
    auto preferences = lock.isLocked() ? dictionaryWithContentsOfFile(kPreferencesPath) : std::nullopt;
    // A value already stored needs no new file.
    if (!preferences || dictionaryHoldsValue(*preferences, key, *value))
        return;
    (*preferences)[key] = *value;
    // It may hold the Passlock now: readable by its owner and root alone.
    writeDictionaryToFile(*preferences, kPreferencesPath, true, { kPreferencesPermissions });
}
