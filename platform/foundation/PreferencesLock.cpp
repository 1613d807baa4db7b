#include "PreferencesLock.h"

#include "DeviceRoot.h"
#include "FileDescriptor.h"
#include "NSLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
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

FileDescriptor openExistingLockFile(int folder, const std::string& name)
{
    return FileDescriptor(openat(folder, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

// A new lock file, given to the folder's owner before it takes its name, so that the owner never finds
// one it cannot open (right after, where the file system makes no unnamed files); the one another
// process made first, when it did.
FileDescriptor makeLockFile(int folder, const std::string& name, const struct stat& folderStatus)
{
    FileDescriptor file(openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file.isOpen()) {
        file.reset(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.isOpen())
            return errno == EEXIST ? openExistingLockFile(folder, name) : FileDescriptor {};
        // Whether it went is seen by the caller, in the file's owner.
        (void)!fchown(file.get(), folderStatus.st_uid, folderStatus.st_gid);
        return file;
    }
    (void)!fchown(file.get(), folderStatus.st_uid, folderStatus.st_gid);
    std::string unnamed = "/proc/self/fd/" + std::to_string(file.get());
    if (linkat(AT_FDCWD, unnamed.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return file;
    return errno == EEXIST ? openExistingLockFile(folder, name) : FileDescriptor {};
}

// The lock file, made when missing. One that is a link, no regular file, not the folder owner's, or
// open to other accounts is refused: anyone who can open it can take the lock and keep writers waiting.
FileDescriptor openLockFile(int folder, const std::string& name, std::string& problem)
{
    struct stat folderStatus {};
    if (fstat(folder, &folderStatus) != 0) {
        problem = std::strerror(errno);
        return {};
    }
    FileDescriptor lock = openExistingLockFile(folder, name);
    if (!lock.isOpen() && errno == ENOENT)
        lock = makeLockFile(folder, name, folderStatus);
    if (!lock.isOpen()) {
        problem = std::strerror(errno);
        return {};
    }
    struct stat status {};
    if (fstat(lock.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != folderStatus.st_uid
        || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        problem = "not a file of the folder's owner that only it may open";
        return {};
    }
    return lock;
}

} // namespace

PreferencesLock::PreferencesLock(const std::string& preferencesDevicePath, std::chrono::milliseconds patience)
{
    std::string resolved = DeviceRoot::resolve(preferencesDevicePath);
    if (resolved.empty())
        return;
    std::filesystem::path file(resolved);
    std::string folderPath = file.parent_path().string();
    std::string lockPath = resolved + ".lock";
    FileDescriptor folder(open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen()) {
        // No folder, no preferences: a write then changes nothing, and there is nothing to lock.
        if (errno != ENOENT && errno != ENOTDIR)
            NSLog("PreferencesLock: cannot open %@: %@; %@ not written", folderPath, std::strerror(errno),
                  preferencesDevicePath);
        return;
    }
    std::string problem;
    FileDescriptor lock = openLockFile(folder.get(), file.filename().string() + ".lock", problem);
    if (!lock.isOpen()) {
        NSLog("PreferencesLock: cannot use %@: %@; %@ not written", lockPath, problem, preferencesDevicePath);
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!tryLock(lock.get())) {
        if (errno != EWOULDBLOCK) {
            NSLog("PreferencesLock: cannot lock %@: %@; %@ not written", lockPath, std::strerror(errno),
                  preferencesDevicePath);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            NSLog("PreferencesLock: %@ not locked within %@ seconds; %@ not written", lockPath,
                  std::chrono::duration<double>(patience).count(), preferencesDevicePath);
            return;
        }
        std::this_thread::sleep_for(retryInterval);
    }
    lockFile = std::move(lock);
}

PreferencesLock::~PreferencesLock()
{
    if (lockFile.isOpen())
        flock(lockFile.get(), LOCK_UN);
}
