#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

// A 64-bit counter in a small file that every process using it maps, so that processes tell each other
// that something changed without a system call: the changer counts up, the others compare.
class SharedCounter {
public:
    ~SharedCounter();

    SharedCounter(const SharedCounter&) = delete;
    SharedCounter& operator=(const SharedCounter&) = delete;

    // The counter in the file at a machine path, made with the mode when missing and `create` is set.
    // Null when it cannot be mapped for reading and writing.
    static std::unique_ptr<SharedCounter> map(const std::string& machinePath, bool create, mode_t mode);

    std::uint64_t value() const;
    void increment();

private:
    SharedCounter(int fileDescriptor, std::uint64_t* mapping);

    int descriptor { -1 };
    std::uint64_t* counter { nullptr };
};
