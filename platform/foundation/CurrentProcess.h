#pragma once

// The calling process's id and whether the calling thread is its main thread, without a system call
// each time they are asked: both are taken once, and again in a child that fork() made.
namespace CurrentProcess {

int identifier();
bool isMainThread();

} // namespace CurrentProcess
