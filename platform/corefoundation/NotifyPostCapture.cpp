#include "NotifyPostCapture.h"

#include <algorithm>
#include <mutex>

namespace {

struct Capture {
    std::mutex mutex;
    int captureCount { 0 };
    std::vector<std::string> names;
};

Capture& capture()
{
    static Capture* const state = new Capture;
    return *state;
}

} // namespace

NotifyPostCapture::NotifyPostCapture()
{
    std::lock_guard lock(capture().mutex);
    ++capture().captureCount;
}

NotifyPostCapture::~NotifyPostCapture()
{
    std::lock_guard lock(capture().mutex);
    if (--capture().captureCount == 0)
        capture().names.clear();
}

std::vector<std::string> NotifyPostCapture::names() const
{
    std::lock_guard lock(capture().mutex);
    return capture().names;
}

std::size_t NotifyPostCapture::count(const std::string& name) const
{
    std::lock_guard lock(capture().mutex);
    return static_cast<std::size_t>(std::count(capture().names.begin(), capture().names.end(), name));
}

void NotifyPostCapture::clear()
{
    std::lock_guard lock(capture().mutex);
    capture().names.clear();
}

void NotifyPostCapture::record(const std::string& name)
{
    std::lock_guard lock(capture().mutex);
    if (capture().captureCount > 0)
        capture().names.push_back(name);
}
