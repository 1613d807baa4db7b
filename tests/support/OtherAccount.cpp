#include "OtherAccount.h"

#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* accountName = "nobody";

bool becomeOtherAccount()
{
    auto account = MachineAccount::named(accountName);
    return account && account->become();
}

std::string contentOf(int descriptor)
{
    std::string content;
    char buffer[4096];
    for (off_t offset = 0;;) {
        ssize_t count = pread(descriptor, buffer, sizeof buffer, offset);
        if (count <= 0)
            return content;
        content.append(buffer, static_cast<std::size_t>(count));
        offset += count;
    }
}

// A file for a child's output, open in this process and gone from the file system at once.
int captureFile()
{
    char path[] = "/tmp/tarvikdns-other-account-XXXXXX";
    int descriptor = mkstemp(path);
    if (descriptor >= 0)
        unlink(path);
    return descriptor;
}

} // namespace

std::optional<MachineAccount> MachineAccount::named(const char* name)
{
    const passwd* account = getpwnam(name);
    if (!account || geteuid() != 0)
        return std::nullopt;
    return MachineAccount { account->pw_uid, account->pw_gid };
}

bool MachineAccount::become() const
{
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

std::optional<std::string> OtherAccount::unavailable()
{
    if (geteuid() != 0)
        return "acting as another account needs root; these tests run as uid " + std::to_string(geteuid());
    const passwd* account = getpwnam(accountName);
    if (!account)
        return std::string("the machine has no account \"") + accountName + "\"";
    if (account->pw_uid == 0)
        return std::string("\"") + accountName + "\" is root here";
    return std::nullopt;
}

pid_t OtherAccount::start(const std::function<int()>& function)
{
    pid_t child = fork();
    if (child == 0)
        _exit(becomeOtherAccount() ? function() : 126);
    return child;
}

int OtherAccount::wait(pid_t processID)
{
    int waitStatus = 0;
    if (processID <= 0 || waitpid(processID, &waitStatus, 0) != processID)
        return -1;
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return WEXITSTATUS(waitStatus);
}

int OtherAccount::run(const std::function<int()>& function)
{
    return wait(start(function));
}

ProgramResult OtherAccount::runProgram(const std::string& program, const std::vector<std::string>& arguments)
{
    int output = captureFile();
    int error = captureFile();
    ProgramResult result;
    result.status = run([&] {
        std::vector<std::string> argumentStrings { program };
        argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : argumentStrings)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        dup2(error, STDERR_FILENO);
        execv(program.c_str(), argv.data());
        return 127;
    });
    result.output = contentOf(output);
    result.error = contentOf(error);
    close(output);
    close(error);
    return result;
}
