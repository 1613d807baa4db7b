#include "NSString.h"

#include "DescriptorWrites.h"
#include "DeviceRoot.h"
#include "FileDescriptor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool isValidUTF8(const std::string& text)
{
    size_t index = 0;
    while (index < text.size()) {
        auto byte = static_cast<unsigned char>(text[index]);
        if (byte < 0x80) {
            ++index;
            continue;
        }
        size_t length;
        char32_t codePoint;
        if (byte >= 0xC2 && byte <= 0xDF) {
            length = 2;
            codePoint = byte & 0x1F;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            length = 3;
            codePoint = byte & 0x0F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4;
            codePoint = byte & 0x07;
        } else {
            return false;
        }
        if (text.size() - index < length)
            return false;
        for (size_t continuation = 1; continuation < length; ++continuation) {
            auto next = static_cast<unsigned char>(text[index + continuation]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and anything past U+10FFFF.
        if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000))
            return false;
        if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
            return false;
        index += length;
    }
    return true;
}

bool isASCII(const std::string& text)
{
    for (char character : text) {
        if (static_cast<unsigned char>(character) > 0x7F)
            return false;
    }
    return true;
}

bool isValid(const std::string& text, NSStringEncoding encoding)
{
    switch (encoding) {
    case NSStringEncoding::NSASCIIStringEncoding:
        return isASCII(text);
    case NSStringEncoding::NSUTF8StringEncoding:
        return isValidUTF8(text);
    }
    return false;
}

// The permissions always; the owner and group when named, where the accounts exist and this process
// may give the file away (an account that may not keeps the file, as the platform ignores the result).
bool giveAttributes(int fd, const NSFileAttributes& attributes)
{
    if (fchmod(fd, attributes.posixPermissions) != 0)
        return false;
    if (!attributes.ownerAccountName.empty() || !attributes.groupOwnerAccountName.empty())
        NSFileManager::defaultManager().setAttributesOfOpenFile(fd, attributes);
    return true;
}

// As the platform's atomic write: readers see the old file or the new one, never a part, and a process
// killed half way leaves the old one. The new file takes the old one's name and the old one, now under
// the new one's, goes: an exchange of names costs a fraction of a rename over a file, which makes the
// file system write the new file's data out at once. No fsync either: it would cost milliseconds a
// write, and what is promised is to outlive the process, not the machine.
bool writeAtomically(const std::string& bytes, const std::filesystem::path& target, const NSFileAttributes& attributes)
{
    std::string temporaryPath = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = mkostemp(temporaryPath.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // Given before the file takes its name, so that no reader ever finds the new file readable by more
    // accounts than asked, nor unreadable by the account it is meant for.
    bool written = writeFullyAt(fd, bytes, 0) && giveAttributes(fd, attributes);
    if (close(fd) != 0)
        written = false;
    if (written && renameat2(AT_FDCWD, temporaryPath.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
        if (unlink(temporaryPath.c_str()) == 0 || errno != EISDIR)
            return true;
        // A folder is never replaced by a file: the names go back.
        renameat2(AT_FDCWD, temporaryPath.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
        unlink(temporaryPath.c_str());
        return false;
    }
    // Nothing to exchange with yet (or a file system that cannot): the new file is renamed into place.
    if (!written || rename(temporaryPath.c_str(), target.c_str()) != 0) {
        unlink(temporaryPath.c_str());
        return false;
    }
    return true;
}

// Overwritten from the start and cut to its new length, rather than emptied first: a file that keeps
// its blocks costs no freeing and allocating again.
bool writeInPlace(const std::string& bytes, const std::filesystem::path& target, const NSFileAttributes& attributes)
{
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, attributes.posixPermissions);
    if (fd < 0)
        return false;
    // A file that another account owns keeps its permissions, as the platform ignores the result.
    giveAttributes(fd, attributes);
    bool written = writeFullyAt(fd, bytes, 0) && ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
    if (close(fd) != 0)
        written = false;
    return written;
}

bool othersMayWrite(const struct stat& folder)
{
    return (folder.st_uid != geteuid() && folder.st_uid != 0) || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether what an open descriptor names may be read: a regular file (a FIFO would hold the reader for as
// long as its writer likes) of this process's account or root, or, when `folder` is given, of the owner
// of that folder, which no one else may write.
bool isReadable(int fd, const struct stat* folder)
{
    struct stat file {};
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode))
        return false;
    if (file.st_uid == geteuid() || file.st_uid == 0)
        return true;
    return folder && file.st_uid == folder->st_uid && (folder->st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::vector<std::string> namesOf(const std::string& devicePath)
{
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= devicePath.size()) {
        std::size_t slash = devicePath.find('/', start);
        if (slash == std::string::npos)
            slash = devicePath.size();
        if (slash > start)
            names.push_back(devicePath.substr(start, slash - start));
        start = slash + 1;
    }
    return names;
}

// Opens a device file for reading, one name at a time from the device root: the links the device lays
// for its own programs and folders are followed, a link in a folder others may write never is. An own
// file (`ownFileOnly`) is never reached through a link at its last name, and belongs to this process's
// account or root.
int openForReading(const std::string& devicePath, bool ownFileOnly)
{
    auto root = DeviceRoot::path();
    std::vector<std::string> names = namesOf(devicePath);
    if (!root || names.empty())
        return -1;
    FileDescriptor folder(open(root->empty() ? "/" : root->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t index = 0; folder.isOpen(); ++index) {
        struct stat status {};
        if (fstat(folder.get(), &status) != 0 || !S_ISDIR(status.st_mode))
            return -1;
        bool shared = othersMayWrite(status);
        const std::string& name = names[index];
        if (index + 1 < names.size()) {
            folder.reset(openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | (shared ? O_NOFOLLOW : 0)));
            continue;
        }
        bool careful = shared || ownFileOnly;
        int fd = openat(folder.get(), name.c_str(), O_RDONLY | O_CLOEXEC | (careful ? O_NOFOLLOW | O_NONBLOCK : 0));
        if (fd >= 0 && careful && !isReadable(fd, ownFileOnly ? nullptr : &status)) {
            close(fd);
            return -1;
        }
        return fd;
    }
    return -1;
}

std::optional<std::string> readWhole(int fd)
{
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buffer[16384];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            close(fd);
            return std::nullopt;
        }
        if (count == 0)
            break;
        content.append(buffer, static_cast<size_t>(count));
    }
    close(fd);
    return content;
}

} // namespace

