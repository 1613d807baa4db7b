#pragma once

// The first responder of the application: at most one object at a time receives typed text.
class UIResponder {
public:
    virtual ~UIResponder();

    virtual bool canBecomeFirstResponder() const { return false; }
    bool becomeFirstResponder();
    bool resignFirstResponder();
    bool isFirstResponder() const { return currentFirstResponder == this; }

    static UIResponder* firstResponder() { return currentFirstResponder; }

private:
    // Defined in the library, not inline, so that a plug-in built with hidden visibility shares it.
    static UIResponder* currentFirstResponder;
};
