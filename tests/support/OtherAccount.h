#pragma once

#include "ChildProcess.h"

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// An account of the machine that a test running as root can take on, in a child that fork() made.
struct MachineAccount {
    uid_t uid { 0 };
    gid_t gid { 0 };

    // The account of that name, where the machine has it and this process runs as root.
    static std::optional<MachineAccount> named(const char* name);
    // Takes the account on for good; false when the system refused.
    bool become() const;
};

// An account of the machine other than the tests', for tests of what one account can do to another's
// device: "nobody", taken on by a child that fork() made. Only root can take on another account.
class OtherAccount {
public:
    // Why the tests cannot act as another account here (not root, no such account), or null.
    static std::optional<std::string> unavailable();

    // Runs the function in a child, as the other account; the child's exit status (128 + the signal
    // that ended it) is the function's result.
    static int run(const std::function<int()>& function);
    // The same, without waiting: the child's process id, for wait().
    static pid_t start(const std::function<int()>& function);
    static int wait(pid_t processID);

    // Runs a program as the other account, as runProgram does for the tests' own.
    static ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments);
};
