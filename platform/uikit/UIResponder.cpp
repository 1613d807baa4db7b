#include "UIResponder.h"

UIResponder* UIResponder::currentFirstResponder { nullptr };

UIResponder::~UIResponder()
{
    if (currentFirstResponder == this)
        currentFirstResponder = nullptr;
}

bool UIResponder::becomeFirstResponder()
{
    if (!canBecomeFirstResponder())
        return false;
    currentFirstResponder = this;
    return true;
}

bool UIResponder::resignFirstResponder()
{
    if (currentFirstResponder != this)
        return false;
    currentFirstResponder = nullptr;
    return true;
}
