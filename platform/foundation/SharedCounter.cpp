#include "SharedCounter.h"

#include <atomic>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

SharedCounter::SharedCounter(int fileDescriptor, std::uint64_t* mapping)
    : descriptor(fileDescriptor)
    , counter(mapping)
{
}

SharedCounter::~SharedCounter()
{
    munmap(counter, sizeof(std::uint64_t));
    close(descriptor);
}

std::unique_ptr<SharedCounter> SharedCounter::map(const std::string& machinePath, bool create, mode_t mode)
{
    int fileDescriptor = open(machinePath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), mode);
    if (fileDescriptor < 0)
        return nullptr;
    struct stat status {};
    if (fstat(fileDescriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fileDescriptor);
        return nullptr;
    }
    if (status.st_size < static_cast<off_t>(sizeof(std::uint64_t))) {
        // A file just made: the mode as asked, whatever the process's umask.
        fchmod(fileDescriptor, mode);
        if (ftruncate(fileDescriptor, sizeof(std::uint64_t)) != 0) {
            close(fileDescriptor);
            return nullptr;
        }
    }
    void* mapping = mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fileDescriptor, 0);
    if (mapping == MAP_FAILED) {
        close(fileDescriptor);
        return nullptr;
    }
    return std::unique_ptr<SharedCounter>(new SharedCounter(fileDescriptor, static_cast<std::uint64_t*>(mapping)));
}

std::uint64_t SharedCounter::value() const
{
    return std::atomic_ref<std::uint64_t>(*counter).load(std::memory_order_acquire);
}

void SharedCounter::increment()
{
    std::atomic_ref<std::uint64_t>(*counter).fetch_add(1, std::memory_order_acq_rel);
}
