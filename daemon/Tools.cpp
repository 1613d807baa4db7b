#include "Tools.h"

#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSLog.h"
#include "NSString.h"
#include "PreferencesLock.h"
#include "TarvikDNSShared.h"

void InitPrefs()
{
    {
        PreferencesLock lock(kPreferencesPath);
        writeStringToFile(kPreferencesInitialText, kPreferencesPath, false, NSStringEncoding::NSUTF8StringEncoding);
    }
    WritePrefs(kPrefRequestedConnectivity, "None");
}

std::string ReadPrefs(const std::string& key)
{
    auto preferences = dictionaryWithContentsOfFile(kPreferencesPath);
    if (!preferences)
        return "";
    auto entry = preferences->find(key);
    if (entry == preferences->end() || !entry->second.string())
        return "";
    return *entry->second.string();
}

void WritePrefs(const std::string& key, const std::string& value)
{
    NSLog("Writing %@ to %@", value, key);
    {
        PreferencesLock lock(kPreferencesPath);
        if (auto preferences = dictionaryWithContentsOfFile(kPreferencesPath)) {
            (*preferences)[key] = value;
            writeDictionaryToFile(*preferences, kPreferencesPath, true);
        }
    }
    NSFileManager::defaultManager().setOwnerAccountName(kPreferencesPath, "mobile", "mobile");
}
