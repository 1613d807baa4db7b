#pragma once

#include <unistd.h>
#include <utility>

// An open file descriptor, closed when its owner goes; moved, never copied.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : value(descriptor) { }
    ~FileDescriptor() { reset(); }

    FileDescriptor(FileDescriptor&& other) noexcept : value(std::exchange(other.value, -1)) { }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            value = std::exchange(other.value, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return value; }
    bool isOpen() const { return value >= 0; }
    void reset(int descriptor = -1)
    {
        if (value >= 0)
            close(value);
        value = descriptor;
    }

private:
    int value { -1 };
};
