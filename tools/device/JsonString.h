#pragma once

#include <string>
#include <string_view>

// Text as a JSON string, quotes included: quotes, backslashes and control characters escaped.
std::string JsonString(std::string_view text);
