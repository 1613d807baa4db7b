#pragma once

#include "FileDescriptor.h"

#include <string>

// The proxy's log: one line per event a person must know of, "[2026-12-07 22:40:01] text", appended
// to the log file (a device path; never through a symbolic link), or to standard error without one.
// Errors go to standard error as well.
class ProxyLog {
public:
    // Opens the log file, making its folder; without a usable file, lines go to standard error.
    explicit ProxyLog(const std::string& logDevicePath);

    void line(const std::string& text);
    void error(const std::string& text);

private:
    FileDescriptor file;
};
