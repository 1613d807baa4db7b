#pragma once

struct NSIndexPath {
    long section { 0 };
    long row { 0 };

    static NSIndexPath indexPathForRow(long row, long section) { return { section, row }; }
    bool operator==(const NSIndexPath&) const = default;
};
