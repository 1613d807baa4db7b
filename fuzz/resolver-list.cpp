// The DNSCrypt proxy's resolver list, as the pane reads it when it opens.
#include "DNSCryptServerList.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string list(reinterpret_cast<const char*>(data), size);
    auto records = ParseDNSCryptServerList(list);

    std::size_t lineFeeds = 0;
    for (char character : list)
        lineFeeds += character == '\n';
    fuzzCheck(records.size() <= lineFeeds, "at most one resolver a line after the header");

    const std::string byteOrderMark = "\xEF\xBB\xBF";
    if (!list.starts_with(byteOrderMark))
        fuzzCheck(ParseDNSCryptServerList(byteOrderMark + list) == records, "a leading byte-order mark changes nothing");
    return 0;
}
