#include "DeviceFeed.h"

#include "Device.h"

DeviceFeed::DeviceFeed(Device& fedDevice)
    : device(fedDevice)
{
    device.takeEvents();
    told = DeviceState::capture();
}

void DeviceFeed::publish(Entry entry)
{
    for (auto& event : device.takeEvents())
        entry.lines.push_back(std::move(event));
    DeviceState now = DeviceState::capture();
    for (const auto& change : now.changesSince(told))
        entry.lines.push_back("changed: " + change);
    told = std::move(now);
    for (const auto& [number, listener] : listeners)
        listener(entry);
}

int DeviceFeed::addListener(Listener listener)
{
    listeners.emplace_back(++lastListener, std::move(listener));
    return lastListener;
}

void DeviceFeed::removeListener(int listener)
{
    std::erase_if(listeners, [listener](const auto& entry) { return entry.first == listener; });
}

bool DeviceFeed::hasNews() const
{
    return device.hasEvents() || !DeviceState::capture().changesSince(told).empty();
}

void DeviceFeed::publishOutsideNews()
{
    if (!hasNews())
        return;
    device.settle();
    publish({});
}
