#pragma once

#include "NSFileManager.h"

#include <optional>
#include <string>

enum class NSStringEncoding {
    NSASCIIStringEncoding,
    NSUTF8StringEncoding,
};

// stringWithContentsOfFile:encoding:error: on a device path: the whole file as text, or null when it
// is missing, unreadable, or not valid in the encoding (any byte above 0x7F for ASCII).
std::optional<std::string> stringWithContentsOfFile(const std::string& devicePath, NSStringEncoding encoding);

// The same for a file that this process's account or root wrote, in a folder others may write (such
// as /tmp): a symbolic link at the path is never followed, and anything but a regular file of this
// process's account or root reads as missing.
std::optional<std::string> stringWithContentsOfOwnFile(const std::string& devicePath, NSStringEncoding encoding);


// writeToFile:atomically:encoding:error: on a device path. Atomically: written to a file beside it,
// then renamed over it, so a reader sees the old text or the new, never half of one; otherwise written
// in place, never through a symbolic link. Missing parent folders are created. A text not valid in the
// encoding is not written.
bool writeStringToFile(const std::string& text, const std::string& devicePath, bool atomically,
                       NSStringEncoding encoding, const NSFileAttributes& attributes = {});

// Writes bytes as they are, atomically, replacing any file there; the building block of the writers
// above and of the property-list writer.
bool writeBytesToFile(const std::string& bytes, const std::string& devicePath, bool atomically,
                      const NSFileAttributes& attributes = {});

// The whole file as bytes, or null when it is missing or unreadable. The path is followed one name at
// a time from the device root, and a name in a folder that an account other than this process's and
// root may write is never followed as a symbolic link; the file found there is read only when it is a
// regular file of this process's account, of root, or of the folder's owner when no one else may
// write that folder.
std::optional<std::string> bytesWithContentsOfFile(const std::string& devicePath);
// The bytes of stringWithContentsOfOwnFile.
std::optional<std::string> bytesWithContentsOfOwnFile(const std::string& devicePath);

// stringByAddingPercentEscapesUsingEncoding: with UTF-8: every byte that may not stand in a URL
// (spaces, line breaks, quotes, non-ASCII) becomes "%" and two upper-case hex digits. Letters, digits,
// the URL delimiters and "%" itself stay as they are: "-._~:/?#[]@!$&'()*+,;=%".
std::string stringByAddingPercentEscapesUsingEncoding(const std::string& text, NSStringEncoding encoding);

// The inverse: "%" and two hex digits become the byte they name; anything else stays.
std::string stringByRemovingPercentEncoding(const std::string& text);
