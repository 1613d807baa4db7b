#pragma once

#include <functional>
#include <string>
#include <vector>

inline constexpr const char* UIKeyboardDidShowNotification = "UIKeyboardDidShowNotification";
inline constexpr const char* UIKeyboardWillHideNotification = "UIKeyboardWillHideNotification";

struct NSNotification {
    std::string name;
    const void* object { nullptr };
};

// The application's own notification center (within one process), delivering at once to the observers
// of a name in the order they were added.
class NSNotificationCenter {
public:
    static NSNotificationCenter& defaultCenter();

    // addObserver:selector:name:object: with the selector bound to the observer; a null object
    // observes every sender.
    void addObserver(const void* observer, std::function<void(const NSNotification&)> selector, const std::string& name,
                     const void* object);
    void removeObserver(const void* observer, const std::string& name, const void* object);
    void removeObserver(const void* observer);
    void postNotificationName(const std::string& name, const void* object);

    size_t numberOfObservers(const std::string& name) const;

private:
    struct Observation {
        unsigned long long identifier;
        const void* observer;
        std::function<void(const NSNotification&)> selector;
        std::string name;
        const void* object;
    };
    std::vector<Observation> observations;
    unsigned long long nextIdentifier { 1 };
};
