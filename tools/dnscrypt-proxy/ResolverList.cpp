#include "ResolverList.h"

#include "DNSCryptServerList.h"

namespace {

// A field as the list wrote it, quotes and doubled quotes undone.
std::string unquoted(const std::string& field)
{
    if (field.size() < 2 || field.front() != '"' || field.back() != '"')
        return field;
    std::string text;
    for (std::size_t index = 1; index + 1 < field.size(); ++index) {
        text += field[index];
        if (field[index] == '"' && field[index + 1] == '"')
            ++index;
    }
    return text;
}

std::string column(const DNSCryptServerRecord& record, const std::string& name)
{
    auto found = record.find(name);
    return found == record.end() ? std::string() : unquoted(found->second);
}

} // namespace

std::optional<ResolverEntry> ResolverList::find(const std::string& listText, const std::string& name, std::string& error)
{
    for (const auto& record : ParseDNSCryptServerList(listText)) {
        if (column(record, "Name") != name)
            continue;
        ResolverEntry entry { name, column(record, "Resolver address"), column(record, "Provider name"),
                              column(record, "Provider public key") };
        if (entry.address.empty() || entry.providerName.empty() || entry.providerKey.empty()) {
            error = "resolver \"" + name + "\" lacks an address, a provider name or a provider key in the list";
            return std::nullopt;
        }
        return entry;
    }
    error = "no resolver named \"" + name + "\" in the list";
    return std::nullopt;
}
