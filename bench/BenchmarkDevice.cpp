#include "BenchmarkDevice.h"

#include "CFNotificationCenter.h"
#include "DeviceRoot.h"

#include <cstdlib>
#include <filesystem>

BenchmarkDevice::BenchmarkDevice()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvikdns-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        root = pattern;
    setenv(DeviceRoot::environmentVariable, root.c_str(), 1);
    CFNotificationCenterDarwinReset();
}

BenchmarkDevice::~BenchmarkDevice()
{
    CFNotificationCenterDarwinReset();
    std::error_code ignored;
    if (!root.empty())
        std::filesystem::remove_all(root, ignored);
    unsetenv(DeviceRoot::environmentVariable);
}
