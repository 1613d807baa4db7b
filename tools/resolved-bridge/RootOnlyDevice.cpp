#include "RootOnlyDevice.h"

#include "DeviceRoot.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The folders and files whose writer steers the DNS, as device paths; a folder's entries are checked
// too where the files in it are not named here.
const std::vector<std::string> steeringFolders { "/", "/var", "/var/run", "/var/run/notifyd", "/var/mobile",
                                                 "/var/mobile/Library", "/var/mobile/Library/Preferences", "/var/db" };
const std::vector<std::string> steeringFoldersWithEntries { "/var/run/configd" };
const std::vector<std::string> steeringFiles { "/var/mobile/Library/Preferences/com.tarvik.dns.plist",
                                               "/var/mobile/Library/Preferences/com.tarvik.dns.plist.lock",
                                               "/var/db/resolved-bridge.plist" };

std::string accountName(uid_t account)
{
    if (const passwd* entry = getpwuid(account))
        return entry->pw_name;
    return std::to_string(account);
}

// The folders from the machine's root down to the device root, which could be renamed away under it.
std::vector<std::string> foldersAbove(const std::string& deviceRoot)
{
    std::vector<std::string> folders { "/" };
    for (std::size_t slash = deviceRoot.find('/', 1); slash != std::string::npos; slash = deviceRoot.find('/', slash + 1))
        folders.push_back(deviceRoot.substr(0, slash));
    return folders;
}

} // namespace

std::string RootOnlyDevice::foreignWriter(const std::string& machinePath, bool stickyFolderAllowed)
{
    struct stat status {};
    if (lstat(machinePath.c_str(), &status) != 0)
        return "";
    if (S_ISLNK(status.st_mode))
        return machinePath + " is a symbolic link, which another account may have placed";
    if (status.st_uid != 0 && status.st_uid != geteuid())
        return machinePath + " belongs to the account " + accountName(status.st_uid);
    // In a sticky folder such as /tmp, others may add entries but not rename or remove ours.
    if (stickyFolderAllowed && S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX))
        return "";
    if (status.st_mode & S_IWOTH)
        return machinePath + " is writable by every account";
    if ((status.st_mode & S_IWGRP) && status.st_gid != 0)
        return machinePath + " is writable by the group " + std::to_string(status.st_gid);
    return "";
}

std::string RootOnlyDevice::foreignWritable()
{
    auto root = DeviceRoot::path();
    if (!root)
        return "";
    for (const auto& folder : foldersAbove(*root)) {
        if (auto writer = foreignWriter(folder, true); !writer.empty())
            return writer;
    }
    std::vector<std::string> paths;
    for (const auto& folder : steeringFolders)
        paths.push_back(DeviceRoot::resolve(folder));
    for (const auto& file : steeringFiles)
        paths.push_back(DeviceRoot::resolve(file));
    for (const auto& folder : steeringFoldersWithEntries) {
        std::string machineFolder = DeviceRoot::resolve(folder);
        paths.push_back(machineFolder);
        if (DIR* entries = opendir(machineFolder.c_str())) {
            while (const dirent* entry = readdir(entries)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..")
                    paths.push_back(machineFolder + "/" + name);
            }
            closedir(entries);
        }
    }
    for (const auto& path : paths) {
        if (auto writer = foreignWriter(path, false); !writer.empty())
            return writer;
    }
    return "";
}
