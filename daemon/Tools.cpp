#include "Tools.h"

#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSLog.h"
#include "NSString.h"
#include "PreferencesLock.h"
#include "PreferencesSnapshot.h"
#include "TarvikDNSShared.h"

void InitPrefs()
{
    {
        PreferencesLock lock(kPreferencesPath);
        writeStringToFile(kPreferencesInitialText, kPreferencesPath, false, NSStringEncoding::NSUTF8StringEncoding);
    }
    WritePrefs(kPrefRequestedConnectivity, "None");
}

namespace {

std::string stringFor(const std::string& key, const std::optional<PropertyListDictionary>& preferences)
{
    const std::string* text = preferences ? typedValueFor<std::string>(*preferences, key) : nullptr;
    return text ? *text : "";
}

} // namespace

std::string ReadPrefs(const std::string& key)
{
    if (const auto* snapshot = PreferencesSnapshot::current())
        return stringFor(key, *snapshot);
    return stringFor(key, dictionaryWithContentsOfFile(kPreferencesPath));
}

void WritePrefs(const std::string& key, const std::string& value)
{
    NSLog("Writing %@ to %@", value, key);
    {
        PreferencesLock lock(kPreferencesPath);
        auto preferences = dictionaryWithContentsOfFile(kPreferencesPath);
        // A value already stored needs no new file.
        if (preferences && !dictionaryHoldsValue(*preferences, key, value)) {
            (*preferences)[key] = value;
            writeDictionaryToFile(*preferences, kPreferencesPath, true);
        }
    }
    PreferencesSnapshot::forgetReading();
    NSFileManager::defaultManager().setOwnerAccountName(kPreferencesPath, "mobile", "mobile");
}
