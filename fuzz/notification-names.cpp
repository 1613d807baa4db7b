// Darwin notification names of any bytes and length, observed through the Darwin center and posted with
// notify_post on the fuzz device, then delivered by turns of the run loop. The first byte chooses
// whether the rest is one name or names one a line.
#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "FuzzCheck.h"
#include "FuzzDevice.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::size_t mostNamesAtOnce = 16;

std::vector<std::string> namesOf(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return {};
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0)
        return { rest };
    std::vector<std::string> names;
    std::size_t start = 0;
    while (names.size() < mostNamesAtOnce) {
        std::size_t end = rest.find('\n', start);
        names.push_back(rest.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return names;
}

void record(CFNotificationCenterRef, void* observer, const std::string& name, const void*, const PropertyListDictionary*)
{
    static_cast<std::vector<std::string>*>(observer)->push_back(name);
}

bool contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Each name once, where it first appears.
std::vector<std::string> firstAppearances(const std::vector<std::string>& names)
{
    std::vector<std::string> distinct;
    for (const auto& name : names) {
        if (!contains(distinct, name))
            distinct.push_back(name);
    }
    return distinct;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzDevice::shared();
    CFNotificationCenterRef center = CFNotificationCenterGetDarwinNotifyCenter();
    auto names = namesOf(data, size);
    std::vector<std::string> delivered;
    for (const auto& name : names)
        CFNotificationCenterAddObserver(center, &delivered, record, name, nullptr, CFNotificationSuspensionBehaviorHold);

    // notify_post takes a C string: a name is posted up to its first NUL.
    std::vector<std::string> posted;
    for (const auto& name : names) {
        std::string text = name.c_str();
        std::uint32_t status = notify_post(text.c_str());
        if (text.empty())
            fuzzCheck(status != 0, "an empty name is refused");
        if (!text.empty() && text.size() <= 255)
            fuzzCheck(status == 0, "a name of up to 255 bytes is posted");
        if (status == 0)
            posted.push_back(text);
    }
    CFRunLoopGetCurrent()->runUntilIdle(std::chrono::seconds(1));
    CFNotificationCenterRemoveEveryObserver(center, &delivered);

    for (const auto& name : delivered)
        fuzzCheck(contains(posted, name) && contains(names, name), "only a name both posted and observed is delivered");
    for (const auto& name : posted)
        fuzzCheck(!contains(names, name) || contains(delivered, name), "every observed name posted is delivered");
    auto postOrder = firstAppearances(posted);
    std::erase_if(postOrder, [&](const std::string& name) { return !contains(delivered, name); });
    fuzzCheck(firstAppearances(delivered) == postOrder, "names are delivered in the order they were posted");
    return 0;
}
