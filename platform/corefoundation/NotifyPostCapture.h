#pragma once

#include <string>
#include <vector>

// For tests: while at least one capture exists, every name this process posts with notify_post is kept,
// in order, whether or not anybody observes it. Posts of one name coalesce on their way to an observer,
// so what a process posted is told here, not by what its observers received.
class NotifyPostCapture {
public:
    NotifyPostCapture();
    ~NotifyPostCapture();

    NotifyPostCapture(const NotifyPostCapture&) = delete;
    NotifyPostCapture& operator=(const NotifyPostCapture&) = delete;

    std::vector<std::string> names() const;
    std::size_t count(const std::string& name) const;
    void clear();

    // Called by notify_post.
    static void record(const std::string& name);
};
