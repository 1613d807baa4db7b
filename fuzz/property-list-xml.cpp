// Property lists in XML, as the preferences, the dynamic store and launch-daemon lists are read.
#include "PropertyListReading.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    readPropertyListAsTheDeviceDoes(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