std::optional<std::string> bytesWithContentsOfFile(const std::string& devicePath)
{
    return readWhole(openForReading(devicePath, false));
}

std::optional<std::string> bytesWithContentsOfOwnFile(const std::string& devicePath)
{
    return readWhole(openForReading(devicePath, true));
}

std::optional<std::string> stringWithContentsOfFile(const std::string& devicePath, NSStringEncoding encoding)
{
    auto bytes = bytesWithContentsOfFile(devicePath);
    if (!bytes || !isValid(*bytes, encoding))
        return std::nullopt;
    return bytes;
}

std::optional<std::string> stringWithContentsOfOwnFile(const std::string& devicePath, NSStringEncoding encoding)
{
    auto bytes = bytesWithContentsOfOwnFile(devicePath);
    if (!bytes || !isValid(*bytes, encoding))
        return std::nullopt;
    return bytes;
}

bool writeBytesToFile(const std::string& bytes, const std::string& devicePath, bool atomically,
                      const NSFileAttributes& attributes)
{
    std::string resolved = DeviceRoot::resolve(devicePath);
    if (resolved.empty())
        return false;
    std::filesystem::path target(resolved);
    if (!target.has_filename())
        return false;
    auto write = [&] { return atomically ? writeAtomically(bytes, target, attributes) : writeInPlace(bytes, target, attributes); };
    if (write())
        return true;
    // Missing folders are made only when the write finds one missing.
    if (errno != ENOENT)
        return false;
    std::error_code failure;
    std::filesystem::create_directories(target.parent_path(), failure);
    return !failure && write();
}

bool writeStringToFile(const std::string& text, const std::string& devicePath, bool atomically,
                       NSStringEncoding encoding, const NSFileAttributes& attributes)
{
    if (!isValid(text, encoding))
        return false;
    return writeBytesToFile(text, devicePath, atomically, attributes);
}

namespace {

bool standsInURL(unsigned char byte)
{
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9'))
        return true;
    return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(static_cast<char>(byte)) != std::string_view::npos;
}

int hexDigitValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

} // namespace

std::string stringByAddingPercentEscapesUsingEncoding(const std::string& text, NSStringEncoding)
{
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (char character : text) {
        auto byte = static_cast<unsigned char>(character);
        if (standsInURL(byte)) {
            escaped += character;
            continue;
        }
        escaped += '%';
        escaped += hexDigits[byte >> 4];
        escaped += hexDigits[byte & 0x0F];
    }
    return escaped;
}

std::string stringByRemovingPercentEncoding(const std::string& text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '%' && index + 2 < text.size()) {
            int high = hexDigitValue(text[index + 1]);
            int low = hexDigitValue(text[index + 2]);
            if (high >= 0 && low >= 0) {
                decoded += static_cast<char>(high * 16 + low);
                index += 2;
                continue;
            }
        }
        decoded += text[index];
    }
    return decoded;
}
