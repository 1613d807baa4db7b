#include "AlertAnswers.h"

#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"

void AlertAnswers::takeInput(std::string_view bytes)
{
    pending.append(bytes);
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            answer(line);
    }
}

void AlertAnswers::answer(const std::string& line)
{
    const auto& alerts = UIApplication::sharedApplication().visibleAlerts();
    if (alerts.empty()) {
        errors << "springboard-host: no alert to answer with \"" << line.c_str() << "\"\n";
        return;
    }
    // Tapping dismisses the alert, which may drop the application's reference to it.
    std::shared_ptr<UIAlertView> alert = alerts.front();
    std::string title = line;
    if (auto tab = line.find('\t'); tab != std::string::npos) {
        title = line.substr(tab + 1);
        if (UITextField* field = alert->textFieldAtIndex(0))
            UIAutomation::typeText(*field, line.substr(0, tab));
        else
            errors << "springboard-host: the alert has no text field; nothing typed\n";
    }
    if (!UIAutomation::tapAlertButton(*alert, title))
        errors << "springboard-host: the alert has no button \"" << title.c_str() << "\"\n";
}
