#pragma once

#include <string>

// A font as a value: its name and point size.
struct UIFont {
    std::string fontName { "Helvetica" };
    double pointSize { 17 };

    bool operator==(const UIFont&) const = default;

    static UIFont fontWithName(const std::string& name, double size) { return { name, size }; }
    static UIFont systemFontOfSize(double size) { return { "Helvetica", size }; }
};
