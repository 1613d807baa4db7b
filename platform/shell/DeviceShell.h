#pragma once

// The device's shell, as the C library's `system` and `unlink` reach it on the device. They live in
// the namespace `device` because the machine's C library has its own of both names.
namespace device {

// Runs a command line on the device: one of the device's programs ("scutil", "launchctl",
// "notifyutil", by name or by a path ending in that name) with its arguments, separated by blanks, and
// an optional redirection of standard output, ">FILE" or "> FILE", to a device path. The redirection
// never follows a symbolic link and never writes into a file that another account could have placed:
// whatever is at the path is removed first, and the file is created fresh and exclusively. Waits for the
// command and returns its exit status; a program that is not one of the device's answers 127 with a log
// line, and so does a command that cannot be started.
//
// scutil and notifyutil run as processes of their own. launchctl is the device's service manager,
// which the shell runs in the calling process, with the launchctl program's effects: the same jobs,
// processes, output, exit status and log lines (see Launchctl.h; the processes it starts owe the caller
// nothing, see Launchd.h).
int system(const char* command);

// Removes a device path (a symbolic link itself, never its target). 0 on success, -1 otherwise.
int unlink(const char* devicePath);

} // namespace device
