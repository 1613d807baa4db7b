#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// A program started by a test as a process of its own, with the test's environment (and so its device
// root). Standard input is a pipe the test can write to; standard output and error go to files the test
// can read at any time. The destructor ends a process still running (SIGTERM, then SIGKILL) and reaps it.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return processID; }
    bool isRunning();

    void writeToStandardInput(const std::string& text);
    void closeStandardInput();

    std::string standardOutput() const;
    std::string standardError() const;

    // Waits for the process to end; its exit status (128 + signal when killed), or null on time-out.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

    // SIGTERM, then SIGKILL if it has not ended within the grace period; the exit status.
    int terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));

    // Waits until the standard output contains the text; false on time-out.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

private:
    int processID { -1 };
    int standardInput { -1 };
    std::optional<int> exitStatus;
    std::string outputPath;
    std::string errorPath;
};

// Runs a program to its end and gives its exit status and standard output.
struct ProgramResult {
    int status { -1 };
    std::string output;
    std::string error;
};
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& standardInput = "");

// True once the process observes Darwin notifications on the current device.
bool waitForNotificationObserver(int processID, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
