#include "UIApplication.h"

#include "UIAlertView.h"

#include <algorithm>

UIApplication& UIApplication::sharedApplication()
{
    static UIApplication application;
    return application;
}

bool UIApplication::openURL(const NSURL& url)
{
    urls.push_back(url.absoluteString());
    // A copy, so that a handler may replace itself.
    auto handler = openHandler;
    if (!handler)
        return false;
    return handler(url.absoluteString());
}

void UIApplication::reset()
{
    // Moved out first: an alert that goes away here may reach back into the application.
    auto forgotten = std::move(alerts);
    alerts.clear();
    urls.clear();
    openHandler = nullptr;
    alertShown = nullptr;
}

void UIApplication::alertWasShown(const std::shared_ptr<UIAlertView>& alert)
{
    if (!alert || std::find(alerts.begin(), alerts.end(), alert) != alerts.end())
        return;
    alerts.push_back(alert);
    auto handler = alertShown;
    if (handler)
        handler(*alert);
}

void UIApplication::alertWasDismissed(const UIAlertView* alert)
{
    std::erase_if(alerts, [alert](const std::shared_ptr<UIAlertView>& shown) { return shown.get() == alert; });
}
