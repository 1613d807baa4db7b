#include "KeyPattern.h"

#include <cstring>

namespace {

bool isSpecial(char character)
{
    return std::strchr(".[]()*+?{}|^$\\", character) != nullptr;
}

bool isQuantifier(char character)
{
    return character == '*' || character == '+' || character == '?' || character == '{';
}

// The text before the first special character; a character a quantifier applies to is not certain, so
// it is left out. Shorter than it could be is always safe: it only lets more keys through to the match.
std::string literalPrefixOf(const std::string& pattern)
{
    if (pattern.find('|') != std::string::npos)
        return "";
    std::size_t end = 0;
    while (end < pattern.size() && !isSpecial(pattern[end]))
        ++end;
    if (end > 0 && end < pattern.size() && isQuantifier(pattern[end]))
        --end;
    return pattern.substr(0, end);
}

// The text after the last special character, escaped ones included.
std::string literalSuffixOf(const std::string& pattern)
{
    if (pattern.find('|') != std::string::npos)
        return "";
    std::size_t start = pattern.size();
    while (start > 0 && !isSpecial(pattern[start - 1]))
        --start;
    return pattern.substr(start);
}

} // namespace

KeyPattern::KeyPattern(std::string text)
    : pattern(std::move(text))
    , prefix(literalPrefixOf(pattern))
    , suffix(literalSuffixOf(pattern))
{
}

std::unique_ptr<KeyPattern> KeyPattern::compile(const std::string& pattern)
{
    std::unique_ptr<KeyPattern> compiled(new KeyPattern(pattern));
    // The pattern is compiled as given and a key matches when the longest match at its start spans it:
    // wrapping the text in "^(...)$" would let a ")" in the pattern close the group early, leave the
    // rest unanchored and make some malformed patterns compile.
    if (regcomp(&compiled->expression, pattern.c_str(), REG_EXTENDED) != 0)
        return nullptr;
    compiled->isCompiled = true;
    return compiled;
}

KeyPattern::~KeyPattern()
{
    if (isCompiled)
        regfree(&expression);
}

bool KeyPattern::matches(const std::string& key) const
{
    regmatch_t match {};
    return regexec(&expression, key.c_str(), 1, &match, 0) == 0 && match.rm_so == 0
        && static_cast<std::size_t>(match.rm_eo) == key.size();
}
