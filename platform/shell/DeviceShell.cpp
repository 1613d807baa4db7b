#include "DeviceShell.h"

#include "DeviceProgram.h"
#include "DeviceRoot.h"
#include "Launchctl.h"
#include "NSFileManager.h"
#include "NSLog.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int commandNotFound = 127;

constexpr std::array deviceProgramNames { "scutil", "launchctl", "notifyutil" };

struct CommandLine {
    std::vector<std::string> arguments;
    std::optional<std::string> outputPath;
};

std::optional<CommandLine> parseCommandLine(const std::string& command)
{
    CommandLine commandLine;
    std::istringstream words(command);
    std::string word;
    while (words >> word) {
        if (word.front() != '>') {
            commandLine.arguments.push_back(word);
            continue;
        }
        std::string target = word.substr(1);
        if (target.empty() && !(words >> target))
            return std::nullopt;
        commandLine.outputPath = target;
    }
    if (commandLine.arguments.empty())
        return std::nullopt;
    return commandLine;
}

std::string baseName(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whatever is at the path goes first, a symbolic link or a file another account placed included; the
// new file is then created exclusively, so nothing can be slipped in between.
int openRedirection(const std::string& devicePath)
{
    std::string path = DeviceRoot::resolve(devicePath);
    if (path.empty())
        return -1;
    auto slash = devicePath.rfind('/');
    if (slash != std::string::npos && slash > 0)
        NSFileManager::defaultManager().createDirectoryAtPath(devicePath.substr(0, slash));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return -1;
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

int exitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return commandNotFound;
}

// launchctl is the service manager's own command line, run in this process: the commands a daemon gives
// at every pass cost no process start.
int runLaunchctl(const CommandLine& commandLine, int outputFileDescriptor)
{
    std::vector<std::string> arguments(commandLine.arguments.begin() + 1, commandLine.arguments.end());
    return Launchctl::run(arguments, outputFileDescriptor >= 0 ? outputFileDescriptor : STDOUT_FILENO, STDERR_FILENO);
}

int runProgram(const std::string& programPath, const CommandLine& commandLine, int outputFileDescriptor)
{
    std::vector<std::string> arguments = commandLine.arguments;
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0)
        return commandNotFound;
    if (child == 0) {
        if (outputFileDescriptor >= 0)
            dup2(outputFileDescriptor, STDOUT_FILENO);
        execv(programPath.c_str(), argv.data());
        _exit(commandNotFound);
    }
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) < 0) {
        if (errno != EINTR)
            return commandNotFound;
    }
    return exitStatusOf(waitStatus);
}

} // namespace

namespace device {

int system(const char* command)
{
    if (!command)
        return commandNotFound;
    auto commandLine = parseCommandLine(command);
    if (!commandLine) {
        NSLog("sh: cannot run \"%s\": no command", command);
        return commandNotFound;
    }
    std::string name = baseName(commandLine->arguments.front());
    bool isDeviceProgram = false;
    for (const char* deviceProgram : deviceProgramNames)
        isDeviceProgram = isDeviceProgram || name == deviceProgram;
    bool runsInThisProcess = name == "launchctl";
    auto programPath = isDeviceProgram && !runsInThisProcess ? DeviceProgram::locate(name) : std::nullopt;
    if (!runsInThisProcess && !programPath) {
        NSLog("sh: %@: command not found", name);
        return commandNotFound;
    }

    int outputFileDescriptor = -1;
    if (commandLine->outputPath) {
        outputFileDescriptor = openRedirection(*commandLine->outputPath);
        if (outputFileDescriptor < 0) {
            NSLog("sh: cannot create %@", *commandLine->outputPath);
            return 1;
        }
    }
    int status = runsInThisProcess ? runLaunchctl(*commandLine, outputFileDescriptor)
                                   : runProgram(*programPath, *commandLine, outputFileDescriptor);
    if (outputFileDescriptor >= 0)
        close(outputFileDescriptor);
    return status;
}

int unlink(const char* devicePath)
{
    if (!devicePath)
        return -1;
    std::string path = DeviceRoot::resolve(devicePath);
    if (path.empty())
        return -1;
    return ::unlink(path.c_str());
}

} // namespace device
