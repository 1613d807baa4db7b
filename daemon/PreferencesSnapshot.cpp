#include "PreferencesSnapshot.h"

#include "NSDictionary.h"
#include "TarvikDNSShared.h"

namespace {

thread_local PreferencesSnapshot* liveSnapshot = nullptr;

} // namespace

PreferencesSnapshot::PreferencesSnapshot()
    : outermost(liveSnapshot == nullptr)
{
    if (outermost)
        liveSnapshot = this;
}

PreferencesSnapshot::~PreferencesSnapshot()
{
    if (outermost)
        liveSnapshot = nullptr;
}

const std::optional<PropertyListDictionary>* PreferencesSnapshot::current()
{
    if (!liveSnapshot)
        return nullptr;
    if (!liveSnapshot->reading)
        liveSnapshot->reading = dictionaryWithContentsOfFile(kPreferencesPath);
    return &*liveSnapshot->reading;
}

void PreferencesSnapshot::forgetReading()
{
    if (liveSnapshot)
        liveSnapshot->reading.reset();
}
