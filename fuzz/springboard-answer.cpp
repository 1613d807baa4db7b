// Answer lines typed into springboard-host, with TarvikDNS.dylib loaded into the process as SpringBoard
// loads it. The first byte chooses the dialog that is shown and whether a Passlock is set; the second
// where the rest is cut into two reads; the rest is what is typed. The extension's answers are delivered
// by turns of the run loop. Whatever is typed, the preferences stay a readable dictionary.
#include "AlertAnswers.h"
#include "CFRunLoop.h"
#include "FuzzCheck.h"
#include "FuzzDevice.h"
#include "NSDictionary.h"
#include "ObjCRuntime.h"
#include "SpringBoard.h"
#include "UIApplication.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <dlfcn.h>
#include <sstream>
#include <string>
#include <string_view>

namespace {

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";

void launchSpringBoardOnce()
{
    static const bool launched = [] {
        FuzzDevice::shared();
        SpringBoard::application();
        void* extension = dlopen(TARVIKDNS_DYLIB_PATH, RTLD_NOW | RTLD_LOCAL);
        fuzzCheck(extension != nullptr, "TarvikDNS.dylib loads");
        SpringBoard::finishLaunching();
        return true;
    }();
    (void)launched;
}

// The dialogs the pane and the outside control ask for.
void showDialog(std::uint8_t choice)
{
    id application = SpringBoard::application();
    switch (choice % 5) {
    case 0:
    case 1:
    case 2:
        objc_msgSend<void, long>(application, sel_registerName("TDNS_ShowPasslockView:"), choice % 5);
        return;
    case 3:
        objc_msgSend<void>(application, sel_registerName("TDNS_ShowPasslockCreateView"));
        return;
    case 4:
        objc_msgSend<void>(application, sel_registerName("TDNS_ShowPasslockRemoveView"));
        return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    launchSpringBoardOnce();
    PropertyListDictionary preferences { { "SelectedConnectivity", "Wifi" }, { "SBSelectedConnectivity", "Wifi" } };
    preferences["Passlock"] = data[0] & 0x80 ? "1234" : "";
    fuzzCheck(writeDictionaryToFile(preferences, preferencesPath, true), "the preferences are written");
    showDialog(data[0] & 0x7F);

    std::string_view typed(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::size_t cut = std::min<std::size_t>(data[1], typed.size());
    std::ostringstream errors;
    AlertAnswers answers(errors);
    answers.takeInput(typed.substr(0, cut));
    answers.takeInput(typed.substr(cut));
    CFRunLoopGetCurrent()->runUntilIdle(std::chrono::seconds(1));

    fuzzCheck(dictionaryWithContentsOfFile(preferencesPath).has_value(), "the preferences stay a readable dictionary");
    UIApplication::sharedApplication().reset();
    return 0;
}
