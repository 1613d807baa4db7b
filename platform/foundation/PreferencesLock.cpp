#include "PreferencesLock.h"

#include "DeviceRoot.h"
#include "NSLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto retryInterval = std::chrono::milliseconds(5);

bool tryLock(int descriptor)
{
    int result;
    do
        result = flock(descriptor, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

} // namespace

PreferencesLock::PreferencesLock(const std::string& preferencesDevicePath, std::chrono::milliseconds patience)
{
    std::string resolved = DeviceRoot::resolve(preferencesDevicePath);
    if (resolved.empty())
        return;
    std::string folder = std::filesystem::path(resolved).parent_path().string();
    int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        // No folder, no preferences: a write then changes nothing, and there is nothing to lock.
        if (errno != ENOENT && errno != ENOTDIR)
            NSLog("PreferencesLock: cannot open %@: %@; writing %@ without the lock", folder, std::strerror(errno),
                  preferencesDevicePath);
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!tryLock(descriptor)) {
        if (errno != EWOULDBLOCK) {
            NSLog("PreferencesLock: cannot lock %@: %@; writing %@ without the lock", folder, std::strerror(errno),
                  preferencesDevicePath);
            close(descriptor);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            NSLog("PreferencesLock: %@ not locked within %@ seconds; writing %@ without the lock", folder,
                  std::chrono::duration<double>(patience).count(), preferencesDevicePath);
            close(descriptor);
            return;
        }
        std::this_thread::sleep_for(retryInterval);
    }
    fd = descriptor;
}

PreferencesLock::~PreferencesLock()
{
    if (fd < 0)
        return;
    flock(fd, LOCK_UN);
    close(fd);
}
