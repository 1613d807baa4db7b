#include "FuzzDevice.h"

#include "DeviceRoot.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

FuzzDevice& FuzzDevice::shared()
{
    static FuzzDevice device;
    return device;
}

FuzzDevice::FuzzDevice()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvikdns-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("cannot make a temporary device root");
        std::abort();
    }
    rootPath = pattern;
    setenv(DeviceRoot::environmentVariable, rootPath.c_str(), 1);
}

FuzzDevice::~FuzzDevice()
{
    std::error_code ignored;
    std::filesystem::remove_all(rootPath, ignored);
}
