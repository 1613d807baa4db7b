// springboard-host: SpringBoard on the device named by TARVIKDNS_DEVICE_ROOT. It registers the class
// "SpringBoard", makes the application, loads the plug-ins of "/Library/MobileSubstrate/DynamicLibraries",
// finishes launching and serves its run loop until SIGTERM or SIGINT.
//
// The screen is its standard streams. Each alert shown is written to standard output as one line:
//
//     alert: TITLE | MESSAGE | BUTTON, BUTTON...
//
// Each line read on standard input answers the oldest alert still shown:
//
//     TEXT<tab>BUTTON TITLE    types TEXT into the alert's first text field, then taps the button
//     BUTTON TITLE             taps the button (a line without a tab types nothing)
#include "CFRunLoop.h"
#include "CydiaSubstrate.h"
#include "DeviceRoot.h"
#include "NSLog.h"
#include "SpringBoard.h"
#include "TerminationSignals.h"
#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void printAlert(UIAlertView& alert)
{
    std::string buttons;
    for (long index = 0; index < alert.numberOfButtons(); ++index)
        buttons += (index ? ", " : "") + alert.buttonTitleAtIndex(index);
    std::printf("alert: %s | %s | %s\n", alert.title().c_str(), alert.message().c_str(), buttons.c_str());
    std::fflush(stdout);
}

void answerOldestAlert(const std::string& line)
{
    const auto& alerts = UIApplication::sharedApplication().visibleAlerts();
    if (alerts.empty()) {
        std::fprintf(stderr, "springboard-host: no alert to answer with \"%s\"\n", line.c_str());
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
            std::fprintf(stderr, "springboard-host: the alert has no text field; nothing typed\n");
    }
    if (!UIAutomation::tapAlertButton(*alert, title))
        std::fprintf(stderr, "springboard-host: the alert has no button \"%s\"\n", title.c_str());
}

// Standard input, read as it comes so that the run loop keeps serving everything else meanwhile. Each
// call reads once, which never blocks: the run loop calls only when there is something to read. (The
// descriptor is left blocking; it may be a terminal that the shell shares.)
class AnswerReader {
public:
    AnswerReader()
        : source(CFRunLoopSource::create(STDIN_FILENO, [this] { readAvailable(); }))
    {
        CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    }

private:
    void readAvailable()
    {
        char buffer[4096];
        ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            return;
        if (length <= 0) {
            // End of input, or none to be had: no more answers, but the host serves on.
            CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
            source->invalidate();
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(length));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                answerOldestAlert(line);
        }
    }

    CFRunLoopSourceRef source;
    std::string pending;
};

} // namespace

int main(int, char**)
{
    DeviceRoot::requireOrExit("springboard-host");

    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopStopOnTerminationSignals(runLoop);
    UIApplication::sharedApplication().setAlertShownHandler(printAlert);

    // The class must exist before the plug-ins load: they hook it as they load.
    SpringBoard::application();
    for (const auto& name : MSLoadDynamicLibraries())
        NSLog("springboard-host: loaded %@", name);
    SpringBoard::finishLaunching();

    AnswerReader answers;
    // A pipe nobody writes to: the run loop waits on it for ever, so that the host serves until it is
    // told to end even when nothing else is left to wait for.
    int keepAlive[2];
    if (pipe2(keepAlive, O_CLOEXEC) == 0)
        CFRunLoopAddSource(runLoop, CFRunLoopSource::create(keepAlive[0], [] {}), kCFRunLoopDefaultMode);

    CFRunLoopRun();
    return 0;
}
