#pragma once

#include <string>
#include <vector>

// The launchctl command line, as the launchctl program and the device's shell both run it: the shell
// runs it in its own process, the program in a process of its own, with the same effects either way
// (jobs, processes, output, exit status and log lines).
//   launchctl load PATH     loads the launch-daemon list and, when it says RunAtLoad, starts its program
//   launchctl unload PATH   stops the job's program and forgets the job
//   launchctl list          the loaded jobs: process id ("-" when not running), status, label
class Launchctl {
public:
    // Runs the command with the arguments that follow "launchctl"; what it prints goes to the output
    // descriptor, what it complains of to the error descriptor. Returns its exit status (64: usage).
    static int run(const std::vector<std::string>& arguments, int outputFileDescriptor, int errorFileDescriptor);
};
