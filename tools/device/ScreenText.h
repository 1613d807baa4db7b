#pragma once

#include <string>

class UIView;

// The screen as a person reads it, top to bottom: captions, the connectivity segments with the selected
// one in brackets, table rows with their switches and fields (the rows of a scrolling table that are in
// view, the selected one marked), buttons, and the alerts that are up.
std::string ScreenText(UIView& screen);
