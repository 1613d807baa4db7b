#include "BridgeJournal.h"

#include "NSDictionary.h"
#include "NSFileManager.h"
#include "NSLog.h"

namespace {

std::optional<BridgeJournal::Entry> entryFrom(const PropertyList& value)
{
    const auto* fields = value.dictionary();
    if (!fields || !fields->contains("System"))
        return std::nullopt;
    auto system = LinkDNS::fromJournalValue(fields->at("System"));
    if (!system)
        return std::nullopt;
    BridgeJournal::Entry entry { *system, std::nullopt, false };
    if (fields->contains("Override"))
        entry.override = LinkDNS::fromJournalValue(fields->at("Override"));
    auto pending = fields->find("Pending");
    entry.pending = entry.override && pending != fields->end() && pending->second.boolean() && *pending->second.boolean();
    return entry;
}

PropertyList valueOf(const BridgeJournal::Entry& entry)
{
    PropertyListDictionary fields { { "System", entry.system.journalValue() } };
    if (entry.override) {
        fields["Override"] = entry.override->journalValue();
        fields["Pending"] = entry.pending;
    }
    return fields;
}

} // namespace

BridgeJournal BridgeJournal::load()
{
    BridgeJournal journal;
    if (!NSFileManager::defaultManager().fileExistsAtPath(devicePath))
        return journal;
    auto stored = dictionaryWithContentsOfFile(devicePath);
    if (!stored) {
        NSLog("resolved-bridge: %@ cannot be read; every link's DNS is taken as the system's", devicePath);
        return journal;
    }
    for (const auto& [linkName, value] : *stored) {
        if (auto entry = entryFrom(value))
            journal.entries[linkName] = *entry;
    }
    journal.saved = journal.entries;
    return journal;
}

BridgeJournal::Entry* BridgeJournal::find(const std::string& linkName)
{
    auto found = entries.find(linkName);
    return found == entries.end() ? nullptr : &found->second;
}

BridgeJournal::Entry& BridgeJournal::entry(const std::string& linkName, const LinkDNS& system)
{
    return entries.try_emplace(linkName, Entry { system, std::nullopt, false }).first->second;
}

void BridgeJournal::forget(const std::string& linkName)
{
    entries.erase(linkName);
}

void BridgeJournal::save()
{
    if (entries == saved)
        return;
    PropertyListDictionary stored;
    for (const auto& [linkName, entry] : entries)
        stored[linkName] = valueOf(entry);
    if (!writeDictionaryToFile(stored, devicePath, true))
        NSLog("resolved-bridge: cannot write %@", devicePath);
    saved = entries;
}
