#pragma once

#include "PropertyList.h"

#include <gtest/gtest.h>
#include <optional>

// For EXPECT_PRED_FORMAT2: deep equality of two property-list values, either of which may be absent,
// showing both in their old-style text form when they differ.
inline testing::AssertionResult sameValue(const char* actualExpression, const char* expectedExpression,
                                          const std::optional<PropertyList>& actual, const std::optional<PropertyList>& expected)
{
    if (actual == expected)
        return testing::AssertionSuccess();
    auto text = [](const std::optional<PropertyList>& value) { return value ? value->description() : std::string("(absent)"); };
    return testing::AssertionFailure() << actualExpression << " is\n  " << text(actual) << "\n" << expectedExpression
                                       << " is\n  " << text(expected);
}
