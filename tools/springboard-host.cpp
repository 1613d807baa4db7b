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
#include "AlertAnswers.h"
#include "CFRunLoop.h"
#include "CydiaSubstrate.h"
#include "DeviceRoot.h"
#include "NSLog.h"
#include "SpringBoard.h"
#include "TerminationSignals.h"
#include "UIAlertView.h"
#include "UIApplication.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <string_view>
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
        answers.takeInput(std::string_view(buffer, static_cast<std::size_t>(length)));
    }

    CFRunLoopSourceRef source;
    AlertAnswers answers { std::cerr };
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
