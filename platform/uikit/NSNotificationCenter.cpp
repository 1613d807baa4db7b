#include "NSNotificationCenter.h"

#include <algorithm>

NSNotificationCenter& NSNotificationCenter::defaultCenter()
{
    static NSNotificationCenter center;
    return center;
}

void NSNotificationCenter::addObserver(const void* observer, std::function<void(const NSNotification&)> selector,
                                       const std::string& name, const void* object)
{
    if (!selector)
        return;
    observations.push_back({ nextIdentifier++, observer, std::move(selector), name, object });
}

void NSNotificationCenter::removeObserver(const void* observer, const std::string& name, const void* object)
{
    // An empty name stands for every name and a null object for every sender, as on the platform.
    std::erase_if(observations, [&](const Observation& observation) {
        return observation.observer == observer && (name.empty() || observation.name == name)
            && (!object || observation.object == object);
    });
}

void NSNotificationCenter::removeObserver(const void* observer)
{
    std::erase_if(observations, [observer](const Observation& observation) { return observation.observer == observer; });
}

void NSNotificationCenter::postNotificationName(const std::string& name, const void* object)
{
    std::vector<unsigned long long> receivers;
    for (const auto& observation : observations) {
        if (observation.name == name && (!observation.object || observation.object == object))
            receivers.push_back(observation.identifier);
    }
    NSNotification notification { name, object };
    // An observer removed by an earlier one hears nothing more.
    for (auto identifier : receivers) {
        auto found = std::find_if(observations.begin(), observations.end(),
                                  [identifier](const Observation& observation) { return observation.identifier == identifier; });
        if (found == observations.end())
            continue;
        auto selector = found->selector;
        selector(notification);
    }
}

size_t NSNotificationCenter::numberOfObservers(const std::string& name) const
{
    return static_cast<size_t>(std::count_if(observations.begin(), observations.end(),
                                             [&name](const Observation& observation) { return observation.name == name; }));
}
