#include "TarvikDNSPrefs.h"

#include "NSDictionary.h"
#include "NSString.h"
#include "PreferencesLock.h"
#include "PreferencesTransaction.h"
#include "TarvikDNSShared.h"

void InitPrefs()
{
    PreferencesLock lock(kPreferencesPath);
    writeStringToFile(kPreferencesInitialText, kPreferencesPath, false, NSStringEncoding::NSUTF8StringEncoding);
    if (auto preferences = dictionaryWithContentsOfFile(kPreferencesPath)) {
        (*preferences)[kPrefRequestedConnectivity] = "None";
        writeDictionaryToFile(*preferences, kPreferencesPath, true);
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
    PreferencesLock lock(kPreferencesPath);
    auto preferences = dictionaryWithContentsOfFile(kPreferencesPath);
    // A value already stored needs no new file.
    if (preferences && !dictionaryHoldsValue(*preferences, *key, *value)) {
        (*preferences)[*key] = *value;
        writeDictionaryToFile(*preferences, kPreferencesPath, true);
    }
}
