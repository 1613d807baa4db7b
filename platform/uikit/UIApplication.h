#pragma once

#include "NSURL.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class UIAlertView;

// The application: holds the shown alerts until they are answered, and opens URLs through its host.
class UIApplication {
public:
    static UIApplication& sharedApplication();

    // Records the URL and hands it to the host's handler; true when a handler took it.
    bool openURL(const NSURL& url);
    const std::vector<std::string>& openedURLs() const { return urls; }
    void setOpenURLHandler(std::function<bool(const std::string&)> handler) { openHandler = std::move(handler); }

    // The alerts shown and not yet answered, oldest first.
    const std::vector<std::shared_ptr<UIAlertView>>& visibleAlerts() const { return alerts; }
    void setAlertShownHandler(std::function<void(UIAlertView&)> handler) { alertShown = std::move(handler); }

    // Forgets alerts, URLs and handlers. For hosts and tests.
    void reset();

private:
    friend class UIAlertView;
    void alertWasShown(const std::shared_ptr<UIAlertView>& alert);
    void alertWasDismissed(const UIAlertView* alert);

    std::vector<std::string> urls;
    std::function<bool(const std::string&)> openHandler;
    std::vector<std::shared_ptr<UIAlertView>> alerts;
    std::function<void(UIAlertView&)> alertShown;
};
