#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

// What the page is shown, handed from the main run loop to the server's threads that stream it to the
// open pages as server-sent events: the newest screen and status (a page that missed some sees the
// newest), and the feed's entries in order (the latest few hundred are kept for a page opened later).
class PageEvents {
public:
    // Where one page is: what it has been sent so far.
    struct Cursor {
        std::uint64_t screen { 0 };
        std::uint64_t status { 0 };
        std::uint64_t feed { 0 };
    };

    // Each takes the event's data, one line of JSON.
    void setScreen(std::string json);
    void setStatus(std::string json);
    void addFeedEntry(std::string json);

    // The events a page at `cursor` has not had yet, as the text of an event stream, once there are
    // any; empty when `patience` passed first or the events are closed. Moves the cursor on.
    std::string waitForNews(Cursor& cursor, std::chrono::milliseconds patience);

    // Ends every stream: the server is going.
    void close();
    bool isClosed() const;

    // The pages open now; the screen is watched only while there is one.
    void pageOpened();
    void pageClosed();
    int openPages() const;

private:
    static constexpr size_t keptFeedEntries = 300;

    mutable std::mutex lock;
    std::condition_variable changed;
    std::string screen;
    std::uint64_t screenVersion { 0 };
    std::string status;
    std::uint64_t statusVersion { 0 };
    // The kept entries; the first is number `firstFeedNumber`.
    std::deque<std::string> feed;
    std::uint64_t firstFeedNumber { 1 };
    bool closed { false };
    int pages { 0 };
};
