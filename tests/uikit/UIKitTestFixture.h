#pragma once

#include "TemporaryDevice.h"
#include "UIApplication.h"
#include "UIDevice.h"
#include "UIResponder.h"

#include <gtest/gtest.h>

// Every test starts on a fresh device, with a clean run loop, an application that remembers nothing,
// no first responder, and a phone on system 7.1.
class UIKitTest : public testing::Test {
protected:
    UIKitTest() { resetUIKit(); }
    ~UIKitTest() override { resetUIKit(); }

    static void resetUIKit()
    {
        UIApplication::sharedApplication().reset();
        if (auto* responder = UIResponder::firstResponder())
            responder->resignFirstResponder();
        UIDevice::currentDevice().setModel("iPhone");
        UIDevice::currentDevice().setSystemVersion("7.1");
    }

    TemporaryDevice device;
};
