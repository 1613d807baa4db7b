#pragma once

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

// A file of a bundle folder, which is a path of the machine (a bundle is not a device path).
inline std::optional<std::string> readBundleFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad())
        return std::nullopt;
    return content.str();
}
