#pragma once

// A colour as a value: red, green, blue and alpha from 0 to 1.
struct UIColor {
    double red { 0 };
    double green { 0 };
    double blue { 0 };
    double alpha { 1 };

    bool operator==(const UIColor&) const = default;

    static UIColor colorWithRed(double red, double green, double blue, double alpha) { return { red, green, blue, alpha }; }
    static UIColor colorWithWhite(double white, double alpha) { return { white, white, white, alpha }; }
    static UIColor blackColor() { return { 0, 0, 0, 1 }; }
    static UIColor whiteColor() { return { 1, 1, 1, 1 }; }
    static UIColor clearColor() { return { 0, 0, 0, 0 }; }
};
