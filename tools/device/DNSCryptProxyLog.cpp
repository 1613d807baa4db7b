#include "DNSCryptProxyLog.h"

#include "DeviceLayout.h"
#include "NSDictionary.h"
#include "NSString.h"

#include <sstream>

namespace {

constexpr const char* defaultLogPath = "/tmp/DNSCrypt.log";

// The text after "[YYYY-MM-DD HH:MM:SS] ", or the whole line when it has no time stamp.
std::string textOf(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.starts_with('[')) {
        if (auto end = line.find("] "); end != std::string::npos)
            return line.substr(end + 2);
    }
    return line;
}

// The reason as a one-line status shows it: no control characters, and not longer than a screen line.
std::string oneLine(std::string text)
{
    constexpr size_t longest = 160;
    for (char& character : text) {
        if (static_cast<unsigned char>(character) < 0x20 || character == 0x7f)
            character = '?';
    }
    return text.size() > longest ? text.substr(0, longest - 3) + "..." : text;
}

std::string withLowerCaseStart(std::string text)
{
    if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z')
        text.front() = static_cast<char>(text.front() - 'A' + 'a');
    return text;
}

} // namespace

DNSCryptProxyLog::DNSCryptProxyLog(const std::string& text)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        take(textOf(line));
}

void DNSCryptProxyLog::take(const std::string& text)
{
    if (text.starts_with("Using resolver ") || text.starts_with("Certificate taken:")) {
        latestProblem.clear();
        return;
    }
    if (text.starts_with("No usable certificate from ") || text.starts_with("Cannot listen on ")) {
        latestProblem = oneLine(withLowerCaseStart(text));
        return;
    }
    if (text.starts_with("Error: ") && text.size() > 7)
        latestProblem = oneLine(text.substr(7));
}

std::string DNSCryptProxyLog::devicePath()
{
    auto list = dictionaryWithContentsOfFile(DeviceLayout::proxyListPath);
    const auto* arguments = list ? typedValueFor<PropertyListArray>(*list, "ProgramArguments") : nullptr;
    if (!arguments)
        return defaultLogPath;
    const std::string option = "--logfile=";
    for (const auto& argument : *arguments) {
        if (argument.string() && argument.string()->starts_with(option) && argument.string()->size() > option.size())
            return argument.string()->substr(option.size());
    }
    return defaultLogPath;
}

DNSCryptProxyLog DNSCryptProxyLog::read()
{
    // In /tmp, which other accounts may write: never through a link, never a file of theirs.
    return DNSCryptProxyLog(stringWithContentsOfOwnFile(devicePath(), NSStringEncoding::NSUTF8StringEncoding).value_or(""));
}
