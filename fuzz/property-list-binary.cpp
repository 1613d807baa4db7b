// Binary property lists, as the preferences, the dynamic store and launch-daemon lists are read: every
// input is taken as a binary list, its first bytes replaced by the format's mark.
#include "PropertyListReading.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::string_view binaryMark = "bplist00";
    std::string bytes(reinterpret_cast<const char*>(data), size);
    bytes.replace(0, std::min(bytes.size(), binaryMark.size()), binaryMark);
    readPropertyListAsTheDeviceDoes(bytes);
    return 0;
}
