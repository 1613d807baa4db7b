#include "PreferencesTransaction.h"

#include "NSDictionary.h"
#include "TarvikDNSShared.h"

namespace {

thread_local PreferencesTransaction* liveTransaction = nullptr;

} // namespace

PreferencesTransaction::PreferencesTransaction()
    : outermost(liveTransaction == nullptr)
{
    if (outermost)
        liveTransaction = this;
}

PreferencesTransaction::~PreferencesTransaction()
{
    save();
    if (outermost)
        liveTransaction = nullptr;
}

void PreferencesTransaction::save()
{
    if (!outermost) {
        liveTransaction->save();
        return;
    }
    // Without the lock (logged), the changes are lost rather than another writer's.
    if (changed && reading && lock && lock->isLocked())
        writeDictionaryToFile(*reading, kPreferencesPath, true, { kPreferencesPermissions });
    changed = false;
}

PreferencesTransaction* PreferencesTransaction::current()
{
    return liveTransaction;
}

void PreferencesTransaction::begin()
{
    if (lock)
        return;
    lock.emplace(kPreferencesPath);
    reading = dictionaryWithContentsOfFile(kPreferencesPath);
}

const std::optional<PropertyListDictionary>& PreferencesTransaction::preferences()
{
    begin();
    return reading;
}

void PreferencesTransaction::set(const std::string& key, const std::string& value)
{
    begin();
    if (!reading || dictionaryHoldsValue(*reading, key, value))
        return;
    (*reading)[key] = value;
    changed = true;
}
