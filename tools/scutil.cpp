// scutil: the device's view of its dynamic store.
//   scutil --dns              the DNS configuration, in the platform's layout
//   scutil --get KEY          the key's value as an XML property list; exit 1 when absent
//   scutil --set KEY          stores the XML property-list dictionary read on standard input
//   scutil --remove KEY       removes the key; exit 1 when absent
//   scutil --list [PATTERN]   the keys matching the regular expression (all keys by default)
#include "DeviceRoot.h"
#include "PropertyList.h"
#include "SCDynamicStore.h"
#include "ScutilSet.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::cerr << "usage: scutil --dns\n"
                 "       scutil --get KEY\n"
                 "       scutil --set KEY < dictionary.plist\n"
                 "       scutil --remove KEY\n"
                 "       scutil --list [PATTERN]\n";
    return 64;
}

const PropertyList* valueFor(const PropertyList& dictionary, const std::string& key)
{
    const auto* entries = dictionary.dictionary();
    if (!entries)
        return nullptr;
    auto entry = entries->find(key);
    return entry == entries->end() ? nullptr : &entry->second;
}

// A string as it is; anything else by its description, so a value of the wrong type still shows.
std::string text(const PropertyList& value)
{
    return value.string() ? *value.string() : value.description();
}

void printList(std::ostringstream& out, const PropertyList* value, const char* label)
{
    if (!value)
        return;
    if (const auto* entries = value->array()) {
        for (size_t index = 0; index < entries->size(); ++index)
            out << "  " << label << "[" << index << "] : " << text((*entries)[index]) << "\n";
        return;
    }
    out << "  " << label << "[0] : " << text(*value) << "\n";
}

void printResolver(std::ostringstream& out, int number, const PropertyList& dns, const std::string* interfaceName,
                   int interfaceIndex)
{
    out << "\nresolver #" << number << "\n";
    if (const PropertyList* domain = valueFor(dns, "DomainName"); domain && !(domain->string() && domain->string()->empty()))
        printList(out, domain, "search domain");
    printList(out, valueFor(dns, "ServerAddresses"), "nameserver");
    if (interfaceName)
        out << "  if_index : " << interfaceIndex << " (" << *interfaceName << ")\n";
    out << "  flags    : " << (interfaceName ? "Scoped, " : "") << "Request A records\n";
}

int printDNSConfiguration(SCDynamicStoreRef store)
{
    std::ostringstream out;
    bool any = false;
    out << "DNS configuration\n";
    if (auto global = SCDynamicStoreCopyValue(store, "State:/Network/Global/DNS")) {
        printResolver(out, 1, *global, nullptr, 0);
        any = true;
    }

    auto serviceKeys = SCDynamicStoreCopyKeyList(store, "State:/Network/Service/[^/]+/DNS").value_or(std::vector<std::string> {});
    int resolverNumber = 0;
    for (const auto& dnsKey : serviceKeys) {
        auto dns = SCDynamicStoreCopyValue(store, dnsKey);
        if (!dns)
            continue;
        std::string serviceID = dnsKey.substr(std::string("State:/Network/Service/").size());
        serviceID.resize(serviceID.size() - std::string("/DNS").size());
        auto ipv4 = SCDynamicStoreCopyValue(store, "State:/Network/Service/" + serviceID + "/IPv4");
        const PropertyList* interfaceValue = ipv4 ? valueFor(*ipv4, "InterfaceName") : nullptr;
        std::string interfaceName = interfaceValue ? text(*interfaceValue) : serviceID;
        if (resolverNumber == 0)
            out << "\nDNS configuration (for scoped queries)\n";
        ++resolverNumber;
        printResolver(out, resolverNumber, *dns, &interfaceName, resolverNumber);
        any = true;
    }

    if (!any) {
        std::cout << "No DNS configuration available\n";
        return 0;
    }
    std::cout << out.str();
    return 0;
}

int get(SCDynamicStoreRef store, const std::string& key)
{
    auto value = SCDynamicStoreCopyValue(store, key);
    if (!value) {
        std::cerr << "scutil: " << key << ": no such key\n";
        return 1;
    }
    std::cout << value->xml();
    return 0;
}

int remove(SCDynamicStoreRef store, const std::string& key)
{
    if (!SCDynamicStoreRemoveValue(store, key)) {
        std::cerr << "scutil: " << key << (SCDynamicStoreCopyValue(store, key) ? ": cannot remove the key\n" : ": no such key\n");
        return 1;
    }
    return 0;
}

int list(SCDynamicStoreRef store, const std::string& pattern)
{
    auto keys = SCDynamicStoreCopyKeyList(store, pattern);
    if (!keys) {
        std::cerr << "scutil: " << pattern << ": not a regular expression\n";
        return 1;
    }
    for (const auto& key : *keys)
        std::cout << key << "\n";
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    DeviceRoot::requireOrExit("scutil");
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty())
        return usage();
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "scutil", nullptr, nullptr);
    if (!store) {
        std::cerr << "scutil: cannot reach the dynamic store\n";
        return 1;
    }
    const std::string& option = arguments[0];
    if (option == "--dns" && arguments.size() == 1)
        return printDNSConfiguration(store.get());
    if (option == "--get" && arguments.size() == 2)
        return get(store.get(), arguments[1]);
    if (option == "--set" && arguments.size() == 2)
        return scutilSet(store.get(), arguments[1], std::cin, std::cerr);
    if (option == "--remove" && arguments.size() == 2)
        return remove(store.get(), arguments[1]);
    if (option == "--list" && arguments.size() <= 2)
        return list(store.get(), arguments.size() == 2 ? arguments[1] : ".*");
    return usage();
}
