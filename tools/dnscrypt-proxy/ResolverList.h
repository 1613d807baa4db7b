#pragma once

#include <optional>
#include <string>

// A resolver as a client needs it: where it listens, and who vouches for its certificates.
struct ResolverEntry {
    std::string name;
    std::string address;
    std::string providerName;
    std::string providerKey;
};

// The proxy's resolver list: the CSV the Settings pane shows, in either of its published layouts
// (quoted or unquoted fields, CR LF or LF, with or without a byte-order mark).
class ResolverList {
public:
    // The row whose "Name" is `name`; null, with `error` saying why, when there is none or the row lacks
    // an address, a provider name or a provider key.
    static std::optional<ResolverEntry> find(const std::string& listText, const std::string& name, std::string& error);
};
