// scutil --set's standard input: whatever arrives there is either stored whole or refused, and a refused
// input leaves the store as it was.
#include "FuzzCheck.h"
#include "FuzzDevice.h"
#include "SCDynamicStore.h"
#include "ScutilSet.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

namespace {

constexpr const char* key = "State:/Network/Service/fuzz/DNS";

SCDynamicStoreRef store()
{
    FuzzDevice::shared();
    static auto connection = SCDynamicStoreCreate(kCFAllocatorDefault, "scutil", nullptr, nullptr);
    fuzzCheck(connection != nullptr, "the fuzz device's store can be reached");
    return connection.get();
}

std::string storedXML()
{
    auto value = SCDynamicStoreCopyValue(store(), key);
    return value ? value->xml() : "(none)";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string before = storedXML();
    std::istringstream standardInput(input);
    std::ostringstream standardError;

    int status = scutilSet(store(), key, standardInput, standardError);

    if (status != 0) {
        fuzzCheck(!standardError.str().empty(), "a refused input is told on standard error");
        fuzzCheck(storedXML() == before, "a refused input leaves the store as it was");
        return 0;
    }
    auto value = PropertyList::fromBytes(input);
    fuzzCheck(value && value->dictionary(), "only a dictionary is stored");
    fuzzCheck(storedXML() == value->xml(), "the store holds what was given");
    return 0;
}
