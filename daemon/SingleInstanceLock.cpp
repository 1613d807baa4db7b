#include "SingleInstanceLock.h"

#include "DeviceRoot.h"
#include "NSFileManager.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct flock wholeFileWriteLock()
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

} // namespace

std::unique_ptr<SingleInstanceLock> SingleInstanceLock::take(const std::string& devicePath, std::string& problem)
{
    std::string path = DeviceRoot::resolve(devicePath);
    if (auto slash = devicePath.rfind('/'); slash != std::string::npos && slash > 0)
        NSFileManager::defaultManager().createDirectoryAtPath(devicePath.substr(0, slash));
    FileDescriptor file(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!file.isOpen()) {
        problem = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() || status.st_nlink != 1) {
        problem = path + " is not a file of this account's own; another account may have placed it";
        return nullptr;
    }
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0 && fchmod(file.get(), 0600) != 0) {
        problem = "cannot close " + path + " to other accounts: " + std::strerror(errno);
        return nullptr;
    }
    struct flock lock = wholeFileWriteLock();
    if (fcntl(file.get(), F_SETLK, &lock) == 0)
        return std::unique_ptr<SingleInstanceLock>(new SingleInstanceLock(std::move(file)));
    if (errno != EACCES && errno != EAGAIN) {
        problem = "cannot lock " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct flock holder = wholeFileWriteLock();
    bool named = fcntl(file.get(), F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK && holder.l_pid > 0;
    problem = "another netwardd runs on this device (process " + (named ? std::to_string(holder.l_pid) : std::string("unknown"))
        + ", holding " + path + ")";
    return nullptr;
}
