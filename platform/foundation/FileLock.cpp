#include "FileLock.h"

#include "DeviceRoot.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

FileLock::FileLock(const std::string& devicePath)
{
    std::string resolved = DeviceRoot::resolve(devicePath);
    if (resolved.empty())
        return;
    std::string lockPath = resolved + ".lock";
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(lockPath).parent_path(), ignored);

    int descriptor = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return;
    int result;
    do
        result = flock(descriptor, LOCK_EX);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(descriptor);
        return;
    }
    fd = descriptor;
}

FileLock::~FileLock()
{
    if (fd < 0)
        return;
    flock(fd, LOCK_UN);
    close(fd);
}
