#pragma once

// Points, sizes and rectangles in points; a view's frame is in its superview's coordinates.
struct CGPoint {
    double x { 0 };
    double y { 0 };
    bool operator==(const CGPoint&) const = default;
};

struct CGSize {
    double width { 0 };
    double height { 0 };
    bool operator==(const CGSize&) const = default;
};

struct CGRect {
    CGPoint origin;
    CGSize size;
    bool operator==(const CGRect&) const = default;
};

inline CGRect CGRectMake(double x, double y, double width, double height)
{
    return CGRect { { x, y }, { width, height } };
}

inline CGSize CGSizeMake(double width, double height)
{
    return CGSize { width, height };
}
