#include "ProcessIdentity.h"

#include <fstream>
#include <sstream>
#include <string>

std::optional<ProcessIdentity> ProcessIdentity::of(int processID)
{
    if (processID <= 0)
        return std::nullopt;
    std::ifstream statFile("/proc/" + std::to_string(processID) + "/stat");
    std::string line;
    if (!std::getline(statFile, line))
        return std::nullopt;
    // The command name is in parentheses and may hold blanks; the fields after it are plain.
    auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos)
        return std::nullopt;
    std::istringstream fields(line.substr(nameEnd + 1));
    std::string state;
    fields >> state;
    if (state == "Z" || state == "X")
        return std::nullopt;
    // After the state come 18 fields before the start time (field 22 of the whole line).
    std::string skipped;
    for (int field = 0; field < 18; ++field)
        fields >> skipped;
    std::uint64_t startTime = 0;
    if (!(fields >> startTime))
        return std::nullopt;
    return ProcessIdentity { processID, startTime };
}

bool ProcessIdentity::isAlive() const
{
    auto current = of(processID);
    return current && current->startTime == startTime;
}
