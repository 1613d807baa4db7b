#pragma once

#include <memory>
#include <optional>
#include <string>

// A URL as its text; URLWithString accepts only text that is a well-formed URL (a scheme, then
// characters allowed in a URL, with every "%" starting an escape of two hex digits).
class NSURL {
public:
    static std::optional<NSURL> URLWithString(const std::string& text);

    const std::string& absoluteString() const { return text; }
    std::string scheme() const;

private:
    explicit NSURL(std::string urlText) : text(std::move(urlText)) { }
    std::string text;
};
