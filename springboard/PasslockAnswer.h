#pragma once

#include <optional>
#include <string>

class UIAlertView;

// What every Passlock delegate reads of an answered dialog.
namespace PasslockAnswer {

// Whether the tapped button is "OK"; any other title counts as "Cancel".
bool isOK(UIAlertView* alertView, long long buttonIndex);

// The text typed into the answered dialog's own field; null when it has no field. A dialog answered
// while a newer one is shown still reads its own field, not the newer one's.
std::optional<std::string> typedText(UIAlertView* alertView);

// Whether the text is the stored Passlock, compared exactly. An absent Passlock matches no text.
bool matchesPasslock(const std::optional<std::string>& text);

} // namespace PasslockAnswer
