#include "DeviceState.h"

#include "DNSCryptProxyLog.h"
#include "Launchd.h"
#include "NSDictionary.h"
#include "NSString.h"
#include "SCDynamicStore.h"

#include <algorithm>
#include <sstream>

namespace {

// A value on one line, as a person reads it.
std::string compact(const std::optional<PropertyList>& value)
{
    if (!value)
        return "(absent)";
    if (const std::string* text = value->string()) {
        std::string shown = "\"" + *text + "\"";
        std::replace(shown.begin(), shown.end(), '\n', ' ');
        return shown.size() > 110 ? shown.substr(0, 106) + "...\"" : shown;
    }
    std::istringstream lines(value->description());
    std::string line;
    std::string text;
    while (std::getline(lines, line)) {
        auto start = line.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        text += (text.empty() || text.back() == '(' || text.back() == '{' ? "" : " ") + line.substr(start);
    }
    constexpr size_t longest = 110;
    return text.size() > longest ? text.substr(0, longest - 3) + "..." : text;
}

std::string quoted(const std::optional<std::string>& text)
{
    if (!text)
        return "(absent)";
    std::string shown = "\"";
    for (char character : *text)
        shown += character == '\n' ? std::string("\\n") : std::string(1, character);
    return shown + "\"";
}

void compareDictionaries(const std::string& what, const PropertyListDictionary& before, const PropertyListDictionary& after,
                         std::vector<std::string>& changes)
{
    auto valueIn = [](const PropertyListDictionary& dictionary, const std::string& key) -> std::optional<PropertyList> {
        auto entry = dictionary.find(key);
        return entry == dictionary.end() ? std::nullopt : std::optional(entry->second);
    };
    std::vector<std::string> keys;
    for (const auto& [key, value] : before)
        keys.push_back(key);
    for (const auto& [key, value] : after) {
        if (!before.count(key))
            keys.push_back(key);
    }
    for (const auto& key : keys) {
        auto old = valueIn(before, key);
        auto now = valueIn(after, key);
        if (old != now)
            changes.push_back(what + " " + key + ": " + compact(old) + " -> " + compact(now));
    }
}

} // namespace

std::string DNSCryptProxyState()
{
    auto jobs = Launchd::list();
    auto job = std::find_if(jobs.begin(), jobs.end(), [](const Launchd::Job& loaded) { return loaded.label == "com.opendns.DNSCryptProxy"; });
    if (job == jobs.end())
        return "stopped";
    std::string problem = DNSCryptProxyLog::read().problem();
    // Loaded, but its process is gone: it could not start, or it ended since.
    if (!job->processID)
        return "stopped: " + (problem.empty() ? std::string("its process has ended") : problem);
    std::string resolver = "?";
    if (auto list = dictionaryWithContentsOfFile(job->listPath)) {
        if (const auto* arguments = typedValueFor<PropertyListArray>(*list, "ProgramArguments")) {
            for (const auto& argument : *arguments) {
                if (argument.string() && argument.string()->starts_with("--resolver-name="))
                    resolver = argument.string()->substr(16);
            }
        }
    }
    std::string state = "running (pid " + std::to_string(job->processID) + "), resolver " + resolver;
    return problem.empty() ? state : state + ", but " + problem;
}

DeviceState DeviceState::capture()
{
    DeviceState state;
    state.preferences = dictionaryWithContentsOfFile("/var/mobile/Library/Preferences/com.tarvik.dns.plist").value_or(PropertyListDictionary {});
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "device-state", nullptr, nullptr);
    for (const auto& key : SCDynamicStoreCopyKeyList(store.get(), ".*/(DNS|TarvikDNS)").value_or(std::vector<std::string> {})) {
        if (auto value = SCDynamicStoreCopyValue(store.get(), key))
            state.store[key] = *value;
    }
    state.resolverFile = stringWithContentsOfFile("/etc/resolv.conf", NSStringEncoding::NSUTF8StringEncoding);
    state.proxy = DNSCryptProxyState();
    return state;
}

std::vector<std::string> DeviceState::changesSince(const DeviceState& before) const
{
    std::vector<std::string> changes;
    compareDictionaries("preferences", before.preferences, preferences, changes);
    compareDictionaries("store", before.store, store, changes);
    if (before.resolverFile != resolverFile)
        changes.push_back("/etc/resolv.conf: " + quoted(before.resolverFile) + " -> " + quoted(resolverFile));
    if (before.proxy != proxy)
        changes.push_back("DNSCrypt proxy: " + before.proxy + " -> " + proxy);
    return changes;
}
