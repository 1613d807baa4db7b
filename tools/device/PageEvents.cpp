#include "PageEvents.h"

#include <algorithm>

namespace {

std::string event(const char* name, const std::string& json)
{
    return std::string("event: ") + name + "\ndata: " + json + "\n\n";
}

} // namespace

void PageEvents::setScreen(std::string json)
{
    std::lock_guard guard(lock);
    screen = std::move(json);
    ++screenVersion;
    changed.notify_all();
}

void PageEvents::setStatus(std::string json)
{
    std::lock_guard guard(lock);
    status = std::move(json);
    ++statusVersion;
    changed.notify_all();
}

void PageEvents::addFeedEntry(std::string json)
{
    std::lock_guard guard(lock);
    feed.push_back(std::move(json));
    if (feed.size() > keptFeedEntries) {
        feed.pop_front();
        ++firstFeedNumber;
    }
    changed.notify_all();
}

std::string PageEvents::waitForNews(Cursor& cursor, std::chrono::milliseconds patience)
{
    std::unique_lock guard(lock);
    std::uint64_t lastFeedNumber = firstFeedNumber + feed.size() - 1;
    auto hasNews = [&] {
        lastFeedNumber = firstFeedNumber + feed.size() - 1;
        return closed || cursor.screen != screenVersion || cursor.status != statusVersion || cursor.feed < lastFeedNumber;
    };
    if (!changed.wait_for(guard, patience, hasNews) || closed)
        return "";
    std::string text;
    if (cursor.screen != screenVersion && !screen.empty())
        text += event("screen", screen);
    cursor.screen = screenVersion;
    if (cursor.status != statusVersion && !status.empty())
        text += event("status", status);
    cursor.status = statusVersion;
    // Entries the page missed and that are no longer kept are skipped.
    for (std::uint64_t number = std::max(cursor.feed + 1, firstFeedNumber); number <= lastFeedNumber; ++number)
        text += event("feed", feed[number - firstFeedNumber]);
    cursor.feed = lastFeedNumber;
    return text;
}

void PageEvents::close()
{
    std::lock_guard guard(lock);
    closed = true;
    changed.notify_all();
}

bool PageEvents::isClosed() const
{
    std::lock_guard guard(lock);
    return closed;
}

void PageEvents::pageOpened()
{
    std::lock_guard guard(lock);
    ++pages;
}

void PageEvents::pageClosed()
{
    std::lock_guard guard(lock);
    --pages;
}

int PageEvents::openPages() const
{
    std::lock_guard guard(lock);
    return pages;
}
