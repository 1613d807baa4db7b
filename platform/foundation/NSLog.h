#pragma once

#include "StringFormat.h"

#include <string>
#include <string_view>
#include <vector>

// Writes one entry to standard error and to the device log "/var/log/system.log", prefixed with the
// time, the program name and its process id. The message itself is passed on as it is.
void NSLogMessage(const std::string& message);

template<typename... Arguments>
void NSLog(std::string_view format, const Arguments&... arguments)
{
    NSLogMessage(NSStringWithFormat(format, arguments...));
}

// For tests: while capturing, every message is also kept in memory, without its prefix.
class NSLogCapture {
public:
    NSLogCapture();
    ~NSLogCapture();

    NSLogCapture(const NSLogCapture&) = delete;
    NSLogCapture& operator=(const NSLogCapture&) = delete;

    std::vector<std::string> messages() const;
    void clear();
};
