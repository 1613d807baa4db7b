#include "Tools.h"

#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSLog.h"
#include "NSString.h"
#include "PreferencesLock.h"
#include "PreferencesSnapshot.h"
#include "TarvikDNSShared.h"

namespace {

// The preferences may hold the Passlock: readable by mobile, whose they are, and root alone.
NSFileAttributes preferencesAttributes()
{
    return { kPreferencesPermissions, "mobile", "mobile" };
}

} // namespace

void InitPrefs()
{
    // The lock lives beside the file.
    NSFileManager::defaultManager().createDirectoryAtPath("/var/mobile/Library/Preferences");
    {
        PreferencesLock lock(kPreferencesPath);
        if (lock.isLocked())
            writeStringToFile(kPreferencesInitialText, kPreferencesPath, false, NSStringEncoding::NSUTF8StringEncoding,
                              preferencesAttributes());
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
        // Without the lock (logged), the value is lost rather than another writer's.
        PreferencesLock lock(kPreferencesPath);
        auto preferences = lock.isLocked() ? dictionaryWithContentsOfFile(kPreferencesPath) : std::nullopt;
        // A value already stored needs no new file.
        if (preferences && !dictionaryHoldsValue(*preferences, key, value)) {
            (*preferences)[key] = value;
            writeDictionaryToFile(*preferences, kPreferencesPath, true, preferencesAttributes());
        }
    }
    PreferencesSnapshot::forgetReading();
    // A file that an earlier writer left open to every account is closed to them too.
    NSFileManager::defaultManager().setPosixPermissions(kPreferencesPath, kPreferencesPermissions);
    NSFileManager::defaultManager().setOwnerAccountName(kPreferencesPath, "mobile", "mobile");
}
