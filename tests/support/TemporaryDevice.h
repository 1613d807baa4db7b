#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A fresh device root for one test: made under the machine's temporary folder, named by
// TARVIKDNS_DEVICE_ROOT while the object lives, and removed with everything in it afterwards. The
// process's Darwin notification center and its run loop start clean on it and are cleaned again at
// the end, so nothing of one test reaches the next.
class TemporaryDevice {
public:
    TemporaryDevice();
    ~TemporaryDevice();

    TemporaryDevice(const TemporaryDevice&) = delete;
    TemporaryDevice& operator=(const TemporaryDevice&) = delete;

    const std::string& root() const { return rootPath; }

    // The machine path of a device path.
    std::string path(const std::string& devicePath) const;

    // Writes a device file (making its folders), or reads one (null when missing).
    void writeFile(const std::string& devicePath, const std::string& content) const;
    std::optional<std::string> readFile(const std::string& devicePath) const;
    bool exists(const std::string& devicePath) const;

    // The processes of the machine that run on this device (this one aside).
    std::vector<int> runningProcesses() const;

private:
    std::string rootPath;
    std::optional<std::string> previousRoot;
};

// Runs the current thread's run loop until the condition holds or the time-out passes; returns the
// condition's last answer.
bool runLoopUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Runs the current thread's run loop for the given time, whatever happens.
void runLoopFor(std::chrono::milliseconds duration);

// The build's copy of a device program.
std::string programPath(const std::string& name);

// A file of the tests' own data folder.
std::string testDataPath(const std::string& name);
