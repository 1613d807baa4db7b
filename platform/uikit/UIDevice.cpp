#include "UIDevice.h"

#include <cctype>

UIDevice& UIDevice::currentDevice()
{
    static UIDevice device;
    return device;
}

int UIDevice::majorSystemVersion() const
{
    constexpr int largest = 1'000'000;
    int major = 0;
    for (char character : version) {
        if (!std::isdigit(static_cast<unsigned char>(character)))
            break;
        major = major * 10 + (character - '0');
        if (major > largest)
            return largest;
    }
    return major;
}
