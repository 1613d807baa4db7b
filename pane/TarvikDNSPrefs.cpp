#include "TarvikDNSPrefs.h"

#include "FileLock.h"
#include "NSDictionary.h"
#include "NSString.h"
#include "TarvikDNSShared.h"

void InitPrefs()
{
    FileLock lock(kPreferencesPath);
    writeStringToFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n"
                      "<dict>\n"
                      "</dict>\n"
                      "</plist>",
                      kPreferencesPath, false, NSStringEncoding::NSUTF8StringEncoding);
    if (auto preferences = dictionaryWithContentsOfFile(kPreferencesPath)) {
        (*preferences)[kPrefRequestedConnectivity] = "None";
        writeDictionaryToFile(*preferences, kPreferencesPath, true);
    }
}

std::optional<std::string> ReadPrefs(const std::string& key)
{
    auto preferences = dictionaryWithContentsOfFile(kPreferencesPath);
    if (!preferences)
        return std::nullopt;
    auto entry = preferences->find(key);
    if (entry == preferences->end() || !entry->second.string())
        return std::nullopt;
    return *entry->second.string();
}

void WritePrefs(const std::optional<std::string>& key, const std::optional<std::string>& value)
{
    if (!key || !value)
        return;
    FileLock lock(kPreferencesPath);
    if (auto preferences = dictionaryWithContentsOfFile(kPreferencesPath)) {
        (*preferences)[*key] = *value;
        writeDictionaryToFile(*preferences, kPreferencesPath, true);
    }
}
