#include "NSFileManager.h"

#include "DeviceRoot.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

size_t initialBufferSize(int name)
{
    long size = sysconf(name);
    return size > 0 ? static_cast<size_t>(size) : 16384;
}

std::optional<uid_t> userID(const std::string& accountName)
{
    std::vector<char> buffer(initialBufferSize(_SC_GETPW_R_SIZE_MAX));
    for (;;) {
        passwd entry {};
        passwd* found = nullptr;
        int error = getpwnam_r(accountName.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found)
            return std::nullopt;
        return found->pw_uid;
    }
}

std::optional<gid_t> groupID(const std::string& groupName)
{
    std::vector<char> buffer(initialBufferSize(_SC_GETGR_R_SIZE_MAX));
    for (;;) {
        group entry {};
        group* found = nullptr;
        int error = getgrnam_r(groupName.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found)
            return std::nullopt;
        return found->gr_gid;
    }
}

} // namespace

NSFileManager& NSFileManager::defaultManager()
{
    static NSFileManager manager;
    return manager;
}

bool NSFileManager::fileExistsAtPath(const std::string& devicePath) const
{
    std::string resolved = DeviceRoot::resolve(devicePath);
    if (resolved.empty())
        return false;
    struct stat status {};
    return stat(resolved.c_str(), &status) == 0;
}

bool NSFileManager::removeItemAtPath(const std::string& devicePath) const
{
    std::string resolved = DeviceRoot::resolve(devicePath);
    if (resolved.empty())
        return false;
    if (unlink(resolved.c_str()) == 0)
        return true;
    if (errno == EISDIR || errno == EPERM)
        return rmdir(resolved.c_str()) == 0;
    return false;
}

bool NSFileManager::setOwnerAccountName(const std::string& devicePath, const std::string& ownerAccountName,
                                        const std::string& groupOwnerAccountName) const
{
    std::string resolved = DeviceRoot::resolve(devicePath);
    if (resolved.empty())
        return false;
    auto owner = userID(ownerAccountName);
    auto groupOwner = groupID(groupOwnerAccountName);
    if (!owner || !groupOwner)
        return false;

    // Held by an O_PATH descriptor so that a link swapped in after the check is never followed.
    int fd = open(resolved.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    bool changed = fstat(fd, &status) == 0 && !S_ISLNK(status.st_mode)
        && fchownat(fd, "", *owner, *groupOwner, AT_EMPTY_PATH) == 0;
    close(fd);
    return changed;
}

bool NSFileManager::setPosixPermissions(const std::string& devicePath, mode_t permissions) const
{
    std::string resolved = DeviceRoot::resolve(devicePath);
    if (resolved.empty())
        return false;
    // fchmod refuses an O_PATH descriptor; /proc/self/fd names the file itself, never a link.
    int fd = open(resolved.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    bool changed = fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
        && chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), permissions) == 0;
    close(fd);
    return changed;
}

bool NSFileManager::setAttributesOfOpenFile(int fileDescriptor, const NSFileAttributes& attributes) const
{
    bool given = fchmod(fileDescriptor, attributes.posixPermissions) == 0;
    if (attributes.ownerAccountName.empty() && attributes.groupOwnerAccountName.empty())
        return given;
    std::optional<uid_t> owner = static_cast<uid_t>(-1);
    std::optional<gid_t> groupOwner = static_cast<gid_t>(-1);
    if (!attributes.ownerAccountName.empty())
        owner = userID(attributes.ownerAccountName);
    if (!attributes.groupOwnerAccountName.empty())
        groupOwner = groupID(attributes.groupOwnerAccountName);
    if (!owner || !groupOwner)
        return false;
    return fchown(fileDescriptor, *owner, *groupOwner) == 0 && given;
}

bool NSFileManager::createDirectoryAtPath(const std::string& devicePath) const
{
    std::string resolved = DeviceRoot::resolve(devicePath);
    if (resolved.empty())
        return false;
    std::error_code error;
    std::filesystem::create_directories(resolved, error);
    return std::filesystem::is_directory(resolved, error);
}
