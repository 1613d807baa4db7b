#include "StatusText.h"

#include "DeviceRoot.h"
#include "DeviceState.h"
#include "NSDictionary.h"
#include "NSString.h"
#include "SCDynamicStore.h"
#include "TarvikDNSShared.h"

#include <algorithm>
#include <optional>
#include <sstream>
#include <vector>

namespace {

using Row = std::vector<std::string>;

// Rows as columns, each as wide as its widest cell, two blanks apart; one line a row.
std::vector<std::string> alignedLines(const std::vector<Row>& rows)
{
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    }
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column)
            line += row[column] + (column + 1 < row.size() ? std::string(widths[column] - row[column].size() + 2, ' ') : "");
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    return lines;
}

std::string joined(std::vector<std::string>::const_iterator begin, std::vector<std::string>::const_iterator end)
{
    std::string text;
    for (auto line = begin; line != end; ++line)
        text += *line + "\n";
    return text;
}

std::optional<std::string> preference(const std::optional<PropertyListDictionary>& preferences, const char* key)
{
    const std::string* text = preferences ? typedValueFor<std::string>(*preferences, key) : nullptr;
    return text ? std::optional(*text) : std::nullopt;
}

bool isSet(const std::optional<std::string>& value)
{
    return value && !value->empty();
}

std::string connectivityText(const std::optional<std::string>& value)
{
    if (!value)
        return "not set";
    return value->empty() ? "empty" : *value;
}

const PropertyList* fieldOf(const std::optional<PropertyList>& value, const char* field)
{
    const auto* fields = value ? value->dictionary() : nullptr;
    if (!fields)
        return nullptr;
    auto entry = fields->find(field);
    return entry == fields->end() ? nullptr : &entry->second;
}

std::string serversText(const std::optional<PropertyList>& dns)
{
    if (!dns)
        return "absent";
    std::string servers;
    const PropertyList* addresses = fieldOf(dns, "ServerAddresses");
    if (addresses && addresses->array()) {
        for (const auto& address : *addresses->array())
            servers += (servers.empty() ? "" : ", ") + (address.string() ? *address.string() : address.description());
    }
    return servers.empty() ? "none" : servers;
}

std::string domainText(const std::optional<PropertyList>& dns)
{
    const PropertyList* domain = fieldOf(dns, "DomainName");
    return domain && domain->string() && !domain->string()->empty() ? *domain->string() : "-";
}

// The backup that netwardd writes for a key that had no value of its own.
bool recordsAnAbsentKey(const std::optional<PropertyList>& backup)
{
    const PropertyList* absent = fieldOf(backup, "TarvikDNSKeyWasAbsent");
    return absent && absent->boolean() && *absent->boolean();
}

// The rows of one service or of the global DNS: what is in effect, and, under an override, the system's
// own values that it kept aside.
void addScope(std::vector<Row>& rows, SCDynamicStoreRef store, const std::string& name, const std::string& interface,
              const std::string& cellular, const std::string& stateKey, const std::string& backupKey)
{
    auto inEffect = SCDynamicStoreCopyValue(store, stateKey);
    auto backup = SCDynamicStoreCopyValue(store, backupKey);
    bool overridden = backup.has_value();
    rows.push_back({ name, interface, cellular, overridden ? "on" : "off", serversText(inEffect), domainText(inEffect) });
    if (!overridden)
        return;
    if (recordsAnAbsentKey(backup))
        backup.reset();
    rows.push_back({ "  the system's own (backup)", "", "", "", serversText(backup), domainText(backup) });
}

std::string servicesText(SCDynamicStoreRef store)
{
    std::vector<Row> rows { { "Service", "Interface", "Cellular", "Override", "DNS servers", "Domain" } };
    const std::string prefix = "State:/Network/Service/";
    for (const auto& key : SCDynamicStoreCopyKeyList(store, "State:/Network/Service/.*/IPv4").value_or(std::vector<std::string> {})) {
        std::string serviceID = key.substr(prefix.size(), key.size() - prefix.size() - std::string("/IPv4").size());
        auto state = SCDynamicStoreCopyValue(store, key);
        const PropertyList* name = fieldOf(state, "InterfaceName");
        std::string interface = name && name->string() ? *name->string() : "-";
        // On a machine, the link's own name beside the phone's name for it.
        const PropertyList* link = fieldOf(state, "LinkName");
        std::string shown = link && link->string() && *link->string() != interface ? interface + " (" + *link->string() + ")" : interface;
        addScope(rows, store, serviceID, shown, interface == "pdp_ip0" ? "yes" : "no", prefix + serviceID + "/DNS",
                 prefix + serviceID + "/TarvikDNS");
        const PropertyList* refused = fieldOf(state, "DNSOverrideRefused");
        if (refused && refused->string())
            rows.push_back({ "  not overridable: " + *refused->string() });
    }
    addScope(rows, store, "Global DNS", "", "", "State:/Network/Global/DNS", "State:/Network/Global/TarvikDNS");
    auto lines = alignedLines(rows);
    return joined(lines.begin(), lines.end());
}

} // namespace

std::string StatusText()
{
    auto preferences = dictionaryWithContentsOfFile(kPreferencesPath);
    std::string resolver = preference(preferences, kPrefDNSCryptServer).value_or("");
    std::vector<Row> settings {
        { "Device", DeviceRoot::path().value_or("?") },
        { "Selected connectivity", connectivityText(preference(preferences, kPrefSelectedConnectivity)) },
        { "Saved connectivity", connectivityText(preference(preferences, kPrefSBSelectedConnectivity)) },
        { "Passlock", isSet(preference(preferences, kPrefPasslock)) ? "set" : "not set" },
        { "DNSCrypt", isSet(preference(preferences, kPrefDNSCrypt)) ? "on" : "off" },
        { "DNSCrypt resolver", resolver.empty() ? "opendns (none chosen)" : resolver },
        { "DNSCrypt proxy", DNSCryptProxyState() },
    };
    if (!preferences)
        settings.insert(settings.begin() + 1, { "Preferences", "none yet" });

    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "device-status", nullptr, nullptr);
    std::string services = store ? servicesText(store.get()) : "The dynamic store cannot be read.\n";

    std::vector<Row> resolverFile;
    auto text = stringWithContentsOfFile("/etc/resolv.conf", NSStringEncoding::NSUTF8StringEncoding);
    std::istringstream fileLines(text.value_or(""));
    for (std::string line; std::getline(fileLines, line);)
        resolverFile.push_back({ resolverFile.empty() ? "/etc/resolv.conf" : "", line });
    if (resolverFile.empty())
        resolverFile.push_back({ "/etc/resolv.conf", text ? "empty" : "absent" });

    // The settings and the resolver file share their columns.
    std::vector<Row> together = settings;
    together.insert(together.end(), resolverFile.begin(), resolverFile.end());
    auto lines = alignedLines(together);
    auto split = lines.begin() + static_cast<long>(settings.size());
    return joined(lines.begin(), split) + "\n" + services + "\n" + joined(split, lines.end());
}
