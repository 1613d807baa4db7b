#include "ChildProcess.h"

#include "CFNotificationCenter.h"
#include "DeviceRoot.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string makeCaptureFile(const char* stream)
{
    std::string pattern = std::string("/tmp/tarvikdns-child-") + stream + "-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw std::runtime_error("cannot make a capture file");
    close(fd);
    return pattern;
}

int statusFromWait(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : outputPath(makeCaptureFile("out"))
    , errorPath(makeCaptureFile("err"))
{
    int inputPipe[2];
    if (pipe2(inputPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");

    std::vector<std::string> argumentStrings { program };
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());

    processID = fork();
    if (processID < 0)
        throw std::runtime_error("cannot fork");
    if (processID == 0) {
        dup2(inputPipe[0], STDIN_FILENO);
        int output = open(outputPath.c_str(), O_WRONLY | O_TRUNC);
        int error = open(errorPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(output, STDOUT_FILENO);
        dup2(error, STDERR_FILENO);
        std::vector<char*> argv;
        for (auto& argument : argumentStrings)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(inputPipe[0]);
    standardInput = inputPipe[1];
}

ChildProcess::~ChildProcess()
{
    closeStandardInput();
    if (!exitStatus)
        terminate();
    unlink(outputPath.c_str());
    unlink(errorPath.c_str());
}

bool ChildProcess::isRunning()
{
    return !waitForExit(std::chrono::milliseconds(0));
}

void ChildProcess::writeToStandardInput(const std::string& text)
{
    if (standardInput < 0)
        return;
    const char* data = text.data();
    size_t remaining = text.size();
    while (remaining > 0) {
        ssize_t written = write(standardInput, data, remaining);
        if (written <= 0)
            return;
        data += written;
        remaining -= static_cast<size_t>(written);
    }
}

void ChildProcess::closeStandardInput()
{
    if (standardInput >= 0)
        close(standardInput);
    standardInput = -1;
}

std::string ChildProcess::standardOutput() const
{
    return readWholeFile(outputPath);
}

std::string ChildProcess::standardError() const
{
    return readWholeFile(errorPath);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout)
{
    if (exitStatus)
        return exitStatus;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int waitStatus = 0;
        pid_t result = waitpid(processID, &waitStatus, WNOHANG);
        if (result == processID) {
            exitStatus = statusFromWait(waitStatus);
            return exitStatus;
        }
        if (result < 0) {
            exitStatus = -1;
            return exitStatus;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::terminate(std::chrono::milliseconds grace)
{
    if (exitStatus)
        return *exitStatus;
    kill(processID, SIGTERM);
    if (auto status = waitForExit(grace))
        return *status;
    kill(processID, SIGKILL);
    return waitForExit(std::chrono::milliseconds(10000)).value_or(-1);
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (standardOutput().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& standardInput)
{
    ChildProcess child(program, arguments);
    child.writeToStandardInput(standardInput);
    child.closeStandardInput();
    ProgramResult result;
    result.status = child.waitForExit(std::chrono::milliseconds(30000)).value_or(-1);
    if (result.status == -1)
        result.status = child.terminate();
    result.output = child.standardOutput();
    result.error = child.standardError();
    return result;
}

bool waitForNotificationObserver(int processID, std::chrono::milliseconds timeout)
{
    std::string socketPath = DeviceRoot::resolve(CFNotificationCenterSocketPath(processID));
    auto deadline = std::chrono::steady_clock::now() + timeout;
    struct stat status {};
    while (lstat(socketPath.c_str(), &status) != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
