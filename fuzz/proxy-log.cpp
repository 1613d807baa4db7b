// The DNSCrypt proxy's log, as the device program reads it for `status`: written by another program,
// in a folder others may write.
#include "DNSCryptProxyLog.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    DNSCryptProxyLog log(text);
    fuzzCheck(log.problem().find('\n') == std::string::npos, "a problem is one line");
    fuzzCheck(log.problem().size() <= text.size(), "a problem comes from the log's own text");

    // A run that began after everything in it says nothing is wrong yet.
    DNSCryptProxyLog restarted(text + "\n[2026-12-07 22:40:01] Using resolver cisco at 208.67.220.220:443 (provider p) on 127.0.0.1:53\n");
    fuzzCheck(restarted.problem().empty(), "a new run clears what went wrong before");
    return 0;
}
