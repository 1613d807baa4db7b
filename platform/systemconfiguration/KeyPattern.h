#pragma once

#include <memory>
#include <string>

#include <regex.h>

// A dynamic-store key pattern: a POSIX extended regular expression that matches a key when its longest
// match at the key's start spans the whole key, as the platform compiles it. It also tells the literal
// text every matching key starts and ends with, so that a watcher can be sent only the keys that might
// match.
class KeyPattern {
public:
    // Null for a pattern that does not compile.
    static std::unique_ptr<KeyPattern> compile(const std::string& pattern);
    ~KeyPattern();

    KeyPattern(const KeyPattern&) = delete;
    KeyPattern& operator=(const KeyPattern&) = delete;

    bool matches(const std::string& key) const;
    const std::string& text() const { return pattern; }
    const std::string& literalPrefix() const { return prefix; }
    const std::string& literalSuffix() const { return suffix; }

private:
    explicit KeyPattern(std::string text);

    std::string pattern;
    std::string prefix;
    std::string suffix;
    regex_t expression {};
    bool isCompiled { false };
};
