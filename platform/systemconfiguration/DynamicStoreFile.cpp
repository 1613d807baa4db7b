#include "DynamicStoreFile.h"

#include "DeviceRoot.h"
#include "FileLock.h"
#include "NSDictionary.h"

#include <fcntl.h>
#include <unistd.h>

std::uint64_t DynamicStoreFile::currentGeneration(const std::string& generationPath)
{
    std::uint64_t generation = 0;
    int fd = open(generationPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (pread(fd, &generation, sizeof generation, 0) != sizeof generation)
        generation = 0;
    close(fd);
    return generation;
}

void DynamicStoreFile::reloadIfChanged()
{
    std::string root = DeviceRoot::path().value_or("");
    std::uint64_t generation = currentGeneration(DeviceRoot::resolve(generationDevicePath));
    if (root == loadedRoot && loadedGeneration == generation)
        return;
    loadedRoot = root;
    loadedGeneration = generation;
    loaded = dictionaryWithContentsOfFile(devicePath).value_or(PropertyListDictionary {});
}

const PropertyListDictionary& DynamicStoreFile::contents()
{
    reloadIfChanged();
    return loaded;
}

bool DynamicStoreFile::update(const std::function<bool(PropertyListDictionary&)>& change)
{
    FileLock lock(devicePath);
    if (!lock.isLocked())
        return false;
    reloadIfChanged();
    PropertyListDictionary changed = loaded;
    if (!change(changed))
        return true;
    if (!writeDictionaryToFile(changed, devicePath, true))
        return false;

    std::uint64_t generation = loadedGeneration.value_or(0) + 1;
    int fd = open(DeviceRoot::resolve(generationDevicePath).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool counted = fd >= 0 && pwrite(fd, &generation, sizeof generation, 0) == sizeof generation;
    if (fd >= 0)
        close(fd);
    loaded = std::move(changed);
    loadedGeneration = counted ? std::optional(generation) : std::nullopt;
    return true;
}
